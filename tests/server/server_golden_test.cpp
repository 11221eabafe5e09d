// Whole exchanges with the server checked byte for byte against the golden
// files written from the documented layouts. Each exchange is followed by a
// connection request on the same connection, so an answer with stray bytes
// would desynchronise the stream and fail.
#include <gtest/gtest.h>

#include "fakes/scripted-peer.h"
#include "server-fixture.h"

namespace sftest {
namespace {

class ServerGoldenTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    opt.serial = "SN1";
    opt.server_id = "srv";
    opt.reported_version = 3;
    Start();
    GoldenLayout();
  }
  // Sends `request` and returns as many bytes as `want` has; then checks the
  // stream is still in step.
  std::string Exchange(RawConn& c, const std::string& request, const std::string& want) {
    EXPECT_TRUE(c.Send(request));
    return Hex(c.Recv(want.size()));
  }
  void ExpectInStep(RawConn& c) {
    std::string ok = Golden("response_connect_ok.hex");
    EXPECT_EQ(Exchange(c, Golden("request_connect.hex"), ok), Hex(ok));
  }
};

Bytes PullFrom(uint64_t base, const std::string& session = "s1") {
  Bytes b;
  b.header(3, SCMD_EVT_PULL).secstr(SPROTO_ID_SESSION, session).sec64(SPROTO_ID_SID, base);
  return b;
}

Bytes DownloadOf(const std::string& path, uint64_t base, uint32_t blocks = 3) {
  Bytes b;
  b.header(3, SCMD_EVT_SEND).secstr(SPROTO_ID_SESSION, "s1").sec64(SPROTO_ID_SID, base);
  b.secstr(SPROTO_ID_PATH, path).sec32(SPROTO_ID_SYNC_BLOCK, blocks);
  return b;
}

TEST_F(ServerGoldenTest, PullAnswersInTheSyncerLayoutWithKeepAliveLast) {
  RawConn c(server->port());
  std::string want = Golden("response_pull_syncer.hex");
  EXPECT_EQ(Exchange(c, PullFrom(0), want), Hex(want));
  ExpectInStep(c);
  // Nothing newer than 5: an empty list that still names the newest id.
  Bytes empty;
  empty.header(3, SCMD_EVT_PULL).sec8(SPROTO_ID_RES, SPROTO_RES_OK).sec64(SPROTO_ID_SID, 4);
  empty.sec64(SPROTO_ID_EVT_COUNT, 0).sec32(SPROTO_ID_ALIVE, 60);
  EXPECT_EQ(Exchange(c, Golden("request_pull_events.hex"), empty), Hex(empty));
  ExpectInStep(c);
}

TEST_F(ServerGoldenTest, UnknownSessionsAreRefusedWithTheRightTrailer) {
  RawConn c(server->port());
  std::string want = Golden("response_pull_sessionerr.hex");
  EXPECT_EQ(Exchange(c, PullFrom(0, "nobody"), want), Hex(want));
  Bytes conn;
  conn.header(3, SCMD_REQUEST_CONNECT).secstr(SPROTO_ID_SESSION, "nobody");
  want = Golden("response_connect_sessionerr.hex");
  EXPECT_EQ(Exchange(c, conn, want), Hex(want));
  ExpectInStep(c);
}

TEST_F(ServerGoldenTest, DownloadAnswersForFileDirectoryAndCurrentVersion) {
  RawConn c(server->port());
  std::string want = Golden("response_download_uptodate.hex");
  EXPECT_EQ(Exchange(c, Golden("request_download_blocks.hex"), want), Hex(want));
  want = Golden("response_download_file.hex");
  EXPECT_EQ(Exchange(c, DownloadOf("/d/f.txt", 0), want), Hex(want));
  want = Golden("response_download_dir.hex");
  EXPECT_EQ(Exchange(c, DownloadOf("/d", 0), want), Hex(want));
  ExpectInStep(c);
}

