// A removal on one side racing a change on the other, in both orders of
// arrival: the newer content always survives somewhere.
#include <gtest/gtest.h>
#include <unistd.h>

#include "fakes/engine-fixture.h"
#include "lib/base/errors.h"

namespace {

using sftest::ReadFile;
using sftest::W;
using sftest::WriteFile;

constexpr time_t kT = 1500000000;

class RemovalRaceTest : public EngineTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override { SetUpEngine(GetParam()); }

  // A server event as the syncer hands it over.
  Event ServerEvent(Event::Type type, const std::string& path) {
    Event e(type, F_SERVER, W(path));
    e.m_syncID = ServerRow(path).sync_id;
    return e;
  }
  // Every file below the root with `content`, conflict copies included.
  int CopiesWith(const std::string& content) {
    int n = 0;
    DIR_HANDLE h;
    FSOpenDir(W(Local("")), 0, h);
    DIR_ENTRY e;
    while (FSReadDir(h, e) == 1)
      if (e.type == FT_FILE && ReadFile(Local("/" + WideToUtf8Lossy(e.name))) == content) ++n;
    FSCloseDir(h);
    return n;
  }
  // The local edit the tests race: same size and time as the synced
  // version, so that only the content tells them apart.
  void EditKeepingSizeAndTime(const std::string& rel, const std::string& content) {
    WriteFile(Local(rel), content);
    SetMtime(Local(rel), kT);
  }
};

TEST_P(RemovalRaceTest, ServerRemovalArrivingAfterTheEditWasUploadedKeepsIt) {
  WriteFile(Local("/f.txt"), "version 1");
  ASSERT_EQ(Upload("/f.txt"), ERR_OK);
  ASSERT_EQ(HookRemove(server->store(), "/f.txt"), 0);  // another client
  Event removal = ServerEvent(EV_REMOVE, "/f.txt");
  WriteFile(Local("/f.txt"), "version 2, edited here");
  // The delta has no base on the server any more: refused once, then the
  // whole file makes the path again.
  ASSERT_EQ(Upload("/f.txt"), ERR_SERVER);
  ASSERT_EQ(Upload("/f.txt"), ERR_OK);
  ASSERT_EQ(worker->ProcessEvent(removal), ERR_OK);
  EXPECT_EQ(ReadFile(Local("/f.txt")), "version 2, edited here");
  EXPECT_EQ(ReadFile(Shared("/f.txt")), "version 2, edited here");
  EXPECT_GT(Row("/f.txt").syncID, removal.m_syncID);
}

TEST_P(RemovalRaceTest, ServerRemovalArrivingBeforeTheEditIsUploadedKeepsIt) {
  WriteFile(Local("/f.txt"), "version 1");
  SetMtime(Local("/f.txt"), kT);
  ASSERT_EQ(Upload("/f.txt"), ERR_OK);
  ASSERT_EQ(HookRemove(server->store(), "/f.txt"), 0);
  EditKeepingSizeAndTime("/f.txt", "version 2");
  Event removal = ServerEvent(EV_REMOVE, "/f.txt");
  ASSERT_EQ(worker->ProcessEvent(removal), ERR_OK);
  EXPECT_EQ(CopiesWith("version 2"), 1) << "the edit is gone";
  // Without a row any more, the edit goes up as new wherever it stands.
  DIR_HANDLE h;
  FSOpenDir(W(Local("")), 0, h);
  DIR_ENTRY e;
  while (FSReadDir(h, e) == 1) {
    if (e.type == FT_FILE) {
      ASSERT_EQ(Upload("/" + WideToUtf8Lossy(e.name)), ERR_OK);
    }
  }
  FSCloseDir(h);
  int on_server = 0;
  FSOpenDir(W(Shared("")), 0, h);
  while (FSReadDir(h, e) == 1)
    if (e.type == FT_FILE && ReadFile(Shared("/" + WideToUtf8Lossy(e.name))) == "version 2")
      ++on_server;
  FSCloseDir(h);
  EXPECT_EQ(on_server, 1);
}

TEST_P(RemovalRaceTest, ServerRemovalOfAFolderKeepsAnEditInside) {
  ASSERT_EQ(mkdir(Local("/D").c_str(), 0755), 0);
  ASSERT_EQ(Upload("/D"), ERR_OK);
  WriteFile(Local("/D/x.txt"), "version 1");
  SetMtime(Local("/D/x.txt"), kT);
  ASSERT_EQ(Upload("/D/x.txt"), ERR_OK);
  WriteFile(Local("/D/y.txt"), "synced, unchanged");
  ASSERT_EQ(Upload("/D/y.txt"), ERR_OK);
  ASSERT_EQ(HookRemove(server->store(), "/D"), 0);
  EditKeepingSizeAndTime("/D/x.txt", "version 2");
  Event removal = ServerEvent(EV_REMOVE, "/D");
  ASSERT_EQ(worker->ProcessEvent(removal), ERR_OK);
  EXPECT_EQ(ReadFile(Local("/D/x.txt")), "version 2");
  EXPECT_FALSE(sftest::PathExists(Local("/D/y.txt")));
}

TEST_P(RemovalRaceTest, LocalRemovalAndNewerServerVersionInEitherOrderKeepTheServerVersion) {
  WriteFile(Local("/a.txt"), "version 1");
  WriteFile(Local("/b.txt"), "version 1");
  ASSERT_EQ(Upload("/a.txt"), ERR_OK);
  ASSERT_EQ(Upload("/b.txt"), ERR_OK);
  ASSERT_EQ(HookPutBytes(server->store(), "/a.txt", "version 2 from elsewhere", kT + 10), 0);
  ASSERT_EQ(HookPutBytes(server->store(), "/b.txt", "version 2 from elsewhere", kT + 10), 0);
  const Event change_a = ServerEvent(EV_MODIFY, "/a.txt");
  const Event change_b = ServerEvent(EV_MODIFY, "/b.txt");
  ASSERT_EQ(unlink(Local("/a.txt").c_str()), 0);
  ASSERT_EQ(unlink(Local("/b.txt").c_str()), 0);

  // a: the removal first, then the server's change.
  EXPECT_EQ(RemoveRemote("/a.txt"), ERR_OK);
  Event e = change_a;
  EXPECT_EQ(worker->ProcessEvent(e), ERR_OK);
  // b: the server's change first, then the removal.
  e = change_b;
  EXPECT_EQ(worker->ProcessEvent(e), ERR_OK);
  EXPECT_EQ(RemoveRemote("/b.txt"), ERR_OK);

  for (const char* p : {"/a.txt", "/b.txt"}) {
    EXPECT_EQ(ReadFile(Shared(p)), "version 2 from elsewhere") << p;
    EXPECT_EQ(ReadFile(Local(p)), "version 2 from elsewhere") << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Protocols, RemovalRaceTest, ::testing::Values(4, 3),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return "v" + std::to_string(i.param);
                         });

}  // namespace
