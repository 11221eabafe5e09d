// Two clients and one server, end to end: what a user does in one sync root
// reaches the other, whole, with every version kept somewhere when both
// sides changed the same path.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <thread>

#include "e2e/two-clients.h"

namespace sftest {
namespace {

std::string Content(const Tree& t, const std::string& root, const std::string& path) {
  auto it = t.find(path);
  if (it == t.end() || it->second.dir) return "(no file)";
  return ReadFile(root + path);
}

// Contents of `path` and of its conflict copies (same stem, a client name
// after it), sorted.
std::vector<std::string> Versions(const std::string& root, const std::string& path) {
  const Tree t = ReadTree(root);
  const std::string dir = path.substr(0, path.rfind('/'));
  std::string stem = path.substr(path.rfind('/') + 1);
  stem = stem.substr(0, stem.find('.'));
  std::vector<std::string> out;
  for (const auto& kv : t) {
    if (kv.second.dir || kv.first.compare(0, dir.size() + 1, dir + "/") != 0) continue;
    const std::string name = kv.first.substr(dir.size() + 1);
    if (name.find('/') != std::string::npos) continue;
    if (kv.first == path || name.compare(0, stem.size() + 1, stem + "_") == 0)
      out.push_back(ReadFile(root + kv.first));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// What a client's trash holds: relative path -> the file kept there (the
// latest when a path was kept more than once).
std::map<std::string, std::string> Trashed(SyncClient& c) {
  const std::string trash = c.box().DbDir() + "/trash";
  std::vector<std::string> stamps;
  if (DIR* d = opendir(trash.c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') stamps.emplace_back(e->d_name);
    closedir(d);
  }
  std::sort(stamps.begin(), stamps.end());
  std::map<std::string, std::string> out;
  for (const std::string& s : stamps)
    for (const auto& kv : ReadTree(trash + "/" + s))
      if (!kv.second.dir) out[kv.first] = trash + "/" + s + kv.first;
  return out;
}

std::string KeptContent(const std::map<std::string, std::string>& kept, const std::string& path) {
  auto it = kept.find(path);
  return it == kept.end() ? "(not kept)" : ReadFile(it->second);
}

// Waits for agreement, then checks that both clients hold `expected`, the
// tree as the user left it on one side (read once, before anything syncs).
#define EXPECT_BOTH_HOLD(expected, what)                           \
  do {                                                             \
    const Tree want = (expected);                                  \
    ASSERT_TRUE(Converged());                                      \
    EXPECT_EQ(TreeDiff(want, ReadTree(a->Root()), what, "A"), ""); \
    EXPECT_EQ(TreeDiff(want, ReadTree(b->Root()), what, "B"), ""); \
  } while (0)

TEST_F(TwoClientsTest, ManyFilesAndALargeOneTravelAndChangeBothWays) {
  Begin();
  for (int d = 0; d < 20; ++d) {
    const std::string dir = a->At("/many/d" + std::to_string(d));
    MakeDirs(dir);
    for (int f = 0; f < 100; ++f)
      WriteFile(dir + "/f" + std::to_string(f) + ".txt", "file " + std::to_string(d * 100 + f));
  }
  WriteFile(a->At("/empty.txt"), "");
  std::string big = RandomBytes(50u << 20, 7);
  WriteFile(a->At("/big.bin"), big);
  EXPECT_BOTH_HOLD(ReadTree(a->Root()), "written on A");

  // A few KiB changed inside the large file travel as deltas both legs.
  const std::string big_before = big;
  WriteFile(a->At("/many/d0/f0.txt"), "changed on A, and longer than before");
  for (size_t i = 0; i < 4096; ++i) big[(25u << 20) + i] = static_cast<char>(i * 7);
  WriteFile(a->At("/big.bin"), big);
  RemoveTree(a->At("/many/d19"));
  ASSERT_EQ(unlink(a->At("/empty.txt").c_str()), 0);
  EXPECT_BOTH_HOLD(ReadTree(a->Root()), "changed on A");
  // What A's changes replaced or removed on B is in B's trash, byte for
  // byte; A's own changes put nothing into A's.
  const auto kept = Trashed(*b);
  EXPECT_TRUE(KeptContent(kept, "/big.bin") == big_before);
  EXPECT_EQ(KeptContent(kept, "/many/d0/f0.txt"), "file 0");
  EXPECT_EQ(KeptContent(kept, "/many/d19/f5.txt"), "file 1905");
  EXPECT_EQ(KeptContent(kept, "/empty.txt"), "");
  EXPECT_EQ(kept.size(), 103u);
  EXPECT_TRUE(Trashed(*a).empty());
  bool up = false, down = false;
  for (const PayloadRecord& r : server->Payloads()) {
    if (r.path != "/big.bin" || !r.delta || r.bytes > big.size() / 10) continue;
    (r.received ? up : down) = true;
  }
  EXPECT_TRUE(up) << "the change did not go up as a small delta";
  EXPECT_TRUE(down) << "the change did not come down as a small delta";

  WriteFile(b->At("/many/d1/f1.txt"), "changed on B");
  ASSERT_EQ(unlink(b->At("/big.bin").c_str()), 0);
  WriteFile(b->At("/empty again.txt"), "");
  EXPECT_BOTH_HOLD(ReadTree(b->Root()), "changed on B");
}

TEST_F(TwoClientsTest, NamesDeepTreesAndRenamesTravelBothWays) {
  Begin();
  MakeDirs(a->At("/odd/-dash dir"));
  for (const char* name : {"/odd/with space.txt", "/odd/it's \"quoted\".txt",
                           "/odd/na\xC3\xAFve \xC3\x9cml\xC3\xA4ut \xE6\x97\xA5\xE6\x9C\xAC.txt",
                           "/odd/-leading-dash.txt", "/odd/-dash dir/inner.txt"})
    WriteFile(a->At(name), std::string("content of ") + name);
  std::string deep = "/deep";
  for (int level = 1; level < 20; ++level) deep += "/l" + std::to_string(level);
  MakeDirs(a->At(deep));
  WriteFile(a->At(deep + "/leaf.txt"), "twenty levels down");
  // Names of 250 bytes, nine deep: a path of over 2000 bytes travels too.
  std::string wide = "/wide";
  for (char c = 'a'; c < 'j'; ++c) wide += "/" + std::string(250, c);
  MakeDirs(a->At(wide));
  WriteFile(a->At(wide + "/leaf.txt"), "over 2000 bytes down");
  MakeDirs(a->At("/ren"));
  for (int f = 0; f < 100; ++f) WriteFile(a->At("/ren/r" + std::to_string(f)), std::to_string(f));
  EXPECT_BOTH_HOLD(ReadTree(a->Root()), "written on A");

  ASSERT_EQ(rename(a->At("/ren").c_str(), a->At("/renamed").c_str()), 0);
  ASSERT_EQ(rename(a->At("/odd/with space.txt").c_str(), a->At("/odd/still spaced.txt").c_str()),
            0);
  MakeDirs(a->At("/emptydir"));
  EXPECT_BOTH_HOLD(ReadTree(a->Root()), "changed on A");

  MakeDirs(b->At("/from b"));
  WriteFile(b->At("/from b/new.txt"), "new on B");
  ASSERT_EQ(rename(b->At("/renamed").c_str(), b->At("/renamed again").c_str()), 0);
  ASSERT_EQ(rename(b->At("/odd/-dash dir").c_str(), b->At("/odd/-moved dir").c_str()), 0);
  RemoveTree(b->At("/deep"));
  EXPECT_BOTH_HOLD(ReadTree(b->Root()), "changed on B");
}

TEST_F(TwoClientsTest, BothSidesChangingOnePathKeepEveryVersion) {
  // B speaks protocol 3, so the two generations meet on one share too.
  Begin(4, 3);
  WriteFile(a->At("/ee.txt"), "base of edit/edit");
  WriteFile(a->At("/ed.txt"), "base of edit/delete");
  WriteFile(a->At("/de.txt"), "base of delete/edit");
  ASSERT_TRUE(Converged());

  ASSERT_EQ(b->Stop(), 0);
  WriteFile(a->At("/ee.txt"), "edit/edit: A's version");
  WriteFile(a->At("/ed.txt"), "edit/delete: A's edit");
  ASSERT_EQ(unlink(a->At("/de.txt").c_str()), 0);
  MakeDirs(a->At("/fd"));
  WriteFile(a->At("/fd/inner.txt"), "folder made on A");
  ASSERT_TRUE(Settled(*a));

  WriteFile(b->At("/ee.txt"), "edit/edit: B's version, longer");
  ASSERT_EQ(unlink(b->At("/ed.txt").c_str()), 0);
  WriteFile(b->At("/de.txt"), "delete/edit: B's edit");
  WriteFile(b->At("/fd"), "a file made on B where A made a folder");
  ASSERT_TRUE(b->Start());
  ASSERT_TRUE(Converged());

  for (SyncClient* c : {a.get(), b.get()}) {
    SCOPED_TRACE(c->name());
    EXPECT_EQ(
        Versions(c->Root(), "/ee.txt"),
        (std::vector<std::string>{"edit/edit: A's version", "edit/edit: B's version, longer"}));
    // A removal is no version: the edit survives, at the path or, when the
    // removal was carried out first, under a conflict name.
    EXPECT_EQ(Versions(c->Root(), "/ed.txt"), std::vector<std::string>{"edit/delete: A's edit"});
    EXPECT_EQ(Versions(c->Root(), "/de.txt"), std::vector<std::string>{"delete/edit: B's edit"});
    const Tree t = ReadTree(c->Root());
    ASSERT_TRUE(t.count("/fd") && t.at("/fd").dir);
    EXPECT_EQ(Content(t, c->Root(), "/fd/inner.txt"), "folder made on A");
    const auto copies = PathsContaining(t, "fd_bravo_");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(Content(t, c->Root(), copies[0]), "a file made on B where A made a folder");
  }
}

TEST_F(TwoClientsTest, AClientWithoutANameNamesConflictCopiesAfterItsHostNotItsSession) {
  // B's configuration has no `client` and no `user`, as a user's often has.
  StartServer();
  a = std::make_unique<SyncClient>("alpha", server->port(), 4);
  b = std::make_unique<SyncClient>("bravo", server->port(), 4);
  b->box().config().erase("client");
  b->box().WriteConfig();
  const std::string session = b->box().config()["session"];
  ASSERT_TRUE(a->Start());
  ASSERT_TRUE(b->Start());
  WriteFile(a->At("/ee.txt"), "base");
  ASSERT_TRUE(Converged());
  ASSERT_EQ(b->Stop(), 0);
  WriteFile(a->At("/ee.txt"), "A's version");
  ASSERT_TRUE(Settled(*a));
  WriteFile(b->At("/ee.txt"), "B's version, longer");
  ASSERT_TRUE(b->Start());
  ASSERT_TRUE(Converged());

  const Tree share = ReadTree(Share());
  const auto copies = PathsContaining(share, "ee_");
  ASSERT_EQ(copies.size(), 1u) << TreeDiff(share, Tree(), "share", "nothing");
  for (const auto& kv : share) EXPECT_EQ(kv.first.find(session), std::string::npos) << kv.first;
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  const std::string first = std::string(host).substr(0, std::string(host).find('.'));
  if (first.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
      std::string::npos) {
    EXPECT_EQ(copies[0].compare(0, 5 + first.size(), "/ee_" + first + "_"), 0) << copies[0];
  }
  EXPECT_EQ(ReadFile(Share() + copies[0]), "B's version, longer");
}

TEST_F(TwoClientsTest, AFolderReplacedByAFileAndBackTravelsAsAReplacement) {
  Begin();
  MakeDirs(a->At("/swap/sub"));
  WriteFile(a->At("/swap/x.txt"), "inside the folder");
  WriteFile(a->At("/swap/sub/y.txt"), "deeper");
  WriteFile(a->At("/back"), "a file that becomes a folder");
  EXPECT_BOTH_HOLD(ReadTree(a->Root()), "written on A");

  RemoveTree(a->At("/swap"));
  WriteFile(a->At("/swap"), "a file where the folder was");
  ASSERT_EQ(unlink(a->At("/back").c_str()), 0);
  MakeDirs(a->At("/back"));
  WriteFile(a->At("/back/z.txt"), "a folder where the file was");
  EXPECT_BOTH_HOLD(ReadTree(a->Root()), "replaced on A");
  // What the replacements took from B is in B's trash; A's own changes put
  // nothing into A's.
  const auto kept = Trashed(*b);
  EXPECT_EQ(KeptContent(kept, "/swap/sub/y.txt"), "deeper");
  EXPECT_EQ(KeptContent(kept, "/back"), "a file that becomes a folder");
  EXPECT_TRUE(Trashed(*a).empty());
}

TEST_F(TwoClientsTest, FileWrittenWhileItSyncsEndsWithItsLastContent) {
  Begin();
  std::string written;
  for (int i = 0; i < 50; ++i) {
    const std::string line = "line " + std::to_string(i) + " of a file that keeps growing\n";
    AppendFile(a->At("/growing.log"), line);
    written += line;
    // The writer's own pace, not a wait for the sync.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(Converged());
  for (SyncClient* c : {a.get(), b.get()}) {
    const Tree t = ReadTree(c->Root());
    EXPECT_EQ(t.size(), 1u) << c->name() << " holds more than the file (a conflict copy?)";
    EXPECT_EQ(Content(t, c->Root(), "/growing.log"), written) << c->name();
  }
}

TEST_F(TwoClientsTest, ChangesMadeWhileStoppedAreSentAndRemovalsOnlyWhenConfigured) {
  Begin();
  WriteFile(a->At("/kept.txt"), "kept");
  WriteFile(a->At("/changed.txt"), "before");
  WriteFile(a->At("/removed.txt"), "to be removed");
  MakeDirs(a->At("/removed dir/sub"));
  WriteFile(a->At("/removed dir/sub/x.txt"), "x");
  ASSERT_TRUE(Converged());
  const Tree synced = ReadTree(a->Root());

  // By default the start-up rescan merges: new and changed items go up, and
  // synced items missing from the disk are fetched again.
  ASSERT_EQ(a->Stop(), 0);
  WriteFile(a->At("/changed.txt"), "after, while stopped");
  WriteFile(a->At("/created.txt"), "created while stopped");
  MakeDirs(a->At("/created dir"));
  WriteFile(a->At("/created dir/y.txt"), "y");
  ASSERT_EQ(unlink(a->At("/removed.txt").c_str()), 0);
  RemoveTree(a->At("/removed dir"));
  Tree expected = ReadTree(a->Root());
  for (const auto& kv : synced)
    if (kv.first.compare(0, 8, "/removed") == 0) expected[kv.first] = kv.second;
  ASSERT_TRUE(a->Start());
  ASSERT_TRUE(Converged());
  EXPECT_EQ(TreeDiff(expected, ReadTree(b->Root()), "expected", "B"), "");
  EXPECT_EQ(TreeDiff(expected, ReadTree(a->Root()), "expected", "A"), "");

  // With "propagate_offline_removals" the removals go to the server too.
  ASSERT_EQ(a->Stop(), 0);
  a->box().config()["propagate_offline_removals"] = "true";
  a->box().WriteConfig();
  ASSERT_EQ(unlink(a->At("/removed.txt").c_str()), 0);
  RemoveTree(a->At("/removed dir"));
  WriteFile(a->At("/created.txt"), "changed while stopped again");
  expected = ReadTree(a->Root());
  ASSERT_TRUE(a->Start());
  ASSERT_TRUE(Converged());
  EXPECT_EQ(TreeDiff(expected, ReadTree(b->Root()), "made on A while stopped", "B"), "");
  EXPECT_EQ(TreeDiff(expected, ReadTree(a->Root()), "made on A while stopped", "A now"), "");
}

}  // namespace
}  // namespace sftest
