// The reference sync server: serves one share to many clients over TCP.
//
// Threads: the acceptor (TcpAcceptor: polls the listening socket and a
// wake-up eventfd), one thread per connection, and the connection gate's
// login-deadline watcher (server/connection-gate.h). Each new connection
// first passes the gate, which caps the connections in all, per client
// address and not yet logged in, and closes the newcomer or pushes out the
// oldest connection not logged in. A connection thread waits in its channel's
// reads; Stop shuts every connection's socket down, which ends those waits,
// and joins all threads. A broken or hostile connection ends only itself.
//
// Test hooks: SetFaults scripts keep-alive 0, forced result codes per path,
// held pulls and answer delays (effective for requests that start after the
// call) and payload cuts (for connections opened after the call); the hooks
// of server-hooks.h change the share as another client would.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/base/mutex.h"
#include "lib/net/tcp-acceptor.h"
#include "lib/net/tls.h"
#include "server/connection-gate.h"
#include "server/server-store.h"

// How long a new connection may take to log in (with a password or a
// session) before it is closed.
constexpr uint32_t kLoginTimeoutMs = 10000;

struct ServerOptions {
  std::string share;  // the served directory (must exist)
  std::string state;  // default: share + ".sfstate"
  std::string bind_ip = "127.0.0.1";
  int port = 0;         // 0: any free port (see port())
  uint32_t alive = 60;  // keep-alive seconds granted to clients
  size_t max_connections = 64;
  // From one client address; 0: three quarters of max_connections.
  size_t max_per_address = 0;
  // Not logged in yet; 0: a quarter of max_connections, at least 2.
  size_t max_unauthenticated = 0;
  uint32_t login_timeout_ms = kLoginTimeoutMs;
  size_t versions_kept = 4;  // per file, the current one included
  uint64_t max_file_bytes = 64ull << 30;
  size_t max_pull_entries = 1000;               // per pull answer; the client pulls again
  std::map<std::string, std::string> users;     // user name -> password (UTF-8)
  std::map<std::string, std::string> sessions;  // accepted fixed sessions -> user
  std::string serial = "SF-REFERENCE-0001";
  std::string server_id = "syncfolder-server";
  uint8_t reported_version = 4;  // in the test-connection answer
  std::string view_name;         // default: the share directory's name
  int wait_period_ms = 250;      // slice of each channel wait (stop latency)
  bool reconcile = true;         // compare share and metadata at start
  // TLS on the same port for clients that ask with the TLS request header.
  // Without a certificate and key one is made once into <state>/tls.
  bool tls = true;
  std::string tls_cert;
  std::string tls_key;
};

struct FaultPlan {
  bool alive_zero = false;         // grant keep-alive 0 (and close after answering)
  int64_t cut_after_payload = -1;  // per connection: cut after this many payload bytes
  std::map<std::string, uint8_t> result_for_path;  // "/a/b" -> SPROTO_RES_ code to answer
  uint32_t delay_ms = 0;                           // wait before every answer
  // Answer every pull as if nothing had changed since its base: the clients
  // go on without learning of any change, their own included.
  bool hold_pulls = false;
};

// One file payload that crossed a connection, as the server saw it: what
// the tests check to tell a delta from a whole file, or that nothing was
// sent at all.
struct PayloadRecord {
  std::string path;
  bool received = false;  // an upload's content (else a download's)
  bool delta = false;     // payload type 1
  uint64_t bytes = 0;     // payload bytes on the wire
};

class SyncServer {
 public:
  explicit SyncServer(ServerOptions opt);
  ~SyncServer();  // Stop()
  SyncServer(const SyncServer&) = delete;
  SyncServer& operator=(const SyncServer&) = delete;

  // Opens the store, binds, listens and starts accepting. 0; ERR_INVAL (bad
  // options or address); ERR_SYS (store); ERR_IO (bind or listen failed).
  [[nodiscard]] int Start();
  // Ends every connection and joins all threads. Idempotent.
  void Stop();

  // The bound port (valid after Start).
  int port() const { return m_acceptor.port(); }
  // REQUIRES: Start succeeded.
  ServerStore& store() { return *m_store; }
  const ServerOptions& options() const { return m_opt; }

  void SetFaults(const FaultPlan& f);
  FaultPlan Faults() const;

  // Every payload received or sent since Start, oldest first. Thread-safe.
  std::vector<PayloadRecord> Payloads() const;
  void RecordPayload(PayloadRecord r);
  // The payloads sent (downloads) in sum: how many went whole and how many
  // as deltas, and their bytes.
  struct PayloadCounts {
    uint64_t whole = 0;
    uint64_t delta = 0;
    uint64_t whole_bytes = 0;
    uint64_t delta_bytes = 0;
  };
  PayloadCounts SentPayloads() const;

  // Live connections (for tests).
  size_t ActiveConnections() const { return m_acceptor.Active(); }
  // Connections accepted since start, and those refused over a cap.
  uint64_t AcceptedConnections() const { return m_acceptor.Accepted(); }
  uint64_t RefusedConnections() const { return m_acceptor.Refused() + m_gate.Refused(); }
  // Connections closed since start because they did not log in in time, or
  // to make room for a newer one.
  uint64_t ExpiredConnections() const { return m_gate.Expired(); }
  uint64_t PushedOutConnections() const { return m_gate.PushedOut(); }

  // Used by the connection threads. Thread-safe.
  bool Stopping() const { return m_stop.load() != 0; }
  // Connection `id` proved who it is: it keeps its place (see ConnectionGate).
  void LoggedIn(uint64_t id) { m_gate.LoggedIn(id); }
  std::atomic<int>* StopFlag() { return &m_stop; }
  // The user behind a session, or false when the session is unknown.
  [[nodiscard]] bool ResolveSession(const std::wstring& session, std::string& user);
  // 0 or SPROTO_RES_USRERR / SPROTO_RES_PASSERR.
  [[nodiscard]] uint8_t CheckPassword(const std::wstring& user, const std::wstring& password) const;
  // Issues and records a new session for `user`; empty on failure.
  std::wstring IssueSession(const std::string& user);
  // Sleeps the scripted delay (cut short by Stop).
  void DelayAnswer();
  // The scripted result for `path`, if any.
  [[nodiscard]] bool ScriptedResult(const std::string& path, uint8_t& code) const;
  uint32_t GrantedAlive() const;
  int64_t PayloadCut() const;
  std::wstring ViewName() const;
  // The TLS context (null when TLS is off) and its certificate's SHA-256.
  // Constant after Start.
  SSL_CTX* TlsContext() const { return m_tls.get(); }
  const std::string& TlsFingerprint() const { return m_tlsFingerprint; }

 private:
  void RunConnection(int fd, uint64_t id);

  // Constant after Start.
  ServerOptions m_opt;
  std::unique_ptr<ServerStore> m_store;
  SslCtxPtr m_tls;
  std::string m_tlsFingerprint;

  std::atomic<int> m_stop{0};

  mutable Mutex m_payloadMutex;
  std::vector<PayloadRecord> m_payloads GUARDED_BY(m_payloadMutex);

  mutable Mutex m_faultMutex;
  FaultPlan m_faults GUARDED_BY(m_faultMutex);

  ConnectionGate m_gate;
  TcpAcceptor m_acceptor;  // last: its threads use the members above
};
