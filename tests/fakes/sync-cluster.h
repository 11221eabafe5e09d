// Whole-system fixtures for the reliability suite: the real server as a
// child process, a fault proxy in front of it, and any number of real
// daemons (each in its own DaemonSandbox) that reach the server only through
// the proxy. Helpers read the trees of every side and check that they
// converged and that each daemon's event database agrees with its disk.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/daemon-runner.h"
#include "fakes/fault-proxy.h"
#include "fakes/test-util.h"

namespace sftest {

// Whole-system tests (real daemons and servers as processes) run in the
// ASan+UBSan build only: under ThreadSanitizer every daemon is several
// times slower and the suite's time budget would not hold; the in-process
// engine tests still run under both.
#if defined(__SANITIZE_THREAD__)
constexpr bool kWholeSystemTestsSkipped = true;
#else
constexpr bool kWholeSystemTestsSkipped = false;
#endif
#define SF_WHOLE_SYSTEM_TEST()                                                          \
  do {                                                                                  \
    if (::sftest::kWholeSystemTestsSkipped)                                             \
      GTEST_SKIP() << "whole-system test: runs in the ASan build only (too slow under " \
                      "ThreadSanitizer for the suite's time budget)";                   \
  } while (0)

// One item of a tree: a directory, or a file with its bytes.
struct TreeItem {
  bool dir = false;
  std::string content;
  bool operator==(const TreeItem& o) const { return dir == o.dir && content == o.content; }
};
// Event path ("/a/b") to item. The sync root's working directory is left
// out. Links are listed as files holding "->" and their target.
using Tree = std::map<std::string, TreeItem>;
Tree ReadTree(const std::string& root);
// Up to `max` differences, one per line ("" when equal).
std::string DiffTrees(const Tree& a, const Tree& b, const std::string& a_name,
                      const std::string& b_name, size_t max = 10);

// Every version written of each path, oldest first; the last one is the
// path's last write.
using Versions = std::map<std::string, std::vector<std::string>>;
// What a tree holds against what was written: "" when every file is a
// written path holding one of its versions, or a conflict copy of one
// ("<stem>_<client>_<time>[.ext]" beside it) holding one of that path's
// versions, and when every path's last write survives at the path or as a
// conflict copy. Otherwise one line per file lost, duplicated beyond that,
// or holding bytes no one wrote.
std::string CheckVersions(const Tree& t, const Versions& written);

// syncfolder-server as a child process on a share of its own.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& dir);  // share: dir/share
  ~ServerProcess();
  // Starts on `port` (0: any free one) and waits until it listens.
  bool Start(int port = 0);
  void Kill();  // SIGKILL, then reaped
  void Stop();  // SIGTERM, then reaped
  bool Running() { return m_proc->Running(); }
  int port() const { return m_port; }
  const std::string& Share() const { return m_share; }
  // Runs a hook command of the server ("put", "mkdir", "remove") on the
  // share; true when it exits 0.
  bool Hook(const std::vector<std::string>& args);
  std::string Output() const { return ReadFile(m_dir + "/server-output.txt"); }

 private:
  std::string m_dir;
  std::string m_share;
  int m_port = 0;
  std::unique_ptr<ChildProcess> m_proc = std::make_unique<ChildProcess>();
};

// A daemon installation and its process, configured for the cluster.
struct ClusterClient {
  DaemonSandbox box;
  std::unique_ptr<ChildProcess> proc = std::make_unique<ChildProcess>();
  int starts = 0;
};

class SyncCluster {
 public:
  // `clients` daemons, not started. The proxy's seed: `seed`, or
  // SF_FAULT_SEED, or a random one (printed).
  explicit SyncCluster(int clients, uint64_t seed = 0);
  ~SyncCluster();

  bool StartServer();
  // A server killed mid-transfer comes back on the same share; the proxy
  // sends new connections to its new port.
  bool RestartServer(bool kill = true);
  ServerProcess& server() { return *m_server; }
  FaultProxy& proxy() { return *m_proxy; }

  bool StartClient(size_t i);
  // SIGKILL; the client is left stopped.
  void KillClient(size_t i);
  // Command 1 on standard input; true when it exited 0.
  bool StopClient(size_t i);
  bool ClientRunning(size_t i) { return m_clients[i]->proc->Running(); }
  ClusterClient& client(size_t i) { return *m_clients[i]; }
  size_t size() const { return m_clients.size(); }

  std::string Root(size_t i) const { return m_clients[i]->box.Root(); }
  std::string Share() const { return m_server->Share(); }
  // A folder of the cluster's own for the test's scratch files.
  const std::string& Scratch() const { return m_dir.path(); }

  // Polls until the share and every running client hold the same tree
  // (twice in a row), each running client's event database agrees with its
  // disk, and every daemon that should run still does. On failure the
  // differences and the tails of the logs are in the message.
  ::testing::AssertionResult WaitConverged(std::chrono::seconds timeout);
  // The checks of WaitConverged, once; "" when they hold.
  std::string Check();
  // What each client's event database says of its disk; "" when it agrees.
  std::string CheckDatabase(size_t i);
  std::string LogTails();

 private:
  TempDir m_dir;
  std::unique_ptr<ServerProcess> m_server;
  std::unique_ptr<FaultProxy> m_proxy;
  std::vector<std::unique_ptr<ClusterClient>> m_clients;
  std::vector<bool> m_shouldRun;
};

}  // namespace sftest
