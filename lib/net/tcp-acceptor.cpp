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
#include <utility>

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
  m_listenFd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  if (!m_listenFd.valid() ||
      setsockopt(m_listenFd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      bind(m_listenFd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(m_listenFd.get(), kBacklog) != 0) {
    SF_LOG(L_ERR, L"[ERROR] tcp-acceptor(%d): cannot listen on %s:%d: %s\n", bind_ip, port,
           ErrnoMessage(errno));
    m_listenFd.reset();
    return ERR_IO;
  }
  socklen_t len = sizeof(addr);
  getsockname(m_listenFd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
  m_wakeFd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!m_wakeFd.valid()) {
    m_listenFd.reset();
    return ERR_SYS;
  }
  m_thread = std::thread(&TcpAcceptor::AcceptLoop, this);
  return 0;
}

void TcpAcceptor::Stop() {
  m_stop.store(true);
  if (m_wakeFd.valid()) {
    uint64_t one = 1;
    (void)!write(m_wakeFd.get(), &one, sizeof(one));
  }
  if (m_thread.joinable()) m_thread.join();
  {
    MutexLock g(m_mutex);
    for (Conn& c : m_conns) shutdown(c.fd.get(), SHUT_RDWR);
  }
  Reap(true);
  m_listenFd.reset();
  m_wakeFd.reset();
}

void TcpAcceptor::Reap(bool all) {
  std::list<Conn> finished;
  {
    MutexLock g(m_mutex);
    for (auto it = m_conns.begin(); it != m_conns.end();) {
      auto next = std::next(it);
      if (all || it->done) finished.splice(finished.end(), m_conns, it);
      it = next;
    }
  }
  for (Conn& c : finished) {
    if (c.thread.joinable()) c.thread.join();
    c.fd.reset();
  }
}

size_t TcpAcceptor::Active() const {
  MutexLock g(m_mutex);
  size_t live = 0;
  for (const Conn& c : m_conns) live += c.done ? 0 : 1;
  return live;
}

void TcpAcceptor::AcceptLoop() {
  while (!m_stop.load()) {
    pollfd fds[2] = {{m_listenFd.get(), POLLIN, 0}, {m_wakeFd.get(), POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || m_stop.load()) break;
    Reap(false);
    if (!(fds[0].revents & POLLIN)) continue;
    UniqueFd fd(accept4(m_listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd.valid()) continue;
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // The handler gets its own descriptor of the socket and closes it when
    // it likes; ours stays valid for Stop's shutdown until the thread is
    // joined, so a shutdown never reaches a number reused meanwhile.
    UniqueFd mine(fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
    MutexLock g(m_mutex);
    size_t live = 0;
    for (const Conn& c : m_conns) live += c.done ? 0 : 1;
    if (!mine.valid() || live >= m_max) {
      ++m_refused;
      SF_LOG(L_WARNING, L"[WARNING] tcp-acceptor(%d): %d connections open, refusing another\n",
             static_cast<int>(live));
      continue;
    }
    ++m_accepted;
    m_conns.emplace_back();
    Conn* c = &m_conns.back();
    c->fd = std::move(mine);
    const uint64_t id = ++m_nextId;
    try {
      c->thread = std::thread([this, c, handed = fd.get(), id] {
        m_handler(handed, id);
        MutexLock lock(m_mutex);
        c->done = true;
      });
      (void)fd.release();  // the handler owns it now
    } catch (const std::system_error&) {
      SF_LOG(L_ERR, L"[ERROR] tcp-acceptor(%d): no thread for connection %llu\n", id);
      m_conns.pop_back();
    }
  }
}
