// Local removals carried to the reference server: what goes, what stays
// because this client has not seen it, and how each answer ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include "fakes/engine-fixture.h"
#include "lib/base/errors.h"

namespace {

using sftest::ReadFile;
using sftest::W;
using sftest::WriteFile;

class RemoveRemoteTest : public EngineTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override { SetUpEngine(GetParam()); }
  bool OnServer(const std::string& path) { return ServerRow(path).exist; }
  bool HasRow(const std::string& path) {
    ClientFileEventInfo row;
    return FileEventDB::getEventInfo(W(path), row) == 0;
  }
  // What the syncer records once it has processed every server change.
  void PulledEverything() { ASSERT_EQ(FileEventDB::setSyncId(server->store().LastSyncId()), 0); }
  void MakeDir(const std::string& rel) {
    ASSERT_EQ(mkdir(Local(rel).c_str(), 0755), 0);
    ASSERT_EQ(Upload(rel), ERR_OK);
  }
  void MakeFile(const std::string& rel, const std::string& content) {
    WriteFile(Local(rel), content);
    ASSERT_EQ(Upload(rel), ERR_OK);
  }
  // Carries out the local events queued meanwhile, as the workers would.
  void RunQueuedLocalEvents() {
    Event local, srv;
    while (mgr->PullEvent(local, srv, worker.get()) > 0) {
      ASSERT_TRUE(local.isValid());
      ASSERT_EQ(worker->ProcessEvent(local), ERR_OK) << WideToUtf8Lossy(local.toString());
      worker->DoneEvent(local);
    }
  }
};

TEST_P(RemoveRemoteTest, RemovedFileGoesFromTheServerAndTheDatabase) {
  MakeFile("/f.txt", "content");
  const std::wstring sig = Row("/f.txt").signaturePath;
  ASSERT_EQ(unlink(Local("/f.txt").c_str()), 0);
  ASSERT_EQ(RemoveRemote("/f.txt"), ERR_OK);
  EXPECT_FALSE(OnServer("/f.txt"));
  EXPECT_FALSE(HasRow("/f.txt"));
  EXPECT_FALSE(IsFileExist(sig));
}

TEST_P(RemoveRemoteTest, ItemThatCameBackOrIsUnknownIsLeftAlone) {
  MakeFile("/back.txt", "here again");
  RefuseExchangesFor("/back.txt");
  EXPECT_EQ(RemoveRemote("/back.txt"), ERR_OK);
  EXPECT_TRUE(OnServer("/back.txt"));
  EXPECT_TRUE(HasRow("/back.txt"));
  EXPECT_EQ(RemoveRemote("/never-synced.txt"), ERR_OK);
}

TEST_P(RemoveRemoteTest, AFolderWhereASyncedFileWasIsSentInItsPlace) {
  MakeFile("/back", "a file");
  ASSERT_EQ(unlink(Local("/back").c_str()), 0);
  ASSERT_EQ(mkdir(Local("/back").c_str(), 0755), 0);
  // The file's removal took the queue place of the folder's creation.
  ASSERT_EQ(RemoveRemote("/back"), ERR_OK);
  RunQueuedLocalEvents();
  EXPECT_TRUE(ServerRow("/back").isDir());
  EXPECT_TRUE(Row("/back").IsDir());
}

TEST_P(RemoveRemoteTest, NewerServerVersionOfARemovedFileStaysThere) {
  MakeFile("/f.txt", "v1");
  ASSERT_EQ(HookPutBytes(server->store(), "/f.txt", "v2 from elsewhere", 1500000100), 0);
  ASSERT_EQ(unlink(Local("/f.txt").c_str()), 0);
  ASSERT_EQ(RemoveRemote("/f.txt"), ERR_OK);
  EXPECT_EQ(ReadFile(Shared("/f.txt")), "v2 from elsewhere");
  // Without a row, the pull's event for v2 brings it back whole.
  EXPECT_FALSE(HasRow("/f.txt"));
}

