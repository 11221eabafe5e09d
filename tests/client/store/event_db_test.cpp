#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include "client/store/event-db.h"
#include "client/store/flist.h"
#include "client/store/sign-mgr.h"
#include "fakes/test-util.h"
#include "lib/base/sqlite-util.h"

namespace {

std::wstring W(const std::string& s) {
  return std::wstring(s.begin(), s.end());
}

ClientFileEventInfo Row(const std::wstring& path, uint64_t syncID, int type = EV_FILE_TYPE,
                        int exists = 1) {
  ClientFileEventInfo r;
  r.path = path;
  r.syncID = syncID;
  r.fileType = type;
  r.isExist = exists;
  r.fileSize = type == EV_FILE_TYPE ? 10 : 0;
  r.fileModTime = 1000;
  r.fileCheckSum = type == EV_FILE_TYPE ? L"0123456789abcdef0123456789abcdef" : L"";
  r.baseName = path.substr(path.rfind(L'/') + 1);
  r.updateClient = L"me@host";
  return r;
}

class FileEventDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dbPath = m_dir.Sub("event-db.sqlite");
    ASSERT_EQ(SignMgr::initialize(m_dir.wpath()), 0);
    ASSERT_EQ(FileEventDB::initialize(W(m_dbPath)), 0);
  }
  void TearDown() override { FileEventDB::destroy(); }

  void Put(const ClientFileEventInfo& r) {
    ASSERT_EQ(FileEventDB::setEventInfo(r), 0) << r.path.size();
  }

  // path -> (syncID, isExist) of every row, read with a separate connection.
  std::map<std::string, std::pair<uint64_t, int>> Rows() {
    sqlite_util::Db db;
    EXPECT_EQ(db.Open(m_dbPath), SQLITE_OK);
    sqlite_util::Stmt st;
    EXPECT_EQ(st.Prepare(db.get(), "SELECT path, syncID, isExist FROM eventinfo"), SQLITE_OK);
    std::map<std::string, std::pair<uint64_t, int>> rows;
    while (st.Step() == SQLITE_ROW)
      rows[st.ColumnText(0)] = {st.ColumnU64(1), static_cast<int>(st.ColumnInt64(2))};
    return rows;
  }
  std::string MakeSignature(const std::string& name) {
    const std::string p = m_dir.Sub(name);
    sftest::WriteFile(p, "signature");
    return p;
  }

  sftest::TempDir m_dir;
  std::string m_dbPath;
};

TEST_F(FileEventDBTest, FreshDatabaseHasTheSchemaAndStartsAtSyncIdZero) {
  sqlite_util::Db db;
  ASSERT_EQ(db.Open(m_dbPath), SQLITE_OK);
  sqlite_util::Stmt st;
  ASSERT_EQ(st.Prepare(db.get(), "SELECT name FROM pragma_table_info('eventinfo') ORDER BY cid"),
            SQLITE_OK);
  std::vector<std::string> cols;
  while (st.Step() == SQLITE_ROW) cols.push_back(st.ColumnText(0));
  EXPECT_EQ(cols, (std::vector<std::string>{
                      "id", "fileType", "isExist", "syncID", "pDirID", "fileSize", "fileModTime",
                      "fileCheckSum", "baseName", "path", "filePrivilege", "updateClient",
                      "signPath", "macHash", "windowsHash", "linuxHash", "zentHash", "inode"}));
  ASSERT_EQ(st.Prepare(db.get(),
                       "SELECT name FROM sqlite_master WHERE type IN ('index','trigger') "
                       "AND name NOT LIKE 'sqlite_autoindex%' ORDER BY name"),
            SQLITE_OK);
  std::vector<std::string> objs;
  while (st.Step() == SQLITE_ROW) objs.push_back(st.ColumnText(0));
  EXPECT_EQ(objs, (std::vector<std::string>{"eventinfo_baseName_idx", "eventinfo_delete_trigger",
                                            "eventinfo_inode_idx", "eventinfo_path_idx",
                                            "eventinfo_syncID_idx", "eventinfo_updateClient_idx"}));
  ASSERT_EQ(st.Prepare(db.get(), "SELECT key, value FROM config_table ORDER BY key"), SQLITE_OK);
  std::map<std::string, std::string> config;
  while (st.Step() == SQLITE_ROW) config[st.ColumnText(0)] = st.ColumnText(1);
  EXPECT_EQ(config, (std::map<std::string, std::string>{{"sync_id", "0"}, {"version", "2"}}));

  uint64_t id = 77;
  ASSERT_EQ(FileEventDB::getSyncId(id), 0);
  EXPECT_EQ(id, 0u);
}

