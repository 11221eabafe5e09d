#include "client/local/detector.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "client/core/client-task-mgr.h"
#include "client/core/sysinfo-mgr.h"
#include "client/local/expander.h"
#include "client/store/event-db.h"
#include "client/store/file-status-db.h"
#include "fakes/expander-factory.h"
#include "fakes/local-state-fixture.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"

namespace {

class DetectorTest : public LocalStateTest {
 protected:
  void SetUp() override {
    SetUpLocalState();
    if (HasFatalFailure()) return;
    tm = std::make_unique<TaskManager>(*cfg, 0, &factory, nullptr);
    det = std::make_unique<Detector>(tm.get());
  }
  void TearDown() override {
    det.reset();
    tm.reset();
    FileEventDB::destroy();
  }

  void Start() {
    ASSERT_EQ(det->SetWatch(Utf8ToWideLossy(dir.Sub("sync"))), 0);
    ASSERT_EQ(det->Run(), 0);
  }

  std::string P(const std::string& rel) { return dir.Sub("sync" + rel); }

  void Row(const std::string& rel, bool is_dir) {
    ClientFileEventInfo info;
    info.fileType = is_dir ? EV_DIR_TYPE : EV_FILE_TYPE;
    info.isExist = 1;
    info.syncID = 1;
    info.path = Utf8ToWideLossy(rel);
    info.baseName = info.path.substr(info.path.rfind(L'/') + 1);
    ASSERT_EQ(FileEventDB::setEventInfo(info), 0);
  }

  static std::string Text(const Event& e) {
    return std::to_string(e.m_type) + ":" + std::to_string(e.m_mode) + ":" +
           WideToUtf8Lossy(e.m_path);
  }

  // Moves what the task manager holds into `seen` (local queue) and
  // `expanded` (expansion queue), in order.
  void Collect() {
    Event l, s;
    while (tm->PullEvent(l, s, nullptr) > 0) {
      if (l.isValid()) {
        EXPECT_TRUE(l.m_opt.empty());
        EXPECT_EQ(l.m_syncID, 0u);
        seen.push_back(Text(l));
      }
      tm->DoneEvent(l.isValid() ? l : s);
    }
    Event x;
    while (tm->GetExpandEvent(x) == 1) expanded.push_back(Text(x));
  }
  bool Seen(const std::string& t) {
    Collect();
    return std::find(seen.begin(), seen.end(), t) != seen.end();
  }
  // Any event for `path`: a written file's creation may be replaced in the
  // queue by its modification before it is collected.
  bool SeenPath(const std::string& path) {
    Collect();
    for (const auto& t : seen)
      if (t.size() > path.size() && t.compare(t.size() - path.size(), path.size(), path) == 0 &&
          t[t.size() - path.size() - 1] == ':')
        return true;
    return false;
  }
  bool Expanded(const std::string& t) {
    Collect();
    return std::find(expanded.begin(), expanded.end(), t) != expanded.end();
  }
  // A change that every earlier change was reported before.
  void Marker(const std::string& name = "/marker") {
    EmptyFile(name);
    ASSERT_TRUE(sftest::WaitFor([&] { return Seen("1:0:" + name); }));
  }
  void EmptyFile(const std::string& rel) {
    int fd = open(P(rel).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }

  ExpanderOnlyFactory factory;
  std::unique_ptr<TaskManager> tm;
  std::unique_ptr<Detector> det;
  std::vector<std::string> seen, expanded;
};

TEST_F(DetectorTest, NewFileAndDirectory) {
  Start();
  EmptyFile("/a.txt");
  ASSERT_TRUE(sftest::WaitFor([&] { return Seen("1:0:/a.txt"); }));
  ASSERT_EQ(mkdir(P("/d").c_str(), 0755), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return Expanded("1:5:/d"); }));
}

TEST_F(DetectorTest, NeverSyncedFileThatVanishesGivesNoRemoval) {
  Start();
  EmptyFile("/tmp.txt");
  ASSERT_TRUE(sftest::WaitFor([&] { return Seen("1:0:/tmp.txt"); }));
  sftest::WriteFile(P("/tmp.txt"), "more");
  ASSERT_EQ(unlink(P("/tmp.txt").c_str()), 0);
  Marker();
  for (const auto& t : seen) EXPECT_NE(t, "2:0:/tmp.txt");
}

TEST_F(DetectorTest, RemovalOfASyncedItemTakesItsKindFromTheDatabase) {
  sftest::WriteFile(P("/f"), "x");
  ASSERT_EQ(mkdir(P("/d").c_str(), 0755), 0);
  Row("/f", false);
  Row("/d", true);
  Start();
  ASSERT_EQ(unlink(P("/f").c_str()), 0);
  ASSERT_EQ(rmdir(P("/d").c_str()), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return Seen("2:1:/d"); }));
  EXPECT_TRUE(Seen("2:0:/f"));
}

