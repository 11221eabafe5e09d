#include "client/sync/conflict-checker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "client/store/event-db.h"
#include "fakes/local-state-fixture.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"

namespace {

using sftest::W;

struct tm At(int year, int mon, int day, int hour, int min) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  return t;
}

TEST(ConflictNameTest, SuffixGoesBeforeTheExtensionOfTheLastComponent) {
  const std::wstring suffix = ConflictChecker::Suffix(L"pc-7", At(2026, 12, 6, 10, 21));
  EXPECT_EQ(suffix, L"_pc-7_Dec-06-1021-2026");
  EXPECT_EQ(ConflictChecker::ConflictName(L"/S/report.txt", suffix, 0),
            L"/S/report_pc-7_Dec-06-1021-2026.txt");
  EXPECT_EQ(ConflictChecker::ConflictName(L"/S/report.txt", suffix, 1),
            L"/S/report_pc-7_Dec-06-1021-2026_1.txt");
  EXPECT_EQ(ConflictChecker::ConflictName(L"/S/a.tar.gz", suffix, 2),
            L"/S/a.tar_pc-7_Dec-06-1021-2026_2.gz");
  // No extension, or a dot only in a folder's name: the suffix ends the name.
  EXPECT_EQ(ConflictChecker::ConflictName(L"/S/Makefile", suffix, 0),
            L"/S/Makefile_pc-7_Dec-06-1021-2026");
  EXPECT_EQ(ConflictChecker::ConflictName(L"/S/v1.2/notes", suffix, 0),
            L"/S/v1.2/notes_pc-7_Dec-06-1021-2026");
  EXPECT_EQ(ConflictChecker::ConflictName(L"/S/d.x\\notes", suffix, 0),
            L"/S/d.x\\notes_pc-7_Dec-06-1021-2026");
  // A name at the length limit gives up the end of its stem, never the
  // suffix or the extension.
  const std::wstring longname = L"/S/" + std::wstring(250, L'n') + L".txt";
  const std::wstring c = ConflictChecker::ConflictName(longname, suffix, 123);
  EXPECT_EQ(WideToUtf8Lossy(c.substr(3)).size(), 255u);
  EXPECT_EQ(c.substr(c.size() - suffix.size() - 8), suffix + L"_123.txt");
}

class ConflictRenameTest : public LocalStateTest {
 protected:
  void SetUp() override {
    SetUpLocalState();
    if (HasFatalFailure()) return;
    checker.SetRoot(W(dir.Sub("sync")));
    checker.SetClient(L"pc");
    checker.SetClock([] {
      struct tm t = At(2026, 1, 2, 3, 4);
      return mktime(&t);
    });
  }
  std::string P(const std::string& rel) { return dir.Sub("sync") + rel; }
  ConflictChecker checker{nullptr};
};

TEST_F(ConflictRenameTest, TakenNamesAreSkippedAndNothingIsEverReplaced) {
  sftest::WriteFile(P("/r.txt"), "mine");
  sftest::WriteFile(P("/r_pc_Jan-02-0304-2026.txt"), "copy 0");
  // Every numbered name up to past the 100th is taken already.
  for (int n = 1; n <= 120; ++n)
    sftest::WriteFile(P("/r_pc_Jan-02-0304-2026_" + std::to_string(n) + ".txt"),
                      "copy " + std::to_string(n));
  std::wstring to;
  ASSERT_EQ(checker.renameConflictFile(W(P("/r.txt")), &to), 0);
  EXPECT_EQ(to, W(P("/r_pc_Jan-02-0304-2026_121.txt")));
  EXPECT_EQ(sftest::ReadFile(P("/r_pc_Jan-02-0304-2026_121.txt")), "mine");
  EXPECT_FALSE(sftest::PathExists(P("/r.txt")));
  for (int n = 1; n <= 120; ++n)
    EXPECT_EQ(sftest::ReadFile(P("/r_pc_Jan-02-0304-2026_" + std::to_string(n) + ".txt")),
              "copy " + std::to_string(n));
  // A folder is renamed as a whole, beside it.
  ASSERT_EQ(mkdir(P("/d").c_str(), 0755), 0);
  sftest::WriteFile(P("/d/f"), "in d");
  ASSERT_EQ(checker.renameConflictFile(W(P("/d")), &to), 0);
  EXPECT_EQ(sftest::ReadFile(P("/d_pc_Jan-02-0304-2026/f")), "in d");
}

TEST_F(ConflictRenameTest, ItemsBehindALinkAreNotReached) {
  sftest::TempDir outside;
  sftest::WriteFile(outside.Sub("victim"), "outside");
  ASSERT_EQ(symlink(outside.path().c_str(), P("/link").c_str()), 0);
  EXPECT_EQ(checker.renameConflictFile(W(P("/link/victim"))), -1);
  EXPECT_EQ(sftest::ReadFile(outside.Sub("victim")), "outside");
  EXPECT_FALSE(sftest::PathExists(outside.Sub("victim_pc_Jan-02-0304-2026")));
}

TEST_F(ConflictRenameTest, DecisionsFollowTheRowAndTheKindsOfChange) {
  ClientFileEventInfo row;
  row.isExist = 1;
  row.syncID = 10;
  row.path = L"/f";
  ASSERT_EQ(FileEventDB::setEventInfo(row), 0);
  auto server = [](Event::Type t, uint64_t id, uint32_t mode = 0) {
    Event e(t, F_SERVER | mode, L"/f");
    e.m_syncID = id;
    return e;
  };
  // Not newer than what the client has: the local change goes up.
  Event e1 = Event(EV_MODIFY, 0, L"/f"), e2 = server(EV_CREATE, 10);
  EXPECT_EQ(checker.checkConflict(e1, e2), SvrClt_PushFile2Svr);
  EXPECT_TRUE(e1.isLocalEvent());
  // Newer: the server's version applies (the download keeps the local edit).
  e1 = Event(EV_MODIFY, 0, L"/f");
  e2 = server(EV_CREATE, 11);
  EXPECT_EQ(checker.checkConflict(e1, e2), SvrClt_SvrApply);
  EXPECT_TRUE(e1.isServerEvent());
  // Both removed: only the database settles.
  e1 = server(EV_REMOVE, 11);
  e2 = Event(EV_REMOVE, 0, L"/f");
  EXPECT_EQ(checker.checkConflict(e1, e2), SvrClt_Svr2DB);
  // A server removal against a local edit: the row goes, the edit is
  // uploaded as new.
  e1 = server(EV_REMOVE, 11);
  e2 = Event(EV_MODIFY, 0, L"/f");
  EXPECT_EQ(checker.checkConflict(e1, e2), SvrClt_PushFile2Svr);
  EXPECT_TRUE(e1.isLocalEvent());
  EXPECT_NE(FileEventDB::getEventInfo(L"/f", row), 0);
  // Two of one kind collapse into the later.
  e1 = Event(EV_CREATE, 0, L"/f");
  e2 = Event(EV_MODIFY, 0, L"/f");
  EXPECT_EQ(checker.checkConflict(e1, e2), Svr_IgnorThisEvent);
  EXPECT_EQ(e1.m_type, EV_MODIFY);
}

}  // namespace
