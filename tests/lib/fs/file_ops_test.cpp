#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/test-util.h"
#include "lib/base/handles.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"

namespace {

using sftest::PathExists;
using sftest::ReadFile;
using sftest::TempDir;
using sftest::WriteFile;

using sftest::W;

void SetTimes(const std::string& p, time_t atime, time_t mtime) {
  struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
}

struct stat Lstat(const std::string& p) {
  struct stat st {};
  EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
  return st;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

TEST(FSStatTest, MissingPathOrParentIsNotAnError) {
  TempDir t;
  WriteFile(t.Sub("file"), "x");
  for (const char* rel : {"missing", "missing/child", "file/child"}) {
    FILE_INFO info;
    info.isExist = true;
    EXPECT_EQ(FSStat(W(t.Sub(rel)), info), 0) << rel;
    EXPECT_FALSE(info.isExist) << rel;
  }
  EXPECT_FALSE(IsFileExist(W(t.Sub("missing"))));
  EXPECT_FALSE(IsFileExist(L""));
}

TEST(FSStatTest, OtherFailuresReturnMinusOne) {
  TempDir t;
  FILE_INFO info;
  EXPECT_EQ(FSStat(W(t.Sub(std::string(300, 'n'))), info), -1);  // name too long
  EXPECT_EQ(FSStat(W(t.path()) + std::wstring(L"/a\0b", 4), info), -1);
  EXPECT_EQ(FSStat(W(t.path()) + L"/\xD800", info), -1);  // no UTF-8 form
}

TEST(FSStatTest, TypesSizesAndTimes) {
  TempDir t;
  WriteFile(t.Sub("f"), "hello");
  SetTimes(t.Sub("f"), 100, 1234567890);
  ASSERT_EQ(mkdir(t.Sub("d").c_str(), 0755), 0);
  ASSERT_EQ(symlink("f", t.Sub("link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", t.Sub("dangling").c_str()), 0);
  ASSERT_EQ(symlink("d", t.Sub("dirlink").c_str()), 0);
  ASSERT_EQ(mkfifo(t.Sub("fifo").c_str(), 0600), 0);

  FILE_INFO f;
  ASSERT_EQ(FSStat(W(t.Sub("f")), f), 0);
  EXPECT_TRUE(f.isExist);
  EXPECT_EQ(f.type, FT_FILE);
  EXPECT_EQ(f.size, 5u);
  EXPECT_EQ(f.mtime, 1234567890u);
  EXPECT_EQ(f.path, W(t.Sub("f")));
  EXPECT_TRUE(f.name.empty());

  struct Case {
    const char* rel;
    FILE_TYPE type;
  } cases[] = {{"d", FT_DIR},
               {"link", FT_SLINK},
               {"dangling", FT_SLINK},
               {"dirlink", FT_SLINK},
               {"fifo", FT_ERR}};
  for (const Case& c : cases) {
    FILE_INFO info;
    ASSERT_EQ(FSStat(W(t.Sub(c.rel)), info), 0) << c.rel;
    EXPECT_TRUE(info.isExist) << c.rel;
    EXPECT_EQ(info.type, c.type) << c.rel;
    EXPECT_EQ(info.size, 0u) << c.rel;  // only regular files have a size
  }
  EXPECT_TRUE(IsFileExist(W(t.Sub("dangling"))));
}

TEST(FSStatTest, EqualityNoticesAChangedFile) {
  TempDir t;
  WriteFile(t.Sub("f"), "abc");
  SetTimes(t.Sub("f"), 1, 1000);
  FILE_INFO a, b;
  ASSERT_EQ(FSStat(W(t.Sub("f")), a), 0);
  ASSERT_EQ(FSStat(W(t.Sub("f")), b), 0);
  EXPECT_TRUE(a == b);
  WriteFile(t.Sub("f"), "abcd");
  SetTimes(t.Sub("f"), 1, 1000);
  ASSERT_EQ(FSStat(W(t.Sub("f")), b), 0);
  EXPECT_TRUE(a != b);
  b = a;
  b.name = L"f";
  EXPECT_NE(a, b);
}

std::vector<DIR_ENTRY> ReadAll(const std::string& dir, int flag, int* last = nullptr) {
  DIR_HANDLE h;
  EXPECT_EQ(FSOpenDir(W(dir), flag, h), 0);
  std::vector<DIR_ENTRY> out;
  DIR_ENTRY e;
  int r;
  while ((r = FSReadDir(h, e)) == 1) out.push_back(e);
  if (last) *last = r;
  EXPECT_EQ(FSReadDir(h, e), r) << "a finished listing stays finished";
  FSCloseDir(h);
  EXPECT_TRUE(h.path.empty());
  std::sort(out.begin(), out.end(),
            [](const DIR_ENTRY& a, const DIR_ENTRY& b) { return a.name < b.name; });
  return out;
}

TEST(FSReadDirTest, ListsDotEntriesTypesAndOptionalStat) {
  TempDir t;
  ASSERT_EQ(mkdir(t.Sub("d").c_str(), 0755), 0);
  WriteFile(t.Sub("d/file"), "123");
  SetTimes(t.Sub("d/file"), 5, 777);
  ASSERT_EQ(mkdir(t.Sub("d/sub").c_str(), 0755), 0);
  SetTimes(t.Sub("d/sub"), 5, 888);
  ASSERT_EQ(symlink("file", t.Sub("d/ln").c_str()), 0);
  ASSERT_EQ(mkfifo(t.Sub("d/fifo").c_str(), 0600), 0);

  int last = 99;
  auto plain = ReadAll(t.Sub("d"), 0, &last);
  EXPECT_EQ(last, 0);
  ASSERT_EQ(plain.size(), 6u);
  const wchar_t* names[] = {L".", L"..", L"fifo", L"file", L"ln", L"sub"};
  const FILE_TYPE types[] = {FT_DIR, FT_DIR, FT_ERR, FT_FILE, FT_SLINK, FT_DIR};
  for (size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(plain[i].name, names[i]);
    EXPECT_EQ(plain[i].type, types[i]) << i;
    EXPECT_EQ(plain[i].mtime, 0u);
    EXPECT_EQ(plain[i].size, 0u);
  }

  auto full = ReadAll(t.Sub("d"), FS_DIR_STAT);
  ASSERT_EQ(full.size(), 6u);
  EXPECT_EQ(full[3].size, 3u);
  EXPECT_EQ(full[3].mtime, 777u);
  EXPECT_EQ(full[5].size, 0u);
  EXPECT_EQ(full[5].mtime, 888u);
}

TEST(FSReadDirTest, UnlistableDirectoriesFail) {
  TempDir t;
  WriteFile(t.Sub("file"), "");
  for (const std::string& p : {t.Sub("missing"), t.Sub("file"), std::string()}) {
    int last = 99;
    EXPECT_TRUE(ReadAll(p, 0, &last).empty());
    EXPECT_EQ(last, -1) << p;
  }
}

TEST(FSReadDirTest, SkipsNamesThatAreNotUtf8) {
  TempDir t;
  WriteFile(t.Sub("ok"), "");
  WriteFile(t.Sub("bad\xff"), "");
  auto list = ReadAll(t.path(), 0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2].name, L"ok");
}

struct Walk {
  std::vector<std::wstring> seen;
  std::set<std::wstring> refuse;
};

int Record(const std::wstring& path, void* priv) {
  auto* w = static_cast<Walk*>(priv);
  w->seen.push_back(path);
  return w->refuse.count(path) ? 1 : 0;
}

class TraverseDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"top", "top/sub", "top/sub/deep", "top/other"})
      ASSERT_EQ(mkdir(m_t.Sub(d).c_str(), 0755), 0);
    for (const char* f : {"top/a", "top/sub/b", "top/sub/c", "top/sub/deep/d", "top/other/e"})
      WriteFile(m_t.Sub(f), f);
    ASSERT_EQ(symlink("..", m_t.Sub("top/sub/up").c_str()), 0);
  }
  std::wstring P(const char* rel) const { return W(m_t.Sub(rel)); }
  size_t Index(const Walk& w, const char* rel) const {
    return std::find(w.seen.begin(), w.seen.end(), P(rel)) - w.seen.begin();
  }
  TempDir m_t;
};

