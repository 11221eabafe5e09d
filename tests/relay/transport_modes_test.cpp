// Every connection mode end to end at the protocol level: the reference
// server (TLS on its port), the relay and a real HTTP proxy (tinyproxy,
// with Basic authentication), and for each mode the test connection, an
// upload that reaches the share and a download of a file the server has.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>

#include "fakes/test-util.h"
#include "fakes/tinyproxy-runner.h"
#include "lib/base/errors.h"
#include "lib/net/channel-factory.h"
#include "lib/net/connection-pool.h"
#include "lib/proto/proto-client.h"
#include "relay/relay.h"
#include "rsapi/rs-api.h"
#include "server/server-hooks.h"
#include "server/sync-server.h"
#include "server/worker-driver.h"

namespace sftest {
namespace {

class TransportModesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProtoInit(4);
    mkdir(dir.Sub("share").c_str(), 0755);
    mkdir(dir.Sub("client").c_str(), 0755);
    ServerOptions so;
    so.share = dir.Sub("share");
    so.sessions["s1"] = "alice";
    so.wait_period_ms = 100;
    server = std::make_unique<SyncServer>(so);
    ASSERT_EQ(server->Start(), 0);
    RelayOptions ro;
    ro.state_dir = dir.Sub("relay");
    ro.wait_period_ms = 50;
    ro.allow = {"127.0.0.1:" + std::to_string(server->port())};
    relay = std::make_unique<Relay>(ro);
    ASSERT_EQ(relay->Start(), 0);
    tunnel.tunnel_ip = "127.0.0.1";
    tunnel.tunnel_port = static_cast<uint16_t>(relay->port());
  }
  void TearDown() override {
    relay->Stop();
    server->Stop();
  }

  void StartProxy() {
    std::string error;
    ASSERT_TRUE(tinyproxy.Start({"alice", "proxy-pw", {}}, error)) << error;
    proxy.proxy_ip = "127.0.0.1";
    proxy.proxy_port = static_cast<uint16_t>(tinyproxy.port());
    proxy.user_name = "alice";
    proxy.password = "proxy-pw";
  }

  // The whole round for one mode.
  void RunMode(bool use_proxy, bool use_tunnel, bool use_ssl) {
    const std::string name = std::string(use_proxy ? "proxy" : "direct") +
                             (use_tunnel ? "-tunnel" : "") + (use_ssl ? "-tls" : "");
    SCOPED_TRACE(name);
    ProxyInfo p = proxy;
    p.use_proxy = use_proxy;
    TunnelInfo t = tunnel;
    t.use_tunnel = use_tunnel;
    // The server's own certificate pinned: a TLS session that ended at the
    // relay or the proxy would be refused.
    TlsPeerCheck check;
    if (use_ssl) check.pin_sha256 = server->TlsFingerprint();

    int version = 0;
    std::wstring serial, id;
    ASSERT_EQ(ProtoTestConnectionProxyTunnel("127.0.0.1", server->port(), p, t, use_ssl, version,
                                             serial, id, check),
              0);
    EXPECT_EQ(id, L"syncfolder-server");

    Connection conn(ModeOf(p, t), p, t, use_ssl, check);
    Channel& ch = *conn.channel;
    ch.SetWaitPeriod(std::chrono::milliseconds(100));
    ch.SetTimeout(10);
    ASSERT_EQ(ch.Open("127.0.0.1", server->port(), false), 0);

    const std::string local = dir.Sub("client/" + name);
    WriteFile(local, "from the client over " + name);
    driver::UploadArgs up;
    up.path = W("/up-" + name);
    up.mtime = 1600000000;
    up.size = ReadFile(local).size();
    ASSERT_EQ(RSCalcMD4Text(W(local), up.hash), 0);
    up.payload = local;
    driver::UploadAnswer uploaded;
    ASSERT_EQ(driver::Upload(ch, up, uploaded), 0);
    EXPECT_EQ(uploaded.result, SPROTO_RES_OK);
    EXPECT_EQ(ReadFile(dir.Sub("share/up-" + name)), "from the client over " + name);

    ASSERT_EQ(HookPutBytes(server->store(), "/down-" + name, "from the server over " + name,
                           1600000000),
              0);
    driver::PullAnswer pulled;
    ASSERT_EQ(driver::Pull(ch, L"s1", uploaded.obj.sync_id, pulled), 0);
    ASSERT_EQ(pulled.entries.size(), 1u);
    EXPECT_EQ(pulled.entries[0].path, W("/down-" + name));
    driver::DownloadAnswer got;
    ASSERT_EQ(driver::Download(ch, L"s1", 0, W("/down-" + name), local + ".got", got), 0);
    EXPECT_EQ(ReadFile(local + ".got"), "from the server over " + name);
    ch.Close();
  }

  TempDir dir;
  std::unique_ptr<SyncServer> server;
  std::unique_ptr<Relay> relay;
  TinyproxyRunner tinyproxy;
  ProxyInfo proxy;
  TunnelInfo tunnel;
};

TEST_F(TransportModesTest, DirectAndRelayModesCarryFilesBothWays) {
  for (bool tunnel_on : {false, true}) {
    for (bool tls : {false, true}) RunMode(false, tunnel_on, tls);
  }
  EXPECT_EQ(relay->Tunnels(), 4u);  // test connection and session, twice
}

TEST_F(TransportModesTest, ProxyModesCarryFilesBothWays) {
  SF_REQUIRE_TINYPROXY();
  StartProxy();
  for (bool tunnel_on : {false, true}) {
    for (bool tls : {false, true}) RunMode(true, tunnel_on, tls);
  }
  EXPECT_EQ(relay->Tunnels(), 4u);
}

}  // namespace
}  // namespace sftest
