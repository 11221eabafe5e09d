// The client's own connection, authentication and object-request functions
// against the running server: every dialect the library speaks must be
// understood, and every refusal must map to the client's error code.
#include <gtest/gtest.h>

#include <cstring>

#include "lib/base/errors.h"
#include "lib/base/sqlite-util.h"
#include "lib/base/utility.h"
#include "lib/proto/proto-client.h"
#include "server-fixture.h"

namespace sftest {
namespace {

class ServerClientApiTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    Start();
    Open();
    std::strcpy(auth.ip, "127.0.0.1");
    auth.port = server->port();
    auth.session = L"s1";
  }
  void Open() { ASSERT_EQ(ch.Open("127.0.0.1", server->port(), false), 0); }
  int Connect(const std::wstring& session, uint32_t& alive) {
    int r = ProtoWriteConnRequest(ch, session);
    return r < 0 ? r : ProtoReadConnResponse(ch, alive);
  }
  // The keys of the server's kept sessions, read from its database.
  std::vector<std::string> SessionRows() {
    std::vector<std::string> keys;
    sqlite_util::Db db;
    sqlite_util::Stmt s;
    if (db.Open(store().statePath() + "/meta.sqlite") != 0 ||
        s.Prepare(db.get(), "SELECT session FROM sessions") != 0) {
      ADD_FAILURE() << "cannot read the sessions";
      return keys;
    }
    while (s.Step() == SQLITE_ROW) keys.push_back(s.ColumnText(0));
    return keys;
  }
  Channel ch;
  AuthInfo auth;
};

TEST_F(ServerClientApiTest, TestConnectionAndSessionChannel) {
  int version = 0;
  std::wstring serial, id;
  ASSERT_EQ(SFAPITestConnection("127.0.0.1", server->port(), version, serial, id), 0);
  EXPECT_EQ(version, 4);
  EXPECT_EQ(serial, L"SF-REFERENCE-0001");
  EXPECT_EQ(id, L"syncfolder-server");

  uint32_t alive = 7;
  ASSERT_EQ(Connect(L"s1", alive), 0);
  EXPECT_EQ(alive, 60u);
  alive = 7;
  EXPECT_EQ(Connect(L"forged", alive), ERR_AUTH);
  EXPECT_EQ(alive, 0u);
  // The refusal left the stream in step: the channel is still usable.
  ASSERT_EQ(Connect(L"s1", alive), 0);

  FaultPlan f;
  f.alive_zero = true;
  server->SetFaults(f);
  ASSERT_EQ(Connect(L"s1", alive), 0);
  EXPECT_EQ(alive, 0u);
}

TEST_F(ServerClientApiTest, AServerClosingAfterEachAnswerStillAdmitsTheSessionChannel) {
  opt.alive = 0;
  Restart();
  Channel c;
  ASSERT_EQ(c.Open("127.0.0.1", server->port(), false), 0);
  // A connect answer granting 0 would read as a refusal to the client.
  uint32_t alive = 0;
  ASSERT_EQ(ProtoWriteConnRequest(c, L"s1"), 0);
  ASSERT_EQ(ProtoReadConnResponse(c, alive), 0);
  EXPECT_GT(alive, 0u);
  // The request that follows is served, granted 0, and the connection ends.
  ASSERT_EQ(ProtoWritePullEventRequest(c, L"s1", 0), 0);
  int result = 0;
  ASSERT_EQ(ProtoReadResponse(c, SCMD_EVT_PULL, result), 0);
  EXPECT_EQ(result, SPROTO_RES_OK);
  uint64_t to_id = 1, count = 1;
  ASSERT_GE(ProtoReadSection(c, SPROTO_ID_SID, to_id), 0);
  ASSERT_GE(ProtoReadSection(c, SPROTO_ID_EVT_COUNT, count), 0);
  EXPECT_EQ(count, 0u);
  alive = 7;
  ASSERT_GE(ProtoReadSection(c, SPROTO_ID_ALIVE, alive), 0);
  EXPECT_EQ(alive, 0u);
  uint8_t more = 0;
  EXPECT_LT(c.ReadByte(&more), 0);
}

