#include <gtest/gtest.h>

#include <cstring>

#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-client.h"

using sftest::Bytes;
using sftest::FaultChannel;
using sftest::Golden;
using sftest::Hex;
using sftest::ScriptedPeer;

namespace {

class ProtoClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ProtoInit(3); }

  // A loopback peer that waits for `request_len` bytes and then answers.
  void Serve(size_t request_len, const std::string& response) {
    peer = std::make_unique<ScriptedPeer>();
    peer->Expect(request_len).Send(response).Start();
    ch.SetWaitPeriod(std::chrono::milliseconds(50));
    ASSERT_EQ(ch.Open("127.0.0.1", peer->port(), false), 0);
  }
  std::string Sent() { return peer->Received(); }

  static std::string Header(uint8_t cmd) { return Bytes().header(3, cmd).str(); }
  static std::string Ok(uint8_t cmd) { return Bytes().header(3, cmd).sec8(SPROTO_ID_RES, 1).str(); }
  static std::string Refused(uint8_t cmd, uint8_t res) {
    return Bytes().header(3, cmd).sec8(SPROTO_ID_RES, res).str();
  }
  static std::string Enc(const std::string& s) {
    std::string e;
    SyncPassEnc(s, e);
    return e;
  }

  std::unique_ptr<ScriptedPeer> peer;
  Channel ch;
};

// ---- result mapping and the response reader -------------------------------------

TEST_F(ProtoClientTest, ServerResultsMapToClientErrors) {
  const int expect[] = {
      ERR_SYS,     ERR_OK,           ERR_SERVER, ERR_SERVER,       ERR_USER,         ERR_PASSWORD,
      ERR_AUTH,    ERR_AUTH,         ERR_PROTO,  ERR_CONFLICT,     ERR_VERSION,      ERR_NOENT,
      ERR_AUTH,    ERR_KELVODISABLE, ERR_QUOTA,  ERR_DISKFULL,     ERR_SYS,          ERR_SYS,
      ERR_VERSION, ERR_AUTH,         ERR_AUTH,   ERR_KELVODISABLE, ERR_KELVODISABLE, ERR_SYS};
  for (int r = 0; r <= 23; ++r) EXPECT_EQ(ProtoResp2ErrorCode(r), expect[r]) << r;
  EXPECT_EQ(ProtoResp2ErrorCode(-1), ERR_SYS);
  EXPECT_EQ(ProtoResp2ErrorCode(255), ERR_SYS);
}

TEST_F(ProtoClientTest, ResponseWithAnotherCommandIsRefusedWithoutReadingFurther) {
  FaultChannel in;
  in.Feed(Ok(SCMD_AUTH_2) + Bytes().secstr(SPROTO_ID_SESSION, "s").str());
  std::wstring session = L"keep";
  EXPECT_EQ(ProtoReadAuthResult(in, session), ERR_PROTO);
  EXPECT_EQ(session, L"keep");
  EXPECT_EQ(in.Unconsumed(), 2u + 5u);  // result and session still unread
}

TEST_F(ProtoClientTest, ResponseReaderPassesResultAndFailures) {
  FaultChannel in;
  in.Feed(Refused(SCMD_EVT_PULL, 7) + Header(SCMD_EVT_PULL) + Bytes().sec8(SPROTO_ID_SID, 1).str());
  int result = 0;
  ASSERT_EQ(ProtoReadResponse(in, SCMD_EVT_PULL, result), 0);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(ProtoReadResponse(in, SCMD_EVT_PULL, result), ERR_PROTO);  // not a result section
  EXPECT_EQ(ProtoReadResponse(in, SCMD_EVT_PULL, result), ERR_IO);     // stream ended
}

// ---- test connection ------------------------------------------------------------------

TEST_F(ProtoClientTest, TestConnectionOverLoopback) {
  Serve(8, Golden("response_test_conn.hex"));
  int version = 0;
  std::wstring serial, id;
  ASSERT_EQ(ProtoTestConnection(ch, version, serial, id), 0);
  EXPECT_EQ(Hex(Sent()), Hex(Header(SCMD_TEST_CONN)));
  EXPECT_EQ(version, 3);
  EXPECT_EQ(serial, L"SN1");
  EXPECT_EQ(id, L"srv");
}

