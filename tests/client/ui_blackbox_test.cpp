// Black-box: the real daemon against a user-interface listener. The daemon
// is pointed at the listener's private port through SYNCFOLDER_UI_PORT.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fakes/daemon-runner.h"
#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "fakes/ui-listener.h"

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

}  // namespace
