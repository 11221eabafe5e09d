#include "server/connection-gate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "lib/base/errors.h"
#include "lib/base/log.h"

namespace {
constexpr wchar_t kLogComponent[] = L"server_debug";

// The dotted form of an IPv4 address in network order.
std::string AddressText(in_addr_t addr) {
  char buf[INET_ADDRSTRLEN] = "?";
  in_addr a{};
  a.s_addr = addr;
  (void)inet_ntop(AF_INET, &a, buf, sizeof(buf));
  return buf;
}
}  // namespace

ConnectionGate::~ConnectionGate() {
  Stop();
}

int ConnectionGate::Start(const GateLimits& limits) {
  if (limits.total == 0 || limits.per_address == 0 || limits.unauthenticated == 0 ||
      limits.login_timeout.count() <= 0) {
    return ERR_INVAL;
  }
  m_limits = limits;
  {
    MutexLock g(m_mutex);
    m_stop = false;
  }
  try {
    m_watcher = std::thread(&ConnectionGate::Watch, this);
  } catch (const std::system_error&) {
    SF_LOG(L_ERR, L"[ERROR] connection-gate(%d): no thread for the login deadlines\n");
    return ERR_SYS;
  }
  return 0;
}

void ConnectionGate::Stop() {
  {
    MutexLock g(m_mutex);
    m_stop = true;
  }
  m_wake.NotifyAll();
  if (m_watcher.joinable()) m_watcher.join();
}

bool ConnectionGate::Admit(uint64_t id, int fd) {
  sockaddr_in peer{};
  socklen_t len = sizeof(peer);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
      peer.sin_family != AF_INET) {
    ++m_refused;
    SF_LOG(L_NOTICE, L"[NOTE] connection-gate(%d): connection %llu has no peer address\n", id);
    return false;
  }
  const in_addr_t addr = peer.sin_addr.s_addr;
  UniqueFd mine(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!mine.valid()) {
    ++m_refused;
    SF_LOG(L_WARNING,
           L"[WARNING] connection-gate(%d): no descriptor to spare for connection %llu\n", id);
    return false;
  }

  MutexLock g(m_mutex);
  size_t total = 0, from_addr = 0, silent = 0;
  for (const auto& [other, s] : m_slots) {
    if (s.ended) continue;
    ++total;
    from_addr += s.addr == addr ? 1 : 0;
    silent += s.logged_in ? 0 : 1;
  }
  // At most one connection has to go: the first push-out below leaves room
  // under every cap.
  if (from_addr >= m_limits.per_address) {
    auto it = OldestSilent(false, addr);
    if (it == m_slots.end()) {
      ++m_refused;
      SF_LOG(L_NOTICE,
             L"[NOTE] connection-gate(%d): connection %llu refused: %s holds %llu logged-in "
             L"connections\n",
             id, AddressText(addr), static_cast<unsigned long long>(from_addr));
      return false;
    }
    ++m_pushedOut;
    End(it->second, it->first, L"pushed out by a newer one from its address");
  } else if (total >= m_limits.total || silent >= m_limits.unauthenticated) {
    auto it = OldestSilent(true, addr);
    if (it == m_slots.end()) {
      ++m_refused;
      SF_LOG(L_NOTICE,
             L"[NOTE] connection-gate(%d): connection %llu from %s refused: all %llu "
             L"connections are logged in\n",
             id, AddressText(addr), static_cast<unsigned long long>(total));
      return false;
    }
    ++m_pushedOut;
    End(it->second, it->first, L"pushed out by a newer one");
  }
  Slot& s = m_slots[id];
  s.addr = addr;
  s.since = Clock::now();
  s.fd = std::move(mine);
  m_wake.NotifyAll();
  return true;
}

void ConnectionGate::LoggedIn(uint64_t id) {
  MutexLock g(m_mutex);
  auto it = m_slots.find(id);
  if (it != m_slots.end()) it->second.logged_in = true;
}

void ConnectionGate::Leave(uint64_t id) {
  MutexLock g(m_mutex);
  m_slots.erase(id);
}

ConnectionGate::Slots::iterator ConnectionGate::OldestSilent(bool any_address, in_addr_t addr) {
  in_addr_t from = addr;
  if (any_address) {
    // The newcomer counts for its own address, so that a tie pushes out one
    // of its own rather than a stranger's.
    std::map<in_addr_t, size_t> silent;
    for (const auto& [id, s] : m_slots) {
      if (!s.ended && !s.logged_in) ++silent[s.addr];
    }
    size_t most = 0;
    for (const auto& [a, n] : silent) {
      const size_t score = n + (a == addr ? 1 : 0);
      if (score > most || (score == most && a == addr)) {
        most = score;
        from = a;
      }
    }
  }
  return std::find_if(m_slots.begin(), m_slots.end(), [&](const auto& e) {
    return !e.second.ended && !e.second.logged_in && e.second.addr == from;
  });
}

void ConnectionGate::End(Slot& s, uint64_t id, const wchar_t* why) {
  s.ended = true;
  (void)shutdown(s.fd.get(), SHUT_RDWR);
  SF_LOG(L_NOTICE, L"[NOTE] connection-gate(%d): connection %llu from %s closed: %s\n", id,
         AddressText(s.addr), why);
}

void ConnectionGate::Watch() {
  MutexLock g(m_mutex);
  while (!m_stop) {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (auto& [id, s] : m_slots) {
      if (s.logged_in || s.ended) continue;
      const Clock::time_point due = s.since + m_limits.login_timeout;
      if (due <= now) {
        ++m_expired;
        End(s, id, L"not logged in in time");
      } else {
        next = std::min(next, due);
      }
    }
    if (next == Clock::time_point::max()) {
      m_wake.Wait(m_mutex);
    } else {
      (void)m_wake.WaitUntil(m_mutex, next);
    }
  }
}
