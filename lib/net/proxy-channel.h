// Channels that reach the server through an HTTP proxy (CONNECT), without
// and with TLS to the server. The proxy traversal itself is in http-proxy.h.
//
// Thread-safety: as Channel.
#pragma once

#include <cstdint>
#include <string>

#include "lib/net/channel-settings.h"
#include "lib/net/channel.h"
#include "lib/net/ssl-channel.h"

// The proxy and its credentials, as a channel holds them.
struct ProxyEndpoint {
  explicit ProxyEndpoint(const ProxyInfo& proxy);

  // A socket whose stream reaches ip:port through the proxy: 0 with `fd`
  // set, or ERR_INVAL, ERR_IO, ERR_AUTH (credentials missing or refused, or
  // a proxy that offers only NTLM), ERR_INT. Logged.
  [[nodiscard]] int Connect(const char* ip, int port, int wait_ms, uint32_t timeout_seconds,
                            const StopFn& stopped, int& fd) const;

  std::string proxy_address;
  uint16_t proxy_port = 0;
  std::string user_name;
  std::string user_password;
  std::string user_domain;
  std::string user_host;
};

class ProxyChannel : public Channel {
 public:
  explicit ProxyChannel(const ProxyInfo& proxy, size_t capacity = kDefaultCapacity);
  ~ProxyChannel() override;

  using Channel::Open;
  // Through the proxy to ip:port within channel_timeout. 0, or the codes of
  // ProxyEndpoint::Connect; a failure leaves the channel closed.
  [[nodiscard]] int Open(const char* ip, int port, bool isSSL) override;

 protected:
  // Connects through the proxy and adopts the socket. 0 or an error.
  [[nodiscard]] int OpenThroughProxy(const char* ip, int port, bool isSSL);

  const ProxyEndpoint m_proxy;
};

class ProxySSLChannel : public SSLChannel {
 public:
  explicit ProxySSLChannel(const ProxyInfo& proxy, size_t capacity = kDefaultCapacity,
                           std::string cert_path = kDefaultCertPath,
                           std::string key_path = kDefaultKeyPath);
  ~ProxySSLChannel() override;

  using SSLChannel::Open;
  // Through the proxy to ip:port, then the TLS request header (unless
  // `isSSL`: the peer expects TLS straight away) and the hand-shake. Codes
  // as SSLChannel::Open plus those of ProxyEndpoint::Connect.
  [[nodiscard]] int Open(const char* ip, int port, bool isSSL) override;

 protected:
  const ProxyEndpoint m_proxy;
};
