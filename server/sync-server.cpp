#include "server/sync-server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/proto/proto-common.h"
#include "server/server-conn.h"
#include "server/server-secrets.h"
#include "server/server-tls.h"

namespace {
constexpr wchar_t kLogComponent[] = L"server_debug";
constexpr int kDelaySliceMs = 20;
// How long a new connection may stay silent before its first bytes.
constexpr uint32_t kFirstBytesTimeout = 60;
// Connections the acceptor takes beyond the cap: a newcomer must be taken to
// be admitted in place of a silent one, and one pushed out keeps its thread
// for a moment.
constexpr size_t kAdmissionHeadroom = 8;

// The acceptor keeps a descriptor of its own until it reaps the thread: only
// a shutdown ends the connection for the peer now.
void CloseSocket(UniqueFd fd) {
  (void)shutdown(fd.get(), SHUT_RDWR);
}
}  // namespace

SyncServer::SyncServer(ServerOptions opt) : m_opt(std::move(opt)) {}

SyncServer::~SyncServer() {
  Stop();
}

int SyncServer::Start() {
  if (m_opt.share.empty() || m_opt.max_connections == 0 || m_opt.wait_period_ms <= 0 ||
      m_opt.max_pull_entries == 0 || m_opt.login_timeout_ms == 0) {
    return ERR_INVAL;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(m_opt.port));
  if (m_opt.port < 0 || m_opt.port > 65535 ||
      inet_pton(AF_INET, m_opt.bind_ip.c_str(), &addr.sin_addr) != 1) {
    SF_LOG(L_ERR, L"[ERROR] sync-server(%d): bad listen address %s:%d\n", m_opt.bind_ip,
           m_opt.port);
    return ERR_INVAL;
  }
  GateLimits limits;
  limits.total = m_opt.max_connections;
  limits.per_address = m_opt.max_per_address != 0
                           ? m_opt.max_per_address
                           : m_opt.max_connections - m_opt.max_connections / 4;
  limits.unauthenticated =
      m_opt.max_unauthenticated != 0
          ? m_opt.max_unauthenticated
          : std::min(m_opt.max_connections, std::max<size_t>(2, m_opt.max_connections / 4));
  limits.login_timeout = std::chrono::milliseconds(m_opt.login_timeout_ms);
  if (limits.per_address > limits.total || limits.unauthenticated > limits.total) {
    SF_LOG(L_ERR, L"[ERROR] sync-server(%d): per-address and login caps must not exceed %llu\n",
           static_cast<unsigned long long>(limits.total));
    return ERR_INVAL;
  }

  ServerStore::Options so;
  so.share = m_opt.share;
  so.state = m_opt.state;
  so.versions_kept = m_opt.versions_kept;
  so.reconcile = m_opt.reconcile;
  int r = ServerStore::Open(so, m_store);
  if (r != 0) return r;
  if (m_opt.tls) {
    r = LoadServerTls(m_opt.tls_cert, m_opt.tls_key, m_store->statePath(), m_opt.bind_ip, m_tls,
                      m_tlsFingerprint);
    if (r != 0) return r;
  }

  r = m_gate.Start(limits);
  if (r != 0) return r;
  const size_t taken = m_opt.max_connections > SIZE_MAX - kAdmissionHeadroom
                           ? SIZE_MAX
                           : m_opt.max_connections + kAdmissionHeadroom;
  r = m_acceptor.Start(m_opt.bind_ip, m_opt.port, taken,
                       [this](int fd, uint64_t id) { RunConnection(fd, id); });
  if (r != 0) return r;
  SF_LOG(L_NOTICE, L"[NOTE] sync-server(%d): serving '%s' on %s:%d\n", m_opt.share, m_opt.bind_ip,
         port());
  return 0;
}

void SyncServer::Stop() {
  m_stop.store(1);
  m_acceptor.Stop();
  m_gate.Stop();
}

