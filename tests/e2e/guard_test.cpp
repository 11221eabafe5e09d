// The safety nets around local removals and change watching, with the real
// daemon, the real server and a stand-in user interface: removals that look
// like a missing disk wait for the user, and a watcher short of watches is
// reported and covered by periodic rescans.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "e2e/two-clients.h"
#include "fakes/scripted-peer.h"
#include "fakes/ui-listener.h"

namespace sftest {
namespace {

constexpr int kStatus = 1, kError = 2;
constexpr int kIdle = 11;
constexpr int kRemovalsHeld = -18, kWatchDegraded = -19;
constexpr auto kLong = std::chrono::seconds(240);

class GuardTest : public TwoClientsTest {
 protected:
  // The server and client A alone, reporting to `ui`, rescanning every
  // second while it rescans periodically. `sub`: a folder made in the root
  // before the start.
  void StartA(const std::map<std::string, std::string>& env = {}, const std::string& sub = "") {
    StartServer();
    if (HasFatalFailure()) return;
    a = std::make_unique<SyncClient>("alpha", server->port(), 4);
    a->box().SetUiPort(ui.port());
    a->box().config()["rescan_interval"] = "1";
    a->box().WriteConfig();
    a->box().WriteLevels({{"client_task_mgr_debug", 6}});
    if (!sub.empty()) MakeDirs(a->At(sub));
    m_env = env;
    m_first_conn = ui.Connections();
    ASSERT_TRUE(a->Start(m_env));
  }

  // Starts the stopped A again and waits for its new UI connection.
  void StartAgain() {
    // Until the new daemon registers, the old connection would answer for
    // it, and a confirmation sent on its word would arrive before the hold.
    m_first_conn = ui.Connections();
    ASSERT_TRUE(a->Start(m_env));
    ASSERT_TRUE(WaitFor([&] { return !Ui().empty(); }, kLong));
  }
  // What the running daemon's newest UI connection carried so far.
  std::vector<UiMessage> Ui() {
    std::string bytes, error;
    bool closed = false;
    std::vector<UiMessage> out;
    if (ui.Find(Bytes().u8(100).var("test-session").str(), bytes, closed, m_first_conn))
      (void)ParseUiMessages(bytes, out, error);  // a message still arriving is left out
    return out;
  }
  int Seen(int type, int32_t value) {
    int n = 0;
    for (const UiMessage& m : Ui()) n += m.type == type && m.value == value;
    return n;
  }
  bool WaitSeen(int type, int32_t value, int times = 1) {
    return WaitFor([&] { return Seen(type, value) >= times; }, kLong);
  }

  void Files(const std::string& dir, int dirs, int per_dir) {
    for (int d = 0; d < dirs; ++d) {
      MakeDirs(a->At(dir + "/d" + std::to_string(d)));
      for (int f = 0; f < per_dir; ++f)
        WriteFile(a->At(dir + "/d" + std::to_string(d) + "/f" + std::to_string(f)), "x" +
                  std::to_string(d * per_dir + f));
    }
  }
  ::testing::AssertionResult ShareHolds(const Tree& want) {
    const std::string diff = TreeDiff(want, ReadTree(Share()), "expected", "share");
    if (diff.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << diff;
  }

  UiListener ui;
  size_t m_first_conn = 0;  // the running daemon's connections start here
  std::map<std::string, std::string> m_env;
};

TEST_F(GuardTest, RemovalsOfAMissingRootWaitForTheUserAndAFewRemovalsDoNot) {
  ASSERT_TRUE(ui.ok());
  StartA();
  ASSERT_FALSE(HasFatalFailure());
  const std::string root = a->Root();

  // A user removing 10 of 1000 files: they go to the server at once.
  Files("", 10, 100);
  ASSERT_TRUE(Settled(*a, kLong));
  for (int f = 0; f < 10; ++f) ASSERT_EQ(::unlink(a->At("/d0/f" + std::to_string(f)).c_str()), 0);
  ASSERT_TRUE(Settled(*a, kLong));
  EXPECT_EQ(ReadTree(Share()).size(), 1000u);  // 990 files, 10 folders
  EXPECT_EQ(Seen(kError, kRemovalsHeld), 0);
  const Tree synced = ReadTree(Share());

  // The root replaced by an empty folder while the daemon runs: nothing is
  // removed, the user is told; the files coming back end the hold, and a
  // confirmation then has nothing to send.
  ASSERT_EQ(::rename(root.c_str(), (root + ".away").c_str()), 0);
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_TRUE(WaitSeen(kError, kRemovalsHeld)) << a->Log();
  EXPECT_TRUE(ShareHolds(synced));
  ASSERT_EQ(::rename(root.c_str(), (root + ".empty").c_str()), 0);
  ASSERT_EQ(::rename((root + ".away").c_str(), root.c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return a->Log().find("no removals are held any more") !=
                                   std::string::npos; }, kLong));
  ASSERT_TRUE(a->Command("\x05"));
  ASSERT_TRUE(Settled(*a, kLong));
  EXPECT_TRUE(ShareHolds(synced));

