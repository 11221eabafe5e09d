// A one-off check that the daemon's first hop (server, proxy or relay)
// accepts TCP connections, so that a wrong address or a server that is not
// running is said at once instead of after the daemon's own retries.
//
// Threads: Start runs the name lookup and the connect on a thread of its
// own (a lookup cannot be made non-blocking); the monitor's thread learns of
// the result through wake_fd() and Take(). The destructor joins the thread,
// which ends within the connect timeout once its lookup has returned.
#pragma once

#include <string>
#include <thread>

#include "lib/base/handles.h"
#include "lib/base/mutex.h"

namespace monitor {

class ServerProbe {
 public:
  static constexpr int kConnectTimeoutMs = 5000;

  ServerProbe();
  ~ServerProbe();
  ServerProbe(const ServerProbe&) = delete;
  ServerProbe& operator=(const ServerProbe&) = delete;

  // Starts a check of host:port. While a check runs, the new one is kept and
  // started when the running one's result is taken, so this never waits.
  void Start(const std::string& host, int port);
  // Readable when a result is waiting.
  int wake_fd() const { return m_wake.get(); }
  // Takes the waiting result: false when there is none. `reason` is empty
  // when the connection was accepted, else why it failed.
  [[nodiscard]] bool Take(std::string& host, int& port, std::string& reason);

 private:
  void Run(const std::string& host, int port);

  UniqueFd m_wake;
  std::thread m_thread;
  // Used by the monitor's thread only.
  bool m_running = false;
  bool m_pending = false;
  std::string m_pending_host;
  int m_pending_port = 0;
  Mutex m_mu;
  bool m_ready GUARDED_BY(m_mu) = false;
  std::string m_host GUARDED_BY(m_mu);
  int m_port GUARDED_BY(m_mu) = 0;
  std::string m_reason GUARDED_BY(m_mu);
};

}  // namespace monitor
