// POSIX implementation of the file operations layer (historical module name).
#include "lib/fs/file-ops.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/base/log.h"
#include "lib/base/mutex.h"
#include "lib/base/tap-thread.h"
#include "lib/base/utility.h"
#include "lib/fs/trash.h"

namespace {

constexpr wchar_t kLogComponent[] = L"file_op_debug";

// Large enough that a big file costs few system calls, and that handing a
// chunk to a copy's tap thread is rare next to the work on it.
constexpr size_t kCopyChunk = size_t{256} * 1024;
constexpr int kMktempAttempts = 100;

#ifndef EXFAT_SUPER_MAGIC
constexpr long kExfatMagic = 0x2011BAB0;
#else
constexpr long kExfatMagic = EXFAT_SUPER_MAGIC;
#endif

std::atomic<bool> g_is_fat{false};
std::atomic<bool> g_has_hook{false};
Mutex g_hook_mutex;
std::shared_ptr<const FSFaultHook> g_hook GUARDED_BY(g_hook_mutex);
std::atomic<unsigned> g_seed{0};
Mutex g_mktemp_lock;
Mutex g_trash_mutex;

// Wide path to the system's bytes. Refuses what has no faithful encoding:
// a lossy conversion could name a different file.
[[nodiscard]] bool ToNative(const std::wstring& w, std::string& out) {
  if (w.find(L'\0') != std::wstring::npos || NativeStrToUTF8(w, out) != 0) {
    errno = EINVAL;
    return false;
  }
  if (w.empty()) out.clear();
  return true;
}

// True (with errno set) when a fault hook fails this step.
bool Injected(FSOp op, const std::wstring& path) {
  if (!g_has_hook.load(std::memory_order_acquire)) return false;
  std::shared_ptr<const FSFaultHook> hook;
  {
    MutexLock g(g_hook_mutex);
    hook = g_hook;
  }
  const int err = hook ? (*hook)(op, path) : 0;
  if (err == 0) return false;
  errno = err;
  return true;
}

bool Injected(FSOp op, const std::string& npath) {
  return g_has_hook.load(std::memory_order_acquire) && Injected(op, Utf8ToWideLossy(npath));
}

uint32_t ClampTime(time_t t) {
  if (t < 0) return 0;
  if (static_cast<unsigned long long>(t) > UINT32_MAX) return UINT32_MAX;
  return static_cast<uint32_t>(t);
}

int64_t ChangeTimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

FILE_TYPE TypeOfMode(mode_t m) {
  if (S_ISLNK(m)) return FT_SLINK;
  if (S_ISDIR(m)) return FT_DIR;
  if (S_ISREG(m)) return FT_FILE;
  return FT_ERR;
}

FILE_TYPE TypeOfDirent(unsigned char t) {
  switch (t) {
    case DT_LNK:
      return FT_SLINK;
    case DT_DIR:
      return FT_DIR;
    case DT_REG:
      return FT_FILE;
    default:
      return FT_ERR;
  }
}

// The directory holding `path` ("." for a bare name).
std::string ParentOf(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.find_last_of('/', end);
  if (slash == std::string::npos) return ".";
  size_t keep = path.find_last_not_of('/', slash);
  return keep == std::string::npos ? "/" : path.substr(0, keep + 1);
}

[[nodiscard]] int FsyncPath(const std::string& path, int flags) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags));
  if (!fd.valid()) return -1;
  return ::fsync(fd.get());
}

}  // namespace

void FSSetFaultHook(FSFaultHook hook) {
  MutexLock g(g_hook_mutex);
  g_hook = hook ? std::make_shared<const FSFaultHook>(std::move(hook)) : nullptr;
  g_has_hook.store(g_hook != nullptr, std::memory_order_release);
}

bool FSFaultInjected(FSOp op, const std::wstring& path) {
  return Injected(op, path);
}

void DIR_HANDLE::Closer::operator()(DIR* d) const {
  if (d) ::closedir(d);
}

