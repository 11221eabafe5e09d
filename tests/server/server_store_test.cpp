#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "rsapi/rs-api.h"
#include "server/server-store.h"

namespace {

using sftest::PathExists;
using sftest::ReadFile;
using sftest::TempDir;
using sftest::WriteFile;

SharePath P(const std::string& s) {
  SharePath p;
  EXPECT_EQ(ParseSharePath(s, p), 0) << s;
  return p;
}

std::string ReadFd(int fd) {
  std::string out;
  char buf[4096];
  off_t off = 0;
  for (;;) {
    ssize_t n = pread(fd, buf, sizeof(buf), off);
    if (n <= 0) break;
    out.append(buf, n);
    off += n;
  }
  return out;
}

class ServerStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(Share().c_str(), 0755);
    Reopen();
  }
  std::string Share() const { return root.Sub("share"); }
  std::string State() const { return root.Sub("share.sfstate"); }
  void Reopen(size_t versions = 4) {
    store.reset();
    ServerStore::Options opt;
    opt.share = Share();
    opt.versions_kept = versions;
    ASSERT_EQ(ServerStore::Open(opt, store), 0);
  }
  StoreResult Put(const std::string& path, const std::string& content, BaseCheck check,
                  ObjectRow* out = nullptr, uint32_t mtime = 1000000) {
    std::unique_ptr<StagedFile> staged;
    EXPECT_EQ(store->NewStaged(staged), 0);
    WriteFile(staged->path(), content);
    uint64_t size = 0;
    std::string hash;
    EXPECT_EQ(staged->Finish(size, hash), 0);
    ObjectRow row;
    StoreResult r = store->PutFile(P(path), check, *staged, size, hash, mtime, "alice", row);
    if (out) *out = row;
    return r;
  }
  ObjectRow Row(const std::string& path) {
    ObjectRow row;
    EXPECT_EQ(store->Get(P(path), row), 0) << path;
    return row;
  }
  std::vector<ObjectRow> Changes(uint64_t after, size_t limit, uint64_t* to_id = nullptr) {
    std::vector<ObjectRow> rows;
    uint64_t to = 0;
    EXPECT_EQ(store->ListChanges(after, limit, rows, to), 0);
    if (to_id) *to_id = to;
    return rows;
  }
  std::string Version(const std::string& path, uint64_t id) {
    UniqueFd fd;
    if (store->OpenVersion(P(path), id, fd) != 0) return "<none>";
    return ReadFd(fd.get());
  }

  TempDir root;
  std::unique_ptr<ServerStore> store;
};

