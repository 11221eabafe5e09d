#include "client/local/expander.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "client/core/client-task-mgr.h"
#include "client/core/sysinfo-mgr.h"
#include "client/store/event-db.h"
#include "client/store/file-status-db.h"
#include "fakes/expander-factory.h"
#include "fakes/local-state-fixture.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"

namespace {

constexpr uint32_t kTime = 1500000000;

class ExpanderTest : public LocalStateTest {
 protected:
  void SetUp() override {
    SetUpLocalState();
    if (HasFatalFailure()) return;
    tm = std::make_unique<TaskManager>(*cfg, 0, &factory, nullptr);
  }
  void TearDown() override {
    tm.reset();
    FileEventDB::destroy();
  }

  std::string P(const std::string& rel) { return dir.Sub("sync" + rel); }

  // A file on disk with a known time.
  void File(const std::string& rel, const std::string& content = "data", uint32_t t = kTime) {
    sftest::WriteFile(P(rel), content);
    SetTime(rel, t);
  }
  void Dir(const std::string& rel, uint32_t t = kTime) {
    ASSERT_EQ(mkdir(P(rel).c_str(), 0755), 0);
    SetTime(rel, t);
  }
  void SetTime(const std::string& rel, uint32_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, P(rel).c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
  }
  void Row(const std::string& rel, bool is_dir, uint64_t size = 4, uint32_t t = kTime) {
    ClientFileEventInfo info;
    info.fileType = is_dir ? EV_DIR_TYPE : EV_FILE_TYPE;
    info.isExist = 1;
    info.syncID = 1;
    info.fileSize = is_dir ? 0 : size;
    info.fileModTime = t;
    info.path = Utf8ToWideLossy(rel);
    info.baseName = info.path.substr(info.path.rfind(L'/') + 1);
    ASSERT_EQ(FileEventDB::setEventInfo(info), 0) << rel;
  }

  void Rescan(bool merge) {
    Event e(EV_CREATE, F_DIR | F_EXPAND | F_RESCAN | (merge ? F_MERGE : 0u), L"/");
    factory.expander->ExpandEvent(e);
  }

