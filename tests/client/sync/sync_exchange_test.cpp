// The whole engine in process (task manager with the daemon's syncer and
// workers, the detector, the real databases) against the reference server on
// loopback, for protocol 4 and protocol 3: what a user sees in the sync root
// after changes on the server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "client/core/ui-sink.h"
#include "client/local/detector.h"
#include "client/local/worker-filter.h"
#include "client/store/file-status-db.h"
#include "client/store/sign-mgr.h"
#include "client/sync/syncer.h"
#include "client/sync/task-factory.h"
#include "fakes/local-state-fixture.h"
#include "fakes/test-util.h"
#include "lib/fs/file-ops.h"
#include "lib/fs/temp-file.h"
#include "lib/proto/proto-common.h"
#include "server/server-hooks.h"
#include "server/sync-server.h"

namespace {

using sftest::PathExists;
using sftest::ReadFile;
using sftest::W;
using sftest::WaitFor;
using sftest::WriteFile;
using namespace std::chrono_literals;

class RecordingUi : public UiSink {
 public:
  int WriteEvent(int32_t v) override {
    std::lock_guard<std::mutex> g(m);
    values.push_back(v);
    return 0;
  }
  int WriteFileEvent(const Event& e) override {
    std::lock_guard<std::mutex> g(m);
    files.push_back(std::to_string(e.m_type) + ":" + WideToUtf8Lossy(e.m_path));
    return 0;
  }
  int LastValue() {
    std::lock_guard<std::mutex> g(m);
    return values.empty() ? 0 : values.back();
  }
  bool HasFile(const std::string& s) {
    std::lock_guard<std::mutex> g(m);
    for (const auto& f : files)
      if (f == s) return true;
    return false;
  }
  std::mutex m;
  std::vector<int> values;
  std::vector<std::string> files;
};

// The daemon's tasks, with a syncer that pulls again after one second when
// nothing changed (five in the daemon), to keep the test short.
class QuickFactory : public DaemonTaskFactory {
 public:
  ServerTask* CreateSyncer(TaskManager* owner, int version) override {
    ServerTask* s = DaemonTaskFactory::CreateSyncer(owner, version);
    static_cast<Syncer*>(s)->SetIdleWait(1);
    return s;
  }
};

class SyncExchangeTest : public LocalStateTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    const int generation = GetParam();
    ProtoInit(static_cast<uint8_t>(generation == 3 ? 3 : 40));
    ASSERT_EQ(mkdir(dir.Sub("share").c_str(), 0755), 0);
    ServerOptions opt;
    opt.share = dir.Sub("share");
    opt.sessions["s1"] = "alice";
    opt.wait_period_ms = 100;
    server = std::make_unique<SyncServer>(opt);
    ASSERT_EQ(server->Start(), 0);
    SetUpLocalState("server = \"127.0.0.1\"\nport = \"" + std::to_string(server->port()) +
                    "\"\nsession = \"s1\"\nclient = \"tester\"\nworker_count = \"2\"\n" +
                    "proto_version = \"" + (generation == 3 ? "3" : "40") + "\"\n");
    ASSERT_EQ(SignMgr::initialize(cfg->SignLocGet()), 0);
    TempFile::initialize(W(Local("/.ZentavoWorkingDirectory")));
    WriteFile(dir.Sub("filter"), "[Version]\nmajor = 1\nminor = 0\n");
    ASSERT_EQ(WorkerBlackList(generation).Load(W(dir.Sub("filter"))), 0);
    StartClient();
  }
  void TearDown() override {
    StopClient();
    if (server) server->Stop();
  }
  void StartClient() {
    mgr = std::make_unique<TaskManager>(*cfg, cfg->WorkerCountGet(), &factory, &ui);
    detector = std::make_unique<Detector>(mgr.get());
    ASSERT_EQ(detector->SetWatch(W(dir.Sub("sync"))), 0);
    mgr->Start();
    ASSERT_EQ(detector->Run(), 0);
  }
  void StopClient() {
    if (mgr) mgr->Stop();
    if (detector) detector->Stop();
    detector.reset();
    mgr.reset();
  }

  std::string Local(const std::string& rel) const { return dir.Sub("sync") + rel; }
  std::string Shared(const std::string& rel) const { return dir.Sub("share") + rel; }
  void Put(const std::string& path, const std::string& content, uint32_t mtime) {
    ASSERT_EQ(HookPutBytes(server->store(), path, content, mtime, "bob"), 0) << path;
  }
  static bool SameStat(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_size == sb.st_size &&
           sa.st_mtime == sb.st_mtime && S_ISREG(sa.st_mode) == S_ISREG(sb.st_mode);
  }
  // Size and time first (cheap to poll), then the bytes.
  bool Mirrors(const std::string& rel, std::chrono::milliseconds t = 60s) {
    return WaitFor([&] { return SameStat(Local(rel), Shared(rel)); }, t) &&
           ReadFile(Local(rel)) == ReadFile(Shared(rel));
  }
  bool Synced() {
    uint64_t id = 0;
    return FileEventDB::getSyncId(id) == 0 && id == server->store().LastSyncId() &&
           mgr->GetStatus() == TaskManager::IDLE;
  }
  int FStat(const std::string& rel) {
    FileStatusInfo info;
    if (FileStatusDB::getFileSyncStat(W(Local(rel)), &info) != 0) return -1;
    return info.syncStatus;
  }
  std::vector<std::string> ConflictCopies(const std::string& stem) {
    std::vector<std::string> out;
    DIR_HANDLE h;
    FSOpenDir(W(dir.Sub("sync")), 0, h);
    DIR_ENTRY e;
    while (FSReadDir(h, e) == 1) {
      const std::string n = WideToUtf8Lossy(e.name);
      if (n.rfind(stem + "_tester_", 0) == 0) out.push_back(n);
    }
    return out;
  }

  QuickFactory factory;
  RecordingUi ui;
  std::unique_ptr<SyncServer> server;
  std::unique_ptr<TaskManager> mgr;
  std::unique_ptr<Detector> detector;
};