TEST_F(ServerStoreTest, PutCreatesParentsWithTheirOwnIdsAndRecordsTheFile) {
  ObjectRow row;
  ASSERT_EQ(Put("/a/b/f.txt", "hello", BaseCheck::From(0), &row), StoreResult::kOk);
  EXPECT_EQ(ReadFile(Share() + "/a/b/f.txt"), "hello");
  struct stat st;
  ASSERT_EQ(stat((Share() + "/a/b/f.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000);

  EXPECT_EQ(row.sync_id, 3u);
  EXPECT_EQ(row.size, 5u);
  EXPECT_EQ(row.hash.size(), kMD4TextLen);
  EXPECT_EQ(row.updater, "alice");
  ObjectRow a = Row("/a"), b = Row("/a/b");
  EXPECT_TRUE(a.isDir() && a.exist);
  EXPECT_EQ(a.sync_id, 1u);
  EXPECT_EQ(b.sync_id, 2u);
  EXPECT_EQ(store->LastSyncId(), 3u);

  auto rows = Changes(0, 100);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].path, "/a");
  EXPECT_EQ(rows[2].path, "/a/b/f.txt");
  EXPECT_EQ(Version("/a/b/f.txt", 3), "hello");
}

TEST_F(ServerStoreTest, BaseCheckDecidesBetweenUpdateConflictAndSameContent) {
  ObjectRow v1, v2, r;
  ASSERT_EQ(Put("/f", "one", BaseCheck::From(0), &v1), StoreResult::kOk);
  ASSERT_EQ(Put("/f", "two", BaseCheck::From(v1.sync_id), &v2), StoreResult::kOk);
  EXPECT_GT(v2.sync_id, v1.sync_id);
  // A client still on v1 conflicts, unless it brings exactly what is there.
  EXPECT_EQ(Put("/f", "three", BaseCheck::From(v1.sync_id)), StoreResult::kConflict);
  EXPECT_EQ(Put("/f", "two", BaseCheck::From(v1.sync_id), &r), StoreResult::kUnchanged);
  EXPECT_EQ(r.sync_id, v2.sync_id);
  EXPECT_EQ(Put("/f", "new", BaseCheck::From(0)), StoreResult::kConflict);
  EXPECT_EQ(ReadFile(Share() + "/f"), "two");
  EXPECT_EQ(store->LastSyncId(), v2.sync_id);
  // Changes made as another client ignore the base.
  EXPECT_EQ(Put("/f", "forced", BaseCheck::None()), StoreResult::kOk);
  EXPECT_EQ(ReadFile(Share() + "/f"), "forced");
}

TEST_F(ServerStoreTest, APathUnderAFileWaitsAndLeavesTheShareAlone) {
  ASSERT_EQ(Put("/f", "x", BaseCheck::From(0)), StoreResult::kOk);
  EXPECT_EQ(Put("/f/g/h", "y", BaseCheck::From(0)), StoreResult::kWait);
  ObjectRow out;
  EXPECT_EQ(store->MakeDir(P("/f/d"), BaseCheck::From(0), 5, "bob", out), StoreResult::kWait);
  EXPECT_EQ(ReadFile(Share() + "/f"), "x");
  EXPECT_EQ(store->LastSyncId(), 1u);
}

TEST_F(ServerStoreTest, DirectoriesAreIdempotentAndReplaceFilesOnlyFromTheirVersion) {
  ObjectRow d1, d2, f;
  ASSERT_EQ(store->MakeDir(P("/d"), BaseCheck::From(0), 77, "bob", d1), StoreResult::kOk);
  EXPECT_EQ(d1.mtime, 77u);
  ASSERT_EQ(store->MakeDir(P("/d"), BaseCheck::From(0), 88, "bob", d2), StoreResult::kUnchanged);
  EXPECT_EQ(d2.sync_id, d1.sync_id);

  ASSERT_EQ(Put("/x", "file", BaseCheck::From(0), &f), StoreResult::kOk);
  EXPECT_EQ(store->MakeDir(P("/x"), BaseCheck::From(f.sync_id - 1), 1, "bob", d2),
            StoreResult::kConflict);
  ASSERT_EQ(store->MakeDir(P("/x"), BaseCheck::From(f.sync_id), 1, "bob", d2), StoreResult::kOk);
  struct stat st;
  ASSERT_EQ(lstat((Share() + "/x").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(Version("/x", f.sync_id), "<none>");

  // A file replaces an empty directory of the client's version, never a full one.
  ObjectRow g;
  ASSERT_EQ(Put("/x", "file again", BaseCheck::From(d2.sync_id), &g), StoreResult::kOk);
  EXPECT_EQ(ReadFile(Share() + "/x"), "file again");
  ASSERT_EQ(Put("/d/inner", "i", BaseCheck::From(0)), StoreResult::kOk);
  EXPECT_EQ(Put("/d", "over", BaseCheck::From(d1.sync_id)), StoreResult::kConflict);
  EXPECT_EQ(ReadFile(Share() + "/d/inner"), "i");
}

TEST_F(ServerStoreTest, RemovalTombstonesTheTreeChildrenFirst) {
  ObjectRow d;
  ASSERT_EQ(store->MakeDir(P("/d"), BaseCheck::From(0), 1, "bob", d), StoreResult::kOk);
  ASSERT_EQ(Put("/d/a", "a", BaseCheck::From(0)), StoreResult::kOk);
  ASSERT_EQ(Put("/d/s/b", "b", BaseCheck::From(0)), StoreResult::kOk);
  uint64_t before = store->LastSyncId();

  // The client's base is the directory's own version: it may not have seen
  // the entries added since, so nothing is removed.
  EXPECT_EQ(store->Remove(P("/d"), BaseCheck::From(d.sync_id), "bob"), StoreResult::kWait);
  EXPECT_TRUE(PathExists(Share() + "/d/s/b"));
  EXPECT_EQ(store->LastSyncId(), before);
  // Nor does a base this store never handed out (a client of a reset server).
  EXPECT_EQ(store->Remove(P("/d"), BaseCheck::From(before + 500), "bob"), StoreResult::kWait);
  EXPECT_TRUE(PathExists(Share() + "/d/s/b"));

  ASSERT_EQ(store->Remove(P("/d"), BaseCheck::From(before), "bob"), StoreResult::kOk);
  EXPECT_FALSE(PathExists(Share() + "/d"));
  auto rows = Changes(before, 100);
  ASSERT_EQ(rows.size(), 4u);
  for (const auto& r : rows) EXPECT_FALSE(r.exist) << r.path;
  EXPECT_EQ(rows.back().path, "/d");
  EXPECT_EQ(rows[0].path, "/d/s/b");
  EXPECT_EQ(rows[0].hash, "");
  EXPECT_EQ(Version("/d/a", 2), "<none>");

  EXPECT_EQ(store->Remove(P("/d"), BaseCheck::None(), "bob"), StoreResult::kNoEnt);
  EXPECT_EQ(store->Remove(P("/never"), BaseCheck::None(), "bob"), StoreResult::kNoEnt);
  // A removed path can be created again.
  ObjectRow again;
  ASSERT_EQ(Put("/d/a", "back", BaseCheck::From(0), &again), StoreResult::kOk);
  EXPECT_TRUE(Row("/d").exist);
}

TEST_F(ServerStoreTest, KeepsTheNewestVersionsAndDropsOlderOnes) {
  Reopen(3);
  std::vector<ObjectRow> v(5);
  uint64_t base = 0;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(Put("/f", "content " + std::to_string(i), BaseCheck::From(base), &v[i]),
              StoreResult::kOk);
    base = v[i].sync_id;
  }
  EXPECT_EQ(Version("/f", v[0].sync_id), "<none>");
  EXPECT_EQ(Version("/f", v[1].sync_id), "<none>");
  EXPECT_EQ(Version("/f", v[2].sync_id), "content 2");
  EXPECT_EQ(Version("/f", v[4].sync_id), "content 4");
  int files = 0;
  for (int i = 0; i < 5; ++i) {
    files += PathExists(State() + "/versions/" + std::to_string(v[i].sync_id)) ? 1 : 0;
  }
  EXPECT_EQ(files, 3);
}

TEST_F(ServerStoreTest, AnOpenCurrentFileKeepsItsContentWhenReplaced) {
  ASSERT_EQ(Put("/f", "first", BaseCheck::None()), StoreResult::kOk);
  UniqueFd fd;
  ObjectRow row;
  ASSERT_EQ(store->OpenCurrent(P("/f"), fd, row), 0);
  ASSERT_EQ(Put("/f", "second, longer", BaseCheck::None()), StoreResult::kOk);
  EXPECT_EQ(ReadFd(fd.get()), "first");
  EXPECT_EQ(row.size, 5u);
  UniqueFd none;
  EXPECT_EQ(store->OpenCurrent(P("/missing"), none, row), ERR_NOENT);
}

TEST_F(ServerStoreTest, AVersionChangedBehindTheStoreIsNotOffered) {
  ObjectRow row;
  ASSERT_EQ(Put("/f", "original", BaseCheck::None(), &row), StoreResult::kOk);
  WriteFile(State() + "/versions/" + std::to_string(row.sync_id), "edited in place!");
  EXPECT_EQ(Version("/f", row.sync_id), "<none>");
}

TEST_F(ServerStoreTest, PullPagesByIdAndEndsAtTheLastId) {
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(Put("/f" + std::to_string(i), "x", BaseCheck::None()), StoreResult::kOk);
  uint64_t to = 0;
  auto page = Changes(0, 2, &to);
  ASSERT_EQ(page.size(), 2u);
  EXPECT_EQ(to, page.back().sync_id);
  page = Changes(to, 10, &to);
  EXPECT_EQ(page.size(), 3u);
  EXPECT_EQ(to, 5u);
  EXPECT_TRUE(Changes(5, 10, &to).empty());
  EXPECT_EQ(to, 5u);
  // A file changed twice appears once, with its newest id.
  ASSERT_EQ(Put("/f0", "y", BaseCheck::None()), StoreResult::kOk);
  page = Changes(0, 10, &to);
  EXPECT_EQ(page.size(), 5u);
  EXPECT_EQ(page.back().path, "/f0");
  EXPECT_EQ(to, 6u);
}

TEST_F(ServerStoreTest, ConcurrentChangesGetDistinctIdsAndAllLand) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 8; ++i) {
        std::string path = "/t" + std::to_string(t) + "/f" + std::to_string(i);
        EXPECT_EQ(Put(path, path, BaseCheck::From(0)), StoreResult::kOk);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto rows = Changes(0, 1000);
  EXPECT_EQ(rows.size(), 36u);
  std::set<uint64_t> ids;
  for (const auto& r : rows) ids.insert(r.sync_id);
  EXPECT_EQ(ids.size(), rows.size());
  EXPECT_EQ(ReadFile(Share() + "/t3/f7"), "/t3/f7");
}

// --- crash recovery ------------------------------------------------------

// Leaves the state a process killed inside PutFile would leave: an intent row,
// the version linked, and the staged file either still staged or already
// renamed into the share.
class CrashTest : public ServerStoreTest {
 protected:
  void CrashDuringPut(const std::string& path, const std::string& content, bool renamed) {
    ObjectRow before = Row(path);
    store.reset();
    KilledMidChange(path, content, renamed, 1);
    old_id = before.sync_id;
  }
  // What a process killed between its intent and its final commit leaves:
  // the intent, the kept version, and the staged file (unless renamed).
  void KilledMidChange(const std::string& path, const std::string& content, bool renamed,
                       int stage) {
    std::string dead = State() + "/work/999999.1";
    mkdir(dead.c_str(), 0700);
    std::string staged = dead + "/stage." + std::to_string(stage);
    WriteFile(staged, content);
    MetaDb db;
    ASSERT_EQ(db.Open(State() + "/meta.sqlite"), 0);
    ASSERT_EQ(db.Begin(), 0);
    PendingRow p;
    ASSERT_EQ(db.NextSyncId(p.object.sync_id), 0);
    p.object.path = path;
    p.object.exist = true;
    p.object.size = content.size();
    p.object.mtime = 4242;
    std::wstring hash;
    ASSERT_EQ(RSCalcMD4Text(Utf8ToWideLossy(staged), hash), 0);
    p.object.hash = WideToUtf8Lossy(hash);
    p.object.updater = "crashed";
    p.staged = staged;
    ASSERT_EQ(db.AddPending(p), 0);
    ASSERT_EQ(db.Commit(), 0);
    struct timespec t[2] = {{4242, 0}, {4242, 0}};
    utimensat(AT_FDCWD, staged.c_str(), t, 0);
    std::string version = State() + "/versions/" + std::to_string(p.object.sync_id);
    ASSERT_EQ(link(staged.c_str(), version.c_str()), 0);
    if (renamed) {
      ASSERT_EQ(rename(staged.c_str(), (Share() + path).c_str()), 0);
    }
    crashed_id = p.object.sync_id;
  }
  uint64_t crashed_id = 0, old_id = 0;
};

TEST_F(CrashTest, UnrenamedUploadIsRolledBackAndItsLeftoversRemoved) {
  ASSERT_EQ(Put("/f", "old", BaseCheck::None()), StoreResult::kOk);
  CrashDuringPut("/f", "half done", false);
  Reopen();
  EXPECT_EQ(ReadFile(Share() + "/f"), "old");
  EXPECT_EQ(Row("/f").sync_id, old_id);
  EXPECT_FALSE(PathExists(State() + "/work/999999.1"));
  EXPECT_FALSE(PathExists(State() + "/versions/" + std::to_string(crashed_id)));
  // The reserved id is not handed out twice.
  ObjectRow next;
  ASSERT_EQ(Put("/g", "g", BaseCheck::None(), &next), StoreResult::kOk);
  EXPECT_GT(next.sync_id, crashed_id);
}

TEST_F(CrashTest, RenamedUploadIsCompletedInTheMetadata) {
  ASSERT_EQ(Put("/f", "old", BaseCheck::None()), StoreResult::kOk);
  CrashDuringPut("/f", "new content", true);
  Reopen();
  ObjectRow row = Row("/f");
  EXPECT_EQ(row.sync_id, crashed_id);
  EXPECT_EQ(row.size, 11u);
  EXPECT_EQ(row.updater, "crashed");
  EXPECT_EQ(ReadFile(Share() + "/f"), "new content");
  EXPECT_EQ(Version("/f", crashed_id), "new content");
  EXPECT_EQ(Version("/f", old_id), "old");
}

TEST_F(CrashTest, PullNeverMovesPastAChangeStillInFlight) {
  ASSERT_EQ(Put("/f", "old", BaseCheck::None()), StoreResult::kOk);
  // Another process has reserved the next id and not yet written its row.
  MetaDb other;
  ASSERT_EQ(other.Open(State() + "/meta.sqlite"), 0);
  ASSERT_EQ(other.Begin(), 0);
  PendingRow p;
  ASSERT_EQ(other.NextSyncId(p.object.sync_id), 0);
  p.object.path = "/g";
  p.staged = State() + "/nowhere";
  ASSERT_EQ(other.AddPending(p), 0);
  ASSERT_EQ(other.Commit(), 0);
  // It holds the change lock until its final commit.
  UniqueFd lock(open((State() + "/lock").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(lock.valid());
  ASSERT_EQ(flock(lock.get(), LOCK_EX), 0);
  uint64_t to = 0;
  Changes(0, 100, &to);
  EXPECT_EQ(to, p.object.sync_id - 1);
  ObjectRow none;
  EXPECT_EQ(store->Get(P("/g"), none), ERR_NOENT);
}

TEST_F(CrashTest, AnIntentOfAKilledProcessIsSettledByTheNextPull) {
  ASSERT_EQ(Put("/f", "old", BaseCheck::None()), StoreResult::kOk);
  // A hook command killed after renaming its file, another before; the
  // running server keeps changing the share meanwhile.
  KilledMidChange("/g", "renamed", true, 1);
  uint64_t renamed_id = crashed_id;
  KilledMidChange("/k", "never placed", false, 2);
  uint64_t dropped_id = crashed_id;
  KilledMidChange("/f", "overwritten later", true, 3);
  uint64_t superseded_id = crashed_id;
  ObjectRow later, f;
  ASSERT_EQ(Put("/f", "the server's", BaseCheck::None(), &f), StoreResult::kOk);
  ASSERT_EQ(Put("/h", "later", BaseCheck::None(), &later), StoreResult::kOk);

  uint64_t to = 0;
  std::vector<ObjectRow> rows = Changes(0, 100, &to);
  EXPECT_EQ(to, later.sync_id);
  std::set<std::string> paths;
  for (const ObjectRow& r : rows) paths.insert(r.path);
  EXPECT_EQ(paths, (std::set<std::string>{"/f", "/g", "/h"}));
  ObjectRow g = Row("/g");
  EXPECT_EQ(g.sync_id, renamed_id);
  EXPECT_EQ(g.updater, "crashed");
  EXPECT_EQ(Version("/g", renamed_id), "renamed");
  ObjectRow none;
  EXPECT_EQ(store->Get(P("/k"), none), ERR_NOENT);
  EXPECT_FALSE(PathExists(Share() + "/k"));
  EXPECT_FALSE(PathExists(State() + "/versions/" + std::to_string(dropped_id)));
  // The change that came after the killed one stays the recorded one.
  EXPECT_EQ(Row("/f").sync_id, f.sync_id);
  EXPECT_EQ(ReadFile(Share() + "/f"), "the server's");
  EXPECT_FALSE(PathExists(State() + "/versions/" + std::to_string(superseded_id)));
  EXPECT_FALSE(PathExists(State() + "/work/999999.1"));
}

TEST_F(ServerStoreTest, AStateDirectoryOnAnotherFileSystemIsRefused) {
  char tmpl[] = "/dev/shm/sf-state-XXXXXX";
  struct stat a, b;
  if (stat(Share().c_str(), &a) != 0 || !mkdtemp(tmpl)) {
    GTEST_SKIP() << "no second file system to place the state on";
  }
  std::string elsewhere = tmpl;
  if (stat(elsewhere.c_str(), &b) != 0 || a.st_dev == b.st_dev) {
    sftest::RemoveTree(elsewhere);
    GTEST_SKIP() << "no second file system to place the state on";
  }
  ServerStore::Options opt;
  opt.share = Share();
  opt.state = elsewhere + "/state";
  std::unique_ptr<ServerStore> other;
  EXPECT_EQ(ServerStore::Open(opt, other), ERR_INVAL);
  EXPECT_EQ(other, nullptr);
  sftest::RemoveTree(elsewhere);
}

TEST_F(CrashTest, ReconcileAdoptsChangesMadeToTheShareWhileStopped) {
  ObjectRow keep, edit;
  ASSERT_EQ(Put("/keep", "same", BaseCheck::None(), &keep), StoreResult::kOk);
  ASSERT_EQ(Put("/edit", "before", BaseCheck::None(), &edit), StoreResult::kOk);
  ASSERT_EQ(Put("/gone/x", "x", BaseCheck::None()), StoreResult::kOk);
  store.reset();
  WriteFile(Share() + "/edit", "after the edit");
  WriteFile(Share() + "/added", "added");
  mkdir((Share() + "/newdir").c_str(), 0755);
  sftest::RemoveTree(Share() + "/gone");
  ASSERT_EQ(symlink("/etc", (Share() + "/escape").c_str()), 0);
  WriteFile(Share() + "/back\\slash", "not a name a client can use");
  Reopen();

  EXPECT_EQ(Row("/keep").sync_id, keep.sync_id);
  ObjectRow e = Row("/edit");
  EXPECT_GT(e.sync_id, edit.sync_id);
  EXPECT_EQ(e.size, 14u);
  EXPECT_EQ(e.updater, "server");
  EXPECT_TRUE(Row("/added").exist);
  EXPECT_TRUE(Row("/newdir").isDir());
  EXPECT_FALSE(Row("/gone").exist);
  EXPECT_FALSE(Row("/gone/x").exist);
  ObjectRow none;
  SharePath esc = P("/escape");
  EXPECT_EQ(store->Get(esc, none), ERR_NOENT);
  // A second open finds nothing more to do.
  uint64_t last = store->LastSyncId();
  Reopen();
  EXPECT_EQ(store->LastSyncId(), last);
}

TEST_F(CrashTest, ALiveStoresWorkAreaIsLeftAlone) {
  std::unique_ptr<StagedFile> staged;
  ASSERT_EQ(store->NewStaged(staged), 0);
  WriteFile(staged->path(), "in progress");
  ServerStore::Options opt;
  opt.share = Share();
  opt.reconcile = false;
  std::unique_ptr<ServerStore> second;
  ASSERT_EQ(ServerStore::Open(opt, second), 0);
  EXPECT_EQ(ReadFile(staged->path()), "in progress");
  // Changes from the second instance are seen by the first.
  std::unique_ptr<StagedFile> s2;
  ASSERT_EQ(second->NewStaged(s2), 0);
  WriteFile(s2->path(), "from hook");
  uint64_t size;
  std::string hash;
  ASSERT_EQ(s2->Finish(size, hash), 0);
  ObjectRow row;
  ASSERT_EQ(second->PutFile(P("/hook"), BaseCheck::None(), *s2, size, hash, 1, "hook", row),
            StoreResult::kOk);
  EXPECT_EQ(Row("/hook").sync_id, row.sync_id);
  EXPECT_EQ(store->LastSyncId(), row.sync_id);
}

}  // namespace
