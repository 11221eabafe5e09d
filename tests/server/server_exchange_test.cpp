// Full exchanges over loopback between the server and a client built from the
// shared framing and the delta engine: pulls, whole and delta transfers in
// both directions, conflicts, waits, missing objects and removals.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <random>

#include "rsapi/rs-api.h"
#include "server-fixture.h"
#include "worker-driver.h"

namespace sftest {
namespace {

using sftest::W;

std::string Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

std::wstring Md4(const std::string& file) {
  std::wstring h;
  EXPECT_EQ(RSCalcMD4Text(W(file), h), 0);
  return h;
}

class ServerExchangeTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    opt.max_pull_entries = 8;
    Start();
    ASSERT_EQ(ch.Open("127.0.0.1", server->port(), false), 0);
    // Requests go out in two flushes (the basic request, then the rest);
    // without this each exchange waits for the server's delayed ACK.
    int one = 1;
    setsockopt(ch.GetFd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    mkdir(Local("").c_str(), 0755);
  }
  std::string Local(const std::string& name) const { return root.Sub("client/" + name); }

  // Uploads the local file `name` as `path` over the client's base, whole
  // or as a delta against the signature `sig` of the base content.
  driver::UploadAnswer UploadFile(const std::string& name, const std::string& path, uint64_t base,
                                  const std::string& sig = "", bool v4 = true) {
    driver::UploadArgs u;
    u.v4 = v4;
    u.base = base;
    u.path = W(path);
    u.mtime = kGoldenTime;
    u.size = ReadFile(Local(name)).size();
    u.hash = Md4(Local(name));
    u.payload = Local(name);
    if (!sig.empty()) {
      EXPECT_EQ(RSCalcDelta(W(sig), W(Local(name)), W(Local(name + ".delta"))), 0);
      u.delta = true;
      u.payload = Local(name + ".delta");
    }
    driver::UploadAnswer a;
    EXPECT_EQ(driver::Upload(ch, u, a), 0);
    return a;
  }
  driver::DownloadAnswer Get(const std::string& path, uint64_t base) {
    driver::DownloadAnswer a;
    EXPECT_EQ(driver::Download(ch, L"s1", base, W(path), Local("payload"), a), 0);
    return a;
  }
  int Remove(const std::string& path, uint64_t base) {
    int result = 0;
    uint32_t alive = 0;
    EXPECT_EQ(driver::Remove(ch, L"s1", base, W(path), result, alive), 0);
    EXPECT_EQ(alive, 60u);
    return result;
  }
  driver::PullAnswer Pull(uint64_t base, const std::wstring& session = L"s1") {
    driver::PullAnswer a;
    EXPECT_EQ(driver::Pull(ch, session, base, a), 0);
    return a;
  }