int FSInit(const std::wstring& root) {
  std::string nroot;
  if (root.empty() || root[0] != L'/' || !ToNative(root, nroot)) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSInit: Invalid path (%s)\n", root);
    return -1;
  }
  struct statfs sf;
  if (::statfs(nroot.c_str(), &sf) != 0) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): GetVolumeInformation: Error code %d\n", errno);
    return -1;
  }
  const wchar_t* name = nullptr;
  if (static_cast<long>(sf.f_type) == MSDOS_SUPER_MAGIC) name = L"vfat";
  if (static_cast<long>(sf.f_type) == kExfatMagic) name = L"exfat";
  if (name != nullptr) {
    SF_LOG(L_WARNING, L"[WARNING] file-op-win(%d): Detect a non-NTFS platform (%s)\n", name);
    g_is_fat = true;
  }
  return 0;
}

bool FSIsFat() {
  return g_is_fat;
}

void FSSetFat(bool fat) {
  g_is_fat = fat;
}

void FSStampOf(const struct stat& st, FILE_INFO& info) {
  info.dev = static_cast<uint64_t>(st.st_dev);
  info.ino = static_cast<uint64_t>(st.st_ino);
  info.nlink = static_cast<uint64_t>(st.st_nlink);
  info.ctime_ns = ChangeTimeNs(st);
}

int FSStat(const std::wstring& path, FILE_INFO& info) {
  std::string npath;
  struct stat st;
  if (!ToNative(path, npath) || Injected(FSOP_STAT, path) || ::lstat(npath.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      info.isExist = false;
      return 0;
    }
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSStat: Failed on %s. Error code %d\n", path, errno);
    return -1;
  }
  FSInfoFromStat(path, st, info);
  return 0;
}

void FSInfoFromStat(const std::wstring& path, const struct stat& st, FILE_INFO& info) {
  info.isExist = true;
  info.path = path;
  info.type = TypeOfMode(st.st_mode);
  info.size = info.type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
  info.mtime = ClampTime(st.st_mtime);
  info.ctime = ClampTime(st.st_ctime);
  FSStampOf(st, info);
}

bool IsFileExist(const std::wstring& path) {
  if (path.empty()) return false;
  FILE_INFO info;
  return FSStat(path, info) == 0 && info.isExist;
}

int FSOpenDir(const std::wstring& path, int flag, DIR_HANDLE& h) {
  h.path = path;
  h.flag = flag;
  h.handle.reset();
  h.started = false;
  return 0;
}

