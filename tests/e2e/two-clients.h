// End-to-end harness: one reference server (in this process) and two real
// daemons (child processes), each with its own installation, syncing the
// same share. Tests change the trees on disk as a user would and wait for a
// condition with a deadline; nothing waits for a fixed time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/daemon-runner.h"
#include "fakes/test-util.h"
#include "server/sync-server.h"

namespace sftest {

// One item of a tree as a user sees it.
struct TreeItem {
  bool dir = false;
  uint64_t size = 0;
  uint32_t mtime = 0;  // files only; directories keep 0
  std::string digest;  // content checksum of a file
  bool operator==(const TreeItem& o) const {
    return dir == o.dir && size == o.size && mtime == o.mtime && digest == o.digest;
  }
  bool operator!=(const TreeItem& o) const { return !(*this == o); }
};
// Relative path ("/a/b") -> item. The daemon's working directory is left out.
using Tree = std::map<std::string, TreeItem>;

Tree ReadTree(const std::string& root);
// The first differences between two trees, one per line; empty when equal.
std::string TreeDiff(const Tree& a, const Tree& b, const std::string& name_a,
                     const std::string& name_b, size_t max_lines = 10);
// Paths of `t` below `dir` ("" for all) whose last component contains `part`.
std::vector<std::string> PathsContaining(const Tree& t, const std::string& part);
// Checksum text of the content of a file.
std::string Digest(const std::string& path);

// One daemon with its own installation, started and stopped at will.
class SyncClient {
 public:
  // `name` is the client name (it names conflict copies); `proto` is 3 or 4.
  SyncClient(const std::string& name, int server_port, int proto, int workers = 3);
  ~SyncClient();

  // `env`: extra environment of the daemon.
  bool Start(const std::map<std::string, std::string>& env = {});
  // Orderly stop (command byte 1). Returns the exit status, -1 on timeout.
  int Stop();
  // Waits for a daemon that ends on its own (a refused start). Returns the
  // exit status, -1 on timeout.
  int Wait();
  // SIGKILL, as a crash or a power cut would end it; reaped.
  void Kill();
  // Command bytes on the daemon's standard input.
  bool Command(const std::string& bytes) { return m_proc.WriteStdin(bytes); }
  bool Running() { return m_proc.Running(); }

  const std::string& name() const { return m_name; }
  std::string Root() const { return m_box.Root(); }
  std::string At(const std::string& rel) const { return Root() + rel; }
  std::string Log() const { return m_box.ReadLog(); }
  DaemonSandbox& box() { return m_box; }

  // The server sync id up to which the daemon has processed every server
  // event (0 when unknown or unreadable).
  uint64_t StoredSyncId() const;
  // Paths the daemon marks "syncing" (local or server work not finished).
  int SyncingCount() const;
  // The newest server id among the daemon's rows (0 when none or unreadable):
  // once it is the server's newest, every answer the daemon got is recorded.
  uint64_t NewestRowId() const;

 private:
  std::string m_name;
  DaemonSandbox m_box;
  ChildProcess m_proc;
};

// A server on a fresh share and two clients A and B on it.
class TwoClientsTest : public ::testing::Test {
 protected:
  // Protocol of each client (4 or 3); call from the test before Begin().
  void Begin(int proto_a = 4, int proto_b = 4);
  // Begin's first step: the server on a fresh share, no clients.
  void StartServer();
  void TearDown() override;

  std::string Share() const { return m_dir.Sub("share"); }
  uint64_t ServerSyncId();

  // Waits until A, B (each only while running) and the share hold the same
  // tree, and every running client has processed all server events and has
  // no work pending.
  ::testing::AssertionResult Converged(std::chrono::seconds timeout = std::chrono::seconds(240));
  // The same for the share and one client.
  ::testing::AssertionResult Settled(SyncClient& c,
                                     std::chrono::seconds timeout = std::chrono::seconds(240));

  TempDir m_dir;
  std::unique_ptr<SyncServer> server;
  std::unique_ptr<SyncClient> a, b;

 private:
  ::testing::AssertionResult WaitTrees(const std::vector<SyncClient*>& clients,
                                       std::chrono::seconds timeout);
};

// File helpers for the scenarios.
void MakeDirs(const std::string& path);  // with parents
void AppendFile(const std::string& path, const std::string& bytes);
// `n` pseudo-random bytes, the same for the same seed.
std::string RandomBytes(size_t n, uint32_t seed);

}  // namespace sftest
