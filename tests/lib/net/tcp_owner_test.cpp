#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>

#include "fakes/stranger.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/net/tcp-owner.h"

namespace {

// An address as the kernel's tables print it: 32-bit words in the
// machine's byte order.
std::string TableAddr(int family, const char* text) {
  unsigned char bytes[16];
  EXPECT_EQ(::inet_pton(family, text, bytes), 1) << text;
  std::string out;
  for (int w = 0; w < (family == AF_INET ? 1 : 4); ++w) {
    uint32_t word;
    std::memcpy(&word, bytes + 4 * w, 4);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", word);
    out += hex;
  }
  return out;
}

std::string Row(int family, const char* local, int lport, const char* remote, int rport, int state,
                int timer, unsigned uid) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "   7: %s:%04X %s:%04X %02X 00000000:00000000 %02X:00000000 00000000 %5u        0 "
                "%u 1 0000000000000000 20 4 30 10 -1\n",
                TableAddr(family, local).c_str(), lport, TableAddr(family, remote).c_str(), rport,
                state, timer, uid, uid == 0 ? 0u : 4242u);
  return buf;
}

TcpEndpoint Ep(int family, const char* text, int port) {
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(::inet_pton(AF_INET, text, &in->sin_addr), 1);
    len = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(::inet_pton(AF_INET6, text, &in6->sin6_addr), 1);
    len = sizeof(sockaddr_in6);
  }
  TcpEndpoint e;
  EXPECT_TRUE(TcpEndpointFrom(reinterpret_cast<sockaddr*>(&ss), len, e));
  return e;
}

bool Owner(const std::string& table, const TcpEndpoint& local, const TcpEndpoint& remote,
           uid_t& uid) {
  std::istringstream in(table);
  return FindTcpSocketOwner(in, local, remote, uid);
}

constexpr char kHeader[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

TEST(TcpOwnerTest, TheRowWithBothEndsNamesTheOwnerInEitherTableAndTimeWaitNamesNobody) {
  const TcpEndpoint ui = Ep(AF_INET, "127.0.0.1", 6695);
  const TcpEndpoint daemon = Ep(AF_INET, "127.0.0.1", 40000);
  // The listener, a finished earlier connection on the same two ports
  // (listed as root's whoever had it) and the live one.
  const std::string v4 =
      std::string(kHeader) + Row(AF_INET, "127.0.0.1", 6695, "0.0.0.0", 0, 0x0A, 0, 1000) +
      Row(AF_INET, "127.0.0.1", 6695, "127.0.0.1", 40000, 0x06, 3, 0) + "garbage that is no row\n" +
      Row(AF_INET, "127.0.0.1", 6695, "127.0.0.1", 40000, 0x01, 0, 1001);
  uid_t uid = 77;
  ASSERT_TRUE(Owner(v4, ui, daemon, uid));
  EXPECT_EQ(uid, 1001u);
  // Only the exact pair: another port or address on either end is another
  // connection, and the listener's row is no connection at all.
  EXPECT_FALSE(Owner(v4, ui, Ep(AF_INET, "127.0.0.1", 40001), uid));
  EXPECT_FALSE(Owner(v4, Ep(AF_INET, "127.0.0.2", 6695), daemon, uid));
  EXPECT_FALSE(Owner(v4, daemon, ui, uid));
  // A connection that only lingers in time-wait belongs to nobody.
  EXPECT_FALSE(
      Owner(std::string(kHeader) + Row(AF_INET, "127.0.0.1", 6695, "127.0.0.1", 40000, 0x06, 3, 0),
            ui, daemon, uid));
  // Not yet accepted (SYN_RECV) counts: it is the listener's.
  ASSERT_TRUE(
      Owner(Row(AF_INET, "127.0.0.1", 6695, "127.0.0.1", 40000, 0x03, 1, 1003), ui, daemon, uid));
  EXPECT_EQ(uid, 1003u);

  // A dual-stack listener lists IPv4 peers in the IPv6 table, mapped.
  const std::string v6 =
      std::string(kHeader) +
      Row(AF_INET6, "::ffff:127.0.0.1", 6695, "::ffff:127.0.0.1", 40000, 0x01, 0, 1002) +
      Row(AF_INET6, "::1", 6695, "::1", 40000, 0x01, 2, 1004);
  ASSERT_TRUE(Owner(v6, ui, daemon, uid));
  EXPECT_EQ(uid, 1002u);
  ASSERT_TRUE(Owner(v6, Ep(AF_INET6, "::1", 6695), Ep(AF_INET6, "::1", 40000), uid));
  EXPECT_EQ(uid, 1004u);
  EXPECT_FALSE(Owner(v6, Ep(AF_INET6, "::1", 6695), daemon, uid));
}

TEST(TcpOwnerTest, RealConnectionsNameTheUserOnTheOtherEnd) {
  int port = 0;
  const int listener = sftest::ListenLoopback(port);
  const int client = sftest::ConnectLoopback(port);
  ASSERT_GE(client, 0);
  int accepted = -1;
  ASSERT_TRUE(
      sftest::WaitFor([&] { return (accepted = ::accept(listener, nullptr, nullptr)) >= 0; }));
  uid_t uid = 77;
  ASSERT_EQ(TcpPeerOwner(client, uid), 0);
  EXPECT_EQ(uid, ::geteuid());
  uid = 77;
  ASSERT_EQ(TcpPeerOwner(accepted, uid), 0);
  EXPECT_EQ(uid, ::geteuid());
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  EXPECT_EQ(TcpPeerOwner(pipe_fds[0], uid), ERR_SYS);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);

  if (sftest::Stranger::Possible()) {
    // Another user's listener, which never accepts, and that user's
    // connection to ours.
    sftest::Stranger s;
    ASSERT_TRUE(s.Start([port](int report) {
      int theirs = 0;
      const int l = sftest::ListenLoopback(theirs);
      const int c = sftest::ConnectLoopback(port);
      if (l < 0 || c < 0) return 1;
      const uint16_t p = static_cast<uint16_t>(theirs);
      if (::write(report, &p, sizeof p) != static_cast<ssize_t>(sizeof p)) return 1;
      ::pause();
      return 0;
    }));
    ASSERT_TRUE(s.WaitReport(2));
    uint16_t theirs;
    std::memcpy(&theirs, s.Report().data(), 2);
    const int to_stranger = sftest::ConnectLoopback(theirs);
    ASSERT_GE(to_stranger, 0);
    ASSERT_EQ(TcpPeerOwner(to_stranger, uid), 0);
    EXPECT_EQ(uid, s.uid());
    int from_stranger = -1;
    ASSERT_TRUE(sftest::WaitFor(
        [&] { return (from_stranger = ::accept(listener, nullptr, nullptr)) >= 0; }));
    ASSERT_EQ(TcpPeerOwner(from_stranger, uid), 0);
    EXPECT_EQ(uid, s.uid());
    s.Stop();
    ::close(to_stranger);
    ::close(from_stranger);
  }
  ::close(accepted);
  ::close(client);
  ::close(listener);
}

}  // namespace