int FSReadDir(DIR_HANDLE& h, DIR_ENTRY& e) {
  if (!h.started) {
    h.started = true;
    std::string npath;
    if (h.path.empty() || !ToNative(h.path, npath) || Injected(FSOP_LISTDIR, h.path)) return -1;
    h.handle.reset(::opendir(npath.c_str()));
    if (!h.handle) return -1;
  }
  if (!h.handle) return -1;
  for (;;) {
    errno = 0;
    struct dirent* d = ::readdir(h.handle.get());
    if (d == nullptr) return errno == 0 ? 0 : -1;
    std::wstring name;
    if (UTF8ToNativeStr(d->d_name, name) != 0) {
      SF_LOG(L_WARNING,
             L"[WARNING] file-op-win(%d): FSReadDir: skipping a name in '%s' that is not UTF-8\n",
             h.path);
      continue;
    }
    FILE_TYPE type = TypeOfDirent(d->d_type);
    uint32_t mtime = 0;
    uint64_t size = 0;
    uint64_t ino = 0;
    int64_t ctime_ns = 0;
    if (d->d_type == DT_UNKNOWN || (h.flag & FS_DIR_STAT)) {
      struct stat st;
      if (::fstatat(::dirfd(h.handle.get()), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed since the listing saw it
        if (d->d_type == DT_UNKNOWN) type = FT_ERR;
      } else {
        type = TypeOfMode(st.st_mode);
        if (h.flag & FS_DIR_STAT) {
          mtime = ClampTime(st.st_mtime);
          if (type == FT_FILE) size = static_cast<uint64_t>(st.st_size);
          ino = static_cast<uint64_t>(st.st_ino);
          ctime_ns = ChangeTimeNs(st);
        }
      }
    }
    e.name = std::move(name);
    e.type = type;
    e.mtime = mtime;
    e.size = size;
    e.ino = ino;
    e.ctime_ns = ctime_ns;
    return 1;
  }
}

int FSCloseDir(DIR_HANDLE& h) {
  h.handle.reset();
  h.path.clear();
  return 0;
}

int TraverseDir(const std::wstring& dir, FN_ACT_TRAVERSE_DIR fn, void* priv) {
  if (fn(dir, priv) != 0) return -2;
  FILE_INFO info;
  if (FSStat(dir, info) != 0 || !info.isExist || info.type != FT_DIR) {
    SF_LOG(L_DEBUG, L"[DEBUG] file-op-win(%d): TraverseDir: '%s' is not directory, stop here\n",
           dir);
    return 0;
  }
  DIR_HANDLE h;
  FSOpenDir(dir, 0, h);
  DIR_ENTRY e;
  int r = FSReadDir(h, e);
  if (r < 0) return -1;
  for (; r == 1; r = FSReadDir(h, e)) {
    if (e.name == L"." || e.name == L"..") continue;
    const std::wstring child = dir + L"/" + e.name;
    const bool stop = e.type == FT_DIR ? TraverseDir(child, fn, priv) < 0 : fn(child, priv) != 0;
    if (stop) {
      SF_LOG(L_NOTICE, L"[NOTE] file-op-win(%d): TraverseDir: stopped at '%s'\n", child);
      break;
    }
  }
  FSCloseDir(h);
  return 0;
}

int FSRename(const std::wstring& from, const std::wstring& to) {
  std::string nfrom, nto;
  if (!ToNative(from, nfrom) || !ToNative(to, nto)) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSRename: error code %d\n", errno);
    return -1;
  }
  // Flush the data before the name points at it, or a crash could leave the
  // destination replaced by an empty or partial file. O_NONBLOCK keeps a fifo
  // from blocking the open; a source we may not read is moved unflushed.
  UniqueFd src(::open(nfrom.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (src.valid() && ::fsync(src.get()) != 0 && errno != EINVAL && errno != EROFS) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSRename: error code %d\n", errno);
    return -1;
  }
  src.reset();
  if (Injected(FSOP_RENAME, from) || ::rename(nfrom.c_str(), nto.c_str()) != 0) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSRename: error code %d\n", errno);
    return -1;
  }
  // The move has happened; a failed directory flush only weakens durability.
  const std::string to_dir = ParentOf(nto), from_dir = ParentOf(nfrom);
  if (FsyncPath(to_dir, O_DIRECTORY) != 0 ||
      (from_dir != to_dir && FsyncPath(from_dir, O_DIRECTORY) != 0)) {
    SF_LOG(L_WARNING,
           L"[WARNING] file-op-win(%d): FSRename: cannot flush directory of '%s': error code %d\n",
           to, errno);
  }
  return 0;
}

int FSCopy(const std::wstring& from, const std::wstring& to, bool isDelOrigin) {
  return FSCopy(from, to, isDelOrigin, FSCopyTap());
}

namespace {

// How a read through a file ended.
enum ReadRc { READ_OK, READ_FAILED, USE_FAILED, TAP_FAILED };
struct ReadEnd {
  ReadRc rc;
  uint64_t bytes;
  int err;  // errno of a failed read or use (the tap's thread may clobber it)
};

// Reads `fd` from its offset to its end once. Every chunk goes to `use` on
// the caller's thread and then to `tap`, which gets a thread of its own for
// a file (of `size_hint` bytes) big enough that the overlap pays for it.
// With `hook` FSOP_READ, the fault hook is asked before each read (a copy
// asks before its writes instead).
ReadEnd ReadThrough(int fd, uint64_t size_hint, const FSCopyTap& tap, const FSCopyTap& use,
                    FSOp hook) {
  // (The buffer is left uninitialised: a small file touches only the pages
  // it fills.)
  std::unique_ptr<TapThread> tapper;
  std::unique_ptr<char[]> own;
  if (tap && size_hint > kCopyChunk)
    tapper = std::make_unique<TapThread>(tap, kCopyChunk);
  else
    own.reset(new char[kCopyChunk]);
  uint64_t total = 0;
  for (;;) {
    char* const buf = tapper ? tapper->Next() : own.get();
    ssize_t n =
        hook == FSOP_READ && Injected(FSOP_READ, std::wstring()) ? -1 : ::read(fd, buf, kCopyChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {READ_FAILED, total, errno};
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    if (use && use(buf, static_cast<size_t>(n)) != 0) return {USE_FAILED, total, errno};
    if (tapper ? !tapper->Submit(static_cast<size_t>(n))
               : tap && tap(buf, static_cast<size_t>(n)) != 0)
      return {TAP_FAILED, total, 0};
  }
  if (tapper && !tapper->Finish()) return {TAP_FAILED, total, 0};
  return {READ_OK, total, 0};
}

}  // namespace

int64_t FSReadThrough(int fd, const FSCopyTap& tap, const FSCopyTap& use) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  const ReadEnd end = ReadThrough(fd, static_cast<uint64_t>(st.st_size), tap, use, FSOP_READ);
  if (end.rc != READ_OK) {
    errno = end.err;
    return -1;
  }
  return static_cast<int64_t>(end.bytes);
}

