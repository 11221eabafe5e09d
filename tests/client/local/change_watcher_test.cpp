#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "client/local/detector.h"
#include "fakes/test-util.h"

namespace {

using Records = std::vector<ChangeRecord>;

std::string Show(const Records& rs) {
  std::string s;
  for (const auto& r : rs) {
    s += std::to_string(r.action) + (r.moved ? "m:" : ":");
    for (wchar_t c : r.name) s += c < 128 ? static_cast<char>(c) : '?';
    s += r.is_dir ? "/ " : " ";
  }
  return s;
}

bool Has(const Records& rs, ChangeRecord::Action a, const std::wstring& name) {
  return std::any_of(rs.begin(), rs.end(),
                     [&](const ChangeRecord& r) { return r.action == a && r.name == name; });
}

// Interrupts the watcher if a test waits too long, so that a missing change
// fails the test instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(ChangeWatcher& w)
      : m_thread([this, &w] {
          std::unique_lock<std::mutex> lock(m_mu);
          if (!m_cv.wait_for(lock, std::chrono::seconds(20), [this] { return m_done; }))
            w.Interrupt();
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_done = true;
    }
    m_cv.notify_all();
    m_thread.join();
  }

 private:
  std::mutex m_mu;
  std::condition_variable m_cv;
  bool m_done = false;
  std::thread m_thread;
};

struct Collected {
  Records records;
  int overflows = 0;
  bool interrupted = false;
};

// Waits until `done` holds for everything collected so far.
Collected Collect(ChangeWatcher& w, const std::function<bool(const Collected&)>& done) {
  Collected c;
  Watchdog dog(w);
  while (!done(c)) {
    Records batch;
    const ChangeWatcher::WaitResult r = w.Wait(batch);
    if (r == ChangeWatcher::kOverflow) ++c.overflows;
    if (r == ChangeWatcher::kInterrupted || r == ChangeWatcher::kFailed) {
      c.interrupted = true;
      break;
    }
    c.records.insert(c.records.end(), batch.begin(), batch.end());
  }
  return c;
}

Collected CollectUntil(ChangeWatcher& w, ChangeRecord::Action a, const std::wstring& name) {
  return Collect(w, [&](const Collected& c) { return Has(c.records, a, name); });
}

void Mkdir(const std::string& p) {
  ASSERT_EQ(mkdir(p.c_str(), 0755), 0) << p;
}

class ChangeWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    w.SetExcludedTopLevel(".ZentavoWorkingDirectory");
    Mkdir(dir.Sub(".ZentavoWorkingDirectory"));
  }
  void Open() { ASSERT_EQ(w.Open(dir.path()), 0); }
  std::string P(const std::string& rel) { return dir.Sub(rel); }

  sftest::TempDir dir;
  ChangeWatcher w;
};

TEST_F(ChangeWatcherTest, FileCreateWriteRemoveInOrder) {
  Open();
  sftest::WriteFile(P("a.txt"), "hello");
  ASSERT_EQ(unlink(P("a.txt").c_str()), 0);
  Collected c = CollectUntil(w, ChangeRecord::kRemoved, L"a.txt");
  ASSERT_FALSE(c.interrupted) << Show(c.records);
  ASSERT_GE(c.records.size(), 3u) << Show(c.records);
  EXPECT_EQ(c.records.front().action, ChangeRecord::kAdded);
  EXPECT_EQ(c.records[1].action, ChangeRecord::kModified);
  EXPECT_EQ(c.records.back().action, ChangeRecord::kRemoved);
  for (const auto& r : c.records) EXPECT_EQ(r.name, L"a.txt");
}

TEST_F(ChangeWatcherTest, TimeChangeIsAModification) {
  sftest::WriteFile(P("a.txt"), "x");
  Open();
  struct timespec times[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, P("a.txt").c_str(), times, 0), 0);
  Collected c = CollectUntil(w, ChangeRecord::kModified, L"a.txt");
  EXPECT_FALSE(c.interrupted) << Show(c.records);
}

TEST_F(ChangeWatcherTest, NewDirectoryIsWatchedWithEverythingAlreadyInside) {
  Open();
  const size_t before = w.WatchCount();
  // Built before the watcher reads a single change: the whole subtree must be
  // watched once the directory's creation is seen.
  Mkdir(P("a"));
  Mkdir(P("a/b"));
  Mkdir(P("a/b/c"));
  sftest::WriteFile(P("a/b/c/early.txt"), "x");
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"a");
  ASSERT_FALSE(c.interrupted);
  EXPECT_TRUE(c.records.front().is_dir);
  EXPECT_EQ(w.WatchCount(), before + 3);
  sftest::WriteFile(P("a/b/c/late.txt"), "x");
  c = CollectUntil(w, ChangeRecord::kAdded, L"a/b/c/late.txt");
  EXPECT_FALSE(c.interrupted) << Show(c.records);
}

