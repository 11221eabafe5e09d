// A TCP proxy for fault tests: it listens on a free loopback port, forwards
// every connection to a target port on 127.0.0.1, and can spoil one
// connection at a chosen byte in either direction:
//   cut      both sockets closed (FIN) once N bytes went through
//   reset    both sockets reset (RST) once N bytes went through
//   stall    nothing more is forwarded in that direction until Release() or
//            until either side gives up and closes
//   trickle  after N bytes, one byte every `gap`
//   corrupt  byte number N (from 0) has its bits flipped by `mask`
//
// Random faults come from one seed. The seed is printed on standard error
// when the proxy starts ("fault-proxy: seed <n>"); setting SF_FAULT_SEED to
// that number replays the same choices, connection by connection (the n-th
// connection always draws from the same stream).
//
// Threads: one accepting thread and one thread per connection, each waiting
// in poll() on its sockets and a wake-up pipe; the destructor wakes and joins
// them all. Every public member is thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace sftest {

struct Fault {
  enum Kind { kNone, kCut, kReset, kStall, kTrickle, kCorrupt };
  // kUp: client to server; kDown: server to client.
  enum Dir { kUp, kDown };
  Kind kind = kNone;
  Dir dir = kDown;
  uint64_t after = 0;  // bytes forwarded in `dir` before the fault fires
  std::chrono::milliseconds gap{2};  // kTrickle: pause between bytes
  uint8_t mask = 0xFF;               // kCorrupt: bits flipped (never 0)

  std::string Describe() const;
};

class FaultProxy {
 public:
  // Seed: `seed` when non-zero, else SF_FAULT_SEED when set, else a random
  // one. Throws std::runtime_error when no loopback port can be bound.
  explicit FaultProxy(int target_port, uint64_t seed = 0);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  int port() const { return m_port; }
  uint64_t seed() const { return m_seed; }
  // Where new connections go from now on (a restarted server's new port).
  void SetTarget(int port);

  // The next new connection gets `f`; later ones are forwarded untouched
  // unless more faults are queued (they are taken in order).
  void ArmOnce(const Fault& f);
  // Every new connection that finds no queued fault gets a random one with
  // probability `p` (0 turns it off). Random faults fire within the first
  // `max_after` bytes of the chosen direction; stalls are not drawn (they
  // last until the daemon's own timeout).
  // Corrupted bytes are drawn only with `corrupt` (a flipped id or path is
  // a well-formed message no peer can tell from a real one).
  void SetRandomFaults(double p, uint64_t max_after, bool corrupt = true);
  // A fault of `kind` with a random direction and offset below `max_after`,
  // drawn from the proxy's seeded stream (for tests that arm their own).
  Fault Draw(Fault::Kind kind, uint64_t max_after);
  Fault Draw(Fault::Kind kind, Fault::Dir dir, uint64_t max_after);
  // The random fault connection number `index` (from 0) gets when nothing
  // is queued for it: a pure function of the seed and the settings.
  Fault RandomFault(uint64_t index) const;

  // Drops the faults queued by ArmOnce that no connection took yet.
  void ClearQueued();
  // Ends every stall.
  void Release();
  // Resets every open connection now.
  void ResetAll();
  // Refuses new connections (accepted and closed at once) while `on`.
  void SetRefuse(bool on) { m_refuse.store(on); }

  // Counters.
  int Connections() const { return m_connections.load(); }
  int FaultsFired() const { return m_fired.load(); }
  int FaultsFired(Fault::Kind k) const { return m_firedKind[k].load(); }
  int OpenConnections() const;
  uint64_t BytesUp() const { return m_bytesUp.load(); }
  uint64_t BytesDown() const { return m_bytesDown.load(); }
  // One line per fired fault, for failure messages.
  std::vector<std::string> History() const;

 private:
  struct Conn;
  void AcceptLoop();
  void Serve(std::shared_ptr<Conn> c);
  Fault NextFault(uint64_t index);
  void Record(const Fault& f, uint64_t index);

  int m_listen = -1;
  int m_port = 0;
  std::atomic<int> m_target;
  uint64_t m_seed = 0;
  int m_wake[2] = {-1, -1};
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_refuse{false};
  std::atomic<uint64_t> m_releaseGen{0};
  std::atomic<uint64_t> m_resetGen{0};

  mutable std::mutex m_mu;
  std::deque<Fault> m_queued;          // guarded by m_mu
  double m_randomP = 0;                // guarded by m_mu
  uint64_t m_randomMax = 0;            // guarded by m_mu
  bool m_randomCorrupt = true;         // guarded by m_mu
  std::mt19937_64 m_drawRng;           // guarded by m_mu
  struct Worker {
    std::thread thread;
    std::shared_ptr<Conn> conn;
  };
  std::vector<Worker> m_workers;       // guarded by m_mu; finished ones reaped
  std::vector<std::string> m_history;  // guarded by m_mu
  std::thread m_acceptor;

  std::atomic<int> m_connections{0};
  std::atomic<int> m_fired{0};
  std::atomic<int> m_firedKind[6] = {};
  std::atomic<uint64_t> m_bytesUp{0};
  std::atomic<uint64_t> m_bytesDown{0};
};

}  // namespace sftest
