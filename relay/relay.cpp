#include "relay/relay.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/net/ssl-channel.h"
#include "lib/net/tls-cert.h"
#include "lib/net/tunnel-handshake.h"
#include "relay/relay-request.h"

namespace {

constexpr wchar_t kLogComponent[] = L"relay_debug";
constexpr size_t kPumpBuffer = size_t{64} * 1024;

// One direction of the copy loop.
struct Flow {
  int from;
  int to;
  std::vector<char> buf = std::vector<char>(kPumpBuffer);
  size_t off = 0;
  size_t len = 0;
  bool eof = false;
};

// Moves what can be moved without waiting. False when the flow ended (peer
// closed, error) and nothing of it is left to deliver.
[[nodiscard]] bool Step(Flow& f, short from_events, short to_events) {
  if (f.len > 0 && (to_events & (POLLOUT | POLLERR | POLLHUP))) {
    ssize_t n = ::send(f.to, f.buf.data() + f.off, f.len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (n > 0) {
      f.off += static_cast<size_t>(n);
      f.len -= static_cast<size_t>(n);
      if (f.len == 0) f.off = 0;
    }
  }
  if (f.len == 0 && !f.eof && (from_events & (POLLIN | POLLERR | POLLHUP))) {
    ssize_t n = ::recv(f.from, f.buf.data(), f.buf.size(), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      f.eof = true;
    } else if (n > 0) {
      f.len = static_cast<size_t>(n);
    }
  }
  return !(f.eof && f.len == 0);
}

}  // namespace

Relay::Relay(RelayOptions opt) : m_opt(std::move(opt)) {}

Relay::~Relay() {
  Stop();
}

int Relay::Start() {
  if (m_opt.wait_period_ms <= 0 || m_opt.cert.empty() != m_opt.key.empty() ||
      (m_opt.cert.empty() && m_opt.state_dir.empty())) {
    SF_LOG(L_ERR, L"[ERROR] relay(%d): give a certificate and key, or a state folder\n");
    return ERR_INVAL;
  }
  std::string cert = m_opt.cert, key = m_opt.key;
  if (cert.empty()) {
    std::vector<std::string> ips = {"127.0.0.1"};
    if (m_opt.bind_ip != "127.0.0.1" && m_opt.bind_ip != "0.0.0.0") ips.push_back(m_opt.bind_ip);
    int rc = EnsureServerCert(m_opt.state_dir, ips, cert, key);
    if (rc != 0) return rc;
  }
  m_ctx = NewServerContext(cert, key);
  if (!m_ctx) return ERR_SYS;
  m_fingerprint = CertFileFingerprint(cert);
  if (m_opt.allow.empty()) {
    SF_LOG(L_WARNING,
           L"[WARNING] relay(%d): no allowed targets given: any client with a valid token may "
           L"reach any address\n");
  }
  int rc = m_acceptor.Start(m_opt.bind_ip, m_opt.port, m_opt.max_connections,
                            [this](int fd, uint64_t id) { Serve(fd, id); });
  if (rc != 0) return rc;
  SF_LOG(L_NOTICE, L"[NOTE] relay(%d): listening on %s:%d, certificate SHA-256 %s\n", m_opt.bind_ip,
         m_acceptor.port(), m_fingerprint);
  return 0;
}

void Relay::Stop() {
  m_stop.store(1);
  m_acceptor.Stop();
}

bool Relay::Allowed(const std::string& host, int port) const {
  if (m_opt.allow.empty()) return true;
  const std::string target = host + ":" + std::to_string(port);
  return std::find(m_opt.allow.begin(), m_opt.allow.end(), target) != m_opt.allow.end();
}

void Relay::Serve(int fd, uint64_t id) {
  SSLChannel client;
  client.SetFlag(&m_stop);
  client.SetWaitPeriod(std::chrono::milliseconds(m_opt.wait_period_ms));
  client.SetTimeout(m_opt.handshake_timeout);
  if (client.Accept(fd, m_ctx.get()) != 0) {
    SF_LOG(L_NOTICE, L"[NOTE] relay(%d): connection %llu: TLS hand-shake failed\n", id);
    return;
  }
  const StopFn stopped = [this] { return m_stop.load() != 0; };
  const auto deadline = DeadlineIn(m_opt.handshake_timeout);
  RelayRequest req;
  std::string why;
  int status = ReadRelayRequest(client.ssl(), m_opt.wait_period_ms, deadline, stopped, req, why);
  if (status < 0) {
    SF_LOG(L_NOTICE, L"[NOTE] relay(%d): connection %llu: no complete request (%s)\n", id,
           status == kTlsWaitTimeout ? L"timed out" : L"connection broken");
    client.DropTls();
    return;
  }
  Channel target;
  if (status == RELAY_OK && !Allowed(req.target_host, req.target_port)) {
    status = RELAY_NOT_ALLOWED;
    why = "target " + req.target_host + ":" + std::to_string(req.target_port) + " is not allowed";
  }
  if (status == RELAY_OK) {
    target.SetFlag(&m_stop);
    target.SetWaitPeriod(std::chrono::milliseconds(m_opt.wait_period_ms));
    target.SetTimeout(m_opt.connect_timeout);
    if (target.Open(req.target_host.c_str(), req.target_port, false) != 0) {
      status = RELAY_UNREACHABLE;
      why = "cannot connect " + req.target_host + ":" + std::to_string(req.target_port);
    }
  }
  const std::string answer = RelayAnswer(status);
  int rc = ZENTTunnelNonBlockingWrite(client.ssl(), answer.data(), answer.size(),
                                      m_opt.wait_period_ms, deadline, stopped);
  if (status != RELAY_OK) {
    SF_LOG(L_NOTICE, L"[NOTE] relay(%d): connection %llu refused (status %d): %s\n", id, status,
           why);
    return;  // the channel's Close sends close-notify
  }
  // From here the client's socket carries the target's stream in the clear.
  client.DropTls();
  if (rc != 0) return;
  ++m_tunnels;
  SF_LOG(L_INFO, L"[INFO] relay(%d): connection %llu relayed to %s:%d\n", id, req.target_host,
         req.target_port);
  Pump(client.GetFd(), target.GetFd(), id);
}

void Relay::Pump(int client, int target, uint64_t id) {
  Flow up{client, target};
  Flow down{target, client};
  while (m_stop.load() == 0) {
    pollfd fds[2] = {{client, 0, 0}, {target, 0, 0}};
    if (up.len == 0 && !up.eof) fds[0].events |= POLLIN;
    if (down.len > 0) fds[0].events |= POLLOUT;
    if (down.len == 0 && !down.eof) fds[1].events |= POLLIN;
    if (up.len > 0) fds[1].events |= POLLOUT;
    int n = ::poll(fds, 2, m_opt.wait_period_ms);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (!Step(up, fds[0].revents, fds[1].revents)) break;
    if (!Step(down, fds[1].revents, fds[0].revents)) break;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] relay(%d): connection %llu ended\n", id);
}
