#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "client/core/sysinfo-mgr.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"

namespace {

using sftest::TempDir;
using sftest::WriteFile;

class SysInfoTest : public ::testing::Test {
 protected:
  std::wstring Write(const std::string& text) {
    WriteFile(dir.Sub("client.conf"), text);
    return Utf8ToWideLossy(dir.Sub("client.conf"));
  }
  TempDir dir;
};

TEST_F(SysInfoTest, LoadsKeysAndDerivesDatabasePaths) {
  std::string enc;
  SyncPassEnc("pr0xy pass", enc);
  SFSysInfo s(Write("session = S-1\nserver = 10.1.2.3\nport = 6690\nwatch = /w\n"
                    "db_loc = /d\nUseSSL = true\nSSLCAFile = /etc/ca.pem\nSSLCertPin = ab:CD\n"
                    "UseProxy = true\nProxySrvIP = 1.1.1.1\n"
                    "ProxySrvPort = 3128\nProxyPassword = \"" +
                    enc +
                    "\"\nis_share = true\n"
                    "worker_count = 5\nproto_version = 3\nConnectionMode = x\n"
                    "trash_max_days = 7\ntrash_max_mb = 0\n")
                  .c_str());
  EXPECT_TRUE(s.ConfigRead());
  EXPECT_EQ(s.SessionGet(), L"S-1");
  EXPECT_EQ(s.IPGet(), L"10.1.2.3");
  EXPECT_EQ(s.PortGet(), 6690);
  EXPECT_EQ(s.FolderLocGet(), L"/w");
  EXPECT_EQ(s.CFEDBLocGet(), L"/d/event-db.sqlite");
  EXPECT_EQ(s.SignLocGet(), L"/d/sign");
  EXPECT_EQ(s.CFSTATDBLocGet(), L"/d/file-status.sqlite");
  EXPECT_EQ(s.CWINFODBLocGet(), L"/d/watch-info.sqlite");
  EXPECT_EQ(s.EXCEPLISTLocGet(), L"/d/excep.list");
  EXPECT_TRUE(s.IsUseSSL());
  EXPECT_EQ(s.SSLCAFileGet(), L"/etc/ca.pem");
  EXPECT_EQ(s.SSLCertPinGet(), L"ab:CD");
  EXPECT_FALSE(s.IsEncrypt());  // never loaded
  EXPECT_TRUE(s.IsUseProxy());
  EXPECT_EQ(s.ProxySrvPortGet(), 3128);
  EXPECT_EQ(s.ProxyUsrPasswordGet(), L"pr0xy pass");
  EXPECT_TRUE(s.IsShare());
  EXPECT_EQ(s.WorkerCountGet(), 5);
  EXPECT_EQ(s.ProtoVersionGet(), 3);
  EXPECT_EQ(s.CnModeGet(), L"x");
  EXPECT_EQ(s.TrashLocGet(), L"/d/trash");
  EXPECT_EQ(s.TrashMaxDaysGet(), 7);
  EXPECT_EQ(s.TrashMaxMBGet(), 0);  // the trash off
}

TEST_F(SysInfoTest, TrailingSlashesOfFoldersAreDropped) {
  SFSysInfo s(Write("watch = /w/sync//\ndb_loc = /d/\n").c_str());
  EXPECT_EQ(s.FolderLocGet(), L"/w/sync");
  EXPECT_EQ(s.DBLocGet(), L"/d");
  EXPECT_EQ(s.CFEDBLocGet(), L"/d/event-db.sqlite");
  SFSysInfo root(Write("watch = /\n").c_str());
  EXPECT_EQ(root.FolderLocGet(), L"/");
}

TEST_F(SysInfoTest, DefaultsForUserClientWorkersAndProtocol) {
  SFSysInfo s(Write("session = secret-S\nnative_client = True\n").c_str());
  EXPECT_EQ(s.UserGet(), L"secret-S");
  // The client name names conflict copies on the share: without `client`
  // and `user` it is the host's name, never the session, and fit for a
  // file name.
  const std::wstring client = s.ClientGet();
  EXPECT_EQ(client.find(L"secret"), std::wstring::npos);
  ASSERT_FALSE(client.empty());
  EXPECT_EQ(client.find_first_not_of(L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                     L"0123456789-_"),
            std::wstring::npos)
      << client;
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  const std::string first = std::string(host).substr(0, std::string(host).find('.'));
  if (first.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
      std::string::npos) {
    EXPECT_EQ(client, std::wstring(first.begin(), first.end()));
  }
  SFSysInfo named(Write("session = secret-S\nclient = \"my laptop\"\n").c_str());
  EXPECT_EQ(named.ClientGet(), L"my laptop");
  EXPECT_FALSE(s.IsNativeClient());  // only exactly "true" is true
  EXPECT_EQ(s.WorkerCountGet(), 3);
  EXPECT_EQ(s.ProtoVersionGet(), 40);
  EXPECT_EQ(s.TrashMaxDaysGet(), 30);
  EXPECT_EQ(s.TrashMaxMBGet(), 1024);

  // A bound that is not a plain number keeps the default (and is logged),
  // rather than turning the trash off as 0 would.
  SFSysInfo n(Write("session = S\nuser = u\nnative_client = true\nproto_version = 41\n"
                    "trash_max_days = 2w\ntrash_max_mb = -5\n")
                  .c_str());
  EXPECT_EQ(n.TrashMaxDaysGet(), 30);
  EXPECT_EQ(n.TrashMaxMBGet(), 1024);
  EXPECT_EQ(n.ClientGet(), L"u@Stowbay");
  EXPECT_TRUE(n.IsNativeClient());
  EXPECT_EQ(n.WorkerCountGet(), 2);
  EXPECT_EQ(n.ProtoVersionGet(), 41);
}

// Nothing is made up for a file that cannot be used: made-up values would
// name a stranger's server and folders the user never chose. (Start-up
// refuses such a file before it gets here.)
TEST_F(SysInfoTest, MalformedFileConfiguresNothing) {
  testing::internal::CaptureStderr();
  SFSysInfo s(Write("session = S\nserver = 10.0.0.1\nport = 6690\nbroken line\n").c_str());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("line 4 is not `key = value`"), std::string::npos) << err;
  EXPECT_FALSE(s.ConfigRead());
  EXPECT_EQ(s.FolderLocGet(), L"");
  EXPECT_EQ(s.DBLocGet(), L"");
  EXPECT_EQ(s.IPGet(), L"");
  EXPECT_EQ(s.PortGet(), 0);
  EXPECT_EQ(s.SessionGet(), L"");
  EXPECT_EQ(s.PassGet(), L"");
}

