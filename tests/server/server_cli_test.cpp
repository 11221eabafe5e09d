// The syncfolder-server program: serving a share as a child process, and the
// hook commands changing the share while it runs.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "fakes/daemon-runner.h"
#include "lib/base/utility.h"
#include "server-fixture.h"
#include "worker-driver.h"

namespace sftest {
namespace {

const std::string kServer = std::string(SF_BIN_DIR) + "/syncfolder-server";

int RunTool(const std::vector<std::string>& args, const std::string& out) {
  ChildProcess p;
  std::vector<std::string> argv = {kServer};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!p.Start(argv, out)) return -1;
  return p.Wait();
}

class ServerCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProtoInit(3);
    mkdir(dir.Sub("share").c_str(), 0755);
  }
  std::string Share() const { return dir.Sub("share"); }
  // Starts the server on a free port and waits until it listens.
  void StartServer(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {kServer,       "--share",       Share(),     "--port",  "0",
                                     "--port-file", dir.Sub("port"), "--session", "s1:alice"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ASSERT_TRUE(server.Start(argv, dir.Sub("server.out")));
    ASSERT_TRUE(WaitFor([&] { return PathExists(dir.Sub("port")); }));
    port = std::stoi(ReadFile(dir.Sub("port")));
  }
  // The paths a pull from `base` reports.
  std::vector<std::wstring> Pulled(uint64_t base) {
    Channel ch;
    EXPECT_EQ(ch.Open("127.0.0.1", port, false), 0);
    driver::PullAnswer a;
    EXPECT_EQ(driver::Pull(ch, L"s1", base, a), 0);
    std::vector<std::wstring> paths;
    for (const auto& e : a.entries) paths.push_back(e.path);
    return paths;
  }
  TempDir dir;
  ChildProcess server;
  int port = 0;
};

TEST_F(ServerCliTest, HookCommandsChangeTheShareOfARunningServer) {
  StartServer();
  WriteFile(dir.Sub("src"), "from the command line");
  ASSERT_EQ(RunTool({"--share", Share(), "put", "/docs/a.txt", dir.Sub("src"), "1600000000"},
                    dir.Sub("put.out")),
            0);
  ASSERT_EQ(RunTool({"--share", Share(), "mkdir", "/empty"}, dir.Sub("mkdir.out")), 0);
  EXPECT_EQ(ReadFile(Share() + "/docs/a.txt"), "from the command line");

  // The running server reports the changes to its clients.
  EXPECT_EQ(Pulled(0), (std::vector<std::wstring>{L"/docs", L"/docs/a.txt", L"/empty"}));

  ASSERT_EQ(RunTool({"--share", Share(), "remove", "/docs"}, dir.Sub("rm.out")), 0);
  EXPECT_FALSE(PathExists(Share() + "/docs"));
  ASSERT_EQ(RunTool({"--share", Share(), "list"}, dir.Sub("list.out")), 0);
  std::string list = ReadFile(dir.Sub("list.out"));
  EXPECT_NE(list.find("removed\t0\t"), std::string::npos) << list;
  EXPECT_NE(list.find("/empty"), std::string::npos);

  // Bad input to a hook is refused with a non-zero status.
  EXPECT_NE(RunTool({"--share", Share(), "remove", "/../etc"}, dir.Sub("bad.out")), 0);
  EXPECT_NE(RunTool({"--share", Share(), "remove", "/never"}, dir.Sub("bad.out")), 0);

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
}

TEST_F(ServerCliTest, FaultFlagsAndAccountsApplyToTheServedProtocol) {
  StartServer({"--fault-result", "/x=13", "--user", "bob:pw"});
  RawConn c(port);
  Bytes dl;
  dl.header(3, SCMD_EVT_SEND).secstr(SPROTO_ID_SESSION, "s1").sec64(SPROTO_ID_SID, 0);
  dl.secstr(SPROTO_ID_PATH, "/x").sec32(SPROTO_ID_SYNC_BLOCK, 3);
  ASSERT_TRUE(c.Send(dl));
  Bytes want;
  want.header(4, SCMD_EVT_SEND).sec8(SPROTO_ID_RES, SPROTO_RES_KELVODISABLED);
  want.sec32(SPROTO_ID_ALIVE, 60);
  EXPECT_EQ(Hex(c.Recv(want.str().size())), Hex(want));

  // A wrong password for a configured account.
  Bytes check;
  check.header(3, SCMD_USER_CHECK).secstr(SPROTO_ID_USER, "bob");
  std::string enc;
  SyncPassEnc("wrong", enc);
  check.secvar(SPROTO_ID_PASSWD, enc);
  ASSERT_TRUE(c.Send(check));
  Bytes refused;
  refused.header(4, SCMD_USER_CHECK).sec8(SPROTO_ID_RES, SPROTO_RES_PASSERR);
  EXPECT_EQ(Hex(c.Recv(refused.str().size())), Hex(refused));

  server.Signal(SIGINT);
  EXPECT_EQ(server.Wait(), 0);
}