TEST_F(ProtoClientTest, TestConnectionRefusalLeavesOutputsUntouched) {
  FaultChannel in;
  in.Feed(Refused(SCMD_TEST_CONN, SPROTO_RES_UPGRADE));
  int version = -1;
  std::wstring serial = L"s", id = L"i";
  EXPECT_EQ(ProtoTestConnection(in, version, serial, id), ERR_VERSION);
  EXPECT_EQ(version, -1);
  EXPECT_EQ(serial, L"s");
}

TEST_F(ProtoClientTest, OneShotTestConnectionOpensAndCloses) {
  ScriptedPeer p;
  p.Expect(8).Send(Golden("response_test_conn.hex")).Start();
  int version = 0;
  std::wstring serial, id;
  EXPECT_EQ(SFAPITestConnection("127.0.0.1", p.port(), version, serial, id), 0);
  EXPECT_EQ(serial, L"SN1");
  EXPECT_TRUE(sftest::WaitFor([&] { return p.PeerClosed(); }));
  EXPECT_EQ(SFAPITestConnection(nullptr, 1, version, serial, id), ERR_IO);
}

// ---- authentication ----------------------------------------------------------------------

TEST_F(ProtoClientTest, FirstDialectSendsUserEncryptedPasswordAndClient) {
  const std::string request = Bytes()
                                  .header(3, SCMD_AUTH)
                                  .secstr(SPROTO_ID_USER, "bob")
                                  .secvar(SPROTO_ID_PASSWD, Enc("pw"))
                                  .secstr(SPROTO_ID_CLIENT, "c1");
  Serve(request.size(), Ok(SCMD_AUTH) + Bytes().secstr(SPROTO_ID_SESSION, "sess").str());
  ASSERT_EQ(ProtoWriteAuthRequest(ch, L"bob", L"pw", L"c1"), 0);
  std::wstring session;
  ASSERT_EQ(ProtoReadAuthResult(ch, session), 0);
  EXPECT_EQ(Hex(Sent()), Hex(request));
  EXPECT_EQ(session, L"sess");
}

TEST_F(ProtoClientTest, FirstDialectRefusalsMapToTheirCodes) {
  for (auto [res, code] : {std::pair<uint8_t, int>{SPROTO_RES_PASSERR, ERR_PASSWORD},
                           {SPROTO_RES_USRERR, ERR_USER},
                           {SPROTO_RES_KELVODISABLED, ERR_KELVODISABLE},
                           {0, ERR_SYS}}) {
    FaultChannel in;
    in.Feed(Refused(SCMD_AUTH, res) + Bytes().secstr(SPROTO_ID_SESSION, "x").str());
    std::wstring session = L"keep";
    EXPECT_EQ(ProtoReadAuthResult(in, session), code) << int(res);
    EXPECT_EQ(session, L"keep");
    EXPECT_EQ(in.Unconsumed(), 5u);  // nothing read after the result
  }
}

TEST_F(ProtoClientTest, SecondDialectBySessionMatchesTheDocumentedBytes) {
  const std::string request = Golden("request_auth2_session.hex");
  Serve(request.size(), Ok(SCMD_AUTH_2) + Bytes().secstr(SPROTO_ID_SESSION, "new").str());
  std::wstring fresh;
  ASSERT_EQ(ProtoAuth2BySession(ch, L"s1", L"c", 2, fresh), 0);
  EXPECT_EQ(Hex(Sent()), Hex(request));
  EXPECT_EQ(fresh, L"new");
}

TEST_F(ProtoClientTest, SecondDialectByUserSendsTypeZeroAndEncryptedPassword) {
  FaultChannel io;
  io.Feed(Refused(SCMD_AUTH_2, 23));
  std::wstring session = L"keep";
  EXPECT_EQ(ProtoAuth2(io, L"al", L"p\u00e4", L"c", 5, session), ERR_SYS);
  EXPECT_EQ(session, L"keep");
  EXPECT_EQ(Hex(io.Output()), Hex(Bytes()
                                      .header(3, SCMD_AUTH_2)
                                      .sec32(SPROTO_ID_META_BLOCK, 0)
                                      .sec8(SPROTO_ID_AUTH_TYPE, 0)
                                      .secstr(SPROTO_ID_USER, "al")
                                      .secvar(SPROTO_ID_PASSWD, Enc("p\xc3\xa4"))
                                      .secstr(SPROTO_ID_CLIENT, "c")
                                      .sec64(SPROTO_ID_VIEW_ID, 5)));
}

