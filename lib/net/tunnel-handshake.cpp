#include "lib/net/tunnel-handshake.h"

#include <openssl/err.h>
#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/net/relay-token.h"

namespace {

constexpr wchar_t kLogComponent[] = L"channel_debug";
constexpr char kStatusHeader[] = "X-Target-Status";

// The peer ended the stream, with or without a close-notify.
bool IsEof(SSL* ssl, int ret, int err) {
  if (err == SSL_ERROR_ZERO_RETURN) return true;
  if (err == SSL_ERROR_SYSCALL && ret == 0 && ERR_peek_error() == 0) return true;
  return err == SSL_ERROR_SSL &&
         ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING && ssl != nullptr;
}

[[nodiscard]] int WaitWritable(int fd, int wait_ms, TlsClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TlsClock::now());
  if (left.count() <= 0) return kTlsWaitTimeout;
  struct pollfd p = {fd, POLLOUT, 0};
  int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(wait_ms, left.count())));
  if (rc < 0 && errno != EINTR) return kTlsWaitError;
  return 0;
}

}  // namespace

const char* strchr_by_len(const char* data, size_t length, char byte) {
  if (data == nullptr) return nullptr;
  return static_cast<const char*>(std::memchr(data, byte, length));
}

bool ParseTargetStatus(const char* line, int& status) {
  const size_t n = sizeof(kStatusHeader) - 1;
  if (line == nullptr || strncasecmp(line, kStatusHeader, n) != 0) return false;
  const char* p = line + n;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p++ != ':') return false;
  while (*p == ' ' || *p == '\t') ++p;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(p, &end, 10);
  if (end == p || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  status = static_cast<int>(v);
  return true;
}

int ZENTTunnelNonBlockingWrite(SSL* ssl, const char* data, size_t length, int wait_ms,
                               TlsClock::time_point deadline, const StopFn& stopped) {
  size_t sent = 0;
  while (sent < length) {
    if (stopped && stopped()) return ERR_INT;
    ERR_clear_error();
    int n =
        SSL_write(ssl, data + sent, static_cast<int>(std::min<size_t>(length - sent, INT32_MAX)));
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    int e = SSL_get_error(ssl, n);
    int rc = kTlsWaitError;
    if (e == SSL_ERROR_WANT_WRITE) {
      rc = WaitWritable(SSL_get_fd(ssl), wait_ms, deadline);
    } else if (e == SSL_ERROR_WANT_READ) {
      rc = SSL_read_timeout(ssl, wait_ms, deadline, stopped);
    } else {
      log_ssl();
    }
    if (rc < 0) return rc;
  }
  return 0;
}

int RecvlineWithTimeout(SSL* ssl, char* buffer, size_t size, int wait_ms,
                        TlsClock::time_point deadline, const StopFn& stopped) {
  if (ssl == nullptr || buffer == nullptr || size < 2) return kTlsWaitError;
  size_t got = 0;
  bool line_done = false;
  while (!line_done && got < size - 1) {
    int w = SSL_read_timeout(ssl, wait_ms, deadline, stopped);
    if (w < 0) return w;
    ERR_clear_error();
    const int room = static_cast<int>(std::min<size_t>(size - 1 - got, INT32_MAX));
    int n = SSL_peek(ssl, buffer + got, room);
    if (n <= 0) {
      int e = SSL_get_error(ssl, n);
      if (e == SSL_ERROR_WANT_READ) continue;
      if (IsEof(ssl, n, e)) break;
      log_ssl();
      return kTlsWaitError;
    }
    // Only up to the LF: what follows belongs to the next line (or, behind
    // the relay's answer, to nobody that reads through TLS).
    const char* lf = strchr_by_len(buffer + got, static_cast<size_t>(n), '\n');
    const int take = lf ? static_cast<int>(lf - (buffer + got)) + 1 : n;
    if (SSL_read(ssl, buffer + got, take) != take) {
      log_ssl();
      return kTlsWaitError;
    }
    got += static_cast<size_t>(take);
    line_done = lf != nullptr;
  }
  buffer[got] = '\0';
  return static_cast<int>(got);
}

int ZENTTunnelClientHandshake(SSL* ssl, const char* host, int port, int wait_ms,
                              TlsClock::time_point deadline, const StopFn& stopped) {
  if (ssl == nullptr || host == nullptr) return -1;
  const std::string token = MakeRelayToken(host, port);
  if (token.empty()) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): cannot make the relay token for %s:%d\n", host, port);
    return -1;
  }
  char req[kRelayLineMax];
  int len = std::snprintf(req, sizeof(req),
                          "GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: %s\r\nX-Target-Host: %s\r\n"
                          "X-Target-Port: %d\r\nX-AuthToken: %s\r\n\r\n",
                          kRelayPath, kRelayHostName, kRelayUpgrade, host, port, token.c_str());
  if (len < 0 || static_cast<size_t>(len) >= sizeof(req)) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): relay request for %s:%d does not fit\n", host, port);
    return -1;
  }
  int rc =
      ZENTTunnelNonBlockingWrite(ssl, req, static_cast<size_t>(len), wait_ms, deadline, stopped);
  if (rc < 0) return rc;
  int result = -1;
  for (int lines = 0;; ++lines) {
    if (lines >= kRelayMaxHeaderLines) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): relay answer has more than %d lines\n",
             kRelayMaxHeaderLines);
      return -1;
    }
    char line[kRelayLineMax];
    int n = RecvlineWithTimeout(ssl, line, sizeof(line), wait_ms, deadline, stopped);
    if (n < 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): relay answer: %s\n",
             n == kTlsWaitTimeout ? L"timed out" : L"broken connection");
      return n;
    }
    if (n == 0 || line[n - 1] != '\n') {
      if (n == static_cast<int>(sizeof(line)) - 1) {
        SF_LOG(L_ERR, L"[ERROR] channel(%d): relay answer has a line longer than %d bytes\n",
               static_cast<int>(sizeof(line)) - 1);
      } else {
        SF_LOG(L_ERR,
               L"[ERROR] channel(%d): relay closed the connection before its answer "
               L"ended\n");
      }
      return -1;
    }
    if (line[0] == '\r' || line[0] == '\n') break;
    int status = 0;
    if (ParseTargetStatus(line, status)) result = status;
  }
  return result;
}
