#include "lib/net/connection-pool.h"

#include <ctime>

#include "lib/net/channel-factory.h"

Connection::Connection(ConnectionMode mode, const ProxyInfo& proxy, const TunnelInfo& tunnel,
                       bool ssl, const TlsPeerCheck& check)
    : channel(CreateChannelForMode(mode, proxy, tunnel, ssl, check)),
      m_mode(mode),
      m_ssl(ssl),
      m_proxy(proxy),
      m_tunnel(tunnel) {}

Connection::~Connection() = default;

void Connection::Update(uint32_t alive) {
  alive_value = alive;
  if (alive == 0) {
    last_access = 0;
    if (channel) channel->Close();
    return;
  }
  last_access = static_cast<uint32_t>(std::time(nullptr));
}

bool Connection::Reusable(uint32_t now) const {
  if (alive_value == 0 || !channel || channel->IsClosed()) return false;
  return now >= last_access && now - last_access <= alive_value;
}

ConnectionPool::~ConnectionPool() {
  MutexLock g(m_mutex);
  m_free.clear();
  m_all.clear();
}

void ConnectionPool::Adopt(std::unique_ptr<Connection> c) {
  MutexLock g(m_mutex);
  m_free.push_back(c.get());
  m_all.push_back(std::move(c));
}

Connection* ConnectionPool::pop() {
  MutexLock g(m_mutex);
  if (m_free.empty()) return nullptr;
  Connection* c = m_free.front();
  m_free.pop_front();
  return c;
}

void ConnectionPool::push(Connection* c) {
  if (!c) return;
  const bool reusable = c->Reusable(static_cast<uint32_t>(std::time(nullptr)));
  MutexLock g(m_mutex);
  if (reusable) {
    m_free.push_front(c);
  } else {
    m_free.push_back(c);
  }
}

size_t ConnectionPool::available() const {
  MutexLock g(m_mutex);
  return m_free.size();
}

size_t ConnectionPool::size() const {
  MutexLock g(m_mutex);
  return m_all.size();
}
