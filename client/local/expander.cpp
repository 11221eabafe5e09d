// Thread: the expander task's own thread runs DoTask and every expansion. It
// waits in Task::IdleWait (one second, ended early by a queued expansion)
// when there is nothing to expand; Stop raises abort_flag, which the walks
// check before each entry, and joins.
#include "client/local/expander.h"

#include <cstdint>
#include <cwchar>

#include "client/core/client-task-mgr.h"
#include "client/core/sysinfo-mgr.h"
#include "client/store/event-db.h"
#include "lib/base/log.h"
#include "lib/fs/file-ops.h"
#include "lib/fs/temp-file.h"

namespace {

constexpr wchar_t kLogComponent[] = L"expander_debug";

// The next "/"-separated component of `p` from `pos` (leading separators
// skipped); false at the end.
bool NextComponent(const std::wstring& p, size_t& pos, size_t& start, size_t& len) {
  while (pos < p.size() && p[pos] == L'/') ++pos;
  if (pos >= p.size()) return false;
  start = pos;
  while (pos < p.size() && p[pos] != L'/') ++pos;
  len = pos - start;
  return true;
}

// Whether a disk tree holds anything besides its root.
bool HasEntries(const FileList& disk) {
  auto first = disk.rbegin();
  return !(first == disk.rend() || (first->path.empty() && ++first == disk.rend()));
}

}  // namespace

Expander::Expander(TaskManager* owner) : Task(owner, nullptr) {
  SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): Expander<%p> constructed\n", this);
}

Expander::~Expander() {
  Stop();
  SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): Expander<%p> destructed\n", this);
}

int Expander::Stop() {
  abort_flag = 1;
  return Task::Stop();
}

const std::wstring& Expander::Root() const {
  return m_owner->GetSyncRoot();
}

void Expander::DoTask() {
  SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): Expander<%p> up\n", this);
  for (;;) {
    const State s = GetState();
    if (s == STOP) {
      SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): Expander<%p> down\n", this);
      return;
    }
    if (s == PAUSE) {
      WaitWhilePaused(1);
      continue;
    }
    m_owner->Tick();
    Event e;
    if (m_owner->GetExpandEvent(e) <= 0) {
      IdleWait(1);
      continue;
    }
    ExpandEvent(e);
    m_owner->DoneExpandEvent(e);
  }
}

void Expander::ExpandEvent(const Event& e) {
  const std::wstring dir = e.m_path == L"/" ? Root() : Root() + e.m_path;
  if (e.isRescan()) {
    SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): rescan event: %s\n", e.toString());
    StringBuffer pool;
    FileList db(pool), disk(pool);
    // Both trees hold paths from the sync root: the database lists a
    // directory's rows as "/d/x", so the disk side of a rescan of "/d" is
    // built below "/d" too, and both hold "/d" itself. Comparing "/x"
    // with "/d/x" would take every synced item for removed and new.
    int top = 0;
    if (e.m_path != L"/") {
      size_t pos = 0, start = 0, len = 0;
      while (top >= 0 && NextComponent(e.m_path, pos, start, len))
        top = disk.AddDirectory(top, e.m_path.substr(start, len), 0);
      if (top < 0 || db.AddDirectory(e.m_path, 0) < 0) {
        SF_LOG(L_ERR, L"[ERROR] expander(%d): rescan: cannot use the path '%s'\n", e.m_path);
        return;
      }
    }
    if (FileEventDB::getFileList(db, e.m_path) != 0) {
      // Without the database side every synced file would look new (or,
      // worse, every row would look removed): better to do nothing now.
      SF_LOG(L_ERR, L"[ERROR] expander(%d): rescan: cannot read the file event database\n");
      return;
    }
    m_scan_root = Root();
    m_unlisted.clear();
    m_removals.clear();
    const bool full = e.m_path == L"/";
    if (BuildLocalFileList(dir, top, disk) != 0) {
      FILE_INFO root;
      // A root that is not there at all (a disk not mounted, a folder moved
      // away) is compared as an empty one, which holds its removals; one
      // that cannot be listed is no reason to remove anything.
      if (!full || FSStat(dir, root) != 0 || root.isExist) {
        SF_LOG(L_ERR, L"[ERROR] expander(%d): rescan: cannot list '%s'; nothing is compared\n",
               dir);
        return;
      }
      m_unlisted.clear();
    }
    CompareFileList(disk, db, e.isMerge());
    m_unlisted.clear();
    if (abort_flag) return;
    const bool has_entries = HasEntries(disk);
    if (full) m_owner->DropReturnedRemovals();
    // Removals go last and through the guard, which may hold all of them.
    const std::wstring problem =
        full && !m_removals.empty() ? m_owner->Guard().RootProblem(has_entries) : std::wstring();
    m_owner->GuardRemovals(m_removals, {}, m_removals.size(), problem);
    if (!m_removals.empty()) m_owner->PushLocalEvents(m_removals);
    m_removals.clear();
    if (full && m_owner->HeldRemovalCount() == 0) m_owner->Guard().RecordRoot();
    // When a start-up rescan has finished is otherwise invisible from
    // outside (nothing may have changed).
    SF_LOG(L_INFO, L"[INFO] expander(%d): rescan of '%s' done\n", e.m_path);
    return;
  }
  // A directory that cannot be listed was logged by the file layer; the
  // entries queued before the failure stand.
  (void)TraverseDir(dir, PushEventCallback, this);
  FlushLocal();
}

