// syncfolder-relay in-process: tunnels that carry bytes both ways, refusals
// with their status, and clients that misbehave.
#include "relay/relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/net/relay-token.h"
#include "lib/net/ssl-channel.h"
#include "lib/net/tunnel-channel.h"

namespace {

using sftest::ScriptedPeer;
using sftest::WaitFor;

class RelayTest : public ::testing::Test {
 protected:
  void StartRelay() {
    opt.state_dir = dir.Sub("relay");
    opt.wait_period_ms = 50;
    opt.handshake_timeout = 2;
    opt.connect_timeout = 2;
    relay = std::make_unique<Relay>(opt);
    ASSERT_EQ(relay->Start(), 0);
  }
  TunnelInfo Tunnel() const {
    TunnelInfo t;
    t.use_tunnel = true;
    t.tunnel_ip = "127.0.0.1";
    t.tunnel_port = static_cast<uint16_t>(relay->port());
    return t;
  }
  static void Fast(Channel& ch) {
    ch.SetWaitPeriod(std::chrono::milliseconds(50));
    ch.SetTimeout(3);
  }
  // Sends `request` in a TLS session with the relay and returns its answer
  // head (empty when the relay closed without one).
  std::string Ask(const std::string& request) {
    SSLChannel ch;
    Fast(ch);
    if (ch.Open("127.0.0.1", relay->port(), true) != 0) return "no TLS";
    for (size_t i = 0; i < request.size(); i += Channel::kDefaultCapacity) {
      if (ch.Write(request.data() + i, std::min(Channel::kDefaultCapacity, request.size() - i)) != 0) {
        return "write failed";
      }
    }
    if (ch.FlushWrite(0) != 0) return "flush failed";
    std::string head;
    char c;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
      if (ch.Read(&c, 1) != 0) break;
      head.push_back(c);
    }
    return head;
  }
  static std::string Request(const std::string& host, int port, const std::string& token) {
    return "GET /zent-tunnel HTTP/1.1\r\nHost: syncfolder-relay\r\nUpgrade: ZentavoTunnel\r\n"
           "X-Target-Host: " + host + "\r\nX-Target-Port: " + std::to_string(port) +
           "\r\nX-AuthToken: " + token + "\r\n\r\n";
  }

  sftest::TempDir dir;
  RelayOptions opt;
  std::unique_ptr<Relay> relay;
};

TEST_F(RelayTest, CarriesBytesBothWaysUntilEitherSideCloses) {
  StartRelay();
  {
    ScriptedPeer target;
    target.Expect(5).Send("world").Start();
    TunnelChannel ch(Tunnel());
    Fast(ch);
    ASSERT_EQ(ch.Open("127.0.0.1", target.port(), false), 0);
    ASSERT_EQ(ch.Write("hello", 5), 0);
    ASSERT_EQ(ch.FlushWrite(0), 0);
    char buf[5];
    ASSERT_EQ(ch.Read(buf, 5), 0);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(target.Received(), "hello");
    ch.Close();  // the client goes: the relay closes the target
    EXPECT_TRUE(WaitFor([&] { return target.PeerClosed(); }));
  }
  {
    ScriptedPeer target;
    target.Send("bye").Close().Start();
    TunnelChannel ch(Tunnel());
    Fast(ch);
    ASSERT_EQ(ch.Open("127.0.0.1", target.port(), false), 0);
    char buf[4];
    size_t got = 0;
    // The target goes: what it sent arrives, then the end of the stream.
    EXPECT_EQ(ch.Read(buf, 4, got), ERR_IO);
    EXPECT_EQ(std::string(buf, got), "bye");
  }
  EXPECT_TRUE(WaitFor([&] { return relay->ActiveConnections() == 0; }));
  EXPECT_EQ(relay->Tunnels(), 2u);
}

TEST_F(RelayTest, RefusalsAnswerANonZeroStatusAndFailTheTunnel) {
  ScriptedPeer allowed;
  allowed.Start();
  const int closed_port = sftest::UnusedLoopbackPort();
  opt.allow = {"127.0.0.1:" + std::to_string(allowed.port()),
               "127.0.0.1:" + std::to_string(closed_port)};
  StartRelay();
  EXPECT_NE(Ask(Request("127.0.0.1", allowed.port(), MakeRelayToken("127.0.0.1", 1)))
                .find("X-Target-Status: 2\r\n"),
            std::string::npos);
  EXPECT_NE(Ask(Request("127.0.0.1", 1, MakeRelayToken("127.0.0.1", 1))).find("X-Target-Status: 3\r\n"),
            std::string::npos);
  EXPECT_NE(Ask(Request("127.0.0.1", closed_port, MakeRelayToken("127.0.0.1", closed_port)))
                .find("X-Target-Status: 4\r\n"),
            std::string::npos);
  EXPECT_NE(Ask("GET / HTTP/1.1\r\nHost: x\r\n\r\n").find("X-Target-Status: 1\r\n"),
            std::string::npos);
  TunnelChannel ch(Tunnel());
  Fast(ch);
  EXPECT_EQ(ch.Open("127.0.0.1", closed_port, false), ERR_SYS);
  EXPECT_EQ(relay->Tunnels(), 0u);
  EXPECT_FALSE(allowed.Accepted());
}

TEST_F(RelayTest, MisbehavingClientsAreCutOffWithinTheTimeout) {
  StartRelay();
  std::string flood = "GET /zent-tunnel HTTP/1.1\r\n";
  for (int i = 0; i < 200; ++i) flood += "X-Pad: 1\r\n";
  EXPECT_NE(Ask(flood + "\r\n").find("X-Target-Status: 1\r\n"), std::string::npos);
  EXPECT_NE(Ask("GET /zent-tunnel HTTP/1.1\r\nX-Long: " + std::string(4000, 'x')).find(
                "X-Target-Status: 1\r\n"),
            std::string::npos);
  // A client that says nothing after the TLS hand-shake: the relay closes
  // once its hand-shake limit has passed, and the client's read ends.
  EXPECT_EQ(Ask(""), "");
  EXPECT_TRUE(WaitFor([&] { return relay->ActiveConnections() == 0; }));
}

TEST_F(RelayTest, StopEndsOpenTunnels) {
  StartRelay();
  ScriptedPeer target;
  target.Hold().Start();
  TunnelChannel ch(Tunnel());
  Fast(ch);
  ASSERT_EQ(ch.Open("127.0.0.1", target.port(), false), 0);
  ASSERT_TRUE(WaitFor([&] { return relay->ActiveConnections() == 1; }));
  relay->Stop();
  EXPECT_EQ(relay->ActiveConnections(), 0u);
  char c;
  EXPECT_EQ(ch.Read(&c, 1), ERR_IO);
  target.Release();
}

}  // namespace