TEST_F(DetectorTest, RenamesBecomeRemovalAndCreation) {
  sftest::WriteFile(P("/a.txt"), "x");
  ASSERT_EQ(mkdir(P("/d").c_str(), 0755), 0);
  sftest::WriteFile(P("/d/in"), "x");
  Start();
  // Never synced: the old name's kind is unknown, the pair still comes out.
  ASSERT_EQ(rename(P("/a.txt").c_str(), P("/b.txt").c_str()), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return Seen("1:0:/b.txt"); }));
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[seen.size() - 2], "2:0:/a.txt");
  ASSERT_EQ(rename(P("/d").c_str(), P("/e").c_str()), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return Expanded("1:5:/e"); }));
  EXPECT_TRUE(Seen("2:1:/d"));
  // The renamed tree is still watched under its new name.
  sftest::WriteFile(P("/e/new"), "x");
  ASSERT_TRUE(sftest::WaitFor([&] { return SeenPath("/e/new"); }));
}

// A move onto a name too long to sync takes the item out of what is synced,
// as a move out of the root does: its old name must not stay on the server.
TEST_F(DetectorTest, MoveOntoANameTooLongToSyncRemovesTheOldName) {
  sftest::WriteFile(P("/a.txt"), "x");
  Row("/a.txt", false);
  // Folders that can still be named, and so watched, holding a name that
  // makes the path below the root too long.
  std::string deep;
  for (int i = 0; i < 16; ++i) {
    deep += "/" + std::string(i < 15 ? 250 : 100, 'd');
    ASSERT_EQ(mkdir(P(deep).c_str(), 0755), 0);
  }
  const std::string name(250, 'n');
  ASSERT_LT(P(deep).size(), 4000u);
  ASSERT_GT(deep.size() + name.size(), Detector::kMaxNameChars);
  Start();
  const int fd = open(P(deep).c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(renameat(AT_FDCWD, P("/a.txt").c_str(), fd, name.c_str()), 0);
  const bool removed = sftest::WaitFor([&] { return Seen("2:0:/a.txt"); });
  EXPECT_EQ(unlinkat(fd, name.c_str(), 0), 0);  // too long a path for the clean-up
  close(fd);
  EXPECT_TRUE(removed) << ::testing::PrintToString(seen);
}

TEST_F(DetectorTest, DirectoryFilledBeforeItIsWatchedLosesNothing) {
  Start();
  ASSERT_EQ(mkdir(P("/n").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(P("/n/s").c_str(), 0755), 0);
  for (int i = 0; i < 20; ++i) sftest::WriteFile(P("/n/s/f" + std::to_string(i)), "x");
  ASSERT_TRUE(sftest::WaitFor([&] { return Expanded("1:5:/n"); }));
  // What the detector could not see, the expansion finds.
  factory.expander->ExpandEvent(Event(EV_CREATE, F_DIR | F_EXPAND, L"/n"));
  Collect();
  // Each file has an event: the expansion's creation, or the detector's own
  // report of it if the watch came in time (which may replace the creation).
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(SeenPath("/n/s/f" + std::to_string(i))) << i;
  EXPECT_TRUE(SeenPath("/n/s"));
  sftest::WriteFile(P("/n/s/late"), "x");
  ASSERT_TRUE(sftest::WaitFor([&] { return SeenPath("/n/s/late"); }));
}

TEST_F(DetectorTest, WorkingDirectoryIsIgnoredAndRecreated) {
  Start();
  const std::string wd = P("/.ZentavoWorkingDirectory");
  struct stat st;
  ASSERT_EQ(stat(wd.c_str(), &st), 0);
  sftest::WriteFile(wd + "/1.temp", "x");
  ASSERT_EQ(unlink((wd + "/1.temp").c_str()), 0);
  ASSERT_EQ(rmdir(wd.c_str()), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return stat(wd.c_str(), &st) == 0 && S_ISDIR(st.st_mode); }));
  sftest::WriteFile(P("/.ZentavoWorkingDirectoryX"), "x");
  Marker();
  for (const auto& t : seen) EXPECT_EQ(t.find("/.ZentavoWorkingDirectory/"), std::string::npos);
  EXPECT_TRUE(SeenPath("/.ZentavoWorkingDirectoryX"));
  Collect();
  for (const auto& t : expanded) ADD_FAILURE() << t;
}

