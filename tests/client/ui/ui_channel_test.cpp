#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "client/ui/ui-channel.h"
#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"

using sftest::Golden;
using sftest::Hex;
using sftest::ScriptedPeer;
using sftest::UiMessage;

namespace {

class UiChannelTest : public ::testing::Test {
 protected:
  void TearDown() override { IPC_Channel::Destroy(); }

  // Starts a listener that records everything and connects the UI channel.
  void Listen(const std::string& session) {
    peer.Start();
    ASSERT_EQ(IPC_Channel::InitializeAt("127.0.0.1", peer.port(), session), 0);
    ASSERT_TRUE(IPC_Channel::IsConnected());
  }

  ScriptedPeer peer;
};

TEST_F(UiChannelTest, SessionStatusErrorAndTerminateMessagesAreByteExact) {
  Listen("abc");
  EXPECT_EQ(IPC_Channel::WriteEvent(MessageFormat::IDLE), 0);
  EXPECT_EQ(IPC_Channel::WriteEvent(ERR_AUTH), 0);
  EXPECT_EQ(IPC_Channel::WriteEvent(MessageFormat::PAUSE), 0);
  EXPECT_EQ(IPC_Channel::WriteEvent(5), ERR_INVAL);  // neither a status nor an error
  EXPECT_EQ(IPC_Channel::WriteEvent(MessageFormat::STATUS_MAX), ERR_INVAL);
  EXPECT_EQ(IPC_Channel::Terminate_connection(), 0);
  const std::string expect = Golden("ui_session_abc.hex") + Golden("ui_status_idle.hex") +
                             Golden("ui_error_auth.hex") + sftest::Unhex("01 00 04 00 00 00 0c") +
                             Golden("ui_terminate.hex");
  ASSERT_TRUE(peer.WaitReceived(expect.size()));
  EXPECT_EQ(Hex(peer.Received()), Hex(expect));
}

TEST_F(UiChannelTest, FileEventCarriesUtf8ByteLengthAndAlwaysFileType) {
  Listen("");
  EXPECT_EQ(IPC_Channel::WriteFileEvent(Event(EV_CREATE, F_SERVER, L"/\u00e9.txt")), 0);
  EXPECT_EQ(IPC_Channel::WriteFileEvent(Event(EV_REMOVE, F_DIR, L"/dir")), 0);
  const std::string expect = sftest::Unhex("64 00 00") +
                             Golden("ui_file_event_create_nonascii.hex") +
                             sftest::Unhex(
                                 "03 03  00 00 04 00 00 00 02  01 00 04 00 00 00 00"
                                 "  02 00 04 2f 64 69 72");
  ASSERT_TRUE(peer.WaitReceived(expect.size()));
  EXPECT_EQ(Hex(peer.Received()), Hex(expect));
}

TEST_F(UiChannelTest, UnsendablePathIsRefusedWithNothingSent) {
  Listen("s");
  EXPECT_EQ(IPC_Channel::WriteFileEvent(Event(EV_CREATE, 0, std::wstring(9000, L'a'))), ERR_INVAL);
  EXPECT_EQ(IPC_Channel::WriteFileEvent(Event(EV_CREATE, 0, std::wstring(1, L'\xDC00'))),
            ERR_INVAL);
  EXPECT_EQ(IPC_Channel::WriteEvent(MessageFormat::SYNCING), 0);
  ASSERT_TRUE(peer.WaitReceived(4 + 7));
  EXPECT_EQ(Hex(peer.Received()), "64 00 01 73 01 00 04 00 00 00 0a");
  EXPECT_TRUE(IPC_Channel::IsConnected());
}

TEST_F(UiChannelTest, MessagesFromManyThreadsNeverInterleave) {
  Listen("multi");
  constexpr int kThreads = 4, kEach = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        if (i % 2)
          EXPECT_EQ(IPC_Channel::WriteEvent(t % 2 ? MessageFormat::SYNCING : -i), 0);
        else
          EXPECT_EQ(IPC_Channel::WriteFileEvent(Event(
                        EV_MODIFY, 0, L"/t" + std::to_wstring(t) + L"/" + std::wstring(i, L'x'))),
                    0);
      }
    });
  }
  for (auto& th : threads) th.join();
  IPC_Channel::Destroy();
  ASSERT_TRUE(sftest::WaitFor([&] { return peer.PeerClosed(); }));
  std::vector<UiMessage> msgs;
  std::string error;
  ASSERT_TRUE(sftest::ParseUiMessages(peer.Received(), msgs, error)) << error;
  ASSERT_EQ(msgs.size(), 1u + kThreads * kEach);
  EXPECT_EQ(msgs[0].text, "multi");
  int files = 0;
  for (size_t i = 1; i < msgs.size(); ++i) {
    if (msgs[i].type != 3) continue;
    ++files;
    EXPECT_EQ(msgs[i].action, EV_MODIFY);
    EXPECT_EQ(msgs[i].fileType, 0);
  }
  EXPECT_EQ(files, kThreads * kEach / 2);
}

