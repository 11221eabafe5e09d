#include "server/sync-server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/proto/proto-common.h"
#include "lib/base/utility.h"
#include "server/server-conn.h"

namespace {
constexpr wchar_t kLogComponent[] = L"server_debug";
constexpr int kListenBacklog = 64;
constexpr int kDelaySliceMs = 20;

std::string Errno() {
  return std::string(strerror(errno));
}
}  // namespace

SyncServer::SyncServer(ServerOptions opt) : m_opt(std::move(opt)) {}

SyncServer::~SyncServer() {
  Stop();
}

int SyncServer::Start() {
  if (m_opt.share.empty() || m_opt.max_connections == 0 || m_opt.wait_period_ms <= 0 ||
      m_opt.max_pull_entries == 0) {
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
  ServerStore::Options so;
  so.share = m_opt.share;
  so.state = m_opt.state;
  so.versions_kept = m_opt.versions_kept;
  so.reconcile = m_opt.reconcile;
  int r = ServerStore::Open(so, m_store);
  if (r != 0) return r;

  m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (m_listenFd < 0 || setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(m_listenFd, kListenBacklog) != 0) {
    SF_LOG(L_ERR, L"[ERROR] sync-server(%d): cannot listen on %s:%d: %s\n", m_opt.bind_ip,
           m_opt.port, Errno());
    if (m_listenFd >= 0) close(m_listenFd);
    m_listenFd = -1;
    return ERR_IO;
  }
  socklen_t len = sizeof(addr);
  getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) {
    close(m_listenFd);
    m_listenFd = -1;
    return ERR_SYS;
  }
  m_acceptor = std::thread(&SyncServer::AcceptLoop, this);
  SF_LOG(L_NOTICE, L"[NOTE] sync-server(%d): serving '%s' on %s:%d\n", m_opt.share, m_opt.bind_ip,
         m_port);
  return 0;
}

void SyncServer::Stop() {
  m_stop.store(1);
  if (m_wakeFd >= 0) {
    uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof(one));
  }
  if (m_acceptor.joinable()) m_acceptor.join();
  // The elements stay alive until their threads are joined: each thread
  // marks its own element on the way out.
  std::list<Conn> all;
  {
    std::lock_guard<std::mutex> g(m_connMutex);
    for (Conn& c : m_conns) {
      if (c.fd >= 0) shutdown(c.fd, SHUT_RDWR);
    }
    all.splice(all.end(), m_conns);
  }
  for (Conn& c : all) {
    if (c.thread.joinable()) c.thread.join();
  }
  if (m_listenFd >= 0) close(m_listenFd);
  if (m_wakeFd >= 0) close(m_wakeFd);
  m_listenFd = m_wakeFd = -1;
}

void SyncServer::AcceptLoop() {
  while (!Stopping()) {
    pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || Stopping()) break;
    ReapFinished();
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // Answers go out in several flushes (acknowledgement, payload blocks);
    // waiting for the client's delayed ACK between them would stall each one.
    int nodelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof(nodelay));
    std::lock_guard<std::mutex> g(m_connMutex);
    size_t live = 0;
    for (const Conn& c : m_conns) live += c.done ? 0 : 1;
    if (live >= m_opt.max_connections) {
      ++m_refused;
      SF_LOG(L_WARNING, L"[WARNING] sync-server(%d): %d connections open, refusing another\n",
             static_cast<int>(live));
      close(fd);
      continue;
    }
    ++m_accepted;
    m_conns.emplace_back();
    Conn* c = &m_conns.back();
    c->id = ++m_nextConnId;
    c->fd = fd;
    try {
      c->thread = std::thread(&SyncServer::RunConnection, this, c, fd);
    } catch (const std::system_error&) {
      // Out of threads: this connection is refused, the server goes on.
      SF_LOG(L_ERR, L"[ERROR] sync-server(%d): no thread for connection %llu\n", c->id);
      m_conns.pop_back();
      close(fd);
    }
  }
}

void SyncServer::RunConnection(Conn* c, int fd) {
  {
    ServerConnection conn(*this, c->id);
    if (conn.Adopt(fd) == 0) {
      conn.Run();
    } else {
      SF_LOG(L_ERR, L"[ERROR] sync-server(%d): cannot set up connection %llu\n", c->id);
    }
    // The socket closes with `conn`; Stop must not shut down a reused number.
    std::lock_guard<std::mutex> g(m_connMutex);
    c->fd = -1;
  }
  std::lock_guard<std::mutex> g(m_connMutex);
  c->done = true;
}

void SyncServer::ReapFinished() {
  std::list<Conn> finished;
  {
    std::lock_guard<std::mutex> g(m_connMutex);
    for (auto it = m_conns.begin(); it != m_conns.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), m_conns, it);
      it = next;
    }
  }
  for (Conn& c : finished) {
    if (c.thread.joinable()) c.thread.join();
  }
}

size_t SyncServer::ActiveConnections() const {
  std::lock_guard<std::mutex> g(m_connMutex);
  size_t live = 0;
  for (const Conn& c : m_conns) live += c.done ? 0 : 1;
  return live;
}

void SyncServer::SetFaults(const FaultPlan& f) {
  std::lock_guard<std::mutex> g(m_faultMutex);
  m_faults = f;
}

FaultPlan SyncServer::Faults() const {
  std::lock_guard<std::mutex> g(m_faultMutex);
  return m_faults;
}

bool SyncServer::ResolveSession(const std::wstring& session, std::string& user) {
  std::string s;
  if (session.empty() || NativeStrToUTF8(session, s) != 0) return false;
  auto it = m_opt.sessions.find(s);
  if (it != m_opt.sessions.end()) {
    user = it->second;
    return true;
  }
  return m_store->GetSession(s, user) == 0;
}

uint8_t SyncServer::CheckPassword(const std::wstring& user, const std::wstring& password) const {
  std::string u, pw;
  if (NativeStrToUTF8(user, u) != 0 || NativeStrToUTF8(password, pw) != 0) {
    return SPROTO_RES_USRERR;
  }
  auto it = m_opt.users.find(u);
  if (it == m_opt.users.end()) return SPROTO_RES_USRERR;
  return it->second == pw ? 0 : SPROTO_RES_PASSERR;
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
  if (m_store->AddSession(s, user) != 0) return L"";
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
  std::lock_guard<std::mutex> g(m_payloadMutex);
  return m_payloads;
}

void SyncServer::RecordPayload(PayloadRecord r) {
  std::lock_guard<std::mutex> g(m_payloadMutex);
  m_payloads.push_back(std::move(r));
}

bool SyncServer::ScriptedResult(const std::string& path, uint8_t& code) const {
  std::lock_guard<std::mutex> g(m_faultMutex);
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
  std::string s = m_opt.share;
  while (s.size() > 1 && s.back() == '/') s.pop_back();
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
