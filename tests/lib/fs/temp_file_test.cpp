#include <gtest/gtest.h>

#include "fakes/test-util.h"
#include "lib/base/utility.h"
#include "lib/fs/temp-file.h"

namespace {

using sftest::PathExists;
using sftest::TempDir;

std::string N(const std::wstring& w) {
  return WideToUtf8Lossy(w);
}

TEST(TempFileTest, LastNonPermanentOwnerDeletesTheFile) {
  TempDir t;
  std::string path;
  {
    TempFile f(t.wpath());
    EXPECT_TRUE(f.getPath().empty());
    EXPECT_EQ(f.useCount(), 0);
    ASSERT_EQ(f.create(), 0);
    path = N(f.getPath());
    EXPECT_EQ(path.rfind(t.path() + "/", 0), 0u);
    EXPECT_TRUE(PathExists(path));
    EXPECT_EQ(sftest::ReadFile(path), "");
    EXPECT_EQ(f.useCount(), 1);
  }
  EXPECT_FALSE(PathExists(path));
}

TEST(TempFileTest, PermanentFileSurvives) {
  TempDir t;
  std::string path;
  {
    TempFile f(t.wpath());
    ASSERT_EQ(f.create(), 0);
    path = N(f.getPath());
    f.convert_permanent();
  }
  EXPECT_TRUE(PathExists(path));
}

TEST(TempFileTest, CreateTwiceFailsAndKeepsTheFirstFile) {
  TempDir t;
  TempFile f(t.wpath());
  ASSERT_EQ(f.create(), 0);
  const std::wstring first = f.getPath();
  EXPECT_EQ(f.create(), -1);
  EXPECT_EQ(f.getPath(), first);
  EXPECT_TRUE(PathExists(N(first)));
}

TEST(TempFileTest, CreateInMissingDirectoryFails) {
  TempDir t;
  TempFile f(t.wpath() + L"/missing");
  EXPECT_EQ(f.create(), -1);
  EXPECT_TRUE(f.getPath().empty());
  EXPECT_EQ(f.useCount(), 0);
}

TEST(TempFileTest, CopiesShareTheFileUntilTheLastGoes) {
  TempDir t;
  std::string path;
  {
    TempFile a(t.wpath());
    ASSERT_EQ(a.create(), 0);
    path = N(a.getPath());
    {
      TempFile b(a);
      EXPECT_EQ(b.getPath(), a.getPath());
      EXPECT_EQ(a.useCount(), 2);
      TempFile c(t.wpath());
      c = b;
      EXPECT_EQ(a.useCount(), 3);
    }
    EXPECT_EQ(a.useCount(), 1);
    EXPECT_TRUE(PathExists(path));
  }
  EXPECT_FALSE(PathExists(path));
}

TEST(TempFileTest, PermanenceMadeOnOneCopyHoldsWhicheverCopyGoesLast) {
  // A worker may commit a signature's path through one copy while another
  // copy outlives it: the committed file must stay.
  TempDir t;
  std::string path;
  {
    TempFile keeper(t.wpath());
    {
      TempFile made(t.wpath());
      ASSERT_EQ(made.create(), 0);
      path = N(made.getPath());
      keeper = made;
      made.convert_permanent();
    }
    EXPECT_TRUE(keeper.isPermanent());
  }
  EXPECT_TRUE(PathExists(path));

  // A file of its own, later, starts out temporary again.
  TempFile reused(t.wpath());
  ASSERT_EQ(reused.create(), 0);
  const std::string first = N(reused.getPath());
  {
    TempFile copy(reused);
    copy.convert_permanent();
  }
  reused.remove();
  EXPECT_FALSE(PathExists(first));
  ASSERT_EQ(reused.create(), 0);
  EXPECT_FALSE(reused.isPermanent());
}

TEST(TempFileTest, AssignmentReleasesTheOldFile) {
  TempDir t;
  TempFile a(t.wpath()), b(t.wpath());
  ASSERT_EQ(a.create(), 0);
  ASSERT_EQ(b.create(), 0);
  const std::string a_path = N(a.getPath());
  a = b;
  EXPECT_FALSE(PathExists(a_path));
  EXPECT_EQ(a.getPath(), b.getPath());
  EXPECT_EQ(b.useCount(), 2);

  // Assigning an object without a file leaves this one without a file, and
  // it can create a fresh one without disturbing the shared file.
  TempFile empty(t.wpath());
  a = empty;
  EXPECT_TRUE(a.getPath().empty());
  EXPECT_EQ(b.useCount(), 1);
  EXPECT_TRUE(PathExists(N(b.getPath())));
  ASSERT_EQ(a.create(), 0);
  EXPECT_NE(a.getPath(), b.getPath());

  a = a;
  EXPECT_EQ(a.useCount(), 1);
}

TEST(TempFileTest, AssignmentKeepsAFileSharedWithOthers) {
  TempDir t;
  TempFile a(t.wpath()), b(t.wpath());
  ASSERT_EQ(a.create(), 0);
  TempFile a2(a);
  ASSERT_EQ(b.create(), 0);
  a = b;  // a2 still owns the first file
  EXPECT_TRUE(PathExists(N(a2.getPath())));
  EXPECT_EQ(a2.useCount(), 1);
}

TEST(TempFileTest, RemoveOnASharedFileLeavesCopiesSafe) {
  TempDir t;
  TempFile a(t.wpath());
  ASSERT_EQ(a.create(), 0);
  const std::string path = N(a.getPath());
  TempFile b(a);
  a.remove();
  EXPECT_FALSE(PathExists(path));
  EXPECT_TRUE(a.getPath().empty());
  EXPECT_EQ(a.useCount(), 0);
  EXPECT_EQ(b.useCount(), 1);
  ASSERT_EQ(a.create(), 0);  // usable again; b's later destruction must not touch it
  const std::string fresh = N(a.getPath());
  { TempFile gone(std::move(b)); }
  EXPECT_TRUE(PathExists(fresh));
}

TEST(TempFileTest, EmptyPrefixUsesTheDefaultDirectory) {
  TempDir t;
  const std::wstring saved = TempFile::defaultPrefix();
  EXPECT_EQ(TempFile::initialize(t.wpath()), 0);
  TempFile f;
  TempFile::initialize(saved);
  ASSERT_EQ(f.create(), 0);
  EXPECT_EQ(f.getPath().rfind(t.wpath() + L"/", 0), 0u);
}

}  // namespace
