// Server removals carried out on the sync root: only what the file event
// database proves was synced and is unchanged is removed; anything else
// stays (or is kept under a conflict name) and is uploaded as new. Every
// disk operation walks from the sync root without following links.
//
// Thread: the calling worker's thread.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "client/sync/worker.h"
#include "lib/base/errors.h"
#include "lib/base/utility.h"

int Worker::RemoveLocal(const std::wstring& path, uint64_t removal_id) {
  SharePath sp;
  if (CheckServerPath(path, L"RemoveLocal", sp) != 0) return ERR_OK;  // dropped
  const std::wstring full = FullPath(path);
  ShareDir root;
  if (OpenRoot(root) != 0) return ERR_SYS;
  FILE_INFO local;
  if (LocalStat(root, sp, local) != 0) {
    SYNC_LOG(L_WARNING, L"RemoveLocal: File '%s' cannot be removed\n", full);
    return ERR_SYS;
  }
  if (!local.isExist) {
    SYNC_LOG(L_INFO, L"RemoveLocal: '%s' has already been removed\n", full);
    (void)FileEventDB::rmEventInfoV3(path);
    // A removal of it made here, still on its way, has nothing left to do.
    (void)FileEventDB::rmRemovalIntent(path);
    // No "synced" status row for a path that is gone.
    notify_event_type = NOTIFY_SERVER_REMOVE;
    return ERR_OK;
  }
  ClientFileEventInfo row;
  const bool has_row = FileEventDB::getEventInfo(path, row) == 0 && row.isExist != 0;
  if (has_row && row.syncID > removal_id) {
    // The pull listed the removal before the client synced a newer version
    // (for a folder: anything in it); the newer state wins, and the
    // server's later events tell what became of it.
    SYNC_LOG(L_INFO, L"RemoveLocal: '%s' was synced after its removal (%llu > %llu); kept\n", full,
             row.syncID, removal_id);
    return ERR_OK;
  }
  bool kept = false, resend = false;
  bool unchanged = has_row && row.syncID != 0 && !LocallyModified(local, row, std::wstring());
  // A folder without a row of its own was made here for a file a download
  // placed in it (the folder's own download had not come yet), or by the
  // user: what it holds decides, as for a synced folder (see PruneSynced).
  // Sent up as new, it would bring back what the server removed.
  if (!has_row && local.type == FT_DIR && !HasPendingLocalEvents()) unchanged = true;
  if (unchanged && local.type == FT_FILE) {
    // Size and time match also after an edit made within the second they
    // record; a removal cannot be taken back, so the content decides.
    std::wstring hash;
    UniqueFd fd;
    if (root.OpenRead(sp, fd) != 0 || CalculateMD4(FdPath(fd.get()), hash) != 0) return ERR_SYS;
    unchanged = !LocallyModified(local, row, hash);
  }
  if (unchanged) {
    SYNC_LOG(L_DEBUG, L"Removing local '%s'\n", full);
    if (local.type == FT_DIR) {
      const int r = RemoveDirectoryW(path, removal_id);
      if (r < 0) {
        SYNC_LOG(L_ERR, L"RemoveDirectory: Failed to remove '%s'\n", full);
        return ERR_SYS;
      }
      kept = r > 0;
    } else {
      // Into the trash, and only where that is impossible for good (off,
      // too large) removed for good; a failure leaves it in place.
      TrashBatch trash;
      UniqueFd parent;
      const int t = root.OpenParent(sp, false, parent) != 0
                        ? ERR_SYS
                        : trash.Take(parent.get(), sp.leaf(), sp.str().substr(1));
      if (t < 0) {
        SYNC_LOG(L_ERR, L"RemoveLocal: '%s' cannot be kept in the trash; not removed\n", full);
        return t;
      }
      if (t == kTrashSkipped && root.Remove(sp) != 0) {
        SYNC_LOG(L_ERR, L"RemoveLocal: Failed to remove path '%s'\n", full);
        return ERR_SYS;
      }
      ReportTrashed(trash, path);
    }
  } else {
    // Changed (or never synced) here: the edit wins over the removal, as
    // it does when both arrive together and as the server decides for an
    // upload of a removed path. It stays where it is, without a row, and
    // goes up as new; whichever order the two changes arrive in, the
    // outcome is the same.
    SYNC_LOG(L_INFO, L"RemoveLocal: Detect local modification to '%s', resolve conflict\n", full);
    SYNC_LOG(L_INFO, L"RemoveLocal: '%s' is kept and sent again as new\n", full);
    resend = true;
  }
  if (FileEventDB::rmEventInfoV3(path) != 0 || FileEventDB::rmRemovalIntent(path) != 0) {
    SYNC_LOG(L_ERR, L"RemoveLocal: Failed to remove database record for '%s'\n", full);
    return ERR_SYS;
  }
  if (resend) {
    Event again(EV_MODIFY, local.type == FT_DIR ? F_DIR | F_EXPAND : 0u, path);
    m_owner->PushLocalEvent(again);
    return ERR_OK;  // nothing was removed: no removal to show
  }
  if (kept) {
    // What stayed has no rows any more: the expansion offers it for upload
    // as new.
    SYNC_LOG(L_INFO, L"RemoveLocal: items in '%s' were kept; offering them for upload\n", full);
    Event expand(EV_CREATE, F_DIR | F_EXPAND, path);
    m_owner->PushLocalEvent(expand);
  }
  notify_event_type = NOTIFY_SERVER_REMOVE;
  return ERR_OK;
}