void SyncServer::RunConnection(int fd, uint64_t id) {
  UniqueFd sock(fd);
  if (!m_gate.Admit(id, sock.get())) {
    CloseSocket(std::move(sock));
    return;
  }
  GateTicket ticket(m_gate, id);
  // The TLS request header, if any, comes before any request.
  int tls = TakeTlsRequest(sock.get(), m_opt.wait_period_ms, kFirstBytesTimeout, m_stop);
  if (tls == 1 && !m_tls) {
    SF_LOG(L_NOTICE, L"[NOTE] sync-server(%d): connection %llu asks for TLS, which is off\n", id);
    tls = ERR_INVAL;
  }
  ServerConnection conn(*this, id, tls == 1);
  if (tls < 0) {
    CloseSocket(std::move(sock));
  } else if (conn.Adopt(sock.release()) == 0) {  // its channel closes the socket
    conn.Run();
    return;
  }
  SF_LOG(L_NOTICE, L"[NOTE] sync-server(%d): cannot set up connection %llu\n", id);
}

void SyncServer::SetFaults(const FaultPlan& f) {
  MutexLock g(m_faultMutex);
  m_faults = f;
}

FaultPlan SyncServer::Faults() const {
  MutexLock g(m_faultMutex);
  return m_faults;
}

bool SyncServer::ResolveSession(const std::wstring& session, std::string& user) {
  std::string s;
  if (session.empty() || NativeStrToUTF8(session, s) != 0) return false;
  // Every fixed session is compared, so the time taken does not tell which
  // (or how much of one) matched.
  bool fixed = false;
  for (const auto& [token, owner] : m_opt.sessions) {
    if (SecretEquals(token, s)) {
      user = owner;
      fixed = true;
    }
  }
  return fixed || m_store->GetSession(SessionKey(s), user) == 0;
}

uint8_t SyncServer::CheckPassword(const std::wstring& user, const std::wstring& password) const {
  std::string u, pw;
  if (NativeStrToUTF8(user, u) != 0 || NativeStrToUTF8(password, pw) != 0) {
    return SPROTO_RES_USRERR;
  }
  auto it = m_opt.users.find(u);
  if (it == m_opt.users.end()) return SPROTO_RES_USRERR;
  return SecretEquals(it->second, pw) ? 0 : SPROTO_RES_PASSERR;
}

std::wstring SyncServer::IssueSession(const std::string& user) {
  unsigned char raw[16];
  if (RAND_bytes(raw, sizeof(raw)) != 1) return L"";
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned char b : raw) {
    s.push_back(hex[b >> 4]);
    s.push_back(hex[b & 15]);
  }
  if (m_store->AddSession(SessionKey(s), user) != 0) return L"";
  return Utf8ToWideLossy(s);
}

void SyncServer::DelayAnswer() {
  uint32_t ms = Faults().delay_ms;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (ms > 0 && !Stopping() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kDelaySliceMs));
  }
}

std::vector<PayloadRecord> SyncServer::Payloads() const {
  MutexLock g(m_payloadMutex);
  return m_payloads;
}

void SyncServer::RecordPayload(PayloadRecord r) {
  MutexLock g(m_payloadMutex);
  m_payloads.push_back(std::move(r));
}

bool SyncServer::ScriptedResult(const std::string& path, uint8_t& code) const {
  MutexLock g(m_faultMutex);
  auto it = m_faults.result_for_path.find(path);
  if (it == m_faults.result_for_path.end()) return false;
  code = it->second;
  return true;
}

uint32_t SyncServer::GrantedAlive() const {
  return Faults().alive_zero ? 0 : m_opt.alive;
}

int64_t SyncServer::PayloadCut() const {
  return Faults().cut_after_payload;
}

std::wstring SyncServer::ViewName() const {
  if (!m_opt.view_name.empty()) return Utf8ToWideLossy(m_opt.view_name);
  const std::string s = WithoutTrailingSlashes(m_opt.share);
  return Utf8ToWideLossy(s.substr(s.rfind('/') + 1));
}

SyncServer::PayloadCounts SyncServer::SentPayloads() const {
  PayloadCounts c;
  for (const PayloadRecord& r : Payloads()) {
    if (r.received) continue;
    (r.delta ? c.delta : c.whole) += 1;
    (r.delta ? c.delta_bytes : c.whole_bytes) += r.bytes;
  }
  return c;
}