TEST_F(ChangeWatcherTest, RenamesArePairedAndDirectoriesKeepTheirWatches) {
  sftest::WriteFile(P("a.txt"), "x");
  Mkdir(P("d"));
  Mkdir(P("d/sub"));
  Open();
  ASSERT_EQ(rename(P("a.txt").c_str(), P("b.txt").c_str()), 0);
  ASSERT_EQ(rename(P("d").c_str(), P("e").c_str()), 0);
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"e");
  ASSERT_FALSE(c.interrupted) << Show(c.records);
  // Each move is the removal of its old name directly followed by the
  // addition of its new one, both marked as a move.
  EXPECT_EQ(Show(c.records), "2m:a.txt 1m:b.txt 2m:d/ 1m:e/ ");
  // Changes inside the renamed tree carry the new name.
  sftest::WriteFile(P("e/sub/x"), "x");
  c = CollectUntil(w, ChangeRecord::kAdded, L"e/sub/x");
  EXPECT_FALSE(c.interrupted) << Show(c.records);
  EXPECT_FALSE(Has(c.records, ChangeRecord::kAdded, L"d/sub/x"));
}

TEST_F(ChangeWatcherTest, MovesAcrossTheRootBecomeRemovalsAndAdditions) {
  sftest::TempDir outside;
  Mkdir(P("leaving"));
  Mkdir(outside.Sub("coming"));
  Mkdir(outside.Sub("coming/deep"));
  Open();
  const size_t before = w.WatchCount();
  ASSERT_EQ(rename(P("leaving").c_str(), outside.Sub("left").c_str()), 0);
  // Written before the move was seen: it must not be named as if inside.
  sftest::WriteFile(outside.Sub("left/early"), "x");
  ASSERT_EQ(rename(outside.Sub("coming").c_str(), P("came").c_str()), 0);
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"came");
  ASSERT_FALSE(c.interrupted) << Show(c.records);
  // Neither is a half of a move: the other half is not in the tree.
  EXPECT_EQ(Show(c.records), "2:leaving/ 1:came/ ");
  EXPECT_EQ(w.WatchCount(), before - 1 + 2);
  // The tree that left is no longer reported; the one that came is.
  sftest::WriteFile(outside.Sub("left/ghost"), "x");
  sftest::WriteFile(P("came/deep/f"), "x");
  c = CollectUntil(w, ChangeRecord::kAdded, L"came/deep/f");
  ASSERT_FALSE(c.interrupted) << Show(c.records);
  for (const auto& r : c.records) EXPECT_EQ(r.name.find(L"ghost"), std::wstring::npos);
}

TEST_F(ChangeWatcherTest, ExcludedDirectoryReportsOnlyItself) {
  Open();
  sftest::WriteFile(P(".ZentavoWorkingDirectory/tmp1"), "x");
  ASSERT_EQ(unlink(P(".ZentavoWorkingDirectory/tmp1").c_str()), 0);
  ASSERT_EQ(rmdir(P(".ZentavoWorkingDirectory").c_str()), 0);
  sftest::WriteFile(P("marker"), "x");
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"marker");
  ASSERT_FALSE(c.interrupted);
  ASSERT_GE(c.records.size(), 2u) << Show(c.records);
  EXPECT_EQ(c.records[0].action, ChangeRecord::kRemoved);
  EXPECT_EQ(c.records[0].name, L".ZentavoWorkingDirectory");
  for (const auto& r : c.records) EXPECT_EQ(r.name.find(L"tmp1"), std::wstring::npos);
}

