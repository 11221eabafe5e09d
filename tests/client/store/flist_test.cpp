#include "client/store/flist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct Row {
  bool dir;
  std::wstring path;
  uint32_t mtime;
  uint64_t size;
  bool operator==(const Row& o) const {
    return dir == o.dir && path == o.path && mtime == o.mtime && size == o.size;
  }
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
  std::string p(r.path.begin(), r.path.end());
  return os << (r.dir ? "D " : "F ") << p << " " << r.mtime << " " << r.size;
}

std::vector<Row> Rows(const FileList& l) {
  std::vector<Row> out;
  for (auto it = l.rbegin(); it != l.rend(); ++it) {
    out.push_back(Row{it->is_dir(), it->path, it->mtime, it->size});
    EXPECT_NE(it->is_dir(), (*it).is_file());
  }
  return out;
}

std::vector<std::wstring> Paths(const FileList& l) {
  std::vector<std::wstring> out;
  for (const Row& r : Rows(l)) out.push_back(r.path);
  return out;
}

TEST(StringBufferTest, InternsEachTextOnce) {
  StringBuffer pool;
  StringBuffer::String a, b, c;
  ASSERT_EQ(pool.insert(L"name", a), 0);
  ASSERT_EQ(pool.insert(std::wstring(L"name"), b), 0);
  ASSERT_EQ(pool.insert(L"other", c), 0);
  EXPECT_EQ(a.c_str(), b.c_str());
  EXPECT_TRUE(a == b);
  EXPECT_TRUE(a != c);
  EXPECT_TRUE(a < c);
  EXPECT_TRUE(c > a);
  EXPECT_EQ(pool.count(), 2u);
  EXPECT_EQ(pool.insert(std::wstring(L"a\0b", 3), c), -1);
  EXPECT_STREQ(c.c_str(), L"other");
}

TEST(StringBufferTest, GrowsByDoublingAndKeepsEarlierStrings) {
  StringBuffer pool;
  EXPECT_EQ(pool.chunks(), 1);
  StringBuffer::String first;
  ASSERT_EQ(pool.insert(L"first", first), 0);
  std::vector<StringBuffer::String> all;
  for (int i = 0; i < 2000; ++i) {
    StringBuffer::String s;
    ASSERT_EQ(pool.insert(L"entry-" + std::to_wstring(i), s), 0);
    all.push_back(s);
  }
  // ~25k characters: 512 + 1024 + ... needs at least 6 chunks.
  EXPECT_GE(pool.chunks(), 6);
  EXPECT_LE(pool.chunks(), 7);
  EXPECT_STREQ(first.c_str(), L"first");
  for (int i = 0; i < 2000; ++i) EXPECT_EQ(all[i].c_str(), L"entry-" + std::to_wstring(i));

  // A text larger than twice the last chunk gets a chunk of its own size x2.
  StringBuffer::String big;
  const int before = pool.chunks();
  ASSERT_EQ(pool.insert(std::wstring(100000, L'x'), big), 0);
  EXPECT_EQ(pool.chunks(), before + 1);
  EXPECT_EQ(std::wstring(big.c_str()).size(), 100000u);
}

TEST(FileListTest, EmptyListYieldsOnlyTheRoot) {
  StringBuffer pool;
  FileList l(pool);
  EXPECT_EQ(Rows(l), (std::vector<Row>{{true, L"", 0, 0}}));
  auto it = l.rbegin();
  EXPECT_TRUE(it != l.rend());
  ++it;
  EXPECT_TRUE(it == l.rend());
  ++it;  // stays at the end
  EXPECT_TRUE(it == l.rend());
}

TEST(FileListTest, FileByPathCreatesParentsWithZeroTime) {
  StringBuffer pool;
  FileList l(pool);
  ASSERT_EQ(l.AddFile(L"a/b/c.txt", 42, 7), 0);
  EXPECT_EQ(Rows(l), (std::vector<Row>{{false, L"/a/b/c.txt", 42, 7},
                                       {true, L"/a/b", 0, 0},
                                       {true, L"/a", 0, 0},
                                       {true, L"", 0, 0}}));
  EXPECT_EQ(l.DirectoryCount(), 3u);
}

