// The daemon's databases locked by another program, deleted, or corrupted
// while it runs. No user file is lost or changed, and once the daemon runs
// again (restarted where it had to stop) every side converges and its
// event database agrees with its disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>

#include "fakes/sync-cluster.h"

namespace {

using sftest::SyncCluster;

constexpr auto kConverge = std::chrono::seconds(150);

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

// Writes files /<prefix>N (N < count) on `root`, noting each version.
void MakeFiles(const std::string& root, const std::string& prefix, int count, uint32_t seed,
               sftest::Versions& written) {
  // Each file appears whole (written beside the root, then moved in): a
  // client that sees it half written sends that state too, which is no
  // version this test wrote, and with its database gone a later start keeps
  // the share's copy at the path and the whole one as a conflict copy.
  const std::string stage = root + "/../stage-" + prefix;
  for (int i = 0; i < count; ++i) {
    const std::string p = "/" + prefix + std::to_string(i);
    written[p].push_back(Pattern(1000 + i * 37, seed + i));
    sftest::WriteFile(stage, written[p].back());
    ASSERT_EQ(::rename(stage.c_str(), (root + p).c_str()), 0) << p;
  }
}

// Holds an exclusive lock on a database file, as another program could.
class Locker {
 public:
  explicit Locker(const std::string& path) {
    sqlite3_open(path.c_str(), &m_db);
    sqlite3_busy_timeout(m_db, 30000);
    m_ok = sqlite3_exec(m_db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Locker() {
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(m_db);
  }
  bool ok() const { return m_ok; }

 private:
  sqlite3* m_db = nullptr;
  bool m_ok = false;
};

class DatabaseFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SF_WHOLE_SYSTEM_TEST();
    ASSERT_TRUE(c.StartServer());
    ASSERT_TRUE(c.StartClient(0));
    ASSERT_TRUE(c.StartClient(1));
    MakeFiles(c.Root(0), "before", 20, 1, written);
    ASSERT_TRUE(c.WaitConverged(kConverge));
  }
  std::string Db(size_t i, const char* name) { return c.client(i).box.DbDir() + "/" + name; }

  SyncCluster c{2};
  sftest::Versions written;
};

TEST_F(DatabaseFaultTest, DatabasesLockedByAnotherProgramOnlyDelaySyncing) {
  {
    Locker events(Db(0, "event-db.sqlite"));
    Locker status(Db(0, "file-status.sqlite"));
    ASSERT_TRUE(events.ok() && status.ok());
    MakeFiles(c.Root(0), "while-locked", 10, 100, written);
    MakeFiles(c.Root(1), "from-b", 10, 200, written);
    // Client 0 has to wait for its databases while client 1's files reach
    // the share and are announced to it.
    ASSERT_TRUE(sftest::WaitFor([&] { return sftest::PathExists(c.Share() + "/from-b9"); },
                                std::chrono::seconds(90)));
    EXPECT_TRUE(c.ClientRunning(0)) << c.LogTails();
  }
  ASSERT_TRUE(c.WaitConverged(kConverge));
  EXPECT_EQ(sftest::CheckVersions(sftest::ReadTree(c.Root(0)), written), "");
}

TEST_F(DatabaseFaultTest, EventDatabaseDeletedWhileRunningLosesNoFile) {
  for (const char* f : {"event-db.sqlite", "event-db.sqlite-journal", "event-db.sqlite-wal"})
    ::unlink(Db(0, f).c_str());
  MakeFiles(c.Root(0), "after-delete", 10, 300, written);
  written["/before3"].push_back("changed after the delete");
  sftest::WriteFile(c.Root(0) + "/before3", written["/before3"].back());
  // It may go on with the unlinked file; a restart starts from an empty
  // database and merges with the server. Without a record of what was
  // synced, a changed file may be kept as a conflict copy: both versions
  // survive.
  c.StopClient(0);
  ASSERT_TRUE(c.StartClient(0));
  ASSERT_TRUE(c.WaitConverged(kConverge));
  EXPECT_EQ(sftest::CheckVersions(sftest::ReadTree(c.Root(0)), written), "");
}

TEST_F(DatabaseFaultTest, CorruptedEventDatabaseLosesNoFileAndStopsStartUpUntilReplaced) {
  // Garbage over everything past the headers, of the database and of the
  // log that holds its latest pages.
  for (const char* name : {"event-db.sqlite", "event-db.sqlite-wal"}) {
    const int fd = ::open(Db(0, name).c_str(), O_WRONLY);
    if (fd < 0 && errno == ENOENT && std::string(name) != "event-db.sqlite") continue;
    ASSERT_GE(fd, 0) << name;
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    const size_t skip = std::min<size_t>(100, static_cast<size_t>(st.st_size));
    const std::string junk = Pattern(static_cast<size_t>(st.st_size), 9);
    ASSERT_EQ(pwrite(fd, junk.data() + skip, junk.size() - skip, static_cast<off_t>(skip)),
              static_cast<ssize_t>(junk.size() - skip));
    ::close(fd);
  }
  MakeFiles(c.Root(0), "after-corrupt", 10, 400, written);
  const sftest::Versions own = written;  // what client 0 holds itself
  MakeFiles(c.Root(1), "from-b", 5, 500, written);
  ASSERT_TRUE(sftest::WaitFor([&] { return sftest::PathExists(c.Share() + "/from-b4"); },
                              std::chrono::seconds(90)));
  // Running on the broken database, it took no file with it.
  auto own_files = [&] {
    sftest::Tree t = sftest::ReadTree(c.Root(0));
    for (auto it = t.begin(); it != t.end();)
      it = it->first.rfind("/from-b", 0) == 0 ? t.erase(it) : std::next(it);
    return t;
  };
  EXPECT_EQ(sftest::CheckVersions(own_files(), own), "");
  c.StopClient(0);
  // It refuses to start on a database it cannot read, and says why...
  sftest::ChildProcess again;
  ASSERT_TRUE(c.client(0).box.StartDaemon(again));
  EXPECT_EQ(again.Wait(std::chrono::seconds(60)), 5);
  EXPECT_NE(c.client(0).box.ReadLog().find("cannot open the file event database"),
            std::string::npos);
  EXPECT_EQ(sftest::CheckVersions(own_files(), own), "");
  // ... and once the user has moved it away, it merges and converges.
  ASSERT_EQ(::rename(Db(0, "event-db.sqlite").c_str(), Db(0, "event-db.sqlite.broken").c_str()), 0);
  ASSERT_TRUE(c.StartClient(0));
  ASSERT_TRUE(c.WaitConverged(kConverge));
  EXPECT_EQ(sftest::CheckVersions(sftest::ReadTree(c.Root(0)), written), "");
  EXPECT_EQ(sftest::CheckVersions(sftest::ReadTree(c.Root(1)), written), "");
}

}  // namespace
