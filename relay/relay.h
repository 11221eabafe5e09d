// syncfolder-relay: lets clients that can reach only it (directly or through
// an HTTP proxy) reach a sync server. Per connection it accepts TLS, reads
// the upgrade request, checks the token (it must decrypt to the target it
// names), connects the target, answers X-Target-Status (0, or non-zero on a
// refusal, after which it closes), ends the TLS session without a shutdown
// exchange and copies bytes both ways until either side closes.
//
// Threads: the acceptor (TcpAcceptor) and one thread per client connection.
// A connection thread waits in its TLS hand-shake, its request reads and the
// copy loop, each in slices of wait_period_ms that test the stop flag; Stop
// also shuts the client sockets down.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/net/tcp-acceptor.h"
#include "lib/net/tls.h"

struct RelayOptions {
  std::string bind_ip = "127.0.0.1";
  int port = 0;           // 0: any free port (see port())
  std::string cert, key;  // PEM; both empty: a certificate made once into state_dir
  std::string state_dir;  // where a made certificate is kept
  // Targets clients may ask for, as "ip:port"; empty: any target.
  std::vector<std::string> allow;
  size_t max_connections = 64;
  int wait_period_ms = 250;
  // Limits for the TLS hand-shake plus request, and for connecting the
  // target.
  uint32_t handshake_timeout = 30;
  uint32_t connect_timeout = 30;
};

class Relay {
 public:
  explicit Relay(RelayOptions opt);
  ~Relay();  // Stop()
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Loads or makes the certificate, binds and starts accepting. 0; ERR_INVAL
  // (bad options); ERR_SYS (certificate); ERR_IO (bind or listen).
  [[nodiscard]] int Start();
  // Ends every connection and joins all threads. Idempotent.
  void Stop();

  int port() const { return m_acceptor.port(); }
  const std::string& Fingerprint() const { return m_fingerprint; }
  size_t ActiveConnections() const { return m_acceptor.Active(); }
  // Connections whose target was connected and answered with status 0.
  uint64_t Tunnels() const { return m_tunnels.load(); }

 private:
  void Serve(int fd, uint64_t id);
  bool Allowed(const std::string& host, int port) const;
  // Copies between the two sockets until either side closes or Stop.
  void Pump(int client, int target, uint64_t id);

  // Constant after Start.
  const RelayOptions m_opt;
  SslCtxPtr m_ctx;
  std::string m_fingerprint;

  std::atomic<int> m_stop{0};
  std::atomic<uint64_t> m_tunnels{0};
  TcpAcceptor m_acceptor;  // last: its threads use the members above
};
