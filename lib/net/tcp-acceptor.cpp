#include "lib/net/tcp-acceptor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "lib/base/errors.h"
#include "lib/base/log.h"

namespace {
constexpr wchar_t kLogComponent[] = L"channel_debug";
constexpr int kBacklog = 64;
}  // namespace

TcpAcceptor::~TcpAcceptor() {
  Stop();
}

int TcpAcceptor::Start(const std::string& bind_ip, int port, size_t max_connections,
                       Handler handler) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (port < 0 || port > 65535 || max_connections == 0 || !handler ||
      inet_pton(AF_INET, bind_ip.c_str(), &addr.sin_addr) != 1) {
    SF_LOG(L_ERR, L"[ERROR] tcp-acceptor(%d): bad listen address %s:%d\n", bind_ip, port);
    return ERR_INVAL;
  }
  m_handler = std::move(handler);
  m_max = max_connections;
  m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (m_listenFd < 0 || setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(m_listenFd, kBacklog) != 0) {
    SF_LOG(L_ERR, L"[ERROR] tcp-acceptor(%d): cannot listen on %s:%d: %s\n", bind_ip, port,
           ErrnoMessage(errno));
    if (m_listenFd >= 0) close(m_listenFd);
    m_listenFd = -1;
    return ERR_IO;
  }
  socklen_t len = sizeof(addr);
  getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) {
    close(m_listenFd);
    m_listenFd = -1;
    return ERR_SYS;
  }
  m_thread = std::thread(&TcpAcceptor::AcceptLoop, this);
  return 0;
}

void TcpAcceptor::Stop() {
  m_stop.store(true);
  if (m_wakeFd >= 0) {
    uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof(one));
  }
  if (m_thread.joinable()) m_thread.join();
  {
    std::lock_guard<std::mutex> g(m_mutex);
    for (Conn& c : m_conns) shutdown(c.fd, SHUT_RDWR);
  }
  Reap(true);
  if (m_listenFd >= 0) close(m_listenFd);
  if (m_wakeFd >= 0) close(m_wakeFd);
  m_listenFd = m_wakeFd = -1;
}

void TcpAcceptor::Reap(bool all) {
  std::list<Conn> finished;
  {
    std::lock_guard<std::mutex> g(m_mutex);
    for (auto it = m_conns.begin(); it != m_conns.end();) {
      auto next = std::next(it);
      if (all || it->done) finished.splice(finished.end(), m_conns, it);
      it = next;
    }
  }
  for (Conn& c : finished) {
    if (c.thread.joinable()) c.thread.join();
    close(c.fd);
  }
}

size_t TcpAcceptor::Active() const {
  std::lock_guard<std::mutex> g(m_mutex);
  size_t live = 0;
  for (const Conn& c : m_conns) live += c.done ? 0 : 1;
  return live;
}

void TcpAcceptor::AcceptLoop() {
  while (!m_stop.load()) {
    pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || m_stop.load()) break;
    Reap(false);
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // The handler gets its own descriptor of the socket and closes it when
    // it likes; ours stays valid for Stop's shutdown until the thread is
    // joined, so a shutdown never reaches a number reused meanwhile.
    int mine = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::lock_guard<std::mutex> g(m_mutex);
    size_t live = 0;
    for (const Conn& c : m_conns) live += c.done ? 0 : 1;
    if (mine < 0 || live >= m_max) {
      ++m_refused;
      SF_LOG(L_WARNING, L"[WARNING] tcp-acceptor(%d): %d connections open, refusing another\n",
             static_cast<int>(live));
      close(fd);
      if (mine >= 0) close(mine);
      continue;
    }
    ++m_accepted;
    m_conns.emplace_back();
    Conn* c = &m_conns.back();
    c->fd = mine;
    const uint64_t id = ++m_nextId;
    try {
      c->thread = std::thread([this, c, fd, id] {
        m_handler(fd, id);
        std::lock_guard<std::mutex> lock(m_mutex);
        c->done = true;
      });
    } catch (const std::system_error&) {
      SF_LOG(L_ERR, L"[ERROR] tcp-acceptor(%d): no thread for connection %llu\n", id);
      m_conns.pop_back();
      close(fd);
      close(mine);
    }
  }
}