TEST_F(FileEventDBTest, ReopeningKeepsRowsAndSyncIdAndRepeatsAreHarmless) {
  Put(Row(L"/a", 3));
  ASSERT_EQ(FileEventDB::setSyncId(41), 0);
  EXPECT_EQ(FileEventDB::initialize(W(m_dbPath)), 0);  // already open: no-op
  FileEventDB::destroy();
  FileEventDB::destroy();
  ASSERT_EQ(FileEventDB::initialize(W(m_dbPath)), 0);
  uint64_t id = 0;
  ASSERT_EQ(FileEventDB::getSyncId(id), 0);
  EXPECT_EQ(id, 41u);
  EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(FileEventDBTest, ValuesAboveTwoToTheSixtyThreeRoundTrip) {
  for (uint64_t v : std::vector<uint64_t>{UINT64_MAX, 1ull << 63, (1ull << 63) - 1, 12345}) {
    ASSERT_EQ(FileEventDB::setSyncId(v), 0);
    uint64_t got = 0;
    ASSERT_EQ(FileEventDB::getSyncId(got), 0);
    EXPECT_EQ(got, v);
  }
  ClientFileEventInfo r = Row(L"/big", UINT64_MAX);
  r.pDirID = 1ull << 63;
  r.fileSize = (1ull << 63) + 5;
  r.fileModTime = UINT32_MAX;
  Put(r);
  ClientFileEventInfo got;
  ASSERT_EQ(FileEventDB::getEventInfo(L"/big", got), 0);
  EXPECT_EQ(got.syncID, UINT64_MAX);
  EXPECT_EQ(got.pDirID, 1ull << 63);
  EXPECT_EQ(got.fileSize, (1ull << 63) + 5);
  EXPECT_EQ(got.fileModTime, UINT32_MAX);
}

TEST_F(FileEventDBTest, LeadingSlashIsOptionalAndEveryFieldRoundTrips) {
  ClientFileEventInfo r = Row(L"/a/b", 9);
  r.pDirID = 4;
  r.baseName = L"b";
  r.filePrivilege = L"rw-";
  r.signaturePath = L"/sig/\u00e9\u6587";
  r.macHash = L"m";
  r.windowsHash = L"w";
  r.linuxHash = L"l";
  r.zentHash = L"z'q";
  Put(r);
  ClientFileEventInfo got;
  ASSERT_EQ(FileEventDB::getEventInfo(L"a/b", got), 0);
  EXPECT_EQ(got.path, L"/a/b");
  EXPECT_EQ(got.fileType, r.fileType);
  EXPECT_EQ(got.isExist, 1);
  EXPECT_EQ(got.syncID, 9u);
  EXPECT_EQ(got.pDirID, 4u);
  EXPECT_EQ(got.fileSize, r.fileSize);
  EXPECT_EQ(got.fileModTime, r.fileModTime);
  EXPECT_EQ(got.fileCheckSum, r.fileCheckSum);
  EXPECT_EQ(got.baseName, L"b");
  EXPECT_EQ(got.filePrivilege, L"rw-");
  EXPECT_EQ(got.updateClient, r.updateClient);
  EXPECT_EQ(got.signaturePath, r.signaturePath);
  EXPECT_EQ(got.macHash, L"m");
  EXPECT_EQ(got.windowsHash, L"w");
  EXPECT_EQ(got.linuxHash, L"l");
  EXPECT_EQ(got.zentHash, L"z'q");

  ClientFileEventInfo again = Row(L"a/b", 11);
  Put(again);
  EXPECT_EQ(Rows(), (std::map<std::string, std::pair<uint64_t, int>>{{"a/b", {11, 1}}}));

  // A miss empties the path and leaves the rest.
  ClientFileEventInfo miss = got;
  EXPECT_EQ(FileEventDB::getEventInfo(L"/a/c", miss), -1);
  EXPECT_EQ(miss.path, L"");
  EXPECT_EQ(miss.syncID, 9u);
  EXPECT_EQ(FileEventDB::getEventInfo(L"/", miss), -1);
}

TEST_F(FileEventDBTest, DirectorySyncIdIsTheLargestInItsSubtree) {
  Put(Row(L"/d", 10, EV_DIR_TYPE));
  Put(Row(L"/d/f", 20));
  Put(Row(L"/d/e", 15, EV_DIR_TYPE));
  Put(Row(L"/d/e/g", 35, EV_FILE_TYPE, 0));  // tombstones count too
  Put(Row(L"/dx", 99));                      // siblings sharing the prefix do not
  Put(Row(L"/d0", 98));
  Put(Row(L"/d.txt", 97));
  ClientFileEventInfo got;
  ASSERT_EQ(FileEventDB::getEventInfo(L"/d", got), 0);
  EXPECT_EQ(got.syncID, 35u);
  ASSERT_EQ(FileEventDB::getEventInfo(L"/d/e", got), 0);
  EXPECT_EQ(got.syncID, 35u);
  ASSERT_EQ(FileEventDB::getEventInfo(L"/d/f", got), 0);
  EXPECT_EQ(got.syncID, 20u);
}

TEST_F(FileEventDBTest, RemovedDirectoryTombstonesOnlyRowsNotNewerThanTheRemoval) {
  const std::string sig = MakeSignature("sig-a");
  Put(Row(L"/d", 40, EV_DIR_TYPE));
  ClientFileEventInfo a = Row(L"/d/a", 50);
  a.signaturePath = W(sig);
  Put(a);
  Put(Row(L"/d/b", 60));
  Put(Row(L"/d/c", 10, EV_FILE_TYPE, 0));
  Put(Row(L"/dx", 30));

  ClientFileEventInfo rm = Row(L"/d", 50, EV_DIR_TYPE, 0);
  rm.updateClient = L"other@host";
  rm.fileModTime = 2000;
  ASSERT_EQ(FileEventDB::setEventInfo(rm), 0);
  EXPECT_EQ(
      Rows(),
      (std::map<std::string, std::pair<uint64_t, int>>{
          {"d", {50, 0}}, {"d/a", {50, 0}}, {"d/b", {60, 1}}, {"d/c", {10, 0}}, {"dx", {30, 1}}}));
  ClientFileEventInfo got;
  ASSERT_EQ(FileEventDB::getEventInfo(L"/d/a", got), 0);
  EXPECT_EQ(got.fileSize, 0u);
  EXPECT_EQ(got.fileModTime, 2000u);
  EXPECT_EQ(got.fileCheckSum, L"");
  EXPECT_EQ(got.signaturePath, L"");
  EXPECT_EQ(got.updateClient, L"other@host");
  // The tombstone no longer names the signature, so the file must not linger.
  EXPECT_FALSE(sftest::PathExists(sig));

  // Removing a directory the database never knew inserts nothing.
  ASSERT_EQ(FileEventDB::setEventInfo(Row(L"/unknown", 70, EV_DIR_TYPE, 0)), 0);
  EXPECT_EQ(Rows().count("unknown"), 0u);
}

TEST_F(FileEventDBTest, RemovalKeepsTheParentsSyncIdFromFallingBehind) {
  Put(Row(L"/d", 10, EV_DIR_TYPE));
  Put(Row(L"/d/f", 20, EV_DIR_TYPE));
  Put(Row(L"/d/f/x", 5));
  Put(Row(L"/d/g", 1));
  ASSERT_EQ(FileEventDB::rmEventInfoV3(L"/d/f"), 0);
  EXPECT_EQ(Rows(),
            (std::map<std::string, std::pair<uint64_t, int>>{{"d", {20, 1}}, {"d/g", {1, 1}}}));

  Put(Row(L"/d", 30, EV_DIR_TYPE));
  ASSERT_EQ(FileEventDB::rmEventInfoV3(L"d/g"), 0);
  EXPECT_EQ(Rows(), (std::map<std::string, std::pair<uint64_t, int>>{{"d", {30, 1}}}));

  Put(Row(L"/f", 3));
  Put(Row(L"/f/in", 4));
  ASSERT_EQ(FileEventDB::rmEventInfoV3(L"/f"), 0);
  ASSERT_EQ(FileEventDB::rmEventInfoV3(L"/d"), 0);
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(FileEventDB::rmEventInfo(L"/"), -1);
}

TEST_F(FileEventDBTest, DeletingARowRemovesItsSignatureFileAndOnlyThat) {
  const std::string sig1 = MakeSignature("sig-1");
  const std::string sig2 = MakeSignature("sig-2");
  ClientFileEventInfo r = Row(L"/f", 1);
  r.signaturePath = W(sig1);
  Put(r);
  // Same signature on a replaced row: kept.
  r.syncID = 2;
  Put(r);
  EXPECT_TRUE(sftest::PathExists(sig1));
  // A new signature replaces the old one: the old file has no row any more.
  r.syncID = 3;
  r.signaturePath = W(sig2);
  Put(r);
  EXPECT_FALSE(sftest::PathExists(sig1));
  EXPECT_TRUE(sftest::PathExists(sig2));

  ASSERT_EQ(FileEventDB::rmEventInfo(L"/f"), 0);
  EXPECT_FALSE(sftest::PathExists(sig2));

  // Empty, missing and directory signature paths: the delete still succeeds
  // and no directory is ever removed.
  ClientFileEventInfo e = Row(L"/e", 1);
  Put(e);
  ClientFileEventInfo m = Row(L"/m", 1);
  m.signaturePath = W(m_dir.Sub("gone"));
  Put(m);
  ClientFileEventInfo dir = Row(L"/s", 1);
  dir.signaturePath = m_dir.wpath();
  Put(dir);
  EXPECT_EQ(FileEventDB::rmEventInfo(L"/e"), 0);
  EXPECT_EQ(FileEventDB::rmEventInfo(L"/m"), 0);
  EXPECT_EQ(FileEventDB::rmEventInfo(L"/s"), 0);
  EXPECT_TRUE(sftest::PathExists(m_dbPath));
  EXPECT_TRUE(Rows().empty());
}

TEST_F(FileEventDBTest, RowNamingAFileOutsideTheSignatureStoreNeverDeletesIt) {
  // A damaged or foreign database: signature paths that name user files.
  sftest::TempDir user;
  const std::string doc = user.Sub("report.txt");
  sftest::WriteFile(doc, "the user's work");
  const std::string nested = m_dir.Sub("sub/inner");
  ASSERT_EQ(::mkdir(m_dir.Sub("sub").c_str(), 0700), 0);
  sftest::WriteFile(nested, "not directly in the store");
  const std::string dotted = m_dir.Sub("sub/../" + std::string("sub/inner"));

  ClientFileEventInfo a = Row(L"/a", 1);
  a.signaturePath = W(doc);
  Put(a);
  ClientFileEventInfo b = Row(L"/b", 1);
  b.signaturePath = W(dotted);
  Put(b);
  ClientFileEventInfo c = Row(L"/c", 1);
  c.signaturePath = W(doc);
  Put(c);
  c.signaturePath = W(MakeSignature("sig-c"));  // replacing drops doc from c
  Put(c);
  ASSERT_EQ(FileEventDB::rmEventInfo(L"/a"), 0);
  ASSERT_EQ(FileEventDB::rmEventInfo(L"/b"), 0);
  EXPECT_EQ(sftest::ReadFile(doc), "the user's work");
  EXPECT_TRUE(sftest::PathExists(nested));

  // The store's own files still go, however the folder was spelled.
  const std::string own = MakeSignature("sig-own");
  ClientFileEventInfo d = Row(L"/d", 1);
  d.signaturePath = m_dir.wpath() + L"//" + W("sig-own");
  Put(d);
  ASSERT_EQ(FileEventDB::rmEventInfo(L"/d"), 0);
  EXPECT_FALSE(sftest::PathExists(own));
}

TEST_F(FileEventDBTest, PatternCharactersInNamesTouchOnlyTheirOwnSubtree) {
  for (const wchar_t* p : {L"/[ab]", L"/[ab]/c", L"/a", L"/a/c", L"/b", L"/*", L"/*/k", L"/x?",
                           L"/x1", L"/%", L"/_", L"/it's", L"/it's/q"})
    Put(Row(p, 5, EV_DIR_TYPE));
  Put(Row(L"/a/c", 50, EV_DIR_TYPE));

  ClientFileEventInfo got;
  ASSERT_EQ(FileEventDB::getEventInfo(L"/[ab]", got), 0);
  EXPECT_EQ(got.syncID, 5u);  // "a/c" (50) must not be taken for "[ab]/c"

  ASSERT_EQ(FileEventDB::setEventInfo(Row(L"/*", 6, EV_DIR_TYPE, 0)), 0);
  ASSERT_EQ(FileEventDB::rmEventInfo(L"/[ab]"), 0);
  ASSERT_EQ(FileEventDB::rmEventInfoV3(L"/x?"), 0);
  ASSERT_EQ(FileEventDB::rmEventInfo(L"/%"), 0);
  ASSERT_EQ(FileEventDB::rmEventInfo(L"/it's"), 0);
  EXPECT_EQ(Rows(), (std::map<std::string, std::pair<uint64_t, int>>{{"a", {5, 1}},
                                                                     {"a/c", {50, 1}},
                                                                     {"b", {5, 1}},
                                                                     {"*", {6, 0}},
                                                                     {"*/k", {6, 0}},
                                                                     {"x1", {5, 1}},
                                                                     {"_", {5, 1}}}));
}

TEST_F(FileEventDBTest, OverLongTextIsRefusedNeverTruncated) {
  const std::wstring longest = L"/" + std::wstring(4095, L'p');  // 4095 bytes once stripped
  Put(Row(longest, 1));
  ClientFileEventInfo got;
  ASSERT_EQ(FileEventDB::getEventInfo(longest, got), 0);
  EXPECT_EQ(got.path, longest);

  EXPECT_EQ(FileEventDB::setEventInfo(Row(longest + L"q", 1)), -1);
  ClientFileEventInfo r = Row(L"/ok", 1);
  r.fileCheckSum = std::wstring(1366, L'\u20ac');  // 4098 bytes of UTF-8
  EXPECT_EQ(FileEventDB::setEventInfo(r), -1);
  r.fileCheckSum = std::wstring(L"a\0b", 3);
  EXPECT_EQ(FileEventDB::setEventInfo(r), -1);
  EXPECT_EQ(FileEventDB::getEventInfo(longest + L"q", got), -1);
  EXPECT_EQ(FileEventDB::rmEventInfo(longest + L"q"), -1);
  EXPECT_EQ(Rows().size(), 1u);  // in particular no row cut to the 4095-byte path
  ASSERT_EQ(FileEventDB::rmEventInfo(longest), 0);
}

std::vector<std::wstring> ListPaths(const std::wstring& prefix) {
  StringBuffer pool;
  FileList list(pool);
  EXPECT_EQ(FileEventDB::getFileList(list, prefix), 0);
  std::vector<std::wstring> out;
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    out.push_back((it->is_dir() ? L"D" : L"F") + it->path);
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(FileEventDBTest, FileListHoldsExistingRowsStrictlyBelowThePrefix) {
  Put(Row(L"/d", 1, EV_DIR_TYPE));
  Put(Row(L"/d/f", 2));
  Put(Row(L"/d/s", 3, EV_DIR_TYPE));
  Put(Row(L"/d/s/g", 4));
  Put(Row(L"/d/t", 5, EV_FILE_TYPE, 0));  // tombstone
  Put(Row(L"/d[", 6));
  Put(Row(L"/e", 7));

  EXPECT_EQ(ListPaths(L"/d"),
            (std::vector<std::wstring>{L"D", L"D/d", L"D/d/s", L"F/d/f", L"F/d/s/g"}));
  const auto all = ListPaths(L"/");
  EXPECT_EQ(all, (std::vector<std::wstring>{L"D", L"D/d", L"D/d/s", L"F/d/f", L"F/d/s/g", L"F/d[",
                                            L"F/e"}));
  EXPECT_EQ(ListPaths(L""), all);
  EXPECT_EQ(ListPaths(L"/nothing"), (std::vector<std::wstring>{L"D"}));
}

TEST_F(FileEventDBTest, AnOlderDatabaseOpensAndItsRowsTakeAStampOnlyWhereTheyFit) {
  // A file as clients wrote it before stamps were kept: no inode index,
  // rows without an inode or a change time.
  FileEventDB::destroy();
  const std::string old = m_dir.Sub("old.sqlite");
  {
    sqlite_util::Db db;
    ASSERT_EQ(db.Open(old), SQLITE_OK);
    ASSERT_EQ(
        db.Exec(
            "CREATE TABLE eventinfo (id integer primary key, fileType integer NOT NULL, isExist "
            "integer NOT NULL, syncID NUMERIC NOT NULL, pDirID NUMERIC default NULL, fileSize "
            "NUMERIC NOT NULL, fileModTime NUMERIC NOT NULL, fileCheckSum text NOT NULL, baseName "
            "text NOT NULL, path text unique NOT NULL, filePrivilege text default NULL, "
            "updateClient text NOT NULL, signPath text default NULL, macHash text default NULL, "
            "windowsHash text default NULL, linuxHash text default NULL, zentHash text default "
            "NULL, inode INTEGER);"
            "CREATE TABLE config_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value VARCHAR "
            "NOT NULL);"
            "CREATE INDEX eventinfo_path_idx on eventinfo(path);"
            "INSERT INTO config_table VALUES ('sync_id', '12');"
            "INSERT INTO config_table VALUES ('version', 2);"
            "INSERT INTO eventinfo (fileType, isExist, syncID, fileSize, fileModTime, "
            "fileCheckSum, baseName, path, updateClient) VALUES "
            "(0, 1, 5, 10, 1000, 'c1', 'a', 'a', 'x'), (0, 1, 6, 10, 1000, 'c2', 'b', 'b', 'x'),"
            "(0, 1, 7, 10, 1000, 'c3', 'c', 'c', 'x'), (1, 1, 8, 0, 1000, '', 'd', 'd', 'x');"),
        SQLITE_OK);
  }
  ASSERT_EQ(FileEventDB::initialize(W(old)), 0);
  uint64_t id = 0;
  ASSERT_EQ(FileEventDB::getSyncId(id), 0);
  EXPECT_EQ(id, 12u);
  ClientFileEventInfo a;
  ASSERT_EQ(FileEventDB::getEventInfo(L"/a", a), 0);
  EXPECT_FALSE(a.HasStamp());
  std::vector<std::wstring> names;
  ASSERT_EQ(FileEventDB::getPathsByInode(77, names), 0);
  EXPECT_TRUE(names.empty());

  // What a rescan found: a stamp is taken only by a row that has none and
  // was of the size and time found (b changed its time; d is a folder).
  ASSERT_EQ(FileEventDB::adoptStamps(
                {{L"/a", 10, 1000, 77, 5}, {L"/b", 10, 999, 78, 6}, {L"/d", 0, 1000, 79, 7}}),
            0);
  ASSERT_EQ(FileEventDB::adoptStamps({{L"/a", 10, 1000, 99, 9}}), 0);  // has one now
  ASSERT_EQ(FileEventDB::getEventInfo(L"/a", a), 0);
  EXPECT_EQ(a.inode, 77u);
  EXPECT_EQ(a.ChangeTime(), 5);
  ClientFileEventInfo b, d;
  ASSERT_EQ(FileEventDB::getEventInfo(L"/b", b), 0);
  ASSERT_EQ(FileEventDB::getEventInfo(L"/d", d), 0);
  EXPECT_FALSE(b.HasStamp());
  EXPECT_FALSE(d.HasStamp());
  // A stamp after a content check goes only onto the row that still holds
  // the checksum that was read.
  ASSERT_EQ(FileEventDB::setStamp(L"/b", L"another", 80, 8), 0);
  ASSERT_EQ(FileEventDB::getEventInfo(L"/b", b), 0);
  EXPECT_FALSE(b.HasStamp());
  ASSERT_EQ(FileEventDB::setStamp(L"/b", L"c2", 77, 8), 0);
  ASSERT_EQ(FileEventDB::getPathsByInode(77, names), 0);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"/a", L"/b"}));

  // A rescan sees the stamps; a row rewritten by a transfer carries its own.
  StringBuffer pool;
  FileList list(pool);
  ASSERT_EQ(FileEventDB::getFileList(list, L"/"), 0);
  std::map<std::wstring, FileStamp> stamps;
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (it->is_file()) stamps[it->path] = it->stamp;
  EXPECT_EQ(stamps[L"/a"], (FileStamp{77, 5}));
  EXPECT_EQ(stamps[L"/b"], (FileStamp{77, 8}));
  EXPECT_FALSE(stamps[L"/c"].known());
  ClientFileEventInfo c = Row(L"/c", 9);
  c.SetStamp(uint64_t{1} << 63, 1);
  Put(c);
  ASSERT_EQ(FileEventDB::getEventInfo(L"/c", c), 0);
  EXPECT_EQ(c.inode, uint64_t{1} << 63);
  // A removal leaves no stamp behind for the inode to be found by.
  Put(Row(L"/d", 20, EV_DIR_TYPE, 0));
  Put(Row(L"/a", 21, EV_FILE_TYPE, 0));
  ASSERT_EQ(FileEventDB::getPathsByInode(77, names), 0);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"/b"}));

  sqlite_util::Db db;
  ASSERT_EQ(db.Open(old), SQLITE_OK);
  sqlite_util::Stmt st;
  ASSERT_EQ(st.Prepare(db.get(),
                       "SELECT count(*) FROM sqlite_master WHERE name = "
                       "'eventinfo_inode_idx'"),
            SQLITE_OK);
  ASSERT_EQ(st.Step(), SQLITE_ROW);
  EXPECT_EQ(st.ColumnInt64(0), 1);
}

