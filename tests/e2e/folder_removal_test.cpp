// A folder the user removes soon after it was synced stays removed: on the
// server, on the local disk and on the other client, whether or not the
// client has pulled its own changes back, and whatever the server refused
// first. What another client added inside the folder meanwhile survives,
// and the folder stays for it. The server holds every pull while the scene
// is set, so that "before the first pull" is a certainty, not a race.
// Nor does a kill of the daemon before the server took a removal (of a
// folder or a file) bring the item back.
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

#include "e2e/two-clients.h"
#include "lib/proto/proto-common.h"
#include "server/server-hooks.h"

namespace sftest {
namespace {

constexpr auto kLong = std::chrono::seconds(240);

class FolderRemovalTest : public TwoClientsTest {
 protected:
  // Begin, with A's log telling when a removal was refused and when a
  // rescan is done.
  void Start() {
    StartServer();
    if (HasFatalFailure()) return;
    a = std::make_unique<SyncClient>("alpha", server->port(), 4);
    b = std::make_unique<SyncClient>("bravo", server->port(), 4);
    const char* debug = std::getenv("SF_E2E_DEBUG");
    if (debug == nullptr || *debug != '1')
      a->box().WriteLevels({{"worker_debug", 6}, {"expander_debug", 6}});
    ASSERT_TRUE(a->Start());
    ASSERT_TRUE(b->Start());
  }
  void HoldPulls(bool on) {
    FaultPlan f = server->Faults();
    f.hold_pulls = on;
    server->SetFaults(f);
  }
  // A tree written on A, on the server, and nothing pending on A: every id
  // of it came back to A in its own answers, and A recorded them all.
  void UploadTree() {
    MakeDirs(a->At("/rm/dir/c"));
    WriteFile(a->At("/rm/dir/b.txt"), "b");
    WriteFile(a->At("/rm/dir/c/d.txt"), "d");
    ASSERT_TRUE(WaitFor(
        [&] {
          return ReadFile(Share() + "/rm/dir/b.txt") == "b" &&
                 ReadFile(Share() + "/rm/dir/c/d.txt") == "d" &&
                 a->NewestRowId() == ServerSyncId() && a->SyncingCount() == 0;
        },
        kLong))
        << a->Log();
    ASSERT_EQ(a->StoredSyncId(), 0u) << "A pulled although the server held every pull";
  }
  bool Has(const Tree& t, const std::string& path) { return t.count(path) != 0; }
  // Times `text` appears in A's log (which every start of A appends to).
  size_t InLog(const std::string& text) {
    const std::string log = a->Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
};

TEST_F(FolderRemovalTest, AFolderRemovedBeforeItsOwnChangesArePulledStaysRemoved) {
  Begin();
  HoldPulls(true);
  UploadTree();
  ASSERT_FALSE(HasFatalFailure());

  RemoveTree(a->At("/rm/dir"));
  // Every change below the folder is A's own: its removal needs no pull.
  EXPECT_TRUE(WaitFor([&] { return !Has(ReadTree(Share()), "/rm/dir"); }, std::chrono::seconds(60)))
      << a->Log();

  HoldPulls(false);
  ASSERT_TRUE(Converged());
  for (SyncClient* c : {a.get(), b.get()}) {
    const Tree t = ReadTree(c->Root());
    EXPECT_FALSE(Has(t, "/rm/dir")) << c->name() << " holds the removed folder again";
    EXPECT_TRUE(Has(t, "/rm")) << c->name();
    EXPECT_EQ(t.size(), 1u) << c->name() << " holds more than /rm (a conflict copy?)";
  }
  EXPECT_FALSE(Has(ReadTree(Share()), "/rm/dir"));
}

TEST_F(FolderRemovalTest, ARefusedFolderRemovalSurvivesARestartAndKeepsOnlyWhatOthersAdded) {
  Start();
  ASSERT_FALSE(HasFatalFailure());
  HoldPulls(true);
  UploadTree();
  ASSERT_FALSE(HasFatalFailure());
  // Another client adds a file inside the folder; A knows nothing of it.
  ASSERT_EQ(
      HookPutBytes(server->store(), "/rm/dir/new.txt", "added elsewhere", 1500000000, "carol"), 0);

  // The server refuses A's removal ("modified"); the refusal is final for
  // now: nothing is left syncing, and the removal waits for the pull.
  RemoveTree(a->At("/rm/dir"));
  ASSERT_TRUE(WaitFor(
      [&] {
        return InLog("'/rm/dir' is tried again once the changes below it are pulled") > 0 &&
               a->SyncingCount() == 0;
      },
      std::chrono::seconds(60)))
      << a->Log();
  EXPECT_TRUE(Has(ReadTree(Share()), "/rm/dir"));

  // A restart while the removal waits: the start-up rescan must not fetch
  // what the user removed.
  ASSERT_EQ(a->Stop(), 0);
  ASSERT_TRUE(a->Start());
  ASSERT_TRUE(WaitFor([&] { return InLog("rescan of '/' done") >= 2; }, kLong)) << a->Log();
  ASSERT_TRUE(WaitFor([&] { return a->SyncingCount() == 0; }, kLong)) << a->Log();
  EXPECT_FALSE(Has(ReadTree(a->Root()), "/rm/dir")) << "fetched again at start-up";

  // Once A has pulled, the folder stays for the file added elsewhere; what
  // A's user removed is gone from the server, from A and from B.
  HoldPulls(false);
  ASSERT_TRUE(Converged());
  Tree want;
  want["/rm"].dir = true;
  want["/rm/dir"].dir = true;
  want["/rm/dir/new.txt"] = ReadTree(Share())["/rm/dir/new.txt"];
  EXPECT_EQ(ReadFile(Share() + "/rm/dir/new.txt"), "added elsewhere");
  EXPECT_EQ(TreeDiff(want, ReadTree(Share()), "expected", "share"), "");
  EXPECT_EQ(TreeDiff(want, ReadTree(a->Root()), "expected", "A"), "");
  EXPECT_EQ(TreeDiff(want, ReadTree(b->Root()), "expected", "B"), "");
}

TEST_F(FolderRemovalTest, RemovalsCutShortByAKillAreFinishedAfterTheRestartNotUndone) {
  Start();
  ASSERT_FALSE(HasFatalFailure());
  MakeDirs(a->At("/gone dir/sub"));
  WriteFile(a->At("/gone dir/sub/x.txt"), "x");
  WriteFile(a->At("/gone dir/y.txt"), "y");
  WriteFile(a->At("/gone.txt"), "gone");
  WriteFile(a->At("/offline.txt"), "removed while A is stopped");
  WriteFile(a->At("/kept.txt"), "kept");
  ASSERT_TRUE(Converged());

  // The server cannot take these removals for now; A has queued them and
  // sent them (and goes on asking) when it is killed.
  FaultPlan f = server->Faults();
  f.result_for_path["/gone.txt"] = SPROTO_RES_ERR;
  f.result_for_path["/gone dir"] = SPROTO_RES_ERR;
  server->SetFaults(f);
  RemoveTree(a->At("/gone dir"));
  ASSERT_EQ(unlink(a->At("/gone.txt").c_str()), 0);
  ASSERT_TRUE(WaitFor(
      [&] {
        return InLog("Failed to remove '/gone.txt'") > 0 &&
               InLog("Failed to remove '/gone dir'") > 0;
      },
      std::chrono::seconds(60)))
      << a->Log();
  a->Kill();
  // A removal A never saw: the start-up rescan fetches it back, as it does
  // for anything missing that was synced.
  ASSERT_EQ(unlink(a->At("/offline.txt").c_str()), 0);
  server->SetFaults(FaultPlan());

  ASSERT_TRUE(a->Start());
  ASSERT_TRUE(Converged());
  const std::set<std::string> want = {"/kept.txt", "/offline.txt"};
  for (const auto& side :
       {std::make_pair(std::string("share"), Share()), std::make_pair(a->name(), a->Root()),
        std::make_pair(b->name(), b->Root())}) {
    std::set<std::string> got;
    for (const auto& kv : ReadTree(side.second)) got.insert(kv.first);
    EXPECT_EQ(got, want) << side.first;
  }
  EXPECT_EQ(ReadFile(a->At("/offline.txt")), "removed while A is stopped");
}

}  // namespace
}  // namespace sftest
