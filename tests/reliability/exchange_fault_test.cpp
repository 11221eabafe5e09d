// Every kind of exchange cut, reset or corrupted at random points between a
// worker (or the syncer) and the reference server, through the fault proxy.
// After each spoiled attempt the operation is retried, as the event loop
// would, and both sides must agree: the same bytes on the client and on the
// share, the client's row naming the server's version with the right
// checksum, no temporary file left behind.
//
// The offsets come from the proxy's seed, printed at the start; rerun with
// SF_FAULT_SEED=<seed> to replay a failure.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <regex>

#include "client/sync/syncer.h"
#include "fakes/engine-fixture.h"
#include "fakes/fault-proxy.h"
#include "lib/base/errors.h"

namespace {

using sftest::Fault;
using sftest::FaultProxy;
using sftest::ReadFile;
using sftest::W;
using sftest::WriteFile;

constexpr int kPointsPerKind = 20;

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

class TestSyncer : public Syncer4 {
 public:
  using Syncer4::Syncer4;
  using Syncer::PullEvent;
};

class ExchangeFaultTest : public EngineTest {
 protected:
  void SetUp() override {
    SetUpEngine(4);
    const uint64_t seed = [] {
      const char* env = std::getenv("SF_FAULT_SEED");
      return env ? std::strtoull(env, nullptr, 0) : std::random_device()() | 1ULL;
    }();
    proxy = std::make_unique<FaultProxy>(server->port(), seed);
    // The worker reaches the server only through the proxy.
    std::string conf = ReadFile(dir.Sub("client.conf"));
    conf = std::regex_replace(conf, std::regex("port = \"[0-9]+\""),
                              "port = \"" + std::to_string(proxy->port()) + "\"");
    WriteFile(dir.Sub("client.conf"), conf);
    cfg->ReloadIP(W(dir.Sub("client.conf")).c_str());
  }

  void TearDown() override {
    EngineTest::TearDown();
    // For the suite's figures: how many faults really hit an exchange.
    std::printf("[ figures  ] %s: %d faults fired (cut %d, reset %d, corrupt %d)\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                proxy->FaultsFired(), proxy->FaultsFired(Fault::kCut),
                proxy->FaultsFired(Fault::kReset), proxy->FaultsFired(Fault::kCorrupt));
    proxy.reset();
  }

  // The fault for attempt `i` of a kind whose clean exchange moved `up` and
  // `down` bytes: cuts and resets at random points in either direction.
  // Every fourth attempt of a kind that carries file content instead flips
  // one bit of that content on its way (`payload`: the direction it travels;
  // the offset is drawn past the requests and answers around it). A flipped
  // id, path or result code would be a different but well-formed message
  // that no peer could tell from a real one, so those are left to the cuts.
  enum Payload { kNoPayload, kPayloadUp, kPayloadDown };
  Fault FaultFor(int i, uint64_t up, uint64_t down, Payload payload = kNoPayload) {
    if (payload != kNoPayload && i % 4 == 3) {
      const uint64_t total = payload == kPayloadUp ? up : down;
      Fault f = proxy->Draw(Fault::kCorrupt, payload == kPayloadUp ? Fault::kUp : Fault::kDown,
                            total / 2);
      f.after += total / 3;
      return f;
    }
    const Fault::Kind kind = i % 2 ? Fault::kReset : Fault::kCut;
    const Fault::Dir d = (i / 2) % 2 ? Fault::kUp : Fault::kDown;
    return proxy->Draw(kind, d, d == Fault::kUp ? up : down);
  }

  // Closes the pooled connections, so that the next exchange opens one of
  // its own (connection request, then the exchange) and the armed fault
  // hits that exchange.
  void FreshConnections() {
    ConnectionPool* pool = mgr->GetConnectionPool();
    std::vector<Connection*> all;
    while (Connection* c = pool->pop()) all.push_back(c);
    for (Connection* c : all) {
      c->Update(0);
      pool->push(c);
    }
    sftest::WaitFor([&] { return proxy->OpenConnections() == 0; });
  }

  // Runs `op` once with `f` armed, then again without faults until it
  // finishes (a bounded number of times).
  void SpoilThenRetry(const Fault& f, const std::function<int()>& op, const std::string& what) {
    FreshConnections();
    proxy->ArmOnce(f);
    const int first = op();
    int r = first;
    for (int attempt = 0; r != ERR_OK && attempt < 6; ++attempt) r = op();
    ASSERT_EQ(r, ERR_OK) << what << ": " << f.Describe() << " (first attempt " << first
                         << "), seed " << proxy->seed();
    // A fault whose byte never came stays armed on the pooled connection;
    // it must not hit the next test step.
    FreshConnections();
    ExpectNoLeftovers(what + ": " + f.Describe());
  }

