// Black-box: the real daemon on a sync root that already holds files, with no
// server. What other programs see: the file status database, the UI port,
// the log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "fakes/daemon-runner.h"
#include "fakes/test-util.h"
#include "lib/file-status-db.h"
#include "lib/utility.h"

namespace {

using sftest::WaitFor;

constexpr int kUiPort = 6695;

// Accepts every connection on the UI port and keeps each one's bytes apart:
// daemons of other tests may connect at the same time, so a test finds its
// own by the session it registers first.
class UiListener {
 public:
  UiListener() {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kUiPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_fd, 8) != 0) {
      ::close(m_fd);
      m_fd = -1;
      return;
    }
    m_thread = std::thread([this] { Run(); });
  }
  ~UiListener() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    for (int c : m_conn) ::close(c);
    if (m_fd >= 0) ::close(m_fd);
  }
  bool ok() const { return m_fd >= 0; }

  // The bytes of the connection that began with the session message of
  // `session`, after that message.
  std::string After(const std::string& session) {
    std::string hello;
    hello += static_cast<char>(100);
    hello += static_cast<char>(session.size() >> 8);
    hello += static_cast<char>(session.size() & 0xff);
    hello += session;
    std::lock_guard<std::mutex> g(m_mu);
    for (const auto& b : m_bytes)
      if (b.compare(0, hello.size(), hello) == 0) return b.substr(hello.size());
    return std::string();
  }

 private:
  void Run() {
    while (!m_stop) {
      std::vector<pollfd> fds{{m_fd, POLLIN, 0}};
      {
        std::lock_guard<std::mutex> g(m_mu);
        for (int c : m_conn) fds.push_back({c, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          std::lock_guard<std::mutex> g(m_mu);
          m_conn.push_back(c);
          m_bytes.emplace_back();
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buf[4096];
        const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> g(m_mu);
        m_bytes[i - 1].append(buf, static_cast<size_t>(n));
      }
    }
  }

  int m_fd = -1;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::mutex m_mu;
  std::vector<int> m_conn;           // Guarded by m_mu
  std::vector<std::string> m_bytes;  // Guarded by m_mu; one per connection
};

std::string StatusMessage(int value) {
  return std::string("\x01\x00\x04\x00\x00\x00", 6) + static_cast<char>(value);
}

class RoutingBlackBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = "routing-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    box.config()["session"] = session;
    box.WriteConfig();
    box.WriteLevels({{"client_debug", 6}, {"client_task_mgr_debug", 6}});
  }
  void TearDown() override {
    if (proc.Running()) {
      proc.WriteStdin("\x01");
      proc.Wait();
    }
  }

  // Status of `rel` in the daemon's file status database, or -1.
  int Status(const std::string& rel) {
    if (FileStatusDB::initialize(Utf8ToWideLossy(box.DbDir() + "/file-status.sqlite")) != 0)
      return -1;
    FileStatusInfo info;
    if (FileStatusDB::getFileSyncStat(Utf8ToWideLossy(box.Root() + rel), &info) != 0) return -1;
    return info.syncStatus;
  }

  sftest::DaemonSandbox box;
  sftest::ChildProcess proc;
  std::string session;
};

TEST_F(RoutingBlackBoxTest, ExistingTreeIsMarkedSyncingAndReported) {
  UiListener ui;
  ASSERT_EQ(::mkdir((box.Root() + "/d").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((box.Root() + "/d/e").c_str(), 0755), 0);
  sftest::WriteFile(box.Root() + "/a b.txt", "1");
  sftest::WriteFile(box.Root() + "/d/e/f.txt", "2");
  sftest::WriteFile(box.Root() + "/d/\xc3\xa9.txt", "3");
  sftest::WriteFile(box.DbDir() + "/excep.list", "3 32 0 /retried.txt\n");
  ASSERT_TRUE(box.StartDaemon(proc));

  for (const char* rel : {"/a b.txt", "/d", "/d/e", "/d/e/f.txt", "/d/\xc3\xa9.txt"}) {
    EXPECT_TRUE(WaitFor([&] { return Status(rel) == FSTAT_SYNCING; })) << rel << "\n"
                                                                       << box.ReadLog();
  }
  // The exception list's entry is queued again at start.
  EXPECT_TRUE(WaitFor([&] { return Status("/retried.txt") == FSTAT_SYNCING; })) << box.ReadLog();
  EXPECT_NE(box.ReadLog().find("LoadExcepList load event"), std::string::npos);
  EXPECT_EQ(Status("/.ZentavoWorkingDirectory"), -1) << "the working directory is never synced";

  // A file made while the daemon runs is marked too.
  sftest::WriteFile(box.Root() + "/d/later.txt", "4");
  EXPECT_TRUE(WaitFor([&] { return Status("/d/later.txt") == FSTAT_SYNCING; })) << box.ReadLog();

  if (ui.ok()) {
    EXPECT_TRUE(WaitFor([&] {
      return ui.After(session).find(StatusMessage(10)) != std::string::npos;
    })) << "the user interface hears that syncing began";
  }
  ASSERT_TRUE(proc.WriteStdin("\x01"));
  EXPECT_EQ(proc.Wait(), 0);
}

TEST_F(RoutingBlackBoxTest, RefusesToStartWithoutAValidFilter) {
  sftest::WriteFile(box.FilterFile(), "[Version]\nmajor = 1\n[Files]\n");
  ASSERT_TRUE(box.StartDaemon(proc));
  EXPECT_EQ(proc.Wait(), 255);
  EXPECT_NE(box.ReadLog().find("Failed to load filter"), std::string::npos) << box.ReadLog();
  EXPECT_NE(sftest::ReadFile(box.OutputFile()).find("parser: SECTION_UNDEFINED_SECTION at line 3"),
            std::string::npos);

  ::unlink(box.FilterFile().c_str());
  sftest::ChildProcess again;
  ASSERT_TRUE(box.StartDaemon(again));
  EXPECT_EQ(again.Wait(), 255);
}

}  // namespace