TEST_F(FileEventDBTest, SeenRunsOverOwnIdsUntilAnotherClientsIdAndSurvivesAReopen) {
  ASSERT_EQ(FileEventDB::setSyncId(10), 0);
  // 11 and 12 are this client's, 13 is not, 14 is: seen stops at 12.
  for (uint64_t id : {12u, 11u, 14u, 9u}) ASSERT_EQ(FileEventDB::addOwnSyncId(id), 0);
  uint64_t seen = 0;
  bool own = false;
  ASSERT_EQ(FileEventDB::getSeenSyncId(seen), 0);
  EXPECT_EQ(seen, 12u);
  ASSERT_EQ(FileEventDB::isOwnSyncId(14, own), 0);
  EXPECT_TRUE(own);
  ASSERT_EQ(FileEventDB::isOwnSyncId(13, own), 0);
  EXPECT_FALSE(own);
  // The pull brings 13: the run goes on over 14; what the cursor covers is
  // forgotten, and an id at or below it is nothing of this client's now.
  FileEventDB::destroy();
  ASSERT_EQ(FileEventDB::initialize(W(m_dbPath)), 0);
  ASSERT_EQ(FileEventDB::setSyncId(13), 0);
  ASSERT_EQ(FileEventDB::pruneOwnSyncIds(13), 0);
  ASSERT_EQ(FileEventDB::getSeenSyncId(seen), 0);
  EXPECT_EQ(seen, 14u);
  ASSERT_EQ(FileEventDB::isOwnSyncId(12, own), 0);
  EXPECT_FALSE(own);
}

