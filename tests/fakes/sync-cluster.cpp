#include "fakes/sync-cluster.h"

#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "lib/base/utility.h"
#include "rsapi/rs-api.h"

namespace sftest {

namespace {

constexpr char kWorkDir[] = ".ZentavoWorkingDirectory";
constexpr char kSession[] = "s1";

void Walk(const std::string& disk, const std::string& rel, bool top, Tree& out) {
  DIR* d = ::opendir(disk.c_str());
  if (d == nullptr) return;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (top && name == kWorkDir) continue;
    const std::string p = disk + "/" + name;
    const std::string r = rel + "/" + name;
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) continue;  // vanished meanwhile
    TreeItem item;
    if (S_ISDIR(st.st_mode)) {
      item.dir = true;
      out[r] = item;
      Walk(p, r, false, out);
    } else if (S_ISLNK(st.st_mode)) {
      char buf[4096];
      ssize_t n = ::readlink(p.c_str(), buf, sizeof(buf));
      item.content = "->" + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
      out[r] = item;
    } else {
      item.content = ReadFile(p);
      out[r] = item;
    }
  }
  ::closedir(d);
}

std::string Tail(const std::string& text, size_t lines) {
  size_t pos = text.size();
  for (size_t n = 0; n <= lines && pos > 0; ++n) {
    pos = text.rfind('\n', pos - 1);
    if (pos == std::string::npos) return text;
  }
  return text.substr(pos + 1);
}

}  // namespace

Tree ReadTree(const std::string& root) {
  Tree t;
  Walk(root, "", true, t);
  return t;
}

std::string DiffTrees(const Tree& a, const Tree& b, const std::string& an, const std::string& bn,
                      size_t max) {
  std::ostringstream out;
  size_t n = 0;
  auto note = [&](const std::string& line) {
    if (n++ < max) out << line << "\n";
  };
  for (const auto& kv : a) {
    auto it = b.find(kv.first);
    if (it == b.end()) {
      note(kv.first + ": only in " + an);
    } else if (!(it->second == kv.second)) {
      note(kv.first + ": differs (" + an + " " +
           (kv.second.dir ? "dir" : std::to_string(kv.second.content.size()) + " bytes") + ", " +
           bn + " " + (it->second.dir ? "dir" : std::to_string(it->second.content.size()) + " bytes") +
           ")");
    }
  }
  for (const auto& kv : b)
    if (a.count(kv.first) == 0) note(kv.first + ": only in " + bn);
  if (n > max) out << "... " << (n - max) << " more\n";
  return out.str();
}

std::string CheckVersions(const Tree& t, const Versions& written) {
  std::ostringstream out;
  std::map<std::string, bool> last_seen;
  auto holds = [](const std::vector<std::string>& v, const std::string& c) {
    return std::find(v.begin(), v.end(), c) != v.end();
  };
  for (const auto& kv : t) {
    if (kv.second.dir) continue;
    const std::string& f = kv.first;
    const std::string& c = kv.second.content;
    auto it = written.find(f);
    if (it != written.end()) {
      if (!holds(it->second, c)) out << f << ": holds bytes no one wrote there\n";
      if (!it->second.empty() && it->second.back() == c) last_seen[f] = true;
      continue;
    }
    // A conflict copy: the stem of a written path, "_", then the client.
    bool matched = false;
    for (const auto& w : written) {
      const size_t slash = w.first.rfind('/');
      const size_t dot = w.first.rfind('.');
      const std::string stem =
          dot != std::string::npos && dot > slash + 1 ? w.first.substr(0, dot) : w.first;
      if (f.rfind(stem + "_", 0) != 0 || !holds(w.second, c)) continue;
      matched = true;
      if (w.second.back() == c) last_seen[w.first] = true;
      break;
    }
    if (!matched) out << f << ": neither written nor a conflict copy of a written version\n";
  }
  for (const auto& w : written)
    if (!w.second.empty() && !last_seen[w.first]) out << w.first << ": its last write is lost\n";
  return out.str();
}

// ---------------------------------------------------------------------------

ServerProcess::ServerProcess(const std::string& dir) : m_dir(dir), m_share(dir + "/share") {
  ::mkdir(m_share.c_str(), 0755);
}

