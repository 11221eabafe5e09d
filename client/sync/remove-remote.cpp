// The removal on the server of an item removed locally (worker thread).
//
// The server removes an item only when the base id the client sends covers
// every change at or below it ("wait" otherwise), so the base must never
// claim more than this client has seen. A file's row names the version it
// holds. A directory's row does not: its id is the largest of its subtree's
// rows, which counts this client's own uploads but says nothing of a change
// another client made meanwhile below it. What covers a whole subtree is the
// id up to which every server change was either processed from a pull (the
// syncer's cursor) or made by this client itself: a folder removed right
// after it was uploaded needs no pull first.
//
// The removal's intent, recorded when it was queued, ends here whichever
// way the removal ends, but for one: a folder the server still refuses is
// not given up. Its rows stay, the intent is marked refused, the pull does
// not bring back what the user removed (see DownloadRemote), and the syncer
// sends the removal again once it has seen more.
#include <string>
#include <vector>

#include "client/store/flist.h"
#include "client/sync/worker.h"
#include "lib/base/errors.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-client.h"
#include "lib/proto/proto-common.h"
#include "lib/proto/proto-transfer.h"

namespace {

std::wstring ParentOf(const std::wstring& path) {
  const size_t slash = path.rfind(L'/');
  return slash == std::wstring::npos || slash == 0 ? std::wstring() : path.substr(0, slash);
}

// Whether the folder above `path` is gone from the disk too while the
// database still holds it: its own removal then covers `path`.
bool ParentRemovalPending(const std::wstring& parent, const std::wstring& full_parent) {
  if (parent.empty()) return false;
  FILE_INFO info;
  if (FSStat(full_parent, info) != 0 || info.isExist) return false;
  ClientFileEventInfo row;
  return FileEventDB::getEventInfo(parent, row) == 0 && row.isExist && row.IsDir();
}

}  // namespace