int Worker::RemoveDirectoryW(const std::wstring& path, uint64_t removal_id) {
  SharePath sp;
  ShareDir root;
  UniqueFd parent;
  if (ParseSharePath(path, sp) != 0 || OpenRoot(root) != 0 ||
      root.OpenParent(sp, false, parent) != 0) {
    SYNC_LOG(L_ERR, L"RemoveDirectory: failed to remove directory '%s'.\n", FullPath(path));
    return -1;
  }
  int kept = 0;
  TrashBatch trash;
  const int pruned = PruneSynced(parent.get(), sp.leaf(), path, removal_id, kept, trash, true);
  ReportTrashed(trash, path);  // what went is in the trash, whatever else failed
  if (pruned != 0) {
    SYNC_LOG(L_ERR, L"RemoveDirectory: failed to remove directory '%s'.\n", FullPath(path));
    return -1;
  }
  SyncDir(parent.get());
  if (kept > 0) {
    SYNC_LOG(L_INFO, L"RemoveDirectory: %d items in '%s' are not synced or changed; kept\n", kept,
             FullPath(path));
    return 1;
  }
  return 0;
}

int Worker::PruneSynced(int dirfd, const std::string& name, const std::wstring& path,
                        uint64_t removal_id, int& kept, TrashBatch& trash, bool top) {
  struct stat st;
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
  ClientFileEventInfo row;
  const bool recorded = FileEventDB::getEventInfo(path, row) == 0 && row.isExist != 0;
  // Synced, and not since the removal (a folder's id is its subtree's
  // newest, so a folder holding anything newer stays).
  const bool synced = recorded && row.syncID != 0 && row.syncID <= removal_id;
  // The server's removals of a folder and of the items in it are carried
  // out side by side, and each removes its item before its row: an item seen
  // whose row is gone may be one another worker has just removed. Kept as
  // never synced, it would be sent again as new and bring the folder back.
  if (!synced && fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : -1;
  if (S_ISREG(st.st_mode)) {
    FILE_INFO info;
    info.path = FullPath(path);
    info.isExist = true;
    info.type = FT_FILE;
    info.size = static_cast<uint64_t>(st.st_size);
    info.mtime = static_cast<uint32_t>(st.st_mtime);
    bool same = synced && !LocallyModified(info, row, std::wstring());
    if (same) {
      // The content decides, as for a single file (see RemoveLocal).
      std::wstring hash;
      const UniqueFd fd(openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      if (!fd.valid() || CalculateMD4(FdPath(fd.get()), hash) != 0) return -1;
      same = !LocallyModified(info, row, hash);
    }
    if (!same) {
      ++kept;
      return 0;
    }
    const int t = trash.Take(dirfd, name, WideToUtf8Lossy(path).substr(1));
    if (t == ERR_INT) {
      ++kept;  // written to while it was copied: a local change now
      return 0;
    }
    if (t < 0) {
      SYNC_LOG(L_ERR, L"RemoveDirectory: '%s' cannot be kept in the trash; not removed\n",
               info.path);
      return -1;
    }
    if (t == kTrashSkipped && unlinkat(dirfd, name.c_str(), 0) != 0 && errno != ENOENT) {
      SYNC_LOG(L_ERR, L"RemoveDirectory: cannot remove '%s': %s\n", info.path,
               std::string(strerror(errno)));
      return -1;
    }
    return 0;
  }
  // A folder without a row is looked into: one made here for the files a
  // download placed goes with them. An empty one below is the user's (a
  // folder made for a download holds what was placed in it); the one the
  // removal names, with no local event pending for it, is not.
  const bool unrecorded_dir = S_ISDIR(st.st_mode) && !recorded;
  if (!S_ISDIR(st.st_mode) || (!unrecorded_dir && (!synced || !row.IsDir()))) {
    ++kept;  // never synced (a link, a special file), newer, or not as a folder
    return 0;
  }
  const int fd = openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return -1;
  }
  std::vector<std::string> children;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    children.emplace_back(e->d_name);
  }
  const int before = kept;
  int result = 0;
  for (const std::string& c : children) {
    std::wstring wc;
    if (UTF8ToNativeStr(c, wc) != 0) {
      ++kept;  // a name the client cannot have synced
      continue;
    }
    if (PruneSynced(::dirfd(d), c, path + L"/" + wc, removal_id, kept, trash, false) != 0)
      result = -1;
  }
  closedir(d);
  if (unrecorded_dir && children.empty() && !top) {
    ++kept;
    return result;
  }
  if (result == 0 && kept == before && unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) != 0 &&
      errno != ENOENT) {
    SYNC_LOG(L_ERR, L"RemoveDirectory: cannot remove '%s': %s\n", FullPath(path),
             std::string(strerror(errno)));
    return -1;
  }
  return result;
}
