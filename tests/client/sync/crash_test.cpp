// The real daemon and the real server as separate processes: a daemon killed
// with SIGKILL in the middle of a pull loses nothing, duplicates nothing and
// ends at the server's sync id after a restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>

#include "client/store/event-db.h"
#include "fakes/daemon-runner.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"

namespace {

using namespace std::chrono_literals;
using sftest::ChildProcess;
using sftest::DaemonSandbox;
using sftest::PathExists;
using sftest::ReadFile;
using sftest::WaitFor;

constexpr int kFiles = 500;

std::string Name(int i) {
  return "/d" + std::to_string(i % 10) + "/f" + std::to_string(i) + ".txt";
}
std::string Content(int i) {
  return std::string(3000 + i, static_cast<char>('a' + i % 26)) + std::to_string(i);
}

// Every regular file below `root` (relative, "/a/b"), the working directory
// left out.
void ListFiles(const std::string& root, const std::string& rel, std::set<std::string>& out) {
  DIR_HANDLE h;
  FSOpenDir(sftest::W(root + rel), 0, h);
  DIR_ENTRY e;
  while (FSReadDir(h, e) == 1) {
    const std::string n = WideToUtf8Lossy(e.name);
    if (n == "." || n == ".." || (rel.empty() && n == ".ZentavoWorkingDirectory")) continue;
    if (e.type == FT_DIR) {
      ListFiles(root, rel + "/" + n, out);
    } else {
      out.insert(rel + "/" + n);
    }
  }
}

// The newest sync id of the share, from the server's own listing.
uint64_t ServerSyncId(const std::string& share, const std::string& out) {
  ChildProcess list;
  if (!list.Start({sftest::BinPath("syncfolder-server"), "--share", share, "list"}, out) ||
      list.Wait() != 0)
    return 0;
  uint64_t newest = 0;
  std::istringstream in(ReadFile(out));
  std::string line;
  while (std::getline(in, line)) newest = std::max<uint64_t>(newest, std::strtoull(line.c_str(), nullptr, 10));
  return newest;
}

size_t CountFiles(const std::string& root) {
  std::set<std::string> s;
  ListFiles(root, "", s);
  return s.size();
}

TEST(CrashTest, KilledInTheMiddleOfAPullLosesAndDuplicatesNothing) {
  sftest::TempDir share_dir;
  const std::string share = share_dir.Sub("share");
  ASSERT_EQ(mkdir(share.c_str(), 0755), 0);
  for (int d = 0; d < 10; ++d)
    ASSERT_EQ(mkdir((share + "/d" + std::to_string(d)).c_str(), 0755), 0);
  // Found by the server's start-up reconciliation, as if put there offline.
  for (int i = 0; i < kFiles; ++i) sftest::WriteFile(share + Name(i), Content(i));

  // Each answer waits a little, so that the pull is still going on when the
  // daemon is killed.
  ChildProcess server;
  const std::string port_file = share_dir.Sub("port");
  ASSERT_TRUE(server.Start({sftest::BinPath("syncfolder-server"), "--share", share, "--port", "0",
                            "--port-file", port_file, "--session", "s1:alice",
                            "--fault-delay-ms", "15"},
                           share_dir.Sub("server.out")));
  ASSERT_TRUE(WaitFor([&] { return !ReadFile(port_file).empty(); }));
  const std::string port = ReadFile(port_file);

  DaemonSandbox box;
  box.config()["server"] = "127.0.0.1";
  box.config()["port"] = std::to_string(std::stoi(port));
  box.config()["session"] = "s1";
  box.WriteConfig();
  {
    ChildProcess daemon;
    ASSERT_TRUE(box.StartDaemon(daemon));
    ASSERT_TRUE(WaitFor([&] { return CountFiles(box.Root()) >= 40; }, 60s)) << box.ReadLog();
    daemon.Signal(SIGKILL);
    EXPECT_EQ(daemon.Wait(), 128 + SIGKILL);
  }
  const size_t at_kill = CountFiles(box.Root());
  EXPECT_LT(at_kill, static_cast<size_t>(kFiles)) << "the kill came after the pull";

  ChildProcess daemon;
  ASSERT_TRUE(box.StartDaemon(daemon));
  // The stored position reaches the server's newest id only once every
  // event of the pull is done.
  const uint64_t server_id = ServerSyncId(share, share_dir.Sub("list.out"));
  ASSERT_GT(server_id, static_cast<uint64_t>(kFiles));
  FileEventDB::destroy();
  ASSERT_TRUE(WaitFor([&] { return PathExists(box.DbDir() + "/event-db.sqlite"); }));
  ASSERT_EQ(FileEventDB::initialize(sftest::W(box.DbDir() + "/event-db.sqlite")), 0);
  EXPECT_TRUE(WaitFor(
      [&] {
        uint64_t id = 0;
        return FileEventDB::getSyncId(id) == 0 && id == server_id;
      },
      120s))
      << box.ReadLog();
  FileEventDB::destroy();
  ASSERT_TRUE(daemon.WriteStdin("\x01"));
  EXPECT_EQ(daemon.Wait(60s), 0);

  // Every file once, whole, and nothing else: no conflict copies, nothing
  // left staged.
  std::set<std::string> expected;
  for (int i = 0; i < kFiles; ++i) expected.insert(Name(i));
  std::set<std::string> got;
  ListFiles(box.Root(), "", got);
  EXPECT_EQ(got, expected);
  for (int i = 0; i < kFiles; ++i)
    if (ReadFile(box.Root() + Name(i)) != Content(i)) ADD_FAILURE() << Name(i) << " differs";
  std::set<std::string> staged;
  ListFiles(box.Root() + "/.ZentavoWorkingDirectory", "", staged);
  EXPECT_TRUE(staged.empty());
  EXPECT_EQ(ServerSyncId(share, share_dir.Sub("list.out")), server_id)
      << "the restart changed nothing on the server";
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
}

}  // namespace
