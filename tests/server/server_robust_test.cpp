// Hostile and broken clients: malformed, truncated and oversized requests,
// path escapes, connections cut mid-payload, too many connections, and the
// scripted faults. The server must end only the offending connection and
// keep the share and its metadata consistent.
#include <dirent.h>
#include <gtest/gtest.h>

#include <thread>

#include "lib/base/errors.h"
#include "server-fixture.h"

namespace sftest {
namespace {

const char* kHello = "866437cb7a794bce2b727acc0362ee27";

class ServerRobustTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    Start();
  }
  // A fresh connection still gets a proper answer.
  void ExpectServing() {
    RawConn c(server->port());
    ASSERT_TRUE(c.ok());
    std::string ok = Golden("response_connect_ok.hex");
    ASSERT_TRUE(c.Send(Golden("request_connect.hex")));
    EXPECT_EQ(Hex(c.Recv(ok.size())), Hex(ok));
  }
  // Files in this server's work area besides its owner lock.
  int StagedLeft() {
    std::string work = store().statePath() + "/work";
    int n = 0;
    DIR* d = opendir(work.c_str());
    while (struct dirent* e = d ? readdir(d) : nullptr) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      DIR* inner = opendir((work + "/" + name).c_str());
      while (struct dirent* f = inner ? readdir(inner) : nullptr) {
        std::string fn = f->d_name;
        if (fn != "." && fn != ".." && fn != "owner.lock") ++n;
      }
      if (inner) closedir(inner);
    }
    if (d) closedir(d);
    return n;
  }
  static Bytes Upload(const std::string& path, uint64_t base, uint64_t size,
                      const std::string& hash, uint8_t delta = 0) {
    Bytes b;
    b.header(3, SCMD_EVT_RECV_2).secstr(SPROTO_ID_SESSION, "s1").sec32(SPROTO_ID_META_BLOCK, 0);
    b.sec64(SPROTO_ID_SID, base).secstr(SPROTO_ID_PATH, path).sec8(SPROTO_ID_FILETYPE, SFT_FILE);
    b.sec32(SPROTO_ID_SYNC_BLOCK, 3).sec32(SPROTO_ID_DATA_BLOCK, 3);
    b.sec32(SPROTO_ID_FILETIME, kGoldenTime).sec8(SPROTO_ID_DELTATYPE, delta);
    b.sec64(SPROTO_ID_FILESIZE, size).secstr(SPROTO_ID_FILEHASH, hash);
    return b;
  }
  static Bytes Payload(const std::string& data, uint64_t announced, uint8_t type = 0) {
    Bytes b;
    b.sec8(SPROTO_ID_DELTATYPE, type).sec64(SPROTO_ID_DELTALEN, announced);
    if (!data.empty()) b.sec32(SPROTO_ID_DELTAID, 0).secvar(SPROTO_ID_DELTADATA, data);
    return b;
  }
  static std::string Result(uint8_t cmd, uint8_t code, bool alive = true) {
    Bytes b;
    b.header(3, cmd).sec8(SPROTO_ID_RES, code);
    if (alive) b.sec32(SPROTO_ID_ALIVE, 60);
    return b;
  }
};

TEST_F(ServerRobustTest, GarbageAndTruncatedRequestsEndOnlyTheirConnection) {
  RawConn garbage(server->port());
  ASSERT_TRUE(garbage.Send("GET / HTTP/1.0\r\n\r\n"));
  EXPECT_TRUE(garbage.WaitClosed());

  RawConn truncated(server->port());
  Bytes half;
  half.header(3, SCMD_EVT_PULL).u8(SPROTO_ID_SESSION).u16(40).raw("only part");
  ASSERT_TRUE(truncated.Send(half));
  truncated.CloseNow();

  RawConn wrong_id(server->port());
  Bytes w;
  w.header(3, SCMD_EVT_PULL).sec64(SPROTO_ID_SID, 1);  // session expected first
  ASSERT_TRUE(wrong_id.Send(w));
  EXPECT_TRUE(wrong_id.WaitClosed());

  RawConn unknown(server->port());
  Bytes u;
  u.header(3, SCMD_LOGOUT);
  ASSERT_TRUE(unknown.Send(u));
  EXPECT_EQ(Hex(unknown.Recv(10)), Hex(Result(SCMD_LOGOUT, SPROTO_RES_INVALID, false)));
  EXPECT_TRUE(unknown.WaitClosed());

  ExpectServing();
  EXPECT_TRUE(WaitFor([&] { return server->ActiveConnections() == 0; }));
}

