// A process of another local user (the account "nobody"), for tests of what
// a stranger on the same machine can do to the daemon and the monitor. It
// takes root to become someone else: without it Possible() is false and the
// tests that need a stranger skip.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace sftest {

class Stranger {
 public:
  // True when this process may become "nobody" (it runs as root and the
  // account exists).
  static bool Possible();

  Stranger() = default;
  ~Stranger();  // Stop()
  Stranger(const Stranger&) = delete;
  Stranger& operator=(const Stranger&) = delete;

  // Forks a child that drops every privilege to "nobody" and runs
  // body(report): `report` is a pipe to this process, read with Report().
  // The child exits with body's result and dies with this process. Every
  // socket and file the body makes belongs to nobody.
  bool Start(const std::function<int(int report)>& body);
  // What the child has written to `report` so far.
  std::string Report();
  // Waits until the report holds at least `n` bytes.
  bool WaitReport(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Kills and reaps the child (its sockets close with it). Idempotent.
  void Stop();
  uid_t uid() const { return m_uid; }

 private:
  pid_t m_pid = -1;
  int m_report = -1;
  uid_t m_uid = 0;
  std::string m_got;
};

}  // namespace sftest
