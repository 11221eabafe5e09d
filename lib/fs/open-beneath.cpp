#include "lib/fs/open-beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "lib/base/errors.h"
#include "lib/fs/file-ops.h"

namespace {

std::atomic<bool> g_walk_only{false};
std::atomic<bool> g_no_openat2{false};  // the kernel has no such call

// Tries the lookup a few times when a rename elsewhere in the tree races it.
constexpr int kOpenat2Attempts = 4;

[[nodiscard]] int SplitRel(const std::string& rel, std::vector<std::string>& names) {
  if (rel.find('\0') != std::string::npos) return ERR_INVAL;
  size_t start = rel.find_first_not_of('/');
  if (start == std::string::npos) return ERR_INVAL;  // the root itself
  for (;;) {
    const size_t end = rel.find('/', start);
    std::string name =
        rel.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (name.empty() || name == "." || name == "..") return ERR_INVAL;
    names.push_back(std::move(name));
    if (end == std::string::npos) return 0;
    start = end + 1;
  }
}

std::string Join(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names) {
    if (!s.empty()) s += '/';
    s += n;
  }
  return s;
}

// The kernel's whole-path lookup. False when it cannot be used here (the
// walk decides then); otherwise true with `fd` open, or -1 and errno set.
[[nodiscard]] bool Openat2(int root_fd, const std::string& path, uint64_t flags, int& fd) {
#ifdef SYS_openat2
  if (g_walk_only.load(std::memory_order_relaxed) || g_no_openat2.load(std::memory_order_relaxed))
    return false;
  struct open_how how {};
  how.flags = flags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < kOpenat2Attempts; ++attempt) {
    const long r = ::syscall(SYS_openat2, root_fd, path.c_str(), &how, sizeof(how));
    if (r >= 0) {
      fd = static_cast<int>(r);
      return true;
    }
    if (errno == EAGAIN || errno == EINTR) continue;
    if (errno == ENOSYS) {
      g_no_openat2.store(true, std::memory_order_relaxed);
      return false;
    }
    // A seccomp filter that refuses calls it does not know (EPERM), or a
    // kernel without one of the flags: the walk works everywhere.
    if (errno == EPERM || errno == EINVAL || errno == E2BIG) return false;
    fd = -1;
    return true;
  }
  return false;
#else
  (void)root_fd;
  (void)path;
  (void)flags;
  (void)fd;
  return false;
#endif
}

int OpenError(int err) {
  if (err == ENOENT || err == ENOTDIR) return ERR_NOENT;
  if (err == ELOOP || err == EXDEV) return ERR_CONFLICT;
  errno = err;
  return ERR_SYS;
}

// Opens the folders on the way to the last name, none of them through a
// link. `parent` is the last one's descriptor (`root_fd` itself for a name
// at the top; `held` owns any other).
[[nodiscard]] int WalkToParent(int root_fd, const std::vector<std::string>& names, UniqueFd& held,
                               int& parent) {
  parent = root_fd;
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    const char* name = names[i].c_str();
    const int fd = ::openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      if (err == ENOENT) return ERR_NOENT;
      if (err != ENOTDIR && err != ELOOP) {
        errno = err;
        return ERR_SYS;
      }
      // Only to tell the two refusals apart; the open above is the check.
      struct stat st;
      if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return ERR_CONFLICT;
      return ERR_NOENT;
    }
    held.reset(fd);
    parent = fd;
  }
  return 0;
}

// The folder holding the last name: the kernel's lookup where it can, else
// the walk. Results as WalkToParent.
[[nodiscard]] int ParentBeneath(int root_fd, const std::vector<std::string>& names, UniqueFd& held,
                                int& parent) {
  parent = root_fd;
  if (names.size() < 2) return 0;
  const std::vector<std::string> up(names.begin(), names.end() - 1);
  int fd = -1;
  if (!Openat2(root_fd, Join(up), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, fd))
    return WalkToParent(root_fd, names, held, parent);
  if (fd < 0) return OpenError(errno);
  held.reset(fd);
  parent = fd;
  return 0;
}

}  // namespace

int SetMtimeBeneath(int root_fd, const std::string& rel, time_t mtime) {
  std::vector<std::string> names;
  if (SplitRel(rel, names) != 0) return ERR_INVAL;
  UniqueFd held;
  int parent = -1;
  const int r = ParentBeneath(root_fd, names, held, parent);
  if (r != 0) return r;
  struct timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = FSIsFat() ? (mtime & ~time_t{1}) : mtime;
  ts[1].tv_nsec = 0;
  if (::utimensat(parent, names.back().c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT || errno == ENOTDIR ? ERR_NOENT : ERR_SYS;
  return 0;
}

int StatBeneath(int root_fd, const std::string& rel, struct stat& st) {
  std::vector<std::string> names;
  if (SplitRel(rel, names) != 0) return ERR_INVAL;
  int fd = -1;
  if (Openat2(root_fd, Join(names), O_PATH | O_NOFOLLOW | O_CLOEXEC, fd)) {
    if (fd < 0) return OpenError(errno);
    UniqueFd item(fd);
    if (::fstat(fd, &st) != 0) return ERR_SYS;
    return 0;
  }
  UniqueFd held;
  int parent = -1;
  const int r = WalkToParent(root_fd, names, held, parent);
  if (r != 0) return r;
  if (::fstatat(parent, names.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT || errno == ENOTDIR ? ERR_NOENT : ERR_SYS;
  return 0;
}

int OpenReadBeneath(int root_fd, const std::string& rel, UniqueFd& out, struct stat& st) {
  std::vector<std::string> names;
  if (SplitRel(rel, names) != 0) return ERR_INVAL;
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = -1;
  if (Openat2(root_fd, Join(names), kFlags, fd)) {
    if (fd < 0) return OpenError(errno);
  } else {
    UniqueFd held;
    int parent = -1;
    const int r = WalkToParent(root_fd, names, held, parent);
    if (r != 0) return r;
    fd = ::openat(parent, names.back().c_str(), kFlags);
    if (fd < 0) return OpenError(errno);
  }
  UniqueFd file(fd);
  if (::fstat(fd, &st) != 0) return ERR_SYS;
  if (!S_ISREG(st.st_mode)) return ERR_NOENT;
  // Regular files ignore O_NONBLOCK for reads; it only kept a fifo from
  // blocking the open.
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) return ERR_SYS;
  out = std::move(file);
  return 0;
}

void SetBeneathWalkOnly(bool walk_only) {
  g_walk_only.store(walk_only, std::memory_order_relaxed);
}
