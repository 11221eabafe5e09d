#include "lib/net/http-proxy.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/base/log.h"

namespace {

constexpr wchar_t kLogComponent[] = L"channel_debug";

// One traversal's fixed facts, for the helpers and their log lines.
struct Traversal {
  const PROXY_SERVER_INFO& server;
  const PROXY_TARGET_INFO& target;
  int wait_ms;
  TlsClock::time_point deadline;
  uint32_t timeout_seconds;
  const StopFn& stopped;
};

// What the proxy answered.
struct Answer {
  int status = 0;
  std::string status_line;
  std::vector<std::string> schemes;  // of Proxy-Authenticate, lower case
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Waits for `events` in slices of wait_ms until the deadline: 0 ready,
// ERR_TIMEOUT, ERR_INT, ERR_IO.
[[nodiscard]] int WaitFd(const Traversal& t, int fd, short events) {
  while (true) {
    if (t.stopped && t.stopped()) return ERR_INT;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.deadline - TlsClock::now()).count();
    if (left <= 0) return ERR_TIMEOUT;
    struct pollfd p = {fd, events, 0};
    int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(t.wait_ms, left)));
    if (rc > 0) return 0;
    if (rc < 0 && errno != EINTR) return ERR_IO;
  }
}

int LogTimeout(const Traversal& t) {
  SF_LOG(L_ERR,
         L"[ERROR] channel(%d): proxy %s:%d did not complete CONNECT %s:%d within %u seconds\n",
         t.server.szProxyAddress, t.server.ProxyPort, t.target.szTargetAddress, t.target.TargetPort,
         t.timeout_seconds);
  return ERR_IO;
}

[[nodiscard]] bool Resolve(const std::string& host, uint16_t port, sockaddr_in& addr) {
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1) return true;
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
  addr.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  ::freeaddrinfo(res);
  return true;
}

// A fresh connection to the proxy: 0 with `fd` set, or an error (logged).
[[nodiscard]] int ConnectProxy(const Traversal& t, UniqueFd& fd) {
  sockaddr_in addr;
  if (!Resolve(t.server.szProxyAddress, t.server.ProxyPort, addr)) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): proxy address '%s' cannot be resolved\n",
           t.server.szProxyAddress);
    return ERR_IO;
  }
  fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return ERR_IO;
  struct linger l = {1, 1};
  int one = 1;
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  (void)::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  int rc = 0;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      rc = WaitFd(t, fd.get(), POLLOUT);
      socklen_t len = sizeof(err);
      if (rc == 0 && ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
        return 0;
      }
    }
    if (rc == 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): proxy %s:%d: cannot connect: %s\n",
             t.server.szProxyAddress, t.server.ProxyPort, ErrnoMessage(err));
      rc = ERR_IO;
    } else if (rc == ERR_TIMEOUT) {
      rc = LogTimeout(t);
    }
  }
  if (rc != 0) fd.reset();
  return rc;
}

[[nodiscard]] int SendAll(const Traversal& t, int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      int rc = WaitFd(t, fd, POLLOUT);
      if (rc == ERR_TIMEOUT) return LogTimeout(t);
      if (rc != 0) return rc;
      continue;
    }
    SF_LOG(L_ERR, L"[ERROR] channel(%d): proxy %s:%d: send failed: %s\n", t.server.szProxyAddress,
           t.server.ProxyPort, ErrnoMessage(errno));
    return ERR_IO;
  }
  return 0;
}

int HeadError(const Traversal& t, const wchar_t* what) {
  SF_LOG(L_ERR, L"[ERROR] channel(%d): proxy %s:%d answered CONNECT %s:%d with %s\n",
         t.server.szProxyAddress, t.server.ProxyPort, t.target.szTargetAddress, t.target.TargetPort,
         what);
  return ERR_IO;
}