FileEventDB::RemovalIntent Intent(const std::wstring& path, uint64_t base, bool dir = true,
                                  bool refused = true) {
  FileEventDB::RemovalIntent i;
  i.path = path;
  i.base = base;
  i.is_dir = dir;
  i.refused = refused;
  return i;
}

TEST_F(FileEventDBTest, RemovalIntentCoversItsFolderAndBelowOnly) {
  ASSERT_EQ(FileEventDB::setRemovalIntent(Intent(L"/a/b", 7)), 0);
  ASSERT_EQ(FileEventDB::setRemovalIntent(Intent(L"/a/b", 9)), 0);  // a later attempt
  // Queued again, it stays refused until an answer ends it.
  ASSERT_EQ(FileEventDB::setRemovalIntent(Intent(L"/a/b", 12, true, /*refused=*/false)), 0);
  FileEventDB::RemovalIntent i;
  ASSERT_EQ(FileEventDB::findRemovalIntent(L"/a/b/c/d.txt", i), 1);
  EXPECT_EQ(i.path, L"/a/b");
  EXPECT_EQ(i.base, 9u);
  EXPECT_TRUE(i.refused);
  ASSERT_EQ(FileEventDB::findRemovalIntent(L"/a/b", i), 1);
  // Neither a sibling sharing the prefix nor the folder above is covered.
  EXPECT_EQ(FileEventDB::findRemovalIntent(L"/a/bc", i), 0);
  EXPECT_EQ(FileEventDB::findRemovalIntent(L"/a", i), 0);
  std::vector<FileEventDB::RemovalIntent> all;
  ASSERT_EQ(FileEventDB::setRemovalIntents(
                {Intent(L"/a/b/c", 9), Intent(L"/a/bc", 4, /*dir=*/false, /*refused=*/false)}),
            0);
  ASSERT_EQ(FileEventDB::rmRemovalIntent(L"/a/b"), 0);  // and what is below it
  ASSERT_EQ(FileEventDB::getRemovalIntents(all), 0);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].path, L"/a/bc");
  EXPECT_FALSE(all[0].is_dir);
  EXPECT_FALSE(all[0].refused);
  // A file's intent stands only while its row names the version removed.
  ClientFileEventInfo row = Row(L"/a/bc", 4);
  EXPECT_FALSE(all[0].Overtaken(&row));
  row.syncID = 5;  // synced again since
  EXPECT_TRUE(all[0].Overtaken(&row));
  EXPECT_TRUE(all[0].Overtaken(nullptr));
}

