// Starts the real daemon and inspects its three database files from the
// outside, as the user interface and file managers do.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <string>
#include <vector>

#include "fakes/daemon-runner.h"
#include "lib/base/sqlite-util.h"

namespace {

// Reads from an existing file only (opening a missing one would create it
// under the daemon's feet); the busy timeout makes a read during a daemon
// write wait instead of failing.
std::vector<std::vector<std::string>> Query(const std::string& file, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite_util::Db db;
  if (!sftest::PathExists(file) || db.OpenShared(file) != SQLITE_OK) return rows;
  sqlite_util::Stmt st;
  if (st.Prepare(db.get(), sql) != SQLITE_OK) return rows;
  while (st.Step() == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int c = 0; c < st.ColumnCount(); ++c) row.push_back(st.ColumnText(c));
    rows.push_back(row);
  }
  return rows;
}

using Rows = std::vector<std::vector<std::string>>;

TEST(DatabaseBlackBoxTest, DaemonPublishesItsStateAndStopsCleanly) {
  sftest::DaemonSandbox box;
  box.WriteConfig();
  const std::string watchDb = box.DbDir() + "/watch-info.sqlite";
  const std::string statusDb = box.DbDir() + "/file-status.sqlite";
  const std::string eventDb = box.DbDir() + "/event-db.sqlite";

  // A previous run that died while files were syncing.
  {
    sqlite_util::Db db;
    ASSERT_EQ(db.Open(statusDb), SQLITE_OK);
    ASSERT_EQ(db.Exec("CREATE TABLE fstatinfo (id INTEGER PRIMARY KEY AUTOINCREMENT, path text "
                      "unique NOT NULL, fileType integer NOT NULL, syncStatus integer NOT NULL);"
                      "INSERT INTO fstatinfo (path, fileType, syncStatus) VALUES ('/left', 0, 2);"
                      "INSERT INTO fstatinfo (path, fileType, syncStatus) VALUES ('/odd', 0, 3);"),
              SQLITE_OK);
  }

  sftest::ChildProcess daemon;
  ASSERT_TRUE(box.StartDaemon(daemon));
  const std::string watchQuery = "SELECT watchpath, daestatus FROM watchinfo";
  ASSERT_TRUE(sftest::WaitFor([&] {
    return Query(watchDb, watchQuery) == Rows{{box.Root(), "1"}} || !daemon.Running();
  }));
  ASSERT_TRUE(daemon.Running()) << "exit " << daemon.Wait() << ": "
                                << sftest::ReadFile(box.OutputFile());
  EXPECT_EQ(Query(watchDb, watchQuery), (Rows{{box.Root(), "1"}}));

  // The status database keeps nothing marked syncing across a restart.
  EXPECT_EQ(Query(statusDb, "SELECT path, syncStatus FROM fstatinfo ORDER BY path"),
            (Rows{{"/left", "1"}, {"/odd", "3"}}));

  // The event database is there with its schema and its starting cursor.
  ASSERT_TRUE(sftest::WaitFor([&] {
    return !Query(eventDb, "SELECT value FROM config_table WHERE key = 'sync_id'").empty();
  }));
  EXPECT_EQ(Query(eventDb, "SELECT key, value FROM config_table ORDER BY key"),
            (Rows{{"sync_id", "0"}, {"version", "2"}}));
  EXPECT_EQ(Query(eventDb, "SELECT typeof(value) FROM config_table WHERE key = 'version'"),
            (Rows{{"text"}}));
  EXPECT_EQ(Query(eventDb, "SELECT count(*) FROM pragma_table_info('eventinfo')"), (Rows{{"18"}}));
  EXPECT_EQ(Query(eventDb, "SELECT name FROM sqlite_master WHERE type = 'trigger'"),
            (Rows{{"eventinfo_delete_trigger"}}));
  EXPECT_EQ(Query(eventDb,
                  "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name LIKE "
                  "'eventinfo\\_%' ESCAPE '\\'"),
            (Rows{{"5"}}));  // the design's four, and the one on inode
  EXPECT_TRUE(sftest::PathExists(box.DbDir() + "/sign"));

  ASSERT_TRUE(daemon.WriteStdin(std::string(1, '\x01')));
  EXPECT_EQ(daemon.Wait(), 0) << sftest::ReadFile(box.OutputFile());
  // After an orderly stop other programs must not see the daemon as running.
  EXPECT_EQ(Query(watchDb, watchQuery), (Rows{{box.Root(), "3"}}));
}

}  // namespace
