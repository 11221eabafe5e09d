// A stand-in for the user interface: a loopback listener on a free port
// that keeps every daemon connection's bytes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sftest {

// Listens on the UI port and records every accepted connection separately:
// other daemons started by tests running in parallel may connect too, so a
// test finds its own daemon's connection by the session it registered.
class UiListener {
 public:
  // `port` 0: any free port.
  explicit UiListener(int port = 0) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);  // see ListenLoopback
    int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0 ||
        ::listen(m_listen, 16) < 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) < 0) {
      ::close(m_listen);
      m_listen = -1;
      return;
    }
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~UiListener() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    for (auto& c : m_conns) ::close(c.fd);
    if (m_listen >= 0) ::close(m_listen);
  }
  bool ok() const { return m_listen >= 0; }
  int port() const { return m_port; }

  // Connections accepted so far.
  size_t Connections() {
    std::lock_guard<std::mutex> g(m_mu);
    return m_conns.size();
  }
  // Bytes of the newest connection whose stream starts with `prefix`, among
  // those accepted from the `first`th on (a restarted daemon's old
  // connection also matches); whether it has been closed by the other side.
  bool Find(const std::string& prefix, std::string& bytes, bool& closed, size_t first = 0) {
    std::lock_guard<std::mutex> g(m_mu);
    for (size_t i = m_conns.size(); i-- > first;) {
      const auto& c = m_conns[i];
      if (c.bytes.compare(0, prefix.size(), prefix) == 0) {
        bytes = c.bytes;
        closed = c.closed;
        return true;
      }
    }
    return false;
  }

 private:
  struct Conn {
    int fd;
    std::string bytes;
    bool closed = false;
  };
  void Run() {
    while (!m_stop) {
      std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
      {
        std::lock_guard<std::mutex> g(m_mu);
        for (const auto& c : m_conns)
          if (!c.closed) fds.push_back({c.fd, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::lock_guard<std::mutex> g(m_mu);
          m_conns.push_back(Conn{fd, std::string(), false});
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[4096];
        ssize_t n = ::recv(fds[i].fd, buf, sizeof(buf), 0);
        std::lock_guard<std::mutex> g(m_mu);
        for (auto& c : m_conns) {
          if (c.fd != fds[i].fd) continue;
          if (n <= 0)
            c.closed = true;
          else
            c.bytes.append(buf, static_cast<size_t>(n));
        }
      }
    }
  }

  int m_listen = -1;
  int m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::mutex m_mu;
  std::vector<Conn> m_conns;  // guarded by m_mu
};

}  // namespace sftest