// Reads the answer's head up to and including its empty line; bytes behind
// it stay in the socket. 0 or an error (logged).
[[nodiscard]] int ReadHead(const Traversal& t, int fd, std::string& head) {
  head.clear();
  size_t line_len = 0;      // bytes of the current line so far, LF excluded
  bool line_is_cr = false;  // the current line so far is a lone CR
  int lines = 0;
  char buf[4096];
  while (true) {
    if (head.size() >= kProxyHeadMax) return HeadError(t, L"a head longer than the limit");
    int rc = WaitFd(t, fd, POLLIN);
    if (rc == ERR_TIMEOUT) return LogTimeout(t);
    if (rc != 0) return rc;
    const size_t room = std::min(sizeof(buf), kProxyHeadMax - head.size());
    ssize_t n = ::recv(fd, buf, room, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n < 0) return HeadError(t, L"a broken connection");
    if (n == 0) return HeadError(t, L"a close before its answer ended");
    auto take = static_cast<size_t>(n);
    bool done = false;
    for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
      if (buf[i] == '\n') {
        if (line_len == 0 || line_is_cr) {
          take = i + 1;
          done = true;
          break;
        }
        if (++lines > kProxyMaxHeaderLines) return HeadError(t, L"too many header lines");
        line_len = 0;
        line_is_cr = false;
      } else {
        line_is_cr = line_len == 0 && buf[i] == '\r';
        if (++line_len > kProxyLineMax) return HeadError(t, L"a line longer than the limit");
      }
    }
    ssize_t got = ::recv(fd, buf, take, MSG_DONTWAIT);
    if (got != static_cast<ssize_t>(take)) return HeadError(t, L"a broken connection");
    head.append(buf, take);
    if (done) return 0;
  }
}

[[nodiscard]] bool ParseHead(const std::string& head, Answer& a) {
  size_t eol = head.find('\n');
  a.status_line = Trim(head.substr(0, eol));
  if (a.status_line.compare(0, 5, "HTTP/") != 0) return false;
  size_t sp = a.status_line.find(' ');
  if (sp == std::string::npos || a.status_line.size() < sp + 4) return false;
  a.status = 0;
  for (size_t i = sp + 1; i < sp + 4; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(a.status_line[i]))) return false;
    a.status = a.status * 10 + (a.status_line[i] - '0');
  }
  size_t pos = eol == std::string::npos ? head.size() : eol + 1;
  while (pos < head.size()) {
    size_t next = head.find('\n', pos);
    std::string line = head.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    pos = next == std::string::npos ? head.size() : next + 1;
    size_t colon = line.find(':');
    if (colon == std::string::npos || Lower(Trim(line.substr(0, colon))) != "proxy-authenticate") {
      continue;
    }
    // Challenges are separated by commas; a piece whose first word has no
    // '=' starts a new challenge, and that word is its scheme.
    std::string value = line.substr(colon + 1);
    size_t p = 0;
    while (p <= value.size()) {
      size_t comma = value.find(',', p);
      std::string piece =
          Trim(value.substr(p, comma == std::string::npos ? std::string::npos : comma - p));
      std::string word = piece.substr(0, piece.find_first_of(" \t"));
      if (!word.empty() && word.find('=') == std::string::npos) a.schemes.push_back(Lower(word));
      if (comma == std::string::npos) break;
      p = comma + 1;
    }
  }
  return true;
}

std::string BasicCredentials(const PROXY_AUTH_INFO& auth) {
  const std::string plain = auth.szUserName + ":" + auth.szUserPasswd;
  std::vector<unsigned char> out((plain.size() + 2) / 3 * 4 + 1);
  int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size()));
  return std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(std::max(n, 0)));
}

// One CONNECT on a fresh connection. 0 with the answer parsed and `fd` open;
// an error with `fd` closed.
[[nodiscard]] int Attempt(const Traversal& t, const PROXY_AUTH_INFO& auth, bool with_credentials,
                          UniqueFd& fd, Answer& answer) {
  int rc = ConnectProxy(t, fd);
  if (rc != 0) return rc;
  const std::string authority =
      t.target.szTargetAddress + ":" + std::to_string(t.target.TargetPort);
  std::string req = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (with_credentials) req += "Proxy-Authorization: Basic " + BasicCredentials(auth) + "\r\n";
  req += "\r\n";
  std::string head;
  rc = SendAll(t, fd.get(), req);
  if (rc == 0) rc = ReadHead(t, fd.get(), head);
  if (rc == 0 && !ParseHead(head, answer)) rc = HeadError(t, L"a malformed status line");
  if (rc != 0) fd.reset();
  return rc;
}

bool Offers(const Answer& a, const char* scheme) {
  return std::find(a.schemes.begin(), a.schemes.end(), scheme) != a.schemes.end();
}