TEST_F(FileEventDBTest, AnOlderRemovalIntentTableOpensAndItsRowsAreRefusedFolders) {
  FileEventDB::destroy();
  const std::string old = m_dir.Sub("old-intents.sqlite");
  {
    sqlite_util::Db db;
    ASSERT_EQ(db.Open(old), SQLITE_OK);
    ASSERT_EQ(db.Exec("CREATE TABLE removal_intent (path text PRIMARY KEY, base NUMERIC NOT NULL);"
                      "INSERT INTO removal_intent VALUES ('rm/dir', 8);"),
              SQLITE_OK);
  }
  for (int open = 0; open < 2; ++open) {
    ASSERT_EQ(FileEventDB::initialize(W(old)), 0) << open;
    std::vector<FileEventDB::RemovalIntent> all;
    ASSERT_EQ(FileEventDB::getRemovalIntents(all), 0);
    ASSERT_EQ(all.size(), 1u + open);
    EXPECT_EQ(all[0].path, L"/rm/dir");
    EXPECT_EQ(all[0].base, 8u);
    EXPECT_TRUE(all[0].is_dir);
    EXPECT_TRUE(all[0].refused);
    if (open == 0) {
      ASSERT_EQ(FileEventDB::setRemovalIntent(Intent(L"/x.txt", 3, false, false)), 0);
    }
    FileEventDB::destroy();
  }
}

