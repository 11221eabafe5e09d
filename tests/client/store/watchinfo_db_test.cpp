#include <gtest/gtest.h>

#include <map>

#include "client/store/watchinfo-db.h"
#include "fakes/test-util.h"
#include "lib/base/sqlite-util.h"

namespace {

class WatchInfoDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = m_dir.Sub("watch-info.sqlite");
    ASSERT_EQ(WatchInfoDB::initialize(std::wstring(m_path.begin(), m_path.end())), 0);
  }
  std::map<std::string, int> Rows() {
    sqlite_util::Db db;
    EXPECT_EQ(db.Open(m_path), SQLITE_OK);
    sqlite_util::Stmt st;
    EXPECT_EQ(st.Prepare(db.get(), "SELECT watchpath, daestatus FROM watchinfo"), SQLITE_OK);
    std::map<std::string, int> rows;
    while (st.Step() == SQLITE_ROW) rows[st.ColumnText(0)] = static_cast<int>(st.ColumnInt64(1));
    return rows;
  }

  sftest::TempDir m_dir;
  std::string m_path;
};

TEST_F(WatchInfoDBTest, StartUpPublishesTheRootAsRunning) {
  WatchInfo info;
  EXPECT_EQ(WatchInfoDB::getWatchInfo(&info), -1);  // empty table
  ASSERT_EQ(WatchInfoDB::setWatchPath(L"/home/u/Sync \u00e9t\u00e9"), 0);
  ASSERT_EQ(WatchInfoDB::updateDaemonStatus(DAE_STAT_RUNING), 0);
  ASSERT_EQ(WatchInfoDB::getWatchInfo(&info), 0);
  EXPECT_EQ(info.watchPath, L"/home/u/Sync \u00e9t\u00e9");
  EXPECT_EQ(info.daeStatus, DAE_STAT_RUNING);

  ASSERT_EQ(WatchInfoDB::updateDaemonStatus(DAE_STAT_STOPING), 0);
  ASSERT_EQ(WatchInfoDB::getWatchInfo(&info), 0);
  EXPECT_EQ(info.daeStatus, DAE_STAT_STOPING);
  EXPECT_EQ(WatchInfoDB::getWatchInfo(nullptr), -1);
}

TEST_F(WatchInfoDBTest, SameRootKeepsOneRowAnotherRootAddsOne) {
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(WatchInfoDB::initialize(std::wstring(m_path.begin(), m_path.end())), 0);
    ASSERT_EQ(WatchInfoDB::setWatchPath(L"/r/one"), 0);
    ASSERT_EQ(WatchInfoDB::updateDaemonStatus(DAE_STAT_RUNING), 0);
  }
  EXPECT_EQ(Rows(), (std::map<std::string, int>{{"/r/one", 1}}));
  ASSERT_EQ(WatchInfoDB::setWatchPath(L"/r/it's"), 0);
  EXPECT_EQ(Rows(), (std::map<std::string, int>{{"/r/one", 1}, {"/r/it's", 0}}));
  ASSERT_EQ(WatchInfoDB::updateDaemonStatus(DAE_STAT_RUNING), 0);
  EXPECT_EQ(Rows(), (std::map<std::string, int>{{"/r/one", 1}, {"/r/it's", 1}}));
}

TEST_F(WatchInfoDBTest, UnstorableInputIsRefused) {
  EXPECT_EQ(WatchInfoDB::setWatchPath(std::wstring(1040, L'a')), -1);
  EXPECT_EQ(WatchInfoDB::setWatchPath(std::wstring(L"a\0b", 3)), -1);
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(WatchInfoDB::initialize(L""), -1);
  EXPECT_EQ(WatchInfoDB::initialize(std::wstring(600, L'p')), -1);
}

}  // namespace
