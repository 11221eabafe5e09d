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

int Worker::RemoveLocal(const std::wstring& path) {
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
    // No "synced" status row for a path that is gone.
    notify_event_type = NOTIFY_SERVER_REMOVE;
    return ERR_OK;
  }
  ClientFileEventInfo row;
  const bool has_row = FileEventDB::getEventInfo(path, row) == 0 && row.isExist != 0;
  bool kept = false;
  if (has_row && row.syncID != 0 && !LocallyModified(local, row, std::wstring())) {
    SYNC_LOG(L_DEBUG, L"Removing local '%s'\n", full);
    if (local.type == FT_DIR) {
      const int r = RemoveDirectoryW(path);
      if (r < 0) {
        SYNC_LOG(L_ERR, L"RemoveDirectory: Failed to remove '%s'\n", full);
        return ERR_SYS;
      }
      kept = r > 0;
    } else if (root.Remove(sp) != 0) {
      SYNC_LOG(L_ERR, L"RemoveLocal: Failed to remove path '%s'\n", full);
      return ERR_SYS;
    }
  } else {
    SYNC_LOG(L_INFO, L"RemoveLocal: Detect local modification to '%s', resolve conflict\n", full);
    if (HasPendingLocalEvents()) {
      SYNC_LOG(L_INFO, L"RemoveLocal: Still local events, keep the file\n");
    } else if (m_checker.renameConflictFile(full) != 0) {
      return ERR_SYS;
    }
  }
  if (FileEventDB::rmEventInfoV3(path) != 0) {
    SYNC_LOG(L_ERR, L"RemoveLocal: Failed to remove database record for '%s'\n", full);
    return ERR_SYS;
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

int Worker::RemoveDirectoryW(const std::wstring& path) {
  SharePath sp;
  ShareDir root;
  UniqueFd parent;
  if (ParseSharePath(path, sp) != 0 || OpenRoot(root) != 0 ||
      root.OpenParent(sp, false, parent) != 0) {
    SYNC_LOG(L_ERR, L"RemoveDirectory: failed to remove directory '%s'.\n", FullPath(path));
    return -1;
  }
  int kept = 0;
  if (PruneSynced(parent.get(), sp.leaf(), path, kept) != 0) {
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

int Worker::PruneSynced(int dirfd, const std::string& name, const std::wstring& path, int& kept) {
  struct stat st;
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
  ClientFileEventInfo row;
  const bool synced =
      FileEventDB::getEventInfo(path, row) == 0 && row.isExist != 0 && row.syncID != 0;
  if (S_ISREG(st.st_mode)) {
    FILE_INFO info;
    info.path = FullPath(path);
    info.isExist = true;
    info.type = FT_FILE;
    info.size = static_cast<uint64_t>(st.st_size);
    info.mtime = static_cast<uint32_t>(st.st_mtime);
    if (!synced || LocallyModified(info, row, std::wstring())) {
      ++kept;
      return 0;
    }
    if (unlinkat(dirfd, name.c_str(), 0) != 0 && errno != ENOENT) {
      SYNC_LOG(L_ERR, L"RemoveDirectory: cannot remove '%s': %s\n", info.path,
               std::string(strerror(errno)));
      return -1;
    }
    return 0;
  }
  if (!S_ISDIR(st.st_mode) || !synced || !row.IsDir()) {
    ++kept;  // never synced (a new folder, a link, a special file), or not as a folder
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
    if (PruneSynced(::dirfd(d), c, path + L"/" + wc, kept) != 0) result = -1;
  }
  closedir(d);
  if (result == 0 && kept == before && unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) != 0 &&
      errno != ENOENT) {
    SYNC_LOG(L_ERR, L"RemoveDirectory: cannot remove '%s': %s\n", FullPath(path),
             std::string(strerror(errno)));
    return -1;
  }
  return result;
}
