// The HTTP proxy's answers to CONNECT, through a real loopback connection:
// a thread plays the proxy and sends the input as its answer, then ends the
// stream. The first byte picks the authentication mode; the bytes after a
// 0xFF 0xFE pair, when there is one, answer the second CONNECT that a 407
// offering Basic brings. When a tunnel opens, every byte behind the
// answer's head must still be in the socket (it belongs to the target).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "fakes/test-util.h"
#include "fuzz/fuzz-common.h"
#include "lib/net/http-proxy.h"

namespace {

class FakeProxy {
 public:
  FakeProxy() {
    int port = 0;
    m_listen = sftest::ListenLoopback(port, 8);
    m_port = static_cast<uint16_t>(port);
    std::thread([this] { Serve(); }).detach();
  }
  uint16_t port() const { return m_port; }
  void SetAnswers(std::string first, std::string second) {
    std::lock_guard<std::mutex> l(m_mutex);
    m_answers[0] = std::move(first);
    m_answers[1] = std::move(second);
    m_next = 0;
  }
  // The answer the last connection was given.
  std::string Last() {
    std::lock_guard<std::mutex> l(m_mutex);
    return m_answers[m_next > 1 ? 1 : 0];
  }

 private:
  void Serve() {
    for (;;) {
      // The listener does not block: wait for a connection first.
      struct pollfd p = {m_listen, POLLIN, 0};
      if (::poll(&p, 1, -1) != 1) continue;
      int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string answer;
      {
        std::lock_guard<std::mutex> l(m_mutex);
        answer = m_answers[m_next > 0 ? 1 : 0];
        ++m_next;
      }
      // The request ends with an empty line; read it all, so that closing
      // later is an orderly end rather than a reset.
      std::string req;
      char buf[4096];
      while (req.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      size_t off = 0;
      while (off < answer.size()) {
        ssize_t n = ::send(fd, answer.data() + off, answer.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      ::shutdown(fd, SHUT_WR);
      while (::recv(fd, buf, sizeof(buf), 0) > 0) {
      }
      // Both ends are done: close without TIME_WAIT, which millions of
      // connections would otherwise fill the port range with.
      const struct linger hard = {1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
      ::close(fd);
    }
  }

  int m_listen = -1;
  uint16_t m_port = 0;
  std::mutex m_mutex;
  std::string m_answers[2];
  int m_next = 0;
};

// Where the head ends as the daemon must see it: after the first LF that
// closes an empty line or a lone CR.
size_t HeadEnd(const std::string& s) {
  size_t line = 0;
  bool lone_cr = false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n') {
      if (line == 0 || lone_cr) return i + 1;
      line = 0;
      lone_cr = false;
    } else {
      lone_cr = line == 0 && s[i] == '\r';
      ++line;
    }
  }
  return std::string::npos;
}

std::string ReadToEnd(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) __builtin_trap();  // the proxy always ends its stream
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FakeProxy* proxy = [] {
    sffuzz::Init();
    return new FakeProxy();
  }();
  if (size < 1 || size > 40000) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t sep = rest.find("\xff\xfe");
  const std::string first = rest.substr(0, sep);
  const std::string second = sep == std::string::npos ? first : rest.substr(sep + 2);
  proxy->SetAnswers(first, second);

  PROXY_SERVER_INFO server;
  server.szProxyAddress = "127.0.0.1";
  server.ProxyPort = proxy->port();
  PROXY_TARGET_INFO target;
  target.szTargetAddress = "10.1.2.3";
  target.TargetPort = 6690;
  PROXY_AUTH_INFO auth;
  static const PROXY_AUTH_TYPE kModes[] = {PROXY_AUTO_AUTH, PROXY_BASIC_AUTH, PROXY_NO_AUTH,
                                           PROXY_AUTO_AUTH};
  auth.AuthType = kModes[data[0] % 4];
  if (data[0] % 4 != 3) {
    auth.szUserName = "user";
    auth.szUserPasswd = "pass:word";
  }
  PROXY_OPEN_LIMITS limits;
  limits.wait_ms = 1000;
  limits.timeout_seconds = 10;
  int error = 0;
  const int fd = ZENTProxyTunnelOpen(&server, &target, &auth, &limits, &error);
  if (fd < 0) {
    if (error == 0) __builtin_trap();  // a failure must say why
    return 0;
  }
  // Opened: by the answer that was served last, whose head must have been
  // read exactly.
  const std::string answer = proxy->Last();
  const std::string behind = ReadToEnd(fd);
  ZENTProxyTunnelClose(fd);
  const size_t end = HeadEnd(answer);
  if (end == std::string::npos || answer.substr(end) != behind) __builtin_trap();
  return 0;
}
