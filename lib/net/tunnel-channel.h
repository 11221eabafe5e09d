// Channels that reach the server through the relay ("tunnel"), directly or
// through an HTTP proxy, without and with TLS to the server.
//
// Each opens a TCP stream to the relay (directly or by CONNECT through the
// proxy), runs a TLS session with the relay only for the hand-shake of
// tunnel-handshake.h, and then uses the same socket as a plain stream to the
// server. The TLS variants then send the TLS request header and run their
// own, fresh TLS session with the server end to end (the relay only copies
// bytes), to which the optional peer check applies.
//
// Thread-safety: as Channel.
#pragma once

#include <cstdint>
#include <string>

#include "lib/net/channel-settings.h"
#include "lib/net/proxy-channel.h"
#include "lib/net/ssl-channel.h"

// The relay part of every tunnel channel, on a socket already connected to
// the relay: TLS hand-shake, upgrade request for ip:port, answer. The relay
// session's TLS objects are freed without a shutdown exchange, since the
// socket then carries the server's stream. 0; ERR_SYS (TLS set-up or
// hand-shake with the relay failed, or the relay refused: status logged);
// ERR_INT.
[[nodiscard]] int OpenRelaySession(int fd, const char* ip, int port, int wait_ms,
                                   uint32_t timeout_seconds, const StopFn& stopped);

class TunnelChannel : public Channel {
 public:
  explicit TunnelChannel(const TunnelInfo& tunnel, size_t capacity = kDefaultCapacity);
  ~TunnelChannel() override;

  using Channel::Open;
  // ip:port is the server. 0; ERR_INVAL; the connect's error (relay
  // unreachable); OpenRelaySession's codes. A failure leaves it closed.
  [[nodiscard]] int Open(const char* ip, int port, bool isSSL) override;

 protected:
  const std::string tunnel_address;
  const uint16_t tunnel_port;
};

class ProxyTunnelChannel : public ProxyChannel {
 public:
  ProxyTunnelChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel,
                     size_t capacity = kDefaultCapacity);
  ~ProxyTunnelChannel() override;

  using ProxyChannel::Open;
  // Through the proxy to the relay, then as TunnelChannel.
  [[nodiscard]] int Open(const char* ip, int port, bool isSSL) override;

 protected:
  const std::string tunnel_address;
  const uint16_t tunnel_port;
};

class TunnelSSLChannel : public SSLChannel {
 public:
  explicit TunnelSSLChannel(const TunnelInfo& tunnel, size_t capacity = kDefaultCapacity,
                            std::string cert_path = kDefaultCertPath,
                            std::string key_path = kDefaultKeyPath);
  ~TunnelSSLChannel() override;

  using SSLChannel::Open;
  // As TunnelChannel, then TLS with the server as SSLChannel::Open.
  [[nodiscard]] int Open(const char* ip, int port, bool isSSL) override;

 protected:
  const std::string tunnel_address;
  const uint16_t tunnel_port;
};

class ProxyTunnelSSLChannel : public ProxySSLChannel {
 public:
  ProxyTunnelSSLChannel(const ProxyInfo& proxy, const TunnelInfo& tunnel,
                        size_t capacity = kDefaultCapacity,
                        std::string cert_path = kDefaultCertPath,
                        std::string key_path = kDefaultKeyPath);
  ~ProxyTunnelSSLChannel() override;

  using ProxySSLChannel::Open;
  // Through the proxy to the relay, the relay session, then TLS with the
  // server. The TLS request header goes only to the server, after the relay
  // hand-shake.
  [[nodiscard]] int Open(const char* ip, int port, bool isSSL) override;

 protected:
  const std::string tunnel_address;
  const uint16_t tunnel_port;
};
