// The server connections that the syncer and the workers share: the
// settings a connection is built from (proxy, relay tunnel, TLS), one
// reusable connection, and the pool that lends them out.
//
// Threads: the pool is thread-safe; a borrowed connection belongs to the
// thread that took it until it is pushed back.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lib/net/channel.h"

struct ProxyInfo {
  bool use_proxy = false;
  bool use_sys_proxy = false;
  std::string proxy_ip;  // UTF-8
  uint16_t proxy_port = 0;
  std::string user_name;
  std::string password;
  std::string domain;
  std::string host;
};

struct TunnelInfo {
  bool use_tunnel = false;
  std::string tunnel_ip;  // UTF-8
  uint16_t tunnel_port = 0;
};

enum ConnectionMode {
  CONNECTION_NORMAL = 0,
  CONNECTION_PROXY = 1,
  CONNECTION_TUNNEL = 2,
  CONNECTION_PROXY_TUNNEL = 3,
};

// One reusable server connection. Used by one thread at a time (the one that
// took it from the pool).
class Connection {
 public:
  Connection(ConnectionMode mode, const ProxyInfo& proxy, const TunnelInfo& tunnel, bool ssl);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Records the keep-alive the last answer granted: alive_value = alive and
  // last_access = now; 0 also clears last_access and closes the channel.
  void Update(uint32_t alive);
  // Whether the channel may be used without a new connection request: a
  // keep-alive was granted and has not run out at `now` (seconds).
  bool Reusable(uint32_t now) const;

  ConnectionMode mode() const { return m_mode; }
  bool ssl() const { return m_ssl; }
  const ProxyInfo& proxy() const { return m_proxy; }
  const TunnelInfo& tunnel() const { return m_tunnel; }

  uint32_t last_access = 0;  // seconds since 1970 of the last use; 0 = none
  uint32_t alive_value = 0;  // keep-alive seconds the server granted; 0 = closed
  // Owned. Null when this build has no channel for the mode (logged).
  std::unique_ptr<Channel> channel;

 private:
  const ConnectionMode m_mode;
  const bool m_ssl;
  const ProxyInfo m_proxy;
  const TunnelInfo m_tunnel;
};

// The connections shared by the syncer and the workers. Thread-safe. Owns
// every connection it was given, also while one is borrowed.
class ConnectionPool {
 public:
  ConnectionPool() = default;
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Takes ownership and makes `c` available.
  void Adopt(std::unique_ptr<Connection> c);
  // Takes the front connection; null when all are borrowed.
  Connection* pop();
  // Returns a borrowed connection: a reusable one to the front (the next
  // user skips the connection request), any other to the back. Null is
  // ignored.
  void push(Connection* c);
  size_t available() const;
  size_t size() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::unique_ptr<Connection>> m_all;  // Guarded by m_mutex
  std::deque<Connection*> m_free;                  // Guarded by m_mutex
};
