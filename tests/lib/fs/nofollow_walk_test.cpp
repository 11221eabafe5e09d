#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/fs/nofollow-walk.h"

namespace {

using sftest::TempDir;
using sftest::WriteFile;

TEST(SharePathTest, AcceptsPlainNestedAndUnicodeNames) {
  SharePath p;
  ASSERT_EQ(ParseSharePath(std::string("/a"), p), 0);
  EXPECT_EQ(p.names, std::vector<std::string>{"a"});
  ASSERT_EQ(ParseSharePath(std::wstring(L"/docs/r\u00e9sum\u00e9 v2/..x/.hidden"), p), 0);
  EXPECT_EQ(p.names.size(), 4u);
  EXPECT_EQ(p.str(), "/docs/r\xc3\xa9sum\xc3\xa9 v2/..x/.hidden");
  EXPECT_EQ(p.parent().str(), "/docs/r\xc3\xa9sum\xc3\xa9 v2/..x");
  EXPECT_EQ(p.leaf(), ".hidden");
}

TEST(SharePathTest, RefusesEveryEscapeAndMalformedForm) {
  const std::string bad[] = {
      "",
      "/",
      "a",
      "a/b",
      "/a/",
      "//a",
      "/a//b",
      "/.",
      "/..",
      "/a/..",
      "/a/../../etc",
      "/a/./b",
      "/a\\..\\b",
      std::string("/a\0b", 4),
      "/\xff\xfe",
      "/a/\xc0\xaf",
  };
  for (const auto& s : bad) {
    SharePath p;
    p.names = {"kept"};
    EXPECT_EQ(ParseSharePath(s, p), ERR_INVAL) << "'" << s << "'";
    EXPECT_EQ(p.names, std::vector<std::string>{"kept"});
  }
  SharePath p;
  EXPECT_EQ(ParseSharePath(std::wstring(L"/a\0b", 4), p), ERR_INVAL);
}

TEST(SharePathTest, EnforcesNameLengthPathLengthAndDepth) {
  SharePath p;
  EXPECT_EQ(ParseSharePath("/" + std::string(kMaxShareNameBytes, 'n'), p), 0);
  EXPECT_EQ(ParseSharePath("/" + std::string(kMaxShareNameBytes + 1, 'n'), p), ERR_INVAL);
  std::string deep;
  for (size_t i = 0; i < kMaxShareDepth; ++i) deep += "/d";
  EXPECT_EQ(ParseSharePath(deep, p), 0);
  EXPECT_EQ(ParseSharePath(deep + "/d", p), ERR_INVAL);
  std::string longpath;
  while (longpath.size() <= kMaxSharePathBytes) longpath += "/" + std::string(100, 'x');
  EXPECT_EQ(ParseSharePath(longpath, p), ERR_INVAL);
}

class ShareDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(root.Sub("share").c_str(), 0755);
    mkdir(root.Sub("outside").c_str(), 0755);
    WriteFile(root.Sub("outside/secret"), "secret");
    ASSERT_EQ(dir.Open(root.Sub("share")), 0);
  }
  SharePath P(const std::string& s) {
    SharePath p;
    EXPECT_EQ(ParseSharePath(s, p), 0);
    return p;
  }
  TempDir root;
  ShareDir dir;
};

TEST_F(ShareDirTest, SymlinksPlantedInTheShareAreNeverFollowed) {
  ASSERT_EQ(symlink(root.Sub("outside").c_str(), root.Sub("share/link").c_str()), 0);
  ASSERT_EQ(symlink(root.Sub("outside/secret").c_str(), root.Sub("share/file").c_str()), 0);
  UniqueFd fd;
  EXPECT_EQ(dir.OpenParent(P("/link/secret"), false, fd), ERR_CONFLICT);
  EXPECT_EQ(dir.OpenParent(P("/link/new"), true, fd), ERR_CONFLICT);
  EXPECT_EQ(dir.OpenRead(P("/link/secret"), fd), ERR_CONFLICT);
  EXPECT_EQ(dir.OpenRead(P("/file"), fd), ERR_NOENT);
  EXPECT_EQ(dir.OpenDir(P("/link"), fd), ERR_CONFLICT);
  struct stat st;
  ASSERT_EQ(dir.Stat(P("/link"), st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(ShareDirTest, CreatesMissingParentsTopDownAndStopsAtAFile) {
  UniqueFd fd;
  std::vector<SharePath> created;
  ASSERT_EQ(dir.OpenParent(P("/a/b/c/leaf"), true, fd, &created), 0);
  ASSERT_EQ(created.size(), 3u);
  EXPECT_EQ(created[0].str(), "/a");
  EXPECT_EQ(created[2].str(), "/a/b/c");
  EXPECT_TRUE(sftest::PathExists(root.Sub("share/a/b/c")));
  WriteFile(root.Sub("share/a/f"), "x");
  EXPECT_EQ(dir.OpenParent(P("/a/f/g/leaf"), true, fd), ERR_CONFLICT);
  EXPECT_FALSE(sftest::PathExists(root.Sub("share/a/f/g")));
  EXPECT_EQ(dir.OpenParent(P("/none/leaf"), false, fd), ERR_NOENT);
}

TEST_F(ShareDirTest, RemoveTreeDoesNotFollowLinksOutOfTheTree) {
  mkdir(root.Sub("share/t").c_str(), 0755);
  mkdir(root.Sub("share/t/sub").c_str(), 0755);
  WriteFile(root.Sub("share/t/sub/f"), "x");
  ASSERT_EQ(symlink(root.Sub("outside").c_str(), root.Sub("share/t/out").c_str()), 0);
  EXPECT_EQ(RemoveTreeAt(dir.rootFd(), "t"), 0);
  EXPECT_FALSE(sftest::PathExists(root.Sub("share/t")));
  EXPECT_EQ(sftest::ReadFile(root.Sub("outside/secret")), "secret");
  EXPECT_EQ(RemoveTreeAt(dir.rootFd(), "t"), 0);  // already gone
}

}  // namespace