  // Everything queued, as "L:type:mode:path" / "S:type:mode:path" texts.
  std::vector<std::string> Drain() {
    std::vector<std::string> out;
    Event l, s;
    while (tm->PullEvent(l, s, nullptr) > 0) {
      for (const Event* e : {&s, &l}) {
        if (!e->isValid()) continue;
        std::string t = std::string(e->isServerEvent() ? "S:" : "L:") + std::to_string(e->m_type) +
                        ":" + std::to_string(e->m_mode) + ":" + WideToUtf8Lossy(e->m_path);
        if (e->isServerEvent()) {
          EXPECT_EQ(e->m_syncID, UINT64_MAX) << t;
        }
        out.push_back(t);
      }
      tm->DoneEvent(l.isValid() ? l : s);  // release the path again
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  using V = std::vector<std::string>;

  ExpanderOnlyFactory factory;
  std::unique_ptr<TaskManager> tm;
};

TEST_F(ExpanderTest, AgreeingRescanPushesNothing) {
  File("/a.txt");
  Dir("/d", kTime + 50);  // a directory's own time never matters
  File("/d/b", "12");
  Row("/a.txt", false);
  Row("/d", true);
  Row("/d/b", false, 2);
  Rescan(false);
  EXPECT_EQ(Drain(), V{});
  Rescan(true);
  EXPECT_EQ(Drain(), V{});
}

TEST_F(ExpanderTest, SubDirectoryRescanComparesPathsFromTheRoot) {
  // The rescan a "wait" answer to a removal queues: disk and database agree
  // below "/d", so nothing may be removed or uploaded.
  Dir("/d");
  Dir("/d/e");
  File("/d/x");
  File("/d/e/y");
  File("/outside");
  Row("/d", true);
  Row("/d/e", true);
  Row("/d/x", false);
  Row("/d/e/y", false);
  Event e(EV_CREATE, F_DIR | F_EXPAND | F_RESCAN, L"/d");
  factory.expander->ExpandEvent(e);
  EXPECT_EQ(Drain(), V{});
  // What does differ below it is named from the root, and nothing outside
  // "/d" is touched.
  File("/d/e/new");
  Row("/d/gone", false);
  factory.expander->ExpandEvent(e);
  EXPECT_EQ(Drain(), (V{"L:2:0:/d/gone", "L:3:0:/d/e/new"}));
}

TEST_F(ExpanderTest, OneSidedEntriesAreUploadedOrRemoved) {
  File("/new.txt");
  Row("/gone.txt", false);
  Row("/gone-dir", true);
  Rescan(false);
  EXPECT_EQ(Drain(), (V{"L:2:0:/gone.txt", "L:2:1:/gone-dir", "L:3:0:/new.txt"}));
  // At start-up what is missing is fetched again from the server.
  Rescan(true);
  EXPECT_EQ(Drain(), (V{"L:3:0:/new.txt", "S:3:2:/gone.txt", "S:3:3:/gone-dir"}));
}

// A client configured to send the removals made while it was stopped.
class ExpanderPropagatingTest : public ExpanderTest {
 protected:
  void SetUp() override {
    SetUpLocalState("propagate_offline_removals = true\n");
    if (HasFatalFailure()) return;
    tm = std::make_unique<TaskManager>(*cfg, 0, &factory, nullptr);
  }
};

TEST_F(ExpanderPropagatingTest, MissingAtStartUpIsRemovedThroughTheGuard) {
  File("/new.txt");
  Row("/gone.txt", false);
  Row("/gone-dir", true);
  Rescan(true);
  EXPECT_EQ(Drain(), (V{"L:2:0:/gone.txt", "L:2:1:/gone-dir", "L:3:0:/new.txt"}));
  // Removing most of a large enough tree is held for the user.
  Row("/many", true);
  for (int i = 0; i < 60; ++i) Row("/many/f" + std::to_string(i), false);
  Rescan(true);
  EXPECT_EQ(Drain(), V{"L:3:0:/new.txt"});
  EXPECT_EQ(tm->HeldRemovalCount(), 63u);
}

TEST_F(ExpanderTest, EmptiedRootHoldsItsRemovalsUntilTheFilesComeBack) {
  // Nothing at all on disk looks like a disk that is not there: removing
  // everything would empty the share for every client. Nor is anything
  // fetched: that would fill whatever disk is there instead.
  Row("/gone.txt", false);
  Row("/gone-dir", true);
  for (bool merge : {true, false}) {
    Rescan(merge);
    EXPECT_EQ(Drain(), V{});
    EXPECT_EQ(tm->HeldRemovalCount(), 2u);
  }
  // A rescan that finds them back drops the held removals.
  File("/gone.txt");
  Dir("/gone-dir");
  Rescan(false);
  EXPECT_EQ(Drain(), V{});
  EXPECT_EQ(tm->HeldRemovalCount(), 0u);
}

TEST_F(ExpanderTest, ChangedTimeOrSizeIsAnUpload) {
  File("/t", "data", kTime + 1);
  File("/s", "longer");
  File("/same");
  Row("/t", false);
  Row("/s", false);
  Row("/same", false);
  Rescan(false);
  EXPECT_EQ(Drain(), (V{"L:3:0:/s", "L:3:0:/t"}));
}

TEST_F(ExpanderTest, KindMismatchUploadsTheDiskSide) {
  Dir("/x");
  Row("/x", false);
  Rescan(false);
  EXPECT_EQ(Drain(), V{"L:3:1:/x"});
  Rescan(true);
  // The pair of one path comes out together.
  EXPECT_EQ(Drain(), (V{"L:3:1:/x", "S:3:2:/x"}));
}

TEST_F(ExpanderTest, NamesSortingBeforeTheSeparatorAreMatched) {
  File("/a-b");
  Dir("/a");
  File("/a/x");
  Row("/a", true);
  Row("/a/x", false);
  Rescan(false);
  EXPECT_EQ(Drain(), V{"L:3:0:/a-b"});
  EXPECT_LT(Expander::ComparePaths(L"/a/x", L"/a-b"), 0);
  EXPECT_LT(Expander::ComparePaths(L"/a", L"/a/x"), 0);
  EXPECT_GT(Expander::ComparePaths(L"/b", L"/a/x"), 0);
  EXPECT_EQ(Expander::ComparePaths(L"/a/b", L"/a/b"), 0);
  EXPECT_LT(Expander::ComparePaths(L"", L"/a"), 0);
}

TEST_F(ExpanderTest, OnlyTheTopLevelWorkingDirectoryIsLeftOut) {
  Dir("/.ZentavoWorkingDirectory");
  File("/.ZentavoWorkingDirectory/1.temp");
  Dir("/d");
  Dir("/d/.ZentavoWorkingDirectory");
  Row("/d", true);
  Rescan(false);
  EXPECT_EQ(Drain(), V{"L:3:1:/d/.ZentavoWorkingDirectory"});
}

TEST_F(ExpanderTest, UnreadableRootRemovesNothing) {
  Row("/a.txt", false);
  Row("/d", true);
  sftest::RemoveTree(P(""));
  Rescan(false);
  EXPECT_EQ(Drain(), V{});
}

TEST_F(ExpanderTest, StoppedExpanderPushesNothingMore) {
  File("/a");
  Row("/b", false);
  factory.expander->Stop();
  Rescan(false);
  Event e(EV_CREATE, F_DIR | F_EXPAND, L"/");
  factory.expander->ExpandEvent(e);
  EXPECT_EQ(Drain(), V{});
}

TEST_F(ExpanderTest, ExpandWalkCreatesTheDirectoryAndEverythingBelow) {
  Dir("/n");
  Dir("/n/sub");
  File("/n/sub/f");
  File("/n/g");
  ASSERT_EQ(symlink("g", P("/n/link").c_str()), 0);
  ASSERT_EQ(mkfifo(P("/n/fifo").c_str(), 0644), 0);
  Event e(EV_CREATE, F_DIR | F_EXPAND, L"/n");
  factory.expander->ExpandEvent(e);
  EXPECT_EQ(Drain(), (V{"L:1:0:/n/g", "L:1:0:/n/sub/f", "L:1:1:/n", "L:1:1:/n/sub"}));
  // A directory gone before its turn pushes nothing.
  Event gone(EV_CREATE, F_DIR | F_EXPAND, L"/missing");
  factory.expander->ExpandEvent(gone);
  EXPECT_EQ(Drain(), V{});
}

TEST_F(ExpanderTest, LargeWalkQueuesAndMarksEveryEntryInOrder) {
  // Enough entries to cross the hand-over batches more than once.
  constexpr int kFiles = 600;
  Dir("/big");
  for (int i = 0; i < kFiles; ++i) File("/big/f" + std::to_string(i));
  Event e(EV_CREATE, F_DIR | F_EXPAND, L"/big");
  factory.expander->ExpandEvent(e);
  for (const std::string rel : {"/big", "/big/f0", "/big/f255", "/big/f256", "/big/f599"}) {
    FileStatusInfo info;
    ASSERT_EQ(FileStatusDB::getFileSyncStat(Utf8ToWideLossy(P(rel)), &info), 0) << rel;
    EXPECT_EQ(info.syncStatus, FSTAT_SYNCING) << rel;
  }
  // The walk's order reaches the workers unchanged.
  std::vector<std::wstring> order;
  Event l, s;
  while (tm->PullEvent(l, s, nullptr) > 0) {
    order.push_back(l.m_path);
    tm->DoneEvent(l);
  }
  ASSERT_EQ(order.size(), static_cast<size_t>(kFiles + 1));
  EXPECT_EQ(order.front(), L"/big");
  std::vector<std::wstring> walked;
  DIR_HANDLE h;
  ASSERT_EQ(FSOpenDir(Utf8ToWideLossy(P("/big")), 0, h), 0);
  DIR_ENTRY ent;
  while (FSReadDir(h, ent) > 0)
    if (ent.name != L"." && ent.name != L"..") walked.push_back(L"/big/" + ent.name);
  FSCloseDir(h);
  EXPECT_EQ(std::vector<std::wstring>(order.begin() + 1, order.end()), walked);
}

TEST_F(ExpanderTest, TaskExpandsQueuedDirectoriesAndStopsPromptly) {
  Dir("/q");
  File("/q/f");
  Event e(EV_CREATE, F_DIR | F_EXPAND, L"/q");
  tm->PushLocalEvent(e);
  Expander* x = factory.expander;
  ASSERT_EQ(x->Run(), 0);
  EXPECT_TRUE(sftest::WaitFor([&] { return tm->GetLocalEventCount() == 2; }));
  EXPECT_TRUE(sftest::WaitFor([&] { return tm->GetStatus() == TaskManager::SYNCING; }));
  EXPECT_EQ(x->Stop(), 0);
  EXPECT_EQ(Drain(), (V{"L:1:0:/q/f", "L:1:1:/q"}));
}

}  // namespace
