#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/local/worker-filter.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"

namespace {

TEST(BlackList2Test, FailedLoadLeavesAnEmptyFilterThatPassesEverything) {
  sftest::TempDir dir;
  sftest::WriteFile(dir.Sub("good"),
                    "[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"tmp\"\n");
  sftest::WriteFile(dir.Sub("bad"), "[Version]\nmajor = x\n");
  BlackList2 bl;
  ASSERT_EQ(bl.Load(Utf8ToWideLossy(dir.Sub("good"))), 0);
  EXPECT_TRUE(bl.IsLoaded());
  EXPECT_EQ(bl.GetMajorVersion(), 1);
  EXPECT_EQ(bl.TestFilePath(L"/a/b.TMP"), FILTER_BLACK_EXT);
  testing::internal::CaptureStderr();
  EXPECT_EQ(bl.Load(Utf8ToWideLossy(dir.Sub("bad"))), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(bl.IsLoaded());
  EXPECT_EQ(bl.GetMajorVersion(), 0);
  EXPECT_EQ(bl.TestFilePath(L"/a/b.tmp"), 0);
}

TEST(BlackList2Test, PathsAreTestedAsUtf8AndNeverCutShort) {
  sftest::TempDir dir;
  sftest::WriteFile(dir.Sub("f"),
                    "[Version]\nmajor = 1\n[Directory]\nblack_name = \"\xc3\xa9t\xc3\xa9\"\n");
  BlackList2 bl;
  ASSERT_EQ(bl.Load(Utf8ToWideLossy(dir.Sub("f"))), 0);
  EXPECT_EQ(bl.TestDirectoryPath(L"/x/\u00e9t\u00e9"), FILTER_BLACK_NAME);
  EXPECT_EQ(bl.TestFilePath(L"/\u00e9t\u00e9/a"), FILTER_BLACK_NAME);
  // 510 two-byte characters: too long once converted, although short as text.
  EXPECT_EQ(bl.TestFilePath(L"/" + std::wstring(300, L'\u00e9')), FILTER_INVALID_PATH);
  EXPECT_EQ(bl.TestFilePath(L"/" + std::wstring(510, L'a')), 0);
  EXPECT_EQ(bl.TestFilePath(std::wstring(L"/a\xd800")), FILTER_INVALID_PATH);
}

TEST(BlackList2Test, EachWorkerGenerationHasItsOwnFilter) {
  EXPECT_NE(&WorkerBlackList(3), &WorkerBlackList(4));
  EXPECT_EQ(&WorkerBlackList(3), &WorkerBlackList(3));
}

TEST(InBlackListTest, BuiltInRulesAndAttributes) {
  sftest::TempDir dir;
  auto w = [&](const std::string& rel) { return Utf8ToWideLossy(dir.Sub(rel)); };
  sftest::WriteFile(dir.Sub("ok.txt"), "x");
  sftest::WriteFile(dir.Sub("~notes.txt"), "x");
  sftest::WriteFile(dir.Sub("Thumbs.TMP"), "x");
  ASSERT_EQ(mkdir(dir.Sub("a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.Sub("a/@eaDir").c_str(), 0755), 0);
  sftest::WriteFile(dir.Sub("a/@eaDir/b.txt"), "x");
  ASSERT_EQ(symlink("ok.txt", dir.Sub("link").c_str()), 0);
  {
    // Sparse: takes no space but reports 2 GiB.
    int fd = open(dir.Sub("big").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 2147483648LL), 0);
    close(fd);
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(InBlackList(w("ok.txt")), 0);
  EXPECT_EQ(InBlackList(w("a")), 0);
  EXPECT_EQ(InBlackList(w("~notes.txt")), 1);
  EXPECT_EQ(InBlackList(w("Thumbs.TMP")), 1);
  EXPECT_EQ(InBlackList(w("a/@eaDir/b.txt")), 1);
  EXPECT_EQ(InBlackList(w("big")), 1);
  EXPECT_EQ(InBlackList(w("link")), 1);
  EXPECT_EQ(InBlackList(w("gone.txt")), 0);  // cannot be examined: the names still decide
  EXPECT_EQ(InBlackList(w("gone.swp")), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("bad prefix\n"), std::string::npos);
  EXPECT_NE(out.find("bad ext\n"), std::string::npos);
  EXPECT_NE(out.find("bad dir\n"), std::string::npos);
  EXPECT_NE(out.find("bad attribute\n"), std::string::npos);
  EXPECT_NE(out.find("Can not obtain file info for '" + dir.Sub("gone.txt") + "'."),
            std::string::npos);
}

}  // namespace
