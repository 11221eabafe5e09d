#include "server/server-store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "rsapi/rs-api.h"

namespace {
constexpr wchar_t kLogComponent[] = L"server_debug";

constexpr uint64_t kRoomMargin = 1 << 20;
constexpr const char* kOwnerLock = "owner.lock";

std::string Errno() {
  return ErrnoMessage(errno);
}

[[nodiscard]] int MkdirP(const std::string& path) {
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    cur = path.substr(0, pos);
    if (cur.empty()) continue;
    if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
      SF_LOG(L_ERR, L"[ERROR] server-store(%d): mkdir '%s': %s\n", cur, Errno());
      return ERR_SYS;
    }
  }
  return 0;
}

uint32_t Now() {
  return static_cast<uint32_t>(time(nullptr));
}

// Copies an open file to `dst` (created), keeping the modification time.
[[nodiscard]] int CopyFd(int src, const std::string& dst) {
  struct stat st;
  if (fstat(src, &st) != 0) return ERR_SYS;
  UniqueFd out(open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out.valid()) return ERR_SYS;
  char buf[65536];
  off_t off = 0;
  for (;;) {
    ssize_t n = pread(src, buf, sizeof(buf), off);
    if (n < 0) return ERR_SYS;
    if (n == 0) break;
    for (ssize_t w = 0; w < n;) {
      ssize_t k = write(out.get(), buf + w, n - w);
      if (k < 0) return ERR_SYS;
      w += k;
    }
    off += n;
  }
  struct timespec times[2] = {st.st_mtim, st.st_mtim};
  if (futimens(out.get(), times) != 0 || fsync(out.get()) != 0) return ERR_SYS;
  return 0;
}

bool MatchesVersion(int fd, uint64_t size, uint32_t mtime) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == size &&
         static_cast<uint32_t>(st.st_mtim.tv_sec) == mtime;
}

struct DiskEntry {
  uint8_t type;
  uint64_t size;
  uint32_t mtime;
};

