#include "relay/relay-request.h"

#include <strings.h>

#include <cstring>

#include "lib/base/utility.h"
#include "lib/net/relay-token.h"
#include "lib/net/tunnel-handshake.h"

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

bool NameIs(const std::string& name, const char* want) {
  return strcasecmp(name.c_str(), want) == 0;
}

[[nodiscard]] bool ParsePort(const std::string& s, int& port) {
  uint64_t v = 0;
  if (!ParseDecimal(s, 65535, v) || v == 0) return false;
  port = static_cast<int>(v);
  return true;
}

}  // namespace

int ReadRelayRequest(SSL* ssl, int wait_ms, TlsClock::time_point deadline, const StopFn& stopped,
                     RelayRequest& req, std::string& why) {
  bool upgrade = false, have_port = false;
  std::string first;
  for (int lines = 0;; ++lines) {
    if (lines > kRelayMaxHeaderLines) {
      why = "more than " + std::to_string(kRelayMaxHeaderLines) + " header lines";
      return RELAY_BAD_REQUEST;
    }
    char line[kRelayLineMax];
    int n = RecvlineWithTimeout(ssl, line, sizeof(line), wait_ms, deadline, stopped);
    if (n < 0) return n;
    if (n == 0 || line[n - 1] != '\n') {
      if (n == static_cast<int>(sizeof(line)) - 1) {
        why = "a line longer than " + std::to_string(sizeof(line) - 1) + " bytes";
        return RELAY_BAD_REQUEST;
      }
      return kTlsWaitError;  // closed in the middle of the request
    }
    const std::string text = Trim(std::string(line, static_cast<size_t>(n)));
    if (lines == 0) {
      first = text;
      continue;
    }
    if (text.empty()) break;
    size_t colon = text.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = Trim(text.substr(0, colon));
    const std::string value = Trim(text.substr(colon + 1));
    if (NameIs(name, "Upgrade")) {
      upgrade = strcasecmp(value.c_str(), kRelayUpgrade) == 0;
    } else if (NameIs(name, "X-Target-Host")) {
      req.target_host = value;
    } else if (NameIs(name, "X-Target-Port")) {
      have_port = ParsePort(value, req.target_port);
    } else if (NameIs(name, "X-AuthToken")) {
      req.token = value;
    }
  }
  if (first != std::string("GET ") + kRelayPath + " HTTP/1.1" || !upgrade) {
    why = "not a tunnel upgrade request: '" + first + "'";
    return RELAY_BAD_REQUEST;
  }
  if (req.target_host.empty() || !have_port || req.token.empty()) {
    why = "target host, port or token missing";
    return RELAY_BAD_REQUEST;
  }
  if (!RelayTokenMatches(req.token, req.target_host, req.target_port)) {
    why = "the token is not valid for " + req.target_host + ":" + std::to_string(req.target_port);
    return RELAY_BAD_TOKEN;
  }
  return RELAY_OK;
}

std::string RelayAnswer(int status) {
  const char* line = "HTTP/1.1 502 Bad Gateway";
  if (status == RELAY_OK) {
    line = "HTTP/1.1 101 Switching Protocols";
  } else if (status == RELAY_BAD_REQUEST) {
    line = "HTTP/1.1 400 Bad Request";
  } else if (status == RELAY_BAD_TOKEN || status == RELAY_NOT_ALLOWED) {
    line = "HTTP/1.1 403 Forbidden";
  }
  std::string head = std::string(line) + "\r\n";
  if (status == RELAY_OK)
    head += std::string("Upgrade: ") + kRelayUpgrade + "\r\nConnection: Upgrade\r\n";
  head += "X-Target-Status: " + std::to_string(status) + "\r\n\r\n";
  return head;
}