TEST_F(ServerClientApiTest, FirstDialectLogsInAndItsSessionWorks) {
  ASSERT_EQ(ProtoWriteAuthRequest(ch, L"alice", L"secret", L"laptop"), 0);
  std::wstring session;
  ASSERT_EQ(ProtoReadAuthResult(ch, session), 0);
  EXPECT_EQ(session.size(), 32u);
  uint32_t alive = 0;
  EXPECT_EQ(Connect(session, alive), 0);

  ASSERT_EQ(ProtoWriteAuthRequest(ch, L"alice", L"wrong", L"laptop"), 0);
  EXPECT_EQ(ProtoReadAuthResult(ch, session), ERR_PASSWORD);
  ASSERT_EQ(ProtoWriteAuthRequest(ch, L"mallory", L"secret", L"laptop"), 0);
  EXPECT_EQ(ProtoReadAuthResult(ch, session), ERR_USER);

  // Issued sessions survive a restart of the server.
  Restart();
  Channel again;
  ASSERT_EQ(again.Open("127.0.0.1", server->port(), false), 0);
  ASSERT_EQ(ProtoWriteConnRequest(again, session), 0);
  EXPECT_EQ(ProtoReadConnResponse(again, alive), 0);
}

TEST_F(ServerClientApiTest, IssuedSessionsAreKeptOnlyAsDigestsAndOlderOnesStillWork) {
  ASSERT_EQ(ProtoWriteAuthRequest(ch, L"alice", L"secret", L"laptop"), 0);
  std::wstring session;
  ASSERT_EQ(ProtoReadAuthResult(ch, session), 0);
  const std::vector<std::string> keys = SessionRows();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].size(), 64u);
  EXPECT_EQ(keys[0].find(WideToUtf8Lossy(session)), std::string::npos);

  // A state directory of an older server keeps its sessions as issued.
  server->Stop();
  {
    sqlite_util::Db db;
    ASSERT_EQ(db.Open(store().statePath() + "/meta.sqlite"), 0);
    ASSERT_EQ(db.Exec("DELETE FROM sessions; DELETE FROM settings WHERE key='session_keys';"
                      "INSERT INTO sessions VALUES('issued-before', 'alice', 0);"),
              0);
  }
  Restart();
  for (const std::string& key : SessionRows()) EXPECT_EQ(key.size(), 64u) << key;
  Channel again;
  ASSERT_EQ(again.Open("127.0.0.1", server->port(), false), 0);
  uint32_t alive = 0;
  ASSERT_EQ(ProtoWriteConnRequest(again, L"issued-before"), 0);
  EXPECT_EQ(ProtoReadConnResponse(again, alive), 0);
  EXPECT_EQ(alive, 60u);
}

TEST_F(ServerClientApiTest, SecondDialectByPasswordAndBySession) {
  std::wstring session, renewed;
  ASSERT_EQ(ProtoAuth2(ch, L"alice", L"secret", L"laptop", 1, session), 0);
  ASSERT_EQ(ProtoAuth2BySession(ch, session, L"laptop", 0, renewed), 0);
  EXPECT_NE(renewed, session);
  EXPECT_FALSE(renewed.empty());
  EXPECT_EQ(ProtoAuth2(ch, L"alice", L"nope", L"laptop", 1, session), ERR_PASSWORD);
  EXPECT_EQ(ProtoAuth2BySession(ch, L"forged", L"laptop", 1, renewed), ERR_AUTH);
  EXPECT_EQ(ProtoAuth2(ch, L"alice", L"secret", L"laptop", 9, session), ERR_AUTH);
}

