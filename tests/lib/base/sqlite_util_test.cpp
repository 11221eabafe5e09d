#include <gtest/gtest.h>

#include <vector>

#include "fakes/test-util.h"
#include "lib/base/sqlite-util.h"

namespace {

using sqlite_util::Db;
using sqlite_util::Stmt;

class SqliteUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(m_db.Open(m_dir.Sub("t.sqlite")), SQLITE_OK);
    ASSERT_EQ(m_db.Exec("CREATE TABLE t (v NUMERIC, path text);"), SQLITE_OK);
  }
  void InsertU64(uint64_t v) {
    Stmt st;
    ASSERT_EQ(st.Prepare(m_db.get(), "INSERT INTO t (v) VALUES (?)"), SQLITE_OK);
    ASSERT_EQ(st.BindU64(1, v), SQLITE_OK);
    ASSERT_EQ(st.Step(), SQLITE_DONE);
  }
  void InsertPath(const std::string& p) {
    Stmt st;
    ASSERT_EQ(st.Prepare(m_db.get(), "INSERT INTO t (path) VALUES (?)"), SQLITE_OK);
    st.BindText(1, p);
    ASSERT_EQ(st.Step(), SQLITE_DONE);
  }
  std::vector<uint64_t> Query(const char* sql, uint64_t bound) {
    std::vector<uint64_t> out;
    Stmt st;
    EXPECT_EQ(st.Prepare(m_db.get(), sql), SQLITE_OK);
    st.BindU64(1, bound);
    while (st.Step() == SQLITE_ROW) out.push_back(st.ColumnU64(0));
    return out;
  }

  sftest::TempDir m_dir;
  Db m_db;
};

TEST_F(SqliteUtilTest, UnsignedValuesRoundTripAndKeepNumericOrder) {
  const uint64_t big = 1ull << 63;
  const std::vector<uint64_t> values = {UINT64_MAX, 7, big, INT64_MAX, 0, big + 1};
  for (uint64_t v : values) InsertU64(v);

  EXPECT_EQ(Query("SELECT v FROM t WHERE v IS NOT NULL ORDER BY v", 0),
            (std::vector<uint64_t>{0, 7, INT64_MAX, big, big + 1, UINT64_MAX}));
  EXPECT_EQ(Query("SELECT max(v) FROM t WHERE v >= ?", 0), (std::vector<uint64_t>{UINT64_MAX}));
  EXPECT_EQ(Query("SELECT v FROM t WHERE v <= ? ORDER BY v", big),
            (std::vector<uint64_t>{0, 7, INT64_MAX, big}));
  EXPECT_EQ(Query("SELECT v FROM t WHERE v > ? ORDER BY v", 7),
            (std::vector<uint64_t>{INT64_MAX, big, big + 1, UINT64_MAX}));
}

TEST_F(SqliteUtilTest, NumbersStoredByOtherWritersStillRead) {
  ASSERT_EQ(m_db.Exec("INSERT INTO t (v) VALUES ('42'); INSERT INTO t (v) VALUES (NULL);"
                      "CREATE TABLE s (v VARCHAR); INSERT INTO s VALUES ('18446744073709551615');"
                      "INSERT INTO s VALUES ('12x');"),
            SQLITE_OK);
  EXPECT_EQ(Query("SELECT v FROM t ORDER BY v IS NULL", 0), (std::vector<uint64_t>{42, 0}));
  EXPECT_EQ(Query("SELECT v FROM s ORDER BY rowid", 0), (std::vector<uint64_t>{UINT64_MAX, 0}));

  uint64_t v = 1;
  EXPECT_TRUE(sqlite_util::ParseU64("18446744073709551615", v));
  EXPECT_EQ(v, UINT64_MAX);
  EXPECT_FALSE(sqlite_util::ParseU64("18446744073709551616", v));
  EXPECT_FALSE(sqlite_util::ParseU64("-1", v));
  EXPECT_FALSE(sqlite_util::ParseU64(" 1", v));
  EXPECT_FALSE(sqlite_util::ParseU64("", v));
  EXPECT_EQ(v, UINT64_MAX);
}

TEST_F(SqliteUtilTest, SubtreeRangeMatchesOnlyRowsBelowThePrefix) {
  for (const char* p : {"a", "a/b", "a/b/c", "a/", "ab", "a0", "a.b", "a-b", "a[b", "b/a", "A/b"})
    InsertPath(p);
  const auto r = sqlite_util::BelowPrefix("a", '/');
  Stmt st;
  ASSERT_EQ(st.Prepare(m_db.get(), "SELECT path FROM t WHERE path >= ? AND path < ? ORDER BY path"),
            SQLITE_OK);
  st.BindText(1, r.lo);
  st.BindText(2, r.hi);
  std::vector<std::string> got;
  while (st.Step() == SQLITE_ROW) got.push_back(st.ColumnText(0));
  EXPECT_EQ(got, (std::vector<std::string>{"a/", "a/b", "a/b/c"}));
}

