// A listening TCP socket that runs each accepted connection on a thread of
// its own, for the programs that accept connections (the relay).
//
// Threads: one acceptor thread (polls the listening socket and a wake-up
// eventfd) and one thread per connection, up to max_connections; one over
// the cap is closed at once. Stop shuts every connection's socket down, which
// ends the waits of their handlers, and joins all threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <thread>

#include "lib/base/handles.h"
#include "lib/base/mutex.h"

class TcpAcceptor {
 public:
  // Runs on the connection's thread and owns `fd` (non-blocking, close on
  // exec, no send delay): it closes it, directly or through a Channel.
  using Handler = std::function<void(int fd, uint64_t id)>;

  TcpAcceptor() = default;
  ~TcpAcceptor();  // Stop()
  TcpAcceptor(const TcpAcceptor&) = delete;
  TcpAcceptor& operator=(const TcpAcceptor&) = delete;

  // Binds bind_ip:port (0: any free port), listens and starts accepting.
  // 0; ERR_INVAL (bad address or cap 0); ERR_IO (bind or listen failed);
  // ERR_SYS (no wake-up descriptor). Failures are logged.
  [[nodiscard]] int Start(const std::string& bind_ip, int port, size_t max_connections,
                          Handler handler);
  // Ends every connection and joins all threads. Idempotent.
  void Stop();

  int port() const { return m_port; }
  size_t Active() const;
  uint64_t Accepted() const { return m_accepted.load(); }
  uint64_t Refused() const { return m_refused.load(); }

 private:
  struct Conn {
    UniqueFd fd;  // the acceptor's own descriptor of the socket, for shutdown
    std::thread thread;
    bool done = false;
  };
  void AcceptLoop();
  void Reap(bool all) EXCLUDES(m_mutex);

  // Constant after Start.
  Handler m_handler;
  size_t m_max = 0;
  UniqueFd m_listenFd;
  UniqueFd m_wakeFd;
  int m_port = 0;
  std::thread m_thread;

  std::atomic<bool> m_stop{false};
  std::atomic<uint64_t> m_accepted{0};
  std::atomic<uint64_t> m_refused{0};

  mutable Mutex m_mutex;
  std::list<Conn> m_conns GUARDED_BY(m_mutex);
  uint64_t m_nextId GUARDED_BY(m_mutex) = 0;
};