TEST_F(TraverseDirTest, VisitsEveryEntryOnceDirectoriesFirstLinksNotFollowed) {
  Walk w;
  ASSERT_EQ(TraverseDir(P("top"), Record, &w), 0);
  std::set<std::wstring> unique(w.seen.begin(), w.seen.end());
  EXPECT_EQ(unique.size(), w.seen.size());
  EXPECT_EQ(unique, (std::set<std::wstring>{P("top"), P("top/a"), P("top/sub"), P("top/sub/b"),
                                            P("top/sub/c"), P("top/sub/deep"), P("top/sub/deep/d"),
                                            P("top/sub/up"), P("top/other"), P("top/other/e")}));
  EXPECT_EQ(w.seen.front(), P("top"));
  EXPECT_LT(Index(w, "top/sub"), Index(w, "top/sub/b"));
  EXPECT_LT(Index(w, "top/sub/deep"), Index(w, "top/sub/deep/d"));
}

TEST_F(TraverseDirTest, RefusingTheTopVisitsNothingElse) {
  Walk w;
  w.refuse.insert(P("top"));
  EXPECT_EQ(TraverseDir(P("top"), Record, &w), -2);
  EXPECT_EQ(w.seen, std::vector<std::wstring>{P("top")});
}

TEST_F(TraverseDirTest, RefusingAFileEndsOnlyItsDirectory) {
  Walk w;
  w.refuse.insert(P("top/sub/b"));
  EXPECT_EQ(TraverseDir(P("top"), Record, &w), 0);
  const size_t b = Index(w, "top/sub/b");
  ASSERT_LT(b, w.seen.size());
  // Nothing of sub comes after the refusal, but its parent goes on.
  const std::wstring sub = P("top/sub") + L"/";
  for (size_t i = b + 1; i < w.seen.size(); ++i)
    EXPECT_NE(w.seen[i].compare(0, sub.size(), sub), 0) << w.seen[i];
  EXPECT_LT(Index(w, "top/a"), w.seen.size());
  EXPECT_LT(Index(w, "top/other/e"), w.seen.size());
}