void Expander::QueueLocal(Event e) {
  m_pending.push_back(std::move(e));
  if (m_pending.size() >= kPushBatch) FlushLocal();
}

void Expander::FlushLocal() {
  if (m_pending.empty()) return;
  m_owner->PushLocalEvents(m_pending);
  m_pending.clear();
}

int Expander::PushEventCallback(const std::wstring& path, void* priv) {
  auto* self = static_cast<Expander*>(priv);
  if (self->abort_flag) {
    SF_LOG(L_INFO, L"[INFO] expander(%d): PushEventCallback: user stopped\n");
    return -1;
  }
  if (path.empty() || path == L"." || path == L"..") {
    SF_LOG(L_ERR, L"[ERROR] expander(%d): PushEventCallback: invalid path: %s\n", path);
    return -1;
  }
  FILE_INFO info;
  if (FSStat(path, info) != 0 || !info.isExist) {
    SF_LOG(L_ERR,
           L"[ERROR] expander(%d): PushEventCallback: non-existing path: %s, but continue "
           L"expanding ...\n",
           path);
    return 0;
  }
  const std::wstring& root = self->Root();
  if (path.compare(0, root.size(), root) != 0 || path.size() <= root.size() ||
      path[root.size()] != L'/')
    return 0;  // the root itself has no event of its own
  const std::wstring rel = path.substr(root.size());
  const std::wstring work = std::wstring(L"/") + kWorkingDirName;
  if (rel == work || rel.compare(0, work.size() + 1, work + L"/") == 0) return 0;
  // Links and special files are never synced; a rescan leaves them out too.
  if (info.type != FT_FILE && info.type != FT_DIR) {
    SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): PushEventCallback: skipping '%s' (type %d)\n", path,
           static_cast<int>(info.type));
    return 0;
  }
  Event e(EV_CREATE, info.type == FT_DIR ? F_DIR : 0u, rel);
  SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): Expander push %s\n", e.toString());
  self->QueueLocal(std::move(e));
  return 0;
}

