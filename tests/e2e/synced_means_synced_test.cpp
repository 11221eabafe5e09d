// "Synced" only when the server holds what the disk holds: a real daemon
// against the reference server, with the rewrites that keep a file's size
// and time (a tool that writes a temporary file, puts the old time back and
// renames it over the original; an archive extracted with fixed times) and
// a file with two names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <string>

#include "e2e/two-clients.h"

namespace sftest {
namespace {

constexpr time_t kOldTime = 1500000000;
constexpr auto kSettle = std::chrono::seconds(90);

void SetTime(const std::string& path, time_t t) {
  utimbuf b{t, t};
  ASSERT_EQ(utime(path.c_str(), &b), 0) << path;
}

// What the photo tool does: the new bytes go to a temporary file beside
// the original, which takes the original's time and then its place.
void RewriteAsAPhotoToolDoes(const std::string& path, const std::string& bytes) {
  const std::string tmp = path + "_tmp";
  WriteFile(tmp, bytes);
  SetTime(tmp, kOldTime);
  ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
}

// The same file (same inode), other bytes of the same length, old time.
void RewriteInPlace(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(close(fd), 0);
  SetTime(path, kOldTime);
}

class SyncedMeansSyncedTest : public TwoClientsTest {
 protected:
  void SetUp() override {
    StartServer();
    if (HasFatalFailure()) return;
    a = std::make_unique<SyncClient>("alpha", server->port(), 4);
    // Which paths the workers take up, to tell a file that is read from
    // one left alone.
    a->box().WriteLevels({{"worker_debug", 7}});
    ASSERT_TRUE(a->Start());
  }
  // Puts `bytes` at `rel` with the old time before the daemon sees it: the
  // time a synced file keeps.
  void Place(const std::string& rel, const std::string& bytes) {
    const std::string scratch = m_dir.Sub("placing");
    WriteFile(scratch, bytes);
    SetTime(scratch, kOldTime);
    ASSERT_EQ(rename(scratch.c_str(), a->At(rel).c_str()), 0);
  }
  std::string OnServer(const std::string& rel) { return ReadFile(Share() + rel); }
};

TEST_F(SyncedMeansSyncedTest, ARewriteThatKeepsSizeAndTimeIsUploaded) {
  Place("/photo.jpg", std::string(20, 'a'));
  ASSERT_TRUE(Settled(*a, kSettle));
  ASSERT_EQ(OnServer("/photo.jpg"), std::string(20, 'a'));

  RewriteAsAPhotoToolDoes(a->At("/photo.jpg"), std::string(20, 'b'));
  ASSERT_TRUE(Settled(*a, kSettle));
  EXPECT_EQ(OnServer("/photo.jpg"), std::string(20, 'b'));
}

TEST_F(SyncedMeansSyncedTest, RewritesWhileStoppedAreUploadedAndUnchangedFilesAreNotRead) {
  Place("/photo.jpg", std::string(20, 'a'));
  MakeDirs(a->At("/archive"));
  Place("/archive/data.bin", std::string(4000, 'c'));
  Place("/still.txt", "left alone");
  ASSERT_TRUE(Settled(*a, kSettle));

  ASSERT_EQ(a->Stop(), 0);
  // A new file renamed over the old one, and the old file written again
  // where it is (as an archive extracted over it does): both keep their
  // size and time.
  RewriteAsAPhotoToolDoes(a->At("/photo.jpg"), std::string(20, 'b'));
  RewriteInPlace(a->At("/archive/data.bin"), std::string(4000, 'd'));
  const size_t seen = a->Log().size();
  ASSERT_TRUE(a->Start());
  ASSERT_TRUE(Settled(*a, kSettle));
  EXPECT_EQ(OnServer("/photo.jpg"), std::string(20, 'b'));
  EXPECT_EQ(OnServer("/archive/data.bin"), std::string(4000, 'd'));

  // The start-up rescan found nothing new about the file nobody touched: no
  // worker took it up.
  const std::string since = a->Log().substr(seen);
  EXPECT_NE(since.find("processEvent"), std::string::npos) << "no worker line logged";
  for (size_t at = since.find("processEvent"); at != std::string::npos;
       at = since.find("processEvent", at + 1)) {
    const std::string line = since.substr(at, since.find('\n', at) - at);
    EXPECT_EQ(line.find("/still.txt"), std::string::npos) << line;
  }
}

TEST_F(SyncedMeansSyncedTest, AWriteThroughOneNameReachesTheServerUnderEveryName) {
  MakeDirs(a->At("/x"));
  MakeDirs(a->At("/y"));
  WriteFile(a->At("/x/h1"), "first version");
  ASSERT_TRUE(Settled(*a, kSettle));
  ASSERT_EQ(link(a->At("/x/h1").c_str(), a->At("/y/h2").c_str()), 0);
  ASSERT_TRUE(Settled(*a, kSettle));
  ASSERT_EQ(OnServer("/y/h2"), "first version");

  WriteFile(a->At("/x/h1"), "second version, through one name");
  ASSERT_TRUE(Settled(*a, kSettle));
  EXPECT_EQ(OnServer("/x/h1"), "second version, through one name");
  EXPECT_EQ(OnServer("/y/h2"), "second version, through one name");
}

}  // namespace
}  // namespace sftest