int Worker::RemoveRemote(const std::wstring& path) {
  const std::wstring full = FullPath(path);
  // Removal events for the items below `path` that the database knows and
  // the disk no longer has, deepest first so that each folder is empty by
  // the time its turn comes.
  auto queue_missing_children = [&]() {
    StringBuffer pool;
    FileList rows(pool);
    if (FileEventDB::getFileList(rows, path) != 0) return;
    std::vector<Event> removals;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
      if (it->path.empty() || IsFileExist(FullPath(it->path))) continue;
      removals.emplace_back(EV_REMOVE, it->is_dir() ? F_DIR : 0u, it->path);
    }
    if (removals.empty()) return;
    SYNC_LOG(L_INFO, L"RemoveRemote: %d items below '%s' are gone locally, removing them\n",
             removals.size(), path);
    m_owner->PushLocalEvents(removals);
  };
  FILE_INFO info;
  if (FSStat(full, info) != 0) {
    // Whether it is still there is unknown; removing it on the server would
    // take it from every other client.
    SYNC_LOG(L_WARNING, L"RemoveRemote: File '%s' cannot be removed\n", full);
    return ERR_SYS;
  }
  ClientFileEventInfo row;
  const bool have_row = FileEventDB::getEventInfo(path, row) == 0;
  if (info.isExist) {
    SYNC_LOG(L_WARNING, L"RemoveRemote: File '%s' cannot be removed\n", full);
    // A removal waiting for the pull is over: what stands here now decides.
    // (First: the removals queued below record intents of their own.)
    if (FileEventDB::rmRemovalIntent(path) != 0) return ERR_SYS;
    const bool is_dir = info.type == FT_DIR;
    if (have_row && row.isExist && row.IsDir() && is_dir) {
      // A folder that came back (or was made again) keeps only what is on
      // disk: synced items that are gone from it were removed by the user.
      // (Back with what another client added while its removal waited, it
      // stays for that.)
      queue_missing_children();
    } else {
      // Whatever else stands here (a file that came back, a folder where a
      // file was or the reverse, an item never synced) is offered for upload
      // again: this removal may have taken the queue place of the event that
      // announced it, and the upload sends only what the server lacks.
      Event again(EV_MODIFY, is_dir ? F_DIR : 0u, path);
      m_owner->PushLocalEvent(again);
    }
    return ERR_OK;
  }
  if (!have_row || !row.isExist) {
    // Whatever waited for it has gone with its rows.
    if (FileEventDB::rmRemovalIntent(path) != 0) return ERR_SYS;
  }
  if (!have_row) {
    SYNC_LOG(L_ERR, L"RemoveRemote: File '%s' cannot be removed (no record)\n", full);
    return ERR_OK;
  }
  if (!row.isExist) {
    SYNC_LOG(L_INFO, L"RemoveRemote: file '%s' has already been removed.\n", full);
    return ERR_OK;
  }
  if (ParentRemovalPending(ParentOf(path), FullPath(ParentOf(path)))) {
    // The folder above is gone too: its removal takes this item with it, in
    // one request with one base, instead of one request per item whose
    // removals the folder's base could not cover until pulled back.
    SYNC_LOG(L_DEBUG, L"RemoveRemote: '%s' goes with its folder\n", path);
    if (FileEventDB::rmRemovalIntent(path) != 0) return ERR_SYS;
    notify_event_type = NOTIFY_CLIENT_REMOVE;
    return ERR_OK;
  }

  RemoveContext ctx;
  ctx.request.session = Session();
  ctx.request.obj.path = path;
  ctx.request.obj.sync_id = row.syncID;
  if (row.IsDir()) {
    uint64_t seen = 0;
    if (FileEventDB::getSeenSyncId(seen) != 0) return ERR_SYS;
    ctx.request.obj.sync_id = seen;
  }
  const int e = ExchangeRemoval(ctx);
  if (e != 0) return e;

  switch (ctx.response.code) {
    case SPROTO_RES_OK:
      break;
    case SPROTO_RES_NOENT:
      SYNC_LOG(L_INFO,
               L"RemoveRemote: Fake event on '%s' ... how did you do that? remove local entry "
               L"anyway.\n",
               path);
      break;
    case SPROTO_RES_WAIT:
      SYNC_LOG(L_INFO, L"RemoveRemote: Object '%s' on the server is modified, abort anyway\n",
               path);
      if (row.IsDir()) {
        // Something below it changed that this client has not seen: another
        // client's change (which the next pull brings, and the folder with
        // it), or its own whose answer it has not had. The rows stay, and
        // the syncer sends the removal again once it has seen more; should
        // the folder come back, only what is gone from it is removed then.
        // Until then there is nothing to retry: asking again now would get
        // the same answer.
        FileEventDB::RemovalIntent refused;
        refused.path = path;
        refused.base = ctx.request.obj.sync_id;
        refused.is_dir = true;
        refused.refused = true;
        if (FileEventDB::setRemovalIntent(refused) != 0) return ERR_SYS;
        SYNC_LOG(L_INFO,
                 L"RemoveRemote: '%s' is tried again once the changes below it are pulled\n", path);
        return ERR_OK;
      }
      // The server's newer version stays there and arrives with the next
      // pull, as the path has no row any more.
      break;
    default: {
      const int code = ProtoResp2ErrorCode(ctx.response.code);
      SYNC_LOG(L_ERR, L"RemoveRemote: Failed to remove '%s'. %s\n", path, GetErrorStringW(code));
      return code;
    }
  }
  int r = FileEventDB::rmEventInfoV3(path);
  if (r == 0) r = FileEventDB::rmRemovalIntent(path);
  if (r != 0) {
    SYNC_LOG(L_ERR, L"RemoveRemote: Failed to update local event database. Error code = %d\n", r);
    return ERR_SYS;
  }
  notify_event_type = NOTIFY_CLIENT_REMOVE;
  return ERR_OK;
}

int Worker::ExchangeRemoval(RemoveContext& ctx) {
  Connection* conn = nullptr;
  int e = ObtainChannel(conn);
  if (e != 0) {
    SYNC_LOG(L_ERR, L"RemoveRemote: Failed to establish communication channel. %s\n",
             GetErrorStringW(e));
    return e;
  }
  e = ProtoRemoveObject(*conn->channel, ctx, LogTo());
  ReturnChannel(conn, e < 0 ? 0 : ctx.response.alive);
  if (e < 0) {
    SYNC_LOG(L_INFO, L"RemoveRemote: failed to remove object (%s). %s.\n", ctx.request.obj.path,
             GetErrorStringW(e));
  }
  return e;
}

int Worker::RemoveReplacedFolder(const std::wstring& path) {
  RemoveContext ctx;
  ctx.request.session = Session();
  ctx.request.obj.path = path;
  if (FileEventDB::getSeenSyncId(ctx.request.obj.sync_id) != 0) return ERR_SYS;
  const int e = ExchangeRemoval(ctx);
  if (e != 0) return e < 0 ? e : ERR_SYS;
  if (ctx.response.code != SPROTO_RES_OK && ctx.response.code != SPROTO_RES_NOENT) {
    SYNC_LOG(L_INFO,
             L"RemoveRemote: the folder '%s' that a file replaced stays on the server (%d)\n",
             path, static_cast<int>(ctx.response.code));
    return 1;
  }
  if (FileEventDB::rmEventInfoV3(path) != 0) {
    SYNC_LOG(L_ERR, L"RemoveRemote: Failed to update local event database.\n");
    return ERR_SYS;
  }
  SYNC_LOG(L_INFO, L"RemoveRemote: removed the folder '%s' that a file replaced\n", path);
  return 0;
}