TEST(SqliteUtilFieldTest, OverLongOrUnconvertibleTextIsRefusedNotTruncated) {
  std::string out = "keep";
  EXPECT_TRUE(sqlite_util::ToUtf8Field(std::wstring(1023, L'x'), 1024, out));
  EXPECT_EQ(out.size(), 1023u);

  out = "keep";
  EXPECT_FALSE(sqlite_util::ToUtf8Field(std::wstring(1024, L'x'), 1024, out));
  // 341 three-byte characters are 1023 bytes; one more ASCII byte is too many.
  EXPECT_TRUE(sqlite_util::ToUtf8Field(std::wstring(341, L'\u20ac'), 1024, out));
  out = "keep";
  EXPECT_FALSE(sqlite_util::ToUtf8Field(std::wstring(341, L'\u20ac') + L"x", 1024, out));
  EXPECT_FALSE(sqlite_util::ToUtf8Field(std::wstring(L"a\0b", 3), 1024, out));
  EXPECT_FALSE(sqlite_util::ToUtf8Field(std::wstring(1, static_cast<wchar_t>(0xD800)), 1024, out));
  EXPECT_EQ(out, "keep");
}

TEST_F(SqliteUtilTest, UncommittedTransactionRollsBackAndLeavesNoneOpen) {
  {
    sqlite_util::Transaction tx(m_db);
    ASSERT_TRUE(tx.ok());
    InsertPath("gone");
  }
  EXPECT_TRUE(sqlite3_get_autocommit(m_db.get()));
  EXPECT_EQ(Query("SELECT count(*) FROM t", 0), (std::vector<uint64_t>{0}));
  {
    sqlite_util::Transaction tx(m_db);
    InsertPath("kept");
    EXPECT_EQ(tx.Commit(), SQLITE_OK);
  }
  EXPECT_EQ(Query("SELECT count(*) FROM t", 0), (std::vector<uint64_t>{1}));
}

// A statement taken from the connection's cache behaves as a fresh one: no
// binding, row or error of its last use shows, two uses of one text at a
// time are two statements, and a changed schema is seen.
TEST_F(SqliteUtilTest, CachedStatementsComeBackClean) {
  InsertPath("a");
  InsertPath("b");
  const std::string sql = "SELECT count(*) FROM t WHERE path = ?1 OR ?1 IS NULL";
  auto count = [&](const char* path) {
    Stmt st;
    EXPECT_EQ(st.PrepareCached(m_db, sql), SQLITE_OK);
    if (path) st.BindText(1, path);
    EXPECT_EQ(st.Step(), SQLITE_ROW);
    return st.ColumnInt64(0);
  };
  EXPECT_EQ(count("a"), 1);
  EXPECT_EQ(count(nullptr), 2) << "the last use's binding is still there";
  {
    Stmt outer, inner;
    ASSERT_EQ(outer.PrepareCached(m_db, sql), SQLITE_OK);
    ASSERT_EQ(inner.PrepareCached(m_db, sql), SQLITE_OK);
    EXPECT_NE(outer.get(), inner.get());
    outer.BindText(1, "a");
    ASSERT_EQ(outer.Step(), SQLITE_ROW);
    ASSERT_EQ(inner.Step(), SQLITE_ROW);
    EXPECT_EQ(outer.ColumnInt64(0), 1);
    EXPECT_EQ(inner.ColumnInt64(0), 2);
  }
  {
    Stmt bad;
    ASSERT_EQ(bad.PrepareCached(m_db, "INSERT INTO t (v, path) VALUES (1, 'x')"), SQLITE_OK);
    ASSERT_EQ(bad.Step(), SQLITE_DONE);
  }
  ASSERT_EQ(m_db.Exec("CREATE UNIQUE INDEX one_v ON t (v);"), SQLITE_OK);
  {
    Stmt again;
    ASSERT_EQ(again.PrepareCached(m_db, "INSERT INTO t (v, path) VALUES (1, 'x')"), SQLITE_OK);
    EXPECT_EQ(again.Step(), SQLITE_CONSTRAINT);
  }
  EXPECT_EQ(count(nullptr), 3) << "a failed use broke the cached statement";
  // The cache goes with the connection: a statement of the closed one
  // would be used after it was freed.
  m_db.Close();
  EXPECT_FALSE(m_db.IsOpen());
  ASSERT_EQ(m_db.Open(m_dir.Sub("t.sqlite")), SQLITE_OK);
  EXPECT_EQ(count(nullptr), 3);
}

TEST_F(SqliteUtilTest, PrepareRefusesTrailingStatementsAndEmptyPathIsNotOpened) {
  Stmt st;
  EXPECT_EQ(st.Prepare(m_db.get(), "SELECT 1; DELETE FROM t"), SQLITE_MISUSE);
  EXPECT_EQ(st.Prepare(m_db.get(), "SELECT 1; "), SQLITE_OK);
  Db other;
  EXPECT_EQ(other.Open(""), SQLITE_CANTOPEN);
  EXPECT_FALSE(other.IsOpen());
}

}  // namespace
