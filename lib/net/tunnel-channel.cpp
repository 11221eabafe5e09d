#include "lib/net/tunnel-channel.h"

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/net/tunnel-handshake.h"

namespace {
constexpr wchar_t kLogComponent[] = L"channel_debug";
}  // namespace

int OpenRelaySession(int fd, const char* ip, int port, int wait_ms, uint32_t timeout_seconds,
                     const StopFn& stopped) {
  if (fd < 0 || ip == nullptr || port < 0) return ERR_INVAL;
  SslCtxPtr ctx = NewClientContext();
  SslPtr ssl(ctx ? SSL_new(ctx.get()) : nullptr);
  if (!ssl) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Init SSL failed\n");
    log_ssl();
    return ERR_SYS;
  }
  if (!AttachSocket(ssl.get(), fd)) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): SSL_set_fd: %d, %s\n", fd, L"cannot attach the socket");
    return ERR_SYS;
  }
  const auto deadline = DeadlineIn(timeout_seconds);
  int rc = SSLConnectWithTimeout(ssl.get(), wait_ms, deadline, stopped);
  if (rc != 0) {
    if (rc == ERR_INT) return rc;
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Open to SSL connect to tunnel failed\n");
    return ERR_SYS;
  }
  int status = ZENTTunnelClientHandshake(ssl.get(), ip, port, wait_ms, deadline, stopped);
  DropSSL(ssl, ctx);
  if (status == 0) return 0;
  if (stopped && stopped()) return ERR_INT;
  SF_LOG(L_ERR, L"[ERROR] channel(%d): ZENTTunnelClientHandshake: failed, code: %d\n", status);
  return ERR_SYS;
}

// ---- TunnelChannel ---------------------------------------------------------

TunnelChannel::TunnelChannel(const TunnelInfo& tunnel, size_t cap)
    : Channel(cap), tunnel_address(tunnel.tunnel_ip), tunnel_port(tunnel.tunnel_port) {}

TunnelChannel::~TunnelChannel() = default;

int TunnelChannel::Open(const char* ip, int port, bool isSSL) {
  Close();
  if (ip == nullptr || port < 0) return ERR_INVAL;
  int rc = Channel::Open(tunnel_address.c_str(), tunnel_port, isSSL);
  if (rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Connect failed\n");
    return rc;
  }
  rc = OpenRelaySession(m_fd.get(), ip, port, WaitPeriodMs(), channel_timeout,
                        [this] { return Stopped(); });
  return FinishOpen(rc);
}

// ---- ProxyTunnelChannel ----------------------------------------------------

ProxyTunnelChannel::ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel, size_t cap)
    : ProxyChannel(proxy, cap), tunnel_address(tunnel.tunnel_ip), tunnel_port(tunnel.tunnel_port) {}

ProxyTunnelChannel::~ProxyTunnelChannel() = default;

int ProxyTunnelChannel::Open(const char* ip, int port, bool isSSL) {
  if (ip == nullptr || port < 0) {
    Close();
    return ERR_INVAL;
  }
  int rc = OpenThroughProxy(tunnel_address.c_str(), tunnel_port, isSSL);
  if (rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Open proxy failed\n");
  } else {
    rc = OpenRelaySession(m_fd.get(), ip, port, WaitPeriodMs(), channel_timeout,
                          [this] { return Stopped(); });
  }
  if (rc != 0) SF_LOG(L_ERR, L"[ERROR] channel(%d): ProxyTunnelChannel[%d]: ret = %d\n", port, rc);
  return FinishOpen(rc);
}

// ---- TunnelSSLChannel ------------------------------------------------------

TunnelSSLChannel::TunnelSSLChannel(const TunnelInfo& tunnel, size_t cap, std::string cert_path,
                                   std::string key_path)
    : SSLChannel(cap, std::move(cert_path), std::move(key_path)),
      tunnel_address(tunnel.tunnel_ip),
      tunnel_port(tunnel.tunnel_port) {}

TunnelSSLChannel::~TunnelSSLChannel() = default;

int TunnelSSLChannel::Open(const char* ip, int port, bool isSSL) {
  Close();
  if (ip == nullptr || port < 0) return ERR_INVAL;
  // The plain connection to the relay: TLS starts only after the tunnel's
  // handshake, so SSLChannel::Open is skipped on purpose.
  // NOLINTNEXTLINE(bugprone-parent-virtual-call)
  int rc = Channel::Open(tunnel_address.c_str(), tunnel_port, true);
  if (rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Connect failed\n");
    return rc;
  }
  rc = OpenRelaySession(m_fd.get(), ip, port, WaitPeriodMs(), channel_timeout, StopPredicate());
  if (rc == 0) rc = HandshakeWithServer(ip, port, !isSSL);
  return FinishOpen(rc);
}

// ---- ProxyTunnelSSLChannel -------------------------------------------------

ProxyTunnelSSLChannel::ProxyTunnelSSLChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel,
                                             size_t cap, std::string cert_path,
                                             std::string key_path)
    : ProxySSLChannel(proxy, cap, std::move(cert_path), std::move(key_path)),
      tunnel_address(tunnel.tunnel_ip),
      tunnel_port(tunnel.tunnel_port) {}

ProxyTunnelSSLChannel::~ProxyTunnelSSLChannel() = default;

int ProxyTunnelSSLChannel::Open(const char* ip, int port, bool isSSL) {
  Close();
  if (ip == nullptr || port < 0) return ERR_INVAL;
  int fd = -1;
  int rc = m_proxy.Connect(tunnel_address.c_str(), tunnel_port, WaitPeriodMs(), channel_timeout,
                           StopPredicate(), fd);
  if (rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Open proxy->tunnel failed\n");
    return rc;
  }
  m_fd.reset(fd);
  m_isSSL = true;
  rc = OpenRelaySession(m_fd.get(), ip, port, WaitPeriodMs(), channel_timeout, StopPredicate());
  if (rc == 0) rc = HandshakeWithServer(ip, port, !isSSL);
  if (rc != 0) SF_LOG(L_ERR, L"[ERROR] channel(%d): ProxyTunnelSSLChannel: ret = %d\n", rc);
  return FinishOpen(rc);
}