TEST_F(ServerClientApiTest, UserCheckAndViewList) {
  ASSERT_EQ(ProtoWriteCheckUser(ch, L"alice", L"secret"), 0);
  std::wstring serial;
  ASSERT_EQ(ProtoReadCheckUserResult(ch, serial), 0);
  EXPECT_EQ(serial, L"SF-REFERENCE-0001");
  ASSERT_EQ(ProtoWriteCheckUser(ch, L"alice", L"bad"), 0);
  EXPECT_EQ(ProtoReadCheckUserResult(ch, serial), ERR_PASSWORD);

  std::list<View> views;
  ASSERT_EQ(ProtoListView(ch, L"alice", L"secret", views), 0);
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views.front().view_id, 1u);
  EXPECT_EQ(views.front().name, L"share");
  views.clear();
  ASSERT_EQ(ProtoListViewBySession(ch, L"s1", views), 0);
  EXPECT_EQ(views.size(), 1u);
  EXPECT_EQ(ProtoListViewBySession(ch, L"forged", views), ERR_AUTH);
}

TEST_F(ServerClientApiTest, NodeOperationsCreateAnnounceAndRemove) {
  ObjectInfo info;
  ASSERT_EQ(SFAPICreateDirectory(auth, 0, L"/nd/sub", info), 0);
  EXPECT_TRUE(info.isDir());
  EXPECT_EQ(info.path, L"/nd/sub");
  EXPECT_EQ(info.updator, L"alice");
  EXPECT_TRUE(PathExists(Share() + "/nd/sub"));
  uint64_t dir_id = info.sync_id;

  // A file created empty, then announced for an upload from its version.
  ASSERT_EQ(ProtoDoNodeOperation(ch, L"s1", 0, SFT_FILE, FOP_CREATE, L"/nd/f", info), 0);
  EXPECT_TRUE(info.isFile());
  EXPECT_EQ(info.metadata.size, 0u);
  EXPECT_EQ(info.metadata.hash, L"31d6cfe0d16ae931b73c59d7e0c089c0");
  uint64_t file_id = info.sync_id;
  ASSERT_EQ(ProtoDoNodeOperation(ch, L"s1", file_id, SFT_FILE, FOP_PATCH, L"/nd/f", info), 0);
  EXPECT_EQ(info.sync_id, file_id);
  EXPECT_EQ(ProtoDoNodeOperation(ch, L"s1", file_id - 1, SFT_FILE, FOP_PATCH, L"/nd/f", info),
            ERR_CONFLICT);
  EXPECT_EQ(ProtoDoNodeOperation(ch, L"s1", 0, SFT_FILE, FOP_PATCH, L"/nd/none", info), ERR_NOENT);

  // Removal: a stale base or the wrong type conflicts; then each goes.
  ASSERT_EQ(HookPutBytes(store(), "/nd/f", "changed", kGoldenTime), 0);
  EXPECT_EQ(SFAPIRemoveFile(auth, file_id, L"/nd/f", info), ERR_CONFLICT);
  EXPECT_EQ(SFAPIRemoveDirectory(auth, dir_id, L"/nd/f", info), ERR_CONFLICT);
  EXPECT_EQ(SFAPIRemoveFile(auth, Row("/nd/f").sync_id, L"/nd/f", info), 0);
  EXPECT_EQ(SFAPIRemoveDirectory(auth, dir_id, L"/nd/sub", info), 0);
  EXPECT_FALSE(PathExists(Share() + "/nd/sub"));
  EXPECT_EQ(SFAPIRemoveFile(auth, 100, L"/nd/f", info), ERR_NOENT);
}

TEST_F(ServerClientApiTest, OneShotPullReadsAnswersWithoutFileDetails) {
  // The library's one-shot pull reads entries without size and checksum;
  // the server sends those only for existing files.
  ASSERT_EQ(HookMkdir(store(), "/a", kGoldenTime), 0);
  ASSERT_EQ(HookPutBytes(store(), "/b", "b", kGoldenTime), 0);
  ASSERT_EQ(HookRemove(store(), "/b"), 0);
  std::list<PullEntry> events;
  uint64_t to_id = 0;
  ASSERT_EQ(SFAPIPullEvent(auth, 0, to_id, events), 0);
  EXPECT_EQ(to_id, 3u);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events.front().path, L"/a");
  EXPECT_TRUE(events.front().isDir());
  EXPECT_TRUE(events.back().isRemoved());
}

}  // namespace
}  // namespace sftest
