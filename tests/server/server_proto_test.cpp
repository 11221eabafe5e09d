// The server's request parsers and answer writers, fed from memory: golden
// requests must parse into the documented fields, golden answers must come
// out byte for byte, and every bound must hold on hand-made bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/proto/proto-client.h"
#include "server/server-proto.h"

namespace sftest {
namespace {

using namespace sfsrv;

// Reads the header of `bytes` and leaves the channel at the first section.
std::unique_ptr<FaultChannel> AfterHeader(const std::string& bytes, uint8_t* cmd = nullptr) {
  auto ch = std::make_unique<FaultChannel>();
  ch->Feed(bytes);
  uint16_t len = 0;
  uint8_t c = 0, v = 0;
  EXPECT_EQ(ProtoReadHeader(*ch, len, c, v), 0);
  if (cmd) *cmd = c;
  return ch;
}

class ServerProtoTest : public ::testing::Test {
 protected:
  void SetUp() override { ProtoInit(3); }
  TempDir dir;
};

TEST_F(ServerProtoTest, GoldenRequestsParseIntoTheirFields) {
  uint8_t cmd = 0;
  auto ch = AfterHeader(Golden("request_upload2_file.hex"), &cmd);
  EXPECT_EQ(cmd, SCMD_EVT_RECV_2);
  UploadRequest up;
  ASSERT_EQ(ProtoReadUploadRequest2(*ch, up), 0);
  EXPECT_EQ(up.session, L"s1");
  EXPECT_EQ(up.meta_blocks, 3u);
  EXPECT_EQ(up.proto_version.major, 4u);
  EXPECT_EQ(up.filter_version.major, 1u);
  EXPECT_EQ(up.obj.sync_id, 0u);
  EXPECT_EQ(up.obj.path, L"/n.txt");
  EXPECT_EQ(up.data_blocks, kBlockFile | kBlockCommonAttr);
  EXPECT_EQ(up.common_attr.mtime, 1600000000u);
  EXPECT_EQ(up.file_is_delta, 0);
  EXPECT_EQ(up.file_size, 5u);
  EXPECT_EQ(up.file_hash, L"866437cb7a794bce2b727acc0362ee27");
  EXPECT_EQ(ch->Unconsumed(), 0u);

  ch = AfterHeader(Golden("request_upload3_file.hex"));
  RecvRequest recv;
  ASSERT_EQ(ProtoReadRecvRequest(*ch, recv), 0);
  EXPECT_FALSE(recv.is_node_op);
  EXPECT_EQ(recv.upload.obj.path, L"/n.txt");
  EXPECT_EQ(recv.upload.file_hash, up.file_hash);
  EXPECT_EQ(ch->Unconsumed(), 0u);

  ch = AfterHeader(Golden("request_upload_create_dir.hex"));
  ASSERT_EQ(ProtoReadRecvRequest(*ch, recv), 0);
  ASSERT_TRUE(recv.is_node_op);
  EXPECT_EQ(recv.node.base, 7u);
  EXPECT_EQ(recv.node.type, SFT_DIR);
  EXPECT_EQ(recv.node.op, FOP_CREATE);
  EXPECT_EQ(recv.node.path, L"/d");

  ch = AfterHeader(Golden("request_download_blocks.hex"));
  DownloadRequest dl;
  ASSERT_EQ(ProtoReadDownloadRequest(*ch, dl), 0);
  EXPECT_EQ(dl.obj.sync_id, 2u);
  EXPECT_EQ(dl.obj.path, L"/d/f.txt");
  EXPECT_EQ(dl.sync_blocks, 3u);

  ch = AfterHeader(Golden("request_auth2_session.hex"));
  Auth2Message auth;
  ASSERT_EQ(ProtoReadAuth2Message(*ch, auth), 0);
  EXPECT_EQ(auth.auth.auth_type, 1);
  EXPECT_EQ(auth.auth.session, L"s1");
  EXPECT_EQ(auth.client, L"c");
  EXPECT_EQ(auth.view_id, 2u);

  ch = AfterHeader(Golden("request_remove.hex"));
  RemoveRequest rm;
  ASSERT_EQ(ProtoReadRemoveRequest(*ch, rm), 0);
  EXPECT_EQ(rm.obj.sync_id, 1u);
  EXPECT_EQ(rm.obj.path, L"/d");
}

TEST_F(ServerProtoTest, EveryTruncationOfAGoldenRequestFails) {
  LogCapture quiet({});
  struct Parser {
    const char* golden;
    std::function<int(Channel&)> parse;
  };
  const Parser parsers[] = {
      {"request_upload2_file.hex",
       [](Channel& c) {
         UploadRequest r;
         return ProtoReadUploadRequest2(c, r);
       }},
      {"request_upload3_file.hex",
       [](Channel& c) {
         RecvRequest r;
         return ProtoReadRecvRequest(c, r);
       }},
      {"request_upload_create_dir.hex",
       [](Channel& c) {
         RecvRequest r;
         return ProtoReadRecvRequest(c, r);
       }},
      {"request_download_blocks.hex",
       [](Channel& c) {
         DownloadRequest r;
         return ProtoReadDownloadRequest(c, r);
       }},
      {"request_pull_events.hex",
       [](Channel& c) {
         PullRequest r;
         return ProtoReadPullRequest(c, r);
       }},
      {"request_auth2_session.hex",
       [](Channel& c) {
         Auth2Message r;
         return ProtoReadAuth2Message(c, r);
       }},
  };
  for (const Parser& p : parsers) {
    std::string bytes = Golden(p.golden);
    for (size_t cut = 8; cut < bytes.size(); ++cut) {
      auto ch = AfterHeader(bytes.substr(0, cut));
      EXPECT_LT(p.parse(*ch), 0) << p.golden << " cut at " << cut;
    }
    auto whole = AfterHeader(bytes);
    EXPECT_EQ(p.parse(*whole), 0) << p.golden;
  }
}

TEST_F(ServerProtoTest, UnknownBlocksAuthTypesAndSectionsAreProtocolErrors) {
  Bytes meta;
  meta.header(3, SCMD_EVT_RECV_2).secstr(SPROTO_ID_SESSION, "s").sec32(SPROTO_ID_META_BLOCK, 4);
  UploadRequest up;
  EXPECT_EQ(ProtoReadUploadRequest2(*AfterHeader(meta), up), ERR_PROTO);

  Bytes data;
  data.header(3, SCMD_EVT_RECV_2).secstr(SPROTO_ID_SESSION, "s").sec32(SPROTO_ID_META_BLOCK, 0);
  data.sec64(SPROTO_ID_SID, 0).secstr(SPROTO_ID_PATH, "/a").sec8(SPROTO_ID_FILETYPE, 0);
  data.sec32(SPROTO_ID_SYNC_BLOCK, 3).sec32(SPROTO_ID_DATA_BLOCK, 8);
  EXPECT_EQ(ProtoReadUploadRequest2(*AfterHeader(data), up), ERR_PROTO);

  Auth2Block block;
  Bytes a1;
  a1.header(3, SCMD_LIST_VIEW).sec32(SPROTO_ID_META_BLOCK, 1);
  EXPECT_EQ(ProtoReadAuth2Block(*AfterHeader(a1), block), ERR_PROTO);
  Bytes a2;
  a2.header(3, SCMD_LIST_VIEW).sec32(SPROTO_ID_META_BLOCK, 0).sec8(SPROTO_ID_AUTH_TYPE, 2);
  EXPECT_EQ(ProtoReadAuth2Block(*AfterHeader(a2), block), ERR_PROTO);

  Bytes recv;
  recv.header(3, SCMD_EVT_RECV).secstr(SPROTO_ID_SESSION, "s").sec64(SPROTO_ID_SID, 0);
  recv.sec8(SPROTO_ID_FILEOP, 1);
  RecvRequest r;
  EXPECT_EQ(ProtoReadRecvRequest(*AfterHeader(recv), r), ERR_PROTO);
}

TEST_F(ServerProtoTest, PayloadReceptionChecksLengthIdsAndBlockSizes) {
  std::string path = dir.Sub("recv");
  auto receive = [&](const std::string& bytes, uint64_t max, uint8_t& type, uint64_t& len,
                     FaultChannel** out = nullptr) {
    static std::unique_ptr<FaultChannel> keep;
    keep = std::make_unique<FaultChannel>();
    keep->Feed(bytes);
    if (out) *out = keep.get();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    PayloadBudget budget;
    int r = ProtoReceivePayload(*keep, fd, max, type, len, budget);
    close(fd);
    return r;
  };
  uint8_t type = 9;
  uint64_t len = 0;
  ASSERT_EQ(receive(Golden("payload_file_hello.hex"), 5, type, len), 0);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(ReadFile(path), "hello");
  ASSERT_EQ(receive(Golden("payload_file_empty.hex"), 0, type, len), 0);
  EXPECT_EQ(ReadFile(path), "");

  // Over the caller's bound: refused right after the length, blocks untouched.
  FaultChannel* ch = nullptr;
  std::string hello = Golden("payload_file_hello.hex");
  EXPECT_EQ(receive(hello, 4, type, len, &ch), ERR_PROTO);
  EXPECT_EQ(ch->Unconsumed(), hello.size() - 11);

  // Two blocks of 8192 and 1: ids 0 and 1 are required in order.
  std::string big(8193, 'b');
  Bytes two;
  two.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, 8193);
  two.sec32(SPROTO_ID_DELTAID, 0).secvar(SPROTO_ID_DELTADATA, big.substr(0, 8192));
  two.sec32(SPROTO_ID_DELTAID, 1).secvar(SPROTO_ID_DELTADATA, "b");
  ASSERT_EQ(receive(two, 1 << 20, type, len), 0);
  EXPECT_EQ(ReadFile(path), big);

