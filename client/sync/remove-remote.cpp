// Placeholder for local removals carried to the server (RemoveRemote), which
// its own change replaces. Until then only removals that need no exchange
// finish (the item is back, or the database knows nothing to remove);
// any other fails with ERR_SYS and is retried.
#include "client/sync/worker.h"

#include "lib/base/errors.h"

int Worker::RemoveRemote(const std::wstring& path) {
  FILE_INFO info;
  if (FSStat(FullPath(path), info) == 0 && info.isExist) return ERR_OK;
  ClientFileEventInfo row;
  if (FileEventDB::getEventInfo(path, row) != 0 || row.isExist == 0) return ERR_OK;
  return ERR_SYS;
}

int Worker::ProtoRemoveObject(Channel&, RemoveContext&) {
  return ERR_SYS;
}
