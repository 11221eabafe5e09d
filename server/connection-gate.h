// Who may hold one of the server's connections: at most `total` at once, at
// most `per_address` from one client address, at most `unauthenticated` that
// have not logged in yet, each of those for at most `login_timeout`. A
// newcomer that finds no room takes the place of the oldest connection not
// logged in yet (of its own address when that address is full, else of the
// address with the most such connections); a logged-in connection is never
// pushed out, so silent connections cannot lock out a client that logs in.
//
// Threads: Admit, LoggedIn and Leave run on the connection threads. The
// deadline watcher is a thread of its own; it sleeps on a condition variable
// until the nearest login deadline, a new connection or Stop. A connection
// pushed out or past its deadline has its socket shut down, which ends its
// thread's waits; that thread then calls Leave as usual.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <thread>

#include "lib/base/handles.h"
#include "lib/base/mutex.h"

struct GateLimits {
  size_t total = 64;
  size_t per_address = 48;
  size_t unauthenticated = 16;
  std::chrono::milliseconds login_timeout{10000};
};

class ConnectionGate {
 public:
  using Clock = std::chrono::steady_clock;

  ConnectionGate() = default;
  ~ConnectionGate();  // Stop()
  ConnectionGate(const ConnectionGate&) = delete;
  ConnectionGate& operator=(const ConnectionGate&) = delete;

  // Starts the deadline watcher. 0, or ERR_INVAL for limits that admit
  // nothing, or ERR_SYS when no thread can be had.
  [[nodiscard]] int Start(const GateLimits& limits);
  // Joins the watcher. Sockets still admitted are left to their threads.
  // Idempotent.
  void Stop();

  // Decides on the accepted socket `fd` (which stays the caller's): true
  // when connection `id` may go on, false when the caller must close it.
  // May shut down another connection's socket to make room. Thread-safe.
  [[nodiscard]] bool Admit(uint64_t id, int fd);
  // Connection `id` proved who it is: no deadline, and never pushed out.
  void LoggedIn(uint64_t id);
  // Connection `id` ended (admitted or not: nothing happens for an unknown id).
  void Leave(uint64_t id);

  // Since Start: newcomers refused, connections pushed out for a newcomer,
  // and connections closed at their login deadline.
  uint64_t Refused() const { return m_refused.load(); }
  uint64_t PushedOut() const { return m_pushedOut.load(); }
  uint64_t Expired() const { return m_expired.load(); }

 private:
  struct Slot {
    in_addr_t addr = 0;  // network order
    bool logged_in = false;
    bool ended = false;  // shut down by the gate; its thread has not left yet
    Clock::time_point since;
    UniqueFd fd;  // our own descriptor of the socket, for the shutdown
  };
  using Slots = std::map<uint64_t, Slot>;  // by id: oldest first

  void Watch();
  // The oldest live connection not logged in: of `addr`, or with
  // `any_address` of the address that holds the most of them; end() when
  // there is none.
  Slots::iterator OldestSilent(bool any_address, in_addr_t addr) REQUIRES(m_mutex);
  // Shuts the connection's socket down; its thread leaves soon after. The
  // caller counts the end first, so that a peer seeing it sees it counted.
  void End(Slot& s, uint64_t id, const wchar_t* why) REQUIRES(m_mutex);

  // Constant after Start.
  GateLimits m_limits;

  std::atomic<uint64_t> m_refused{0};
  std::atomic<uint64_t> m_pushedOut{0};
  std::atomic<uint64_t> m_expired{0};

  mutable Mutex m_mutex;
  CondVar m_wake;
  Slots m_slots GUARDED_BY(m_mutex);
  bool m_stop GUARDED_BY(m_mutex) = false;
  std::thread m_watcher;
};

// Leaves the gate when the connection's thread is done with it.
class GateTicket {
 public:
  GateTicket(ConnectionGate& gate, uint64_t id) : m_gate(gate), m_id(id) {}
  ~GateTicket() { m_gate.Leave(m_id); }
  GateTicket(const GateTicket&) = delete;
  GateTicket& operator=(const GateTicket&) = delete;

 private:
  ConnectionGate& m_gate;
  const uint64_t m_id;
};
