// Black-box: the real daemon against a user-interface listener. The daemon
// is pointed at the listener's private port through SYNCFOLDER_UI_PORT.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "fakes/daemon-runner.h"
#include "fakes/scripted-peer.h"
#include "fakes/stranger.h"
#include "fakes/test-util.h"
#include "fakes/ui-listener.h"
#include "server/sync-server.h"

using sftest::Hex;
using sftest::UiListener;
using sftest::UiMessage;

namespace {

TEST(UiBlackBoxTest, DaemonRegistersItsSessionFirstAndSaysGoodbyeBeforeExiting) {
  UiListener ui;
  ASSERT_TRUE(ui.ok());
  const std::string session = "ui-blackbox-" + std::to_string(::getpid());
  const std::string registration =
      sftest::Bytes().u8(100).var(session).str();  // 64, length, session bytes

  sftest::DaemonSandbox sb;
  sb.config()["session"] = session;
  sb.WriteConfig();
  sb.SetUiPort(ui.port());
  sftest::ChildProcess daemon;
  ASSERT_TRUE(sb.StartDaemon(daemon));

  std::string bytes;
  bool closed = false;
  ASSERT_TRUE(sftest::WaitFor([&] {
    return ui.Find(registration, bytes, closed) || !daemon.Running();
  })) << "no connection at all";
  ASSERT_TRUE(ui.Find(registration, bytes, closed))
      << "the daemon exited or never registered its session on the UI port; its log:\n"
      << sb.ReadLog() << "\nexit status " << daemon.Wait(std::chrono::seconds(1)) << ", output:\n"
      << sftest::ReadFile(sb.OutputFile());
  EXPECT_EQ(Hex(bytes.substr(0, registration.size())), Hex(registration));

  ASSERT_TRUE(daemon.WriteStdin(std::string(1, '\x01')));
  EXPECT_EQ(daemon.Wait(std::chrono::seconds(30)), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return ui.Find(registration, bytes, closed) && closed; }));

  std::vector<UiMessage> msgs;
  std::string error;
  ASSERT_TRUE(sftest::ParseUiMessages(bytes, msgs, error)) << error << "\n" << Hex(bytes);
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(msgs.front().type, 100);
  EXPECT_EQ(msgs.front().text, session);
  int terminates = 0;
  for (const auto& m : msgs)
    if (m.type == 101) {
      ++terminates;
      EXPECT_EQ(m.value, 10);
    }
  EXPECT_EQ(terminates, 1) << Hex(bytes);
  EXPECT_NE(bytes.find(sftest::Unhex("65 00 04 00 00 00 0a")), std::string::npos);
}

// Messages of the daemon's connection, once it has said goodbye.
std::vector<UiMessage> RunAndStop(sftest::DaemonSandbox& sb, UiListener& ui,
                                  const std::string& session, std::string& log) {
  std::vector<UiMessage> msgs;
  sb.SetUiPort(ui.port());
  sftest::ChildProcess daemon;
  if (!sb.StartDaemon(daemon)) return msgs;
  const std::string registration = sftest::Bytes().u8(100).var(session).str();
  const size_t first = ui.Connections();
  std::string bytes;
  bool closed = false;
  EXPECT_TRUE(sftest::WaitFor([&] { return ui.Find(registration, bytes, closed, first); }));
  EXPECT_TRUE(daemon.WriteStdin(std::string(1, '\x01')));
  EXPECT_EQ(daemon.Wait(std::chrono::seconds(30)), 0);
  EXPECT_TRUE(
      sftest::WaitFor([&] { return ui.Find(registration, bytes, closed, first) && closed; }));
  std::string error;
  EXPECT_TRUE(sftest::ParseUiMessages(bytes, msgs, error)) << error;
  log = sb.ReadLog();
  return msgs;
}

TEST(UiBlackBoxTest, ASessionOthersCanReadIsWarnedOnceInTheLogAndAtTheInterface) {
  UiListener ui;
  ASSERT_TRUE(ui.ok());
  const std::string session = "ui-exposed-" + std::to_string(::getpid());
  sftest::DaemonSandbox sb;
  sb.config()["session"] = session;
  sb.config()["UseSSL"] = "true";  // and no certificate check
  sb.WriteConfig();
  ASSERT_EQ(::chmod(sb.ConfigFile().c_str(), 0644), 0);
  std::string log;
  auto errors = [](const std::vector<UiMessage>& msgs) {
    std::vector<int32_t> out;
    for (const auto& m : msgs)
      if (m.type == 2) out.push_back(m.value);
    return out;
  };
  std::vector<UiMessage> msgs = RunAndStop(sb, ui, session, log);
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(msgs.front().type, 100);
  const std::vector<int32_t> shown = errors(msgs);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), -20), 1);  // ERR_CONFIG_EXPOSED
  EXPECT_EQ(std::count(shown.begin(), shown.end(), -21), 1);  // ERR_TLS_UNVERIFIED
  const std::string readable = "can be read by other users (mode 644)";
  const std::string unchecked = "the server's certificate is not checked";
  for (const std::string& w : {readable, unchecked}) {
    EXPECT_NE(log.find(w), std::string::npos) << w << "\n" << log;
    EXPECT_EQ(log.find(w), log.rfind(w)) << w << "\n" << log;
  }

  // Mended: the file is the user's alone and the server's certificate is
  // pinned. Nothing is said any more.
  ASSERT_EQ(::chmod(sb.ConfigFile().c_str(), 0600), 0);
  sb.config()["SSLCertPin"] = std::string(64, 'a');
  sb.WriteConfig();
  ASSERT_EQ(::truncate(sb.LogFile().c_str(), 0), 0);
  msgs = RunAndStop(sb, ui, session, log);
  ASSERT_FALSE(msgs.empty());
  for (int32_t code : errors(msgs)) EXPECT_TRUE(code != -20 && code != -21) << code;
  EXPECT_EQ(log.find(readable), std::string::npos) << log;
  EXPECT_EQ(log.find(unchecked), std::string::npos) << log;
}

