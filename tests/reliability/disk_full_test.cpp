// A full disk: during an upload's preparation (the file layer's fault hook),
// during a download (a sync root on a small tmpfs, which needs root; the
// tests say so and skip otherwise), and when the user fills the sync root's
// file system while the daemon syncs. Nothing is lost, nothing is left
// half-written, and syncing resumes once there is room.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "fakes/engine-fixture.h"
#include "fakes/sync-cluster.h"
#include "lib/base/errors.h"

namespace {

using sftest::ReadFile;
using sftest::W;
using sftest::WriteFile;

constexpr auto kConverge = std::chrono::seconds(150);

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

size_t Entries(const std::string& dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
  }
  return n;
}

// A size-limited tmpfs mounted over `dir` for the life of the object.
class SmallDisk {
 public:
  SmallDisk(const std::string& dir, const std::string& size) : m_dir(dir) {
    const std::string opt = "size=" + size;
    m_ok = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, opt.c_str()) == 0;
    if (!m_ok) m_why = std::strerror(errno);
  }
  ~SmallDisk() {
    if (m_ok) ::umount2(m_dir.c_str(), MNT_DETACH);
  }
  bool Resize(const std::string& size) {
    const std::string opt = "size=" + size;
    return ::mount("tmpfs", m_dir.c_str(), "tmpfs", MS_REMOUNT, opt.c_str()) == 0;
  }
  bool ok() const { return m_ok; }
  const std::string& why() const { return m_why; }

 private:
  std::string m_dir;
  bool m_ok = false;
  std::string m_why;
};

class UploadDiskFullTest : public EngineTest {
 protected:
  void SetUp() override { SetUpEngine(4); }
};

TEST_F(UploadDiskFullTest, NoSpaceWhilePreparingAnUploadLeavesNothingBehind) {
  // An upload writes no copy of the file: a disk refusing writes does not
  // stop it. One refusing new files stops it before anything is sent.
  int refused = 0;
  for (FSOp op : {FSOP_WRITE, FSOP_MKTEMP}) {
    const std::string p = "/prep-" + std::to_string(op);
    const std::string content = Pattern(300000, op);
    WriteFile(Local(p), content);
    FSSetFaultHook([&](FSOp o, const std::wstring&) {
      if (o != op) return 0;
      ++refused;
      return ENOSPC;
    });
    const int first = Upload(p);
    FSSetFaultHook(nullptr);
    EXPECT_EQ(Entries(Local("/.ZentavoWorkingDirectory")), 0u) << "left in the working directory";
    EXPECT_TRUE(ReadFile(Local(p)) == content);
    if (op == FSOP_WRITE) {
      EXPECT_EQ(first, ERR_OK);
    } else {
      EXPECT_NE(first, ERR_OK) << "an upload prepared on a full disk went through";
      EXPECT_FALSE(sftest::PathExists(Shared(p)));
      ASSERT_EQ(Upload(p), ERR_OK);
    }
    EXPECT_TRUE(ReadFile(Shared(p)) == content);
    EXPECT_EQ(Row(p.substr(1)).syncID, ServerRow(p).sync_id);
  }
  EXPECT_GT(refused, 0);
  std::printf("[ figures  ] disk full while preparing an upload: 2 runs\n");
}

TEST(DiskFullTest, DownloadsToAFullSyncRootWaitForRoomAndLoseNothing) {
  SF_WHOLE_SYSTEM_TEST();
  sftest::SyncCluster c(1);
  SmallDisk disk(c.Root(0), "3m");
  if (!disk.ok()) GTEST_SKIP() << "cannot mount a small tmpfs as the sync root (" << disk.why()
                               << "); this test needs root";
  ASSERT_TRUE(c.StartServer());
  ASSERT_TRUE(c.StartClient(0));
  const std::string mine = Pattern(1 << 20, 1);
  WriteFile(c.Root(0) + "/mine.bin", mine);
  ASSERT_TRUE(c.WaitConverged(kConverge));

  // Four megabytes cannot fit beside the one there.
  const std::string big = Pattern(4 << 20, 2);
  WriteFile(c.Scratch() + "/big.src", big);
  ASSERT_TRUE(c.server().Hook({"put", "/big.bin", c.Scratch() + "/big.src"}));
  ASSERT_TRUE(sftest::WaitFor([&] { return c.client(0).box.ReadLog().find("big.bin") !=
                                           std::string::npos; },
                              std::chrono::seconds(60)));
  EXPECT_TRUE(c.ClientRunning(0));
  EXPECT_FALSE(sftest::PathExists(c.Root(0) + "/big.bin")) << "a partial download took the path";
  EXPECT_TRUE(ReadFile(c.Root(0) + "/mine.bin") == mine);

  ASSERT_TRUE(disk.Resize("32m"));
  ASSERT_TRUE(c.WaitConverged(kConverge));
  EXPECT_TRUE(ReadFile(c.Root(0) + "/big.bin") == big);
  EXPECT_TRUE(ReadFile(c.Root(0) + "/mine.bin") == mine);
  EXPECT_EQ(Entries(c.Root(0) + "/.ZentavoWorkingDirectory"), 0u);
  std::printf("[ figures  ] disk full during a download: 1 run\n");
}

TEST(DiskFullTest, SyncRootFilledByTheUserWhileSyncing) {
  SF_WHOLE_SYSTEM_TEST();
  sftest::SyncCluster c(2);
  SmallDisk disk(c.Root(0), "8m");
  if (!disk.ok()) GTEST_SKIP() << "cannot mount a small tmpfs as the sync root (" << disk.why()
                               << "); this test needs root";
  ASSERT_TRUE(c.StartServer());
  ASSERT_TRUE(c.StartClient(0));
  ASSERT_TRUE(c.StartClient(1));
  sftest::Versions written;
  for (int i = 0; i < 5; ++i) {
    const std::string p = "/own" + std::to_string(i);
    written[p].push_back(Pattern(200000, 10 + i));
    WriteFile(c.Root(0) + p, written[p].back());
  }
  ASSERT_TRUE(c.WaitConverged(kConverge));

  // Client 1 sends new files while the user of client 0 fills its disk.
  for (int i = 0; i < 5; ++i) {
    const std::string p = "/incoming" + std::to_string(i);
    written[p].push_back(Pattern(1 << 20, 20 + i));
    WriteFile(c.Root(1) + p, written[p].back());
  }
  {
    FILE* f = std::fopen((c.Root(0) + "/filler").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string chunk(64 << 10, 'f');
    while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size()) {
    }
    std::fclose(f);
  }
  // The user edits a file on the full disk too; the edit that fits stays.
  written["/own0"].push_back("edited on a full disk");
  WriteFile(c.Root(0) + "/own0", written["/own0"].back());
  ASSERT_TRUE(sftest::WaitFor([&] { return sftest::PathExists(c.Share() + "/incoming4"); },
                              std::chrono::seconds(90)));
  EXPECT_TRUE(c.ClientRunning(0));
  // Then frees the room.
  ASSERT_EQ(unlink((c.Root(0) + "/filler").c_str()), 0);
  ASSERT_TRUE(c.WaitConverged(kConverge));
  for (size_t i = 0; i < 2; ++i)
    EXPECT_EQ(sftest::CheckVersions(sftest::ReadTree(c.Root(i)), written), "") << "client " << i;
  std::printf("[ figures  ] sync root filled by the user: 1 run\n");
}

}  // namespace
