// Which channel class each combination of proxy, tunnel and TLS makes, for
// the connection test and for the pool.
#include "lib/net/channel-factory.h"

#include <gtest/gtest.h>

#include <typeinfo>

#include "lib/net/connection-pool.h"
#include "lib/net/proxy-channel.h"
#include "lib/net/ssl-channel.h"
#include "lib/net/tunnel-channel.h"

namespace {

TEST(ChannelFactoryTest, SettingsChooseTheClassAndTlsClassesCarryThePeerCheck) {
  ProxyInfo proxy;
  proxy.use_proxy = true;
  proxy.proxy_ip = "127.0.0.1";
  TunnelInfo tunnel;
  TlsPeerCheck check;
  check.pin_sha256 = "00";
  struct Case {
    bool proxy, tunnel, tls;
    const std::type_info& type;
  } cases[] = {
      {false, false, false, typeid(Channel)},
      {false, false, true, typeid(SSLChannel)},
      {true, false, false, typeid(ProxyChannel)},
      {true, false, true, typeid(ProxySSLChannel)},
      {false, true, false, typeid(TunnelChannel)},
      {false, true, true, typeid(TunnelSSLChannel)},
      {true, true, false, typeid(ProxyTunnelChannel)},
      {true, true, true, typeid(ProxyTunnelSSLChannel)},
  };
  for (const Case& c : cases) {
    ProxyInfo p = proxy;
    p.use_proxy = c.proxy;
    TunnelInfo t = tunnel;
    t.use_tunnel = c.tunnel;
    std::unique_ptr<Channel> made = CreateChannelByConnectionType(p, t, c.tls, check);
    Connection pooled(ModeOf(p, t), p, t, c.tls, check);
    for (Channel* ch : {made.get(), pooled.channel.get()}) {
      ASSERT_NE(ch, nullptr);
      EXPECT_EQ(typeid(*ch), c.type) << c.type.name();
      EXPECT_EQ(ch->GetCapacity(), 8192u);
      EXPECT_TRUE(ch->IsClosed());
      if (c.tls) {
        EXPECT_EQ(dynamic_cast<SSLChannel&>(*ch).PeerCheck().pin_sha256, "00");
      }
    }
  }
  // A proxy that is on but has no address does not count.
  ProxyInfo empty;
  empty.use_proxy = true;
  std::unique_ptr<Channel> ch = CreateChannelByConnectionType(empty, TunnelInfo(), true);
  EXPECT_EQ(typeid(*ch), typeid(SSLChannel));
}

}  // namespace