int FSCopy(const std::wstring& from, const std::wstring& to, bool isDelOrigin,
           const FSCopyTap& tap) {
  std::string nfrom, nto;
  UniqueFd src;
  struct stat sst;
  if (ToNative(from, nfrom)) src.reset(::open(nfrom.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (src.valid()) {
    int serr = 0;
    if (::fstat(src.get(), &sst) != 0)
      serr = errno;
    else if (S_ISDIR(sst.st_mode))
      serr = EISDIR;  // would truncate `to` for nothing
    else if (!S_ISREG(sst.st_mode))
      serr = EINVAL;  // a fifo or device: no content to copy, or endless
    if (serr != 0) {
      src.reset();
      errno = serr;
    }
  }
  if (!src.valid()) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSCopy: Invalid source. Error code %d\n", errno);
    return -1;
  }
  // Open without truncating, so that a destination that is the source itself
  // (same path, or a hard link) is recognised before its bytes are gone.
  UniqueFd dst;
  int err = EINVAL;
  if (ToNative(to, nto)) {
    dst.reset(::open(nto.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    err = errno;
  }
  struct stat dstst;
  if (dst.valid()) {
    // 0, or why the destination cannot take the copy. A copy onto itself is
    // refused before the truncation would empty the source.
    const int unusable = [&]() -> int {
      if (::fstat(dst.get(), &dstst) != 0) return errno;
      if (sst.st_dev == dstst.st_dev && sst.st_ino == dstst.st_ino) return EINVAL;
      if (S_ISREG(dstst.st_mode) && ::ftruncate(dst.get(), 0) != 0) return errno;
      return 0;
    }();
    if (unusable != 0) {
      err = unusable;
      dst.reset();
    }
  }
  if (!dst.valid()) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSCopy: Invalid destination. Error code %d\n", err);
    return -1;
  }

  const ReadEnd end = ReadThrough(
      src.get(), static_cast<uint64_t>(sst.st_size), tap,
      [&](const char* buf, size_t n) {
        for (size_t done = 0; done < n;) {
          ssize_t w = Injected(FSOP_WRITE, to) ? -1 : ::write(dst.get(), buf + done, n - done);
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) {
            if (w == 0) errno = EIO;
            return -1;
          }
          done += static_cast<size_t>(w);
        }
        return 0;
      },
      FSOP_WRITE);
  if (end.rc == READ_FAILED) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSCopy: ReadFile failed with error code %d\n",
           end.err);
    return -1;
  }
  if (end.rc == USE_FAILED) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSCopy: WriteFile failed with error code %d\n",
           end.err);
    return -1;
  }
  if (end.rc == TAP_FAILED) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSCopy: the copy's reader failed\n");
    return -1;
  }
  src.reset();
  if (dst.close() != 0) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSCopy: WriteFile failed with error code %d\n", errno);
    return -1;
  }
  if (isDelOrigin && ::unlink(nfrom.c_str()) != 0) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSCopy: DeleteFile failed with error code %d\n",
           errno);
    return -1;
  }
  return 0;
}