  // The root deleted while the daemon was stopped: the daemon refuses to
  // start (it never makes a sync root up), and once the user has made it
  // again the removals are held at start-up and the confirmation command
  // lets them go.
  ASSERT_EQ(a->Stop(), 0);
  std::filesystem::remove_all(root);
  ASSERT_TRUE(a->Start(m_env));
  ASSERT_EQ(a->Wait(), 5);
  EXPECT_FALSE(PathExists(root));
  MakeDirs(root);
  StartAgain();
  ASSERT_TRUE(WaitSeen(kError, kRemovalsHeld)) << a->Log();
  EXPECT_TRUE(ShareHolds(synced));
  ASSERT_TRUE(a->Command("\x05"));
  ASSERT_TRUE(WaitFor([&] { return ReadTree(Share()).empty(); }, kLong)) << a->Log();
  ASSERT_TRUE(Settled(*a, kLong));

  // The root on another file system (a disk mounted over it where this
  // runs as root; otherwise the folder moved away and made again): held,
  // and the marker file in the database folder lets the removals go.
  Files("/again", 3, 20);
  ASSERT_TRUE(Settled(*a, kLong));
  const Tree again = ReadTree(Share());
  ASSERT_EQ(a->Stop(), 0);
  const bool mounted =
      ::geteuid() == 0 && ::mount("sf-guard", root.c_str(), "tmpfs", 0, "size=16m") == 0;
  struct Unmount {
    bool on;
    std::string at;
    ~Unmount() {
      if (on) ::umount2(at.c_str(), MNT_DETACH);
    }
  } unmount{mounted, root};
  if (!mounted) {
    ASSERT_EQ(::rename(root.c_str(), (root + ".moved").c_str()), 0);
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  }
  StartAgain();
  ASSERT_TRUE(WaitSeen(kError, kRemovalsHeld)) << a->Log();
  EXPECT_TRUE(ShareHolds(again));
  // A pause and a resume are no confirmation. Had the resume let the held
  // removals go, they would have been queued before this file was made, and
  // nothing is marked syncing once the file is on the server.
  ASSERT_TRUE(a->Command("\x03\x02"));
  WriteFile(a->At("/made-after-resume.txt"), "new");
  ASSERT_TRUE(WaitFor([&] { return ReadFile(Share() + "/made-after-resume.txt") == "new" &&
                                   a->SyncingCount() == 0; }, kLong))
      << a->Log();
  Tree with_new = again;
  with_new["/made-after-resume.txt"] = ReadTree(Share())["/made-after-resume.txt"];
  EXPECT_TRUE(ShareHolds(with_new));
  WriteFile(a->box().DbDir() + "/confirm-removals", "");
  ASSERT_TRUE(WaitFor([&] { return ReadTree(Share()).size() == 1; }, kLong)) << a->Log();
  ASSERT_TRUE(Settled(*a, kLong));
  EXPECT_EQ(a->Stop(), 0);
}

TEST_F(GuardTest, AWatcherShortOfWatchesIsReportedNeverIdleAndRescansTheUnwatched) {
  ASSERT_TRUE(ui.ok());
  // Two watches: the root and the working directory; "/sub" goes unwatched.
  StartA({{"SYNCFOLDER_TEST_WATCH_LIMIT", "2"}}, "/sub");
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(WaitSeen(kError, kWatchDegraded)) << a->Log();
  WriteFile(a->At("/sub/unseen.txt"), "found by a rescan");
  WriteFile(a->At("/seen.txt"), "seen at once");
  ASSERT_TRUE(WaitFor([&] { return ReadFile(Share() + "/sub/unseen.txt") == "found by a rescan"; },
                      kLong))
      << a->Log();
  ASSERT_TRUE(Settled(*a, kLong));
  EXPECT_EQ(Seen(kStatus, kIdle), 0) << "idle reported while changes may go unseen";
  EXPECT_NE(a->Log().find("fs.inotify.max_user_watches"), std::string::npos);
}

}  // namespace
}  // namespace sftest
