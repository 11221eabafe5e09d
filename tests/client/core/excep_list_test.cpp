#include <gtest/gtest.h>

#include "client/core/excep-list.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"

namespace {

class ExcepListTest : public ::testing::Test {
 protected:
  std::wstring Path() const { return Utf8ToWideLossy(dir.Sub("excep.list")); }
  std::string Text() const { return sftest::ReadFile(dir.Sub("excep.list")); }
  void SetText(const std::string& t) const { sftest::WriteFile(dir.Sub("excep.list"), t); }

  sftest::TempDir dir;
};

Event Make(Event::Type type, uint32_t mode, uint64_t id, const std::wstring& path) {
  Event e(type, mode, path);
  e.m_syncID = id;
  e.m_size = 77;
  e.m_time = 1234;
  e.m_hash = L"abc";
  e.m_opt = L"/other";
  return e;
}

TEST_F(ExcepListTest, RoundTripKeepsFourFieldsInPathOrder) {
  ExcepList l;
  l.Set(Make(EV_MODIFY, F_SERVER | F_EXCEP, 1234, L"/b dir/with  spaces .txt"));
  l.Set(Make(EV_REMOVE, F_EXCEP | F_DIR, 18446744073709551615ull, L"/a/\u00e9t\u00e9"));
  l.Set(Make(EV_CREATE, F_EXCEP, 2147483648ull, L"/Z"));
  ASSERT_EQ(l.write(Path()), 0);
  EXPECT_EQ(Text(),
            "1 32 2147483648 /Z\n"
            "2 33 18446744073709551615 /a/\xc3\xa9t\xc3\xa9\n"
            "3 34 1234 /b dir/with  spaces .txt\n");
  ExcepList back;
  ASSERT_EQ(back.read(Path()), 0);
  ASSERT_EQ(back.events().size(), 3u);
  const Event& e = back.events().at(L"/b dir/with  spaces .txt");
  EXPECT_EQ(e.m_type, EV_MODIFY);
  EXPECT_EQ(e.m_mode, F_SERVER | F_EXCEP);
  EXPECT_EQ(e.m_syncID, 1234u);
  EXPECT_EQ(e.m_size, 0u);
  EXPECT_EQ(e.m_time, 0);
  EXPECT_TRUE(e.m_hash.empty());
  EXPECT_TRUE(e.m_opt.empty());
  EXPECT_EQ(back.events().at(L"/a/\u00e9t\u00e9").m_syncID, 18446744073709551615ull);
}

TEST_F(ExcepListTest, LaterEntryForAPathWins) {
  ExcepList l;
  l.Set(Make(EV_MODIFY, F_EXCEP, 1, L"/p"));
  l.Set(Make(EV_REMOVE, F_EXCEP, 2, L"/p"));
  ASSERT_EQ(l.write(Path()), 0);
  EXPECT_EQ(Text(), "2 32 2 /p\n");
  SetText("3 32 1 /p\n  2 32 9 /p");  // leading blanks, no final newline
  ASSERT_EQ(l.read(Path()), 0);
  ASSERT_EQ(l.events().size(), 1u);
  EXPECT_EQ(l.events().at(L"/p").m_syncID, 9u);
}

TEST_F(ExcepListTest, MissingFileIsEmpty) {
  ExcepList l;
  l.Set(Make(EV_MODIFY, F_EXCEP, 1, L"/p"));
  EXPECT_EQ(l.read(Path()), 0);
  EXPECT_TRUE(l.events().empty());
}

TEST_F(ExcepListTest, MalformedFileReadsEmptyAndIsKeptAside) {
  const char* bad[] = {
      "3 34 /only-two-numbers\n",
      "3 34 1234 /ok\n\n",    // an empty line
      "3  34 1234 /p\n",      // two spaces
      "3 34 1234\n",          // no space and no path
      "3 34 1234 \n",         // empty path
      "9 34 1234 /p\n",       // no such event type
      "3 4294967296 1 /p\n",  // mode out of range
      "3 1 18446744073709551616 /p\n",
      "3 1 1 /bad\xff\n",
  };
  for (const char* text : bad) {
    SetText(std::string("1 32 5 /good\n") + text);
    ExcepList l;
    EXPECT_EQ(l.read(Path()), -1) << text;
    EXPECT_TRUE(l.events().empty()) << text;
    EXPECT_EQ(sftest::ReadFile(dir.Sub("excep.list.bad")), std::string("1 32 5 /good\n") + text);
  }
  SetText("1 32 5 /" + std::string(9000, 'a') + "\n");
  ExcepList l;
  EXPECT_EQ(l.read(Path()), -1);
}

TEST_F(ExcepListTest, PathsThatCannotBeStoredAreLeftOut) {
  ExcepList l;
  l.Set(Make(EV_MODIFY, F_EXCEP, 1, L"/line\nbreak"));
  l.Set(Make(EV_MODIFY, F_EXCEP, 2, L"/fine"));
  // Written cut at the zero, it would read back as a retry for "/docs".
  l.Set(Make(EV_REMOVE, F_SERVER | F_EXCEP, 3, std::wstring(L"/docs\0/x", 8)));
  ASSERT_EQ(l.write(Path()), 0);
  EXPECT_EQ(Text(), "3 32 2 /fine\n");
  ExcepList back;
  EXPECT_EQ(back.read(Path()), 0);
}

TEST_F(ExcepListTest, EntriesOutsideTheSyncRootAreDroppedAndTheRestKept) {
  SetText(
      "1 32 0 /../../etc/passwd\n1 32 0 /a/../../b\n1 32 0 relative\n"
      "1 32 0 /a/./b\n1 32 0 /ok/..dots/x..\n");
  // Found by fuzz_excep_list: a zero byte in a path was read as part of it,
  // and the system call would have named "/docs/a" instead.
  SetText(Text() + std::string("3 34 1234 /docs/a\0/b\n", 21));
  ExcepList l;
  EXPECT_EQ(l.read(Path()), 0);
  ASSERT_EQ(l.events().size(), 1u);
  EXPECT_EQ(l.events().begin()->first, L"/ok/..dots/x..");
}

TEST_F(ExcepListTest, WriteFailureLeavesTheOldFile) {
  SetText("3 32 1 /old\n");
  ExcepList l;
  l.Set(Make(EV_MODIFY, F_EXCEP, 2, L"/new"));
  EXPECT_EQ(l.write(Utf8ToWideLossy(dir.Sub("no/such/excep.list"))), -1);
  EXPECT_EQ(Text(), "3 32 1 /old\n");
}

}  // namespace