TEST_F(ProtoClientTest, UserCheckReturnsTheSerialNumber) {
  FaultChannel io;
  io.Feed(Ok(SCMD_USER_CHECK) + Bytes().secstr(SPROTO_ID_SERIAL_NUMBER, "ZSN").str() +
          Refused(SCMD_USER_CHECK, SPROTO_RES_USERDISABLED));
  ASSERT_EQ(ProtoWriteCheckUser(io, L"u", L"p"), 0);
  EXPECT_EQ(Hex(io.Output()), Hex(Bytes()
                                      .header(3, SCMD_USER_CHECK)
                                      .secstr(SPROTO_ID_USER, "u")
                                      .secvar(SPROTO_ID_PASSWD, Enc("p"))));
  std::wstring serial;
  ASSERT_EQ(ProtoReadCheckUserResult(io, serial), 0);
  EXPECT_EQ(serial, L"ZSN");
  EXPECT_EQ(ProtoReadCheckUserResult(io, serial), ERR_AUTH);
  EXPECT_EQ(serial, L"ZSN");
}

// ---- view list ---------------------------------------------------------------------------

TEST_F(ProtoClientTest, ViewListOverLoopback) {
  const std::string request = Bytes()
                                  .header(3, SCMD_LIST_VIEW)
                                  .sec32(SPROTO_ID_META_BLOCK, 0)
                                  .sec8(SPROTO_ID_AUTH_TYPE, 1)
                                  .secstr(SPROTO_ID_SESSION, "s1");
  Serve(request.size(), Golden("response_list_views.hex"));
  std::list<View> views;
  ASSERT_EQ(ProtoListViewBySession(ch, L"s1", views), 0);
  EXPECT_EQ(Hex(Sent()), Hex(request));
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(views.front().view_id, 1u);
  EXPECT_EQ(views.front().name, L"Docs");
  EXPECT_EQ(views.back().name, L"Team");
}

TEST_F(ProtoClientTest, ViewListWithBrokenSequenceKeepsTheViewsBeforeIt) {
  FaultChannel io;
  io.Feed(Bytes()
              .header(3, SCMD_LIST_VIEW)
              .sec8(SPROTO_ID_RES, 1)
              .sec32(SPROTO_ID_VIEW_COUNT, 3)
              .sec32(SPROTO_ID_SEQID, 0)
              .sec64(SPROTO_ID_VIEW_ID, 1)
              .secstr(SPROTO_ID_VIEW_NAME, "a")
              .sec32(SPROTO_ID_SEQID, 2)
              .sec64(SPROTO_ID_VIEW_ID, 2)
              .secstr(SPROTO_ID_VIEW_NAME, "b"));
  std::list<View> views;
  EXPECT_EQ(ProtoListView(io, L"u", L"p", views), ERR_PROTO);
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views.front().name, L"a");
}

TEST_F(ProtoClientTest, ViewListCountIsBoundedAndRefusalsMapped) {
  FaultChannel io;
  io.Feed(Bytes()
              .header(3, SCMD_LIST_VIEW)
              .sec8(SPROTO_ID_RES, 1)
              .sec32(SPROTO_ID_VIEW_COUNT, kProtoMaxViews + 1));
  std::list<View> views;
  EXPECT_EQ(ProtoListView(io, L"u", L"p", views), ERR_PROTO);
  FaultChannel io2;
  io2.Feed(Refused(SCMD_LIST_VIEW, SPROTO_RES_INVALID_VIEW));
  EXPECT_EQ(ProtoListView(io2, L"u", L"p", views), ERR_AUTH);
  EXPECT_TRUE(views.empty());
}

// ---- connection request ----------------------------------------------------------------

TEST_F(ProtoClientTest, ConnectionRequestOverLoopback) {
  const std::string request = Golden("request_connect.hex");
  Serve(request.size(), Golden("response_connect_ok.hex"));
  ASSERT_EQ(ProtoWriteConnRequest(ch, L"s1"), 0);
  uint32_t alive = 0;
  EXPECT_GE(ProtoReadConnResponse(ch, alive), 0);
  EXPECT_EQ(Hex(Sent()), Hex(request));
  EXPECT_EQ(alive, 60u);
}