// Directories are removed by moving them into the working directory first,
// and downloads are moved out of it into place: the first is no removal by
// the user, the second is a new item. The two moves are paired by their own
// cookies, so the first leaves nothing behind for the second to pair with.
TEST_F(ChangeWatcherTest, MovesThroughTheExcludedDirectoryAreNoRemovals) {
  Mkdir(P("gone"));
  Mkdir(P("gone/sub"));
  Open();
  const std::string wd = ".ZentavoWorkingDirectory";
  ASSERT_EQ(rename(P("gone").c_str(), P(wd + "/t1").c_str()), 0);
  sftest::WriteFile(P(wd + "/t1/sub/inner"), "x");
  sftest::WriteFile(P(wd + "/t2"), "x");
  ASSERT_EQ(rename(P(wd + "/t2").c_str(), P("placed").c_str()), 0);
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"placed");
  ASSERT_FALSE(c.interrupted) << Show(c.records);
  EXPECT_EQ(Show(c.records), "1:placed ");
  // Moved away, the working directory itself is removed (to be made again)
  // and its new name arrives; moved back, it is taken away again.
  ASSERT_EQ(rename(P(wd).c_str(), P("wd-away").c_str()), 0);
  ASSERT_EQ(rename(P("wd-away").c_str(), P(wd).c_str()), 0);
  sftest::WriteFile(P(wd + "/t3"), "x");  // not reported: watched for moves only again
  sftest::WriteFile(P("marker"), "x");
  c = CollectUntil(w, ChangeRecord::kAdded, L"marker");
  ASSERT_FALSE(c.interrupted) << Show(c.records);
  ASSERT_GE(c.records.size(), 3u) << Show(c.records);
  EXPECT_EQ(Show({c.records[0], c.records[1], c.records[2]}),
            "2:.ZentavoWorkingDirectory/ 1:wd-away/ 1:marker ");
  ASSERT_EQ(unlink(P(wd + "/t3").c_str()), 0);

  // The same holds for a working directory made again after a removal.
  ASSERT_EQ(unlink(P(wd + "/t1/sub/inner").c_str()), 0);
  ASSERT_EQ(rmdir(P(wd + "/t1/sub").c_str()), 0);
  ASSERT_EQ(rmdir(P(wd + "/t1").c_str()), 0);
  ASSERT_EQ(rmdir(P(wd).c_str()), 0);
  Mkdir(P(wd));
  c = CollectUntil(w, ChangeRecord::kAdded, L".ZentavoWorkingDirectory");
  ASSERT_FALSE(c.interrupted) << Show(c.records);
  sftest::WriteFile(P("f"), "x");
  ASSERT_EQ(rename(P("f").c_str(), P(wd + "/f").c_str()), 0);
  sftest::WriteFile(P("marker2"), "x");
  c = CollectUntil(w, ChangeRecord::kAdded, L"marker2");
  ASSERT_FALSE(c.interrupted) << Show(c.records);
  EXPECT_FALSE(Has(c.records, ChangeRecord::kRemoved, L"f")) << Show(c.records);
}

// A stream of changes that outlasts every read must not keep a wait from
// returning: each batch is bounded, and nothing is lost across batches.
TEST_F(ChangeWatcherTest, BatchesStayBoundedAndLoseNothing) {
  w.SetQueueLimitForTest(1000);
  Open();
  constexpr int kFiles = 3000;
  for (int i = 0; i < kFiles; ++i) {
    const int fd = open(P("f" + std::to_string(10000 + i)).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  Records all;
  size_t largest = 0;
  {
    Watchdog dog(w);
    while (all.size() < static_cast<size_t>(kFiles)) {
      Records batch;
      ASSERT_EQ(w.Wait(batch), ChangeWatcher::kChanges);
      largest = std::max(largest, batch.size());
      all.insert(all.end(), batch.begin(), batch.end());
    }
  }
  EXPECT_LT(largest, static_cast<size_t>(kFiles));
  ASSERT_EQ(all.size(), static_cast<size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i) {
    EXPECT_EQ(all[static_cast<size_t>(i)].action, ChangeRecord::kAdded);
    EXPECT_EQ(all[static_cast<size_t>(i)].name, L"f" + std::to_wstring(10000 + i));
  }
}

TEST_F(ChangeWatcherTest, NamesThatAreNotUtf8AreSkippedNotMangled) {
  Mkdir(
      P("bad\xff"
        "dir"));
  Open();
  const size_t watched = w.WatchCount();
  EXPECT_EQ(watched, 2u) << "the root and (for moves only) the working directory; not the bad "
                            "name";
  sftest::WriteFile(P("bad\xfe"), "x");
  ASSERT_EQ(rename(P("bad\xfe").c_str(), P("renamed-ok").c_str()), 0);
  const int fd = open(P("good").c_str(), O_CREAT | O_WRONLY, 0644);  // one event only
  ASSERT_GE(fd, 0);
  close(fd);
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"good");
  ASSERT_FALSE(c.interrupted);
  // The rename from an unnamed item looks like an arrival.
  ASSERT_EQ(c.records.size(), 2u) << Show(c.records);
  EXPECT_EQ(c.records[0].action, ChangeRecord::kAdded);
  EXPECT_EQ(c.records[0].name, L"renamed-ok");
  for (const auto& r : c.records)
    for (wchar_t ch : r.name) EXPECT_NE(ch, 0xfffd);
}

TEST_F(ChangeWatcherTest, QueueOverflowIsReportedOnceAndWatchingGoesOn) {
  int max_events = 0;
  {
    std::ifstream f("/proc/sys/fs/inotify/max_queued_events");
    f >> max_events;
  }
  if (max_events <= 0 || max_events > 1000000) GTEST_SKIP() << "queue limit " << max_events;
  Mkdir(P("d"));
  Open();
  // Alternating between two files: the kernel merges only identical
  // consecutive events, so every write queues one.
  int fa = open(P("d/a").c_str(), O_CREAT | O_WRONLY, 0644);
  int fb = open(P("d/b").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  for (int i = 0; i <= max_events / 2 + 1; ++i) {
    ASSERT_EQ(pwrite(fa, "x", 1, 0), 1);
    ASSERT_EQ(pwrite(fb, "x", 1, 0), 1);
  }
  close(fa);
  close(fb);
  Records batch;
  Watchdog dog(w);
  ASSERT_EQ(w.Wait(batch), ChangeWatcher::kOverflow);
  EXPECT_TRUE(batch.empty());
  sftest::WriteFile(P("d/after"), "x");
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"d/after");
  EXPECT_FALSE(c.interrupted);
  EXPECT_EQ(c.overflows, 0);
}

TEST_F(ChangeWatcherTest, WatchLimitIsReportedOnceAsAnOverflow) {
  Mkdir(P("a"));
  Mkdir(P("b"));
  Mkdir(P("c"));
  w.SetWatchLimitForTest(2);
  Open();
  EXPECT_EQ(w.WatchCount(), 2u);
  Records batch;
  {
    Watchdog dog(w);
    ASSERT_EQ(w.Wait(batch), ChangeWatcher::kOverflow);
  }
  // A new directory that cannot be watched either is still reported, without
  // a second rescan.
  Mkdir(P("e"));
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"e");
  EXPECT_FALSE(c.interrupted);
  EXPECT_EQ(c.overflows, 0);
}