ServerProcess::~ServerProcess() { Stop(); }

bool ServerProcess::Start(int port) {
  const std::string port_file = m_dir + "/server-port";
  ::unlink(port_file.c_str());
  m_proc = std::make_unique<ChildProcess>();
  if (!m_proc->Start({BinPath("syncfolder-server"), "--share", m_share, "--port",
                     std::to_string(port), "--port-file", port_file, "--session",
                     std::string(kSession) + ":alice"},
                    m_dir + "/server-output.txt"))
    return false;
  bool up = WaitFor([&] { return !ReadFile(port_file).empty() || !m_proc->Running(); });
  if (!up || !m_proc->Running()) return false;
  m_port = std::atoi(ReadFile(port_file).c_str());
  return m_port > 0;
}

void ServerProcess::Kill() {
  if (!m_proc->Running()) return;
  m_proc->Signal(SIGKILL);
  m_proc->Wait(std::chrono::seconds(30));
}

void ServerProcess::Stop() {
  if (!m_proc->Running()) return;
  m_proc->Signal(SIGTERM);
  if (m_proc->Wait(std::chrono::seconds(30)) < 0) Kill();
}

bool ServerProcess::Hook(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {BinPath("syncfolder-server"), "--share", m_share};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess p;
  if (!p.Start(argv, m_dir + "/hook-output.txt")) return false;
  return p.Wait(std::chrono::seconds(60)) == 0;
}

// ---------------------------------------------------------------------------

SyncCluster::SyncCluster(int clients, uint64_t seed) {
  m_server = std::make_unique<ServerProcess>(m_dir.path());
  // The proxy needs a target now; the server's port follows in StartServer.
  m_proxy = std::make_unique<FaultProxy>(UnusedLoopbackPort(), seed);
  for (int i = 0; i < clients; ++i) {
    auto c = std::make_unique<ClusterClient>();
    c->box.config()["server"] = "127.0.0.1";
    c->box.config()["port"] = std::to_string(m_proxy->port());
    c->box.config()["session"] = kSession;
    c->box.config()["client"] = "client" + std::to_string(i);
    c->box.config()["worker_count"] = "2";
    c->box.WriteConfig();
    m_clients.push_back(std::move(c));
    m_shouldRun.push_back(false);
  }
}

SyncCluster::~SyncCluster() {
  for (size_t i = 0; i < m_clients.size(); ++i) KillClient(i);
  m_server->Kill();
}

bool SyncCluster::StartServer() {
  if (!m_server->Start(0)) return false;
  m_proxy->SetTarget(m_server->port());
  return true;
}

bool SyncCluster::RestartServer(bool kill) {
  if (kill)
    m_server->Kill();
  else
    m_server->Stop();
  // Connections the old server left half-done through the proxy end now.
  m_proxy->ResetAll();
  return StartServer();
}

bool SyncCluster::StartClient(size_t i) {
  ClusterClient& c = *m_clients[i];
  if (c.proc->Running()) return true;
  c.proc = std::make_unique<ChildProcess>();
  if (!c.box.StartDaemon(*c.proc)) return false;
  ++c.starts;
  m_shouldRun[i] = true;
  return true;
}

void SyncCluster::KillClient(size_t i) {
  m_shouldRun[i] = false;
  ClusterClient& c = *m_clients[i];
  if (!c.proc->Running()) return;
  c.proc->Signal(SIGKILL);
  c.proc->Wait(std::chrono::seconds(30));
}

bool SyncCluster::StopClient(size_t i) {
  m_shouldRun[i] = false;
  ClusterClient& c = *m_clients[i];
  if (!c.proc->Running()) return true;
  c.proc->WriteStdin(std::string(1, '\x01'));  // command 1: terminate
  int st = c.proc->Wait(std::chrono::seconds(60));
  if (st < 0) {
    c.proc->Signal(SIGKILL);
    c.proc->Wait(std::chrono::seconds(30));
  }
  return st == 0;
}