int FSMKDir(const std::wstring& path, bool isCreateParent) {
  if (isCreateParent) return FSMKDirP(path, nullptr, false, -1, -1, 0xffff);
  std::string npath;
  int err = EINVAL;
  if (ToNative(path, npath)) {
    if (!npath.empty() && !Injected(FSOP_MKDIR, path) && ::mkdir(npath.c_str(), 0777) == 0)
      return 0;
    err = npath.empty() ? ENOENT : errno;
    // Something already there counts only if it is (or leads to) a directory.
    struct stat st;
    if (err == EEXIST && ::stat(npath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  }
  SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSMKDirP: error code %d\n", err);
  return -1;
}

int FSMKDirP(const std::wstring& path, const wchar_t* /*endptr*/, bool blForceCreate, int /*uid*/,
             int /*gid*/, int /*mode*/) {
  std::string npath;
  if (path.empty() || !ToNative(path, npath)) return -1;
  // Components start after the root of an absolute path; runs of "/" and a
  // trailing "/" add no component.
  int result = -1;
  size_t pos = npath.find_first_not_of('/');
  if (pos == std::string::npos) {
    struct stat st;
    return ::stat(npath.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
  }
  while (pos != std::string::npos) {
    size_t cut = npath.find('/', pos);
    const std::string prefix = npath.substr(0, cut);
    size_t next = cut == std::string::npos ? cut : npath.find_first_not_of('/', cut);
    const bool last = next == std::string::npos;
    pos = next;

    struct stat lst, st;
    if (::lstat(prefix.c_str(), &lst) == 0) {
      if (::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        result = 0;
        continue;
      }
      if (!blForceCreate) {
        errno = last ? EEXIST : ENOTDIR;
        return -1;
      }
      if (::unlink(prefix.c_str()) != 0) {
        SF_LOG(L_DEBUG, L"[DEBUG] file-op-win(%d): FSMKDirP fail: %s\n", prefix);
        result = -1;
        continue;
      }
    }
    if ((!Injected(FSOP_MKDIR, prefix) && ::mkdir(prefix.c_str(), 0777) == 0) ||
        (errno == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
      SF_LOG(L_DEBUG, L"[DEBUG] file-op-win(%d): FSMKDirP: %s\n", prefix);
      result = 0;
    } else {
      SF_LOG(L_DEBUG, L"[DEBUG] file-op-win(%d): FSMKDirP fail: %s\n", prefix);
      result = -1;
    }
  }
  return result;
}

int FSUTime(const std::wstring& path, time_t /*atime*/, time_t mtime) {
  if (g_is_fat) mtime &= ~static_cast<time_t>(1);
  std::string npath;
  struct timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = mtime;
  ts[1].tv_nsec = 0;
  if (!ToNative(path, npath) || Injected(FSOP_UTIME, path) ||
      ::utimensat(AT_FDCWD, npath.c_str(), ts, 0) != 0) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSUTime: error code %d\n", errno);
    return -1;
  }
  return 0;
}

int FSMktemp(const std::wstring& prefix, std::wstring& path) {
  SF_LOG(L_DEBUG, L"[DEBUG] file-op-win(%d): FSMktemp: prefix [%s], path[%s]\n", prefix, path);
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string nprefix;
  if (!ToNative(prefix, nprefix)) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSMktemp: %s -- %s\n", prefix, ErrnoMessage(errno));
    return -1;
  }
  // O_EXCL makes choosing and creating the name one step: a name someone else
  // took in the meantime fails with EEXIST and we draw another.
  for (int attempt = 0; attempt < kMktempAttempts; ++attempt) {
    // Only the draw is locked: creating the file can take long on a slow
    // disk, and the workers' temporary files must not queue behind it.
    std::string name = "sf";
    {
      MutexLock g(g_mktemp_lock);
      static std::mt19937_64 rng{std::random_device{}()};
      for (int i = 0; i < 10; ++i) name += kAlphabet[rng() % (sizeof(kAlphabet) - 1)];
    }
    const std::string full = nprefix + "/" + name;
    if (Injected(FSOP_MKTEMP, prefix)) break;
    UniqueFd fd(::open(full.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) {
      fd.reset();
      path = prefix + L"/" + Utf8ToWideLossy(name);
      return 0;
    }
    if (errno != EEXIST) break;
  }
  SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSMktemp: %s -- %s\n", prefix, ErrnoMessage(errno));
  return -1;
}

int FSCreateTempPath(const std::wstring& prefix, std::wstring& path) {
  const unsigned n = ++g_seed;
  path = prefix + L"/" + std::to_wstring(n) + L".temp";
  return 0;
}

namespace {

// Removes the contents of the open directory `dfd`; links are unlinked,
// never followed. Returns 0 or -1; keeps going past failures.
[[nodiscard]] int RemoveContents(UniqueFd dfd) {
  const DirPtr d = OpenDirStream(std::move(dfd));
  if (!d) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): RemoveDirectoryRecursive: error code %d\n", errno);
    return -1;
  }
  int result = 0;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d.get());
    if (e == nullptr) {
      if (errno != 0) {
        SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): RemoveDirectoryRecursive: error code %d\n", errno);
        result = -1;
      }
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    bool is_dir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = ::fstatat(::dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISDIR(st.st_mode);
    }
    if (is_dir) {
      UniqueFd sub(
          ::openat(::dirfd(d.get()), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub.valid()) {
        SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): RemoveDirectoryRecursive: error code %d\n", errno);
        result = -1;
      } else if (RemoveContents(std::move(sub)) != 0) {
        result = -1;
      }
      if (::unlinkat(::dirfd(d.get()), e->d_name, AT_REMOVEDIR) != 0) {
        SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): RemoveDirectory: error code %d\n", errno);
        result = -1;
      }
    } else if (::unlinkat(::dirfd(d.get()), e->d_name, 0) != 0) {
      SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): DeleteFile: error code %d\n", errno);
      result = -1;
    }
  }
  return result;
}

