// Placeholder for the upload side (UploadLocal and its helpers), which its
// own change replaces. Until then an upload finishes only what needs no
// transfer (a vanished item, an item unchanged against its row, such as the
// echo of a download), so that the download side can be exercised; any
// other upload fails with ERR_SYS and is retried.
#include "client/sync/worker.h"

#include "lib/base/errors.h"

int Worker::UploadLocal(const std::wstring& path) {
  FILE_INFO info;
  if (FSStat(FullPath(path), info) != 0) return ERR_SYS;
  if (!info.isExist) return ERR_OK;
  ClientFileEventInfo row;
  if (FileEventDB::getEventInfo(path, row) == 0 && row.isExist != 0 &&
      !LocallyModified(info, row, std::wstring()))
    return ERR_OK;
  return ERR_SYS;
}

bool Worker::LocallyModified(const FILE_INFO& local, const ClientFileEventInfo& row,
                             const std::wstring& hash) const {
  if (local.type == FT_DIR) {
    if (row.IsDir()) return false;
    SYNC_LOG(L_INFO,
             L"ModificationCheck: '%s' appears as FILE in database, but now it is a directory\n",
             local.path);
    return true;
  }
  if (row.IsDir()) {
    SYNC_LOG(L_INFO, L"ModificationCheck: '%s' appears as DIR in database, but now it is a file\n",
             local.path);
    return true;
  }
  if (local.type != FT_FILE) return false;
  if (local.size != row.fileSize || local.mtime != row.fileModTime) {
    SYNC_LOG(L_INFO, L"ModificationCheck: '%s' is modified (size and mtime not match)\n",
             local.path);
    return true;
  }
  if (hash.empty() || hash == row.fileCheckSum) return false;
  SYNC_LOG(L_INFO, L"ModificationCheck: '%s' is modified (hash does not match)\n", local.path);
  return true;
}

int Worker::ProtoUploadObject(Channel&, UploadContext&) {
  return ERR_SYS;
}

int Worker::ProtoReadUploadResponse(Channel&, UploadResponse&) {
  return ERR_SYS;
}
