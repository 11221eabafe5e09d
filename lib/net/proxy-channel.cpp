#include "lib/net/proxy-channel.h"

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/net/http-proxy.h"

namespace {
constexpr wchar_t kLogComponent[] = L"channel_debug";
}  // namespace

ProxyEndpoint::ProxyEndpoint(const ProxyInfo& proxy)
    : proxy_address(proxy.proxy_ip),
      proxy_port(proxy.proxy_port),
      user_name(proxy.user_name),
      user_password(proxy.password),
      user_domain(proxy.domain),
      user_host(proxy.host) {}

int ProxyEndpoint::Connect(const char* ip, int port, int wait_ms, uint32_t timeout_seconds,
                           const StopFn& stopped, int& fd) const {
  if (ip == nullptr || port < 0 || port > 65535) return ERR_INVAL;
  PROXY_SERVER_INFO server;
  server.szProxyAddress = proxy_address;
  server.ProxyPort = proxy_port;
  PROXY_TARGET_INFO target;
  target.szTargetAddress = ip;
  target.TargetPort = static_cast<uint16_t>(port);
  PROXY_AUTH_INFO auth;
  auth.szUserName = user_name;
  auth.szUserPasswd = user_password;
  auth.szUserDomain = user_domain;
  auth.szUserHost = user_host;
  auth.AuthType = PROXY_AUTO_AUTH;
  PROXY_OPEN_LIMITS limits;
  limits.wait_ms = wait_ms;
  limits.timeout_seconds = timeout_seconds;
  limits.stopped = stopped;
  int err = 0;
  fd = ZENTProxyTunnelOpen(&server, &target, &auth, &limits, &err);
  if (fd >= 0) return 0;
  SF_LOG(L_ERR,
         L"[ERROR] channel(%d): ProxyChannel::Open: fail to connect to proxy server (%s:%d)\n",
         proxy_address, proxy_port);
  if (err == ERR_AUTH || err == ERR_INT || err == ERR_INVAL) return err;
  return ERR_IO;
}

ProxyChannel::ProxyChannel(const ProxyInfo& proxy, size_t cap) : Channel(cap), m_proxy(proxy) {}

ProxyChannel::~ProxyChannel() = default;

int ProxyChannel::OpenThroughProxy(const char* ip, int port, bool isSSL) {
  Close();
  int fd = -1;
  int rc = m_proxy.Connect(
      ip, port, WaitPeriodMs(), channel_timeout, [this] { return Stopped(); }, fd);
  ClearRead();
  ClearWrite();
  if (rc != 0) return rc;
  m_fd.reset(fd);
  m_isSSL = isSSL;
  SF_LOG(
      L_WARNING,
      L"[WARNING] channel(%d): ProxyChannel::Open: socket %d has been connect to proxy (%s:%d)\n",
      fd, m_proxy.proxy_address, m_proxy.proxy_port);
  return 0;
}

int ProxyChannel::Open(const char* ip, int port, bool isSSL) {
  return OpenThroughProxy(ip, port, isSSL);
}

ProxySSLChannel::ProxySSLChannel(const ProxyInfo& proxy, size_t cap, std::string cert_path,
                                 std::string key_path)
    : SSLChannel(cap, std::move(cert_path), std::move(key_path)), m_proxy(proxy) {}

ProxySSLChannel::~ProxySSLChannel() = default;

int ProxySSLChannel::Open(const char* ip, int port, bool isSSL) {
  Close();
  int fd = -1;
  int rc = m_proxy.Connect(ip, port, WaitPeriodMs(), channel_timeout, StopPredicate(), fd);
  if (rc != 0) return rc;
  m_fd.reset(fd);
  m_isSSL = true;
  rc = HandshakeWithServer(ip, port, !isSSL);
  return FinishOpen(rc);
}