TEST_F(ProtoClientTest, RefusedConnectionRequestGivesAuthErrorAndNoAlive) {
  FaultChannel in;
  in.Feed(Refused(SCMD_REQUEST_CONNECT, SPROTO_RES_SESSIONERR));
  uint32_t alive = 99;
  EXPECT_EQ(ProtoReadConnResponse(in, alive), ERR_AUTH);
  EXPECT_EQ(alive, 0u);
  FaultChannel wrong;
  wrong.Feed(Golden("response_test_conn.hex"));
  EXPECT_EQ(ProtoReadConnResponse(wrong, alive), ERR_PROTO);
}

// ---- event pull ------------------------------------------------------------------------

TEST_F(ProtoClientTest, PullOverLoopbackReadsEveryEntry) {
  const std::string request = Golden("request_pull_events.hex");
  Serve(request.size(), Golden("response_pull_two_events.hex"));
  ASSERT_EQ(ProtoWritePullEventRequest(ch, L"s1", 5), 0);
  int result = 0;
  ASSERT_EQ(ProtoReadResponse(ch, SCMD_EVT_PULL, result), 0);
  ASSERT_EQ(result, SPROTO_RES_OK);
  uint64_t to_id = 0;
  std::list<PullEntry> events;
  ASSERT_EQ(ProtoReadEvents(ch, to_id, events), 0);
  EXPECT_EQ(Hex(Sent()), Hex(request));
  EXPECT_EQ(to_id, 100u);
  ASSERT_EQ(events.size(), 2u);
  const PullEntry& dir = events.front();
  EXPECT_TRUE(dir.isRemoved());
  EXPECT_TRUE(dir.isDir());
  EXPECT_EQ(dir.sync_id, 10u);
  EXPECT_EQ(dir.path, L"/d");
  const PullEntry& file = events.back();
  EXPECT_FALSE(file.isRemoved());
  EXPECT_FALSE(file.isDir());
  EXPECT_EQ(file.sync_id, 11u);
  EXPECT_EQ(file.path, L"/d/f.txt");
}

TEST_F(ProtoClientTest, EmptyPullKeepsTheListAndUpdatesTheSyncId) {
  FaultChannel in;
  in.Feed(Bytes().sec64(SPROTO_ID_SID, 77).sec64(SPROTO_ID_EVT_COUNT, 0));
  std::list<PullEntry> events(1);
  uint64_t to_id = 1;
  ASSERT_EQ(ProtoReadEvents(in, to_id, events), 0);
  EXPECT_EQ(to_id, 77u);
  EXPECT_EQ(events.size(), 1u);
}

Bytes Entry(Bytes b, uint32_t seq, uint64_t sid, uint8_t type, uint8_t status,
            const std::string& path) {
  return b.sec32(SPROTO_ID_SEQID, seq)
      .sec64(SPROTO_ID_SID, sid)
      .sec8(SPROTO_ID_FILETYPE, type)
      .sec8(SPROTO_ID_FILESTATUS, status)
      .secstr(SPROTO_ID_PATH, path);
}

TEST_F(ProtoClientTest, BrokenSequenceFailsAndKeepsTheSyncIdUnchanged) {
  Bytes b;
  b.sec64(SPROTO_ID_SID, 9).sec64(SPROTO_ID_EVT_COUNT, 3);
  b = Entry(b, 0, 1, 0, 1, "/a");
  b = Entry(b, 1, 2, 0, 1, "/b");
  b = Entry(b, 3, 3, 0, 1, "/c");
  FaultChannel in;
  in.Feed(b);
  std::list<PullEntry> events;
  uint64_t to_id = 4;
  EXPECT_EQ(ProtoReadEvents(in, to_id, events), ERR_PROTO);
  EXPECT_EQ(events.size(), 2u);
  EXPECT_EQ(to_id, 4u);  // a failed pull must not advance the stored position
}

TEST_F(ProtoClientTest, PullCountIsBoundedBeforeAnythingIsRead) {
  FaultChannel in;
  in.Feed(Bytes().sec64(SPROTO_ID_SID, 9).sec64(SPROTO_ID_EVT_COUNT, kProtoMaxPullEvents + 1));
  std::list<PullEntry> events;
  uint64_t to_id = 0;
  EXPECT_EQ(ProtoReadEvents(in, to_id, events), ERR_PROTO);
  EXPECT_TRUE(events.empty());
}