// Percent-encodes a path for a .trashinfo record.
std::string TrashEscape(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || std::strchr("/-_.~", c) != nullptr) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

enum TrashResult { kTrashed, kTrashUnavailable, kTrashFailed };

// Moves `npath` into the user's trash. REQUIRES: g_trash_mutex held.
TrashResult MoveToTrash(const std::string& npath, int& err) {
  std::string base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = std::string(xdg) + "/Trash";
  } else if (home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.local/share/Trash";
  } else {
    err = ENOENT;
    return kTrashUnavailable;
  }
  // The trash holds other people's deletions too: keep it private.
  if (FSMKDirP(Utf8ToWideLossy(ParentOf(base)), nullptr, false, -1, -1, 0700) != 0) {
    err = errno;
    return kTrashUnavailable;
  }
  for (const std::string& d : {base, base + "/files", base + "/info"}) {
    if (::mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) {
      err = errno;
      return kTrashUnavailable;
    }
  }
  std::string abs = npath;
  if (abs[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      err = errno;
      return kTrashFailed;
    }
    abs = std::string(cwd) + "/" + abs;
  }
  abs = WithoutTrailingSlashes(abs);
  const std::string name = abs.substr(abs.find_last_of('/') + 1);

  char date[32];
  time_t now = ::time(nullptr);
  struct tm tmv;
  ::localtime_r(&now, &tmv);
  ::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tmv);
  const std::string record =
      "[Trash Info]\nPath=" + TrashEscape(abs) + "\nDeletionDate=" + date + "\n";

  // The .trashinfo file is created exclusively first: it reserves the name.
  for (int n = 1; n < 1000; ++n) {
    const std::string tname = n == 1 ? name : name + "." + std::to_string(n);
    const std::string info = base + "/info/" + tname + ".trashinfo";
    UniqueFd fd(::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      err = errno;
      return kTrashFailed;
    }
    const std::string dest = base + "/files/" + tname;
    if (::write(fd.get(), record.data(), record.size()) != static_cast<ssize_t>(record.size()) ||
        fd.close() != 0 || ::rename(npath.c_str(), dest.c_str()) != 0) {
      err = errno;
      ::unlink(info.c_str());
      return err == EXDEV ? kTrashUnavailable : kTrashFailed;
    }
    return kTrashed;
  }
  err = EEXIST;
  return kTrashFailed;
}

}  // namespace