// The workers remove a directory by moving it into the working directory,
// and put downloads in place by moving them out of it: the first is no local
// removal to send to the server, the second is a new item.
TEST_F(DetectorTest, MovesThroughTheWorkingDirectory) {
  sftest::WriteFile(P("/x"), "x");
  Row("/x", false);
  Start();
  const std::string wd = P("/.ZentavoWorkingDirectory");
  ASSERT_EQ(rename(P("/x").c_str(), (wd + "/x").c_str()), 0);
  sftest::WriteFile(wd + "/dl.tmp", "x");
  ASSERT_EQ(rename((wd + "/dl.tmp").c_str(), P("/y").c_str()), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return Seen("1:0:/y"); }));
  Marker();
  EXPECT_FALSE(SeenPath("/x")) << ::testing::PrintToString(seen);
}

TEST_F(DetectorTest, OverflowAsksForOneRescanAndNothingElse) {
  int max_events = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> max_events;
  if (max_events <= 0 || max_events > 1000000) GTEST_SKIP() << "queue limit " << max_events;
  ASSERT_EQ(det->SetWatch(Utf8ToWideLossy(dir.Sub("sync"))), 0);
  // Queued before the detector reads anything.
  int fa = open(P("/a").c_str(), O_CREAT | O_WRONLY, 0644);
  int fb = open(P("/b").c_str(), O_CREAT | O_WRONLY, 0644);
  for (int i = 0; i <= max_events / 2 + 1; ++i) {
    ASSERT_EQ(pwrite(fa, "x", 1, 0), 1);
    ASSERT_EQ(pwrite(fb, "x", 1, 0), 1);
  }
  close(fa);
  close(fb);
  ASSERT_EQ(det->Run(), 0);
  ASSERT_TRUE(sftest::WaitFor([&] { return Expanded("1:13:/"); }));
  Marker();
  EXPECT_EQ(expanded, std::vector<std::string>{"1:13:/"});
  EXPECT_EQ(seen, std::vector<std::string>{"1:0:/marker"});
}

TEST_F(DetectorTest, WatchLimitAsksForOneRescan) {
  ASSERT_EQ(mkdir(P("/d1").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(P("/d2").c_str(), 0755), 0);
  det->watcher().SetWatchLimitForTest(2);
  Start();
  ASSERT_TRUE(sftest::WaitFor([&] { return Expanded("1:13:/"); }));
  Marker();
  EXPECT_EQ(expanded, std::vector<std::string>{"1:13:/"});
}

TEST_F(DetectorTest, ChangesWhilePausedAreDropped) {
  Start();
  Marker("/before");  // everything earlier is read: the next batch is the paused change
  ASSERT_EQ(det->Pause(), 0);
  const int before = det->BatchesSeen();
  EmptyFile("/during");
  ASSERT_TRUE(sftest::WaitFor([&] { return det->BatchesSeen() > before; }));
  ASSERT_EQ(det->Resume(), 0);
  Marker();
  EXPECT_EQ(seen, (std::vector<std::string>{"1:0:/before", "1:0:/marker"}));
}

TEST_F(DetectorTest, StopEndsTheWaitAndMissingRootFailsTheWatch) {
  Start();
  EXPECT_EQ(det->Stop(), 0);
  EXPECT_EQ(det->GetState(), Task::STOP);
  Detector other(tm.get());
  EXPECT_EQ(other.SetWatch(Utf8ToWideLossy(dir.Sub("absent"))), -1);
  ASSERT_EQ(other.Run(), 0);
  EXPECT_TRUE(sftest::WaitFor([&] { return other.GetState() == Task::RUN; }));
  EXPECT_EQ(other.Stop(), 0);
}

TEST_F(DetectorTest, TranslateEdgeCases) {
  ASSERT_EQ(det->SetWatch(Utf8ToWideLossy(dir.Sub("sync"))), 0);
  // The old name of a move keeps the moved item's kind, though neither the
  // disk nor the database knows it any more. Each half stands alone: a new
  // name too long to sync drops only the creation.
  Event away, too_long;
  ASSERT_EQ(det->Translate(away, ChangeRecord{ChangeRecord::kRemoved, L"never-synced", true, true}),
            0);
  EXPECT_EQ(away.m_type, EV_REMOVE);
  EXPECT_EQ(away.m_mode, F_DIR);
  EXPECT_EQ(det->Translate(
                too_long, ChangeRecord{ChangeRecord::kAdded, std::wstring(4096, L'a'), true, true}),
            -1);
  // A backslash is part of the name.
  sftest::WriteFile(P("/a\\b"), "x");
  Event b;
  ASSERT_EQ(det->Translate(b, ChangeRecord{ChangeRecord::kAdded, L"a\\b", false}), 0);
  EXPECT_EQ(b.m_path, L"a\\b");
  // The working directory's name is matched without regard to case.
  Event w;
  EXPECT_EQ(
      det->Translate(w, ChangeRecord{ChangeRecord::kAdded, L".zentavoworkingdirectory/x", false}),
      -1);
}

}  // namespace
