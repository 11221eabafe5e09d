#include "lib/net/channel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"

using sftest::FaultChannel;
using sftest::ScriptedPeer;
using sftest::Unhex;

namespace {

std::string Pattern(size_t n, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// ---- integers -------------------------------------------------------------

TEST(ChannelIntegerTest, ReadsAssembleMostSignificantByteFirst) {
  FaultChannel ch;
  ch.Feed(Unhex("01 02 03 04  a1 b2  ff  01 02 03 04 05 06 07 08"));
  uint32_t v32 = 0;
  uint16_t v16 = 0;
  uint8_t v8 = 0;
  uint64_t v64 = 0;
  ASSERT_EQ(ch.ReadInt32(&v32), 0);
  ASSERT_EQ(ch.ReadInt16(&v16), 0);
  ASSERT_EQ(ch.ReadByte(&v8), 0);
  ASSERT_EQ(ch.ReadInt64(&v64), 0);
  EXPECT_EQ(v32, 0x01020304u);
  EXPECT_EQ(v16, 0xa1b2u);
  EXPECT_EQ(v8, 0xffu);
  EXPECT_EQ(v64, 0x0102030405060708ull);
}

TEST(ChannelIntegerTest, FailedReadLeavesOutputUntouched) {
  FaultChannel ch;
  ch.Feed(Unhex("01 02 03"));  // one byte short, then the peer is gone
  uint32_t v = 0xdeadbeef;
  EXPECT_EQ(ch.ReadInt32(&v), ERR_IO);
  EXPECT_EQ(v, 0xdeadbeefu);
}

TEST(ChannelIntegerTest, WritesSplitMostSignificantByteFirst) {
  FaultChannel ch;
  ASSERT_EQ(ch.WriteInt64(1), 0);
  ASSERT_EQ(ch.WriteInt32(0xfffffffa), 0);
  ASSERT_EQ(ch.WriteInt16(0x0102), 0);
  ASSERT_EQ(ch.WriteByte(0x7f), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  EXPECT_EQ(ch.Output(), Unhex("00 00 00 00 00 00 00 01  ff ff ff fa  01 02  7f"));
}

// ---- write buffer ---------------------------------------------------------

TEST(ChannelWriteTest, OversizedWriteIsRefusedAndQueuesNothing) {
  FaultChannel ch;
  std::string big(8193, 'x');
  EXPECT_EQ(ch.Write(big.data(), big.size()), ERR_INVAL);
  EXPECT_EQ(ch.WritePending(), 0u);
  // A full buffer's worth into an empty buffer fits without sending.
  EXPECT_EQ(ch.Write(big.data(), 8192), 0);
  EXPECT_EQ(ch.WritePending(), 8192u);
  EXPECT_TRUE(ch.WriteCalls().empty());
}

TEST(ChannelWriteTest, WriteThatDoesNotFitFlushesExactlyTheOverflow) {
  FaultChannel ch;
  ch.SetWriteChunk(100);  // the socket takes 100 bytes per send
  std::string a = Pattern(8000, 1), b = Pattern(500, 2);
  ASSERT_EQ(ch.Write(a.data(), a.size()), 0);
  ASSERT_EQ(ch.Write(b.data(), b.size()), 0);
  // 8000 + 500 - 8192 = 308 must leave: four sends of 100, not the whole buffer.
  ASSERT_EQ(ch.FlushWants(), std::vector<int>({308}));
  EXPECT_EQ(ch.WriteCalls().size(), 4u);
  EXPECT_EQ(ch.Output(), a.substr(0, 400));
  EXPECT_EQ(ch.WritePending(), 8100u);
  // The queued bytes wrapped around the ring's end; they still leave in order.
  ASSERT_EQ(ch.FlushWrite(0), 0);
  EXPECT_EQ(ch.Output(), a + b);
  EXPECT_EQ(ch.WritePending(), 0u);
}

// An overflowing Write hands the queued and the new bytes to one send; what
// the socket does not take must end up back in ring order, and a Write whose
// flush fails must leave the queue as it was.
TEST(ChannelWriteTest, OverflowingWriteSendsTogetherAndFailsWithoutQueueing) {
  FaultChannel ch;
  std::string a = Pattern(8100, 3), b = Pattern(8192, 4), c = Pattern(300, 5);
  ASSERT_EQ(ch.Write(a.data(), a.size()), 0);
  ch.SetWriteChunk(100);
  ASSERT_EQ(ch.FlushWrite(8000), 0);  // 100 bytes left, queued at index 8000
  ch.SetWriteChunk(97);
  ch.ClearOutput();
  ASSERT_EQ(ch.Write(b.data(), b.size()), 0);
  // 100 had to leave: two sends of 97, both taken from one run of queued and new bytes.
  EXPECT_EQ(ch.WriteCalls().back(), 100u + 8192u - 97u);
  EXPECT_EQ(ch.Output(), a.substr(8000) + b.substr(0, 94));
  EXPECT_EQ(ch.WritePending(), 8192u - 94u);

  ch.BlockWrites(true);
  ch.SetTimeout(9);
  EXPECT_EQ(ch.Write(c.data(), c.size()), ERR_TIMEOUT);
  EXPECT_EQ(ch.WritePending(), 8192u - 94u);
  ch.BlockWrites(false);
  ch.SetWriteChunk(0);
  ASSERT_EQ(ch.Write(c.data(), 50), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  EXPECT_EQ(ch.Output(), a.substr(8000) + b + c.substr(0, 50));
}

TEST(ChannelWriteTest, RandomWritesAndShortSendsKeepTheByteOrder) {
  std::mt19937 rng(42);
  for (int round = 0; round < 20; ++round) {
    FaultChannel ch(64 + rng() % 300);
    ch.SetWriteChunk(1 + rng() % 97);
    std::string expect;
    for (int i = 0; i < 200; ++i) {
      std::string piece = Pattern(rng() % (ch.GetCapacity() + 1), rng());
      ASSERT_EQ(ch.Write(piece.data(), piece.size()), 0);
      expect += piece;
      ASSERT_LE(ch.WritePending(), ch.GetCapacity());
      if (rng() % 10 == 0) {
        ASSERT_EQ(ch.FlushWrite(static_cast<int>(rng() % 50)), 0);
      }
    }
    ASSERT_EQ(ch.FlushWrite(0), 0);
    ASSERT_EQ(ch.Output(), expect) << "round " << round;
  }
}

TEST(ChannelWriteTest, FlushGivesUpAfterTheNoProgressLimit) {
  FaultChannel ch;
  ch.SetTimeout(30);
  ch.BlockWrites(true);
  ASSERT_EQ(ch.Write("abc", 3), 0);
  EXPECT_EQ(ch.FlushWrite(0), ERR_TIMEOUT);
  EXPECT_EQ(ch.TimeoutsSeen(), 10);  // 10 waits of 3 s reach 30 s
  EXPECT_EQ(ch.WritePending(), 3u);  // nothing is lost: a later flush may still send
}

TEST(ChannelWriteTest, StopFlagEndsAFlush) {
  FaultChannel ch;
  std::atomic<int> stop{0};
  ch.SetFlag(&stop);
  ch.BlockWrites(true);
  ch.StopAfterTimeouts(2, &stop);
  ASSERT_EQ(ch.Write("abc", 3), 0);
  EXPECT_EQ(ch.FlushWrite(0), ERR_INT);
  EXPECT_EQ(ch.TimeoutsSeen(), 2);
}

// ---- read buffer ----------------------------------------------------------

TEST(ChannelReadTest, ReadsSurviveOneByteAtATimeAndLargeRequests) {
  std::mt19937 rng(5);
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{0}}) {
    FaultChannel ch(97);
    ch.SetReadChunk(chunk);
    std::string data = Pattern(5000, 9);
    ch.Feed(data);
    std::string got;
    while (got.size() < data.size()) {
      size_t n = std::min<size_t>(data.size() - got.size(), rng() % 400);
      std::string part(n, '\0');
      size_t delivered = 99;
      ASSERT_EQ(ch.Read(&part[0], n, delivered), 0);
      ASSERT_EQ(delivered, n);
      got += part;
      ASSERT_LE(ch.ReadPending(), ch.GetCapacity());
    }
    EXPECT_EQ(got, data) << "chunk " << chunk;
  }
}

TEST(ChannelReadTest, LargeReadCostsOneReceivePerBufferWorth) {
  FaultChannel ch;
  ch.Feed(Pattern(8192 * 4));
  std::string out(8192 * 4, '\0');
  ASSERT_EQ(ch.Read(&out[0], out.size()), 0);
  EXPECT_EQ(ch.ReadCalls(), 4);
}

TEST(ChannelReadTest, FailedReadReportsWhatArrived) {
  FaultChannel ch;
  ch.Feed("hello");
  char buf[10];
  size_t got = 0;
  EXPECT_EQ(ch.Read(buf, sizeof(buf), got), ERR_IO);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST(ChannelReadTest, SilentPeerTimesOutAfterTheChannelLimitNotOneWait) {
  FaultChannel ch;  // default limit 60 s, 3 s per wait
  ch.TimeoutWhenDry(std::chrono::seconds(3));
  char c;
  EXPECT_EQ(ch.Read(&c, 1), ERR_TIMEOUT);
  EXPECT_EQ(ch.TimeoutsSeen(), 20);
}

TEST(ChannelReadTest, ArrivingDataRestartsTheNoProgressCount) {
  FaultChannel ch;
  ch.TimeoutWhenDry(std::chrono::seconds(3));
  ch.QueueReadTimeouts(15);  // 45 s of silence, then one byte
  ch.Feed("a");
  char buf[2];
  size_t got = 0;
  EXPECT_EQ(ch.Read(buf, 2, got), ERR_TIMEOUT);
  EXPECT_EQ(got, 1u);
  // 15 waits before the byte, then a full 60 s (20 waits) after it.
  EXPECT_EQ(ch.TimeoutsSeen(), 35);
}

TEST(ChannelReadTest, StopFlagEndsAWaitingRead) {
  FaultChannel ch;
  std::atomic<int> stop{0};
  ch.SetFlag(&stop);
  ch.TimeoutWhenDry(std::chrono::seconds(3));
  ch.StopAfterTimeouts(1, &stop);
  char c;
  EXPECT_EQ(ch.Read(&c, 1), ERR_INT);
  EXPECT_EQ(ch.TimeoutsSeen(), 1);

  // The classic int flag works too.
  FaultChannel ch2;
  int raw = 1;
  ch2.SetFlag(&raw);
  ch2.TimeoutWhenDry(std::chrono::seconds(3));
  EXPECT_EQ(ch2.Read(&c, 1), ERR_INT);
}

// ---- lifecycle ------------------------------------------------------------

TEST(ChannelLifecycleTest, ClosedChannelRefusesIoAndCloseIsIdempotent) {
  Channel ch;
  EXPECT_TRUE(ch.IsClosed());
  char c;
  EXPECT_EQ(ch.Read(&c, 1), ERR_IO);
  EXPECT_EQ(ch.Write("a", 1), ERR_IO);
  ch.Close();
  ch.Close();
  EXPECT_TRUE(ch.IsClosed());
  EXPECT_EQ(ch.Open("/some/path"), 0);  // the path form connects nothing
  EXPECT_EQ(ch.Write("a", 1), ERR_IO);
  std::wstring host;
  int port = 0;
  EXPECT_EQ(ch.GetPeerInfo(host, port), ERR_SYS);
}

TEST(ChannelLifecycleTest, AdoptRefusesASecondSocketAndAnInvalidOne) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Channel ch;
  EXPECT_EQ(ch.Open(-1, false, true), ERR_INVAL);
  ASSERT_EQ(ch.Open(sv[0], false, false), 0);
  EXPECT_EQ(ch.Open(sv[1], false, false), ERR_INVAL);
  EXPECT_EQ(ch.GetFd(), sv[0]);
  ch.Close();
  EXPECT_TRUE(ch.IsClosed());
  ::close(sv[1]);
}

TEST(ChannelLifecycleTest, OpenRefusesBadAddresses) {
  Channel ch;
  EXPECT_EQ(ch.Open(nullptr, 80, false), ERR_INVAL);
  EXPECT_EQ(ch.Open("127.0.0.1", -1, false), ERR_INVAL);
  EXPECT_EQ(ch.Open("127.0.0.1", 70000, false), ERR_INVAL);
  EXPECT_EQ(ch.Open("1.2.3", 80, false), ERR_INVAL);
  EXPECT_EQ(ch.Open("localhost", 80, false), ERR_INVAL);  // no name resolution
  EXPECT_TRUE(ch.IsClosed());
}

// ---- real sockets ---------------------------------------------------------

TEST(ChannelSocketTest, RefusedConnectionIsAnErrorNotAConnectedChannel) {
  Channel ch;
  EXPECT_EQ(ch.Open("127.0.0.1", sftest::UnusedLoopbackPort(), false), ERR_IO);
  EXPECT_TRUE(ch.IsClosed());
}

TEST(ChannelSocketTest, BytesTravelBothWaysBetweenAConnectingAndAnAdoptedChannel) {
  int lst = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(::listen(lst, 1), 0);
  socklen_t len = sizeof(a);
  ::getsockname(lst, reinterpret_cast<sockaddr*>(&a), &len);

  Channel client;
  ASSERT_EQ(client.Open("127.0.0.1", ntohs(a.sin_port), false), 0);
  Channel server;
  ASSERT_EQ(server.Open(::accept(lst, nullptr, nullptr), false, true), 0);
  ::close(lst);

  const std::string up = Pattern(300000, 1), down = Pattern(200000, 2);
  std::string got_up(up.size(), '\0');
  std::thread srv([&] {
    ASSERT_EQ(server.Read(&got_up[0], got_up.size()), 0);
    for (size_t off = 0; off < down.size(); off += 5000)
      ASSERT_EQ(server.Write(down.data() + off, std::min<size_t>(5000, down.size() - off)), 0);
    ASSERT_EQ(server.FlushWrite(0), 0);
  });
  for (size_t off = 0; off < up.size(); off += 8192)
    ASSERT_EQ(client.Write(up.data() + off, std::min<size_t>(8192, up.size() - off)), 0);
  ASSERT_EQ(client.FlushWrite(0), 0);
  std::string got_down(down.size(), '\0');
  EXPECT_EQ(client.Read(&got_down[0], got_down.size()), 0);
  srv.join();
  EXPECT_TRUE(got_up == up);
  EXPECT_TRUE(got_down == down);
}

TEST(ChannelSocketTest, SilentPeerEndsInTimeout) {
  ScriptedPeer peer;
  peer.Hold().Start();
  Channel ch;
  ch.SetWaitPeriod(std::chrono::milliseconds(50));
  ch.SetTimeout(1);
  ASSERT_EQ(ch.Open("127.0.0.1", peer.port(), false), 0);
  char c;
  EXPECT_EQ(ch.Read(&c, 1), ERR_TIMEOUT);
  EXPECT_FALSE(ch.IsClosed());  // a failed read leaves the channel to its owner
}

TEST(ChannelSocketTest, StopFlagFromAnotherThreadEndsAWaitingRead) {
  ScriptedPeer peer;
  peer.Hold().Start();
  Channel ch;  // 60 s limit: only the flag can end this read early
  ch.SetWaitPeriod(std::chrono::milliseconds(50));
  std::atomic<int> stop{0};
  ch.SetFlag(&stop);
  ASSERT_EQ(ch.Open("127.0.0.1", peer.port(), false), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return peer.Accepted(); }));
  std::thread setter([&] { stop.store(1); });
  char c;
  EXPECT_EQ(ch.Read(&c, 1), ERR_INT);
  setter.join();
}