TEST_P(SyncExchangeTest, ServerChangesReachTheSyncRoot) {
  constexpr uint32_t kT = 1500000000;
  std::string big(20 << 20, '\0');
  std::mt19937 rng(7);
  for (auto& c : big) c = static_cast<char>(rng());
  const std::string unicode =
      "/with space/\xc3\xbc" "n\xc3\xaf" "c\xc3\xb8" "d\xc3\xa9 name.txt";
  Put("/docs/a.txt", "hello", kT);
  Put("/docs/sub/deep/x.bin", std::string(70000, 'x'), kT + 1);
  Put("/empty", "", kT + 2);
  Put(unicode, "accents", kT + 3);
  Put("/big.bin", big, kT + 4);

  for (const std::string rel : {"/docs/a.txt", "/docs/sub/deep/x.bin", "/empty", unicode.c_str(),
                                "/big.bin"})
    EXPECT_TRUE(Mirrors(rel)) << rel;
  ASSERT_TRUE(WaitFor([this] { return Synced(); }, 60s));
  // Each download is followed by the change its own placement reported,
  // which reads the file once more (20 MiB take a while), and the status
  // writer puts the rows down a moment after that: synced then.
  for (const char* rel : {"/docs/a.txt", "/big.bin", "/docs/sub"})
    EXPECT_TRUE(WaitFor([&] { return FStat(rel) == FSTAT_SYNCED; })) << rel << ": " << FStat(rel);
  EXPECT_TRUE(WaitFor([&] { return ui.LastValue() == TaskManager::IDLE; }));
  EXPECT_TRUE(ui.HasFile("3:/docs/a.txt"));
  EXPECT_TRUE(ui.HasFile("3:" + unicode));
  const auto before = server->SentPayloads();

  // A few KiB changed in the middle of the big file travel as a delta.
  for (size_t i = 0; i < 4096; ++i) big[10 << 20 | i] = static_cast<char>(~big[10 << 20 | i]);
  Put("/big.bin", big, kT + 10);
  EXPECT_TRUE(Mirrors("/big.bin"));
  ASSERT_TRUE(WaitFor([this] { return Synced(); }, 60s));
  const auto after = server->SentPayloads();
  EXPECT_EQ(after.delta, before.delta + 1);
  EXPECT_EQ(after.whole, before.whole);
  EXPECT_LT(after.delta_bytes - before.delta_bytes, big.size() / 10);

  // A server removal removes the local copy.
  ASSERT_EQ(HookRemove(server->store(), "/docs/a.txt"), 0);
  EXPECT_TRUE(WaitFor([&] { return !PathExists(Local("/docs/a.txt")); }));
  EXPECT_TRUE(WaitFor([&] { return FStat("/docs/a.txt") == -1; }));
  EXPECT_TRUE(ui.HasFile("2:/docs/a.txt"));
  ASSERT_TRUE(WaitFor([this] { return Synced(); }, 60s));

  // While the client is stopped, the user edits a file the server changes
  // too, and makes a file in a folder the server removes.
  Put("/c.txt", "base", kT);
  EXPECT_TRUE(Mirrors("/c.txt"));
  ASSERT_TRUE(WaitFor([this] { return Synced(); }, 60s));
  StopClient();
  WriteFile(Local("/c.txt"), "the user's edit");
  WriteFile(Local("/docs/sub/mine.txt"), "never synced");
  Put("/c.txt", "the server's change", kT + 20);
  ASSERT_EQ(HookRemove(server->store(), "/docs"), 0);
  StartClient();
  EXPECT_TRUE(Mirrors("/c.txt"));
  EXPECT_TRUE(WaitFor([&] { return ConflictCopies("c").size() == 1; })) << ConflictCopies("c").size();
  if (ConflictCopies("c").size() == 1) {
    EXPECT_EQ(ReadFile(Local("/" + ConflictCopies("c")[0])), "the user's edit");
  }
  EXPECT_TRUE(WaitFor([&] { return !PathExists(Local("/docs/sub/deep")); }));
  EXPECT_EQ(ReadFile(Local("/docs/sub/mine.txt")), "never synced");
}

TEST_P(SyncExchangeTest, AnEchoOfTheClientsOwnChangeTransfersNothing) {
  WriteFile(Local("/mine.txt"), "made here");
  // Uploaded, then pulled back as a server event with the id the upload got.
  ASSERT_TRUE(WaitFor([&] { return SameStat(Local("/mine.txt"), Shared("/mine.txt")); }));
  ASSERT_TRUE(WaitFor([this] { return Synced(); }, 60s));
  for (const PayloadRecord& r : server->Payloads())
    EXPECT_TRUE(r.received) << "sent " << r.path << " back to the client that made it";
}

INSTANTIATE_TEST_SUITE_P(Protocols, SyncExchangeTest, ::testing::Values(4, 3),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return "v" + std::to_string(i.param);
                         });

}  // namespace