TEST_F(ServerRobustTest, OversizedLengthsAreRefusedBeforeAnythingIsRead) {
  RawConn big_string(server->port());
  Bytes s;
  s.header(3, SCMD_REQUEST_CONNECT).u8(SPROTO_ID_SESSION).u16(65535);
  ASSERT_TRUE(big_string.Send(s));
  EXPECT_TRUE(big_string.WaitClosed());

  // A payload announced far beyond the announced file size.
  RawConn big_payload(server->port());
  ASSERT_TRUE(big_payload.Send(Upload("/big", 0, 5, kHello)));
  EXPECT_EQ(Hex(big_payload.Recv(5)), Hex(Golden("upload_ack_file.hex")));
  ASSERT_TRUE(big_payload.Send(Payload("hello", 1ull << 40)));
  EXPECT_TRUE(big_payload.WaitClosed());
  EXPECT_FALSE(PathExists(Share() + "/big"));
  EXPECT_EQ(StagedLeft(), 0);
  ExpectServing();
}

TEST_F(ServerRobustTest, PayloadBlocksOutOfOrderEmptyOrPastTheEndBreakTheConnection) {
  struct Case {
    const char* name;
    Bytes payload;
  };
  Bytes skipped, empty, past;
  skipped.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, 5);
  skipped.sec32(SPROTO_ID_DELTAID, 1).secvar(SPROTO_ID_DELTADATA, "hello");
  empty.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, 5);
  empty.sec32(SPROTO_ID_DELTAID, 0).secvar(SPROTO_ID_DELTADATA, "");
  past.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, 3);
  past.sec32(SPROTO_ID_DELTAID, 0).secvar(SPROTO_ID_DELTADATA, "hello");
  for (const Case& k : {Case{"skipped", skipped}, Case{"empty", empty}, Case{"past", past}}) {
    RawConn c(server->port());
    ASSERT_TRUE(c.Send(Upload("/f", 0, 5, kHello)));
    ASSERT_EQ(c.Recv(5).size(), 5u) << k.name;
    ASSERT_TRUE(c.Send(k.payload));
    EXPECT_TRUE(c.WaitClosed()) << k.name;
  }
  EXPECT_FALSE(PathExists(Share() + "/f"));
  EXPECT_EQ(store().LastSyncId(), 0u);
  ExpectServing();
}

TEST_F(ServerRobustTest, AConnectionCutMidUploadLeavesNoTraceInTheShare) {
  ASSERT_EQ(HookPutBytes(store(), "/f", "old", kGoldenTime), 0);
  uint64_t id = store().LastSyncId();
  std::string data(20000, 'z');
  RawConn c(server->port());
  ASSERT_TRUE(c.Send(Upload("/f", id, data.size(), "0123456789abcdef0123456789abcdef")));
  ASSERT_EQ(Hex(c.Recv(5)), Hex(Golden("upload_ack_file.hex")));
  Bytes part;
  part.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, data.size());
  part.sec32(SPROTO_ID_DELTAID, 0).secvar(SPROTO_ID_DELTADATA, data.substr(0, 8192));
  part.sec32(SPROTO_ID_DELTAID, 1).u8(SPROTO_ID_DELTADATA).u16(8192).raw(data.substr(0, 100));
  ASSERT_TRUE(c.Send(part));
  c.CloseNow();
  ASSERT_TRUE(WaitFor([&] { return server->ActiveConnections() == 0; }));
  EXPECT_EQ(OnDisk("/f"), "old");
  EXPECT_EQ(Row("/f").sync_id, id);
  EXPECT_EQ(store().LastSyncId(), id);
  EXPECT_EQ(StagedLeft(), 0);
}