int Expander::BuildLocalFileList(const std::wstring& path, int index, FileList& list) {
  SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): BuildLocalFileList: path '%s'\n", path);
  DIR_HANDLE h;
  FSOpenDir(path, FS_DIR_STAT, h);
  DIR_ENTRY ent;
  int r = FSReadDir(h, ent);
  if (r < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): BuildLocalFileList: Failed to open directory '%s'\n",
           path);
    m_unlisted.push_back(path.substr(m_scan_root.size()));
    return -1;
  }
  for (; r == 1; r = FSReadDir(h, ent)) {
    if (ent.name == L"." || ent.name == L"..") continue;
    if (abort_flag) {
      SF_LOG(L_INFO, L"[INFO] expander(%d): BuildLocalFileList: user stopped\n");
      break;
    }
    if (index == 0 && ent.name == kWorkingDirName) continue;
    if (ent.type == FT_FILE) {
      SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): BuildLocalFileList: add file '%s' (%u, %llu)\n",
             ent.name, ent.mtime, ent.size);
      list.AddFile(index, ent.name, ent.mtime, ent.size, FileList::Stamp{ent.ino, ent.ctime_ns});
    } else if (ent.type == FT_DIR) {
      const int sub = list.AddDirectory(index, ent.name, ent.mtime);
      if (sub < 0) {
        SF_LOG(L_ERR, L"[ERROR] expander(%d): BuildLocalFileList: Failed to add directory '%s'.\n",
               ent.name);
        continue;
      }
      BuildLocalFileList(path + L"/" + ent.name, sub, list);
    }
  }
  if (r < 0) m_unlisted.push_back(path.substr(m_scan_root.size()));  // listed in part only
  FSCloseDir(h);
  return 0;
}

int Expander::ComparePaths(const std::wstring& a, const std::wstring& b) {
  size_t pa = 0, pb = 0;
  for (;;) {
    size_t sa, la, sb, lb;
    const bool ha = NextComponent(a, pa, sa, la);
    const bool hb = NextComponent(b, pb, sb, lb);
    if (!ha || !hb) return ha ? 1 : (hb ? -1 : 0);
    const int c = a.compare(sa, la, b, sb, lb);
    if (c != 0) return c < 0 ? -1 : 1;
  }
}

void Expander::CompareFileList(const FileList& disk, const FileList& db, bool merge) {
  // What was synced and is missing at start-up may have been lost rather
  // than removed (a restored backup, a half-copied folder): the server's
  // copy is fetched again unless the user asked for such removals to go up.
  m_fetch_missing = merge && !m_owner->GetConfig().PropagateOfflineRemovals();
  if (m_fetch_missing) {
    // Nothing is fetched into a root that looks like a missing disk (empty,
    // or another folder or file system than the one synced): what it lacks
    // goes to the guard as removals instead, which holds them all.
    const std::wstring problem = m_owner->Guard().RootProblem(HasEntries(disk));
    if (!problem.empty()) {
      SF_LOG(L_WARNING, L"[WARNING] expander(%d): %s; nothing is fetched into it\n", problem);
      m_fetch_missing = false;
    }
  }
  CompareFileListCore(disk, db, merge);
  FlushLocal();
  // A failure leaves those rows without a stamp: they are compared by size
  // and time alone, as before, and adopted at the next rescan.
  if (!m_adoptions.empty() && FileEventDB::adoptStamps(m_adoptions) != 0)
    SF_LOG(L_ERR, L"[ERROR] expander(%d): rescan: cannot record what the files are\n");
  m_adoptions.clear();
}

bool Expander::StampChanged(const FileList::Entry& disk, const FileList::Entry& db) {
  if (db.stamp.known()) return disk.stamp != db.stamp;
  // A row written before stamps were kept takes the file found with its
  // size and time: what this comparison trusted until now. From here on a
  // rewrite that puts the old time back is seen.
  if (disk.stamp.known()) {
    FileEventDB::Adoption a;
    a.path = db.path;
    a.size = db.size;
    a.mtime = db.mtime;
    a.inode = disk.stamp.ino;
    a.ctime_ns = disk.stamp.ctime;
    m_adoptions.push_back(std::move(a));
  }
  return false;
}