  // Bytes a clean run of `op` moves each way.
  std::pair<uint64_t, uint64_t> Measure(const std::function<int()>& op) {
    FreshConnections();
    const uint64_t up = proxy->BytesUp(), down = proxy->BytesDown();
    EXPECT_EQ(op(), ERR_OK);
    FreshConnections();
    // The proxy counts a connection's bytes as they pass; the last ones may
    // still be on their way when the operation returns.
    sftest::WaitFor([&] { return proxy->OpenConnections() == 0; });
    return {proxy->BytesUp() - up, proxy->BytesDown() - down};
  }

  void ExpectNoLeftovers(const std::string& what) {
    DIR* d = opendir(Local("/.ZentavoWorkingDirectory").c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> left;
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        left.push_back(e->d_name);
    closedir(d);
    EXPECT_TRUE(left.empty()) << what << ": " << left.size() << " item(s) left in the working "
                              << "directory, first " << left[0];
  }

  // Client and share hold `content` at `path`, and the client's row names
  // the server's version of it with its checksum.
  void ExpectAgree(const std::string& path, const std::string& content, const std::string& what) {
    const std::string local = ReadFile(Local(path)), shared = ReadFile(Shared(path));
    EXPECT_TRUE(local == content) << what << ": client holds " << local.size() << " bytes, not the "
                                  << content.size() << " written, seed " << proxy->seed();
    EXPECT_TRUE(shared == content) << what << ": share holds " << shared.size()
                                   << " bytes, not the " << content.size() << " written";
    const ClientFileEventInfo row = Row(path.substr(1));
    const ObjectRow srv = ServerRow(path);
    EXPECT_EQ(row.syncID, srv.sync_id) << what;
    std::wstring sum;
    EXPECT_EQ(RSCalcMD4Text(W(Local(path)), sum), 0) << what;
    EXPECT_EQ(row.fileCheckSum, sum) << what;
    EXPECT_EQ(row.fileSize, content.size()) << what;
  }

  uint64_t Put(const std::string& path, const std::string& content, uint32_t mtime = 1600000000) {
    ObjectRow out;
    EXPECT_EQ(HookPutBytes(server->store(), path, content, mtime, "other", &out), 0);
    return out.sync_id;
  }
  int Download(const std::string& path) {
    return worker->DownloadRemote(ServerRow(path).sync_id, W(path));
  }

  std::unique_ptr<FaultProxy> proxy;
};

TEST_F(ExchangeFaultTest, WholeUploadsSurviveCutsResetsAndCorruption) {
  const size_t kSize = 40000;
  WriteFile(Local("/probe"), Pattern(kSize, 999));
  auto [up, down] = Measure([&] { return Upload("/probe"); });
  for (int i = 0; i < kPointsPerKind; ++i) {
    const std::string p = "/whole-" + std::to_string(i);
    const std::string content = Pattern(kSize, static_cast<uint32_t>(i));
    WriteFile(Local(p), content);
    SpoilThenRetry(FaultFor(i, up, down, kPayloadUp), [&] { return Upload(p); }, "upload " + p);
    ExpectAgree(p, content, "upload " + p);
  }
}

TEST_F(ExchangeFaultTest, DeltaUploadsSurviveCutsResetsAndCorruption) {
  const size_t kSize = 200000;
  WriteFile(Local("/probe"), Pattern(kSize, 1));
  ASSERT_EQ(Upload("/probe"), ERR_OK);
  std::string probe = Pattern(kSize, 1);
  probe.replace(100000, 3000, Pattern(3000, 2));
  WriteFile(Local("/probe"), probe);
  auto [up, down] = Measure([&] { return Upload("/probe"); });
  ASSERT_LT(up, kSize / 4) << "the probe was not sent as a delta";
  std::string content = Pattern(kSize, 7);
  WriteFile(Local("/d.bin"), content);
  ASSERT_EQ(Upload("/d.bin"), ERR_OK);
  for (int i = 0; i < kPointsPerKind; ++i) {
    content.replace(1000 + 9000 * i, 2500, Pattern(2500, 100 + i));
    WriteFile(Local("/d.bin"), content);
    SpoilThenRetry(FaultFor(i, up, down, kPayloadUp), [&] { return Upload("/d.bin"); },
                   "delta upload");
    ExpectAgree("/d.bin", content, "delta upload " + std::to_string(i));
  }
}

TEST_F(ExchangeFaultTest, WholeDownloadsSurviveCutsResetsAndCorruption) {
  const size_t kSize = 40000;
  Put("/probe", Pattern(kSize, 5));
  auto [up, down] = Measure([&] { return Download("/probe"); });
  for (int i = 0; i < kPointsPerKind; ++i) {
    const std::string p = "/get-" + std::to_string(i);
    const std::string content = Pattern(kSize, 50 + static_cast<uint32_t>(i));
    Put(p, content);
    SpoilThenRetry(FaultFor(i, up, down, kPayloadDown), [&] { return Download(p); },
                   "download " + p);
    ExpectAgree(p, content, "download " + p);
  }
}

TEST_F(ExchangeFaultTest, DeltaDownloadsSurviveCutsResetsAndCorruption) {
  const size_t kSize = 200000;
  std::string probe = Pattern(kSize, 3);
  Put("/probe", probe);
  ASSERT_EQ(Download("/probe"), ERR_OK);
  probe.replace(5000, 3000, Pattern(3000, 4));
  Put("/probe", probe);
  auto [up, down] = Measure([&] { return Download("/probe"); });
  ASSERT_LT(down, kSize / 4) << "the probe was not sent as a delta";
  std::string content = Pattern(kSize, 8);
  Put("/d.bin", content);
  ASSERT_EQ(Download("/d.bin"), ERR_OK);
  for (int i = 0; i < kPointsPerKind; ++i) {
    content.replace(1000 + 9000 * i, 2500, Pattern(2500, 200 + i));
    Put("/d.bin", content, 1600000000 + i);
    const Fault f = FaultFor(i, up, down, kPayloadDown);
    SpoilThenRetry(f, [&] { return Download("/d.bin"); }, "delta download");
    ExpectAgree("/d.bin", content, "delta download " + std::to_string(i) + " " + f.Describe());
  }
}

TEST_F(ExchangeFaultTest, RemovalsSurviveCutsResetsAndCorruption) {
  WriteFile(Local("/probe"), "x");
  ASSERT_EQ(Upload("/probe"), ERR_OK);
  ASSERT_EQ(unlink(Local("/probe").c_str()), 0);
  auto [up, down] = Measure([&] { return RemoveRemote("/probe"); });
  for (int i = 0; i < kPointsPerKind; ++i) {
    const std::string p = "/rm-" + std::to_string(i);
    WriteFile(Local(p), Pattern(1000, static_cast<uint32_t>(i)));
    ASSERT_EQ(Upload(p), ERR_OK);
    ASSERT_EQ(unlink(Local(p).c_str()), 0);
    SpoilThenRetry(FaultFor(i, up, down), [&] { return RemoveRemote(p); }, "removal " + p);
    EXPECT_FALSE(sftest::PathExists(Shared(p))) << p << " " << proxy->History().back();
    EXPECT_FALSE(sftest::PathExists(Local(p))) << p;
    ClientFileEventInfo row;
    EXPECT_NE(FileEventDB::getEventInfo(W(p.substr(1)), row), 0) << p << ": row left";
  }
}

TEST_F(ExchangeFaultTest, PullsNeverReturnAPartialList) {
  for (int i = 0; i < 40; ++i)
    Put("/pull/f" + std::to_string(i), Pattern(10, static_cast<uint32_t>(i)));
  TestSyncer syncer(mgr.get());
  auto pull = [&](PullEventContext& ctx) {
    ctx = PullEventContext();
    ctx.session = W(kSession);
    return syncer.PullEvent(ctx);
  };
  PullEventContext clean;
  auto [up, down] = Measure([&] { return pull(clean); });
  ASSERT_GE(clean.entries.size(), 40u);
  for (int i = 0; i < kPointsPerKind; ++i) {
    PullEventContext ctx;
    FreshConnections();
    const Fault f = FaultFor(i, up, down);
    proxy->ArmOnce(f);
    const int r = pull(ctx);
    if (r == ERR_OK) {
      // A fault that spared the answer (or corrupted a byte that changes no
      // field the reader checks, such as the version byte) leaves the
      // whole list.
      EXPECT_EQ(ctx.to_id, clean.to_id);
      EXPECT_EQ(ctx.entries.size(), clean.entries.size())
          << "partial pull accepted after " << f.Describe() << ", seed " << proxy->seed()
          << ", response " << ctx.response;
    }
    PullEventContext again;
    FreshConnections();
    ASSERT_EQ(pull(again), ERR_OK);
    ASSERT_EQ(again.entries.size(), clean.entries.size());
    auto a = again.entries.begin();
    for (auto b = clean.entries.begin(); b != clean.entries.end(); ++a, ++b) {
      EXPECT_EQ(a->path, b->path);
      EXPECT_EQ(a->hash, b->hash);
    }
  }
}

}  // namespace