// Why a 407 ends the traversal; always ERR_AUTH.
int RefuseAuth(const Traversal& t, const PROXY_AUTH_INFO& auth, const Answer& a, bool tried) {
  const bool basic = Offers(a, "basic");
  if (tried) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): proxy %s:%d refused the credentials of user '%s'\n",
           t.server.szProxyAddress, t.server.ProxyPort, auth.szUserName);
  } else if (basic) {
    SF_LOG(L_ERR,
           L"[ERROR] channel(%d): proxy %s:%d requires authentication but no proxy user is "
           L"configured\n",
           t.server.szProxyAddress, t.server.ProxyPort);
  } else if (Offers(a, "ntlm") || Offers(a, "negotiate")) {
    SF_LOG(L_ERR,
           L"[ERROR] channel(%d): proxy %s:%d accepts only NTLM authentication, which is not "
           L"supported; allow Basic authentication on the proxy\n",
           t.server.szProxyAddress, t.server.ProxyPort);
  } else {
    std::string offered;
    for (const std::string& s : a.schemes) offered += (offered.empty() ? "" : ", ") + s;
    SF_LOG(L_ERR,
           L"[ERROR] channel(%d): proxy %s:%d requires an authentication scheme that is not "
           L"supported (%s); allow Basic authentication on the proxy\n",
           t.server.szProxyAddress, t.server.ProxyPort, offered.empty() ? "none named" : offered);
  }
  return ERR_AUTH;
}

}  // namespace

int ZENTProxyTunnelOpen(const PROXY_SERVER_INFO* server, const PROXY_TARGET_INFO* target,
                        const PROXY_AUTH_INFO* auth, const PROXY_OPEN_LIMITS* limits, int* error) {
  int dummy = 0;
  int& err = error ? *error : dummy;
  const PROXY_OPEN_LIMITS defaults;
  const PROXY_OPEN_LIMITS& lim = limits ? *limits : defaults;
  if (server == nullptr || target == nullptr || auth == nullptr || server->szProxyAddress.empty() ||
      target->szTargetAddress.empty()) {
    err = ERR_INVAL;
    return -1;
  }
  const Traversal t{*server,
                    *target,
                    std::max(lim.wait_ms, 1),
                    DeadlineIn(lim.timeout_seconds),
                    lim.timeout_seconds,
                    lim.stopped};
  if (auth->AuthType == PROXY_NTLM_AUTH || auth->AuthType == PROXY_NTLMv2_AUTH) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): NTLM proxy authentication is not supported\n");
    err = ERR_AUTH;
    return -1;
  }
  bool with_credentials = auth->AuthType == PROXY_BASIC_AUTH;
  UniqueFd fd;
  while (true) {
    Answer answer;
    int rc = Attempt(t, *auth, with_credentials, fd, answer);
    if (rc != 0) {
      err = rc;
      return -1;
    }
    if (answer.status >= 200 && answer.status < 300) {
      SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): proxy %s:%d opened a tunnel to %s:%d\n",
             server->szProxyAddress, server->ProxyPort, target->szTargetAddress,
             target->TargetPort);
      err = 0;
      return fd.release();
    }
    fd.reset();
    if (answer.status == 407) {
      // One retry, and only where it can help: Basic offered, a user known,
      // no credentials sent yet, and the caller allows them.
      if (!with_credentials && auth->AuthType == PROXY_AUTO_AUTH && Offers(answer, "basic") &&
          !auth->szUserName.empty()) {
        with_credentials = true;
        continue;
      }
      err = RefuseAuth(t, *auth, answer, with_credentials);
      return -1;
    }
    if (answer.status == 401 && with_credentials) {
      // Some proxies answer wrong credentials this way rather than with 407.
      err = RefuseAuth(t, *auth, answer, true);
      return -1;
    }
    SF_LOG(L_ERR, L"[ERROR] channel(%d): proxy %s:%d refused CONNECT %s:%d: %s\n",
           server->szProxyAddress, server->ProxyPort, target->szTargetAddress, target->TargetPort,
           answer.status_line);
    err = ERR_IO;
    return -1;
  }
}

void ZENTProxyTunnelClose(int sock) {
  if (sock < 0) return;
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}