// Collects the share's files and directories (no symlinks, no special files,
// no names a client could not send).
void WalkShare(int dirfd, const std::string& prefix, size_t depth,
               std::map<std::string, DiskEntry>& out) {
  UniqueFd fd(dup(dirfd));
  if (!fd.valid()) return;
  const DirPtr d = OpenDirStream(std::move(fd));
  if (!d) return;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  for (const auto& name : names) {
    std::string path = prefix + "/" + name;
    SharePath check;
    if (ParseSharePath(path, check) != 0) {
      SF_LOG(L_WARNING, L"[WARNING] server-store(%d): ignoring '%s' (name not allowed)\n", path);
      continue;
    }
    struct stat st;
    if (fstatat(::dirfd(d.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      out[path] = {kObjFile, static_cast<uint64_t>(st.st_size),
                   static_cast<uint32_t>(st.st_mtim.tv_sec)};
    } else if (S_ISDIR(st.st_mode) && depth < kMaxShareDepth) {
      out[path] = {kObjDir, 0, static_cast<uint32_t>(st.st_mtim.tv_sec)};
      const UniqueFd sub(
          openat(::dirfd(d.get()), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.valid()) WalkShare(sub.get(), path, depth + 1, out);
    }
  }
}
}  // namespace

const char* StoreResultName(StoreResult r) {
  switch (r) {
    case StoreResult::kOk:
      return "ok";
    case StoreResult::kUnchanged:
      return "unchanged";
    case StoreResult::kConflict:
      return "conflict";
    case StoreResult::kWait:
      return "wait";
    case StoreResult::kNoEnt:
      return "no such entry";
    case StoreResult::kError:
      return "error";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// StagedFile

StagedFile::~StagedFile() {
  if (!m_consumed) unlink(m_path.c_str());
}

std::wstring StagedFile::wpath() const {
  return Utf8ToWideLossy(m_path);
}

int StagedFile::Flush(uint64_t& size) {
  UniqueFd fd(open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fsync(fd.get()) != 0 || fstat(fd.get(), &st) != 0) {
    SF_LOG(L_ERR, L"[ERROR] server-store(%d): cannot flush staged '%s': %s\n", m_path, Errno());
    return ERR_SYS;
  }
  size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int StagedFile::Finish(uint64_t& size, std::string& hash) {
  if (Flush(size) != 0) return ERR_SYS;
  std::wstring text;
  if (RSCalcMD4Text(Utf8ToWideLossy(m_path), text) != 0) return ERR_SYS;
  hash = WideToUtf8Lossy(text);
  return 0;
}

// ---------------------------------------------------------------------------
// Locking

// m_mutex and the state folder's lock file, for a change other stores on the
// same state may race with.
class SCOPED_CAPABILITY ServerStore::ChangeLock {
 public:
  explicit ChangeLock(ServerStore& s) ACQUIRE(s.m_mutex)
      : m_guard(s.m_mutex), m_fd(s.m_lockFd.get()) {
    while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~ChangeLock() RELEASE() { flock(m_fd, LOCK_UN); }
  ChangeLock(const ChangeLock&) = delete;
  ChangeLock& operator=(const ChangeLock&) = delete;

 private:
  MutexLock m_guard;
  int m_fd;
};

// ---------------------------------------------------------------------------
// Opening and recovery

int ServerStore::Open(const Options& opt, std::unique_ptr<ServerStore>& out) {
  std::unique_ptr<ServerStore> s(new ServerStore());
  int r = s->Init(opt);
  if (r != 0) return r;
  out = std::move(s);
  return 0;
}

ServerStore::~ServerStore() {
  if (m_workFd.valid()) {
    std::string name = m_work.substr(m_work.rfind('/') + 1);
    UniqueFd parent(open((m_state + "/work").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    m_workFd.reset();
    m_ownerFd.reset();
    // What is left costs disk space only; the next start clears it.
    if (parent.valid()) (void)RemoveTreeAt(parent.get(), name);
  }
}

int ServerStore::Init(const Options& opt) {
  const std::string share = WithoutTrailingSlashes(opt.share);
  if (share.empty() || opt.versions_kept == 0) return ERR_INVAL;
  if (m_share.Open(share) != 0) return ERR_SYS;
  m_state = opt.state.empty() ? share + ".sfstate" : opt.state;
  m_versionsKept = opt.versions_kept;
  if (MkdirP(m_state + "/versions") != 0 || MkdirP(m_state + "/work") != 0) return ERR_SYS;
  // Staged content is renamed into the share and removed items are renamed
  // out of it; rename(2) cannot cross file systems, so every change would fail.
  struct stat share_st, state_st;
  if (fstat(m_share.rootFd(), &share_st) != 0 || stat(m_state.c_str(), &state_st) != 0) {
    return ERR_SYS;
  }
  if (share_st.st_dev != state_st.st_dev) {
    SF_LOG(L_ERR,
           L"[ERROR] server-store(%d): state directory '%s' is not on the file system of the "
           L"share '%s'\n",
           m_state, share);
    return ERR_INVAL;
  }

  m_lockFd.reset(open((m_state + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!m_lockFd.valid()) {
    SF_LOG(L_ERR, L"[ERROR] server-store(%d): cannot open lock in '%s': %s\n", m_state, Errno());
    return ERR_SYS;
  }
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  m_work = m_state + "/work/" + std::to_string(getpid()) + "." + std::to_string(stamp);
  if (mkdir(m_work.c_str(), 0700) != 0) {
    SF_LOG(L_ERR, L"[ERROR] server-store(%d): cannot create '%s': %s\n", m_work, Errno());
    return ERR_SYS;
  }
  m_workFd.reset(open(m_work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  m_ownerFd.reset(openat(m_workFd.get(), kOwnerLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!m_workFd.valid() || !m_ownerFd.valid() || flock(m_ownerFd.get(), LOCK_EX | LOCK_NB) != 0) {
    return ERR_SYS;
  }
  ChangeLock lock(*this);
  if (m_db.Open(m_state + "/meta.sqlite") != 0) return ERR_SYS;
  if (RecoverPending() != 0 || CleanWorkAreas() != 0) return ERR_SYS;
  if (CleanVersionStore() != 0) return ERR_SYS;
  if (opt.reconcile && Reconcile() != 0) return ERR_SYS;
  return 0;
}

std::string ServerStore::VersionFile(uint64_t sync_id) const {
  return m_state + "/versions/" + std::to_string(sync_id);
}

int ServerStore::RecoverPending() {
  std::vector<PendingRow> pending;
  if (m_db.ListPending(pending) != 0) return ERR_SYS;
  for (const PendingRow& p : pending) {
    struct stat st;
    if (lstat(p.staged.c_str(), &st) == 0) {
      // The rename never happened: the share still has the old content.
      SF_LOG(L_NOTICE, L"[NOTE] server-store(%d): dropping unfinished change of '%s'\n",
             p.object.path);
      unlink(p.staged.c_str());
      unlink(VersionFile(p.object.sync_id).c_str());
      if (m_db.DeletePending(p.object.sync_id) != 0) return ERR_SYS;
      continue;
    }
    ObjectRow now;
    int r = m_db.GetObject(p.object.path, now);
    if (r == ERR_SYS) return ERR_SYS;
    if (r == 0 && now.sync_id > p.object.sync_id) {
      // A later change of the path has replaced what the rename put there.
      SF_LOG(L_NOTICE, L"[NOTE] server-store(%d): dropping superseded change of '%s'\n",
             p.object.path);
      unlink(VersionFile(p.object.sync_id).c_str());
      if (m_db.DeletePending(p.object.sync_id) != 0) return ERR_SYS;
      continue;
    }
    SF_LOG(L_NOTICE, L"[NOTE] server-store(%d): completing change of '%s' (sync id %llu)\n",
           p.object.path, p.object.sync_id);
    std::vector<uint64_t> drop;
    VersionRow v{p.object.path, p.object.sync_id, p.object.size, p.object.mtime, p.object.hash};
    if (m_db.Begin() != 0) return ERR_SYS;
    if (m_db.PutObject(p.object) != 0 || m_db.AddVersion(v) != 0 ||
        m_db.DeletePending(p.object.sync_id) != 0 ||
        PruneVersions(p.object.path, m_versionsKept, drop) != 0 || m_db.Commit() != 0) {
      m_db.Rollback();
      return ERR_SYS;
    }
    UnlinkVersions(drop);
  }
  return 0;
}

int ServerStore::CleanWorkAreas() {
  std::string dir = m_state + "/work";
  UniqueFd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dfd.valid()) return ERR_SYS;
  std::vector<std::string> names;
  {
    const DirPtr d(opendir(dir.c_str()));
    if (!d) return ERR_SYS;
    while (struct dirent* e = readdir(d.get())) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      names.emplace_back(e->d_name);
    }
  }
  const std::string mine = m_work.substr(m_work.rfind('/') + 1);
  for (const auto& name : names) {
    if (name == mine) continue;
    // A live store holds its owner lock; a dead one's area is leftovers.
    UniqueFd owner(openat(dfd.get(), (name + "/" + kOwnerLock).c_str(), O_RDWR | O_CLOEXEC));
    if (owner.valid() && flock(owner.get(), LOCK_EX | LOCK_NB) != 0) continue;
    owner.reset();
    (void)RemoveTreeAt(dfd.get(), name);  // tried again at the next start
  }
  return 0;
}

int ServerStore::CleanVersionStore() {
  std::vector<uint64_t> ids;
  if (m_db.ListAllVersionIds(ids) != 0) return ERR_SYS;
  std::set<uint64_t> known(ids.begin(), ids.end());
  std::string dir = m_state + "/versions";
  DIR* d = opendir(dir.c_str());
  if (!d) return ERR_SYS;
  std::set<std::string> present;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    char* end = nullptr;
    unsigned long long id = strtoull(name.c_str(), &end, 10);
    if (end == name.c_str() || *end != '\0' || !known.count(id)) {
      unlinkat(::dirfd(d), name.c_str(), 0);
      continue;
    }
    present.insert(name);
  }
  closedir(d);
  for (uint64_t id : ids) {
    if (!present.count(std::to_string(id)) && m_db.DeleteVersion(id) != 0) return ERR_SYS;
  }
  return 0;
}

int ServerStore::Reconcile() {
  std::map<std::string, DiskEntry> disk;
  WalkShare(m_share.rootFd(), "", 0, disk);
  std::vector<ObjectRow> rows;
  if (m_db.ListExisting(rows) != 0) return ERR_SYS;
  std::map<std::string, ObjectRow> known;
  for (auto& r : rows) known[r.path] = r;

  std::vector<ObjectRow> changed;  // new or modified, parents first (map order)
  std::vector<ObjectRow> gone;
  for (const auto& [path, e] : disk) {
    auto it = known.find(path);
    bool same = it != known.end() && it->second.type == e.type &&
                (e.type == kObjDir || (it->second.size == e.size && it->second.mtime == e.mtime));
    if (same) continue;
    ObjectRow row;
    row.path = path;
    row.type = e.type;
    row.exist = true;
    row.mtime = e.mtime;
    row.updater = "server";
    if (e.type == kObjFile) {
      SharePath sp;
      UniqueFd fd;
      std::wstring hash;
      if (ParseSharePath(path, sp) != 0 || m_share.OpenRead(sp, fd) != 0 ||
          RSCalcMD4Text(FdPath(fd.get()), hash) != 0) {
        continue;  // vanished or unreadable: the next start looks again
      }
      row.size = e.size;
      row.hash = WideToUtf8Lossy(hash);
      // Same content with only another time: keep the version, adopt the time.
      if (it != known.end() && it->second.type == kObjFile && it->second.hash == row.hash &&
          it->second.size == row.size) {
        row.sync_id = it->second.sync_id;
      }
    }
    changed.push_back(row);
  }
  for (const auto& [path, r] : known) {
    if (!disk.count(path)) gone.push_back(r);
  }
  if (changed.empty() && gone.empty()) return 0;
  SF_LOG(L_NOTICE,
         L"[NOTE] server-store(%d): share differs from metadata: %d new or changed, %d gone\n",
         static_cast<int>(changed.size()), static_cast<int>(gone.size()));

  std::vector<uint64_t> drop;
  if (m_db.Begin() != 0) return ERR_SYS;
  bool ok = true;
  // Removals deepest first, as any removal of a tree is reported.
  std::sort(gone.begin(), gone.end(),
            [](const ObjectRow& a, const ObjectRow& b) { return a.path > b.path; });
  for (ObjectRow r : gone) {
    ok = ok && m_db.NextSyncId(r.sync_id) == 0;
    r.exist = false;
    r.size = 0;
    r.hash.clear();
    r.updater = "server";
    ok = ok && m_db.PutObject(r) == 0 && PruneVersions(r.path, 0, drop) == 0;
  }
  for (ObjectRow r : changed) {
    if (r.sync_id != 0) {
      // Only the time moved: refresh the kept version's time too.
      VersionRow v{r.path, r.sync_id, r.size, r.mtime, r.hash};
      ok = ok && m_db.PutObject(r) == 0 && m_db.AddVersion(v) == 0;
      continue;
    }
    ok = ok && m_db.NextSyncId(r.sync_id) == 0 && m_db.PutObject(r) == 0;
    if (ok && r.type == kObjFile) {
      SharePath sp;
      UniqueFd parent;
      if (ParseSharePath(r.path, sp) == 0 && m_share.OpenParent(sp, false, parent) == 0 &&
          KeepVersionAt(parent.get(), sp.leaf(), r.sync_id) == 0) {
        VersionRow v{r.path, r.sync_id, r.size, r.mtime, r.hash};
        ok = m_db.AddVersion(v) == 0 && PruneVersions(r.path, m_versionsKept, drop) == 0;
      } else {
        ok = ok && PruneVersions(r.path, 0, drop) == 0;
      }
    } else if (ok) {
      ok = PruneVersions(r.path, 0, drop) == 0;
    }
  }
  if (!ok || m_db.Commit() != 0) {
    m_db.Rollback();
    return ERR_SYS;
  }
  UnlinkVersions(drop);
  return 0;
}

// ---------------------------------------------------------------------------
// Helpers for changes

int ServerStore::KeepVersionAt(int dirfd, const std::string& name, uint64_t sync_id) {
  std::string dst = VersionFile(sync_id);
  unlink(dst.c_str());
  if (linkat(dirfd, name.c_str(), AT_FDCWD, dst.c_str(), 0) == 0) return 0;
  // Some file systems refuse hard links.
  UniqueFd src(openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!src.valid() || CopyFd(src.get(), dst) != 0) {
    SF_LOG(L_ERR, L"[ERROR] server-store(%d): cannot keep version %llu: %s\n", sync_id, Errno());
    unlink(dst.c_str());
    return ERR_SYS;
  }
  return 0;
}

int ServerStore::PruneVersions(const std::string& path, size_t keep, std::vector<uint64_t>& drop) {
  std::vector<VersionRow> versions;
  if (m_db.ListVersions(path, versions) != 0) return ERR_SYS;
  for (size_t i = keep; i < versions.size(); ++i) {
    if (m_db.DeleteVersion(versions[i].sync_id) != 0) return ERR_SYS;
    drop.push_back(versions[i].sync_id);
  }
  return 0;
}

void ServerStore::UnlinkVersions(const std::vector<uint64_t>& ids) {
  for (uint64_t id : ids) unlink(VersionFile(id).c_str());
}

int ServerStore::RecordParents(const SharePath& p, uint32_t now, const std::string& updater) {
  SharePath cur;
  for (size_t i = 0; i + 1 < p.names.size(); ++i) {
    cur.names.push_back(p.names[i]);
    ObjectRow row;
    int r = m_db.GetObject(cur.str(), row);
    if (r == ERR_SYS) return ERR_SYS;
    if (r == 0 && row.exist && row.isDir()) continue;
    std::vector<uint64_t> drop;
    ObjectRow dir;
    dir.path = cur.str();
    dir.type = kObjDir;
    dir.exist = true;
    dir.mtime = now;
    dir.updater = updater;
    if (m_db.NextSyncId(dir.sync_id) != 0 || m_db.PutObject(dir) != 0 ||
        PruneVersions(dir.path, 0, drop) != 0) {
      return ERR_SYS;
    }
    UnlinkVersions(drop);
  }
  return 0;
}

int ServerStore::MoveAside(const SharePath& p, std::string& trash_name) {
  trash_name.clear();
  UniqueFd parent;
  int r = m_share.OpenParent(p, false, parent);
  if (r == ERR_NOENT || r == ERR_CONFLICT) return 0;
  if (r != 0) return ERR_SYS;
  std::string name = "trash." + std::to_string(++m_stageCounter);
  if (renameat(parent.get(), p.leaf().c_str(), m_workFd.get(), name.c_str()) != 0) {
    if (errno == ENOENT) return 0;
    SF_LOG(L_ERR, L"[ERROR] server-store(%d): cannot move '%s' aside: %s\n", p.str(), Errno());
    return ERR_SYS;
  }
  SyncDir(parent.get());
  trash_name = name;
  return 0;
}

void ServerStore::PutBack(int parentfd, const SharePath& p, const std::string& trash_name) {
  if (trash_name.empty()) return;
  if (renameat(m_workFd.get(), trash_name.c_str(), parentfd, p.leaf().c_str()) != 0) {
    SF_LOG(L_ERR, L"[ERROR] server-store(%d): cannot put '%s' back: %s\n", p.str(), Errno());
    return;
  }
  SyncDir(parentfd);
}

// ---------------------------------------------------------------------------
// Reads

int ServerStore::Get(const SharePath& p, ObjectRow& row) {
  MutexLock g(m_mutex);
  return m_db.GetObject(p.str(), row);
}

uint64_t ServerStore::LastSyncId() {
  MutexLock g(m_mutex);
  return m_db.LastSyncId();
}

int ServerStore::ListChanges(uint64_t after, size_t limit, std::vector<ObjectRow>& rows,
                             uint64_t& to_id) {
  MutexLock g(m_mutex);
  // Every change holds the change lock from its intent to its final commit,
  // so an intent found while nobody holds the lock was left by a process
  // killed in between (a hook command). Left alone it would hold every pull
  // below it until the next restart.
  if (m_db.MinPendingId() != 0 && flock(m_lockFd.get(), LOCK_EX | LOCK_NB) == 0) {
    int r = RecoverPending();
    // The killed process's leftovers: what stays costs disk space only.
    if (r == 0) (void)CleanWorkAreas();
    flock(m_lockFd.get(), LOCK_UN);
    if (r != 0) return ERR_SYS;
  }
  // One snapshot for the rows and the last id, or a change committed between
  // the two reads would be skipped by the client for ever.
  if (m_db.BeginRead() != 0) return ERR_SYS;
  std::vector<ObjectRow> got;
  int r = m_db.ListChanges(after, limit, got);
  uint64_t last = m_db.LastSyncId();
  // An id reserved by a change still in flight (another process) has no row
  // yet; the client must not move past it.
  uint64_t pending = m_db.MinPendingId();
  // What was read stands whatever the end of a read-only transaction
  // reports, but the transaction must not stay open (logged by Commit).
  if (m_db.Commit() != 0) m_db.Rollback();
  if (r != 0) return ERR_SYS;
  if (pending != 0 && pending <= last) last = pending - 1;
  while (!got.empty() && got.back().sync_id > last) got.pop_back();
  if (limit > 0 && got.size() == limit) last = got.back().sync_id;
  rows = std::move(got);
  to_id = last;
  return 0;
}

int ServerStore::OpenCurrent(const SharePath& p, UniqueFd& fd, ObjectRow& row) {
  MutexLock g(m_mutex);
  ObjectRow cur;
  int r = m_db.GetObject(p.str(), cur);
  if (r != 0) return r;
  if (!cur.exist || cur.isDir()) return ERR_NOENT;
  UniqueFd f(open(VersionFile(cur.sync_id).c_str(), O_RDONLY | O_CLOEXEC));
  if (!f.valid() || !MatchesVersion(f.get(), cur.size, cur.mtime)) {
    f.reset();
    if (m_share.OpenRead(p, f) != 0 || !MatchesVersion(f.get(), cur.size, cur.mtime)) {
      SF_LOG(L_ERR, L"[ERROR] server-store(%d): content of '%s' disagrees with its metadata\n",
             p.str());
      return ERR_SYS;
    }
  }
  fd = std::move(f);
  row = cur;
  return 0;
}

int ServerStore::OpenVersion(const SharePath& p, uint64_t sync_id, UniqueFd& fd) {
  MutexLock g(m_mutex);
  VersionRow v;
  int r = m_db.GetVersion(p.str(), sync_id, v);
  if (r != 0) return r;
  UniqueFd f(open(VersionFile(sync_id).c_str(), O_RDONLY | O_CLOEXEC));
  if (!f.valid() || !MatchesVersion(f.get(), v.size, v.mtime)) {
    SF_LOG(L_NOTICE, L"[NOTE] server-store(%d): version %llu of '%s' is no longer intact\n",
           sync_id, p.str());
    return ERR_NOENT;
  }
  fd = std::move(f);
  return 0;
}

bool ServerStore::HasRoomFor(uint64_t bytes) const {
  struct statvfs vfs;
  if (statvfs(m_state.c_str(), &vfs) != 0) return true;  // unknown: let the write decide
  uint64_t avail = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return bytes <= avail && avail - bytes >= kRoomMargin;
}

int ServerStore::NewStaged(std::unique_ptr<StagedFile>& out) {
  std::string path = m_work + "/stage." + std::to_string(++m_stageCounter);
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    SF_LOG(L_ERR, L"[ERROR] server-store(%d): cannot create '%s': %s\n", path, Errno());
    return ERR_SYS;
  }
  out.reset(new StagedFile(path));
  return 0;
}

int ServerStore::AddSession(const std::string& key, const std::string& user) {
  ChangeLock lock(*this);
  return m_db.AddSession(key, user);
}

int ServerStore::GetSession(const std::string& key, std::string& user) {
  MutexLock g(m_mutex);
  return m_db.GetSession(key, user);
}

// ---------------------------------------------------------------------------
// Changes

StoreResult ServerStore::PutFile(const SharePath& p, BaseCheck check, StagedFile& content,
                                 uint64_t size, const std::string& hash, uint32_t mtime,
                                 const std::string& updater, ObjectRow& out) {
  ChangeLock lock(*this);
  ObjectRow cur;
  int r = m_db.GetObject(p.str(), cur);
  if (r == ERR_SYS) return StoreResult::kError;
  bool exists = r == 0 && cur.exist;
  if (exists && !cur.isDir()) {
    if (cur.hash == hash && cur.size == size) {
      out = cur;
      return StoreResult::kUnchanged;
    }
    if (check.enforce && check.base != cur.sync_id) return StoreResult::kConflict;
  }
  if (exists && cur.isDir()) {
    std::vector<ObjectRow> tree;
    if (m_db.ListSubtree(cur.path, tree) != 0) return StoreResult::kError;
    if (tree.size() > 1 || (check.enforce && check.base != cur.sync_id)) {
      return StoreResult::kConflict;
    }
  }

  UniqueFd parent;
  r = m_share.OpenParent(p, true, parent);
  if (r == ERR_CONFLICT) return StoreResult::kWait;
  if (r != 0) return StoreResult::kError;

  const std::string staged_name = content.path().substr(content.path().rfind('/') + 1);
  struct timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  if (utimensat(m_workFd.get(), staged_name.c_str(), times, 0) != 0) return StoreResult::kError;

  ObjectRow row;
  row.path = p.str();
  row.type = kObjFile;
  row.exist = true;
  row.mtime = mtime;
  row.size = size;
  row.hash = hash;
  row.updater = updater;

  // Intent first: once it is committed, a crash is finished or undone at the
  // next open according to whether the staged file was renamed.
  if (m_db.Begin() != 0) return StoreResult::kError;
  if (RecordParents(p, Now(), updater) != 0 || m_db.NextSyncId(row.sync_id) != 0 ||
      KeepVersionAt(m_workFd.get(), staged_name, row.sync_id) != 0 ||
      m_db.AddPending(PendingRow{row, content.path()}) != 0 || m_db.Commit() != 0) {
    m_db.Rollback();
    unlink(VersionFile(row.sync_id).c_str());
    return StoreResult::kError;
  }

  // An empty directory being replaced has to leave first: rename(2) does not
  // put a file over a directory.
  std::string trash;
  bool placed = !(exists && cur.isDir() && MoveAside(p, trash) != 0) &&
                renameat(m_workFd.get(), staged_name.c_str(), parent.get(), p.leaf().c_str()) == 0;
  if (!placed) {
    SF_LOG(L_ERR, L"[ERROR] server-store(%d): cannot place '%s': %s\n", p.str(), Errno());
    PutBack(parent.get(), p, trash);
    if (m_db.Begin() == 0 && m_db.DeletePending(row.sync_id) == 0 && m_db.Commit() == 0) {
      unlink(VersionFile(row.sync_id).c_str());
    } else {
      m_db.Rollback();
    }
    return StoreResult::kError;
  }
  content.m_consumed = true;
  SyncDir(parent.get());
  if (!trash.empty()) (void)RemoveTreeAt(m_workFd.get(), trash);  // leftovers, cleared at start

  std::vector<uint64_t> drop;
  VersionRow v{row.path, row.sync_id, row.size, row.mtime, row.hash};
  if (m_db.Begin() != 0 || m_db.PutObject(row) != 0 || m_db.AddVersion(v) != 0 ||
      m_db.DeletePending(row.sync_id) != 0 || PruneVersions(row.path, m_versionsKept, drop) != 0 ||
      m_db.Commit() != 0) {
    m_db.Rollback();
    // The content is in place; the intent finishes the metadata.
    if (RecoverPending() != 0) return StoreResult::kError;
  }
  UnlinkVersions(drop);
  out = row;
  SF_LOG(L_INFO, L"[INFO] server-store(%d): '%s' stored as sync id %llu by %s\n", row.path,
         row.sync_id, updater);
  return StoreResult::kOk;
}

StoreResult ServerStore::MakeDir(const SharePath& p, BaseCheck check, uint32_t mtime,
                                 const std::string& updater, ObjectRow& out) {
  ChangeLock lock(*this);
  ObjectRow cur;
  int r = m_db.GetObject(p.str(), cur);
  if (r == ERR_SYS) return StoreResult::kError;
  bool exists = r == 0 && cur.exist;
  if (exists && cur.isDir()) {
    out = cur;
    return StoreResult::kUnchanged;
  }
  if (exists && check.enforce && check.base != cur.sync_id) return StoreResult::kConflict;

  UniqueFd parent;
  r = m_share.OpenParent(p, true, parent);
  if (r == ERR_CONFLICT) return StoreResult::kWait;
  if (r != 0) return StoreResult::kError;

  std::string trash;
  if (exists && MoveAside(p, trash) != 0) return StoreResult::kError;
  if (mkdirat(parent.get(), p.leaf().c_str(), 0755) != 0) {
    struct stat st;
    if (errno != EEXIST || fstatat(parent.get(), p.leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(st.st_mode)) {
      SF_LOG(L_ERR, L"[ERROR] server-store(%d): cannot create directory '%s': %s\n", p.str(),
             Errno());
      PutBack(parent.get(), p, trash);
      return StoreResult::kError;
    }
  }
  SyncDir(parent.get());

  ObjectRow row;
  row.path = p.str();
  row.type = kObjDir;
  row.exist = true;
  row.mtime = mtime;
  row.updater = updater;
  std::vector<uint64_t> drop;
  if (m_db.Begin() != 0 || RecordParents(p, Now(), updater) != 0 ||
      m_db.NextSyncId(row.sync_id) != 0 || m_db.PutObject(row) != 0 ||
      PruneVersions(row.path, 0, drop) != 0 || m_db.Commit() != 0) {
    m_db.Rollback();
    if (!trash.empty()) {
      // The new directory is still empty; the file it was to replace returns.
      unlinkat(parent.get(), p.leaf().c_str(), AT_REMOVEDIR);
      PutBack(parent.get(), p, trash);
    }
    return StoreResult::kError;
  }
  if (!trash.empty()) (void)RemoveTreeAt(m_workFd.get(), trash);  // leftovers, cleared at start
  UnlinkVersions(drop);
  out = row;
  SF_LOG(L_INFO, L"[INFO] server-store(%d): directory '%s' created as sync id %llu by %s\n",
         row.path, row.sync_id, updater);
  return StoreResult::kOk;
}

StoreResult ServerStore::Remove(const SharePath& p, BaseCheck check, const std::string& updater) {
  ChangeLock lock(*this);
  std::vector<ObjectRow> tree;
  if (m_db.ListSubtree(p.str(), tree) != 0) return StoreResult::kError;
  if (tree.empty()) return StoreResult::kNoEnt;
  if (check.enforce) {
    // A base beyond every id handed out was never seen from this store (the
    // state was reset behind the client): it cannot vouch for anything.
    if (check.base > m_db.LastSyncId()) return StoreResult::kWait;
    for (const ObjectRow& r : tree) {
      if (r.sync_id > check.base) return StoreResult::kWait;
    }
  }
  std::string trash;
  if (MoveAside(p, trash) != 0) return StoreResult::kError;

  // Entries below go first, so that a client applying the changes in order
  // never sees a directory vanish before what it held.
  std::sort(tree.begin(), tree.end(),
            [](const ObjectRow& a, const ObjectRow& b) { return a.path > b.path; });
  std::vector<uint64_t> drop;
  bool ok = m_db.Begin() == 0;
  for (ObjectRow r : tree) {
    if (!ok) break;
    r.exist = false;
    r.size = 0;
    r.hash.clear();
    r.updater = updater;
    ok = m_db.NextSyncId(r.sync_id) == 0 && m_db.PutObject(r) == 0 &&
         PruneVersions(r.path, 0, drop) == 0;
  }
  if (!ok || m_db.Commit() != 0) {
    m_db.Rollback();
    // Put the tree back so that disk and metadata agree again.
    UniqueFd parent;
    if (!trash.empty() && m_share.OpenParent(p, false, parent) == 0) {
      renameat(m_workFd.get(), trash.c_str(), parent.get(), p.leaf().c_str());
    }
    return StoreResult::kError;
  }
  if (!trash.empty()) (void)RemoveTreeAt(m_workFd.get(), trash);  // leftovers, cleared at start
  UnlinkVersions(drop);
  SF_LOG(L_INFO, L"[INFO] server-store(%d): '%s' removed (%d entries) by %s\n", p.str(),
         static_cast<int>(tree.size()), updater);
  return StoreResult::kOk;
}