  Bytes repeat;
  repeat.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, 2);
  repeat.sec32(SPROTO_ID_DELTAID, 0).secvar(SPROTO_ID_DELTADATA, "a");
  repeat.sec32(SPROTO_ID_DELTAID, 0).secvar(SPROTO_ID_DELTADATA, "b");
  EXPECT_EQ(receive(repeat, 10, type, len), ERR_PROTO);

  // A block longer than the receive buffer is refused by the framing.
  Bytes huge;
  huge.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, 9000);
  huge.sec32(SPROTO_ID_DELTAID, 0).u8(SPROTO_ID_DELTADATA).u16(9000).raw(std::string(9000, 'x'));
  EXPECT_EQ(receive(huge, 10000, type, len), ERR_PROTO);

  // Input ending mid-payload.
  EXPECT_EQ(receive(hello.substr(0, hello.size() - 2), 5, type, len), ERR_IO);
}

TEST_F(ServerProtoTest, PayloadSendingSplitsBlocksAndHonoursTheCut) {
  auto send = [&](const std::string& content, int64_t cut, int& rc) {
    WriteFile(dir.Sub("src"), content);
    int fd = open(dir.Sub("src").c_str(), O_RDONLY);
    FaultChannel ch;
    PayloadBudget budget;
    budget.limit = cut;
    rc = ProtoSendPayload(ch, fd, content.size(), 0, budget);
    close(fd);
    return ch.Output();
  };
  int rc = 0;
  EXPECT_EQ(Hex(send("hello", -1, rc)), Hex(Golden("payload_whole_hello.hex")));
  EXPECT_EQ(rc, 0);
  Bytes empty;
  empty.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, 0);
  EXPECT_EQ(Hex(send("", -1, rc)), Hex(empty));

  std::string big(8193, 'c');
  Bytes two;
  two.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, 8193);
  two.sec32(SPROTO_ID_DELTAID, 0).secvar(SPROTO_ID_DELTADATA, big.substr(0, 8192));
  two.sec32(SPROTO_ID_DELTAID, 1).secvar(SPROTO_ID_DELTADATA, "c");
  EXPECT_EQ(Hex(send(big, -1, rc)), Hex(two));

  Bytes cut;
  cut.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, 8193);
  cut.sec32(SPROTO_ID_DELTAID, 0).secvar(SPROTO_ID_DELTADATA, big.substr(0, 100));
  EXPECT_EQ(Hex(send(big, 100, rc)), Hex(cut));
  EXPECT_EQ(rc, ERR_IO);

  // A file shorter than announced is a local failure, never padded.
  WriteFile(dir.Sub("short"), "abc");
  int fd = open(dir.Sub("short").c_str(), O_RDONLY);
  FaultChannel ch;
  PayloadBudget budget;
  EXPECT_EQ(ProtoSendPayload(ch, fd, 10, 0, budget), ERR_SYS);
  close(fd);
}