std::string SyncCluster::CheckDatabase(size_t i) {
  const std::string db = m_clients[i]->box.DbDir() + "/event-db.sqlite";
  sqlite3* h = nullptr;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(h);
    return "client " + std::to_string(i) + ": cannot open its event database";
  }
  sqlite3_busy_timeout(h, 10000);
  struct Row {
    int type;
    int exist;
    long long size;
    std::string sum;
  };
  std::map<std::string, Row> rows;
  sqlite3_stmt* st = nullptr;
  std::string err;
  if (sqlite3_prepare_v2(h, "SELECT path, fileType, isExist, fileSize, fileCheckSum FROM eventinfo",
                         -1, &st, nullptr) != SQLITE_OK) {
    err = std::string("cannot query: ") + sqlite3_errmsg(h);
  } else {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const char* p = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      const char* s = reinterpret_cast<const char*>(sqlite3_column_text(st, 4));
      rows["/" + std::string(p ? p : "")] = {sqlite3_column_int(st, 1), sqlite3_column_int(st, 2),
                                             sqlite3_column_int64(st, 3), s ? s : ""};
    }
    if (rc != SQLITE_DONE) err = std::string("cannot query: ") + sqlite3_errmsg(h);
  }
  sqlite3_finalize(st);
  sqlite3_close(h);
  if (!err.empty()) return "client " + std::to_string(i) + ": " + err;

  std::ostringstream out;
  const Tree t = ReadTree(Root(i));
  for (const auto& kv : t) {
    auto it = rows.find(kv.first);
    if (it == rows.end() || it->second.exist != 1) {
      out << kv.first << ": on disk, no row\n";
      continue;
    }
    const Row& r = it->second;
    if (kv.second.dir != (r.type == 1)) {
      out << kv.first << ": type differs from its row\n";
    } else if (!kv.second.dir) {
      std::wstring sum;
      if (RSCalcMD4Text(W(Root(i) + kv.first), sum) != 0) sum.clear();
      if (static_cast<long long>(kv.second.content.size()) != r.size ||
          WideToUtf8Lossy(sum) != r.sum)
        out << kv.first << ": size or checksum differs from its row\n";
    }
  }
  for (const auto& kv : rows)
    if (kv.second.exist == 1 && t.count(kv.first) == 0) out << kv.first << ": row, not on disk\n";
  const std::string s = out.str();
  return s.empty() ? "" : "client " + std::to_string(i) + " database:\n" + s;
}

std::string SyncCluster::Check() {
  std::ostringstream out;
  for (size_t i = 0; i < m_clients.size(); ++i)
    if (m_shouldRun[i] && !m_clients[i]->proc->Running())
      out << "client " << i << " is no longer running\n";
  if (!m_server->Running()) out << "the server is no longer running\n";
  const Tree share = ReadTree(Share());
  for (size_t i = 0; i < m_clients.size(); ++i) {
    if (!m_shouldRun[i]) continue;
    out << DiffTrees(ReadTree(Root(i)), share, "client " + std::to_string(i), "share");
  }
  if (!out.str().empty()) return out.str();
  for (size_t i = 0; i < m_clients.size(); ++i)
    if (m_shouldRun[i]) out << CheckDatabase(i);
  return out.str();
}

::testing::AssertionResult SyncCluster::WaitConverged(std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string last;
  int agreeing = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    last = Check();
    if (last.empty()) {
      // Once more a moment later, so that a tree caught between two steps
      // of a transfer does not count as settled.
      if (++agreeing == 2) return ::testing::AssertionSuccess();
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      continue;
    }
    agreeing = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return ::testing::AssertionFailure() << "not converged after " << timeout.count() << " s\n"
                                       << last << "proxy seed " << m_proxy->seed() << "\n"
                                       << LogTails();
}

std::string SyncCluster::LogTails() {
  std::ostringstream out;
  for (size_t i = 0; i < m_clients.size(); ++i)
    out << "--- client " << i << " log tail:\n" << Tail(m_clients[i]->box.ReadLog(), 15);
  out << "--- server output tail:\n" << Tail(m_server->Output(), 10);
  for (const auto& h : m_proxy->History()) out << "proxy: " << h << "\n";
  return out.str();
}

}  // namespace sftest