// Staged files of every work area in the state directory.
std::vector<std::string> StagedFiles(const std::string& state) {
  std::vector<std::string> out;
  DIR* work = opendir((state + "/work").c_str());
  while (struct dirent* area = work ? readdir(work) : nullptr) {
    std::string a = area->d_name;
    if (a == "." || a == "..") continue;
    DIR* d = opendir((state + "/work/" + a).c_str());
    while (struct dirent* e = d ? readdir(d) : nullptr) {
      if (std::string(e->d_name).rfind("stage.", 0) == 0) out.push_back(a + "/" + e->d_name);
    }
    if (d) closedir(d);
  }
  if (work) closedir(work);
  return out;
}

TEST_F(ServerCliTest, AKillMidUploadLeavesNeitherPartialFileNorLeftovers) {
  StartServer();
  const size_t size = 400000;
  RawConn c(port);
  Bytes req;
  req.header(3, SCMD_EVT_RECV_2).secstr(SPROTO_ID_SESSION, "s1").sec32(SPROTO_ID_META_BLOCK, 0);
  req.sec64(SPROTO_ID_SID, 0).secstr(SPROTO_ID_PATH, "/big").sec8(SPROTO_ID_FILETYPE, SFT_FILE);
  req.sec32(SPROTO_ID_SYNC_BLOCK, 3).sec32(SPROTO_ID_DATA_BLOCK, 1).sec8(SPROTO_ID_DELTATYPE, 0);
  req.sec64(SPROTO_ID_FILESIZE, size).secstr(SPROTO_ID_FILEHASH, std::string(32, '0'));
  ASSERT_TRUE(c.Send(req));
  ASSERT_EQ(Hex(c.Recv(5)), Hex(Golden("upload_ack_file.hex")));
  Bytes part;
  part.sec8(SPROTO_ID_DELTATYPE, 0).sec64(SPROTO_ID_DELTALEN, size);
  // Enough blocks for the server to have written some of them.
  for (uint32_t i = 0; i < 40; ++i) {
    part.sec32(SPROTO_ID_DELTAID, i).secvar(SPROTO_ID_DELTADATA, std::string(8192, 'k'));
  }
  ASSERT_TRUE(c.Send(part));
  const std::string state = Share() + ".sfstate";
  ASSERT_TRUE(WaitFor([&] {
    auto staged = StagedFiles(state);
    struct stat st;
    return staged.size() == 1 && stat((state + "/work/" + staged[0]).c_str(), &st) == 0 &&
           st.st_size >= 32 * 8192;
  }));
  server.Signal(SIGKILL);
  ASSERT_EQ(server.Wait(), 128 + SIGKILL);
  EXPECT_FALSE(PathExists(Share() + "/big"));

  unlink(dir.Sub("port").c_str());
  StartServer();
  EXPECT_TRUE(StagedFiles(state).empty());
  EXPECT_FALSE(PathExists(Share() + "/big"));
  ASSERT_EQ(RunTool({"--share", Share(), "list"}, dir.Sub("list.out")), 0);
  EXPECT_EQ(ReadFile(dir.Sub("list.out")), "");
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
}

TEST_F(ServerCliTest, BadArgumentsAreRefused) {
  EXPECT_EQ(RunTool({"--port", "0"}, dir.Sub("o")), 2);  // no share
  EXPECT_EQ(RunTool({"--share", Share(), "--fault-result", "/x"}, dir.Sub("o")), 2);
  EXPECT_EQ(RunTool({"--share", Share(), "--bogus"}, dir.Sub("o")), 2);
  EXPECT_EQ(RunTool({"--share", dir.Sub("missing"), "--port", "0"}, dir.Sub("o")), 1);
}

}  // namespace
}  // namespace sftest