TEST_F(ServerProtoTest, AnswerWritersMatchTheGoldenLayouts) {
  FaultChannel ch;
  ObjectInfo info;
  info.sync_id = 7;
  info.type = SFT_FILE;
  info.status = FS_EXIST;
  info.metadata.mtime = 100;
  info.path = L"/a.txt";
  info.updator = L"u";
  info.metadata.size = 12345;
  ASSERT_EQ(ProtoWriteObjectInfo(ch, info), 0);
  ch.FlushWrite(0);
  EXPECT_EQ(Hex(ch.Output()), Hex(Golden("object_info_file.hex")));

  FaultChannel t;
  ASSERT_EQ(ProtoWriteResponse(t, SCMD_TEST_CONN, SPROTO_RES_OK), 0);
  ASSERT_EQ(ProtoWriteTestConnBody(t, 3, L"SN1", L"srv"), 0);
  EXPECT_EQ(Hex(t.Output()), Hex(Golden("response_test_conn.hex")));

  FaultChannel v;
  View docs, team;
  docs.view_id = 1;
  docs.name = L"Docs";
  team.view_id = 2;
  team.name = L"Team";
  ASSERT_EQ(ProtoWriteResponse(v, SCMD_LIST_VIEW, SPROTO_RES_OK), 0);
  ASSERT_EQ(ProtoWriteViewList(v, {docs, team}), 0);
  EXPECT_EQ(Hex(v.Output()), Hex(Golden("response_list_views.hex")));
}

}  // namespace
}  // namespace sftest