TEST_F(ServerGoldenTest, UploadAsksForTheFileThenConfirmsTheNewObject) {
  RawConn c(server->port());
  std::string ack = Golden("upload_ack_file.hex");
  EXPECT_EQ(Exchange(c, Golden("request_upload2_file.hex"), ack), Hex(ack));
  std::string want = Golden("response_upload2_ok.hex");
  EXPECT_EQ(Exchange(c, Golden("payload_whole_hello.hex"), want), Hex(want));
  EXPECT_EQ(OnDisk("/n.txt"), "hello");
  EXPECT_EQ(Row("/n.txt").updater, "alice");

  // The same content again from a client that never saw object 5: no
  // conflict and no new id, but the file block is still taken, or that client
  // would record the size and checksum of its old record for its file.
  EXPECT_EQ(Exchange(c, Golden("request_upload2_file.hex"), ack), Hex(ack));
  EXPECT_EQ(Exchange(c, Golden("payload_whole_hello.hex"), want), Hex(want));
  EXPECT_EQ(store().LastSyncId(), 5u);
  ExpectInStep(c);
}

TEST_F(ServerGoldenTest, ProtocolThreeUploadHasNoMetaBlocks) {
  RawConn c(server->port());
  std::string ack = Golden("upload_ack_file.hex");
  EXPECT_EQ(Exchange(c, Golden("request_upload3_file.hex"), ack), Hex(ack));
  std::string want = Golden("response_upload3_ok.hex");
  EXPECT_EQ(Exchange(c, Golden("payload_whole_hello.hex"), want), Hex(want));
  EXPECT_EQ(OnDisk("/n.txt"), "hello");
  ExpectInStep(c);
}

TEST_F(ServerGoldenTest, UploadOverANewerVersionConflictsWithoutData) {
  ASSERT_EQ(HookPutBytes(store(), "/n.txt", "someone else's", kGoldenTime), 0);
  RawConn c(server->port());
  std::string none = Golden("upload_ack_none.hex");
  std::string want = Golden("response_upload2_conflict.hex");
  EXPECT_EQ(Exchange(c, Golden("request_upload2_file.hex"), none + want), Hex(none + want));
  EXPECT_EQ(OnDisk("/n.txt"), "someone else's");
  ExpectInStep(c);
}

TEST_F(ServerGoldenTest, RemovalOfADirectoryWithUnseenEntriesWaits) {
  RawConn c(server->port());
  std::string want = Golden("response_remove_wait.hex");
  EXPECT_EQ(Exchange(c, Golden("request_remove.hex"), want), Hex(want));
  EXPECT_EQ(OnDisk("/d/f.txt"), "hello");
  ExpectInStep(c);
}

TEST_F(ServerGoldenTest, TestConnectionReportsVersionSerialAndServerId) {
  RawConn c(server->port());
  std::string want = Golden("response_test_conn.hex");
  Bytes req;
  req.header(3, SCMD_TEST_CONN);
  EXPECT_EQ(Exchange(c, req, want), Hex(want));
  ExpectInStep(c);
}

class ServerGoldenNodeTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    Start();
  }
};

TEST_F(ServerGoldenNodeTest, CreatingAnExistingDirectoryAnswersItsObjectInfo) {
  // Object 43 is the directory "/d" changed last by "bob".
  for (int i = 1; i <= 42; ++i) {
    ASSERT_EQ(HookMkdir(store(), "/x" + std::to_string(i), kGoldenTime), 0);
  }
  ASSERT_EQ(HookMkdir(store(), "/d", kGoldenTime, "bob"), 0);
  RawConn c(server->port());
  std::string want = Golden("response_node_create_dir.hex");
  ASSERT_TRUE(c.Send(Golden("request_upload_create_dir.hex")));
  EXPECT_EQ(Hex(c.Recv(want.size())), Hex(want));
  EXPECT_EQ(store().LastSyncId(), 43u);
}

}  // namespace
}  // namespace sftest