TEST_F(FileEventDBTest, OperationsOnAClosedDatabaseFailCleanly) {
  FileEventDB::destroy();
  ClientFileEventInfo got;
  uint64_t id = 5;
  EXPECT_EQ(FileEventDB::getEventInfo(L"/a", got), -1);
  EXPECT_NE(FileEventDB::setEventInfo(Row(L"/a", 1)), 0);
  EXPECT_NE(FileEventDB::rmEventInfo(L"/a"), 0);
  EXPECT_EQ(FileEventDB::rmEventInfoV3(L"/a/b"), -1);
  EXPECT_EQ(FileEventDB::getSyncId(id), -1);
  EXPECT_EQ(id, 5u);
  EXPECT_EQ(FileEventDB::setSyncId(1), -1);
  EXPECT_EQ(FileEventDB::initialize(W(m_dir.Sub("no/such/dir/db.sqlite"))), -1);
  EXPECT_EQ(FileEventDB::getSyncId(id), -1);
}

TEST_F(FileEventDBTest, ThreadsShareTheConnectionSafely) {
  constexpr int kThreads = 4, kRows = 20;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kRows; ++i) {
        const std::wstring p = L"/t" + std::to_wstring(t) + L"/" + std::to_wstring(i);
        ClientFileEventInfo got;
        if (FileEventDB::setEventInfo(Row(p, i + 1)) != 0) ++failures[t];
        if (FileEventDB::getEventInfo(p, got) != 0 || got.syncID != static_cast<uint64_t>(i + 1))
          ++failures[t];
        if (i % 5 == 4 && FileEventDB::rmEventInfoV3(p) != 0) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  EXPECT_EQ(Rows().size(), static_cast<size_t>(kThreads * kRows * 4 / 5));
}

}  // namespace