TEST_F(ProtoClientTest, SyncerLayoutCarriesSizeAndHashOfExistingFilesOnly) {
  Bytes b;
  b.sec64(SPROTO_ID_SID, 9).sec64(SPROTO_ID_EVT_COUNT, 3);
  b.sec32(SPROTO_ID_SEQID, 0).sec64(SPROTO_ID_SID, 1).sec8(SPROTO_ID_FILETYPE, SFT_FILE);
  b.sec8(SPROTO_ID_FILESTATUS, FS_EXIST).sec64(SPROTO_ID_FILESIZE, 5).secstr(SPROTO_ID_FILEHASH, "h");
  b.secstr(SPROTO_ID_PATH, "/f");
  b = Entry(b, 1, 2, SFT_FILE, FS_DEL, "/gone");
  b = Entry(b, 2, 3, SFT_DIR, FS_EXIST, "/d");
  FaultChannel in;
  in.Feed(b);
  std::list<PullEntry> events;
  uint64_t to_id = 0;
  size_t dropped = 0;
  ASSERT_EQ(ProtoReadEvents(in, to_id, events, kPullWithContent, &dropped), 0);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events.front().size, 5u);
  EXPECT_EQ(events.front().hash, L"h");
  EXPECT_EQ(events.back().path, L"/d");
  EXPECT_EQ(dropped, 0u);
}

TEST_F(ProtoClientTest, AnEntryOfUnknownTypeOrStatusIsAProtocolError) {
  // A damaged byte must not turn a file into a directory (making one in
  // its place would remove the file).
  for (auto layout : {kPullBasic, kPullWithContent}) {
    for (auto ts : {std::make_pair(2, 1), std::make_pair(0, 2), std::make_pair(255, 0)}) {
      Bytes b;
      b.sec64(SPROTO_ID_SID, 9).sec64(SPROTO_ID_EVT_COUNT, 1);
      b = Entry(b, 0, 1, static_cast<uint8_t>(ts.first), static_cast<uint8_t>(ts.second), "/f");
      FaultChannel in;
      in.Feed(b);
      std::list<PullEntry> events;
      uint64_t to_id = 0;
      EXPECT_EQ(ProtoReadEvents(in, to_id, events, layout), ERR_PROTO) << ts.first << ts.second;
      EXPECT_TRUE(events.empty());
    }
  }
}

TEST_F(ProtoClientTest, PulledEntriesWithUnsafePathsAreDropped) {
  Bytes b;
  b.sec64(SPROTO_ID_SID, 9).sec64(SPROTO_ID_EVT_COUNT, 8);
  b = Entry(b, 0, 1, 0, 1, "/../etc/passwd");
  b = Entry(b, 1, 2, 0, 1, "relative");
  b = Entry(b, 2, 3, 0, 1, "/a//b");
  b = Entry(b, 3, 4, 0, 1, "/a\\..\\b");
  b = Entry(b, 4, 5, 0, 1, "/ok/./x");
  b = Entry(b, 5, 6, 1, 1, "/fine dir");
  // The root itself: a directory removal of "/" would empty the sync root.
  b = Entry(b, 6, 7, 1, 0, "/");
  b = Entry(b, 7, 8, 1, 1, "/");
  FaultChannel in;
  in.Feed(b);
  std::list<PullEntry> events;
  uint64_t to_id = 0;
  ASSERT_EQ(ProtoReadEvents(in, to_id, events), 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events.front().path, L"/fine dir");
  EXPECT_EQ(to_id, 9u);
}

TEST_F(ProtoClientTest, SafePathRules) {
  EXPECT_TRUE(ProtoIsSafePath(L"/"));
  EXPECT_TRUE(ProtoIsSafePath(L"/a"));
  EXPECT_TRUE(ProtoIsSafePath(L"/a/b.c/..d/\u00e9"));
  EXPECT_FALSE(ProtoIsSafePath(L""));
  EXPECT_FALSE(ProtoIsSafePath(L"a/b"));
  EXPECT_FALSE(ProtoIsSafePath(L"/a/"));
  EXPECT_FALSE(ProtoIsSafePath(L"/a/.."));
  EXPECT_FALSE(ProtoIsSafePath(L"/."));
  EXPECT_FALSE(ProtoIsSafePath(std::wstring(L"/a\0b", 4)));
}

// ---- object requests -----------------------------------------------------------------

