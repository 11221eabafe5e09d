// The upload of a local creation or change (worker thread): decide whether
// anything must be sent, prepare the content, send it, and record the
// server's answer.
//
// Content goes out straight from the file; no copy of it is written. A
// whole file is read once for its checksum (and a fast hash of the same
// bytes), then read again as it is sent, its last block going only once the
// bytes sent hash the same. A change to a file with a signature goes as a
// delta, made in the same read as its checksum; its last block waits until
// the file, read again, is found to still hold what was read. Either way a
// file written meanwhile is tried again, never sent as a mix of two
// versions. The new signature is written beside the send, from a read that
// must find those same bytes.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "client/core/sysinfo-mgr.h"
#include "client/local/worker-filter.h"
#include "client/store/sign-mgr.h"
#include "client/sync/worker.h"
#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/base/stream-hash.h"
#include "lib/base/utility.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-client.h"
#include "lib/proto/proto-common.h"
#include "lib/proto/proto-transfer.h"
#include "rsapi/rs-api.h"

namespace {

// The niceness of a job that nothing in the exchange waits for.
constexpr int kYieldingNice = 10;

std::wstring BaseName(const std::wstring& path) {
  const size_t slash = path.rfind(L'/');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

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

int Worker::CheckPrepared(const std::wstring& full, const FILE_INFO& start, uint64_t read) {
  if (HasPendingLocalEvents()) {
    SYNC_LOG(L_INFO,
             L"PrepareFileBlock: Detect modification of '%s' while calculating delta, try it "
             L"again\n",
             full);
    return ERR_INT;
  }
  // What was read is a version of the file only if the file still holds
  // it. Its status is compared here; its content is read again beside the
  // send, which holds back the last block until that check has passed.
  FILE_INFO end;
  const int looked = StatBelowRoot(full, end);
  if (looked == ERR_SYS) {
    SYNC_LOG(L_ERR, L"PrepareFileBlock: Failed to get file status for '%s', undo\n", full);
    return ERR_SYS;
  }
  if (looked != 0 || start != end) {
    SYNC_LOG(L_INFO,
             L"PrepareFileBlock: File '%s' is modified while preparing upload (file system), try "
             L"it again\n",
             full);
    return ERR_INT;
  }
  if (read != end.size) {
    SYNC_LOG(L_INFO,
             L"PrepareFileBlock: File '%s' is modified while preparing upload (hash not match), "
             L"try it again\n",
             full);
    return ERR_INT;
  }
  return 0;
}

int Worker::OpenUploadFile(const std::wstring& full, const FILE_INFO& start, UniqueFd& in) const {
  struct stat st;
  const int opened = OpenBelowRoot(full, in, st);
  if (opened == ERR_SYS) {
    SYNC_LOG(L_ERR, L"PrepareFileBlock: Failed to open '%s', retry upload\n", full);
    return ERR_SYS;
  }
  // Its size and type are those of the descriptor read, which must be the
  // file examined.
  FILE_INFO now;
  if (opened == 0) FSInfoFromStat(full, st, now);
  if (opened != 0 || now != start) {
    in.reset();
    SYNC_LOG(L_INFO,
             L"PrepareFileBlock: File '%s' is modified while preparing upload (file system), try "
             L"it again\n",
             full);
    return ERR_INT;
  }
  return 0;
}

int Worker::PrepareFileBlock(const std::wstring& path, const ClientFileEventInfo& row,
                             UploadWork& work, TempFile& sign_file) {
  UploadRequest& req = work.request;
  // A cleared row (none) or a tombstone is no base content.
  const bool have_row = row.isExist != 0;
  const std::wstring full = FullPath(path);
  FILE_INFO start;
  const int looked = StatBelowRoot(full, start);
  if (looked == ERR_SYS) {
    SYNC_LOG(L_ERR, L"PrepareFileBlock: Failed to get file status for '%s', redo\n", full);
    return ERR_SYS;
  }
  if (looked != 0 || !start.isExist || start.type != FT_FILE) {
    SYNC_LOG(L_INFO,
             L"PrepareFileBlock: File '%s' is modified while preparing upload (file system), try "
             L"it again\n",
             full);
    return ERR_INT;
  }
  // No look at size and time stands in for the content here: a write that
  // puts the old time back, or a file renamed over this one, keeps both,
  // and every event that brings a file here says it changed. (A rescan
  // queues a file only when its size, time or stamp differs from its row.)

  // The signature the next upload will take its delta against, whichever
  // way this one goes (a delta that cannot be made falls back to the whole
  // file below).
  if (SignMgr::createSignatureFile(sign_file) != 0) {
    SYNC_LOG(L_ERR, L"PrepareFileBlock: Failed to create signature \n");
    return ERR_SYS;
  }
  const bool have_signature =
      have_row && row.IsFile() && !row.signaturePath.empty() && IsFileExist(row.signaturePath);
  if (have_signature) {
    const int r = PrepareDelta(full, start, row, req, sign_file);
    if (r <= 0) return r;
  } else {
    SYNC_LOG(L_DEBUG, L"PrepareFileBlock: Cannot retrieve base event info for file '%s'\n", full);
  }

  // One read gives the checksum the request announces and a fast hash of
  // the same bytes. The send reads the file again and hashes what it sends:
  // its last block goes only when that hash is the same, so the checksum
  // describes exactly the bytes sent and a file written meanwhile is tried
  // again, never sent as a mix of two versions. No copy of the file is
  // written (a large file needs no room twice).
  UniqueFd in;
  const int opened = OpenUploadFile(full, start, in);
  if (opened != 0) return opened;
  const FirstRead first = ReadForUpload(in.get(), nullptr);
  if (first.got < 0) {
    SYNC_LOG(L_ERR, L"PrepareFileBlock: Failed to read '%s', retry upload\n", full);
    return ERR_SYS;
  }
  in.reset();
  const uint64_t got = static_cast<uint64_t>(first.got);
  const std::wstring& hash = first.hash;

  // Only a file whose delta could not be made comes here with a base. (A
  // base without a signature is offered whole: a server that holds it
  // already takes no content, and the row gets a signature again.)
  if (have_signature && hash == row.fileCheckSum) {
    SYNC_LOG(L_INFO, L"PrepareFileBlock: File content of '%s' is not changed\n", full);
    return 0;
  }
  const int checked = CheckPrepared(full, start, got);
  if (checked != 0) return checked;

  // The signature is written beside the send, from a read of its own that
  // must find the same bytes; that read is also the check for a server
  // that takes no content.
  const int started = StartEndCheck(full, got, first.quick, nullptr, sign_file.getPath(), false);
  if (started != 0) return started;
  req.data_blocks |= BLK_FILE;
  req.file.size = got;
  req.file.hash = hash;
  req.file.type = 0;
  work.live = full;
  work.quick = first.quick;
  return 0;
}

Worker::FirstRead Worker::ReadForUpload(int fd, const FSCopyTap& also) {
  RSDigest digest;
  StreamHash quick;  // what the end check compares, at a fraction of the cost
  FirstRead r;
  // The fast hash goes with whichever consumer has less to do: beside the
  // checksum when `also` (a delta) keeps this thread busy, else here.
  r.got = FSReadThrough(
      fd,
      [&](const char* data, size_t len) {
        digest.Update(data, len);
        if (also) quick.Update(data, len);
        return 0;
      },
      [&](const char* data, size_t len) {
        if (also) return also(data, len);
        quick.Update(data, len);
        return 0;
      });
  if (r.got < 0) return r;
  unsigned char raw[kMD4DigestLen];
  digest.Final(raw);
  r.hash = RSDigestToText(raw);
  r.quick = quick.Final();
  return r;
}

int Worker::StartEndCheck(const std::wstring& full, uint64_t size, uint64_t first,
                          std::shared_ptr<RSSignFromDelta> derived, const std::wstring& sig,
                          bool gates_send) {
  auto live = std::make_shared<UniqueFd>();
  struct stat st;
  const int opened = OpenBelowRoot(full, *live, st);
  if (opened == ERR_NOENT || opened == ERR_CONFLICT) {
    SYNC_LOG(L_INFO,
             L"PrepareFileBlock: File '%s' is modified while preparing upload (file system), try "
             L"it again\n",
             full);
    return ERR_INT;
  }
  if (opened != 0) {
    SYNC_LOG(L_ERR, L"PrepareFileBlock: Failed to calculate checksum for '%s', try it again\n",
             full);
    return ERR_SYS;
  }
  SYNC_LOG(L_DEBUG, L"calucaling new signature for '%s'\n", full);
  const bool background = size > BackgroundJob::kBackgroundBytes;
  m_check_sign_rc = -1;
  m_end_check.Start(
      [this, full, live, first, derived, sig, background, gates_send]() -> int {
        // A check the send does not wait for yields the processor to the
        // send (and to anything else that is waiting for it): only the
        // record of the answer needs the signature. Its own thread, and the
        // threads it starts, are the only ones it slows.
        if (background && !gates_send)
          (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kYieldingNice);
        // Without the old signature's help the whole content is signed. A
        // failure to sign is seen at the end, once the content is known to
        // be the same.
        std::unique_ptr<RSStreamWriter> signer;
        if (!derived) signer = RSStreamWriter::Sign(sig);
        StreamHash again;
        const int64_t n = FSReadThrough(
            live->get(),
            [&](const char* data, size_t len) {
              if (derived)
                (void)derived->Feed(data, len);
              else if (signer)
                (void)signer->Write(data, len);
              return 0;
            },
            [&](const char* data, size_t len) {
              again.Update(data, len);
              return 0;
            });
        if (n < 0) {
          SYNC_LOG(L_ERR,
                   L"PrepareFileBlock: Failed to calculate checksum for '%s', try it again\n",
                   full);
          return ERR_SYS;
        }
        if (again.Final() != first) {
          SYNC_LOG(L_INFO,
                   L"PrepareFileBlock: File '%s' is modified while preparing upload (hash not "
                   L"match), try it again\n",
                   full);
          return ERR_INT;
        }
        // As for content that got there without its signature, the row is
        // then recorded without one (the next change goes whole).
        m_check_sign_rc =
            (derived ? derived->Write(sig) == 0 : signer && signer->Finish() == 0) ? 0 : -1;
        return 0;
      },
      background);
  return 0;
}

int Worker::PrepareDelta(const std::wstring& full, const FILE_INFO& start,
                         const ClientFileEventInfo& row, UploadRequest& req, TempFile& sign_file) {
  UniqueFd in;
  const int opened = OpenUploadFile(full, start, in);
  if (opened != 0) return opened;
  TempFile delta;
  if (delta.create() != 0) {
    SYNC_LOG(L_ERR, L"PrepareFileBlock: Failed to create TempFile, try it again\n");
    return ERR_SYS;
  }
  // A signature that cannot be used would fail every retry alike: the
  // whole file goes instead.
  std::unique_ptr<RSStreamWriter> writer =
      RSStreamWriter::Delta(row.signaturePath, delta.getPath());
  bool delta_failed = !writer;
  FirstRead first;
  if (writer) {
    first = ReadForUpload(in.get(), [&](const char* data, size_t len) {
      if (writer->Write(data, len) == 0) return 0;
      delta_failed = true;
      return -1;
    });
    if (first.got >= 0 && writer->Finish() != 0) delta_failed = true;
  }
  if (delta_failed) {
    SYNC_LOG(L_NOTICE, L"PrepareFileBlock: Failed to generate delta for '%s', upload whole file\n",
             full);
    return 1;
  }
  if (first.got < 0) {
    SYNC_LOG(L_ERR, L"PrepareFileBlock: Failed to read '%s', retry upload\n", full);
    return ERR_SYS;
  }
  in.reset();
  const uint64_t got = static_cast<uint64_t>(first.got);
  const std::wstring& hash = first.hash;
  if (hash == row.fileCheckSum) {
    SYNC_LOG(L_INFO, L"PrepareFileBlock: File content of '%s' is not changed\n", full);
    return 0;
  }
  SYNC_LOG(L_DEBUG, L"PrepareFileBlock: delta is ready (%s)\n", delta.getPath());
  const int checked = CheckPrepared(full, start, got);
  if (checked != 0) return checked;

  // The checksum and the delta describe the bytes of one read. The end
  // check reads the file again and hashes it (with a fast hash taken in the
  // same read: it detects a racing write, and the checksum needs no second
  // pass); the last block goes only once that hash is the same. The
  // signature the next delta is made against is mostly taken from the old
  // one (see RSSignFromDelta), the blocks that changed being signed from
  // that second read; so it, too, is that of the bytes sent. No copy of the
  // file is written for a change that may be a few bytes of it.
  std::shared_ptr<RSSignFromDelta> derived(
      RSSignFromDelta::Make(row.signaturePath, delta.getPath(), got));
  const int started = StartEndCheck(full, got, first.quick, derived, sign_file.getPath(), true);
  if (started != 0) return started;
  req.data_blocks |= BLK_FILE;
  req.file.size = got;
  req.file.hash = hash;
  req.file.type = 1;
  req.file.data = delta;
  return 0;
}

// ---- The content the exchange sends ---------------------------------------------

#define CONTENT_LOG(level, fmt, ...) m_w.LogAt(::Logger::level, __LINE__, fmt, ##__VA_ARGS__)

class Worker::UploadContent : public UploadPayload {
 public:
  UploadContent(Worker& w, const UploadWork& work) : m_w(w), m_work(work) {}

  int Open(uint32_t block, FilePtr& out) override {
    if (block == BLK_FILE && !m_work.live.empty()) return OpenLive(out);
    const TempFile& staged =
        block == BLK_FILE ? m_work.request.file.data : m_work.request.mac_attr.data;
    return OpenStaged(staged.getPath(), out);
  }

  int OnBlock(uint32_t block, const char* data, size_t len) override {
    if (block == BLK_FILE && !m_work.live.empty()) m_sent.Update(data, len);
    return 0;
  }

  // The last block waits for the proof that what is sent is what was
  // announced; the server takes nothing from an upload that stops short
  // of it.
  int BeforeLast(uint32_t block) override {
    if (block != BLK_FILE) return 0;
    if (m_work.live.empty()) return m_w.m_end_check.Join();
    if (m_sent.Final() == m_work.quick) return 0;
    CONTENT_LOG(L_INFO,
                L"PrepareFileBlock: File '%s' is modified while preparing upload (hash not "
                L"match), try it again\n",
                m_work.live);
    return ERR_INT;
  }

 private:
  int OpenLive(FilePtr& out) {
    // What was read was a file inside the root: a link put in its place, or
    // in place of a folder on its way, since is not followed out of it.
    UniqueFd fd;
    struct stat st;
    const int opened = m_w.OpenBelowRoot(m_work.live, fd, st);
    if (opened == ERR_NOENT || opened == ERR_CONFLICT) {
      CONTENT_LOG(L_INFO,
                  L"PrepareFileBlock: File '%s' is modified while preparing upload (file "
                  L"system), try it again\n",
                  m_work.live);
      return ERR_INT;
    }
    if (opened != 0 || Stream(std::move(fd), out) != 0) {
      CONTENT_LOG(L_ERR, L"UploadData: Failed to open '%s', retry upload\n", m_work.live);
      return ERR_SYS;
    }
    // The announced length is the size read: a file that has another one
    // now is not what was announced, and the server would refuse its payload.
    if (static_cast<uint64_t>(st.st_size) != m_work.request.file.size) {
      CONTENT_LOG(L_INFO,
                  L"PrepareFileBlock: File '%s' is modified while preparing upload (file "
                  L"system), try it again\n",
                  m_work.live);
      return ERR_INT;
    }
    return 0;
  }

  int OpenStaged(const std::wstring& path, FilePtr& out) {
    if (Stream(OpenToRead(path), out) == 0) return 0;
    CONTENT_LOG(L_ERR, L"UploadData: Failed to open '%s', retry upload\n", path);
    return ERR_SYS;
  }

  // A buffered stream of `fd`, which it then owns. 0 or -1.
  static int Stream(UniqueFd fd, FilePtr& out) {
    if (!fd.valid()) return -1;
    out.reset(::fdopen(fd.get(), "rb"));
    if (!out) return -1;
    (void)fd.release();  // the stream owns it now
    std::setvbuf(out.get(), nullptr, _IOFBF, 64 * 1024);
    return 0;
  }

  Worker& m_w;
  const UploadWork& m_work;
  StreamHash m_sent;  // of the live file's bytes sent so far
};

#undef CONTENT_LOG

int Worker::UploadLocal(const std::wstring& path) {
  const std::wstring full = FullPath(path);
  TempFile sign_file(SignMgr::folder());
  // Whatever way this returns, the jobs beside the send are done before
  // what they read and write is removed.
  struct JoinJobs {
    Worker& w;
    ~JoinJobs() { (void)w.m_end_check.Join(); }
  } join_jobs{*this};

  if (!WithinLocalLimits(path)) {
    // What no download could put in place is not sent either.
    SYNC_LOG(L_WARNING, L"UploadLocal: Path too long for '%s', abort\n", full);
    if (m_owner) m_owner->ReportError(ERR_INVAL);
    notify_event_type = NOTIFY_FILTERED;
    return ERR_OK;
  }
  FILE_INFO info;
  const int looked = StatBelowRoot(full, info);
  if (looked == ERR_CONFLICT) {
    // A folder on the way is a link (one swapped in since the change was
    // seen, perhaps by another user who can write here but not read where
    // it leads): nothing it leads to is read, and the user is told.
    SYNC_LOG(L_WARNING, L"UploadLocal: '%s' cannot be uploaded (reached through a link)\n", path);
    if (m_owner) m_owner->ReportError(ERR_INVAL);
    notify_event_type = NOTIFY_FILTERED;
    return ERR_OK;
  }
  if (looked != 0) {
    SYNC_LOG(L_ERR, L"UploadLocal: failed to get local file system info of '%s'\n", full);
    return ERR_SYS;
  }
  if (!info.isExist) {
    SYNC_LOG(L_INFO, L"UploadLocal: '%s' cannot be uploaded (vanish)\n", full);
    return ERR_OK;
  }
  if (info.type != FT_FILE && info.type != FT_DIR) {
    SYNC_LOG(L_INFO, L"UploadLocal: '%s' cannot be uploaded (unsupported file)\n", full);
    notify_event_type = NOTIFY_FILTERED;
    return ERR_OK;
  }
  const bool is_dir = info.type == FT_DIR;
  const int blocked =
      is_dir ? TestDirectory(path, full.size()) : TestFile(path, info.size, full.size());
  if (blocked != 0) {
    if (is_dir) {
      SYNC_LOG(L_WARNING, L"UploadLocal: Directory '%s' cannot be uploaded (blocked: %d)\n", path,
               blocked);
    } else {
      SYNC_LOG(L_WARNING, L"UploadLocal: '%s' cannot be uploaded (blocked: %d)\n", path, blocked);
    }
    notify_event_type = NOTIFY_FILTERED;
    return ERR_OK;
  }

  ClientFileEventInfo row;
  bool found = FileEventDB::getEventInfo(path, row) == 0;
  if (!found) row.Clear();
  if (found && row.isExist && row.IsDir() && !is_dir) {
    // The folder was removed and a file made in its place. Sent against the
    // folder, the file would only be refused as a conflict and kept aside
    // under another name, the folder staying; the folder's removal goes
    // first, and the file follows as new. Should the server keep the folder
    // (changes below it not seen here yet), the conflict is what remains.
    const int r = RemoveReplacedFolder(path);
    if (r < 0) return r;
    if (r == 0) {
      found = false;
      row.Clear();
    }
  }
  // A tombstone is no base content, but its id tells the server which
  // removal this client has seen.
  const ClientFileEventInfo* base = found && row.isExist ? &row : nullptr;

  UploadWork ctx;
  UploadRequest& req = ctx.request;
  req.session = Session();
  req.meta_blocks = META_PROTO_VERSION | META_FILTER_VERSION;
  req.proto_version = ProtocolVersion{4, 0, 0};
  req.filter_version = FilterVersion{static_cast<uint32_t>(Filter().GetMajorVersion()),
                                     static_cast<uint32_t>(Filter().GetMinorVersion()), 0};
  req.obj.sync_id = found ? row.syncID : 0;
  req.obj.path = path;
  req.sync_blocks = SYNC_BLOCKS;
  req.data_blocks = BLK_COMMON_ATTR;
  req.common_attr.mtime = info.mtime;

  if (is_dir) {
    if (base != nullptr && base->IsDir()) {
      SYNC_LOG(L_INFO, L"UploadLocal: Directory '%s' is already up-to-date, finish upload\n", full);
      return ERR_OK;
    }
    req.new_obj_type = SFT_DIR;
  } else {
    const int e = PrepareFileBlock(path, row, ctx, sign_file);
    if (e < 0) {
      SYNC_LOG(L_ERR, L"UploadLocal: failed to prepare file block for '%s'. %s\n", full,
               GetErrorStringW(e));
      return e;
    }
    req.new_obj_type = SFT_FILE;
  }
  if (HasPendingLocalEvents()) {
    SYNC_LOG(L_INFO,
             L"PrepareFileBlock: Detect modification of '%s' after mac attribute is done, try it "
             L"again\n",
             full);
    return ERR_INT;
  }

  ctx.inode = info.ino;
  ctx.ctime_ns = info.ctime_ns;
  if (!is_dir && !(req.data_blocks & BLK_FILE)) {
    // The content was read and is the row's: the file as it was before
    // that read is what the row describes (a rescan then leaves it alone).
    if (base != nullptr && (base->inode != info.ino || base->ChangeTime() != info.ctime_ns) &&
        FileEventDB::setStamp(path, base->fileCheckSum, info.ino, info.ctime_ns) != 0)
      SYNC_LOG(L_ERR, L"UploadLocal: cannot record the stamp of '%s'\n", full);
    if (base != nullptr && base->fileModTime != info.mtime) {
      // Only the time changed. Put it back unless the file was written
      // since it was compared: a time put back over a new write would hide
      // that write from every later check.
      FILE_INFO now;
      if (StatBelowRoot(full, now) != 0 || now != info) {
        SYNC_LOG(L_INFO,
                 L"PrepareFileBlock: File '%s' is modified while preparing upload (file "
                 L"system), try it again\n",
                 full);
        return ERR_INT;
      }
      SYNC_LOG(L_INFO,
               L"UploadLocal: File content and attr of '%s' is not changed, adjust mtime back\n",
               full);
      if (SetMtimeBelowRoot(full, base->fileModTime) != 0) return ERR_SYS;
    }
    // The file the user removed is back as it was: a removal of it that
    // waited is over (one made since is queued again).
    if (FileEventDB::rmRemovalIntent(path) != 0) return ERR_SYS;
    QueueRemovalIfGone(path, false, L"UploadLocal");
    return ERR_OK;
  }

  const bool content_prepared = !is_dir && (req.data_blocks & BLK_FILE);
  Connection* conn = nullptr;
  int e = ObtainChannel(conn);
  if (e != 0) {
    SYNC_LOG(L_ERR, L"UploadFile: Failed to establish communication channel.\n");
    return e;
  }
  UploadContent content(*this, ctx);
  e = ProtoUploadObject(*conn->channel, ctx, Generation(), content, LogTo());
  ReturnChannel(conn, e < 0 ? 0 : ctx.response.alive);
  if (e < 0) {
    SYNC_LOG(L_ERR, L"%sfail to upload '%s'. %s.\n", m_who, path, GetErrorStringW(e));
    return e;
  }

  // A payload that went out was proved to be the bytes announced before its
  // last block (a delta's by the end check, a whole file's by the hash of
  // what was sent). A server that wanted no content answered for the bytes
  // first read, which the file may no longer hold: unless the end check
  // finds them again, nothing is recorded, and the upload is tried again.
  // Content on the server is recorded whatever the check found later; only
  // the signature, which then describes other bytes, is not kept.
  if (content_prepared) {
    const int check = m_end_check.Join();
    if (check != 0 && !ctx.file_sent) return check;
  }

  const UploadResponse& resp = ctx.response;
  switch (resp.code) {
    case SPROTO_RES_OK: {
      if (resp.common_attr.mtime != info.mtime) {
        // Only onto the very file that was sent (see above).
        FILE_INFO now;
        if (StatBelowRoot(full, now) == 0 && now == info) {
          SYNC_LOG(L_DEBUG, L"%sset modified time back to sync with server.\n", m_who);
          (void)SetMtimeBelowRoot(full, resp.common_attr.mtime);
        }
      }
      ClientFileEventInfo base_row = row;
      if ((req.data_blocks & BLK_FILE) && (m_end_check.Join() != 0 || m_check_sign_rc != 0)) {
        // The content is on the server; without its signature the next
        // change goes whole, and the old signature describes other bytes.
        SYNC_LOG(L_ERR, L"UploadLocal: Failed to calculate signature for '%s'\n", full);
        sign_file.remove();
        base_row.signaturePath.clear();
      }
      if (CommitDatabase(ctx, base_row, sign_file) != 0) {
        SYNC_LOG(L_ERR, L"UploadLocal: Failed to update local event database.\n");
        return ERR_SYS;
      }
      // A removal of an older version that waited is over (the new row
      // tells that too, should this fail: logged by the database).
      if (!is_dir) (void)FileEventDB::rmRemovalIntent(path);
      // Removed while it was on its way, or the server would keep what the
      // user removed (a removal after this finds the row, and records its
      // intent anew).
      QueueRemovalIfGone(path, is_dir, L"UploadLocal");
      // The file's other names hold the new content too, and no change
      // was reported for them.
      if (content_prepared && info.nlink > 1) QueueOtherNames(path, info);
      notify_event_type = NOTIFY_CLIENT_MODIFY;
      return ERR_OK;
    }
    case SPROTO_RES_ERR: {
      const int code = ProtoResp2ErrorCode(resp.code);
      SYNC_LOG(L_ERR, L"UploadFile: Bad response: %s\n", GetErrorStringW(code));
      if (base != nullptr && !base->signaturePath.empty() && IsFileExist(base->signaturePath)) {
        SYNC_LOG(L_ERR, L"UploadLocal: server responses error for '%s'\n", full);
        (void)FSRemove(base->signaturePath, false);
      }
      return code;
    }
    case SPROTO_RES_CONFLICT: {
      SYNC_LOG(L_INFO, L"UploadFile: Pathname '%s' conflict.\n", full);
      return m_checker.renameConflictFile(full) != 0 ? ERR_SYS : ERR_INT;
    }
    case SPROTO_RES_NOENT:
      SYNC_LOG(L_INFO, L"UploadFile: file is removed during transfer, try it again.\n");
      return ERR_INT;
    case SPROTO_RES_WAIT:
      // The server first needs changes this client has not pulled yet (a
      // parent that is a file there). Finishing here would drop the local
      // change for good; it is tried again, and after a few attempts put
      // back in the queue, so that the worker is free for the server's
      // change that settles it.
      SYNC_LOG(L_INFO, L"UploadFile: wait until '%s' is synced with server ... \n", full);
      return ERR_SYS;
    case SPROTO_RES_INVALID:
      // A name the server cannot hold (a backslash, an over-long name):
      // every retry would be refused alike.
      SYNC_LOG(L_WARNING, L"UploadLocal: '%s' cannot be uploaded (refused by the server)\n", path);
      notify_event_type = NOTIFY_FILTERED;
      return ERR_OK;
    default: {
      const int code = ProtoResp2ErrorCode(resp.code);
      SYNC_LOG(L_ERR, L"UploadFile: Bad response: %s\n", GetErrorStringW(code));
      return code;
    }
  }
}

int Worker::CommitDatabase(UploadWork& ctx, const ClientFileEventInfo& base, TempFile& sign_file) {
  const UploadRequest& req = ctx.request;
  const UploadResponse& resp = ctx.response;
  if (!resp.obj.path.empty() && resp.obj.path != req.obj.path) {
    // The row is kept under the path this client sent; a server that names
    // another one does not get to write other rows.
    SYNC_LOG(L_WARNING, L"CommitDatabase: the server answered for '%s' instead of '%s'\n",
             resp.obj.path, req.obj.path);
  }
  ClientFileEventInfo row;
  row.syncID = resp.obj.sync_id;
  row.path = req.obj.path;
  row.baseName = BaseName(req.obj.path);
  row.fileType = req.new_obj_type == SFT_DIR ? EV_DIR_TYPE : EV_FILE_TYPE;
  row.isExist = 1;
  row.fileModTime = resp.common_attr.mtime;
  row.updateClient = Config().ClientGet();
  if (req.new_obj_type == SFT_DIR) {
    row.fileSize = 0;
    row.fileCheckSum.clear();
  } else if (req.data_blocks & BLK_FILE) {
    row.fileSize = req.file.size;
    row.fileCheckSum = req.file.hash;
  } else {
    row.fileSize = base.fileSize;
    row.fileCheckSum = base.fileCheckSum;
  }
  row.macHash = (req.data_blocks & BLK_MAC_ATTR) ? req.mac_attr.hash : base.macHash;
  if (req.new_obj_type != SFT_DIR) {
    row.signaturePath = sign_file.getPath().empty() ? base.signaturePath : sign_file.getPath();
    row.SetStamp(ctx.inode, ctx.ctime_ns);
  }
  const int r = FileEventDB::setEventInfo(row);
  if (r != 0) {
    SYNC_LOG(L_ERR, L"CommitDatabase: Failed to update local event database. Error code = %d\n", r);
    return -1;
  }
  if (!sign_file.getPath().empty()) sign_file.convert_permanent();
  // Seen here before any pull brings it back (a folder's removal may count
  // on it). Not recorded, it only makes such a removal wait for the pull.
  if (FileEventDB::addOwnSyncId(row.syncID) != 0)
    SYNC_LOG(L_WARNING, L"CommitDatabase: '%s' is not recorded as this client's own change\n",
             row.path);
  return 0;
}