TEST_F(ServerRobustTest, ContentThatDoesNotMatchItsAnnouncementIsRefused) {
  RawConn c(server->port());
  ASSERT_TRUE(c.Send(Upload("/f", 0, 5, kHello)));
  ASSERT_EQ(c.Recv(5).size(), 5u);
  ASSERT_TRUE(c.Send(Payload("jello", 5)));
  std::string want = Result(SCMD_EVT_RECV_2, SPROTO_RES_ERR);
  EXPECT_EQ(Hex(c.Recv(want.size())), Hex(want));
  EXPECT_FALSE(PathExists(Share() + "/f"));
  // A payload whose type contradicts the request is refused the same way.
  ASSERT_TRUE(c.Send(Upload("/f", 0, 5, kHello)));
  ASSERT_EQ(c.Recv(5).size(), 5u);
  ASSERT_TRUE(c.Send(Payload("hello", 5, 1)));
  EXPECT_EQ(Hex(c.Recv(want.size())), Hex(want));
  EXPECT_FALSE(PathExists(Share() + "/f"));
  EXPECT_EQ(StagedLeft(), 0);
}

TEST_F(ServerRobustTest, PathEscapesAreRefusedInEveryRequestAndNothingLeavesTheShare) {
  ASSERT_EQ(symlink(root.path().c_str(), (Share() + "/link").c_str()), 0);
  const std::string escapes[] = {"/../outside",   "../outside", "/a/../../outside",
                                 "/a/./b",        "",           "/",
                                 "/a\\..\\..\\x", "/a//b",      "outside"};
  RawConn c(server->port());
  for (const std::string& path : escapes) {
    SCOPED_TRACE(path);
    Bytes dl;
    dl.header(3, SCMD_EVT_SEND).secstr(SPROTO_ID_SESSION, "s1").sec64(SPROTO_ID_SID, 0);
    dl.secstr(SPROTO_ID_PATH, path).sec32(SPROTO_ID_SYNC_BLOCK, 3);
    ASSERT_TRUE(c.Send(dl));
    std::string want = Result(SCMD_EVT_SEND, SPROTO_RES_INVALID);
    EXPECT_EQ(Hex(c.Recv(want.size())), Hex(want));

    ASSERT_TRUE(c.Send(Upload(path, 0, 5, kHello)));
    want = Golden("upload_ack_none.hex") + Result(SCMD_EVT_RECV_2, SPROTO_RES_INVALID);
    EXPECT_EQ(Hex(c.Recv(want.size())), Hex(want));

    Bytes rm;
    rm.header(3, SCMD_EVT_REMOVE).secstr(SPROTO_ID_SESSION, "s1").sec64(SPROTO_ID_SID, 99);
    rm.secstr(SPROTO_ID_PATH, path);
    ASSERT_TRUE(c.Send(rm));
    want = Result(SCMD_EVT_REMOVE, SPROTO_RES_INVALID);
    EXPECT_EQ(Hex(c.Recv(want.size())), Hex(want));

    Bytes mk;
    mk.header(3, SCMD_EVT_RECV).secstr(SPROTO_ID_SESSION, "s1").sec64(SPROTO_ID_SID, 0);
    mk.sec8(SPROTO_ID_FILETYPE, SFT_DIR).sec8(SPROTO_ID_FILEOP, FOP_CREATE);
    mk.secstr(SPROTO_ID_PATH, path);
    ASSERT_TRUE(c.Send(mk));
    want = Result(SCMD_EVT_RECV, SPROTO_RES_INVALID, false);
    EXPECT_EQ(Hex(c.Recv(want.size())), Hex(want));
  }
  // Through the planted link: the parent is not a directory of the share.
  ASSERT_TRUE(c.Send(Upload("/link/evil", 0, 5, kHello)));
  ASSERT_EQ(c.Recv(5).size(), 5u);
  ASSERT_TRUE(c.Send(Payload("hello", 5)));
  std::string want = Result(SCMD_EVT_RECV_2, SPROTO_RES_WAIT);
  EXPECT_EQ(Hex(c.Recv(want.size())), Hex(want));
  EXPECT_FALSE(PathExists(root.Sub("evil")));
  EXPECT_FALSE(PathExists(root.Sub("outside")));
  EXPECT_EQ(store().LastSyncId(), 0u);
}