TEST_P(RemoveRemoteTest, FolderGoesWithEverythingInItInOneRequest) {
  MakeDir("/D");
  MakeFile("/D/a.txt", "a");
  MakeDir("/D/sub");
  MakeFile("/D/sub/b.txt", "b");
  PulledEverything();
  sftest::RemoveTree(Local("/D"));
  // The detector reports the contents first; each goes with the folder.
  for (const char* p : {"/D/sub/b.txt", "/D/a.txt", "/D/sub"}) {
    EXPECT_EQ(RemoveRemote(p), ERR_OK) << p;
    EXPECT_TRUE(OnServer(p)) << p;
  }
  ASSERT_EQ(RemoveRemote("/D"), ERR_OK);
  for (const char* p : {"/D", "/D/a.txt", "/D/sub", "/D/sub/b.txt"}) {
    EXPECT_FALSE(OnServer(p)) << p;
    EXPECT_FALSE(HasRow(p)) << p;
  }
}

TEST_P(RemoveRemoteTest, FolderRemovalNeverTakesAChangeThisClientHasNotSeen) {
  MakeDir("/D");
  MakeFile("/D/a.txt", "a");
  PulledEverything();
  // Another client adds to the folder; this client has not pulled it, but
  // uploads into the folder afterwards, so its rows there are newer.
  ASSERT_EQ(HookPutBytes(server->store(), "/D/new.txt", "from elsewhere", 1500000100), 0);
  MakeFile("/D/b.txt", "b");
  sftest::RemoveTree(Local("/D"));
  EXPECT_EQ(RemoveRemote("/D/b.txt"), ERR_OK);
  EXPECT_EQ(RemoveRemote("/D/a.txt"), ERR_OK);
  // Refused: the removal waits for the pull, recorded, with the rows.
  EXPECT_EQ(RemoveRemote("/D"), ERR_OK);
  EXPECT_EQ(ReadFile(Shared("/D/new.txt")), "from elsewhere");
  EXPECT_TRUE(HasRow("/D"));
  FileEventDB::RemovalIntent waiting;
  EXPECT_EQ(FileEventDB::findRemovalIntent(W("/D/a.txt"), waiting), 1);

  // The pull brings the new file, and the folder with it; the removal taken
  // up again finds the folder back and removes what the user removed.
  ASSERT_EQ(mkdir(Local("/D").c_str(), 0755), 0);
  WriteFile(Local("/D/new.txt"), "from elsewhere");
  EXPECT_EQ(RemoveRemote("/D"), ERR_OK);
  RunQueuedLocalEvents();
  EXPECT_TRUE(OnServer("/D/new.txt"));
  EXPECT_FALSE(OnServer("/D/a.txt"));
  EXPECT_FALSE(OnServer("/D/b.txt"));
  EXPECT_FALSE(HasRow("/D/a.txt"));
  EXPECT_EQ(FileEventDB::findRemovalIntent(W("/D"), waiting), 0);
}

TEST_P(RemoveRemoteTest, FolderRemovalCountsThisClientsOwnChangesBeforeTheyArePulled) {
  MakeDir("/D");
  MakeFile("/D/a.txt", "a");
  MakeDir("/D/sub");
  MakeFile("/D/sub/b.txt", "b");
  sftest::RemoveTree(Local("/D"));
  // Nothing pulled yet, but every change below the folder is this
  // client's own: the answers to its uploads told it their ids.
  EXPECT_EQ(RemoveRemote("/D"), ERR_OK);
  for (const char* p : {"/D", "/D/a.txt", "/D/sub", "/D/sub/b.txt"}) {
    EXPECT_FALSE(OnServer(p)) << p;
    EXPECT_FALSE(HasRow(p)) << p;
  }
}

TEST_P(RemoveRemoteTest, WaitAndNoSuchEntryBothClearTheRowOfAFile) {
  MakeFile("/w.txt", "w");
  MakeFile("/n.txt", "n");
  FaultPlan f;
  f.result_for_path["/w.txt"] = SPROTO_RES_WAIT;
  f.result_for_path["/n.txt"] = SPROTO_RES_NOENT;
  server->SetFaults(f);
  for (const char* p : {"/w.txt", "/n.txt"}) {
    ASSERT_EQ(unlink(Local(p).c_str()), 0);
    EXPECT_EQ(RemoveRemote(p), ERR_OK) << p;
    EXPECT_FALSE(HasRow(p)) << p;
  }
  EXPECT_TRUE(OnServer("/w.txt"));
}

INSTANTIATE_TEST_SUITE_P(Protocols, RemoveRemoteTest, ::testing::Values(4, 3),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return "v" + std::to_string(i.param);
                         });

}  // namespace