TEST(FileListTest, DuplicatesAndTypeClashesAreRefused) {
  StringBuffer pool;
  FileList l(pool);
  ASSERT_EQ(l.AddFile(L"/d/f", 1, 10), 0);
  EXPECT_EQ(l.AddFile(L"/d/f", 2, 20), -1);
  EXPECT_EQ(l.AddDirectory(L"/d/f", 3), -1);
  EXPECT_EQ(l.AddFile(L"/d/f/under", 3, 3), -1);
  EXPECT_EQ(l.AddFile(L"/d", 3, 3), -1);
  EXPECT_EQ(l.AddDirectory(1, L"f", 3), -1);
  EXPECT_EQ(l.AddFile(1, L"f", 3, 3), -1);
  EXPECT_EQ(l.AddFile(0, L"d", 3, 3), -1);
  EXPECT_EQ(l.AddDirectory(0, L"d", 3), -1);
  EXPECT_EQ(Rows(l),
            (std::vector<Row>{{false, L"/d/f", 1, 10}, {true, L"/d", 0, 0}, {true, L"", 0, 0}}));
}

TEST(FileListTest, AddDirectoryCountsCreationsAndUpdatesTime) {
  StringBuffer pool;
  FileList l(pool);
  EXPECT_EQ(l.AddDirectory(L"x/y/z", 5), 3);
  EXPECT_EQ(l.AddDirectory(L"x/y/w", 6), 1);
  EXPECT_EQ(l.AddDirectory(L"//x///y/", 9), 0);
  EXPECT_EQ(l.AddDirectory(L"", 11), 0);  // the root
  EXPECT_EQ(Rows(l), (std::vector<Row>{{true, L"/x/y/z", 5, 0},
                                       {true, L"/x/y/w", 6, 0},
                                       {true, L"/x/y", 9, 0},
                                       {true, L"/x", 0, 0},
                                       {true, L"", 11, 0}}));
}

TEST(FileListTest, PathSyntax) {
  StringBuffer pool;
  FileList l(pool);
  EXPECT_EQ(l.AddFile(L"a/b/", 0, 0), -1);
  EXPECT_EQ(l.AddFile(L"", 0, 0), -1);
  EXPECT_EQ(l.AddFile(L"/", 0, 0), -1);
  ASSERT_EQ(l.AddFile(L"//a///b//f", 1, 1), 0);
  EXPECT_EQ(l.AddFile(L"a/b/f", 1, 1), -1) << "same file, other spelling";
  for (const wchar_t* bad : {L"a/../f", L"./f", L"a/./b/g", L"a/..", L"a/."}) {
    EXPECT_EQ(l.AddFile(bad, 0, 0), -1) << bad;
    EXPECT_EQ(l.AddDirectory(bad, 0), -1) << bad;
  }
  for (const wchar_t* bad : {L"", L".", L"..", L"x/y"}) {
    EXPECT_EQ(l.AddFile(0, bad, 0, 0), -1);
    EXPECT_EQ(l.AddDirectory(0, bad, 0), -1);
  }
  EXPECT_EQ(l.AddFile(0, std::wstring(L"n\0ul", 4), 0, 0), -1);
  EXPECT_EQ(l.AddFile(-1, L"f", 0, 0), -1);
  EXPECT_EQ(l.AddDirectory(99, L"f", 0), -1);
  EXPECT_EQ(l.AddFile(std::wstring(FileList::kMaxPath + 1, L'p'), 0, 0), -1);
  EXPECT_EQ(Paths(l), (std::vector<std::wstring>{L"/a/b/f", L"/a/b", L"/a", L""}));

  // Overlong components are cut, so both spellings meet.
  const std::wstring longname(1500, L'n');
  ASSERT_EQ(l.AddFile(L"/" + longname, 0, 0), 0);
  EXPECT_EQ(l.AddFile(0, longname.substr(0, FileList::kMaxComponent) + L"tail", 0, 0), -1);
  EXPECT_EQ(Paths(l).front(), L"/" + longname.substr(0, FileList::kMaxComponent));
}

TEST(FileListTest, IndexFormBuildsTheSameTree) {
  StringBuffer pool;
  FileList l(pool);
  const int d = l.AddDirectory(0, L"c", 3);
  ASSERT_EQ(d, 1);
  EXPECT_EQ(l.AddFile(d, L"x", 4, 40), 0);
  EXPECT_EQ(l.AddFile(0, L"b", 1, 10), 0);
  EXPECT_EQ(l.AddFile(0, L"d", 2, 20), 0);
  EXPECT_EQ(l.AddDirectory(d, L"e", 5), 2);
  EXPECT_EQ(Rows(l), (std::vector<Row>{{false, L"/d", 2, 20},
                                       {false, L"/c/x", 4, 40},
                                       {true, L"/c/e", 5, 0},
                                       {true, L"/c", 3, 0},
                                       {false, L"/b", 1, 10},
                                       {true, L"", 0, 0}}));
}