TEST_F(ProtoClientTest, NodeRequestMatchesTheDocumentedBytes) {
  FaultChannel io;
  ASSERT_EQ(ProtoWriteUploadRequest(io, L"s1", 7, SFT_DIR, FOP_CREATE, L"/d"), 0);
  EXPECT_EQ(Hex(io.Output()), Hex(Golden("request_upload_create_dir.hex")));
}

TEST_F(ProtoClientTest, NodeOperationCreateReadsTheObjectInfo) {
  const std::string request = Golden("request_upload_create_dir.hex");
  Serve(request.size(), Golden("response_node_create_dir.hex"));
  ObjectInfo info;
  info.macHash = L"mac";
  ASSERT_EQ(ProtoDoNodeOperation(ch, L"s1", 7, SFT_DIR, FOP_CREATE, L"/d", info), 0);
  EXPECT_EQ(Hex(Sent()), Hex(request));
  EXPECT_EQ(info.sync_id, 43u);
  EXPECT_TRUE(info.isDir());
  EXPECT_FALSE(info.isRemoved());
  EXPECT_EQ(info.metadata.mtime, 0x5f5e1000u);
  EXPECT_EQ(info.path, L"/d");
  EXPECT_EQ(info.updator, L"bob");
  EXPECT_EQ(info.metadata.size, 0u);
  EXPECT_TRUE(info.metadata.hash.empty());
  EXPECT_EQ(info.macHash, L"mac");  // not carried, left alone
}

TEST_F(ProtoClientTest, NodeRemovalAnsweredOkReadsNothingAfterTheResult) {
  FaultChannel io;
  io.Feed(Ok(SCMD_EVT_RECV) + "next message");
  ObjectInfo info;
  EXPECT_EQ(ProtoDoNodeOperation(io, L"s", 1, SFT_FILE, FOP_DEL, L"/f", info), 0);
  EXPECT_EQ(io.Unconsumed(), 12u);
}

TEST_F(ProtoClientTest, NodeConflictIsReportedWithThePath) {
  sftest::LogCapture log({L"proto_client_debug"});
  FaultChannel io;
  io.Feed(Refused(SCMD_EVT_RECV, SPROTO_RES_CONFLICT));
  ObjectInfo info;
  EXPECT_EQ(ProtoDoNodeOperation(io, L"s", 1, SFT_FILE, FOP_CREATE, L"/x.txt", info), ERR_CONFLICT);
  EXPECT_TRUE(log.Contains("DoNodeOperation: Conflict on /x.txt."));
}

TEST_F(ProtoClientTest, ObjectInfoOfAFileAndOfADirectory) {
  FaultChannel io;
  io.Feed(Golden("object_info_file.hex"));
  ObjectInfo f;
  ASSERT_EQ(ProtoReadObjectInfo(io, f), 0);
  EXPECT_TRUE(f.isFile());
  EXPECT_EQ(f.metadata.size, 12345u);
  EXPECT_EQ(f.metadata.mtime, 100u);
  EXPECT_TRUE(f.metadata.hash.empty());
  EXPECT_EQ(f.updator, L"u");
  // The server-side writer produces the same bytes.
  FaultChannel out;
  ASSERT_EQ(ProtoWriteObjectInfo(out, f), 0);
  ASSERT_EQ(out.FlushWrite(0), 0);
  EXPECT_EQ(Hex(out.Output()), Hex(Golden("object_info_file.hex")));

  // A directory ends after the updater; what follows belongs to the next message.
  const std::string dir = Golden("response_node_create_dir.hex").substr(10);
  FaultChannel io2;
  io2.Feed(dir + Bytes().sec64(SPROTO_ID_FILESIZE, 1).str());
  ObjectInfo d;
  d.metadata.size = 5;
  d.metadata.hash = L"h";
  ASSERT_EQ(ProtoReadObjectInfo(io2, d), 0);
  EXPECT_EQ(d.metadata.size, 0u);
  EXPECT_TRUE(d.metadata.hash.empty());
  EXPECT_EQ(io2.Unconsumed(), 9u);
}

TEST_F(ProtoClientTest, TruncatedObjectInfoLeavesTheRecordUntouched) {
  const std::string full = Golden("object_info_file.hex");
  for (size_t cut = 0; cut < full.size(); ++cut) {
    FaultChannel io;
    io.Feed(full.substr(0, cut));
    ObjectInfo info;
    info.path = L"/keep";
    EXPECT_LT(ProtoReadObjectInfo(io, info), 0) << cut;
    EXPECT_EQ(info.path, L"/keep") << cut;
    EXPECT_EQ(info.sync_id, 0u) << cut;
  }
}

