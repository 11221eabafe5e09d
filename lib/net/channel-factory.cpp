#include "lib/net/channel-factory.h"

#include "lib/base/log.h"
#include "lib/net/proxy-channel.h"
#include "lib/net/ssl-channel.h"
#include "lib/net/tunnel-channel.h"

namespace {

constexpr wchar_t kLogComponent[] = L"proto_client_debug";

template <typename T, typename... Args>
std::unique_ptr<Channel> MakeTls(const TlsPeerCheck& check, Args&&... args) {
  auto ch = std::make_unique<T>(std::forward<Args>(args)...);
  ch->SetPeerCheck(check);
  return ch;
}

}  // namespace

std::unique_ptr<Channel> CreateChannelForMode(ConnectionMode mode, const ProxyInfo& proxy,
                                              const TunnelInfo& tunnel, bool use_ssl,
                                              const TlsPeerCheck& check) {
  switch (mode) {
    case CONNECTION_PROXY:
      if (use_ssl) return MakeTls<ProxySSLChannel>(check, proxy);
      return std::make_unique<ProxyChannel>(proxy);
    case CONNECTION_TUNNEL:
      if (use_ssl) return MakeTls<TunnelSSLChannel>(check, tunnel);
      return std::make_unique<TunnelChannel>(tunnel);
    case CONNECTION_PROXY_TUNNEL:
      if (use_ssl) return MakeTls<ProxyTunnelSSLChannel>(check, proxy, tunnel);
      return std::make_unique<ProxyTunnelChannel>(proxy, tunnel);
    case CONNECTION_NORMAL:
      break;
  }
  if (use_ssl) return MakeTls<SSLChannel>(check);
  return std::make_unique<Channel>();
}

std::unique_ptr<Channel> CreateChannelByConnectionType(const ProxyInfo& proxy,
                                                       const TunnelInfo& tunnel, bool use_ssl,
                                                       const TlsPeerCheck& check) {
  static const wchar_t* const kNames[2][4] = {
      {L"Channel", L"ProxyChannel", L"TunnelChannel", L"ProxyTunnelChannel"},
      {L"SSLChannel", L"ProxySSLChannel", L"TunnelSSLChannel", L"ProxyTunnelSSLChannel"}};
  const ConnectionMode mode = ModeOf(proxy, tunnel);
  if (use_ssl && mode == CONNECTION_PROXY_TUNNEL) {
    SF_LOG(L_DEBUG,
           L"[DEBUG] proto-client(%d): SFAPITestConnection: Using ProxyTunnelSSLChannel\n");
  } else {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-client(%d): CreateChannelByConnectionType: Using %s\n",
           kNames[use_ssl ? 1 : 0][mode]);
  }
  return CreateChannelForMode(mode, proxy, tunnel, use_ssl, check);
}
