// What a server connection is built from: the HTTP proxy and relay tunnel
// settings of the configuration, and the connection mode they make.
#pragma once

#include <cstdint>
#include <string>

struct ProxyInfo {
  bool use_proxy = false;
  bool use_sys_proxy = false;
  std::string proxy_ip;  // UTF-8
  uint16_t proxy_port = 0;
  std::string user_name;
  std::string password;  // plain text (the configuration's encoded form decoded)
  std::string domain;
  std::string host;

  // The proxy counts only with an address.
  bool usable() const { return use_proxy && !proxy_ip.empty(); }
  bool diffIPPort(const ProxyInfo& o) const {
    return proxy_ip != o.proxy_ip || proxy_port != o.proxy_port;
  }
};

struct TunnelInfo {
  bool use_tunnel = false;
  std::string tunnel_ip;  // UTF-8
  uint16_t tunnel_port = 0;

  bool operator==(const TunnelInfo& o) const {
    return use_tunnel == o.use_tunnel && tunnel_ip == o.tunnel_ip && tunnel_port == o.tunnel_port;
  }
  bool operator!=(const TunnelInfo& o) const { return !(*this == o); }
};

enum ConnectionMode {
  CONNECTION_NORMAL = 0,
  CONNECTION_PROXY = 1,
  CONNECTION_TUNNEL = 2,
  CONNECTION_PROXY_TUNNEL = 3,
};

// The mode the settings make: a usable proxy and/or the tunnel.
inline ConnectionMode ModeOf(const ProxyInfo& proxy, const TunnelInfo& tunnel) {
  if (proxy.usable()) return tunnel.use_tunnel ? CONNECTION_PROXY_TUNNEL : CONNECTION_PROXY;
  return tunnel.use_tunnel ? CONNECTION_TUNNEL : CONNECTION_NORMAL;
}