TEST_F(ChangeWatcherTest, InterruptEndsAWaitAndEveryLaterOne) {
  Open();
  std::atomic<bool> returned{false};
  ChangeWatcher::WaitResult result = ChangeWatcher::kChanges;
  std::thread t([&] {
    Records batch;
    result = w.Wait(batch);
    returned = true;
  });
  w.Interrupt();
  t.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(result, ChangeWatcher::kInterrupted);
  Records batch;
  EXPECT_EQ(w.Wait(batch), ChangeWatcher::kInterrupted);
}

TEST(ChangeWatcherOpenTest, MissingRootFailsAndWaitSaysSo) {
  sftest::TempDir dir;
  ChangeWatcher w;
  EXPECT_NE(w.Open(dir.Sub("absent")), 0);
  Records batch;
  EXPECT_EQ(w.Wait(batch), ChangeWatcher::kFailed);
}

TEST(ChangeWatcherOpenTest, RootThatIsALinkToAFolderIsWatchedButLinksInsideAreNot) {
  sftest::TempDir dir;
  Mkdir(dir.Sub("real"));
  Mkdir(dir.Sub("elsewhere"));
  ASSERT_EQ(symlink(dir.Sub("real").c_str(), dir.Sub("root").c_str()), 0);
  ASSERT_EQ(symlink(dir.Sub("elsewhere").c_str(), dir.Sub("real/inner").c_str()), 0);
  ChangeWatcher w;
  ASSERT_EQ(w.Open(dir.Sub("root")), 0);
  sftest::WriteFile(dir.Sub("elsewhere/outside.txt"), "x");
  sftest::WriteFile(dir.Sub("real/a.txt"), "x");
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"a.txt");
  ASSERT_FALSE(c.interrupted) << Show(c.records);
  for (const auto& r : c.records) EXPECT_EQ(r.name.find(L"outside"), std::wstring::npos);
}

TEST(ChangeWatcherOpenTest, NothingIsReportedFromARootThatWasMovedAway) {
  sftest::TempDir dir;
  Mkdir(dir.Sub("root"));
  Mkdir(dir.Sub("root/a"));
  ChangeWatcher w;
  ASSERT_EQ(w.Open(dir.Sub("root")), 0);
  sftest::WriteFile(dir.Sub("root/before.txt"), "x");
  ASSERT_EQ(rename(dir.Sub("root").c_str(), dir.Sub("gone").c_str()), 0);
  // Would be reported as "a/after.txt" of the sync root, where nothing changed.
  sftest::WriteFile(dir.Sub("gone/a/after.txt"), "x");
  Collected c = CollectUntil(w, ChangeRecord::kAdded, L"a/after.txt");
  EXPECT_TRUE(c.interrupted) << Show(c.records);
  EXPECT_TRUE(Has(c.records, ChangeRecord::kAdded, L"before.txt")) << Show(c.records);
  EXPECT_FALSE(Has(c.records, ChangeRecord::kAdded, L"a/after.txt")) << Show(c.records);
  Records batch;
  EXPECT_EQ(w.Wait(batch), ChangeWatcher::kFailed);
}

}  // namespace