TEST(ChannelSocketTest, ClosedPeerYieldsIoErrorWithDiagnoseLine) {
  sftest::LogCapture log({L"channel_debug"});
  ScriptedPeer peer;
  peer.Send("xy").Close().Start();
  Channel ch;
  ASSERT_EQ(ch.Open("127.0.0.1", peer.port(), false), 0);
  char buf[3];
  size_t got = 0;
  EXPECT_EQ(ch.Read(buf, 3, got), ERR_IO);
  EXPECT_EQ(got, 2u);
  EXPECT_TRUE(
      log.Contains("Diagnose: select says the socket is readable but actually we can't "
                   "read ... connection closed?"));
}

TEST(ChannelSocketTest, WritingToAResetPeerFailsWithoutSigpipe) {
  // The peer resets only after the first byte arrives, so that the connect
  // itself cannot race with the reset.
  ScriptedPeer peer;
  peer.Expect(1).Reset().Start();
  Channel ch;
  ch.SetWaitPeriod(std::chrono::milliseconds(50));
  ch.SetTimeout(5);
  ASSERT_EQ(ch.Open("127.0.0.1", peer.port(), false), 0);
  ASSERT_EQ(ch.Write("x", 1), 0);
  ASSERT_EQ(ch.FlushWrite(0), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return peer.Finished(); }));
  std::string block(8192, 'z');
  int rc = 0;
  for (int i = 0; i < 100 && rc == 0; ++i) {
    rc = ch.Write(block.data(), block.size());
    if (rc == 0) rc = ch.FlushWrite(0);
  }
  EXPECT_EQ(rc, ERR_IO);  // and the process is still alive
}

TEST(ChannelSocketTest, ConnectToAPeerThatNeverAnswersTimesOut) {
  // A listener whose accept queue is full drops further connection attempts,
  // which then never complete.
  int lst = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(::listen(lst, 0), 0);
  socklen_t len = sizeof(a);
  ::getsockname(lst, reinterpret_cast<sockaddr*>(&a), &len);
  std::vector<std::unique_ptr<Channel>> fillers;
  Channel ch;
  ch.SetWaitPeriod(std::chrono::milliseconds(50));
  ch.SetTimeout(1);
  int rc = 0;
  for (int i = 0; i < 8 && rc == 0; ++i) {
    auto c = std::make_unique<Channel>();
    c->SetWaitPeriod(std::chrono::milliseconds(50));
    c->SetTimeout(1);
    rc = c->Open("127.0.0.1", ntohs(a.sin_port), false);
    fillers.push_back(std::move(c));
  }
  ::close(lst);
  EXPECT_EQ(rc, ERR_IO);
}

}  // namespace
