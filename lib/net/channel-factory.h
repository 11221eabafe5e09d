// Which channel class a server connection uses, from the proxy, tunnel and
// TLS settings. Every channel made here has the client's 8192-byte buffers.
#pragma once

#include <memory>

#include "lib/net/channel-settings.h"
#include "lib/net/channel.h"
#include "lib/net/tls-peer-check.h"

// The class for a mode and TLS: Channel / SSLChannel (normal), ProxyChannel /
// ProxySSLChannel, TunnelChannel / TunnelSSLChannel, ProxyTunnelChannel /
// ProxyTunnelSSLChannel. The TLS classes get `check`. Never null; not open.
std::unique_ptr<Channel> CreateChannelForMode(ConnectionMode mode, const ProxyInfo& proxy,
                                              const TunnelInfo& tunnel, bool use_ssl,
                                              const TlsPeerCheck& check = {});

// The same with the mode taken from the settings (a proxy counts only when
// it is on and has an address). Logs the chosen class at debug level.
std::unique_ptr<Channel> CreateChannelByConnectionType(const ProxyInfo& proxy,
                                                       const TunnelInfo& tunnel, bool use_ssl,
                                                       const TlsPeerCheck& check = {});
