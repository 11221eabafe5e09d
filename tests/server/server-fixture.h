// Shared set-up for the server tests: an in-process server on a fresh share
// listening on 127.0.0.1 with a free port, and a raw socket client for
// byte-level exchanges.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/proto/proto-common.h"
#include "server/server-hooks.h"
#include "server/sync-server.h"

namespace sftest {

constexpr uint32_t kGoldenTime = 1600000000;

// A blocking TCP client that sends raw bytes and reads with deadlines.
class RawConn {
 public:
  // `from`: the local address to connect from (any of 127.0.0.0/8 works on
  // loopback), to play a client at another address.
  explicit RawConn(int port, const char* from = nullptr) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (m_fd >= 0 && from != nullptr &&
        (inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
         bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0)) {
      close(m_fd);
      m_fd = -1;
    }
    if (m_fd >= 0 && connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      close(m_fd);
      m_fd = -1;
    }
  }
  ~RawConn() {
    if (m_fd >= 0) close(m_fd);
  }
  RawConn(const RawConn&) = delete;
  RawConn& operator=(const RawConn&) = delete;

  bool ok() const { return m_fd >= 0; }
  bool Send(const std::string& b) {
    size_t done = 0;
    while (done < b.size()) {
      ssize_t n = send(m_fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Up to `n` bytes, fewer when the peer closes or the deadline passes.
  std::string Recv(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[65536];
      ssize_t k = recv(m_fd, buf, std::min(sizeof(buf), n - out.size()), 0);
      if (k <= 0) {
        m_eof = true;
        break;
      }
      out.append(buf, static_cast<size_t>(k));
    }
    return out;
  }
  // True once the server has closed the connection (nothing more arrives).
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    if (m_eof) return true;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      Recv(1 << 20, std::chrono::milliseconds(200));
      if (m_eof) return true;
    }
    return false;
  }
  void CloseNow() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
  bool m_eof = false;
};

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ProtoInit(3);
    mkdir(Share().c_str(), 0755);
    opt.share = Share();
    opt.sessions["s1"] = "alice";
    opt.users["alice"] = "secret";
    opt.alive = 60;
    opt.wait_period_ms = 100;
  }
  void TearDown() override {
    if (server) server->Stop();
  }
  void Start() {
    server = std::make_unique<SyncServer>(opt);
    ASSERT_EQ(server->Start(), 0);
  }
  void Restart() {
    server->Stop();
    server.reset();
    opt.port = 0;
    Start();
  }
  std::string Share() const { return root.Sub("share"); }
  std::string OnDisk(const std::string& rel) const { return ReadFile(Share() + rel); }
  ServerStore& store() { return server->store(); }
  ObjectRow Row(const std::string& path) {
    SharePath p;
    EXPECT_EQ(ParseSharePath(path, p), 0);
    ObjectRow row;
    (void)store().Get(p, row);  // no row reads as the empty row
    return row;
  }
  // The layout most golden answers describe: /d (1), /d/f.txt "hello" (2),
  // /gone put (3) and removed (4), all at kGoldenTime.
  void GoldenLayout() {
    ASSERT_EQ(HookMkdir(store(), "/d", kGoldenTime), 0);
    ASSERT_EQ(HookPutBytes(store(), "/d/f.txt", "hello", kGoldenTime), 0);
    ASSERT_EQ(HookPutBytes(store(), "/gone", "x", kGoldenTime), 0);
    ASSERT_EQ(HookRemove(store(), "/gone"), 0);
  }

  TempDir root;
  ServerOptions opt;
  std::unique_ptr<SyncServer> server;
};

}  // namespace sftest
