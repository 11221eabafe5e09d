// Download: a server change to a file or directory brought to the sync root.
// Received content is staged in the working directory, verified, and moved
// into place only after the local item was checked against what the
// database recorded; a local edit is never overwritten (it is kept under a
// conflict name). Every disk operation on the sync root walks from the root
// without following links.
//
// Thread: the calling worker's thread.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "client/store/sign-mgr.h"
#include "client/sync/worker.h"
#include "lib/base/errors.h"
#include "lib/base/mutex.h"
#include "lib/base/utility.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-client.h"
#include "lib/proto/proto-transfer.h"
#include "rsapi/rs-api.h"

namespace {

bool SameState(const FILE_INFO& a, const FILE_INFO& b) {
  if (a.isExist != b.isExist) return false;
  if (!a.isExist) return true;
  return a.type == b.type && a.size == b.size && a.mtime == b.mtime;
}

// The same file in the same version: a write, or a file put in its place,
// changes one of these. (A rename changes the ctime, so it is not compared.)
bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

Mutex g_hook_mutex;
std::shared_ptr<const Worker::PlacementHook> g_placement_hook GUARDED_BY(g_hook_mutex);

int PlacementHookResult(const std::wstring& full) {
  std::shared_ptr<const Worker::PlacementHook> hook;
  {
    MutexLock g(g_hook_mutex);
    hook = g_placement_hook;
  }
  return hook ? (*hook)(full) : 0;
}

// Flushes a staged file's data before it is renamed into place, so that a
// crash leaves either the old item or the whole new one.
void FlushFile(const std::wstring& path) {
  const int fd = open(WideToUtf8Lossy(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

}  // namespace

void Worker::SetPlacementHook(PlacementHook hook) {
  MutexLock g(g_hook_mutex);
  g_placement_hook = hook ? std::make_shared<const PlacementHook>(std::move(hook)) : nullptr;
}

std::wstring Worker::WorkDir() const {
  return SyncRoot() + L"/" + kWorkingDirName;
}

// ---- Wire exchange -----------------------------------------------------------

class Worker::DownloadTarget : public DownloadPayload {
 public:
  DownloadTarget(const Worker& w, DownloadResponse& rs) : m_w(w), m_rs(rs) {}

  int Open(uint32_t block, uint64_t size, FilePtr& out) override {
    if (block == BLK_FILE) {
      struct statvfs vfs;
      const std::string work = WideToUtf8Lossy(m_w.WorkDir());
      if (statvfs(work.c_str(), &vfs) == 0 &&
          static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize < size) {
        m_w.LogAt(Logger::L_ERR, __LINE__, L"DownloadResponse: no room for %llu bytes in '%s'.\n",
                  size, work);
        return ERR_DISKFULL;
      }
    }
    TempFile& data = block == BLK_FILE ? m_rs.file.data : m_rs.mac_attr.data;
    if (data.create() != 0) {
      m_w.LogAt(Logger::L_ERR, __LINE__, L"DownloadResponse: failed to create tmpfile.\n");
      return ERR_SYS;
    }
    const std::string native = WideToUtf8Lossy(data.getPath());
    UniqueFd fd(::open(native.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (fd.valid()) out.reset(::fdopen(fd.get(), "wb"));
    if (!out) {
      m_w.LogAt(Logger::L_ERR, __LINE__, L"DownloadResponse: failed to open '%s'. %s\n",
                data.getPath(), std::strerror(errno));
      return ERR_SYS;
    }
    (void)fd.release();  // the stream owns it now
    std::setvbuf(out.get(), nullptr, _IOFBF, 64 * 1024);
    return 0;
  }

 private:
  const Worker& m_w;
  DownloadResponse& m_rs;
};

// ---- Basis check ---------------------------------------------------------------

BasisResult Worker::CheckBasisFile(const ClientFileEventInfo* row, const FILE_INFO& local,
                                   uint8_t new_type, uint64_t new_size,
                                   const std::wstring& new_hash,
                                   const std::function<int(std::wstring&)>& checksum) const {
  std::wstring local_hash;
  bool have_hash = false;
  auto hash = [&]() -> int {
    if (!have_hash) {
      if (checksum(local_hash) != 0) return -1;
      have_hash = true;
    }
    return 0;
  };
  const bool local_file = local.isExist && local.type == FT_FILE;
  const bool local_dir = local.isExist && local.type == FT_DIR;

  // Compares the local item with the new version.
  auto against_new = [&]() -> BasisResult {
    if (!local.isExist) return BASIS_CHANGED;
    if (new_type == SFT_DIR) {
      if (!local_dir) return BASIS_CHANGED;
      SYNC_LOG(L_INFO, L"CheckBasisFile: Basis is now directory, ignore modification.\n");
      return BASIS_SAME;
    }
    if (local_file) {
      if (hash() != 0) {
        SYNC_LOG(L_ERR, L"CheckBasisFile: Failed to calculate checksum for basis file\n");
        return BASIS_ERROR;
      }
      if (local_hash == new_hash && local.size == new_size) {
        SYNC_LOG(L_INFO,
                 L"CheckBasisFile: Basis file is the same as the remote file, we are done.\n");
        return BASIS_SAME;
      }
    }
    return BASIS_CHANGED;
  };
  // The checksum step: a file whose content differs from the row's changed.
  auto checksum_step = [&](bool size_match) -> BasisResult {
    if (local_file) {
      if (hash() != 0) {
        SYNC_LOG(L_ERR, L"CheckBasisFile: Failed to calculate checksum for basis file\n");
        return BASIS_ERROR;
      }
      if (row && local_hash != row->fileCheckSum) {
        SYNC_LOG(L_INFO, L"CheckBasisFile: Basis file is locally modified\n");
        return against_new();
      }
    }
    return size_match ? against_new() : BASIS_UNCHANGED;
  };
  // The local item is not what the database recorded.
  auto changed = [&]() -> BasisResult {
    if (!local.isExist) return BASIS_VANISHED;
    if (local_dir) return new_type == SFT_DIR ? BASIS_SAME : BASIS_CHANGED;
    if (new_type == SFT_DIR || !local_file) return BASIS_CHANGED;
    if (local.size == new_size) return checksum_step(true);
    return BASIS_CHANGED;
  };

  if (row) {
    if (!local.isExist) {
      SYNC_LOG(L_INFO, L"CheckBasisFile: Basis file vanished.\n");
      return changed();
    }
    if (local_dir) {
      if (row->IsDir()) {
        SYNC_LOG(L_INFO, L"CheckBasisFile: Basis file is unchanged (dir)\n");
        return checksum_step(false);
      }
      SYNC_LOG(L_INFO,
               L"CheckBasisFile: Basis file appears as FILE in database, but now it is a "
               L"directory\n");
      return changed();
    }
    if (!local_file) return changed();  // a link or special file stands there now
    if (row->IsDir()) {
      SYNC_LOG(L_INFO, L"CheckBasisFile: Basis appears as DIR in database, but now it is a file\n");
      return changed();
    }
    if (local.size == row->fileSize) return checksum_step(false);
    SYNC_LOG(L_INFO, L"CheckBasisFile: Basis file is modified (size not match) \n");
    return changed();
  }
  if (!local.isExist) {
    SYNC_LOG(L_INFO, L"CheckBasisFile: Basis is not changed (vanish).\n");
    return checksum_step(false);
  }
  SYNC_LOG(L_INFO, L"CheckBasisFile: Basis does not appear in database.\n");
  return changed();
}

// ---- Download --------------------------------------------------------------------

int Worker::DownloadRemote(uint64_t sync_id, const std::wstring& path) {
  SharePath sp;
  if (CheckServerPath(path, L"DownloadRemote", sp) != 0) return ERR_OK;  // dropped
  const std::wstring full = FullPath(path);
  ShareDir root;
  if (OpenRoot(root) != 0) return ERR_SYS;
  root.SetDirMode(0777);

  ClientFileEventInfo row;
  const bool has_row = FileEventDB::getEventInfo(path, row) == 0 && row.isExist != 0;
  if (!has_row) row.Clear();
  if (has_row && row.IsFile() && !IsFileExist(row.signaturePath))
    SYNC_LOG(L_NOTICE, L"DownloadRemote: missing signature while downloading '%s'.\n", path);
  if (has_row && row.syncID == sync_id) {
    SYNC_LOG(L_INFO, L"DownloadRemote: File '%s' is already up-to-date (server echo).\n", path);
    return ERR_OK;
  }
  // This client's own change coming back: nothing in it is new here, and
  // whatever the user did since (a removal that waits for the server, an
  // edit on its way up) must not be undone by it. A folder's row cannot
  // tell its echo (it holds the newest id below it), nor can a row that the
  // user's removal has taken already.
  bool own = false;
  if (sync_id != UINT64_MAX && FileEventDB::isOwnSyncId(sync_id, own) != 0) return ERR_SYS;
  if (own) {
    SYNC_LOG(L_INFO, L"DownloadRemote: '%s' is this client's own change (server echo).\n", path);
    return ERR_OK;
  }
  // What the user removed and the server has not removed yet is not
  // fetched again (the start-up rescan asks for it with the id ~0); only
  // what another client changed since is brought (for a folder: and the
  // folder with it). A file's intent covers that file alone, and only while
  // its row still names the version removed.
  FileEventDB::RemovalIntent intent;
  int pending = FileEventDB::findRemovalIntent(path, intent);
  if (pending < 0) return ERR_SYS;
  if (pending > 0 && !intent.is_dir && intent.path != path) pending = 0;
  if (pending > 0 && intent.path == path && intent.Overtaken(has_row ? &row : nullptr)) {
    if (FileEventDB::rmRemovalIntent(path) != 0) return ERR_SYS;
    pending = 0;
  }
  if (pending > 0 && (sync_id == UINT64_MAX || sync_id <= intent.base)) {
    SYNC_LOG(L_INFO, L"DownloadRemote: '%s' was removed here; its removal waits (from '%s')\n",
             path, intent.path);
    return ERR_OK;
  }
  FILE_INFO local;
  if (LocalStat(root, sp, local) != 0) {
    SYNC_LOG(L_ERR, L"DownloadRemote: Failed to get local file info (%s)\n", full);
    return ERR_SYS;
  }

  // The version named as base is the one a delta would apply to: without a
  // local file to patch (or after a delta that did not fit it) the whole
  // file is asked for, else every retry would get the same unusable delta.
  uint64_t base = has_row ? row.syncID : 0;
  if (!local.isExist || (has_row && row.IsFile() && local.type != FT_FILE) || m_whole_next == path)
    base = 0;

  // Staging and the working directory itself are reached without links.
  SharePath work_sp;
  UniqueFd work_fd;
  if (ParseSharePath(std::wstring(L"/") + kWorkingDirName, work_sp) != 0) return ERR_SYS;
  if (root.MakeDir(work_sp) != 0 || root.OpenDir(work_sp, work_fd) != 0) {
    SYNC_LOG(L_ERR, L"DownloadRemote: the working directory '%s' cannot be used\n", WorkDir());
    return ERR_SYS;
  }

  DownloadWork ctx;
  for (int attempt = 0;; ++attempt) {
    ctx = DownloadWork();
    ctx.request.session = Session();
    ctx.request.obj.sync_id = base;
    ctx.request.obj.path = path;
    ctx.response.file.data = TempFile(WorkDir());
    ctx.response.mac_attr.data = TempFile(WorkDir());
    DownloadTarget target(*this, ctx.response);
    const int r = WithChannel(
        L"DownloadRemote: Failed to establish communication channel %s\n", ctx.response.alive,
        [&](Channel& ch) { return ProtoDownloadObject(ch, ctx, target, LogTo()); });
    if (r < 0) {
      SYNC_LOG(L_ERR, L"Worker (%d): failed to download '%s'. %s.\n", m_index, path,
               GetErrorStringW(r));
      if (ctx.response.too_large) {
        m_owner->ReportError(ERR_QUOTA);
        return ERR_OK;  // dropped: no retry can change the size
      }
      return r;
    }
    if (ctx.response.code != SPROTO_RES_UPTODATE) break;
    // Up to date with what the database recorded, but the item is gone
    // (removed while the client was not running): fetch it whole.
    if (LocalStat(root, sp, local) != 0) return ERR_SYS;
    if (local.isExist || base == 0 || attempt > 0) return ERR_OK;
    SYNC_LOG(L_INFO, L"DownloadRemote: '%s' is missing locally, fetching it again\n", path);
    base = 0;
  }
  DownloadResponse& rs = ctx.response;
  // Unless new content is put in place, the file is the one the row
  // described: its stamp stays (a change since then still shows).
  if (has_row && row.IsFile()) {
    ctx.inode = row.inode;
    ctx.ctime_ns = row.ChangeTime();
  }
  if (rs.code == SPROTO_RES_NOENT) {
    SYNC_LOG(L_INFO, L"DownloadRemote: Object %s is removed, fake event, abort anyway\n", path);
    return RemoveLocal(path);
  }
  if (rs.code != SPROTO_RES_OK) {
    const int code = ProtoResp2ErrorCode(rs.code);
    SYNC_LOG(L_ERR, L"DownloadRemote: Bad response: %s\n", GetErrorStringW(code));
    return code;
  }
  if (rs.obj.path != path) {
    SYNC_LOG(L_ERR, L"DownloadRemote: asked for '%s', the server answered for '%s'\n", path,
             rs.obj.path);
    return ERR_PROTO;
  }
  const bool new_dir = rs.new_obj_type == SFT_DIR;

  // Prepare the new content.
  TempFile sign_file(SignMgr::folder());
  TempFile patched(WorkDir());
  TempFile* content = nullptr;  // the verified (or unusable) new content
  bool new_in_temp = false, ready = false;
  const bool has_file = !new_dir && (rs.data_blocks & BLK_FILE) != 0;
  if (new_dir) {
    ready = true;  // made at placement, once the way is clear
  } else if (!has_file) {
    SYNC_LOG(L_INFO, L"DownloadRemote: File content of '%s' is not modified.\n", path);
  } else {
    content = &rs.file.data;
    new_in_temp = true;
    bool patch_ok = true;
    // A patched result is hashed as it is written.
    RSDigest patched_digest;
    bool patched_hashed = false;
    if (rs.file.type != 0) {
      UniqueFd basis;
      if (patched.create() != 0) {
        SYNC_LOG(L_ERR, L"DownloadRemote: Failed to create TempFile\n");
        return ERR_SYS;
      }
      if (root.OpenRead(sp, basis) != 0 ||
          RSPatchFile(FdPath(basis.get()), rs.file.data.getPath(), patched.getPath(),
                      rs.file.size, &patched_digest) != 0) {
        SYNC_LOG(L_INFO, L"DownloadRemote: Check basis file of (%s) after patching ...\n", full);
        patch_ok = false;
      } else {
        rs.file.data.remove();
        content = &patched;
        patched_hashed = true;
      }
    }
    if (patch_ok) {
      // The checksum and the signature the next delta needs come from one
      // read of the new content (or the patch's own writing of it); the
      // signature is kept only if it verifies.
      std::wstring got;
      FILE_INFO staged;
      int calc;
      if (patched_hashed) {
        unsigned char raw[kMD4DigestLen];
        patched_digest.Final(raw);
        got = RSDigestToText(raw);
        calc = SignMgr::createSignatureFile(sign_file) != 0
                   ? -1
                   : CalculateSignature(content->getPath(), sign_file);
      } else {
        calc = CalculateMD4AndSignature(content->getPath(), got, sign_file);
      }
      if (calc != 0 || FSStat(content->getPath(), staged) != 0) {
        SYNC_LOG(L_ERR, L"DownloadRemote: Failed to verify patched new file, try it again\n");
        return ERR_SYS;
      }
      if (got != rs.file.hash || staged.size != rs.file.size) {
        SYNC_LOG(L_INFO, L"DownloadRemote: Check basis file of (%s) after incorrect patch file ...\n",
                 full);
        sign_file.remove();
      } else {
        ready = true;
      }
    }
  }

  // Check the local item against the database and the new version.
  FILE_INFO expected = local;  // what must stand at the path at placement
  struct stat expected_st {};  // the same, exactly; st_ino 0 when nothing is to be replaced
  TrashBatch trash;            // what this download takes away from the sync root
  if (new_dir || has_file) {
    // Taken before the content is read: an edit made after it shows up at
    // placement.
    if (LocalStat(root, sp, local, &expected_st) != 0) return ERR_SYS;
    if (!local.isExist || local.type != FT_FILE) expected_st = {};
    expected = local;
    const BasisResult b = CheckBasisFile(
        has_row ? &row : nullptr, local, rs.new_obj_type, rs.file.size, rs.file.hash,
        [&](std::wstring& h) {
          UniqueFd fd;
          if (root.OpenRead(sp, fd) != 0) return -1;
          return CalculateMD4(FdPath(fd.get()), h);
        });
    if (b < 0) return ERR_SYS;
    if (!ready) {
      switch (b) {
        case BASIS_UNCHANGED:
          SYNC_LOG(L_ERR,
                   L"DownloadRemote: Basis unchanged but cannot prepare file (incorrect patch "
                   L"file)\n");
          ++patch_err_count;
          m_whole_next = path;
          return ERR_SYS;
        case BASIS_VANISHED:
          SYNC_LOG(L_ERR,
                   L"DownloadRemote: Basis unchanged but cannot prepare file (basis removed)\n");
          return ERR_INT;  // the next attempt has no basis and asks for the whole file
        case BASIS_SAME:
          content->remove();
          new_in_temp = false;
          ctx.inode = local.ino;  // taken before its content was found to be the new one
          ctx.ctime_ns = local.ctime_ns;
          break;
        default:
          SYNC_LOG(L_INFO, L"DownloadRemote: Basis changed, try to resolve conflict\n");
          if (local.isExist && m_checker.renameConflictFile(full) != 0) return ERR_SYS;
          return ERR_INT;
      }
    } else if (local.isExist) {
      if (b == BASIS_CHANGED) {
        if (m_checker.renameConflictFile(full) != 0) return ERR_SYS;
        expected = FILE_INFO();
        expected_st = {};
      } else if (b == BASIS_SAME) {
        if (content) content->remove();
        new_in_temp = false;
        ctx.inode = local.ino;
        ctx.ctime_ns = local.ctime_ns;
      } else if (new_dir && local.type != FT_DIR) {
        // The synced file goes to the trash; where it cannot, it stays.
        UniqueFd parent;
        const int t = root.OpenParent(sp, false, parent) != 0
                          ? ERR_SYS
                          : trash.Take(parent.get(), sp.leaf(), sp.str().substr(1));
        if (t < 0 || (t == kTrashSkipped && root.Remove(sp) != 0)) {
          SYNC_LOG(L_ERR, L"DownloadRemote: type jump, but can not remove basis.\n");
          return t < 0 ? t : ERR_SYS;
        }
        expected = FILE_INFO();
        expected_st = {};
      } else if (!new_dir && local.type == FT_DIR) {
        const int kept = RemoveDirectoryW(path);
        if (kept < 0) {
          SYNC_LOG(L_ERR, L"RemoveDirectory: Failed to remove '%s'\n", full);
          return ERR_SYS;
        }
        // What the directory still holds was never synced or has changed:
        // it stays, under a conflict name, and the file takes the path.
        if (kept > 0 && m_checker.renameConflictFile(full) != 0) return ERR_SYS;
        if (FileEventDB::rmEventInfo(path) != 0) return ERR_SYS;
        expected = FILE_INFO();
        expected_st = {};
      }
    }
  }

  // Attributes of staged content; the placement below keeps them.
  const bool set_time = (rs.data_blocks & BLK_COMMON_ATTR) != 0;
  // A time that cannot be set is logged there; the content is still right.
  if (set_time && new_in_temp)
    (void)FSUTime(content->getPath(), rs.common_attr.mtime, rs.common_attr.mtime);

  // Placement of a folder. A local change made since the check is renamed
  // aside first. (A file's placement checks in the same step as it swaps.)
  if (new_dir) {
    FILE_INFO now;
    if (LocalStat(root, sp, now) != 0) return ERR_SYS;
    if (!SameState(now, expected) && now.isExist && !(new_dir && now.type == FT_DIR)) {
      SYNC_LOG(L_INFO, L"DownloadRemote: '%s' changed while it was downloaded; keeping it aside\n",
               full);
      if (m_checker.renameConflictFile(full) != 0) return ERR_SYS;
    }
  }
  // Something else than a folder on the way. A link: reaching the path
  // would mean leaving the tree, retrying cannot help, and the user is told.
  // A file: the server's change that makes it a folder is on its way (or
  // the file is kept aside when it comes); this one waits for it.
  auto unreachable = [&]() {
    if (!ThroughLink(root, sp)) {
      SYNC_LOG(L_INFO, L"DownloadRemote: a file stands where a folder of '%s' belongs; later\n",
               full);
      return ERR_SYS;
    }
    SYNC_LOG(L_WARNING, L"DownloadRemote: '%s' cannot be reached without leaving the sync root\n",
             full);
    m_owner->ReportError(ERR_INVAL);
    return ERR_OK;
  };
  if (new_dir) {
    const int r = root.MakeDir(sp);
    if (r == ERR_CONFLICT) return unreachable();
    if (r != 0) {
      SYNC_LOG(L_ERR, L"DownloadRemote: Cannot create directory %s\n", full);
      return ERR_SYS;
    }
  } else if (new_in_temp) {
    FlushFile(content->getPath());
    const std::wstring staged = content->getPath();
    // The stamp of the verified content, which only this worker has
    // touched. Putting it in place changes its change time: the first
    // look at it afterwards reads it once more and records the new one.
    FILE_INFO ready_info;
    if (FSStat(staged, ready_info) == 0 && ready_info.isExist) {
      ctx.inode = ready_info.ino;
      ctx.ctime_ns = ready_info.ctime_ns;
    } else {
      ctx.inode = 0;
      ctx.ctime_ns = 0;
    }
    const std::string name = WideToUtf8Lossy(staged.substr(staged.rfind(L'/') + 1));
    bool moved = false;
    const int r = PlaceFile(root, sp, work_fd.get(), name, expected_st, trash, moved);
    // Moved: the staged name is free again, or holds what PlaceFile left
    // there on purpose.
    if (moved) content->convert_permanent();
    if (r == ERR_CONFLICT) return unreachable();
    if (r != 0) {
      SYNC_LOG(L_ERR, L"DownloadRemote: Cannot rename from %s -> %s\n", staged, full);
      return r;
    }
  }
  if (set_time && (!new_in_temp || new_dir)) (void)root.SetMtime(sp, rs.common_attr.mtime);

  if (has_row && row.IsDir() && !new_dir && FileEventDB::rmEventInfo(path) != 0) return ERR_SYS;
  const int c = CommitDatabase(ctx, row, sign_file);
  if (c != 0) {
    SYNC_LOG(L_ERR,
             L"DownloadRemote: Failed to commit changes to '%s' into local database. Error Code "
             L"= %d\n",
             path, c);
    return ERR_SYS;
  }
  if (m_whole_next == path) m_whole_next.clear();
  // Removed between its placement and this record (a removal after it
  // finds the row).
  if (!has_row) QueueRemovalIfGone(path, new_dir, L"DownloadRemote");
  ReportTrashed(trash, path);
  notify_event_type = NOTIFY_SERVER_MODIFY;
  return ERR_OK;
}

int Worker::PlaceFile(const ShareDir& root, const SharePath& sp, int work_fd,
                      const std::string& name, const struct stat& expected, TrashBatch& trash,
                      bool& moved) {
  moved = false;
  const std::wstring full = FullPath(Utf8ToWideLossy(sp.str()));
  const std::string rel = sp.str().substr(1);
  UniqueFd parent;
  const int pr = root.OpenParent(sp, true, parent);
  if (pr != 0) return pr == ERR_CONFLICT ? ERR_CONFLICT : ERR_SYS;
  const char* leaf = sp.leaf().c_str();
  bool replace = expected.st_ino != 0;
  // The synced version is kept before it is swapped out: once it is out, a
  // full disk must not be able to lose it.
  if (replace) {
    const int t = trash.Copy(parent.get(), sp.leaf(), rel);
    if (t < 0) {
      SYNC_LOG(L_ERR,
               L"DownloadRemote: the synced version of '%s' cannot be kept in the trash; it "
               L"stays\n",
               full);
      return t;
    }
  }
  // Not placed: a copy of the synced file that still stands would only be
  // a second name for it (a hard link follows later edits).
  const bool copied = replace;
  auto not_placed = [&](int code) {
    struct stat now;
    if (copied && fstatat(parent.get(), leaf, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(now, expected))
      trash.Discard();
    return code;
  };
  for (int attempt = 0; attempt < 4; ++attempt) {
    int err = PlacementHookResult(full);
    if (err == 0 && renameat2(work_fd, name.c_str(), parent.get(), leaf,
                              replace ? RENAME_EXCHANGE : RENAME_NOREPLACE) != 0)
      err = errno;
    if (err == EINVAL || err == ENOSYS) {
      // The file system cannot swap or refuse to replace: check once more,
      // as late as possible, and rename.
      struct stat now;
      const bool exists = fstatat(parent.get(), leaf, &now, AT_SYMLINK_NOFOLLOW) == 0;
      if (exists && !(replace && SameFile(now, expected))) {
        err = EEXIST;
      } else {
        err = renameat(work_fd, name.c_str(), parent.get(), leaf) == 0 ? 0 : errno;
        if (err == 0) replace = false;  // nothing comes out of a plain rename
      }
    }
    if (err == ENOENT && replace) {
      replace = false;  // the user removed the synced file meanwhile
      continue;
    }
    if (err == EEXIST) {
      // Made (or changed) here since the check: it is the user's.
      SYNC_LOG(L_INFO,
               L"DownloadRemote: '%s' changed while it was downloaded; keeping it aside\n", full);
      if (m_checker.renameConflictFile(full) != 0) return not_placed(ERR_SYS);
      replace = false;
      continue;
    }
    if (err != 0) {
      SYNC_LOG(L_ERR, L"DownloadRemote: cannot put '%s' in place: %s\n", full,
               std::string(strerror(err)));
      return not_placed(ERR_SYS);
    }
    moved = true;
    SyncDir(parent.get());
    if (!replace) return 0;
    // The new file is in place; what came out now has the staged name.
    struct stat out;
    if (fstatat(work_fd, name.c_str(), &out, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(out, expected)) {
      (void)unlinkat(work_fd, name.c_str(), 0);  // the trash holds it
      return 0;
    }
    SYNC_LOG(L_INFO, L"DownloadRemote: '%s' changed while it was downloaded; keeping it aside\n",
             full);
    if (m_checker.renameConflictFile(full, work_fd, name) == 0) return 0;
    // Never lost: the trash takes it when no conflict name can.
    if (trash.Take(work_fd, name, rel + ".local-edit") == kTrashKept) return 0;
    SYNC_LOG(L_ERR, L"DownloadRemote: the local edit of '%s' stays at '%s/%s'\n", full, WorkDir(),
             name);
    return ERR_SYS;
  }
  SYNC_LOG(L_ERR, L"DownloadRemote: '%s' keeps changing; later\n", full);
  return not_placed(ERR_INT);
}

int Worker::CommitDatabase(DownloadWork& ctx, const ClientFileEventInfo& row, TempFile& sign_file) {
  const DownloadResponse& rs = ctx.response;
  ClientFileEventInfo n;
  n.syncID = rs.obj.sync_id;
  n.path = ctx.request.obj.path;
  n.baseName = n.path.substr(n.path.rfind(L'/') + 1);
  n.fileType = rs.new_obj_type == SFT_DIR ? EV_DIR_TYPE : EV_FILE_TYPE;
  n.isExist = 1;
  if (rs.new_obj_type == SFT_DIR) {
    n.fileSize = 0;
  } else if (rs.data_blocks & BLK_FILE) {
    n.fileSize = rs.file.size;
    n.fileCheckSum = rs.file.hash;
  } else {
    n.fileSize = row.fileSize;
    n.fileCheckSum = row.fileCheckSum;
  }
  n.fileModTime = (rs.data_blocks & BLK_COMMON_ATTR) ? rs.common_attr.mtime : row.fileModTime;
  n.macHash = (rs.data_blocks & BLK_MAC_ATTR) ? rs.mac_attr.hash : row.macHash;
  if (!sign_file.getPath().empty()) {
    n.signaturePath = sign_file.getPath();
  } else if (rs.new_obj_type != SFT_DIR) {
    n.signaturePath = row.signaturePath;
  }
  if (rs.new_obj_type != SFT_DIR) n.SetStamp(ctx.inode, ctx.ctime_ns);
  const int r = FileEventDB::setEventInfo(n);
  if (r != 0) {
    SYNC_LOG(L_ERR, L"CommitDatabase: Failed to update local event database. Error code = %d\n", r);
    return -1;
  }
  sign_file.convert_permanent();
  return 0;
}