TEST_F(SysInfoTest, ReloadIpChangesOnlyAddressAndPort) {
  std::wstring path = Write("session = S\nserver = a\nport = 1\nwatch = /w\n");
  SFSysInfo s(path.c_str());
  Write("session = T\nserver = b\nport = 2\nwatch = /other\n");
  s.ReloadIP(path.c_str());
  EXPECT_EQ(s.IPGet(), L"b");
  EXPECT_EQ(s.PortGet(), 2);
  EXPECT_EQ(s.SessionGet(), L"S");
  EXPECT_EQ(s.FolderLocGet(), L"/w");
  Write("server = \n");  // malformed: nothing changes
  s.ReloadIP(path.c_str());
  EXPECT_EQ(s.IPGet(), L"b");
  // A file without the address must not leave the client with none.
  Write("session = S\nport = 3\n");
  s.ReloadIP(path.c_str());
  EXPECT_EQ(s.IPGet(), L"b");
  EXPECT_EQ(s.PortGet(), 2);
}

TEST_F(SysInfoTest, ConcurrentReloadAndReadsSeeWholeValues) {
  std::wstring path = Write("server = aaaaaaaaaaaaaaaa\nport = 1\n");
  SFSysInfo s(path.c_str());
  std::wstring other = Utf8ToWideLossy(dir.Sub("b.conf"));
  WriteFile(dir.Sub("b.conf"), "server = bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb\nport = 2\n");
  std::thread reloader([&] {
    for (int i = 0; i < 200; ++i) s.ReloadIP(i % 2 ? path.c_str() : other.c_str());
  });
  for (int i = 0; i < 2000; ++i) {
    std::wstring ip = s.IPGet();
    ASSERT_TRUE(ip == L"aaaaaaaaaaaaaaaa" || ip == std::wstring(40, L'b')) << i;
  }
  reloader.join();
}

}  // namespace
