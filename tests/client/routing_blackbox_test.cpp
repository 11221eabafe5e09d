// Black-box: the real daemon on a sync root that already holds files, with no
// server. What other programs see: the file status database, the user
// interface's listener (on a private port), the log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "client/store/file-status-db.h"
#include "fakes/daemon-runner.h"
#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"

namespace {

using sftest::WaitFor;

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
  sftest::ScriptedPeer ui;
  ui.Start();
  box.SetUiPort(ui.port());
  ASSERT_EQ(::mkdir((box.Root() + "/d").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((box.Root() + "/d/e").c_str(), 0755), 0);
  sftest::WriteFile(box.Root() + "/a b.txt", "1");
  sftest::WriteFile(box.Root() + "/d/e/f.txt", "2");
  sftest::WriteFile(box.Root() + "/d/\xc3\xa9.txt", "3");
  // The retried file exists: a vanished one would be finished at once (and
  // its mark could come and go unseen) now that workers run.
  sftest::WriteFile(box.Root() + "/retried.txt", "5");
  sftest::WriteFile(box.DbDir() + "/excep.list", "3 32 0 /retried.txt\n");
  // On disk, so that the workers (which reach no server here) cannot finish
  // it at once as vanished.
  sftest::WriteFile(box.Root() + "/retried.txt", "5");
  ASSERT_TRUE(box.StartDaemon(proc));

  // The rescan at start-up reaches the first entry: the rest follow at once.
  ASSERT_TRUE(WaitFor([&] { return Status("/a b.txt") == FSTAT_SYNCING; })) << box.ReadLog();
  for (const char* rel : {"/d", "/d/e", "/d/e/f.txt", "/d/\xc3\xa9.txt"}) {
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

  // The user interface hears that syncing began, right after the session.
  std::string hello = std::string(1, '\x64') + static_cast<char>(session.size() >> 8) +
                      static_cast<char>(session.size() & 0xff) + session;
  EXPECT_TRUE(WaitFor([&] { return ui.Received().size() >= hello.size() + 7; }));
  EXPECT_EQ(sftest::Hex(ui.Received().substr(0, hello.size() + 7)),
            sftest::Hex(hello + StatusMessage(10)));
  ASSERT_TRUE(proc.WriteStdin("\x01"));
  EXPECT_EQ(proc.Wait(), 0);
}

TEST_F(RoutingBlackBoxTest, RefusesToStartWithoutAValidFilter) {
  sftest::WriteFile(box.FilterFile(), "[Version]\nmajor = 1\n[Files]\n");
  ASSERT_TRUE(box.StartDaemon(proc));
  ASSERT_EQ(proc.Wait(), 3);
  EXPECT_NE(box.ReadLog().find("Failed to load filter"), std::string::npos) << box.ReadLog();
  const std::string out = sftest::ReadFile(box.OutputFile());
  EXPECT_NE(out.find("parser: SECTION_UNDEFINED_SECTION at line 3"), std::string::npos) << out;
  EXPECT_NE(out.find("syncfolder: error: the filter file " + box.DbDir() +
                     "/../conf/filter cannot be used (the log "),
            std::string::npos)
      << out;

  ::unlink(box.FilterFile().c_str());
  ::unlink(box.OutputFile().c_str());
  sftest::ChildProcess again;
  ASSERT_TRUE(box.StartDaemon(again));
  EXPECT_EQ(again.Wait(), 3);
  EXPECT_NE(sftest::ReadFile(box.OutputFile()).find("no filter file at " + box.DbDir() + "/../conf/filter"),
            std::string::npos)
      << sftest::ReadFile(box.OutputFile());
}

}  // namespace