  Channel ch;
};

TEST_F(ServerExchangeTest, PullReportsEachKindOfEntryAndPagesFromTheNewestId) {
  ASSERT_EQ(HookMkdir(store(), "/dir", kGoldenTime), 0);
  ASSERT_EQ(HookPutBytes(store(), "/dir/file", "content", kGoldenTime), 0);
  ASSERT_EQ(HookPutBytes(store(), "/gone", "x", kGoldenTime), 0);
  ASSERT_EQ(HookRemove(store(), "/gone"), 0);
  ASSERT_EQ(HookPutBytes(store(), "/empty", "", kGoldenTime), 0);

  driver::PullAnswer a = Pull(0);
  ASSERT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(a.to_id, 5u);
  EXPECT_EQ(a.alive, 60u);
  ASSERT_EQ(a.entries.size(), 4u);
  EXPECT_EQ(a.entries[0].path, L"/dir");
  EXPECT_EQ(a.entries[0].type, SFT_DIR);
  EXPECT_EQ(a.entries[1].path, L"/dir/file");
  EXPECT_EQ(a.entries[1].size, 7u);
  EXPECT_EQ(a.entries[1].hash, Md4(Share() + "/dir/file"));
  EXPECT_EQ(a.entries[2].path, L"/gone");
  EXPECT_EQ(a.entries[2].status, FS_DEL);
  EXPECT_EQ(a.entries[2].hash, L"");
  EXPECT_EQ(a.entries[3].hash, L"31d6cfe0d16ae931b73c59d7e0c089c0");

  a = Pull(5);
  EXPECT_TRUE(a.entries.empty());
  EXPECT_EQ(a.to_id, 5u);

  // More than one answer's worth: the client follows the newest id.
  const size_t page = opt.max_pull_entries;
  for (size_t i = 0; i < page + 5; ++i) {
    ASSERT_EQ(HookMkdir(store(), "/many/d" + std::to_string(i), kGoldenTime), 0);
  }
  a = Pull(5);
  EXPECT_EQ(a.entries.size(), page);
  EXPECT_EQ(a.to_id, a.entries.back().sync_id);
  a = Pull(a.to_id);
  EXPECT_EQ(a.entries.size(), 6u);
  EXPECT_EQ(a.to_id, store().LastSyncId());

  EXPECT_EQ(Pull(0, L"stranger").result, SPROTO_RES_SESSIONERR);
}

TEST_F(ServerExchangeTest, WholeThenDeltaUploadLeavesTheClientsContentOnTheServer) {
  std::string v1 = Random(60000, 1);
  WriteFile(Local("f"), v1);
  driver::UploadAnswer a = UploadFile("f", "/docs/f", 0);
  ASSERT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(a.ack, driver::kFile);
  EXPECT_EQ(a.mtime, kGoldenTime);
  EXPECT_EQ(OnDisk("/docs/f"), v1);
  uint64_t id1 = a.obj.sync_id;
  EXPECT_EQ(a.obj.path, L"/docs/f");
  EXPECT_EQ(Row("/docs").isDir(), true);

  // The client keeps the signature of what it uploaded and sends a delta.
  ASSERT_EQ(RSCalcSign(W(Local("f")), W(Local("f.sig"))), 0);
  std::string v2 = v1.substr(0, 30000) + "an edit in the middle" + v1.substr(30010);
  WriteFile(Local("f"), v2);
  a = UploadFile("f", "/docs/f", id1, Local("f.sig"));
  ASSERT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_LT(ReadFile(Local("f.delta")).size(), 10000u);
  EXPECT_GT(a.obj.sync_id, id1);
  EXPECT_EQ(OnDisk("/docs/f"), v2);
  EXPECT_EQ(Row("/docs/f").hash, WideToUtf8Lossy(Md4(Local("f"))));

  uint64_t id2 = a.obj.sync_id;

  // The same content from a client whose record is of an older version: no
  // conflict and no new id, but the block is taken, as only then does that
  // client record the size and checksum of its file instead of its old ones.
  a = UploadFile("f", "/docs/f", id1, Local("f.sig"));
  EXPECT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(a.ack, driver::kFile);
  EXPECT_EQ(a.obj.sync_id, id2);
  // From a client whose record is the current version nothing more is needed.
  a = UploadFile("f", "/docs/f", id2);
  EXPECT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(a.ack, 0u);
  EXPECT_EQ(a.obj.sync_id, id2);

  // A delta against a version the server no longer has as current: conflict.
  WriteFile(Local("f"), v2 + "more");
  a = UploadFile("f", "/docs/f", id1, Local("f.sig"));
  EXPECT_EQ(a.result, SPROTO_RES_CONFLICT);
  EXPECT_EQ(a.ack, 0u);
  EXPECT_EQ(OnDisk("/docs/f"), v2);
}

TEST_F(ServerExchangeTest, ADeltaWithoutABaseAsksForTheWholeFileNextTime) {
  WriteFile(Local("basis"), "basis");
  ASSERT_EQ(RSCalcSign(W(Local("basis")), W(Local("basis.sig"))), 0);
  WriteFile(Local("f"), "basis and more");
  driver::UploadAnswer a = UploadFile("f", "/new", 0, Local("basis.sig"));
  EXPECT_EQ(a.result, SPROTO_RES_ERR);
  EXPECT_EQ(a.ack, 0u);
  a = UploadFile("f", "/new", 0);
  EXPECT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(OnDisk("/new"), "basis and more");
}

TEST_F(ServerExchangeTest, ProtocolThreeUploadStoresTheFile) {
  WriteFile(Local("f"), Random(9000, 2));
  driver::UploadAnswer a = UploadFile("f", "/p3", 0, "", false);
  ASSERT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(OnDisk("/p3"), ReadFile(Local("f")));
  EXPECT_EQ(Row("/p3").updater, "alice");
}

TEST_F(ServerExchangeTest, WholeThenDeltaDownloadRebuildsTheServersContent) {
  std::string v1 = Random(50000, 3);
  ObjectRow r1, r2;
  ASSERT_EQ(HookPutBytes(store(), "/f", v1, kGoldenTime, "bob", &r1), 0);
  driver::DownloadAnswer a = Get("/f", 0);
  ASSERT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(a.payload_type, 0);
  EXPECT_EQ(a.blocks, driver::kFile | driver::kCommon);
  EXPECT_EQ(a.obj.sync_id, r1.sync_id);
  EXPECT_EQ(a.mtime, kGoldenTime);
  EXPECT_EQ(ReadFile(Local("payload")), v1);
  WriteFile(Local("f"), v1);

  std::string v2 = "prefix " + v1.substr(0, 20000) + v1.substr(20500);
  ASSERT_EQ(HookPutBytes(store(), "/f", v2, kGoldenTime + 1, "bob", &r2), 0);
  a = Get("/f", r1.sync_id);
  ASSERT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(a.payload_type, 1);
  EXPECT_LT(ReadFile(Local("payload")).size(), 10000u);
  ASSERT_EQ(RSPatchFile(W(Local("f")), W(Local("payload")), W(Local("patched"))), 0);
  EXPECT_EQ(ReadFile(Local("patched")), v2);
  EXPECT_EQ(a.hash, Md4(Local("patched")));
  EXPECT_EQ(a.size, v2.size());

  EXPECT_EQ(Get("/f", r2.sync_id).result, SPROTO_RES_UPTODATE);
}

TEST_F(ServerExchangeTest, AVersionNoLongerKeptIsSentWhole) {
  server->Stop();
  opt.versions_kept = 2;
  Start();
  ASSERT_EQ(ch.Open("127.0.0.1", server->port(), false), 0);
  std::string base = Random(40000, 4);
  ObjectRow r1;
  ASSERT_EQ(HookPutBytes(store(), "/f", base, kGoldenTime, "bob", &r1), 0);
  ASSERT_EQ(HookPutBytes(store(), "/f", base + "1", kGoldenTime, "bob"), 0);
  ASSERT_EQ(HookPutBytes(store(), "/f", base + "12", kGoldenTime, "bob"), 0);
  driver::DownloadAnswer a = Get("/f", r1.sync_id);
  ASSERT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(a.payload_type, 0);
  EXPECT_EQ(ReadFile(Local("payload")), base + "12");
}

TEST_F(ServerExchangeTest, DirectoriesTravelWithoutAFileBlock) {
  driver::UploadArgs u;
  u.path = L"/a/b";
  u.type = SFT_DIR;
  u.mtime = 1234;
  u.with_file = false;
  driver::UploadAnswer up;
  ASSERT_EQ(driver::Upload(ch, u, up), 0);
  ASSERT_EQ(up.result, SPROTO_RES_OK);
  EXPECT_EQ(up.ack, 0u);
  EXPECT_TRUE(Row("/a/b").isDir());
  EXPECT_TRUE(Row("/a").isDir());
  EXPECT_LT(Row("/a").sync_id, up.obj.sync_id);

  driver::DownloadAnswer a = Get("/a/b", 0);
  ASSERT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(a.type, SFT_DIR);
  EXPECT_EQ(a.blocks, driver::kCommon);
  EXPECT_EQ(a.mtime, 1234u);
}

TEST_F(ServerExchangeTest, ConflictsWaitsAndMissingObjects) {
  ObjectRow r;
  ASSERT_EQ(HookPutBytes(store(), "/f", "server v1", kGoldenTime, "bob", &r), 0);
  ASSERT_EQ(HookPutBytes(store(), "/f", "server v2", kGoldenTime, "bob"), 0);
  WriteFile(Local("f"), "client edit");
  driver::UploadAnswer up = UploadFile("f", "/f", r.sync_id);
  EXPECT_EQ(up.result, SPROTO_RES_CONFLICT);
  EXPECT_EQ(OnDisk("/f"), "server v2");

  // Removing what the client last saw, when the server has moved on: wait.
  EXPECT_EQ(Remove("/f", r.sync_id), SPROTO_RES_WAIT);
  EXPECT_EQ(OnDisk("/f"), "server v2");

  EXPECT_EQ(Get("/nothing", 0).result, SPROTO_RES_NOENT);
  EXPECT_EQ(Remove("/nothing", 3), SPROTO_RES_NOENT);
  ASSERT_EQ(HookRemove(store(), "/f"), 0);
  EXPECT_EQ(Get("/f", r.sync_id).result, SPROTO_RES_NOENT);
  EXPECT_EQ(Remove("/f", 100), SPROTO_RES_NOENT);
}

TEST_F(ServerExchangeTest, AnEditUploadedAfterAServerRemovalIsKept) {
  ObjectRow r;
  ASSERT_EQ(HookPutBytes(store(), "/f", "original", kGoldenTime, "bob", &r), 0);
  ASSERT_EQ(HookRemove(store(), "/f"), 0);
  WriteFile(Local("f"), "edited while it was removed");
  driver::UploadAnswer a = UploadFile("f", "/f", r.sync_id);
  ASSERT_EQ(a.result, SPROTO_RES_OK);
  EXPECT_EQ(OnDisk("/f"), "edited while it was removed");
  EXPECT_TRUE(Row("/f").exist);
}

TEST_F(ServerExchangeTest, RemovalsOfFilesAndThenTheirDirectory) {
  ObjectRow d, a, b;
  ASSERT_EQ(HookMkdir(store(), "/d", kGoldenTime, "bob", &d), 0);
  ASSERT_EQ(HookPutBytes(store(), "/d/a", "a", kGoldenTime, "bob", &a), 0);
  ASSERT_EQ(HookPutBytes(store(), "/d/b", "b", kGoldenTime, "bob", &b), 0);
  EXPECT_EQ(Remove("/d", d.sync_id), SPROTO_RES_WAIT);
  EXPECT_EQ(Remove("/d/a", a.sync_id), SPROTO_RES_OK);
  EXPECT_EQ(Remove("/d/b", b.sync_id), SPROTO_RES_OK);
  EXPECT_EQ(Remove("/d", d.sync_id), SPROTO_RES_OK);
  EXPECT_FALSE(PathExists(Share() + "/d"));

  driver::PullAnswer p = Pull(b.sync_id);
  ASSERT_EQ(p.entries.size(), 3u);
  for (const auto& e : p.entries) EXPECT_EQ(e.status, FS_DEL);
  EXPECT_EQ(p.entries.back().path, L"/d");
  EXPECT_EQ(Row("/d/a").updater, "alice");

  // A client that has seen the whole tree removes it in one request.
  ObjectRow t;
  ASSERT_EQ(HookPutBytes(store(), "/t/x/y", "y", kGoldenTime, "bob", &t), 0);
  EXPECT_EQ(Remove("/t", t.sync_id), SPROTO_RES_OK);
  EXPECT_FALSE(PathExists(Share() + "/t"));
  EXPECT_FALSE(Row("/t/x/y").exist);
}

TEST_F(ServerExchangeTest, OneChannelCarriesManyExchanges) {
  WriteFile(Local("f"), "x");
  for (int i = 0; i < 20; ++i) {
    driver::UploadAnswer a = UploadFile("f", "/f" + std::to_string(i), 0);
    ASSERT_EQ(a.result, SPROTO_RES_OK) << i;
    ASSERT_EQ(Get("/f" + std::to_string(i), 0).result, SPROTO_RES_OK);
  }
  EXPECT_EQ(Pull(12).to_id, 20u);
  EXPECT_EQ(server->AcceptedConnections(), 1u);
}

}  // namespace
}  // namespace sftest