void Expander::CompareFileListCore(const FileList& disk, const FileList& db, bool merge) {
  auto fs = disk.rbegin(), fe = disk.rend();
  auto ds = db.rbegin(), de = db.rend();
  while (fs != fe && ds != de) {
    if (abort_flag) {
      SF_LOG(L_INFO, L"[INFO] expander(%d): CompareFileList: user stopped\n");
      return;
    }
    const int c = ComparePaths(fs->path, ds->path);
    if (c == 0) {
      if (fs->is_dir() != ds->is_dir()) {
        PushUploadEvent(fs->path, fs->is_dir());
        if (merge) PushDownloadEvent(ds->path, ds->is_dir());
      } else if (fs->is_dir() ||
                 (fs->mtime == ds->mtime && fs->size == ds->size && !StampChanged(*fs, *ds))) {
        SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): CompareFileList: skipping '%s' ...\n", fs->path);
      } else if (fs->mtime == ds->mtime && fs->size == ds->size) {
        // Its old size and time, but another file or a later change: only
        // its content can tell.
        SF_LOG(L_DEBUG,
               L"[DEBUG] expander(%d): CompareFileList: '%s' was replaced or changed since it "
               L"was synced ...\n",
               fs->path);
        PushUploadEvent(fs->path, false);
      } else {
        SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): CompareFileList: '%s' is locally modified ...\n",
               fs->path);
        PushUploadEvent(fs->path, false);
      }
      ++fs;
      ++ds;
    } else if (c > 0) {
      SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): fs_iter: %s\n", fs->path);
      PushUploadEvent(fs->path, fs->is_dir());
      ++fs;
    } else {
      SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): db_iter: %s\n", ds->path);
      DbOnly(*ds);
      ++ds;
    }
  }
  for (; fs != fe; ++fs) {
    if (abort_flag) {
      SF_LOG(L_INFO, L"[INFO] expander(%d): CompareFileList: user stopped\n");
      return;
    }
    SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): fs_iter: %s\n", fs->path);
    PushUploadEvent(fs->path, fs->is_dir());
  }
  for (; ds != de; ++ds) {
    if (abort_flag) {
      SF_LOG(L_INFO, L"[INFO] expander(%d): CompareFileList: user stopped\n");
      return;
    }
    SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): db_iter: %s\n", ds->path);
    DbOnly(*ds);
  }
}

bool Expander::UnderUnlisted(const std::wstring& rel) const {
  for (const auto& u : m_unlisted)
    if (rel.size() > u.size() && rel.compare(0, u.size(), u) == 0 && rel[u.size()] == L'/')
      return true;
  return false;
}

void Expander::DbOnly(const FileList::Entry& ent) {
  if (UnderUnlisted(ent.path)) {
    SF_LOG(L_WARNING,
           L"[WARNING] expander(%d): CompareFileList: '%s' is in a folder that could not be "
           L"read; left alone\n",
           ent.path);
    return;
  }
  if (m_fetch_missing)
    PushDownloadEvent(ent.path, ent.is_dir());
  else
    PushRemoveEvent(ent.path, ent.is_dir());
}

void Expander::PushUploadEvent(const std::wstring& path, bool is_dir) {
  Event e(EV_MODIFY, is_dir ? F_DIR : 0u, path);
  SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): PushUploadEvent: %s\n", e.toString());
  QueueLocal(std::move(e));
}

void Expander::PushRemoveEvent(const std::wstring& path, bool is_dir) {
  Event e(EV_REMOVE, is_dir ? F_DIR : 0u, path);
  SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): PushRemoveEvent: %s\n", e.toString());
  m_removals.push_back(std::move(e));
}

void Expander::PushDownloadEvent(const std::wstring& path, bool is_dir) {
  Event e(EV_MODIFY, F_SERVER | (is_dir ? F_DIR : 0u), path);
  e.m_syncID = UINT64_MAX;
  SF_LOG(L_DEBUG, L"[DEBUG] expander(%d): PushDownloadEvent: %s\n", e.toString());
  FlushLocal();
  m_owner->PushServerEvent(e);
}
