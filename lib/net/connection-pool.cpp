#include "lib/net/connection-pool.h"

#include <ctime>

#include "lib/base/log.h"

namespace {

constexpr wchar_t kLogComponent[] = L"client_task_mgr_debug";

// Buffer of a plain server channel.
constexpr size_t kChannelBuffer = 8192;

}  // namespace

Connection::Connection(ConnectionMode mode, const ProxyInfo& proxy, const TunnelInfo& tunnel,
                       bool ssl)
    : m_mode(mode), m_ssl(ssl), m_proxy(proxy), m_tunnel(tunnel) {
  if (mode == CONNECTION_NORMAL && !ssl) {
    channel = std::make_unique<Channel>(kChannelBuffer);
  } else {
    // The TLS, proxy and relay channels are separate modules; a connection
    // must never fall back to a plain channel the user did not ask for.
    SF_LOG(L_ERR,
           L"[ERROR] client-task-mgr(%d): Connection: no channel for mode %d with ssl %d in this "
           L"build\n",
           static_cast<int>(mode), ssl ? 1 : 0);
  }
}

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
  std::lock_guard<std::mutex> g(m_mutex);
  m_free.clear();
  m_all.clear();
}

void ConnectionPool::Adopt(std::unique_ptr<Connection> c) {
  std::lock_guard<std::mutex> g(m_mutex);
  m_free.push_back(c.get());
  m_all.push_back(std::move(c));
}

Connection* ConnectionPool::pop() {
  std::lock_guard<std::mutex> g(m_mutex);
  if (m_free.empty()) return nullptr;
  Connection* c = m_free.front();
  m_free.pop_front();
  return c;
}

void ConnectionPool::push(Connection* c) {
  if (!c) return;
  const bool reusable = c->Reusable(static_cast<uint32_t>(std::time(nullptr)));
  std::lock_guard<std::mutex> g(m_mutex);
  if (reusable) {
    m_free.push_front(c);
  } else {
    m_free.push_back(c);
  }
}

size_t ConnectionPool::available() const {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_free.size();
}

size_t ConnectionPool::size() const {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_all.size();
}
