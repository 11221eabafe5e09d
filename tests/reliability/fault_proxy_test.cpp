// The fault proxy against a loopback echo server: each fault spoils the
// stream exactly where it was armed, and a seed replays the same faults.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fault-proxy.h"
#include "fakes/test-util.h"

using sftest::Fault;
using sftest::FaultProxy;

namespace {

// Echoes every connection's bytes back until the peer closes.
class EchoServer {
 public:
  EchoServer() {
    m_listen = sftest::ListenLoopback(m_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~EchoServer() {
    m_stop = true;
    ::shutdown(m_listen, SHUT_RDWR);
    m_thread.join();
    for (auto& t : m_conns) t.join();
    ::close(m_listen);
  }
  int port() const { return m_port; }

 private:
  void Run() {
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      m_conns.emplace_back([this, fd] {
        char buf[4096];
        while (!m_stop) {
          pollfd q{fd, POLLIN, 0};
          if (::poll(&q, 1, 50) <= 0) continue;
          ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
          if (n <= 0) break;
          if (::send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
        }
        ::close(fd);
      });
    }
  }
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::vector<std::thread> m_conns;
};

int Connect(int port) {
  int fd = sftest::ConnectLoopback(port);
  timeval tv{20, 0};  // a broken proxy fails the test instead of hanging it
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  return fd;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7) % 26);
  return s;
}

// Reads until `want` bytes, EOF or an error; `err` gets errno of a failure.
std::string ReadUpTo(int fd, size_t want, int* err = nullptr) {
  std::string got;
  char buf[4096];
  while (got.size() < want) {
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n == 0) break;
    if (n < 0) {
      if (err) *err = errno;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

class FaultProxyTest : public ::testing::Test {
 protected:
  EchoServer echo;
  FaultProxy proxy{echo.port(), 12345};
};

TEST_F(FaultProxyTest, ForwardsUntouchedWithoutFault) {
  int fd = Connect(proxy.port());
  ASSERT_GE(fd, 0);
  const std::string data = Pattern(200000);
  std::thread writer([&] { ::send(fd, data.data(), data.size(), MSG_NOSIGNAL); });
  EXPECT_EQ(ReadUpTo(fd, data.size()), data);
  writer.join();
  ::close(fd);
  EXPECT_EQ(proxy.FaultsFired(), 0);
  EXPECT_EQ(proxy.BytesUp(), data.size());
}

TEST_F(FaultProxyTest, CutAndResetStopTheStreamAtTheArmedByte) {
  const std::string data = Pattern(5000);
  {  // a cut on the way back: exactly N echoed bytes, then an orderly end
    proxy.ArmOnce({Fault::kCut, Fault::kDown, 1234});
    int fd = Connect(proxy.port());
    ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    int err = 0;
    EXPECT_EQ(ReadUpTo(fd, data.size(), &err), data.substr(0, 1234));
    EXPECT_EQ(err, 0);
    ::close(fd);
  }
  {  // a reset on the way out: the server saw only N bytes, the client an error
    proxy.ArmOnce({Fault::kReset, Fault::kUp, 777});
    int fd = Connect(proxy.port());
    ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    int err = 0;
    std::string got = ReadUpTo(fd, data.size(), &err);
    EXPECT_LE(got.size(), 777u);
    EXPECT_EQ(got, data.substr(0, got.size()));
    EXPECT_EQ(err, ECONNRESET);
    ::close(fd);
  }
  EXPECT_EQ(proxy.FaultsFired(Fault::kCut), 1);
  EXPECT_EQ(proxy.FaultsFired(Fault::kReset), 1);
}

TEST_F(FaultProxyTest, CorruptFlipsExactlyOneByte) {
  proxy.ArmOnce({Fault::kCorrupt, Fault::kDown, 300, std::chrono::milliseconds(0), 0x10});
  int fd = Connect(proxy.port());
  const std::string data = Pattern(1000);
  ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
  std::string got = ReadUpTo(fd, data.size());
  ::close(fd);
  ASSERT_EQ(got.size(), data.size());
  std::vector<size_t> diff;
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i] != data[i]) diff.push_back(i);
  ASSERT_EQ(diff.size(), 1u);
  EXPECT_EQ(diff[0], 300u);
  EXPECT_EQ(got[300], static_cast<char>(data[300] ^ 0x10));
}

TEST_F(FaultProxyTest, StallHoldsUntilReleasedAndTrickleStillDelivers) {
  const std::string data = Pattern(3000);
  {
    proxy.ArmOnce({Fault::kStall, Fault::kDown, 100});
    int fd = Connect(proxy.port());
    ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    EXPECT_EQ(ReadUpTo(fd, 100), data.substr(0, 100));
    ASSERT_TRUE(sftest::WaitFor([&] { return proxy.FaultsFired(Fault::kStall) == 1; }));
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 100), 0) << "bytes passed a stall";
    proxy.Release();
    EXPECT_EQ(ReadUpTo(fd, data.size() - 100), data.substr(100));
    ::close(fd);
  }
  {
    proxy.ArmOnce({Fault::kTrickle, Fault::kUp, 10, std::chrono::milliseconds(1)});
    int fd = Connect(proxy.port());
    ::send(fd, data.data(), 300, MSG_NOSIGNAL);
    EXPECT_EQ(ReadUpTo(fd, 300), data.substr(0, 300));
    ::close(fd);
  }
}

TEST(FaultProxySeedTest, SameSeedReplaysTheSameFaults) {
  EchoServer echo;
  FaultProxy a(echo.port(), 777), b(echo.port(), 777), c(echo.port(), 778);
  for (auto* p : {&a, &b, &c}) p->SetRandomFaults(1.0, 4096);
  int differ = 0;
  for (uint64_t i = 0; i < 20; ++i) {
    Fault fa = a.RandomFault(i), fb = b.RandomFault(i), fc = c.RandomFault(i);
    EXPECT_EQ(fa.Describe(), fb.Describe());
    EXPECT_NE(fa.kind, Fault::kNone);
    EXPECT_LT(fa.after, 4096u);
    if (fa.Describe() != fc.Describe()) ++differ;
  }
  EXPECT_GT(differ, 10);
}

}  // namespace