int FSRemove(const std::wstring& path, bool allowundo) {
  if (path.empty()) return -1;
  FILE_INFO info;
  if (FSStat(path, info) != 0) return -1;
  if (!info.isExist) return 0;
  std::string npath;
  if (!ToNative(path, npath)) return -1;  // FSStat would have failed already

  if (allowundo && TrashOn()) {
    const std::string dir =
        npath.find('/') == std::string::npos
            ? std::string(".")
            : (npath.rfind('/') == 0 ? std::string("/") : npath.substr(0, npath.rfind('/')));
    const UniqueFd parent(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TrashBatch batch;
    const int r = parent.valid() ? batch.Take(parent.get(), npath.substr(npath.rfind('/') + 1),
                                              TrashRelName(path))
                                 : ERR_SYS;
    if (r == kTrashKept) return 0;
    if (r != kTrashSkipped) {
      SF_LOG(L_ERR,
             L"[ERROR] file-op-win(%d): SHFileOperation fail: %s %s  GetLastError:%d   return "
             L"code: %d=%x\n",
             path, npath, errno, r, r);
      return -3;
    }
  } else if (allowundo) {
    MutexLock g(g_trash_mutex);
    int err = 0;
    const TrashResult r = MoveToTrash(npath, err);
    if (r == kTrashed) return 0;
    if (r == kTrashFailed) {
      SF_LOG(L_ERR,
             L"[ERROR] file-op-win(%d): SHFileOperation fail: %s %s  GetLastError:%d   return "
             L"code: %d=%x\n",
             path, npath, err, static_cast<int>(r), static_cast<int>(r));
      return -3;
    }
    SF_LOG(L_WARNING,
           L"[WARNING] file-op-win(%d): FSRemove: no trash for '%s' (error code %d), removing it\n",
           path, err);
  }

  if (info.type == FT_DIR) return RemoveDirectoryRecursive(path);
  if (Injected(FSOP_REMOVE, path)) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSRemove: failed on %s. error code %d\n", path, errno);
    return -1;
  }
  if (info.type != FT_FILE && info.type != FT_SLINK) errno = EPERM;
  if ((info.type != FT_FILE && info.type != FT_SLINK) || ::unlink(npath.c_str()) != 0) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): FSRemove: failed on %s. error code %d\n", path, errno);
    return -1;
  }
  return 0;
}

int RemoveDirectoryRecursive(const std::wstring& path) {
  std::string npath;
  UniqueFd fd;
  if (ToNative(path, npath) && !Injected(FSOP_REMOVE, path))
    fd.reset(::open(npath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): RemoveDirectoryRecursive: error code %d\n", errno);
    return -1;
  }
  int result = RemoveContents(std::move(fd));
  if (::rmdir(npath.c_str()) != 0) {
    SF_LOG(L_ERR, L"[ERROR] file-op-win(%d): RemoveDirectory: error code %d\n", errno);
    result = -1;
  }
  return result;
}

namespace {

// The absolute form of `path` (relative to the working directory) with links
// resolved as far as the path exists; the missing rest is appended with "."
// and ".." applied. Empty when not even "/" resolves.
std::string ResolvePathUtf8(const std::string& path) {
  std::vector<std::string> rest;
  std::string head = path.empty() ? "." : path;
  for (;;) {
    char buf[PATH_MAX];
    if (::realpath(head.c_str(), buf) != nullptr) {
      std::string out = buf;
      for (auto it = rest.rbegin(); it != rest.rend(); ++it) {
        if (*it == "." || it->empty()) continue;
        if (*it == "..") {
          const size_t cut = out.find_last_of('/');
          out.erase(cut == 0 ? 1 : cut);
        } else {
          if (out.back() != '/') out += '/';
          out += *it;
        }
      }
      return out;
    }
    const size_t slash = head.find_last_of('/');
    if (slash == std::string::npos) {
      rest.push_back(head);
      head = ".";
    } else if (slash == 0) {
      if (head.size() == 1) return std::string();
      rest.push_back(head.substr(1));
      head = "/";
    } else {
      rest.push_back(head.substr(slash + 1));
      head.erase(slash);
    }
  }
}

bool SameOrBelowUtf8(const std::string& path, const std::string& folder) {
  if (path.empty() || folder.empty()) return false;
  if (folder == "/") return true;
  return path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

}  // namespace

std::wstring FSResolvePath(const std::wstring& path) {
  return Utf8ToWideLossy(ResolvePathUtf8(WideToUtf8Lossy(path)));
}

bool FSIsSameOrBelow(const std::wstring& path, const std::wstring& folder) {
  return SameOrBelowUtf8(WideToUtf8Lossy(path), WideToUtf8Lossy(folder));
}
