// The local trash on its own: its bounds, and moving in from another file
// system (simulated through the file layer's fault hook) without ever
// losing the original.
#include "lib/fs/trash.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"

namespace {

using sftest::PathExists;
using sftest::ReadFile;
using sftest::W;
using sftest::WriteFile;

class TrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(t.Sub("root").c_str(), 0755), 0);
    root.reset(open(t.Sub("root").c_str(), O_RDONLY | O_DIRECTORY));
  }
  void TearDown() override {
    FSSetFaultHook(nullptr);
    TrashShutdown();
  }
  void Init(int64_t max_age, uint64_t max_bytes) {
    TrashOptions o;
    o.folder = W(t.Sub("db/trash"));
    o.root = W(t.Sub("root"));
    o.max_age_seconds = max_age;
    o.max_bytes = max_bytes;
    o.clock = [this] { return now; };
    ASSERT_EQ(TrashInit(o), 0);
  }
  // Keeps root/<name> (written with `bytes` bytes) in a batch of its own.
  std::string Keep(const std::string& name, size_t bytes) {
    WriteFile(t.Sub("root/" + name), std::string(bytes, 'x'));
    TrashBatch b;
    EXPECT_EQ(b.Take(root.get(), name, name), kTrashKept) << name;
    return WideToUtf8Lossy(b.Finish());
  }
  std::string Names() {
    std::string s;
    for (const auto& e : TrashEntries()) s += (s.empty() ? "" : " ") + e.first;
    return s;
  }

  sftest::TempDir t;
  UniqueFd root;
  time_t now = 1800000000;  // 2027-01-15_080000 UTC
};

TEST_F(TrashTest, BoundsEvictTheOldestFirstAndSurviveARestart) {
  const int64_t day = 24 * 3600;
  Init(10 * day, 100);
  const std::string a = Keep("a", 40);
  EXPECT_EQ(a, t.Sub("db/trash/2027-01-15_080000.000000"));
  EXPECT_EQ(ReadFile(a + "/a"), std::string(40, 'x'));
  now += 1;
  Keep("b", 40);
  now += 1;
  Keep("c", 40);  // 120 bytes: the oldest goes
  EXPECT_EQ(Names(), "2027-01-15_080001.000000 2027-01-15_080002.000000");
  EXPECT_FALSE(PathExists(a));
  EXPECT_EQ(TrashBytes(), 80u);
  // Two operations in the same second get names of their own, in order.
  const std::string c2 = Keep("c", 10);
  EXPECT_EQ(c2, t.Sub("db/trash/2027-01-15_080002.000000_1"));

  // A restart finds the same entries; a folder of the user's own is never
  // taken for one.
  ASSERT_EQ(mkdir(t.Sub("db/trash/mine").c_str(), 0755), 0);
  WriteFile(t.Sub("db/trash/mine/big"), std::string(500, 'm'));
  now += 10 * day;  // b is now older than ten days, c not yet
  Init(10 * day, 100);
  EXPECT_EQ(Names(), "2027-01-15_080002.000000 2027-01-15_080002.000000_1");
  EXPECT_EQ(TrashBytes(), 50u);
  EXPECT_TRUE(PathExists(t.Sub("db/trash/mine/big")));

  // What the trash could never hold is not kept, and left to the caller.
  WriteFile(t.Sub("root/huge"), std::string(101, 'h'));
  TrashBatch b;
  EXPECT_EQ(b.Take(root.get(), "huge", "huge"), kTrashSkipped);
  EXPECT_EQ(b.Finish(), L"");
  EXPECT_TRUE(PathExists(t.Sub("root/huge")));

  // The folder removed by hand while running: made again at the next item.
  sftest::RemoveTree(t.Sub("db/trash"));
  EXPECT_EQ(ReadFile(Keep("again", 3) + "/again"), "xxx");
  EXPECT_EQ(TrashBytes(), 3u);

  // Off: nothing is kept.
  Init(0, 100);
  EXPECT_FALSE(TrashOn());
  TrashBatch off;
  EXPECT_EQ(off.Take(root.get(), "huge", "huge"), kTrashSkipped);
}

TEST_F(TrashTest, FromAnotherFileSystemTheOriginalGoesOnlyOnceItsCopyIsSafe) {
  Init(3600, 1 << 20);
  // Every rename or link into the trash fails as it does across devices.
  FSSetFaultHook([](FSOp op, const std::wstring&) { return op == FSOP_RENAME ? EXDEV : 0; });
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes += static_cast<char>(i * 7);
  ASSERT_EQ(mkdir(t.Sub("root/d").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(t.Sub("root/d/sub").c_str(), 0755), 0);
  WriteFile(t.Sub("root/d/sub/f.bin"), bytes);
  ASSERT_EQ(chmod(t.Sub("root/d/sub/f.bin").c_str(), 0640), 0);
  ASSERT_EQ(symlink("f.bin", t.Sub("root/d/sub/link").c_str()), 0);
  WriteFile(t.Sub("root/keep.txt"), "stays where it is");
  {
    TrashBatch b;
    EXPECT_EQ(b.Take(root.get(), "d", "d"), kTrashKept);
    EXPECT_EQ(b.Copy(root.get(), "keep.txt", "keep.txt"), kTrashKept);
    const std::string where = WideToUtf8Lossy(b.Finish());
    EXPECT_FALSE(PathExists(t.Sub("root/d")));
    EXPECT_TRUE(ReadFile(where + "/d/sub/f.bin") == bytes);
    struct stat st;
    ASSERT_EQ(lstat((where + "/d/sub/f.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(lstat((where + "/d/sub/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(where + "/keep.txt"), "stays where it is");
    EXPECT_EQ(ReadFile(t.Sub("root/keep.txt")), "stays where it is");
  }

  // A full disk on the trash's side: the original stays, no half copy is
  // left, and the caller is told why.
  const uint64_t before = TrashBytes();
  FSSetFaultHook([](FSOp op, const std::wstring&) {
    return op == FSOP_RENAME ? EXDEV : op == FSOP_WRITE ? ENOSPC : 0;
  });
  WriteFile(t.Sub("root/g"), bytes);
  {
    TrashBatch b;
    EXPECT_EQ(b.Take(root.get(), "g", "g"), ERR_DISKFULL);
    EXPECT_EQ(b.Copy(root.get(), "g", "g"), ERR_DISKFULL);
    EXPECT_EQ(b.Finish(), L"");
  }
  EXPECT_TRUE(ReadFile(t.Sub("root/g")) == bytes);
  EXPECT_EQ(TrashEntries().size(), 1u);
  EXPECT_EQ(TrashBytes(), before);

  // The recycle option of the file layer goes to the same place.
  FSSetFaultHook(nullptr);
  EXPECT_EQ(FSRemove(W(t.Sub("root/g")), true), 0);
  EXPECT_FALSE(PathExists(t.Sub("root/g")));
  EXPECT_EQ(TrashEntries().size(), 2u);
  EXPECT_TRUE(ReadFile(t.Sub("db/trash/" + TrashEntries().rbegin()->first + "/g")) == bytes);
}

}  // namespace
