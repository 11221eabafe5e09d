// The relay hand-shake of the tunnel channels against scripted TLS relays:
// the request and its token, the status answer, and relays that break the
// hand-shake.
#include "lib/net/tunnel-channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>

#include "fakes/tls-peer.h"
#include "lib/base/errors.h"
#include "lib/net/relay-token.h"
#include "lib/net/tunnel-handshake.h"

namespace {

using sftest::TlsScriptedPeer;

// The relay's answer when it connected the target.
const std::string kConnected = "HTTP/1.1 101 Switching Protocols\r\nX-Target-Status: 0\r\n\r\n";

TunnelInfo Relay(int port) {
  TunnelInfo t;
  t.use_tunnel = true;
  t.tunnel_ip = "127.0.0.1";
  t.tunnel_port = static_cast<uint16_t>(port);
  return t;
}

int OpenThrough(TlsScriptedPeer& relay, uint32_t timeout_seconds = 2) {
  TunnelChannel ch(Relay(relay.port()));
  ch.SetWaitPeriod(std::chrono::milliseconds(100));
  ch.SetTimeout(timeout_seconds);
  int rc = ch.Open("127.0.0.1", 6690, false);
  EXPECT_EQ(ch.IsClosed(), rc != 0);
  return rc;
}

std::string Bytes(const unsigned char* p, size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

TEST(RelayTokenTest, TokenHasTheDocumentedLayoutAndDecryptsToTheTarget) {
  const std::string text = MakeRelayToken("10.1.2.3", 6690);
  ASSERT_FALSE(text.empty());
  EXPECT_TRUE(std::regex_match(text, std::regex("[A-Za-z0-9+/]+=*")));
  unsigned char token[1024];
  int n = ZENTCryptoBase64Decode(token, sizeof(token), text.data(), text.size());
  const std::string plain = std::string("10.1.2.3:6690") + '\0';  // 14 bytes: two blocks
  ASSERT_EQ(n, 26 + 16);
  EXPECT_EQ(Bytes(token, 4), std::string("\xff\xff\x00\x01", 4));
  EXPECT_EQ((token[20] << 24) | (token[21] << 16) | (token[22] << 8) | token[23], 16);
  unsigned char out[64];
  int p = ZENTCryptoDecrypt(out, sizeof(out), token, static_cast<size_t>(n));
  ASSERT_EQ(p, static_cast<int>(plain.size()));
  EXPECT_EQ(Bytes(out, static_cast<size_t>(p)), plain);
  EXPECT_TRUE(RelayTokenMatches(text, "10.1.2.3", 6690));
  EXPECT_FALSE(RelayTokenMatches(text, "10.1.2.3", 6691));
  // Every token is new (random seed and filler).
  EXPECT_NE(MakeRelayToken("10.1.2.3", 6690), text);
}

TEST(RelayTokenTest, DamagedTokensAreRefused) {
  unsigned char token[128];
  const unsigned char plain[] = "127.0.0.1:1";
  const int n = ZENTCryptoEncrypt(token, sizeof(token), plain, sizeof(plain));
  ASSERT_GT(n, 26);
  unsigned char out[128];
  EXPECT_EQ(ZENTCryptoValidateFormat(token, 26), -1);      // too short
  EXPECT_EQ(ZENTCryptoDecrypt(out, sizeof(out), token, static_cast<size_t>(n) - 3), -1);  // cut
  unsigned char bad[128];
  std::copy(token, token + n, bad);
  bad[0] = 0x7f;  // magic
  EXPECT_EQ(ZENTCryptoValidateFormat(bad, static_cast<size_t>(n)), -1);
  std::copy(token, token + n, bad);
  bad[3] = 2;  // a newer format version
  EXPECT_EQ(ZENTCryptoValidateFormat(bad, static_cast<size_t>(n)), -1);
  std::copy(token, token + n, bad);
  bad[11] ^= 1;  // another seed: another key, so the padding check fails
  EXPECT_NE(ZENTCryptoDecrypt(out, sizeof(out), bad, static_cast<size_t>(n)),
            static_cast<int>(sizeof(plain)));
  EXPECT_EQ(ZENTCryptoBase64Decode(out, sizeof(out), "ab$d", 4), -1);
  EXPECT_FALSE(RelayTokenMatches("not a token", "127.0.0.1", 1));
}

TEST(TunnelChannelTest, SendsTheUpgradeRequestAndAcceptsTheStatusInAnyLetterCase) {
  TlsScriptedPeer relay;
  relay.ReadHead().Send("HTTP/1.1 101 Switching Protocols\r\nx-TARGET-status:  0\r\n\r\n").Hold();
  relay.Start();
  ASSERT_EQ(OpenThrough(relay), 0);
  const std::string req = relay.Received();
  EXPECT_EQ(req.rfind("GET /zent-tunnel HTTP/1.1\r\nHost: syncfolder-relay\r\n"
                      "Upgrade: ZentavoTunnel\r\nX-Target-Host: 127.0.0.1\r\n"
                      "X-Target-Port: 6690\r\nX-AuthToken: ",
                      0),
            0u)
      << req;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(req, m, std::regex("X-AuthToken: ([A-Za-z0-9+/=]+)\r\n\r\n$")));
  EXPECT_TRUE(RelayTokenMatches(m[1], "127.0.0.1", 6690));
}

TEST(TunnelChannelTest, ARefusalOrAnAnswerWithoutStatusFailsTheOpen) {
  const char* answers[] = {
      "HTTP/1.1 502 Bad Gateway\r\nX-Target-Status: 4\r\n\r\n",
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: ZentavoTunnel\r\n\r\n",
      "HTTP/1.1 101 Switching Protocols\r\nX-Target-Status: none\r\n\r\n",
  };
  for (const char* answer : answers) {
    TlsScriptedPeer relay;
    relay.ReadHead().Send(answer).Hold().Start();
    EXPECT_EQ(OpenThrough(relay), ERR_SYS) << answer;
  }
}

TEST(TunnelChannelTest, ARelayThatClosesBeforeAnyStatusLineFailsTheOpen) {
  TlsScriptedPeer relay;
  relay.ReadHead().Close().Start();
  EXPECT_EQ(OpenThrough(relay), ERR_SYS);
}

TEST(TunnelChannelTest, HostileRelaysFailWithinTheTimeout) {
  struct Case {
    const char* name;
    std::function<void(TlsScriptedPeer&)> script;
  } cases[] = {
      {"endless headers",
       [](TlsScriptedPeer& r) { r.ReadHead().Send("HTTP/1.1 101 OK\r\n").SendForever("X-Pad: 1\r\n"); }},
      {"over-long line",
       [](TlsScriptedPeer& r) { r.ReadHead().Send("HTTP/1.1 101 " + std::string(5000, 'x')).Hold(); }},
      {"stall", [](TlsScriptedPeer& r) { r.ReadHead().Hold(); }},
  };
  for (const Case& c : cases) {
    TlsScriptedPeer relay;
    c.script(relay);
    relay.Start();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(OpenThrough(relay, 1), 0) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.name;
  }
}

}  // namespace
