// An attached monitor fed by hand-made daemon streams: the file events and
// errors a daemon can send (including names no terminal or log should get
// raw), streams no daemon would send, and several daemons at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <vector>

#include "fakes/scripted-peer.h"
#include "fakes/stranger.h"
#include "monitor-harness.h"

using montest::Error;
using montest::FakeDaemon;
using montest::FileEvent;
using montest::MonitorRun;
using montest::Session;
using montest::Status;
using montest::Terminate;
using sftest::Bytes;

namespace {

// A name with a terminal escape, a newline and non-ASCII letters.
const std::string kHostilePath = "/docs/r\xC3\xA9sum\xC3\xA9\x1b[2J\n.txt";

class MonitorAttachTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    sb.config()["session"] = "fake-session";
    sb.config()["port"] = "7";
    sb.WriteConfig();
  }
  std::string Dump() { return "monitor output:\n" + mon.Text(); }

  sftest::DaemonSandbox sb;
  MonitorRun mon;
};

TEST_P(MonitorAttachTest, ReportsAreShownSafelyAndBadStreamsAreDroppedWithoutHarm) {
  const std::string format = GetParam();
  const bool json = format == "--json";
  ASSERT_TRUE(mon.Start({format, "--attach", sb.ConfigFile()}));
  const int port = mon.Port();
  ASSERT_GT(port, 0) << Dump();

  FakeDaemon a(port);
  ASSERT_TRUE(a.ok());
  ASSERT_TRUE(a.Send(Session("fake-session") + Status(10) + FileEvent(1, kHostilePath) +
                     FileEvent(3, "/docs/\xE6\x97\xA5\xE6\x9C\xAC.txt") + FileEvent(2, "/old") + FileEvent(5, "/kept.txt") +
                     Error(-6) + Error(INT32_MIN) + Status(99)));
  // A second daemon whose stream is garbage after a valid start: only its
  // connection is dropped.
  FakeDaemon bad(port);
  ASSERT_TRUE(bad.ok());
  ASSERT_TRUE(bad.Send(Session("intruder") + Bytes().u8(7).u16(4).u32(0).str()));
  const std::string dropped = json ? "\"type\":\"dropped\"" : "dropped the connection";
  ASSERT_GE(mon.WaitLine(dropped), 0) << Dump();
  // The first one goes on.
  ASSERT_TRUE(a.Send(Error(0) + Status(11) + Terminate()));
  a.Close();
  ASSERT_GE(mon.WaitLine(json ? "\"type\":\"closed\"" : "disconnected (the daemon stopped)"), 0)
      << Dump();

  const std::string text = mon.Text();
  const auto lines = mon.Lines();
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << "a raw escape reached the output";
  // The session is what the server accepts: the output, which ends up in
  // journals, shows only its start.
  EXPECT_EQ(text.find("fake-session"), std::string::npos) << Dump();
  EXPECT_EQ(text.find("intruder"), std::string::npos) << Dump();
  if (json) {
    for (const std::string& l : lines) EXPECT_TRUE(montest::JsonCheck::Valid(l)) << l;
    for (const char* want :
         {"\"source\":\"fa***\",\"type\":\"session\",\"session\":\"fa***\"",
          "\"type\":\"status\",\"status\":\"syncing\",\"value\":10",
          "\"action\":\"created\",\"action_code\":1,\"path\":\"/docs/"
          "r\xC3\xA9sum\xC3\xA9\\u001b[2J\\n.txt\"",
          "\"action\":\"modified\",\"action_code\":3,\"path\":\"/docs/"
          "\xE6\x97\xA5\xE6\x9C\xAC.txt\"",
          "\"action\":\"removed\",\"action_code\":2,\"path\":\"/old\"",
          "\"action\":\"trashed\",\"action_code\":5,\"path\":\"/kept.txt\"",
          "\"type\":\"error\",\"code\":-6,\"name\":\"Authentication failure\",\"hint\":\"the "
          "server "
          "refused the session \\\"fa***\\\": correct `session` in ",
          "\"type\":\"error_cleared\"", "\"type\":\"goodbye\"",
          "\"code\":-2147483648,\"name\":\"Unknown error\"",
          "\"status\":\"unknown (99)\",\"value\":99",
          "\"source\":\"in***\",\"type\":\"dropped\",\"reason\":\"unknown message type 7 at "
          "byte 11\""})
      EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << Dump();
  } else {
    for (const std::string& want :
         {std::string("[fa***] session fa*** registered"), std::string("[fa***] status syncing"),
          std::string("[fa***] created /docs/r\xC3\xA9sum\xC3\xA9\\x1b[2J\\x0a.txt"),
          std::string("[fa***] modified /docs/\xE6\x97\xA5\xE6\x9C\xAC.txt"),
          std::string("[fa***] removed /old"), std::string("[fa***] trashed /kept.txt"),
          "[fa***] error -6 Authentication failure: the server refused the session "
          "\"fa***\": correct `session` in " +
              sb.ConfigFile() + " and restart",
          std::string("[fa***] error cleared"),
          std::string("[fa***] error -2147483648 Unknown error: unknown error code"),
          std::string("[fa***] status unknown (99)"), std::string("[fa***] status idle"),
          std::string("[fa***] the daemon says it is stopping"),
          std::string("[in***] dropped the connection: unknown message type 7 at byte 11")})
      EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << Dump();
  }

  // An attached monitor stops nothing but itself.
  mon.proc().Signal(SIGINT);
  EXPECT_EQ(mon.proc().Wait(), 0) << Dump();
}

