#include "fakes/fault-proxy.h"

#include "fakes/test-util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sftest {

namespace {

constexpr size_t kMaxBuffered = 64 * 1024;

const char* KindName(Fault::Kind k) {
  switch (k) {
    case Fault::kNone: return "none";
    case Fault::kCut: return "cut";
    case Fault::kReset: return "reset";
    case Fault::kStall: return "stall";
    case Fault::kTrickle: return "trickle";
    case Fault::kCorrupt: return "corrupt";
  }
  return "?";
}

void SetNonBlock(int fd) {
  int fl = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// A close that sends RST instead of FIN.
void ResetClose(int& fd) {
  if (fd < 0) return;
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  ::close(fd);
  fd = -1;
}

void PlainClose(int& fd) {
  if (fd < 0) return;
  ::close(fd);
  fd = -1;
}

uint64_t SeedFromEnvironment(uint64_t given) {
  if (given != 0) return given;
  if (const char* env = std::getenv("SF_FAULT_SEED"); env != nullptr && *env != '\0')
    return std::strtoull(env, nullptr, 0);
  std::random_device rd;
  return (static_cast<uint64_t>(rd()) << 32) | rd();
}

}  // namespace

std::string Fault::Describe() const {
  char buf[160];
  std::snprintf(buf, sizeof(buf), "%s %s after %llu bytes", KindName(kind),
                dir == kUp ? "client->server" : "server->client",
                static_cast<unsigned long long>(after));
  return buf;
}

struct FaultProxy::Conn {
  int client = -1;
  int server = -1;
  uint64_t index = 0;
  Fault fault;
  std::atomic<bool> finished{false};
};

FaultProxy::FaultProxy(int target_port, uint64_t seed)
    : m_target(target_port), m_seed(SeedFromEnvironment(seed)), m_drawRng(m_seed ^ 0x5eedULL) {
  std::fprintf(stderr, "fault-proxy: seed %llu (replay with SF_FAULT_SEED=%llu)\n",
               static_cast<unsigned long long>(m_seed), static_cast<unsigned long long>(m_seed));
  if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  m_listen = ListenLoopback(m_port, 64);
  m_acceptor = std::thread([this] { AcceptLoop(); });
}

FaultProxy::~FaultProxy() {
  m_stop.store(true);
  char b = 1;
  (void)!::write(m_wake[1], &b, 1);
  if (m_acceptor.joinable()) m_acceptor.join();
  std::vector<Worker> workers;
  {
    std::lock_guard<std::mutex> g(m_mu);
    workers.swap(m_workers);
  }
  for (auto& w : workers) w.thread.join();
  ::close(m_listen);
  ::close(m_wake[0]);
  ::close(m_wake[1]);
}

void FaultProxy::SetTarget(int port) { m_target.store(port); }

void FaultProxy::ArmOnce(const Fault& f) {
  std::lock_guard<std::mutex> g(m_mu);
  m_queued.push_back(f);
}

void FaultProxy::SetRandomFaults(double p, uint64_t max_after, bool corrupt) {
  std::lock_guard<std::mutex> g(m_mu);
  m_randomP = p;
  m_randomMax = max_after;
  m_randomCorrupt = corrupt;
}

Fault FaultProxy::Draw(Fault::Kind kind, uint64_t max_after) {
  Fault::Dir dir;
  {
    std::lock_guard<std::mutex> g(m_mu);
    dir = (m_drawRng() & 1) ? Fault::kUp : Fault::kDown;
  }
  return Draw(kind, dir, max_after);
}

Fault FaultProxy::Draw(Fault::Kind kind, Fault::Dir dir, uint64_t max_after) {
  std::lock_guard<std::mutex> g(m_mu);
  Fault f;
  f.kind = kind;
  f.dir = dir;
  f.after = max_after == 0 ? 0 : m_drawRng() % max_after;
  f.mask = static_cast<uint8_t>(1u << (m_drawRng() % 8));
  return f;
}

void FaultProxy::ClearQueued() {
  std::lock_guard<std::mutex> g(m_mu);
  m_queued.clear();
}

void FaultProxy::Release() {
  m_releaseGen.fetch_add(1);
  char b = 1;
  (void)!::write(m_wake[1], &b, 1);
}

void FaultProxy::ResetAll() {
  m_resetGen.fetch_add(1);
  char b = 1;
  (void)!::write(m_wake[1], &b, 1);
}

int FaultProxy::OpenConnections() const {
  std::lock_guard<std::mutex> g(m_mu);
  int n = 0;
  for (const auto& w : m_workers)
    if (!w.conn->finished.load()) ++n;
  return n;
}

std::vector<std::string> FaultProxy::History() const {
  std::lock_guard<std::mutex> g(m_mu);
  return m_history;
}

// The n-th connection draws from its own stream derived from the seed, so a
// replay gives every connection the same fault whatever the thread timing.
Fault FaultProxy::NextFault(uint64_t index) {
  {
    std::lock_guard<std::mutex> g(m_mu);
    if (!m_queued.empty()) {
      Fault f = m_queued.front();
      m_queued.pop_front();
      return f;
    }
  }
  return RandomFault(index);
}

Fault FaultProxy::RandomFault(uint64_t index) const {
  std::lock_guard<std::mutex> g(m_mu);
  Fault f;
  if (m_randomP <= 0) return f;
  std::mt19937_64 rng(m_seed + 0x9e3779b97f4a7c15ULL * (index + 1));
  if (std::uniform_real_distribution<double>(0, 1)(rng) >= m_randomP) return f;
  static const Fault::Kind kinds[] = {Fault::kCut, Fault::kReset, Fault::kTrickle,
                                      Fault::kCorrupt};
  f.kind = kinds[rng() % (m_randomCorrupt ? 4 : 3)];
  f.dir = (rng() & 1) ? Fault::kUp : Fault::kDown;
  f.after = m_randomMax == 0 ? 0 : rng() % m_randomMax;
  f.mask = static_cast<uint8_t>(1u << (rng() % 8));
  return f;
}

void FaultProxy::Record(const Fault& f, uint64_t index) {
  m_fired.fetch_add(1);
  m_firedKind[f.kind].fetch_add(1);
  std::lock_guard<std::mutex> g(m_mu);
  m_history.push_back("connection " + std::to_string(index) + ": " + f.Describe());
}

void FaultProxy::AcceptLoop() {
  uint64_t index = 0;
  while (!m_stop.load()) {
    pollfd p[2] = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    if (::poll(p, 2, 200) < 0 && errno != EINTR) break;
    if (m_stop.load()) break;
    if (!(p[0].revents & POLLIN)) continue;
    int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (m_refuse.load()) {
      ResetClose(fd);
      continue;
    }
    auto c = std::make_shared<Conn>();
    c->client = fd;
    c->index = index++;
    c->fault = NextFault(c->index);
    m_connections.fetch_add(1);
    std::lock_guard<std::mutex> g(m_mu);
    // A long soak opens thousands of connections: join the finished ones.
    for (size_t i = 0; i < m_workers.size();) {
      if (m_workers[i].conn->finished.load()) {
        m_workers[i].thread.join();
        m_workers[i] = std::move(m_workers.back());
        m_workers.pop_back();
      } else {
        ++i;
      }
    }
    m_workers.push_back({std::thread([this, c] { Serve(c); }), c});
  }
}

void FaultProxy::Serve(std::shared_ptr<Conn> c) {
  c->server = ConnectLoopback(m_target.load());
  if (c->server < 0) {
    ResetClose(c->client);
    c->finished.store(true);
    return;
  }
  SetNonBlock(c->client);
  SetNonBlock(c->server);

  struct Flow {
    std::string buf;  // received, not yet forwarded
    uint64_t sent = 0;
    bool eof = false;
    bool shut = false;
  } flow[2];
  auto src = [&](int d) { return d == Fault::kUp ? c->client : c->server; };
  auto dst = [&](int d) { return d == Fault::kUp ? c->server : c->client; };
  const Fault f = c->fault;
  bool fired = f.kind == Fault::kNone;
  bool stalled = false;
  bool trickling = false;
  auto nextTrickle = std::chrono::steady_clock::now();
  uint64_t releaseSeen = m_releaseGen.load();
  const uint64_t resetSeen = m_resetGen.load();
  bool reset = false;  // end with RST on both sides
  bool done = false;

  while (!done && !m_stop.load()) {
    if (m_resetGen.load() != resetSeen) {
      reset = true;
      break;
    }
    if (stalled && m_releaseGen.load() != releaseSeen) {
      stalled = false;
      releaseSeen = m_releaseGen.load();
    }
    pollfd p[3];
    int n = 0;
    p[n++] = {m_wake[0], POLLIN, 0};
    int idx[2][2] = {{-1, -1}, {-1, -1}};  // [dir][0=src read,1=dst write]
    for (int d = 0; d < 2; ++d) {
      const bool held = stalled && d == f.dir;
      short want = 0;
      if (!flow[d].eof && flow[d].buf.size() < kMaxBuffered && !held) want |= POLLIN;
      // Even while held, notice the source hanging up (it gave up waiting).
      if (held && !flow[d].eof) want |= POLLRDHUP;
      short wr = (!flow[d].buf.empty() && !held) ? POLLOUT : 0;
      // Sockets appear in both directions; merge their events.
      for (int k = 0; k < 2; ++k) {
        int fd = k == 0 ? src(d) : dst(d);
        short ev = k == 0 ? want : wr;
        int j = 1;
        for (; j < n; ++j)
          if (p[j].fd == fd) break;
        if (j == n) p[n++] = {fd, 0, 0};
        p[j].events |= ev;
        idx[d][k] = j;
      }
    }
    int timeout = 100;
    if (trickling) {
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                      nextTrickle - std::chrono::steady_clock::now())
                      .count();
      timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(timeout, wait)));
    }
    if (::poll(p, n, timeout) < 0 && errno != EINTR) break;
    if (p[0].revents & POLLIN) {
      char drain[64];
      while (::read(m_wake[0], drain, sizeof(drain)) > 0) {
      }
    }

    // Receive.
    for (int d = 0; d < 2 && !done; ++d) {
      const pollfd& q = p[idx[d][0]];
      if (flow[d].eof) continue;
      const bool held = stalled && d == f.dir;
      if (!(q.revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP))) continue;
      if (held) {
        // The source gave up: it reset or closed. Pass that on.
        char tmp;
        ssize_t r = ::recv(src(d), &tmp, 1, MSG_PEEK | MSG_DONTWAIT);
        if (r > 0) continue;  // just more data; stays held
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        reset = r < 0;
        done = true;
        break;
      }
      char tmp[16384];
      ssize_t r = ::recv(src(d), tmp, sizeof(tmp), MSG_DONTWAIT);
      if (r > 0) {
        flow[d].buf.append(tmp, static_cast<size_t>(r));
      } else if (r == 0) {
        flow[d].eof = true;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        reset = true;
        done = true;
      }
    }
    if (done) break;

    // Forward, firing the fault at its byte.
    for (int d = 0; d < 2 && !done; ++d) {
      Flow& fl = flow[d];
      while (!fl.buf.empty() && !(stalled && d == f.dir)) {
        size_t limit = fl.buf.size();
        if (!fired && d == f.dir) {
          if (fl.sent == f.after) {
            fired = true;
            Record(f, c->index);
            switch (f.kind) {
              case Fault::kCut: done = true; break;
              case Fault::kReset: reset = true; done = true; break;
              case Fault::kStall: stalled = true; break;
              case Fault::kTrickle: trickling = true; break;
              case Fault::kCorrupt: fl.buf[0] ^= static_cast<char>(f.mask ? f.mask : 0xFF); break;
              case Fault::kNone: break;
            }
            if (done || stalled) break;
          } else {
            limit = std::min<uint64_t>(limit, f.after - fl.sent);
          }
        }
        if (trickling && d == f.dir) {
          if (std::chrono::steady_clock::now() < nextTrickle) break;
          limit = 1;
          nextTrickle = std::chrono::steady_clock::now() + f.gap;
        }
        ssize_t w = ::send(dst(d), fl.buf.data(), limit, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
          reset = true;
          done = true;
          break;
        }
        fl.buf.erase(0, static_cast<size_t>(w));
        fl.sent += static_cast<uint64_t>(w);
        (d == Fault::kUp ? m_bytesUp : m_bytesDown).fetch_add(static_cast<uint64_t>(w));
        if (trickling && d == f.dir) break;
      }
      if (!done && fl.eof && fl.buf.empty() && !fl.shut) {
        ::shutdown(dst(d), SHUT_WR);
        fl.shut = true;
      }
    }
    if (flow[0].shut && flow[1].shut) done = true;
  }

  if (reset) {
    ResetClose(c->client);
    ResetClose(c->server);
  } else {
    PlainClose(c->client);
    PlainClose(c->server);
  }
  c->finished.store(true);
}

}  // namespace sftest