TEST(UiChannelNoListenerTest, WithoutAListenerStartUpSucceedsAndMessagesFail) {
  EXPECT_EQ(IPC_Channel::InitializeAt("127.0.0.1", sftest::UnusedLoopbackPort(), "s"), 0);
  EXPECT_FALSE(IPC_Channel::IsConnected());
  EXPECT_EQ(IPC_Channel::WriteEvent(MessageFormat::IDLE), ERR_IO);
  EXPECT_EQ(IPC_Channel::WriteFileEvent(Event(EV_CREATE, 0, L"/a")), ERR_IO);
  EXPECT_EQ(IPC_Channel::Terminate_connection(), ERR_IO);
  IPC_Channel::Destroy();
}

TEST(UiChannelNoListenerTest, InterfaceThatGoesAwayIsGivenUpNotWrittenToForever) {
  ScriptedPeer peer;
  peer.Expect(4).Reset().Start();
  ASSERT_EQ(IPC_Channel::InitializeAt("127.0.0.1", peer.port(), "abc"), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return peer.Finished(); }));
  int rc = 0;
  for (int i = 0; i < 50 && rc == 0; ++i) rc = IPC_Channel::WriteEvent(MessageFormat::IDLE);
  EXPECT_EQ(rc, ERR_IO);
  EXPECT_FALSE(IPC_Channel::IsConnected());
  EXPECT_EQ(IPC_Channel::WriteEvent(MessageFormat::IDLE), ERR_IO);  // not tried again at once
  IPC_Channel::Destroy();
}

TEST(UiChannelNoListenerTest, InterfaceThatStopsReadingIsGivenUpSoonNotAfterTheNetworkTimeout) {
  // Accepts and never reads, with a small receive buffer.
  int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(lfd, 0);
  int small = 4096;
  ::setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ASSERT_EQ(::listen(lfd, 1), 0);
  ASSERT_EQ(IPC_Channel::InitializeAt("127.0.0.1", ntohs(addr.sin_port), "s"), 0);
  const int cfd = ::accept(lfd, nullptr, nullptr);
  ASSERT_GE(cfd, 0);

  std::atomic<bool> done{false};
  int rc = 0;
  std::thread writer([&] {
    const Event big(EV_MODIFY, 0, L"/" + std::wstring(MessageFormat::kFieldValueMax / 2, L'x'));
    for (int i = 0; i < 100000 && rc == 0; ++i) rc = IPC_Channel::WriteFileEvent(big);
    done = true;
  });
  // A stuck write used to wait out the whole network timeout (a minute).
  const bool finished = sftest::WaitFor([&] { return done.load(); }, std::chrono::seconds(30));
  ::close(cfd);  // ends a write still waiting, so the thread can be joined
  writer.join();
  ::close(lfd);
  EXPECT_TRUE(finished);
  EXPECT_NE(rc, 0);
  EXPECT_FALSE(IPC_Channel::IsConnected());
  IPC_Channel::Destroy();
}

TEST(LocalChannelTest, OpenRefusesBadArgumentsAndUnreachablePorts) {
  LocalChannel ch;
  EXPECT_EQ(ch.Open(nullptr, 1, false), ERR_INVAL);
  EXPECT_EQ(ch.Open("127.0.0.1", -1, false), ERR_INVAL);
  EXPECT_EQ(ch.Open("127.0.0.1", sftest::UnusedLoopbackPort(), false), ERR_SYS);
  EXPECT_EQ(ch.Open("nonsense", 80, false), ERR_SYS);
  EXPECT_TRUE(ch.IsClosed());
}

}  // namespace