INSTANTIATE_TEST_SUITE_P(Formats, MonitorAttachTest, ::testing::Values("--plain", "--json"));

// The real daemon on an attached monitor's port, once the test has done
// its worst to the port.
class MonitorGateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sb.config()["session"] = "gate-session-" + std::to_string(::getpid());
    sb.config()["port"] = "7";
    sb.WriteConfig();
    ASSERT_TRUE(mon.Start({"--plain", "--attach", sb.ConfigFile()}));
    port = mon.Port();
    ASSERT_GT(port, 0) << Dump();
  }
  void TearDown() override {
    if (daemon.Running()) {
      daemon.WriteStdin(std::string(1, '\x01'));
      EXPECT_EQ(daemon.Wait(), 0);
    }
    mon.proc().Signal(SIGINT);
    EXPECT_EQ(mon.proc().Wait(), 0) << Dump();
    EXPECT_EQ(mon.Text().find(sb.config()["session"]), std::string::npos) << Dump();
  }
  // Starts the daemon and waits until the monitor shows its session.
  int DaemonRegisters() {
    sb.SetUiPort(port);
    if (!sb.StartDaemon(daemon)) return -1;
    return mon.WaitLine("[gate***] session gate*** registered");
  }
  std::string Dump() { return "monitor output:\n" + mon.Text() + "\ndaemon log:\n" + sb.ReadLog(); }

  sftest::DaemonSandbox sb;
  sftest::ChildProcess daemon;
  MonitorRun mon;
  int port = 0;
};

TEST_F(MonitorGateTest, AnotherUsersConnectionsAreRefusedUnreadAndNeverKeepTheDaemonOut) {
  if (!sftest::Stranger::Possible()) GTEST_SKIP() << "needs root to run a process as nobody";
  // More connections than the monitor has room for, each with a forged
  // session and error.
  sftest::Stranger stranger;
  const int to = port;
  ASSERT_TRUE(stranger.Start([to](int report) {
    std::vector<int> fds;
    for (int i = 0; i < 9; ++i) {
      const int fd = sftest::ConnectLoopback(to);
      const std::string forged = Session("forged") + Error(-6);
      if (fd < 0 || ::send(fd, forged.data(), forged.size(), MSG_NOSIGNAL) < 0) return 1;
      fds.push_back(fd);
      if (::write(report, "C", 1) != 1) return 1;
    }
    ::pause();
    return 0;
  }));
  ASSERT_TRUE(stranger.WaitReport(9));
  const int refused = mon.WaitLine(
      "refused a connection on the UI port: it comes from a program "
      "of another user (uid " +
      std::to_string(stranger.uid()) + ")");
  ASSERT_GE(refused, 0) << Dump();
  ASSERT_GE(DaemonRegisters(), 0) << Dump();
  const std::string text = mon.Text();
  EXPECT_EQ(text.find("error -6"), std::string::npos) << Dump();
  EXPECT_EQ(text.find("fo***"), std::string::npos) << Dump();
  EXPECT_EQ(text.find("] connected"), text.rfind("] connected")) << "only the daemon got in\n"
                                                                 << Dump();
}

TEST_F(MonitorGateTest, SilentConnectionsLeaveAndTheDaemonGetsInWhenAllSlotsAreTaken) {
  std::vector<std::unique_ptr<FakeDaemon>> silent;
  for (int i = 0; i < 8; ++i) {
    silent.push_back(std::make_unique<FakeDaemon>(port));
    ASSERT_TRUE(silent.back()->ok());
  }
  ASSERT_GE(mon.WaitLine("[#8] connected"), 0) << Dump();
  ASSERT_GE(DaemonRegisters(), 0) << Dump();
  EXPECT_GE(mon.WaitLine("[#1] dropped the connection: closed to make room for a new connection: "
                         "it had sent nothing"),
            0)
      << Dump();
  // The other seven are closed 10 s after they came, the daemon stays.
  for (int i = 2; i <= 8; ++i)
    EXPECT_GE(mon.WaitLine("[#" + std::to_string(i) +
                           "] dropped the connection: sent no message within 10 s of connecting"),
              0)
        << Dump();
  EXPECT_EQ(mon.Text().find("[gate***] disconnected"), std::string::npos) << Dump();
  EXPECT_EQ(mon.Text().find("[gate***] dropped"), std::string::npos) << Dump();
}

}  // namespace