TEST(FileListTest, NamesSortingBeforeSlashComeOutInComponentOrder) {
  StringBuffer pool;
  FileList l(pool);
  // Full-path order would put "/a-b" before "/a/x" ('-' < '/'); names are
  // compared per component, so all of a's contents stay together.
  ASSERT_EQ(l.AddFile(L"a-b", 0, 0), 0);
  ASSERT_EQ(l.AddFile(L"a/x", 0, 0), 0);
  ASSERT_EQ(l.AddFile(L"a.txt", 0, 0), 0);
  ASSERT_EQ(l.AddFile(L"a/x-y/z", 0, 0), 0);
  ASSERT_EQ(l.AddFile(L"a/x.b", 0, 0), 0);
  EXPECT_EQ(Paths(l), (std::vector<std::wstring>{L"/a.txt", L"/a-b", L"/a/x.b", L"/a/x-y/z",
                                                 L"/a/x-y", L"/a/x", L"/a", L""}));
}

// Independent model: a map from component lists to (is_dir, mtime, size).
using Key = std::vector<std::wstring>;
struct Node {
  bool dir;
  uint32_t mtime;
  uint64_t size;
};

Key Split(const std::wstring& p) {
  Key k;
  size_t i = 0;
  while (i < p.size()) {
    size_t j = p.find(L'/', i);
    if (j == std::wstring::npos) j = p.size();
    if (j > i) k.push_back(p.substr(i, j - i));
    i = j + 1;
  }
  return k;
}

bool ModelAddFile(std::map<Key, Node>& m, const Key& k, uint32_t mtime, uint64_t size) {
  for (size_t n = 1; n < k.size(); ++n) {
    auto it = m.find(Key(k.begin(), k.begin() + n));
    if (it != m.end() && !it->second.dir) return false;
  }
  if (m.count(k)) return false;
  for (size_t n = 1; n < k.size(); ++n) m.emplace(Key(k.begin(), k.begin() + n), Node{true, 0, 0});
  m[k] = Node{false, mtime, size};
  return true;
}

TEST(FileListTest, RandomTreesIterateInExactReverseComponentOrder) {
  std::mt19937 rng(20240611);
  const std::wstring alphabet = L"ab-.!~Z0";
  auto name = [&] {
    std::wstring s;
    const int len = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < len; ++i) s += alphabet[rng() % alphabet.size()];
    return s == L"." || s == L".." ? s + L"x" : s;
  };
  StringBuffer pool;  // shared by both lists, as in a scan
  FileList by_path(pool);
  std::map<Key, Node> model;
  int added = 0;
  for (int i = 0; i < 3000; ++i) {
    std::wstring p;
    const int depth = 1 + static_cast<int>(rng() % 4);
    for (int d = 0; d < depth; ++d) p += (rng() % 4 == 0 ? L"//" : L"/") + name();
    const uint32_t mtime = rng();
    const uint64_t size = rng();
    if (rng() % 5 == 0) {
      const Key k = Split(p);
      bool ok = true;
      for (size_t n = 1; n <= k.size() && ok; ++n) {
        auto it = model.find(Key(k.begin(), k.begin() + n));
        ok = it == model.end() || it->second.dir;
      }
      ASSERT_EQ(by_path.AddDirectory(p, mtime) >= 0, ok) << i;
      if (ok) {
        for (size_t n = 1; n < k.size(); ++n)
          model.emplace(Key(k.begin(), k.begin() + n), Node{true, 0, 0});
        model[k] = Node{true, mtime, 0};
      }
    } else {
      const bool ok = ModelAddFile(model, Split(p), mtime, size);
      ASSERT_EQ(by_path.AddFile(p, mtime, size) == 0, ok) << i;
      added += ok;
    }
  }
  ASSERT_GT(added, 1000);

  // The disk side fills the same tree by directory index, parents first.
  FileList by_index(pool);
  std::map<Key, int> index{{Key(), 0}};
  for (const auto& kv : model) {  // map order visits parents before children
    const Key parent(kv.first.begin(), kv.first.end() - 1);
    const int pi = index.at(parent);
    if (kv.second.dir) {
      const int di = by_index.AddDirectory(pi, kv.first.back(), kv.second.mtime);
      ASSERT_GT(di, 0);
      index[kv.first] = di;
    } else {
      ASSERT_EQ(by_index.AddFile(pi, kv.first.back(), kv.second.mtime, kv.second.size), 0);
    }
  }

  std::vector<Row> expected;
  for (const auto& kv : model) {
    std::wstring path;
    for (const auto& c : kv.first) path += L"/" + c;
    expected.push_back(Row{kv.second.dir, path, kv.second.mtime, kv.second.size});
  }
  expected.insert(expected.begin(), Row{true, L"", 0, 0});
  std::reverse(expected.begin(), expected.end());

  EXPECT_EQ(Rows(by_path), expected);
  EXPECT_EQ(Rows(by_index), expected);
  EXPECT_EQ(by_path.DirectoryCount(), by_index.DirectoryCount());
}

}  // namespace
