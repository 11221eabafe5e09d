#include "monitor/server-probe.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "lib/base/errors.h"

namespace monitor {

namespace {

// Connects to one address with a timeout. Empty when accepted.
std::string TryConnect(const struct addrinfo* ai) {
  const UniqueFd sock(
      ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
  if (!sock.valid()) return ErrnoMessage(errno);
  const int fd = sock.get();
  std::string reason;
  if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      reason = ErrnoMessage(errno);
    } else {
      struct pollfd p = {fd, POLLOUT, 0};
      int r;
      do {
        r = ::poll(&p, 1, ServerProbe::kConnectTimeoutMs);
      } while (r < 0 && errno == EINTR);
      if (r == 0) {
        reason = "no answer within " + std::to_string(ServerProbe::kConnectTimeoutMs / 1000) + " s";
      } else {
        int err = 0;
        socklen_t len = sizeof(err);
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) reason = ErrnoMessage(err);
      }
    }
  }
  return reason;
}

}  // namespace

ServerProbe::ServerProbe() : m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ServerProbe::~ServerProbe() {
  if (m_thread.joinable()) m_thread.join();
}

void ServerProbe::Start(const std::string& host, int port) {
  if (m_running) {
    m_pending = true;
    m_pending_host = host;
    m_pending_port = port;
    return;
  }
  if (m_thread.joinable()) m_thread.join();
  m_running = true;
  m_thread = std::thread(&ServerProbe::Run, this, host, port);
}

void ServerProbe::Run(const std::string& host, int port) {
  std::string reason;
  if (port < 1 || port > 65535) {
    reason = "port " + std::to_string(port) + " is not a valid port";
  } else {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
    if (rc != 0) {
      reason = std::string("the name cannot be resolved: ") + ::gai_strerror(rc);
    } else {
      reason = "no address";
      for (const struct addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
        reason = TryConnect(ai);
        if (reason.empty()) break;
      }
      ::freeaddrinfo(res);
    }
  }
  {
    MutexLock g(m_mu);
    m_ready = true;
    m_host = host;
    m_port = port;
    m_reason = reason;
  }
  const uint64_t one = 1;
  (void)!::write(m_wake.get(), &one, sizeof(one));
}

bool ServerProbe::Take(std::string& host, int& port, std::string& reason) {
  uint64_t v;
  (void)!::read(m_wake.get(), &v, sizeof(v));
  {
    MutexLock g(m_mu);
    if (!m_ready) return false;
    m_ready = false;
    host = m_host;
    port = m_port;
    reason = m_reason;
  }
  // The thread has posted its result and is about to end.
  m_running = false;
  if (m_pending) {
    m_pending = false;
    Start(m_pending_host, m_pending_port);
  }
  return true;
}

}  // namespace monitor
