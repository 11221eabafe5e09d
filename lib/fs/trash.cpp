#include "lib/fs/trash.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/base/log.h"
#include "lib/base/mutex.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"
#include "lib/fs/nofollow-walk.h"

namespace {

constexpr wchar_t kLogComponent[] = L"file_op_debug";
constexpr size_t kStampLen = 24;  // "YYYY-MM-DD_HHMMSS.uuuuuu"
constexpr size_t kCopyChunk = 65536;

struct TrashState {
  bool on = false;
  std::string folder;
  std::string root;
  int64_t max_age = 0;
  uint64_t max_bytes = 0;
  std::function<time_t()> clock;
  std::map<std::string, uint64_t> entries;  // stamp folder -> bytes; names sort by age
  uint64_t total = 0;
};

Mutex g_mutex;
TrashState g_state GUARDED_BY(g_mutex);

std::vector<std::string> ListDir(int dirfd) {
  std::vector<std::string> names;
  UniqueFd fd(dup(dirfd));
  if (!fd.valid()) return names;
  const DirPtr d = OpenDirStream(std::move(fd));
  if (!d) return names;
  rewinddir(d.get());
  while (struct dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  return names;
}

// Bytes of file content in the tree at `name` of `dirfd` (links not followed).
uint64_t TreeBytes(int dirfd, const std::string& name) {
  struct stat st;
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  if (!S_ISDIR(st.st_mode)) return 0;
  const UniqueFd fd(openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return 0;
  uint64_t sum = 0;
  for (const std::string& c : ListDir(fd.get())) sum += TreeBytes(fd.get(), c);
  return sum;
}

// The time a stamp folder's name gives, or false for any other name.
[[nodiscard]] bool ParseStamp(const std::string& name, time_t& t) {
  if (name.size() < kStampLen) return false;
  int y, mo, d, h, mi, s, us;
  if (sscanf(name.c_str(), "%4d-%2d-%2d_%2d%2d%2d.%6d", &y, &mo, &d, &h, &mi, &s, &us) != 7)
    return false;
  char again[64];
  snprintf(again, sizeof again, "%04d-%02d-%02d_%02d%02d%02d.%06d", y, mo, d, h, mi, s, us);
  if (name.compare(0, kStampLen, again) != 0) return false;
  if (name.size() > kStampLen) {
    if (name[kStampLen] != '_' || name.size() == kStampLen + 1) return false;
    for (size_t i = kStampLen + 1; i < name.size(); ++i)
      if (name[i] < '0' || name[i] > '9') return false;
  }
  struct tm tmv = {};
  tmv.tm_year = y - 1900;
  tmv.tm_mon = mo - 1;
  tmv.tm_mday = d;
  tmv.tm_hour = h;
  tmv.tm_min = mi;
  tmv.tm_sec = s;
  t = timegm(&tmv);
  return true;
}

time_t Now(const TrashState& s) {
  return s.clock ? s.clock() : time(nullptr);
}

// Drops stamp folders beyond the bounds, oldest first. REQUIRES: g_mutex.
void Evict(TrashState& s) {
  if (s.entries.empty()) return;
  const UniqueFd fd(open(s.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot open '%s': %s\n", s.folder, ErrnoMessage(errno));
    return;
  }
  const time_t now = Now(s);
  while (!s.entries.empty()) {
    const auto oldest = s.entries.begin();
    time_t at = 0;
    const bool expired = ParseStamp(oldest->first, at) && now - at > s.max_age;
    if (!expired && s.total <= s.max_bytes) break;
    if (RemoveTreeAt(fd.get(), oldest->first) != 0) {
      // Left for the next pass; it no longer counts, or nothing could be
      // kept after it.
      SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot remove '%s/%s'\n", s.folder, oldest->first);
    } else {
      SF_LOG(L_NOTICE, L"[NOTICE] trash(%d): removed '%s/%s' (%s)\n", s.folder, oldest->first,
             expired ? L"older than the age limit" : L"over the size limit");
    }
    s.total -= oldest->second;
    s.entries.erase(oldest);
  }
}

std::string NewStampName(const TrashState& s) {
  time_t sec = Now(s);
  long us = 0;
  if (!s.clock) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    sec = ts.tv_sec;
    us = ts.tv_nsec / 1000;
  }
  struct tm tmv = {};
  gmtime_r(&sec, &tmv);
  char buf[64];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d_%02d%02d%02d.%06ld", tmv.tm_year + 1900, tmv.tm_mon + 1,
           tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, us);
  return buf;
}

bool SaneRel(const std::string& rel) {
  if (rel.empty() || rel[0] == '/') return false;
  size_t start = 0;
  for (;;) {
    const size_t slash = rel.find('/', start);
    const std::string c =
        rel.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (c.empty() || c == "." || c == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

int ErrFor(int err) {
  return err == ENOSPC || err == EDQUOT ? ERR_DISKFULL : ERR_SYS;
}

bool SameVersion(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Copies the regular file `name` of `sfd` to the new file `leaf` of `dfd`
// with its mode and times, flushed. A source that changes meanwhile gives
// ERR_INT; no copy is left behind on failure.
[[nodiscard]] int CopyFileAt(int sfd, const std::string& name, int dfd, const std::string& leaf,
                             const std::wstring& shown) {
  const UniqueFd in(openat(sfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat before;
  if (!in.valid() || fstat(in.get(), &before) != 0 || !S_ISREG(before.st_mode)) {
    SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot read '%s': %s\n", shown,
           std::string(in.valid() ? "not a regular file" : ErrnoMessage(errno)));
    return ERR_SYS;
  }
  UniqueFd out(
      openat(dfd, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.valid()) {
    const int err = errno;
    SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot create the copy of '%s': %s\n", shown,
           ErrnoMessage(err));
    return ErrFor(err);
  }
  int err = 0;
  std::vector<char> buf(kCopyChunk);
  for (;;) {
    const ssize_t n = read(in.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = FSFaultInjected(FSOP_WRITE, shown)
                            ? -1
                            : write(out.get(), buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        err = errno;
        break;
      }
      done += w;
    }
    if (err != 0) break;
  }
  if (err == 0) {
    (void)fchmod(out.get(), before.st_mode & 07777);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    (void)futimens(out.get(), times);
    if (fsync(out.get()) != 0 || out.close() != 0) err = errno;
  }
  struct stat after;
  const bool changed = err == 0 && (fstat(in.get(), &after) != 0 || !SameVersion(before, after));
  if (err != 0 || changed) {
    unlinkat(dfd, leaf.c_str(), 0);
    if (changed) {
      SF_LOG(L_NOTICE, L"[NOTICE] trash(%d): '%s' changed while it was copied; left in place\n",
             shown);
      return ERR_INT;
    }
    SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot copy '%s': %s\n", shown, ErrnoMessage(err));
    return ErrFor(err);
  }
  SyncDir(dfd);
  return 0;
}

// Moves entry `name` of `sfd` to `leaf` of `dfd` on another file system:
// copies, then unlinks each original only once its copy is safe. A folder
// whose items could not all be moved stays with what is left in it.
[[nodiscard]] int MoveAcross(int sfd, const std::string& name, int dfd, const std::string& leaf,
                             const std::wstring& shown) {
  struct stat st;
  if (fstatat(sfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : ERR_SYS;
  if (S_ISREG(st.st_mode)) {
    const int r = CopyFileAt(sfd, name, dfd, leaf, shown);
    if (r != 0) return r;
  } else if (S_ISLNK(st.st_mode)) {
    std::vector<char> target(static_cast<size_t>(st.st_size) + 1);
    const ssize_t n = readlinkat(sfd, name.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size() ||
        symlinkat(std::string(target.data(), static_cast<size_t>(n)).c_str(), dfd, leaf.c_str()) !=
            0) {
      const int err = errno;
      SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot copy the link '%s': %s\n", shown,
             ErrnoMessage(err));
      return ErrFor(err);
    }
  } else if (S_ISDIR(st.st_mode)) {
    if (mkdirat(dfd, leaf.c_str(), 0700) != 0 && errno != EEXIST) {
      const int err = errno;
      SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot make '%s' in the trash: %s\n", shown,
             ErrnoMessage(err));
      return ErrFor(err);
    }
    const UniqueFd from(openat(sfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const UniqueFd to(openat(dfd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!from.valid() || !to.valid()) return ERR_SYS;
    int result = 0;
    for (const std::string& c : ListDir(from.get())) {
      const int r = MoveAcross(from.get(), c, to.get(), c, shown + L"/" + Utf8ToWideLossy(c));
      if (r != 0 && result == 0) result = r;
    }
    if (result != 0) return result;
    if (unlinkat(sfd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) return ERR_SYS;
    return 0;
  } else {
    SF_LOG(L_ERR, L"[ERROR] trash(%d): '%s' is a special file; left in place\n", shown);
    return ERR_SYS;
  }
  if (unlinkat(sfd, name.c_str(), 0) != 0 && errno != ENOENT) {
    SF_LOG(L_ERR, L"[ERROR] trash(%d): kept a copy of '%s' but cannot remove it: %s\n", shown,
           ErrnoMessage(errno));
    return ERR_SYS;
  }
  return 0;
}

}  // namespace

int TrashInit(const TrashOptions& options) {
  MutexLock g(g_mutex);
  g_state = TrashState();
  if (options.max_age_seconds <= 0 || options.max_bytes == 0) {
    SF_LOG(L_NOTICE, L"[NOTICE] trash(%d): off; what the server removes or replaces is gone\n");
    return 0;
  }
  std::string folder = WithoutTrailingSlashes(WideToUtf8Lossy(options.folder));
  if (folder.empty() || FSMKDirP(options.folder, nullptr, false, -1, -1, 0700) != 0) {
    SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot make the trash folder '%s'\n", options.folder);
    return -1;
  }
  const UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot open the trash folder '%s': %s\n", folder,
           ErrnoMessage(errno));
    return -1;
  }
  // What it holds are other people's files too: keep it private.
  (void)fchmod(fd.get(), 0700);
  TrashState s;
  s.on = true;
  s.folder = folder;
  s.root = WithoutTrailingSlashes(WideToUtf8Lossy(options.root));
  s.max_age = options.max_age_seconds;
  s.max_bytes = options.max_bytes;
  s.clock = options.clock;
  for (const std::string& name : ListDir(fd.get())) {
    time_t at;
    if (!ParseStamp(name, at)) continue;
    const uint64_t bytes = TreeBytes(fd.get(), name);
    s.entries[name] = bytes;
    s.total += bytes;
  }
  g_state = std::move(s);
  Evict(g_state);
  SF_LOG(L_INFO,
         L"[INFO] trash(%d): '%s' holds %llu bytes in %llu entries (limits: %lld seconds, %llu "
         L"bytes)\n",
         g_state.folder, g_state.total, static_cast<uint64_t>(g_state.entries.size()),
         g_state.max_age, g_state.max_bytes);
  return 0;
}

void TrashShutdown() {
  MutexLock g(g_mutex);
  g_state = TrashState();
}

bool TrashOn() {
  MutexLock g(g_mutex);
  return g_state.on;
}

std::wstring TrashFolder() {
  MutexLock g(g_mutex);
  return g_state.on ? Utf8ToWideLossy(g_state.folder) : std::wstring();
}

uint64_t TrashBytes() {
  MutexLock g(g_mutex);
  return g_state.total;
}

std::map<std::string, uint64_t> TrashEntries() {
  MutexLock g(g_mutex);
  return g_state.entries;
}

std::string TrashRelName(const std::wstring& path) {
  std::string p = WithoutTrailingSlashes(WideToUtf8Lossy(path));
  std::string root;
  {
    MutexLock g(g_mutex);
    root = g_state.root;
  }
  if (!root.empty() && p.size() > root.size() + 1 && p.compare(0, root.size(), root) == 0 &&
      p[root.size()] == '/') {
    std::string rel = p.substr(root.size() + 1);
    if (SaneRel(rel)) return rel;
  }
  const std::string leaf = p.substr(p.find_last_of('/') + 1);
  return SaneRel(leaf) ? leaf : std::string();
}

// ---- TrashBatch ------------------------------------------------------------------

TrashBatch::~TrashBatch() {
  (void)Finish();
}

int TrashBatch::Reserve(uint64_t bytes, const std::string& rel) {
  MutexLock g(g_mutex);
  if (!g_state.on || m_finished) return kTrashSkipped;
  if (!SaneRel(rel)) {
    SF_LOG(L_ERR, L"[ERROR] trash(%d): no name to keep '%s' under\n", rel);
    return ERR_SYS;
  }
  if (bytes > g_state.max_bytes || m_bytes + bytes > g_state.max_bytes) {
    SF_LOG(L_WARNING,
           L"[WARNING] trash(%d): '%s' (%llu bytes) is larger than the trash may hold (%llu "
           L"bytes); not kept\n",
           rel, bytes, g_state.max_bytes);
    return kTrashSkipped;
  }
  if (!m_stamp.empty()) return 0;
  m_folder = g_state.folder;
  UniqueFd fd(open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid() && errno == ENOENT && mkdir(m_folder.c_str(), 0700) == 0) {
    // Removed by hand while the client ran: what it held is gone.
    SF_LOG(L_WARNING, L"[WARNING] trash(%d): '%s' was gone; made it again\n", m_folder);
    g_state.entries.clear();
    g_state.total = 0;
    fd.reset(open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  const std::string base = NewStampName(g_state);
  for (int n = 0; fd.valid() && n < 1000; ++n) {
    const std::string name = n == 0 ? base : base + "_" + std::to_string(n);
    if (mkdirat(fd.get(), name.c_str(), 0700) == 0) {
      m_stamp = name;
      return 0;
    }
    if (errno != EEXIST) break;
  }
  const int err = errno;
  SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot make an entry in '%s': %s\n", m_folder,
         ErrnoMessage(err));
  return ErrFor(err);
}

int TrashBatch::OpenDest(const std::string& rel, int& dirfd, std::string& leaf) {
  UniqueFd cur(open((m_folder + "/" + m_stamp).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  size_t start = 0;
  for (;;) {
    if (!cur.valid()) {
      const int err = errno;
      SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot make the folders of '%s' in '%s/%s': %s\n", rel,
             m_folder, m_stamp, ErrnoMessage(err));
      return ErrFor(err);
    }
    const size_t slash = rel.find('/', start);
    if (slash == std::string::npos) {
      leaf = rel.substr(start);
      dirfd = cur.release();
      return 0;
    }
    const std::string c = rel.substr(start, slash - start);
    if (mkdirat(cur.get(), c.c_str(), 0700) != 0 && errno != EEXIST) {
      cur.reset();
      continue;  // reported above
    }
    cur = UniqueFd(openat(cur.get(), c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    start = slash + 1;
  }
}

int TrashBatch::Take(int dirfd, const std::string& name, const std::string& rel) {
  return Keep(dirfd, name, rel, true);
}

int TrashBatch::Copy(int dirfd, const std::string& name, const std::string& rel) {
  return Keep(dirfd, name, rel, false);
}

int TrashBatch::Keep(int dirfd, const std::string& name, const std::string& rel, bool take) {
  struct stat st;
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? kTrashSkipped : ERR_SYS;
  if (!take && !S_ISREG(st.st_mode)) return kTrashSkipped;
  const uint64_t bytes = S_ISREG(st.st_mode)   ? static_cast<uint64_t>(st.st_size)
                         : S_ISDIR(st.st_mode) ? TreeBytes(dirfd, name)
                                               : 0;
  int r = Reserve(bytes, rel);
  if (r != 0) return r;
  int pfd = -1;
  std::string leaf;
  if ((r = OpenDest(rel, pfd, leaf)) != 0) return r;
  const UniqueFd parent(pfd);
  const std::wstring shown = Utf8ToWideLossy(m_folder + "/" + m_stamp + "/" + rel);
  // A rename (take) or a hard link (copy) where the file system allows.
  const bool fast = !FSFaultInjected(FSOP_RENAME, shown) &&
                    (take ? renameat(dirfd, name.c_str(), parent.get(), leaf.c_str())
                          : linkat(dirfd, name.c_str(), parent.get(), leaf.c_str(), 0)) == 0;
  const int err = errno;
  struct stat gone;
  if (!fast && err == ENOENT && fstatat(dirfd, name.c_str(), &gone, AT_SYMLINK_NOFOLLOW) != 0 &&
      errno == ENOENT) {
    // Taken away since it was looked at (another worker removing the same
    // item, or the folder holding it): there is nothing left to keep.
    return kTrashSkipped;
  }
  if (fast) {
    SyncDir(parent.get());
  } else if (err == EXDEV || (!take && (err == EPERM || err == EMLINK || err == ENOTSUP))) {
    // Another file system, or one without hard links.
    r = take ? MoveAcross(dirfd, name, parent.get(), leaf, shown)
             : CopyFileAt(dirfd, name, parent.get(), leaf, shown);
    if (r != 0) return r;
  } else {
    SF_LOG(L_ERR, L"[ERROR] trash(%d): cannot keep '%s' in the trash: %s\n", rel,
           ErrnoMessage(err));
    return ErrFor(err);
  }
  if (take) SyncDir(dirfd);
  m_bytes += bytes;
  ++m_kept;
  SF_LOG(L_INFO, L"[INFO] trash(%d): kept %s'%s' as '%s'\n", take ? L"" : L"a copy of ", rel,
         shown);
  return kTrashKept;
}

void TrashBatch::Discard() {
  if (!m_stamp.empty()) {
    const UniqueFd fd(open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) (void)RemoveTreeAt(fd.get(), m_stamp);
  }
  m_stamp.clear();
  m_kept = 0;
  m_bytes = 0;
  m_finished = true;
}

std::wstring TrashBatch::Finish() {
  if (m_finished) return std::wstring();
  m_finished = true;
  if (m_stamp.empty()) return std::wstring();
  if (m_kept == 0) {  // the folder was made for an item that could not be kept
    Discard();
    return std::wstring();
  }
  MutexLock g(g_mutex);
  if (g_state.on && g_state.folder == m_folder) {
    g_state.entries[m_stamp] += m_bytes;
    g_state.total += m_bytes;
    Evict(g_state);
  }
  return Utf8ToWideLossy(m_folder + "/" + m_stamp);
}
