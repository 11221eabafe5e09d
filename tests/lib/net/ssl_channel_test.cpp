// The TLS channel against scripted loopback peers: what goes on the wire
// before the hand-shake, the hand-shake and shutdown limits, reads served
// from decrypted records, and reuse after Close.
#include "lib/net/ssl-channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "fakes/scripted-peer.h"
#include "fakes/tls-peer.h"
#include "lib/base/errors.h"

namespace {

using sftest::Hex;
using sftest::ScriptedPeer;
using sftest::TlsScriptedPeer;
using std::chrono::milliseconds;

void FastLimits(Channel& ch, uint32_t timeout_seconds = 2) {
  ch.SetWaitPeriod(milliseconds(100));
  ch.SetTimeout(timeout_seconds);
}

TEST(SSLChannelTest, SendsTheRequestHeaderFirstAndGivesUpOnAServerThatNeverShakesHands) {
  ScriptedPeer peer;  // reads everything, answers nothing
  peer.Hold().Start();
  SSLChannel ch;
  FastLimits(ch, 1);
  EXPECT_EQ(ch.Open("127.0.0.1", peer.port(), false), ERR_IO);
  EXPECT_TRUE(ch.IsClosed());
  ASSERT_TRUE(peer.WaitReceived(9));
  const std::string got = peer.Received();
  EXPECT_EQ(Hex(got.substr(0, 8)), "25 52 18 14 28 14 00 00");
  EXPECT_EQ(static_cast<unsigned char>(got[8]), 0x16);  // then a TLS hand-shake record
  peer.Release();
}

TEST(SSLChannelTest, ExchangesDataAndServesADecryptedRecordWithoutWaitingOnTheSocket) {
  const std::string answer(100, 'z');
  TlsScriptedPeer peer(8);
  peer.ReadHead().Send(answer).Hold().Start();
  // A buffer smaller than the record: the rest of the record stays decrypted
  // in the TLS layer, and the peer sends nothing more, so a read that waited
  // on the socket first would time out.
  SSLChannel ch(16);
  FastLimits(ch, 1);
  ASSERT_EQ(ch.Open("127.0.0.1", peer.port(), false), 0);
  EXPECT_EQ(peer.RawPrefix(), std::string(reinterpret_cast<const char*>(kTlsRequestHeader), 8));
  ASSERT_EQ(ch.Write("ping\r\n\r\n", 8), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  std::string got(answer.size(), '\0');
  ASSERT_EQ(ch.Read(&got[0], got.size()), 0);
  EXPECT_EQ(got, answer);
  EXPECT_EQ(peer.Received(), "ping\r\n\r\n");
  // The client presents no certificate; asking it to load the missing
  // default files fails cleanly and leaves the session working.
  SSLChannel fresh;
  EXPECT_EQ(fresh.InstallCERT(), -1);
  EXPECT_EQ(ch.InstallPriKey(), -1);
  EXPECT_EQ(ch.Write("\r\n", 2), 0);
  EXPECT_EQ(ch.FlushWrite(0), 0);
}

TEST(SSLChannelTest, CloseWaitsOnePeriodForAPeerThatNeverAnswersCloseNotify) {
  sftest::LogCapture log({L"channel_debug"});
  TlsScriptedPeer peer(8);
  peer.Hold().Start();
  SSLChannel ch;
  ch.SetWaitPeriod(milliseconds(300));
  ASSERT_EQ(ch.Open("127.0.0.1", peer.port(), false), 0);
  const auto start = std::chrono::steady_clock::now();
  ch.Close();
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_TRUE(log.Contains("SSL shutdown timeout"));
  // One wait, not one per retry nor the whole channel timeout (60 s).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ch.Close();  // a closed channel: nothing happens
}

TEST(SSLChannelTest, ReopensWithFreshTlsObjectsAfterClose) {
  TlsScriptedPeer first(8), second(8);
  first.ReadHead().Send("one").Start();
  second.ReadHead().Send("two").Start();
  SSLChannel ch;
  FastLimits(ch);
  for (auto* peer : {&first, &second}) {
    ASSERT_EQ(ch.Open("127.0.0.1", peer->port(), false), 0);
    ASSERT_EQ(ch.Write("\r\n\r\n", 4), 0);
    ASSERT_EQ(ch.FlushWrite(0), 0);
    char buf[3];
    ASSERT_EQ(ch.Read(buf, 3), 0);
    EXPECT_EQ(std::string(buf, 3), peer == &first ? "one" : "two");
    ch.Close();
  }
}

TEST(SSLChannelTest, AnAdoptedSocketIsRefusedAndStaysTheCallers) {
  SSLChannel ch;
  EXPECT_EQ(ch.Open(0, false, true), ERR_INVAL);
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_EQ(ch.Open(nullptr, 1, false), ERR_INVAL);
}

TEST(SSLChannelTest, PeerChecksAcceptTheRightCertificateAndRefuseAnother) {
  sftest::TestCert other;
  struct Case {
    const char* name;
    bool right;
    bool by_ca;
  } cases[] = {{"right CA", true, true},
               {"right pin", true, false},
               {"other CA", false, true},
               {"other pin", false, false}};
  for (const Case& c : cases) {
    sftest::LogCapture log({L"channel_debug"});
    TlsScriptedPeer peer(8);
    peer.ReadHead().Start();
    const sftest::TestCert& cert = c.right ? peer.cert() : other;
    TlsPeerCheck check;
    if (c.by_ca) check.ca_file = cert.cert;
    else check.pin_sha256 = cert.fingerprint;
    SSLChannel ch;
    FastLimits(ch);
    ch.SetPeerCheck(check);
    int rc = ch.Open("127.0.0.1", peer.port(), false);
    if (c.right) {
      EXPECT_EQ(rc, 0) << c.name;
    } else {
      EXPECT_EQ(rc, ERR_AUTH) << c.name;
      EXPECT_TRUE(ch.IsClosed());
      EXPECT_TRUE(log.Contains("refusing to connect")) << c.name << ": " << log.Text();
    }
  }
}

}  // namespace