// ---- one-shot helpers ------------------------------------------------------------------

AuthInfo Auth(int port) {
  AuthInfo a;
  std::strcpy(a.ip, "127.0.0.1");
  a.port = port;
  a.session = L"s1";
  return a;
}

TEST_F(ProtoClientTest, OneShotPullReturnsEntriesAndClosesTheConnection) {
  ScriptedPeer p;
  const std::string request = Golden("request_pull_events.hex");
  p.Expect(request.size()).Send(Golden("response_pull_two_events.hex")).Start();
  uint64_t to_id = 0;
  std::list<PullEntry> events;
  ASSERT_EQ(SFAPIPullEvent(Auth(p.port()), 5, to_id, events), 0);
  EXPECT_EQ(to_id, 100u);
  EXPECT_EQ(events.size(), 2u);
  EXPECT_TRUE(sftest::WaitFor([&] { return p.PeerClosed(); }));
  EXPECT_EQ(Hex(p.Received()), Hex(request));
}

TEST_F(ProtoClientTest, OneShotPullWithBrokenEntriesEmptiesTheWholeList) {
  Bytes b;
  b.header(3, SCMD_EVT_PULL)
      .sec8(SPROTO_ID_RES, 1)
      .sec64(SPROTO_ID_SID, 9)
      .sec64(SPROTO_ID_EVT_COUNT, 3);
  b = Entry(b, 0, 1, 0, 1, "/a");
  b = Entry(b, 1, 2, 0, 1, "/b");
  b = Entry(b, 3, 3, 0, 1, "/c");
  ScriptedPeer p;
  p.Expect(Golden("request_pull_events.hex").size()).Send(b).Start();
  std::list<PullEntry> events(1);
  uint64_t to_id = 0;
  EXPECT_EQ(SFAPIPullEvent(Auth(p.port()), 5, to_id, events), ERR_PROTO);
  EXPECT_TRUE(events.empty());
}

TEST_F(ProtoClientTest, OneShotHelpersWithoutAnAddressFailWithIoError) {
  AuthInfo none;
  none.session = L"s";
  uint64_t to_id = 0;
  std::list<PullEntry> events;
  ObjectInfo info;
  EXPECT_EQ(SFAPIPullEvent(none, 0, to_id, events), ERR_IO);
  EXPECT_EQ(SFAPIRemoveFile(none, 0, L"/f", info), ERR_IO);
  EXPECT_EQ(SFAPIRemoveDirectory(none, 0, L"/d", info), ERR_IO);
  EXPECT_EQ(SFAPICreateDirectory(none, 0, L"/d", info), ERR_IO);
}

TEST_F(ProtoClientTest, OneShotNodeOperationsSendTheirTypeAndOperation) {
  struct Case {
    int (*fn)(const AuthInfo&, uint64_t, const std::wstring&, ObjectInfo&);
    uint8_t type, op;
    std::string answer;
  } cases[] = {{SFAPIRemoveFile, SFT_FILE, FOP_DEL, Ok(SCMD_EVT_RECV)},
               {SFAPIRemoveDirectory, SFT_DIR, FOP_DEL, Ok(SCMD_EVT_RECV)},
               {SFAPICreateDirectory, SFT_DIR, FOP_CREATE, Golden("response_node_create_dir.hex")}};
  for (const auto& c : cases) {
    const std::string request = Bytes()
                                    .header(3, SCMD_EVT_RECV)
                                    .secstr(SPROTO_ID_SESSION, "s1")
                                    .sec64(SPROTO_ID_SID, 7)
                                    .sec8(SPROTO_ID_FILETYPE, c.type)
                                    .sec8(SPROTO_ID_FILEOP, c.op)
                                    .secstr(SPROTO_ID_PATH, "/d");
    ScriptedPeer p;
    p.Expect(request.size()).Send(c.answer).Start();
    ObjectInfo info;
    EXPECT_EQ(c.fn(Auth(p.port()), 7, L"/d", info), 0);
    EXPECT_EQ(Hex(p.Received()), Hex(request));
    if (c.op == FOP_CREATE) {
      EXPECT_EQ(info.sync_id, 43u);
    }
  }
}

}  // namespace
