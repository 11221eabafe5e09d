// The reference server's TLS: one port for plain and TLS clients, the
// certificate it makes or is given, and the client's optional checks of it.
#include <gtest/gtest.h>

#include "fakes/tls-peer.h"
#include "lib/net/ssl-channel.h"
#include "lib/net/tls-cert.h"
#include "lib/proto/proto-client.h"
#include "server-fixture.h"
#include "worker-driver.h"

namespace sftest {
namespace {

class ServerTlsTest : public ServerFixture {
 protected:
  // The test connection over TLS with `check`; its result.
  int TestOverTls(const TlsPeerCheck& check = {}) {
    int version = 0;
    std::wstring serial, id;
    int rc = ProtoTestConnectionProxyTunnel("127.0.0.1", server->port(), ProxyInfo(), TunnelInfo(),
                                            true, version, serial, id, check);
    if (rc == 0) {
      EXPECT_EQ(id, L"syncfolder-server");
    }
    return rc;
  }
  std::string MadeCert() { return store().statePath() + "/tls/server.crt"; }
};

TEST_F(ServerTlsTest, ServesTlsAndPlainClientsOnOnePort) {
  Start();
  ASSERT_EQ(HookPutBytes(store(), "/a.txt", "over TLS", kGoldenTime), 0);
  EXPECT_EQ(TestOverTls(), 0);
  int version = 0;
  std::wstring serial, id;
  EXPECT_EQ(SFAPITestConnection("127.0.0.1", server->port(), version, serial, id), 0);
  // A session's exchanges run over the TLS channel as over a plain one.
  SSLChannel ch;
  ASSERT_EQ(ch.Open("127.0.0.1", server->port(), false), 0);
  driver::PullAnswer pulled;
  ASSERT_EQ(driver::Pull(ch, L"s1", 0, pulled), 0);
  ASSERT_EQ(pulled.entries.size(), 1u);
  driver::DownloadAnswer got;
  ASSERT_EQ(driver::Download(ch, L"s1", 0, L"/a.txt", root.Sub("payload"), got), 0);
  EXPECT_EQ(ReadFile(root.Sub("payload")), "over TLS");
  // The certificate was made into the state folder; it names 127.0.0.1.
  EXPECT_EQ(CertFileFingerprint(MadeCert()), server->TlsFingerprint());
}

TEST_F(ServerTlsTest, TheRightCaOrPinConnectsAndAnotherCertificateIsRefused) {
  Start();
  TestCert other;
  TlsPeerCheck ca, pin, other_ca, other_pin, both;
  ca.ca_file = MadeCert();
  pin.pin_sha256 = server->TlsFingerprint();
  other_ca.ca_file = other.cert;
  other_pin.pin_sha256 = other.fingerprint;
  both.ca_file = MadeCert();
  both.pin_sha256 = other.fingerprint;
  EXPECT_EQ(TestOverTls(ca), 0);
  EXPECT_EQ(TestOverTls(pin), 0);
  EXPECT_EQ(TestOverTls(other_ca), ERR_AUTH);
  EXPECT_EQ(TestOverTls(other_pin), ERR_AUTH);
  EXPECT_EQ(TestOverTls(both), ERR_AUTH);
  // The made certificate is kept: a pin stays valid across restarts.
  Restart();
  EXPECT_EQ(TestOverTls(pin), 0);
}

TEST_F(ServerTlsTest, UsesTheGivenCertificateOrRefusesTlsWhenOff) {
  TestCert given;
  opt.tls_cert = given.cert;
  opt.tls_key = given.key;
  Start();
  EXPECT_EQ(server->TlsFingerprint(), given.fingerprint);
  TlsPeerCheck pin;
  pin.pin_sha256 = given.fingerprint;
  EXPECT_EQ(TestOverTls(pin), 0);

  opt.tls = false;
  Restart();
  SSLChannel ch;
  ch.SetTimeout(5);
  EXPECT_EQ(ch.Open("127.0.0.1", server->port(), false), ERR_IO);
  int version = 0;
  std::wstring serial, id;
  EXPECT_EQ(SFAPITestConnection("127.0.0.1", server->port(), version, serial, id), 0);
}

}  // namespace
}  // namespace sftest