TEST_F(TraverseDirTest, RefusedSubdirectoryEndsItsParentsListingOnly) {
  Walk w;
  w.refuse.insert(P("top/sub"));
  EXPECT_EQ(TraverseDir(P("top"), Record, &w), 0);
  const size_t s = Index(w, "top/sub");
  ASSERT_LT(s, w.seen.size());
  EXPECT_EQ(s + 1, w.seen.size()) << "top's listing must stop at sub";
}

TEST_F(TraverseDirTest, NonDirectoryStartIsVisitedOnce) {
  Walk w;
  EXPECT_EQ(TraverseDir(P("top/a"), Record, &w), 0);
  EXPECT_EQ(TraverseDir(P("top/missing"), Record, &w), 0);
  EXPECT_EQ(w.seen, (std::vector<std::wstring>{P("top/a"), P("top/missing")}));
}

TEST(FSRenameTest, ReplacesExistingDestination) {
  TempDir t;
  WriteFile(t.Sub("from"), "new");
  WriteFile(t.Sub("to"), "old content");
  ASSERT_EQ(FSRename(W(t.Sub("from")), W(t.Sub("to"))), 0);
  EXPECT_FALSE(PathExists(t.Sub("from")));
  EXPECT_EQ(ReadFile(t.Sub("to")), "new");

  ASSERT_EQ(mkdir(t.Sub("d").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(t.Sub("e").c_str(), 0755), 0);
  WriteFile(t.Sub("d/x"), "x");
  ASSERT_EQ(FSRename(W(t.Sub("d")), W(t.Sub("e/moved"))), 0);
  EXPECT_EQ(ReadFile(t.Sub("e/moved/x")), "x");
}

TEST(FSRenameTest, FailuresLeaveBothSidesAlone) {
  TempDir t;
  WriteFile(t.Sub("src"), "data");
  EXPECT_EQ(FSRename(W(t.Sub("missing")), W(t.Sub("dst"))), -1);
  EXPECT_EQ(FSRename(W(t.Sub("src")), W(t.Sub("nodir/dst"))), -1);
  EXPECT_EQ(ReadFile(t.Sub("src")), "data");
  EXPECT_FALSE(PathExists(t.Sub("dst")));
}

TEST(FSCopyTest, EmptyAndMultiChunkFilesAreCopiedExactly) {
  TempDir t;
  WriteFile(t.Sub("empty"), "");
  ASSERT_EQ(FSCopy(W(t.Sub("empty")), W(t.Sub("empty.copy")), false), 0);
  EXPECT_TRUE(PathExists(t.Sub("empty.copy")));
  EXPECT_EQ(ReadFile(t.Sub("empty.copy")), "");

  for (size_t n : {size_t{8192}, size_t{3 * 8192 + 17}, size_t{(5 << 20) + 3}}) {
    const std::string data = RandomBytes(n, static_cast<unsigned>(n));
    WriteFile(t.Sub("big"), data);
    WriteFile(t.Sub("big.copy"), std::string(100000, 'z'));  // longer: must be truncated
    ASSERT_EQ(FSCopy(W(t.Sub("big")), W(t.Sub("big.copy")), false), 0);
    EXPECT_EQ(ReadFile(t.Sub("big.copy")), data) << n;
    EXPECT_EQ(ReadFile(t.Sub("big")), data);

    // The tap, on its own thread, sees every byte once and in order, and
    // is done with all of them when the copy returns.
    std::string tapped;
    ASSERT_EQ(FSCopy(W(t.Sub("big")), W(t.Sub("tapped")), false,
                     [&](const char* p, size_t len) {
                       tapped.append(p, len);
                       return 0;
                     }),
              0);
    EXPECT_TRUE(tapped == data) << n;
  }
}

TEST(FSCopyTest, FailingTapEndsTheCopy) {
  TempDir t;
  WriteFile(t.Sub("src"), RandomBytes((3 << 20) + 1, 7));
  int calls = 0;
  EXPECT_EQ(FSCopy(W(t.Sub("src")), W(t.Sub("dst")), true,
                   [&](const char*, size_t) { return ++calls == 2 ? -1 : 0; }),
            -1);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(PathExists(t.Sub("src")));  // the origin stays after a failed copy
}

TEST(FSCopyTest, DeletesOriginOnlyAfterSuccess) {
  TempDir t;
  WriteFile(t.Sub("src"), "payload");
  ASSERT_EQ(FSCopy(W(t.Sub("src")), W(t.Sub("dst")), true), 0);
  EXPECT_FALSE(PathExists(t.Sub("src")));
  EXPECT_EQ(ReadFile(t.Sub("dst")), "payload");

  // A full disk: the write fails and the source must survive.
  WriteFile(t.Sub("src"), RandomBytes(20000, 1));
  EXPECT_EQ(FSCopy(W(t.Sub("src")), L"/dev/full", true), -1);
  EXPECT_EQ(ReadFile(t.Sub("src")).size(), 20000u);
  EXPECT_EQ(FSCopy(W(t.Sub("src")), W(t.Sub("nodir/dst")), true), -1);
  EXPECT_TRUE(PathExists(t.Sub("src")));
  EXPECT_EQ(FSCopy(W(t.Sub("missing")), W(t.Sub("dst")), false), -1);
  EXPECT_EQ(ReadFile(t.Sub("dst")), "payload");
}

TEST(FSCopyTest, CopyOntoItselfKeepsTheData) {
  TempDir t;
  WriteFile(t.Sub("f"), "precious");
  ASSERT_EQ(link(t.Sub("f").c_str(), t.Sub("hard").c_str()), 0);
  EXPECT_EQ(FSCopy(W(t.Sub("f")), W(t.Sub("f")), true), -1);
  EXPECT_EQ(FSCopy(W(t.Sub("f")), W(t.Sub("hard")), true), -1);
  EXPECT_EQ(ReadFile(t.Sub("f")), "precious");
}

TEST(FSMKDirTest, SingleDirectory) {
  TempDir t;
  EXPECT_EQ(FSMKDir(W(t.Sub("a")), false), 0);
  EXPECT_EQ(Lstat(t.Sub("a")).st_mode & S_IFMT, S_IFDIR);
  EXPECT_EQ(FSMKDir(W(t.Sub("a")), false), 0);  // already there
  EXPECT_EQ(FSMKDir(W(t.Sub("x/y")), false), -1);
  WriteFile(t.Sub("file"), "keep");
  EXPECT_EQ(FSMKDir(W(t.Sub("file")), false), -1) << "a file is not a directory";
  EXPECT_EQ(ReadFile(t.Sub("file")), "keep");
  EXPECT_EQ(FSMKDir(W(t.Sub("x//y/z/")), true), 0);
  EXPECT_EQ(Lstat(t.Sub("x/y/z")).st_mode & S_IFMT, S_IFDIR);
  EXPECT_EQ(FSMKDir(L"", false), -1);
}

TEST(FSMKDirPTest, CreatesParentsAndHandlesObstacles) {
  TempDir t;
  EXPECT_EQ(FSMKDirP(W(t.Sub("p//q/r")), nullptr, false, -1, -1, 0), 0);
  EXPECT_EQ(Lstat(t.Sub("p/q/r")).st_mode & S_IFMT, S_IFDIR);
  EXPECT_EQ(FSMKDirP(W(t.Sub("p/q/r")), nullptr, false, -1, -1, 0), 0);
  EXPECT_EQ(FSMKDirP(L"/", nullptr, false, -1, -1, 0), 0);
  EXPECT_EQ(FSMKDirP(L"", nullptr, false, -1, -1, 0), -1);

  WriteFile(t.Sub("p/f"), "x");
  errno = 0;
  EXPECT_EQ(FSMKDirP(W(t.Sub("p/f")), nullptr, false, -1, -1, 0), -1);
  EXPECT_EQ(errno, EEXIST);
  errno = 0;
  EXPECT_EQ(FSMKDirP(W(t.Sub("p/f/g")), nullptr, false, -1, -1, 0), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(ReadFile(t.Sub("p/f")), "x");

  EXPECT_EQ(FSMKDirP(W(t.Sub("p/f/g")), nullptr, true, -1, -1, 0), 0);
  EXPECT_EQ(Lstat(t.Sub("p/f/g")).st_mode & S_IFMT, S_IFDIR);

  // A link to a directory is a directory on the way; a dangling link is not.
  ASSERT_EQ(symlink("q", t.Sub("p/lq").c_str()), 0);
  EXPECT_EQ(FSMKDirP(W(t.Sub("p/lq/new")), nullptr, false, -1, -1, 0), 0);
  EXPECT_TRUE(PathExists(t.Sub("p/q/new")));
  ASSERT_EQ(symlink("nowhere", t.Sub("p/dl").c_str()), 0);
  EXPECT_EQ(FSMKDirP(W(t.Sub("p/dl")), nullptr, false, -1, -1, 0), -1);
}

TEST(FSUTimeTest, SetsOnlyModificationTime) {
  TempDir t;
  WriteFile(t.Sub("f"), "x");
  SetTimes(t.Sub("f"), 5000, 6000);
  ASSERT_EQ(FSUTime(W(t.Sub("f")), 1, 1500000001), 0);
  EXPECT_EQ(Lstat(t.Sub("f")).st_mtime, 1500000001);
  EXPECT_EQ(Lstat(t.Sub("f")).st_atime, 5000);
  EXPECT_EQ(FSUTime(W(t.Sub("missing")), 0, 1), -1);
  // The status change time records when that happened, which no caller can
  // set: it is what tells a time put back from a write.
  FILE_INFO info;
  ASSERT_EQ(FSStat(W(t.Sub("f")), info), 0);
  EXPECT_EQ(info.mtime, 1500000001u);
  EXPECT_EQ(info.ctime, static_cast<uint32_t>(Lstat(t.Sub("f")).st_ctime));
  EXPECT_GT(info.ctime, info.mtime);
}

TEST(FSUTimeTest, FatVolumesKeepEvenSeconds) {
  TempDir t;
  WriteFile(t.Sub("f"), "x");
  const bool was = FSIsFat();
  FSSetFat(true);
  EXPECT_EQ(FSUTime(W(t.Sub("f")), 0, 1500000001), 0);
  FSSetFat(was);
  EXPECT_EQ(Lstat(t.Sub("f")).st_mtime, 1500000000);
}

TEST(FSInitTest, ChecksTheRootsFileSystem) {
  TempDir t;
  const bool was = FSIsFat();
  EXPECT_EQ(FSInit(W(t.path())), 0);
  EXPECT_EQ(FSIsFat(), was);  // a temp dir is never on a FAT volume here
  EXPECT_EQ(FSInit(L"relative/path"), -1);
  EXPECT_EQ(FSInit(L""), -1);
  EXPECT_EQ(FSInit(W(t.Sub("missing"))), -1);
}

TEST(FSMktempTest, CreatesEmptyUniqueFilesAcrossThreads) {
  TempDir t;
  constexpr int kThreads = 6, kEach = 40;
  std::vector<std::vector<std::wstring>> got(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < kEach; ++k) {
        std::wstring p;
        if (FSMktemp(W(t.path()), p) == 0) got[i].push_back(p);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::wstring> all;
  for (auto& v : got)
    for (auto& p : v) {
      EXPECT_TRUE(all.insert(p).second) << "duplicate";
      EXPECT_EQ(p.compare(0, W(t.path()).size() + 1, W(t.path()) + L"/"), 0);
    }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  std::string any = WideToUtf8Lossy(*all.begin());
  EXPECT_EQ(ReadFile(any), "");
  EXPECT_EQ(Lstat(any).st_mode & S_IFMT, S_IFREG);
}

TEST(FSMktempTest, MissingDirectoryFailsAndKeepsPath) {
  TempDir t;
  std::wstring p = L"unchanged";
  EXPECT_EQ(FSMktemp(W(t.Sub("missing")), p), -1);
  EXPECT_EQ(p, L"unchanged");
}

TEST(FSCreateTempPathTest, NumbersFollowEachOther) {
  std::wstring a, b;
  ASSERT_EQ(FSCreateTempPath(L"/pre", a), 0);
  ASSERT_EQ(FSCreateTempPath(L"/pre", b), 0);
  ASSERT_EQ(a.compare(0, 5, L"/pre/"), 0);
  ASSERT_EQ(a.substr(a.size() - 5), L".temp");
  const unsigned long n = std::stoul(a.substr(5));
  EXPECT_GE(n, 1u);
  EXPECT_EQ(b, L"/pre/" + std::to_wstring(n + 1) + L".temp");
  EXPECT_FALSE(PathExists("/pre"));
}

TEST(FSRemoveTest, RemovesFilesTreesAndLinksButNotTargets) {
  TempDir t;
  EXPECT_EQ(FSRemove(L"", false), -1);
  EXPECT_EQ(FSRemove(W(t.Sub("missing")), false), 0);

  WriteFile(t.Sub("f"), "x");
  EXPECT_EQ(FSRemove(W(t.Sub("f")), false), 0);
  EXPECT_FALSE(PathExists(t.Sub("f")));

  ASSERT_EQ(mkdir(t.Sub("keep").c_str(), 0755), 0);
  WriteFile(t.Sub("keep/data"), "d");
  ASSERT_EQ(symlink(t.Sub("keep").c_str(), t.Sub("link").c_str()), 0);
  EXPECT_EQ(FSRemove(W(t.Sub("link")), false), 0);
  EXPECT_FALSE(PathExists(t.Sub("link")));
  EXPECT_EQ(ReadFile(t.Sub("keep/data")), "d");

  for (const char* d : {"tree", "tree/a", "tree/a/b"}) ASSERT_EQ(mkdir(t.Sub(d).c_str(), 0755), 0);
  WriteFile(t.Sub("tree/a/b/f"), "x");
  WriteFile(t.Sub("tree/g"), "x");
  EXPECT_EQ(FSRemove(W(t.Sub("tree")), false), 0);
  EXPECT_FALSE(PathExists(t.Sub("tree")));

  ASSERT_EQ(mkfifo(t.Sub("fifo").c_str(), 0600), 0);
  EXPECT_EQ(FSRemove(W(t.Sub("fifo")), false), -1);
  EXPECT_TRUE(PathExists(t.Sub("fifo")));
}

TEST(FSRemoveTest, UndoableRemovalGoesToTheTrash) {
  TempDir t;
  const char* old = std::getenv("XDG_DATA_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_DATA_HOME", t.Sub("share").c_str(), 1);

  WriteFile(t.Sub("doc.txt"), "one");
  EXPECT_EQ(FSRemove(W(t.Sub("doc.txt")), true), 0);
  WriteFile(t.Sub("doc.txt"), "two");
  EXPECT_EQ(FSRemove(W(t.Sub("doc.txt")), true), 0);
  ASSERT_EQ(mkdir(t.Sub("dir").c_str(), 0755), 0);
  WriteFile(t.Sub("dir/in"), "in");
  EXPECT_EQ(FSRemove(W(t.Sub("dir")), true), 0);

  if (old)
    setenv("XDG_DATA_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_DATA_HOME");

  EXPECT_FALSE(PathExists(t.Sub("doc.txt")));
  EXPECT_FALSE(PathExists(t.Sub("dir")));
  EXPECT_EQ(ReadFile(t.Sub("share/Trash/files/doc.txt")), "one");
  EXPECT_EQ(ReadFile(t.Sub("share/Trash/files/doc.txt.2")), "two");
  EXPECT_EQ(ReadFile(t.Sub("share/Trash/files/dir/in")), "in");
  const std::string info = ReadFile(t.Sub("share/Trash/info/doc.txt.2.trashinfo"));
  // The record holds the path as a URI path: $TMPDIR may need escaping.
  std::string uri;
  for (unsigned char c : t.Sub("doc.txt")) {
    char esc[4];
    snprintf(esc, sizeof esc, "%%%02X", c);
    uri += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   std::string("/-_.~").find(static_cast<char>(c)) != std::string::npos
               ? std::string(1, static_cast<char>(c))
               : std::string(esc);
  }
  EXPECT_EQ(info.rfind("[Trash Info]\nPath=" + uri + "\nDeletionDate=", 0), 0u) << info;
  EXPECT_EQ(Lstat(t.Sub("share/Trash")).st_mode & 0777, 0700u);
}

TEST(RemoveDirectoryRecursiveTest, NeverFollowsLinks) {
  TempDir t;
  ASSERT_EQ(mkdir(t.Sub("outside").c_str(), 0755), 0);
  WriteFile(t.Sub("outside/precious"), "p");
  for (const char* d : {"tree", "tree/sub"}) ASSERT_EQ(mkdir(t.Sub(d).c_str(), 0755), 0);
  WriteFile(t.Sub("tree/sub/f"), "f");
  ASSERT_EQ(symlink(t.Sub("outside").c_str(), t.Sub("tree/sub/escape").c_str()), 0);
  ASSERT_EQ(symlink(t.Sub("outside").c_str(), t.Sub("toplink").c_str()), 0);

  EXPECT_EQ(RemoveDirectoryRecursive(W(t.Sub("toplink"))), -1);
  EXPECT_TRUE(PathExists(t.Sub("toplink")));
  EXPECT_EQ(RemoveDirectoryRecursive(W(t.Sub("tree"))), 0);
  EXPECT_FALSE(PathExists(t.Sub("tree")));
  EXPECT_EQ(ReadFile(t.Sub("outside/precious")), "p");
  EXPECT_EQ(RemoveDirectoryRecursive(W(t.Sub("missing"))), -1);
}

}  // namespace

namespace {

TEST(FSCopyTest, DirectorySourceLeavesDestinationAlone) {
  TempDir t;
  ASSERT_EQ(mkdir(t.Sub("d").c_str(), 0755), 0);
  WriteFile(t.Sub("dst"), "keep");
  EXPECT_EQ(FSCopy(W(t.Sub("d")), W(t.Sub("dst")), true), -1);
  EXPECT_EQ(ReadFile(t.Sub("dst")), "keep");
  EXPECT_TRUE(PathExists(t.Sub("d")));
}

TEST(FSCopyTest, FifoSourceNeitherSucceedsNorEmptiesTheDestination) {
  // With no writer a fifo reads as empty at once: copying it would replace
  // the destination by nothing and report success.
  TempDir t;
  ASSERT_EQ(mkfifo(t.Sub("fifo").c_str(), 0600), 0);
  WriteFile(t.Sub("dst"), "keep");
  EXPECT_EQ(FSCopy(W(t.Sub("fifo")), W(t.Sub("dst")), true), -1);
  EXPECT_EQ(ReadFile(t.Sub("dst")), "keep");
  EXPECT_TRUE(PathExists(t.Sub("fifo")));
  EXPECT_EQ(FSCopy(W(t.Sub("fifo")), W(t.Sub("new")), false), -1);
  EXPECT_FALSE(PathExists(t.Sub("new")));
}

// Removes the hook however the test ends.
struct HookGuard {
  explicit HookGuard(FSFaultHook h) { FSSetFaultHook(std::move(h)); }
  ~HookGuard() { FSSetFaultHook(nullptr); }
};

TEST(FSResolvePathTest, LinksResolveAndTheMissingRestIsNormalised) {
  TempDir d;
  ASSERT_EQ(mkdir(d.Sub("real").c_str(), 0755), 0);
  ASSERT_EQ(symlink(d.Sub("real").c_str(), d.Sub("link").c_str()), 0);
  const std::wstring real = FSResolvePath(W(d.Sub("real")));
  ASSERT_FALSE(real.empty());
  EXPECT_EQ(FSResolvePath(W(d.Sub("link"))), real);
  EXPECT_EQ(FSResolvePath(W(d.Sub("link/new/./db/../log"))), real + L"/new/log");
  // A database folder reached through a link is still inside the root.
  EXPECT_TRUE(FSIsSameOrBelow(FSResolvePath(W(d.Sub("link/db"))), real));
  EXPECT_TRUE(FSIsSameOrBelow(real, real));
  EXPECT_FALSE(FSIsSameOrBelow(real + L"-b", real));
  EXPECT_FALSE(FSIsSameOrBelow(FSResolvePath(W(d.Sub("link/.."))), real));
  EXPECT_TRUE(FSIsSameOrBelow(real, L"/"));
  EXPECT_FALSE(FSIsSameOrBelow(L"", real));
}

TEST(FSFaultHookTest, InjectedFailuresBehaveLikeRealOnes) {
  TempDir t;
  const std::string data = RandomBytes(3 << 20, 7);
  WriteFile(t.Sub("src"), data);
  WriteFile(t.Sub("other"), "other");
  {
    std::atomic<int> writes{0};
    HookGuard g([&](FSOp op, const std::wstring& path) {
      if (op == FSOP_WRITE && path == W(t.Sub("dst")) && ++writes == 2) return ENOSPC;
      if (op == FSOP_RENAME) return EXDEV;
      if (op == FSOP_STAT && path == W(t.Sub("vanished"))) return ENOENT;
      if (op == FSOP_STAT && path == W(t.Sub("broken"))) return EIO;
      if (op == FSOP_REMOVE || op == FSOP_MKTEMP || op == FSOP_MKDIR || op == FSOP_UTIME)
        return EACCES;
      return 0;
    });
    EXPECT_EQ(FSCopy(W(t.Sub("src")), W(t.Sub("dst")), true), -1);
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(ReadFile(t.Sub("src")), data);
    EXPECT_EQ(FSRename(W(t.Sub("src")), W(t.Sub("other"))), -1);
    EXPECT_EQ(ReadFile(t.Sub("other")), "other");

    WriteFile(t.Sub("vanished"), "");
    FILE_INFO info;
    EXPECT_EQ(FSStat(W(t.Sub("vanished")), info), 0);
    EXPECT_FALSE(info.isExist);
    EXPECT_EQ(FSStat(W(t.Sub("broken")), info), -1);

    EXPECT_EQ(FSRemove(W(t.Sub("other")), false), -1);
    EXPECT_TRUE(PathExists(t.Sub("other")));
    std::wstring p = L"unchanged";
    EXPECT_EQ(FSMktemp(W(t.path()), p), -1);
    EXPECT_EQ(p, L"unchanged");
    EXPECT_EQ(FSMKDir(W(t.Sub("newdir")), false), -1);
    EXPECT_EQ(FSMKDirP(W(t.Sub("a/b")), nullptr, false, -1, -1, 0), -1);
    EXPECT_FALSE(PathExists(t.Sub("newdir")));
    EXPECT_EQ(FSUTime(W(t.Sub("other")), 0, 5), -1);
  }
  EXPECT_EQ(FSRename(W(t.Sub("src")), W(t.Sub("other"))), 0);
  EXPECT_EQ(ReadFile(t.Sub("other")), data);
}

}  // namespace