// Another local user's program listening on the UI port: it accepts and
// reports 'A' for each connection and 'D' for anything it receives.
int StrangerInterface(int report) {
  int port = 0;
  const int l = sftest::ListenLoopback(port);
  const uint16_t p = static_cast<uint16_t>(port);
  if (::write(report, &p, sizeof p) != static_cast<ssize_t>(sizeof p)) return 1;
  std::vector<pollfd> fds{{l, POLLIN, 0}};
  for (;;) {
    if (::poll(fds.data(), fds.size(), -1) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (i == 0) {
        const int c = ::accept(l, nullptr, nullptr);
        if (c >= 0 && ::write(report, "A", 1) == 1) fds.push_back({c, POLLIN, 0});
        continue;
      }
      char buf[512];
      const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
      if (n > 0 && ::write(report, "D", 1) != 1) return 1;
      if (n <= 0) fds[i].fd = -1;  // poll skips it from now on
    }
  }
}

TEST(UiBlackBoxTest, AStrangersListenerGetsNoSessionAndTheRealInterfaceIsFoundLater) {
  if (!sftest::Stranger::Possible()) GTEST_SKIP() << "needs root to run a process as nobody";
  sftest::Stranger stranger;
  ASSERT_TRUE(stranger.Start(StrangerInterface));
  ASSERT_TRUE(stranger.WaitReport(2));
  uint16_t port;
  std::memcpy(&port, stranger.Report().data(), 2);
  auto count = [&](char c) {
    const std::string r = stranger.Report().substr(2);
    return static_cast<size_t>(std::count(r.begin(), r.end(), c));
  };

  // A real server, so that every new file makes the daemon report something.
  sftest::TempDir dir;
  ASSERT_EQ(::mkdir(dir.Sub("share").c_str(), 0755), 0);
  const std::string session = "ui-stranger-" + std::to_string(::getpid());
  ServerOptions opt;
  opt.share = dir.Sub("share");
  opt.sessions[session] = "alice";
  SyncServer server(opt);
  ASSERT_EQ(server.Start(), 0);

  sftest::DaemonSandbox sb;
  sb.config()["session"] = session;
  sb.config()["port"] = std::to_string(server.port());
  sb.WriteConfig();
  sb.SetUiPort(port);
  sftest::ChildProcess daemon;
  ASSERT_TRUE(sb.StartDaemon(daemon));
  const std::string refused =
      "is held by a program of another user (uid " + std::to_string(stranger.uid()) + ")";
  ASSERT_TRUE(sftest::WaitFor([&] {
    return sb.ReadLog().find(refused) != std::string::npos || count('D') > 0;
  })) << sb.ReadLog();
  EXPECT_EQ(count('D'), 0u) << "the stranger's listener received bytes";
  EXPECT_GE(count('A'), 1u);

  // New files give the daemon things to report, and so reasons to look for
  // the interface again: the stranger is connected to again, and still gets
  // nothing, and the refusal is not logged again.
  int files = 0;
  auto until = [&](const std::function<bool()>& cond) {
    return sftest::WaitFor(
        [&] {
          sftest::WriteFile(sb.Root() + "/f" + std::to_string(files++), "x");
          return sftest::WaitFor(cond, std::chrono::seconds(1));
        },
        std::chrono::seconds(60));
  };
  ASSERT_TRUE(until([&] { return count('A') >= 2; })) << sb.ReadLog();
  EXPECT_EQ(count('D'), 0u) << "the stranger's listener received bytes";
  const std::string log = sb.ReadLog();
  EXPECT_EQ(log.find(refused), log.rfind(refused)) << log;

  // The stranger goes; the user's interface takes the port and is found,
  // and it hears the session first.
  stranger.Stop();
  UiListener ui(port);
  ASSERT_TRUE(ui.ok());
  const std::string registration = sftest::Bytes().u8(100).var(session).str();
  std::string bytes;
  bool closed = false;
  ASSERT_TRUE(until([&] { return ui.Find(registration, bytes, closed); })) << sb.ReadLog();
  ASSERT_TRUE(daemon.WriteStdin(std::string(1, '\x01')));
  EXPECT_EQ(daemon.Wait(std::chrono::seconds(30)), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return ui.Find(registration, bytes, closed) && closed; }));
  std::vector<UiMessage> msgs;
  std::string error;
  ASSERT_TRUE(sftest::ParseUiMessages(bytes, msgs, error)) << error << "\n" << Hex(bytes);
  ASSERT_GE(msgs.size(), 2u);
  EXPECT_EQ(msgs.front().type, 100);
  // Status changes of the shutdown may follow the goodbye.
  EXPECT_EQ(std::count_if(msgs.begin(), msgs.end(), [](const UiMessage& m) { return m.type == 101; }),
            1);
}

}  // namespace