TEST_F(ServerRobustTest, ConnectionsOverTheCapAreClosedAndLaterOnesServed) {
  server->Stop();
  server.reset();
  opt.max_connections = 2;
  Start();
  RawConn a(server->port()), b(server->port());
  std::string ok = Golden("response_connect_ok.hex");
  for (RawConn* c : {&a, &b}) {
    ASSERT_TRUE(c->Send(Golden("request_connect.hex")));
    ASSERT_EQ(Hex(c->Recv(ok.size())), Hex(ok));
  }
  RawConn over(server->port());
  EXPECT_TRUE(over.WaitClosed());
  EXPECT_EQ(server->RefusedConnections(), 1u);
  a.CloseNow();
  ASSERT_TRUE(WaitFor([&] { return server->ActiveConnections() < 2; }));
  ExpectServing();
}

TEST_F(ServerRobustTest, ScriptedFaultsShapeTheAnswers) {
  ASSERT_EQ(HookPutBytes(store(), "/f", std::string(30000, 'q'), kGoldenTime), 0);
  FaultPlan f;
  f.result_for_path["/f"] = SPROTO_RES_KELVODISABLED;
  server->SetFaults(f);
  RawConn c(server->port());
  Bytes dl;
  dl.header(3, SCMD_EVT_SEND).secstr(SPROTO_ID_SESSION, "s1").sec64(SPROTO_ID_SID, 0);
  dl.secstr(SPROTO_ID_PATH, "/f").sec32(SPROTO_ID_SYNC_BLOCK, 3);
  ASSERT_TRUE(c.Send(dl));
  std::string want = Result(SCMD_EVT_SEND, SPROTO_RES_KELVODISABLED);
  EXPECT_EQ(Hex(c.Recv(want.size())), Hex(want));

  // A cut after 10000 payload bytes: exactly that much content, then EOF.
  f = FaultPlan();
  f.cut_after_payload = 10000;
  server->SetFaults(f);
  RawConn cut(server->port());
  ASSERT_TRUE(cut.Send(dl));
  std::string got = cut.Recv(1 << 20, std::chrono::seconds(20));
  EXPECT_TRUE(cut.WaitClosed());
  size_t q = 0;
  for (char ch : got) q += ch == 'q' ? 1 : 0;
  EXPECT_EQ(q, 10000u);

  // Keep-alive 0: granted, and the connection ends after the answer.
  f = FaultPlan();
  f.alive_zero = true;
  server->SetFaults(f);
  RawConn zero(server->port());
  ASSERT_TRUE(zero.Send(Golden("request_connect.hex")));
  Bytes z;
  z.header(3, SCMD_REQUEST_CONNECT).sec8(SPROTO_ID_RES, SPROTO_RES_OK).sec32(SPROTO_ID_ALIVE, 0);
  EXPECT_EQ(Hex(zero.Recv(z.str().size())), Hex(z));
  EXPECT_TRUE(zero.WaitClosed());
}

TEST_F(ServerRobustTest, StopEndsConnectionsWaitingMidRequestOrInADelay) {
  FaultPlan f;
  f.delay_ms = 600000;
  server->SetFaults(f);
  RawConn idle(server->port()), half(server->port()), delayed(server->port());
  ASSERT_TRUE(half.Send(Bytes().header(3, SCMD_EVT_PULL).u8(SPROTO_ID_SESSION)));
  ASSERT_TRUE(delayed.Send(Golden("request_connect.hex")));
  ASSERT_TRUE(WaitFor([&] { return server->ActiveConnections() == 3; }));
  server->Stop();
  EXPECT_EQ(server->ActiveConnections(), 0u);
  EXPECT_TRUE(idle.WaitClosed());
  EXPECT_TRUE(delayed.WaitClosed());
}

TEST_F(ServerRobustTest, ManyClientsUploadAtOnce) {
  constexpr int kClients = 8;
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      RawConn c(server->port());
      std::string path = "/c" + std::to_string(i) + "/hello";
      if (!c.Send(Upload(path, 0, 5, kHello))) return;
      if (c.Recv(5) != Golden("upload_ack_file.hex")) return;
      if (!c.Send(Payload("hello", 5))) return;
      std::string head = c.Recv(10);
      if (head.size() == 10 && head[9] == static_cast<char>(SPROTO_RES_OK)) ++ok;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kClients);
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(OnDisk("/c" + std::to_string(i) + "/hello"), "hello");
  }
  EXPECT_EQ(store().LastSyncId(), 2u * kClients);
}

}  // namespace
}  // namespace sftest
