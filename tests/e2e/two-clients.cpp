#include "e2e/two-clients.h"

#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "lib/base/utility.h"
#include "rsapi/rs-api.h"

namespace sftest {

namespace {

constexpr char kWorkingDir[] = ".ZentavoWorkingDirectory";

// The daemons and the server flush every file and database change to disk,
// which on a slow disk costs more than the syncing itself. The scenarios
// test the syncing, so their trees live in memory when the machine has
// room for them there (set SF_E2E_ON_DISK=1 to keep them on TMPDIR).
const bool kTreesInMemory = [] {
  const char* keep = std::getenv("SF_E2E_ON_DISK");
  if (keep != nullptr && *keep == '1') return false;
  struct statfs fs;
  struct statvfs vfs;
  constexpr unsigned long kTmpfsMagic = 0x01021994;
  if (statfs("/dev/shm", &fs) != 0 || static_cast<unsigned long>(fs.f_type) != kTmpfsMagic ||
      statvfs("/dev/shm", &vfs) != 0 ||
      static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize < (uint64_t{2} << 30) ||
      access("/dev/shm", W_OK) != 0)
    return false;
  return setenv("TMPDIR", "/dev/shm", 1) == 0;
}();
constexpr char kSession[] = "test-session";

void ReadTreeInto(const std::string& root, const std::string& rel, Tree& out) {
  DIR* d = opendir((root + rel).c_str());
  if (d == nullptr) return;
  while (dirent* ent = readdir(d)) {
    const std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    if (rel.empty() && name == kWorkingDir) continue;
    const std::string sub = rel + "/" + name;
    struct stat st;
    if (lstat((root + sub).c_str(), &st) != 0) continue;  // vanished meanwhile
    TreeItem item;
    if (S_ISDIR(st.st_mode)) {
      item.dir = true;
      out[sub] = item;
      ReadTreeInto(root, sub, out);
    } else {
      item.size = static_cast<uint64_t>(st.st_size);
      item.mtime = static_cast<uint32_t>(st.st_mtime);
      item.digest = S_ISREG(st.st_mode) ? Digest(root + sub) : "(special)";
      out[sub] = item;
    }
  }
  closedir(d);
}

std::string Describe(const TreeItem* t) {
  if (t == nullptr) return "missing";
  if (t->dir) return "directory";
  std::ostringstream s;
  s << "file of " << t->size << " bytes, mtime " << t->mtime << ", " << t->digest.substr(0, 8);
  return s.str();
}

// One value of a query against a daemon's database, read while the daemon
// runs (its connections wait out our short read lock).
bool QueryInt(const std::string& db_path, const char* sql, int64_t& value) {
  sqlite3* db = nullptr;
  bool ok = false;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      value = sqlite3_column_int64(st, 0);
      ok = true;
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return ok;
}

}  // namespace

std::string Digest(const std::string& path) {
  std::wstring hash;
  if (RSCalcMD4Text(Utf8ToWideLossy(path), hash) != 0) return "(unreadable)";
  return WideToUtf8Lossy(hash);
}

Tree ReadTree(const std::string& root) {
  Tree t;
  ReadTreeInto(root, "", t);
  return t;
}

std::string TreeDiff(const Tree& a, const Tree& b, const std::string& name_a,
                     const std::string& name_b, size_t max_lines) {
  std::ostringstream out;
  size_t lines = 0;
  auto note = [&](const std::string& path, const TreeItem* x, const TreeItem* y) {
    if (lines++ < max_lines)
      out << "  " << path << ": " << name_a << " " << Describe(x) << ", " << name_b << " "
          << Describe(y) << "\n";
  };
  for (const auto& kv : a) {
    auto it = b.find(kv.first);
    if (it == b.end())
      note(kv.first, &kv.second, nullptr);
    else if (it->second != kv.second)
      note(kv.first, &kv.second, &it->second);
  }
  for (const auto& kv : b)
    if (a.count(kv.first) == 0) note(kv.first, nullptr, &kv.second);
  if (lines > max_lines) out << "  ... " << lines - max_lines << " more\n";
  return out.str();
}

std::vector<std::string> PathsContaining(const Tree& t, const std::string& part) {
  std::vector<std::string> out;
  for (const auto& kv : t) {
    const std::string base = kv.first.substr(kv.first.rfind('/') + 1);
    if (base.find(part) != std::string::npos) out.push_back(kv.first);
  }
  return out;
}

SyncClient::SyncClient(const std::string& name, int server_port, int proto, int workers)
    : m_name(name) {
  auto& c = m_box.config();
  c["server"] = "127.0.0.1";
  c["port"] = std::to_string(server_port);
  c["session"] = kSession;
  c["client"] = name;
  c["proto_version"] = proto == 3 ? "3" : "40";
  c["worker_count"] = std::to_string(workers);
  m_box.WriteConfig();
  // SF_E2E_DEBUG=1 keeps the engine's whole story in each client's log.
  const char* debug = std::getenv("SF_E2E_DEBUG");
  if (debug != nullptr && *debug == '1') {
    m_box.WriteLevels({{"worker_debug", 7},
                       {"syncer_debug", 7},
                       {"client_task_mgr_debug", 7},
                       {"conflict_checker_debug", 7},
                       {"expander_debug", 7},
                       {"detector_debug", 7}});
  }
}

SyncClient::~SyncClient() {
  if (m_proc.Running()) Stop();
}

bool SyncClient::Start(const std::map<std::string, std::string>& env) {
  return m_box.StartDaemon(m_proc, env);
}

int SyncClient::Stop() {
  m_proc.WriteStdin("\x01");
  const int status = m_proc.Wait(std::chrono::seconds(60));
  m_proc.CloseStdin();
  return status;
}

int SyncClient::Wait() {
  const int status = m_proc.Wait(std::chrono::seconds(60));
  m_proc.CloseStdin();
  return status;
}

void SyncClient::Kill() {
  m_proc.Signal(SIGKILL);
  (void)m_proc.Wait(std::chrono::seconds(30));
  m_proc.CloseStdin();
}

uint64_t SyncClient::StoredSyncId() const {
  int64_t v = 0;
  if (!QueryInt(m_box.DbDir() + "/event-db.sqlite",
                "SELECT value FROM config_table WHERE key = 'sync_id';", v))
    return 0;
  return static_cast<uint64_t>(v);
}

uint64_t SyncClient::NewestRowId() const {
  int64_t v = 0;
  if (!QueryInt(m_box.DbDir() + "/event-db.sqlite", "SELECT max(syncID) FROM eventinfo;", v))
    return 0;
  return static_cast<uint64_t>(v);
}

int SyncClient::SyncingCount() const {
  int64_t v = -1;
  if (!QueryInt(m_box.DbDir() + "/file-status.sqlite",
                "SELECT count(*) FROM fstatinfo WHERE syncStatus = 2;", v))
    return -1;
  return static_cast<int>(v);
}

void TwoClientsTest::Begin(int proto_a, int proto_b) {
  StartServer();
  if (HasFatalFailure()) return;
  a = std::make_unique<SyncClient>("alpha", server->port(), proto_a);
  b = std::make_unique<SyncClient>("bravo", server->port(), proto_b);
  ASSERT_TRUE(a->Start());
  ASSERT_TRUE(b->Start());
}

void TwoClientsTest::StartServer() {
  ASSERT_EQ(mkdir(Share().c_str(), 0755), 0);
  ServerOptions opt;
  opt.share = Share();
  opt.sessions[kSession] = "alice";
  opt.wait_period_ms = 100;
  server = std::make_unique<SyncServer>(opt);
  ASSERT_EQ(server->Start(), 0);
}

void TwoClientsTest::TearDown() {
  for (SyncClient* c : {a.get(), b.get()}) {
    if (c == nullptr) continue;
    if (c->Running()) {
      EXPECT_EQ(c->Stop(), 0) << c->name() << " did not stop in order";
    }
    if (HasFailure()) {
      const std::string log = c->Log();
      std::cerr << "---- log of " << c->name() << " (last 6000 bytes) ----\n"
                << log.substr(log.size() > 6000 ? log.size() - 6000 : 0) << "\n";
    }
  }
  a.reset();
  b.reset();
  if (server) server->Stop();
}

uint64_t TwoClientsTest::ServerSyncId() {
  return server->store().LastSyncId();
}

::testing::AssertionResult TwoClientsTest::Converged(std::chrono::seconds timeout) {
  std::vector<SyncClient*> running;
  for (SyncClient* c : {a.get(), b.get()})
    if (c->Running()) running.push_back(c);
  return WaitTrees(running, timeout);
}

::testing::AssertionResult TwoClientsTest::Settled(SyncClient& c, std::chrono::seconds timeout) {
  return WaitTrees({&c}, timeout);
}

::testing::AssertionResult TwoClientsTest::WaitTrees(const std::vector<SyncClient*>& clients,
                                                     std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string why;
  int agreed = 0;  // consecutive checks that found everything settled
  while (std::chrono::steady_clock::now() < deadline) {
    for (SyncClient* c : clients) {
      if (!c->Running()) return ::testing::AssertionFailure() << c->name() << " is not running";
    }
    // The cheap conditions first: every server change processed, nothing
    // pending; only then are the trees read.
    const uint64_t sid = ServerSyncId();
    why.clear();
    for (SyncClient* c : clients) {
      const uint64_t stored = c->StoredSyncId();
      const int syncing = c->SyncingCount();
      if (stored != sid || syncing != 0) {
        std::ostringstream s;
        s << c->name() << " has processed server changes up to " << stored << " of " << sid
          << " and marks " << syncing << " paths syncing\n";
        why += s.str();
      }
    }
    if (why.empty()) {
      const Tree share = ReadTree(Share());
      for (SyncClient* c : clients) why += TreeDiff(share, ReadTree(c->Root()), "share", c->name());
      if (why.empty() && ServerSyncId() != sid) why = "the server changed meanwhile\n";
    }
    if (why.empty()) {
      // Twice in a row, so that a change announced between the reads of one
      // check is not mistaken for rest.
      if (++agreed == 2) return ::testing::AssertionSuccess();
    } else {
      agreed = 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  return ::testing::AssertionFailure() << "no agreement within " << timeout.count() << " s:\n"
                                       << why;
}

void MakeDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  }
}

void AppendFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::app);
  f << bytes;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i += 4) {
    const uint32_t v = gen();
    for (size_t k = 0; k < 4 && i + k < n; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
  }
  return s;
}

}  // namespace sftest
