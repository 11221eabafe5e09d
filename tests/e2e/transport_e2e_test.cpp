// The daemon end to end in every connection mode: real syncfolder daemons
// (child processes), each with its own reference server (TLS on its port),
// one relay and one real HTTP proxy (tinyproxy, with Basic authentication).
// In each mode a file created on the server reaches the sync root and a
// local file reaches the server. The daemons run side by side, so the whole
// round costs about one daemon's time.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fakes/daemon-runner.h"
#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "fakes/tinyproxy-runner.h"
#include "lib/base/utility.h"
#include "relay/relay.h"
#include "server/server-hooks.h"
#include "server/sync-server.h"

namespace sftest {
namespace {

using namespace std::chrono_literals;

constexpr char kStarted[] = "main thread starts receiving events";
constexpr uint32_t kMtime = 1600000000;

struct Mode {
  const char* name;
  bool proxy;
  bool tunnel;
  bool tls;
};

// One daemon with its own server, and the user-interface listener it
// reports to.
struct ModeRun {
  Mode mode{};
  TempDir share_dir;
  std::unique_ptr<SyncServer> server;
  DaemonSandbox box;
  ScriptedPeer ui;
  ChildProcess proc;

  std::string Share() const { return share_dir.Sub("share"); }
};

class TransportE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RelayOptions ro;
    ro.state_dir = dir.Sub("relay");
    ro.wait_period_ms = 100;
    relay = std::make_unique<Relay>(ro);
    ASSERT_EQ(relay->Start(), 0);
  }
  void TearDown() override {
    for (auto& r : runs) {
      if (r->proc.Running()) {
        r->proc.WriteStdin("\x01");
        EXPECT_EQ(r->proc.Wait(60s), 0) << r->mode.name;
      }
      r->server->Stop();
    }
    relay->Stop();
  }

  void StartProxy() {
    std::string error;
    ASSERT_TRUE(tinyproxy.Start({"alice", "proxy-pw", {}}, error)) << error;
  }

  // Starts a server and a daemon for `mode`; `pin` overrides the pinned
  // fingerprint of the TLS modes (default: the server's own).
  ModeRun& Launch(const Mode& mode, const std::string& pin = "") {
    runs.push_back(std::make_unique<ModeRun>());
    ModeRun& r = *runs.back();
    r.mode = mode;
    mkdir(r.Share().c_str(), 0755);
    ServerOptions so;
    so.share = r.Share();
    so.sessions["s1"] = "alice";
    so.wait_period_ms = 100;
    r.server = std::make_unique<SyncServer>(so);
    EXPECT_EQ(r.server->Start(), 0);
    r.ui.Hold().Start();
    r.box.SetUiPort(r.ui.port());
    auto& c = r.box.config();
    c["session"] = "s1";
    c["port"] = std::to_string(r.server->port());
    if (mode.tls) {
      c["UseSSL"] = "true";
      c["SSLCertPin"] = pin.empty() ? r.server->TlsFingerprint() : pin;
    }
    if (mode.proxy) {
      std::string enc;
      SyncPassEnc("proxy-pw", enc);
      c["UseProxy"] = "true";
      c["ProxySrvIP"] = "127.0.0.1";
      c["ProxySrvPort"] = std::to_string(tinyproxy.port());
      c["ProxyUsrName"] = "alice";
      c["ProxyPassword"] = enc;
    }
    if (mode.tunnel) {
      c["UseTunnel"] = "true";
      c["TunnelSrvIP"] = "127.0.0.1";
      c["TunnelSrvPort"] = std::to_string(relay->port());
    }
    r.box.WriteConfig();
    r.box.WriteLevels({{"client_debug", 6}, {"channel_debug", 4}});
    EXPECT_TRUE(r.box.StartDaemon(r.proc)) << mode.name;
    return r;
  }

  // Waits for every daemon to start, then creates a file on each server
  // and one in each sync root, and waits until both have crossed.
  void ExpectFilesCrossBothWays() {
    for (auto& r : runs) {
      ASSERT_TRUE(WaitFor([&] { return r->box.ReadLog().find(kStarted) != std::string::npos; }, 60s))
          << r->mode.name << "\n" << r->box.ReadLog();
    }
    for (auto& r : runs) {
      ASSERT_EQ(HookPutBytes(r->server->store(), "/from-server.txt",
                             std::string("server over ") + r->mode.name, kMtime),
                0);
      WriteFile(r->box.Root() + "/from-client.txt", std::string("client over ") + r->mode.name);
    }
    auto crossed = [](const ModeRun& r, bool& down_ok, bool& up_ok) {
      const std::string name = r.mode.name;
      const std::string down = r.box.Root() + "/from-server.txt";
      const std::string up = r.Share() + "/from-client.txt";
      down_ok = PathExists(down) && ReadFile(down) == "server over " + name;
      up_ok = PathExists(up) && ReadFile(up) == "client over " + name;
      return down_ok && up_ok;
    };
    WaitFor(
        [&] {
          bool down = false, up = false;
          for (auto& r : runs) {
            if (!crossed(*r, down, up)) return false;
          }
          return true;
        },
        90s);
    for (auto& r : runs) {
      bool down = false, up = false;
      EXPECT_TRUE(crossed(*r, down, up))
          << r->mode.name << ": server file " << (down ? "arrived" : "missing")
          << ", client file " << (up ? "arrived" : "missing") << "\n"
          << r->box.ReadLog();
    }
  }

  TempDir dir;
  std::unique_ptr<Relay> relay;
  TinyproxyRunner tinyproxy;
  std::vector<std::unique_ptr<ModeRun>> runs;
};

TEST_F(TransportE2eTest, DirectTlsAndRelayModesSyncBothWays) {
  Launch({"direct-tls", false, false, true});
  Launch({"tunnel", false, true, false});
  Launch({"tunnel-tls", false, true, true});
  ExpectFilesCrossBothWays();
}

TEST_F(TransportE2eTest, ProxyModesSyncBothWays) {
  SF_REQUIRE_TINYPROXY();
  ASSERT_NO_FATAL_FAILURE(StartProxy());
  Launch({"proxy", true, false, false});
  Launch({"proxy-tls", true, false, true});
  Launch({"proxy-tunnel", true, true, false});
  Launch({"proxy-tunnel-tls", true, true, true});
  ExpectFilesCrossBothWays();
}

TEST_F(TransportE2eTest, AServerWithAnotherCertificateIsRefusedAndTheUserIsTold) {
  const std::string other_pin(64, 'a');
  ModeRun& r = Launch({"wrong-pin", false, false, true}, other_pin);
  ASSERT_TRUE(WaitFor([&] { return r.box.ReadLog().find("not the pinned") != std::string::npos; },
                      60s))
      << r.box.ReadLog();
  // The user interface hears "Authentication failure" (-6).
  EXPECT_TRUE(WaitFor(
      [&] {
        std::vector<UiMessage> msgs;
        std::string error;
        ParseUiMessages(r.ui.Received(), msgs, error);
        for (const UiMessage& m : msgs) {
          if (m.type == 2 && m.value == -6) return true;
        }
        return false;
      },
      60s))
      << Hex(r.ui.Received());
  // It did reach the server; the refusal came from the certificate.
  EXPECT_GT(r.server->AcceptedConnections(), 0u);
}

}  // namespace
}  // namespace sftest
