// The proxy channels through a real HTTP proxy (tinyproxy) and through
// scripted proxies that answer in pieces, at length, with NTLM only, or
// with hostile heads.
#include "lib/net/proxy-channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "fakes/tinyproxy-runner.h"
#include "fakes/tls-peer.h"
#include "lib/base/errors.h"

namespace {

using sftest::ScriptedPeer;
using sftest::TinyproxyRunner;

ProxyInfo Proxy(int port, const std::string& user = "", const std::string& password = "") {
  ProxyInfo p;
  p.use_proxy = true;
  p.proxy_ip = "127.0.0.1";
  p.proxy_port = static_cast<uint16_t>(port);
  p.user_name = user;
  p.password = password;
  return p;
}

void FastLimits(Channel& ch, uint32_t timeout_seconds = 3) {
  ch.SetWaitPeriod(std::chrono::milliseconds(100));
  ch.SetTimeout(timeout_seconds);
}

// Sends "hello" through an open channel and expects "world" back from the
// target.
void ExpectConversation(Channel& ch, ScriptedPeer& target) {
  ASSERT_EQ(ch.Write("hello", 5), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  char buf[5];
  ASSERT_EQ(ch.Read(buf, 5), 0);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(target.Received(), "hello");
}

class RealProxyTest : public ::testing::Test {
 protected:
  void StartProxy(const TinyproxyRunner::Options& opt) {
    std::string error;
    ASSERT_TRUE(proxy.Start(opt, error)) << error;
  }
  TinyproxyRunner proxy;
};

TEST_F(RealProxyTest, ReachesTheTargetWithoutAuthentication) {
  SF_REQUIRE_TINYPROXY();
  StartProxy({});
  ScriptedPeer target;
  target.Expect(5).Send("world").Start();
  ProxyChannel ch(Proxy(proxy.port()));
  FastLimits(ch);
  ASSERT_EQ(ch.Open("127.0.0.1", target.port(), false), 0);
  ExpectConversation(ch, target);
}

TEST_F(RealProxyTest, BasicAuthenticationPassesWithTheRightCredentialsOnly) {
  SF_REQUIRE_TINYPROXY();
  StartProxy({"alice", "s3cret", {}});
  {
    ScriptedPeer target;
    target.Expect(5).Send("world").Start();
    ProxyChannel ch(Proxy(proxy.port(), "alice", "s3cret"));
    FastLimits(ch);
    ASSERT_EQ(ch.Open("127.0.0.1", target.port(), false), 0);
    ExpectConversation(ch, target);
  }
  struct Case {
    const char* user;
    const char* password;
    const char* log;
  } refused[] = {{"alice", "wrong", "refused the credentials of user 'alice'"},
                 {"", "", "no proxy user is configured"}};
  for (const Case& c : refused) {
    sftest::LogCapture log({L"channel_debug"});
    ScriptedPeer target;
    target.Start();
    ProxyChannel ch(Proxy(proxy.port(), c.user, c.password));
    FastLimits(ch);
    EXPECT_EQ(ch.Open("127.0.0.1", target.port(), false), ERR_AUTH) << c.user;
    EXPECT_TRUE(ch.IsClosed());
    EXPECT_TRUE(log.Contains(c.log)) << log.Text();
    EXPECT_FALSE(target.Accepted());
  }
}

TEST_F(RealProxyTest, AProxyThatRefusesTheTargetPortFailsTheOpen) {
  SF_REQUIRE_TINYPROXY();
  ScriptedPeer target;
  target.Start();
  StartProxy({"", "", {target.port() == 443 ? 444 : 443}});
  sftest::LogCapture log({L"channel_debug"});
  ProxyChannel ch(Proxy(proxy.port()));
  FastLimits(ch);
  EXPECT_EQ(ch.Open("127.0.0.1", target.port(), false), ERR_IO);
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_TRUE(log.Contains("refused CONNECT 127.0.0.1:" + std::to_string(target.port())))
      << log.Text();
  EXPECT_FALSE(target.Accepted());
}

TEST_F(RealProxyTest, TlsToTheServerRunsEndToEndThroughTheProxy) {
  SF_REQUIRE_TINYPROXY();
  StartProxy({});
  sftest::TlsScriptedPeer server(8);
  server.ReadHead().Send("over TLS").Start();
  ProxySSLChannel ch(Proxy(proxy.port()));
  FastLimits(ch);
  TlsPeerCheck pin;
  pin.pin_sha256 = server.cert().fingerprint;
  ch.SetPeerCheck(pin);
  ASSERT_EQ(ch.Open("127.0.0.1", server.port(), false), 0);
  ASSERT_EQ(ch.Write("\r\n\r\n", 4), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  char buf[8];
  ASSERT_EQ(ch.Read(buf, 8), 0);
  EXPECT_EQ(std::string(buf, 8), "over TLS");
}

// A scripted proxy: accepts one connection, waits for the request's first
// byte, then plays `script`.
int OpenThroughScripted(const std::function<void(ScriptedPeer&)>& script, std::string* read_back,
                        uint32_t timeout_seconds = 3) {
  ScriptedPeer proxy;
  script(proxy.Expect(1));
  proxy.Start();
  ProxyChannel ch(Proxy(proxy.port(), "alice", "pw"));
  FastLimits(ch, timeout_seconds);
  int rc = ch.Open("127.0.0.1", 6690, false);
  EXPECT_EQ(ch.IsClosed(), rc != 0);
  if (rc == 0 && read_back != nullptr) {
    read_back->assign(5, '\0');
    EXPECT_EQ(ch.Read(&(*read_back)[0], 5), 0);
  }
  return rc;
}

TEST(ScriptedProxyTest, AnswersInPiecesOrAtLengthLeaveTheTargetsBytesUntouched) {
  std::string long_head = "HTTP/1.1 200 Connection established\r\n";
  for (int i = 0; i < 90; ++i) long_head += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'f') + "\r\n";
  long_head += "\r\n";
  ASSERT_GT(long_head.size(), 4096u);  // longer than one receive
  std::string got;
  ASSERT_EQ(OpenThroughScripted(
                [&](ScriptedPeer& p) {
                  p.Trickle("HTTP/1.1 200 OK\r\nVia: x\r\n\r\n", std::chrono::milliseconds(2))
                      .Send("HELLO");
                },
                &got),
            0);
  EXPECT_EQ(got, "HELLO");
  ASSERT_EQ(OpenThroughScripted([&](ScriptedPeer& p) { p.Send(long_head + "WORLD"); }, &got), 0);
  EXPECT_EQ(got, "WORLD");
}

TEST(ScriptedProxyTest, AnNtlmOnlyProxyIsRefusedClearly) {
  sftest::LogCapture log({L"channel_debug"});
  EXPECT_EQ(OpenThroughScripted(
                [](ScriptedPeer& p) {
                  p.Send("HTTP/1.1 407 Proxy Authentication Required\r\n"
                         "Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Negotiate\r\n"
                         "Content-Length: 0\r\n\r\n");
                },
                nullptr),
            ERR_AUTH);
  EXPECT_TRUE(log.Contains("accepts only NTLM authentication, which is not supported"))
      << log.Text();
}

TEST(ScriptedProxyTest, BrokenAndHostileProxiesFailWithinTheTimeout) {
  struct Case {
    const char* name;
    std::function<void(ScriptedPeer&)> script;
  } cases[] = {
      {"early close", [](ScriptedPeer& p) { p.Send("HTTP/1.1 200 Conn").Close(); }},
      {"not HTTP", [](ScriptedPeer& p) { p.Send("SSH-2.0-x\r\n\r\n"); }},
      {"endless headers",
       [](ScriptedPeer& p) {
         std::string flood = "HTTP/1.1 200 OK\r\n";
         while (flood.size() < (1 << 20)) flood += "X-Pad: 1\r\n";
         p.Send(flood);
       }},
      {"over-long line", [](ScriptedPeer& p) { p.Send("HTTP/1.1 200 " + std::string(100000, 'x')); }},
      {"stall", [](ScriptedPeer& p) { p.Hold(); }},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenThroughScripted(c.script, nullptr, 1), ERR_IO) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.name;
  }
}

TEST(ScriptedProxyTest, AnUnreachableProxyLeavesTheChannelClosed) {
  ProxyChannel ch(Proxy(sftest::UnusedLoopbackPort()));
  FastLimits(ch);
  EXPECT_EQ(ch.Open("127.0.0.1", 6690, false), ERR_IO);
  EXPECT_TRUE(ch.IsClosed());
}

}  // namespace
