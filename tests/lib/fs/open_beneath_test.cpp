#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <string>

#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/fs/open-beneath.h"

namespace {

using sftest::TempDir;
using sftest::WriteFile;

// A root with a tree inside and private files outside it.
class OpenBeneathTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root = tmp.Sub("root");
    outside = tmp.Sub("outside");
    // Outside: what a path that follows links would reach.
    ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((outside + "/b").c_str(), 0700), 0);
    WriteFile(outside + "/b/f.txt", "private");
    WriteFile(outside + "/secret", "private");
    // Inside: a/b/f.txt, a plain file, links out and in, a fifo.
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/a/b").c_str(), 0755), 0);
    WriteFile(root + "/a/b/f.txt", "inside");
    WriteFile(root + "/file", "plain");
    ASSERT_EQ(::symlink((outside + "/secret").c_str(), (root + "/file-link").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (root + "/dir-link").c_str()), 0);
    ASSERT_EQ(::symlink("..", (root + "/a/up").c_str()), 0);  // stays inside, still a link
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);
    root_fd.reset(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root_fd.valid());
  }
  void TearDown() override { SetBeneathWalkOnly(false); }

  std::string Read(const std::string& rel, int& rc) {
    UniqueFd fd;
    struct stat st {};
    rc = OpenReadBeneath(root_fd.get(), rel, fd, st);
    if (rc != 0) return "";
    std::string s(static_cast<size_t>(st.st_size), '\0');
    if (::read(fd.get(), &s[0], s.size()) != static_cast<ssize_t>(s.size())) return "(short)";
    return s;
  }
  int Stat(const std::string& rel, mode_t& type) {
    struct stat st {};
    const int rc = StatBeneath(root_fd.get(), rel, st);
    type = rc == 0 ? (st.st_mode & S_IFMT) : 0;
    return rc;
  }

  TempDir tmp;
  std::string root, outside;
  UniqueFd root_fd;
};

// Both ways of resolving: the kernel's (where it has openat2) and the walk.
class OpenBeneathTest : public OpenBeneathTree, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    SetBeneathWalkOnly(GetParam());
    OpenBeneathTree::SetUp();
  }
};

TEST_P(OpenBeneathTest, ReadsWhatIsInsideAndNothingALinkLeadsTo) {
  int rc = -1;
  mode_t type = 0;
  EXPECT_EQ(Read("a/b/f.txt", rc), "inside");
  EXPECT_EQ(Read("/a/b/f.txt", rc), "inside");  // an event path's leading "/"
  EXPECT_EQ(Stat("a/b/f.txt", type), 0);
  EXPECT_EQ(type, S_IFREG);
  EXPECT_EQ(Stat("a", type), 0);
  EXPECT_EQ(type, S_IFDIR);

  // A link as the item: described as a link, never opened.
  EXPECT_EQ(Stat("file-link", type), 0);
  EXPECT_EQ(type, S_IFLNK);
  Read("file-link", rc);
  EXPECT_EQ(rc, ERR_CONFLICT);
  // A link on the way, leading out or staying in: refused either way.
  for (const char* p : {"dir-link/secret", "dir-link/b/f.txt", "a/up/file"}) {
    Read(p, rc);
    EXPECT_EQ(rc, ERR_CONFLICT) << p;
    EXPECT_EQ(Stat(p, type), ERR_CONFLICT) << p;
  }

  // The folder swapped for a link after the root was opened: the same path
  // now leads outside, and is refused.
  ASSERT_EQ(::rename((root + "/a").c_str(), (root + "/a.away").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (root + "/a").c_str()), 0);
  Read("a/b/f.txt", rc);
  EXPECT_EQ(rc, ERR_CONFLICT);
  EXPECT_EQ(Stat("a/b/f.txt", type), ERR_CONFLICT);
}

TEST_P(OpenBeneathTest, MissingSpecialAndMalformedItemsAreToldApart) {
  int rc = -1;
  mode_t type = 0;
  for (const char* p : {"missing", "a/missing/f.txt", "file/below-a-file"}) {
    Read(p, rc);
    EXPECT_EQ(rc, ERR_NOENT) << p;
    EXPECT_EQ(Stat(p, type), ERR_NOENT) << p;
  }
  // Not regular files: nothing to read, and a fifo does not block the open.
  Read("a", rc);
  EXPECT_EQ(rc, ERR_NOENT);
  Read("fifo", rc);
  EXPECT_EQ(rc, ERR_NOENT);
  EXPECT_EQ(Stat("fifo", type), 0);
  EXPECT_EQ(type, S_IFIFO);
  for (const char* p :
       {"", "/", "../outside/secret", "a/../file", "a/./b/f.txt", "a//b/f.txt", "a/b/"}) {
    Read(p, rc);
    EXPECT_EQ(rc, ERR_INVAL) << p;
    EXPECT_EQ(Stat(p, type), ERR_INVAL) << p;
  }
}

// A sandbox that refuses openat2 (with EPERM, as container filters do, or
// ENOSYS, as an older kernel does): the same answers come from the walk.
TEST_F(OpenBeneathTree, ASandboxThatRefusesTheCallGetsTheWalk) {
#ifndef SYS_openat2
  GTEST_SKIP() << "no openat2 on this system";
#else
  for (int refusal : {EPERM, ENOSYS}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      struct sock_filter code[] = {
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(refusal)),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      };
      struct sock_fprog prog = {static_cast<unsigned short>(sizeof(code) / sizeof(code[0])), code};
      if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
          ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
        ::_exit(2);
      int rc = -1;
      mode_t type = 0;
      const bool ok = Read("a/b/f.txt", rc) == "inside" && Stat("file-link", type) == 0 &&
                      type == S_IFLNK && Stat("dir-link/secret", type) == ERR_CONFLICT &&
                      (Read("dir-link/b/f.txt", rc), rc == ERR_CONFLICT) &&
                      Stat("file/x", type) == ERR_NOENT;
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "refused with errno " << refusal;
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, OpenBeneathTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? std::string("Walk") : std::string("Openat2");
                         });

}  // namespace
