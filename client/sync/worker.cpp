// The worker's event loop, its error policy and reporting, the checksum
// helpers and the confined disk operations the transfers share.
//
// Thread: the worker's own task thread. Idle, it waits in Task::IdleWait (one
// second, ended early when the task manager queues work); between retries in
// Task::Wait (the policy's seconds). Stop raises abort_flag and wakes those
// waits, so the loop sees STOP at once.
#include "client/sync/worker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <vector>

#include "client/core/sysinfo-mgr.h"
#include "client/local/worker-filter.h"
#include "client/store/sign-mgr.h"
#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/base/utility.h"
#include "lib/fs/nofollow-walk.h"
#include "lib/fs/open-beneath.h"
#include "rsapi/rs-api.h"

namespace {

struct Policy {
  bool notify;
  int action;  // a Worker::Action, or -1 for a code no operation should return
};

// Indexed by -code (ERR_OK .. ERR_DISKFULL).
constexpr Policy kPolicy[] = {
    {true, Worker::ACTION_DONE},              // ERR_OK
    {false, Worker::ACTION_ABORT},            // ERR_INT
    {true, Worker::ACTION_RETRY},             // ERR_IO
    {false, Worker::ACTION_RETRY},            // ERR_SYS
    {false, -1},                              // ERR_INVAL
    {false, Worker::ACTION_RETRY},            // ERR_PROTO (a few times: HandleError)
    {true, Worker::ACTION_RETRY_LONG_WAIT},   // ERR_AUTH
    {false, Worker::ACTION_RETRY},            // ERR_SERVER
    {false, -1},                              // ERR_CONFLICT
    {true, Worker::ACTION_RETRY},             // ERR_TIMEOUT
    {true, Worker::ACTION_RETRY_LONG_WAIT},   // ERR_VERSION
    {false, -1},                              // ERR_NOENT
    {false, -1},                              // ERR_USER
    {false, -1},                              // ERR_PASSWORD
    {true, Worker::ACTION_RETRY_LONG_WAIT},   // ERR_KELVODISABLE
    {true, Worker::ACTION_ABORT_EXCEPTION},   // ERR_QUOTA
    {true, Worker::ACTION_ABORT_EXCEPTION},   // ERR_DISKFULL
};
constexpr int kLastKnownCode = -static_cast<int>(sizeof(kPolicy) / sizeof(kPolicy[0]) - 1);

// File status recorded for each NotifyEventType.
constexpr int kFileStatus[] = {FSTAT_SYNCED, FSTAT_UNSUPPORT, FSTAT_SYNCED,
                               FSTAT_UNKNOWN, FSTAT_SYNCED,    FSTAT_UNKNOWN};
// UI event type for each NotifyEventType.
constexpr Event::Type kNotifyType[] = {EV_EMPTY,  EV_EMPTY,  EV_MODIFY,
                                       EV_REMOVE, EV_MODIFY, EV_REMOVE};

std::wstring WhoText(int index) {
  return L"Worker (" + std::to_wstring(index) + L"): ";
}

FILE_TYPE TypeOf(mode_t m) {
  if (S_ISREG(m)) return FT_FILE;
  if (S_ISDIR(m)) return FT_DIR;
  if (S_ISLNK(m)) return FT_SLINK;
  return FT_ERR;
}

}  // namespace

Worker::Worker(TaskManager* owner, TaskContext* ctx, int index, int generation)
    : SyncTask(owner, ctx, generation == 3 ? L"worker-v3" : L"worker-v4", L"worker_debug",
               WhoText(index)),
      m_index(index),
      m_generation(generation == 3 ? 3 : 4),
      m_proto_backoff(ProtoBackoff(kRetryWait)),
      m_checker(owner ? &owner->GetConfig() : nullptr) {}

Worker::~Worker() {
  Stop();
}

// ---- Event loop ---------------------------------------------------------------

int Worker::TakeFromMailbox(Event& e1, Event& e2, bool e1_done, const Event& mailbox_server,
                            const Event& mailbox_local) {
  Event c;
  if (e1.isServerEvent()) {
    c = mailbox_server;
    e2 = mailbox_local;
  } else {
    c = mailbox_local;
    e2 = mailbox_server;
  }
  int count = (c.isValid() ? 1 : 0) + (e2.isValid() ? 1 : 0);
  if (c.isValid()) {
    e1 = c;
  } else if (e1_done && e1.isServerEvent()) {
    // The server event is finished and was counted down; pairing it again
    // would count it down a second time (or apply it twice). The newer
    // local event is checked against the row it left behind by the upload.
    e1 = e2;
    e2 = Event();
    return count;
  } else {
    ++count;  // the event just handled takes part again
  }
  if (!e1.isServerEvent()) swap(e1, e2);
  if (count == 1 && !e1.isValid()) {
    e1 = e2;
    e2 = Event();
  }
  return count;
}

void Worker::DoTask() {
  SYNC_LOG(L_DEBUG, L"Worker (%d) up\n", m_index);
  Event e1, e2;
  bool pull = true;
  bool e1_done = false;
  int quick_retries = 0;
  for (;;) {
    const State s = GetState();
    if (s == STOP) {
      SYNC_LOG(L_DEBUG, L"Worker (%d) down\n", m_index);
      return;
    }
    if (s == PAUSE) {
      WaitWhilePaused(1);
      continue;
    }
    int count;
    if (pull) {
      count = m_owner->PullEvent(e1, e2, this);
      if (count > 0) {
        e1_done = false;
        quick_retries = 0;
        proto_err_count = 0;
      }
      if (count == 1 && !e1.isValid()) {
        e1 = e2;
        e2 = Event();
      }
    } else {
      Event ms, ml;
      if (m_ctx) m_ctx->GetEvents(ms, ml);
      count = TakeFromMailbox(e1, e2, e1_done, ms, ml);
      if (ms.isValid() || ml.isValid()) e1_done = false;
    }
    if (count == 0) {
      if (!pull) {
        SYNC_LOG(L_ERR, L"Worker (%d): nothing to continue with for '%s'\n", m_index, e1.m_path);
        pull = true;
      }
      SetConnectionState(IDLE_STATE);
      IdleWait(1);
      continue;
    }
    if (count == 2) {
      SYNC_LOG(L_DEBUG, L"checking conflict: e1: %s, e2: %s...\n", e1.toString(), e2.toString());
      if (m_checker.checkConflict(e1, e2) == SvrClt_PushFile2Svr) {
        SYNC_LOG(L_DEBUG, L"decreasing pending event count\n");
        m_owner->DecPendingServerEvent();
      }
    }
    bool settled = false;  // finished or parked: the event needs no retake
    while (GetState() == RUN) {
      const int code = ProcessEvent(e1);
      const int action = HandleError(code);
      if (action == ACTION_DONE) {
        sys_err_count = 0;
        patch_err_count = 0;
        pull = (DoneEvent(e1) == 0);
        e1_done = true;
        settled = true;
        break;
      }
      if (action == ACTION_ABORT) {
        pull = false;
        // Taken up again at once, unless that keeps happening.
        if (++quick_retries > kMaxQuickRetries) Wait(kRetryWait);
        settled = true;  // pull is already what the retake needs
        break;
      }
      if (action == ACTION_ABORT_EXCEPTION) {
        ParkEvent(e1);
        e1 = Event();
        pull = true;
        settled = true;
        Wait(kRetryWait);
        break;
      }
      if (action == ACTION_SET_ASIDE) {
        SetAside(e1);
        pull = (m_owner->DoneEvent(e1) == 0);
        e1_done = true;
        settled = true;
        break;
      }
      int wait = kRetryWait;
      if (code == ERR_PROTO) {
        wait = m_proto_backoff << (proto_err_count - 1);
      } else if (action == ACTION_RETRY_LONG_WAIT) {
        wait = kLongWait;
      } else if (action < 0) {
        SYNC_LOG(L_CRIT, L"abort()\n");
      } else if (action != ACTION_RETRY) {
        settled = true;
        break;
      }
      if (Wait(wait) < 0) break;
    }
    if (!settled) pull = false;
  }
}

int Worker::ProcessEvent(Event& e) {
  notify_event_type = NOTIFY_NONE;
  SYNC_LOG(L_DEBUG, L"Worker (%d): processEvent %s...\n", m_index, e.toString());
  if (e.isServerEvent()) {
    if (e.m_type == EV_REMOVE) return RemoveLocal(e.m_path, e.m_syncID);
    return DownloadRemote(e.m_syncID, e.m_path);
  }
  if (e.m_type == EV_REMOVE) return RemoveRemote(e.m_path);
  return UploadLocal(e.m_path);
}

int Worker::HandleError(int code) {
  if (code > 0 || code < kLastKnownCode) {
    SYNC_LOG(L_CRIT, L"Worker (%d): unknown error code [%d].\n", m_index, code);
    return -1;
  }
  SYNC_LOG(L_INFO, L"Worker (%d): HandleError: %s.\n", m_index, GetErrorStringW(code));
  const Policy& p = kPolicy[-code];
  const int notified = p.notify ? NotifyError(code) : 0;
  int action = p.action;
  if (action < 0) {
    SYNC_LOG(L_CRIT, L"Worker (%d): unexpected error code [%d].\n", m_index, code);
    return action;
  }
  if (code != ERR_PROTO) proto_err_count = 0;
  if (code == ERR_SYS) {
    if (++sys_err_count > kMaxSysErrors) action = ACTION_ABORT_EXCEPTION;
    if (patch_err_count >= kMaxPatchErrors) {
      SYNC_LOG(L_ERR, L"Worker (%d): patch error count has reached limit, event will be dropped.\n",
               m_index);
      return ACTION_DONE;
    }
    return action;
  }
  sys_err_count = 0;
  patch_err_count = 0;
  if (code == ERR_IO && notified == 1) return ACTION_RETRY_LONG_WAIT;
  // An answer this client cannot read. Asking again may meet a sound one
  // (a server being replaced, a proxy that garbled one reply), after longer
  // and longer waits; after that the event is set aside, so that it holds
  // up nothing else.
  if (code == ERR_PROTO && ++proto_err_count > kMaxProtoRetries) {
    proto_err_count = 0;
    return ACTION_SET_ASIDE;
  }
  return action;
}

void Worker::NotifyEvent(NotifyEventType type, const std::wstring& path) {
  const Event e(kNotifyType[type], 0, path);
  SYNC_LOG(L_NOTICE, L"event type = %d, path = %s\n", static_cast<int>(e.m_type), path);
  if (e.m_type != EV_EMPTY && m_owner) m_owner->NotifyEvent(e);
}

int Worker::DoneEvent(const Event& e) {
  notify_file_status = kFileStatus[notify_event_type];
  // A removal that needed doing nothing (the item was gone already) leaves
  // nothing to show as synced.
  if (e.m_type == EV_REMOVE && notify_file_status == FSTAT_SYNCED) {
    FILE_INFO info;
    if (FSStat(FullPath(e.m_path), info) == 0 && !info.isExist) notify_file_status = FSTAT_UNKNOWN;
  }
  if (notify_event_type > NOTIFY_FILTERED) NotifyEvent(notify_event_type, e.m_path);
  notify_event_type = NOTIFY_NONE;
  if (e.isExcep()) m_owner->EraseEventFromExcepList(e);
  // The task manager decides under its lock whether newer events wait for
  // the path, and records the status only when the path is released: a
  // newer event's "syncing" mark must not be overwritten by this one.
  const int r = m_owner->DoneEvent(e, notify_file_status);
  notify_file_status = -1;
  if (r == 0) {
    SYNC_LOG(L_DEBUG, L"Worker (%d): processing event '%s' done\n", m_index, e.toString());
    return 0;
  }
  SYNC_LOG(L_DEBUG, L"Worker (%d): processing event '%s' not yet done.\n", m_index, e.toString());
  return -1;
}

void Worker::ParkEvent(Event& e) {
  const bool newly = !e.isExcep();
  e.setExcep();
  SYNC_LOG(L_NOTICE, L"Worker (%d): giving up on %s for now\n", m_index, e.toString());
  if (newly) m_owner->AddEventToExcepList(e);
  m_owner->PushExcepEvent(e);
  sys_err_count = 0;
  patch_err_count = 0;
  notify_event_type = NOTIFY_NONE;
}

void Worker::SetAside(Event& e) {
  const bool newly = !e.isExcep();
  e.setExcep();
  SYNC_LOG(L_ERR,
           L"Worker (%d): the server's answers for '%s' make no sense; it is set aside until the "
           L"next start\n",
           m_index, e.m_path);
  if (newly) m_owner->AddEventToExcepList(e);
  // Shown until something else is: a later success of this worker is no
  // sign that the path is synced.
  m_owner->ReportError(ERR_PROTO);
  last_notified = 0;
  sys_err_count = 0;
  patch_err_count = 0;
  notify_event_type = NOTIFY_NONE;
}

bool Worker::HasPendingLocalEvents() const {
  return m_ctx && m_ctx->GetLocalEventCount() > 0;
}

void Worker::QueueOtherNames(const std::wstring& path, const FILE_INFO& info) {
  std::vector<std::wstring> names;
  if (m_owner == nullptr || FileEventDB::getPathsByInode(info.ino, names) != 0) return;
  ShareDir root;
  if (OpenRoot(root) != 0) return;
  std::vector<Event> changed;
  for (const std::wstring& name : names) {
    SharePath sp;
    FILE_INFO other;
    // The inode may have been given to another file since that row was
    // recorded: only a name that reaches this very file counts.
    if (name == path || ParseSharePath(name, sp) != 0 || LocalStat(root, sp, other) != 0 ||
        !other.isExist || other.type != FT_FILE || other.ino != info.ino || other.dev != info.dev)
      continue;
    SYNC_LOG(L_INFO, L"Worker (%d): '%s' is another name of '%s', which changed\n", m_index, name,
             path);
    changed.emplace_back(EV_MODIFY, 0u, name);
  }
  if (!changed.empty()) m_owner->PushLocalEvents(changed);
}

void Worker::QueueRemovalIfGone(const std::wstring& path, bool is_dir, const wchar_t* who) {
  const std::wstring full = FullPath(path);
  FILE_INFO after;
  if (FSStat(full, after) != 0 || after.isExist) return;
  SYNC_LOG(L_INFO, L"%s: '%s' was removed before it was recorded, removing it too\n", who, full);
  Event removal(EV_REMOVE, is_dir ? F_DIR : 0u, path);
  m_owner->PushLocalEvent(removal);
}

// ---- Paths and filter ---------------------------------------------------------

std::wstring Worker::SyncRoot() const {
  std::wstring r = Config().FolderLocGet();
  while (r.size() > 1 && r.back() == L'/') r.pop_back();
  return r;
}

std::wstring Worker::FullPath(const std::wstring& path) const {
  return SyncRoot() + path;
}

const BlackList2& Worker::Filter() const {
  return WorkerBlackList(m_generation);
}

int Worker::TestFile(const std::wstring& path, uint64_t file_size, uint64_t full_path_size) const {
  int r = Filter().TestFullPathSize(full_path_size);
  if (r == 0) r = Filter().TestFileSize(file_size);
  if (r == 0) r = Filter().TestFilePath(path);
  return r;
}

int Worker::TestDirectory(const std::wstring& path, uint64_t full_path_size) const {
  int r = Filter().TestFullPathSize(full_path_size);
  if (r == 0) r = Filter().TestDirectoryPath(path);
  return r;
}

// ---- Checksums, signatures, deltas -----------------------------------------

int Worker::CalculateMD4(const std::wstring& full_path, std::wstring& hash) const {
  if (RSCalcMD4Text(full_path, hash) != 0) {
    SYNC_LOG(L_ERR, L"CaculateMD4: Failed to calculate checksum for '%s'\n", full_path);
    return -1;
  }
  return 0;
}

int Worker::CalculateSignature(const std::wstring& path, TempFile& sign_file) const {
  if (RSCalcSign(path, sign_file.getPath()) != 0) {
    SYNC_LOG(L_ERR, L"CalculateSignature: Failed to calculate signature for '%s'\n", path);
    return -1;
  }
  return 0;
}

int Worker::CalculateMD4AndSignature(const std::wstring& path, std::wstring& hash,
                                     TempFile& sign_file) const {
  // The signature, the heavier half, is written on a thread of its own
  // while this one hashes (for a file big enough to pay for the thread):
  // both read the same private staged file.
  SignatureJob signature;
  FILE_INFO staged;
  const bool background =
      FSStat(path, staged) != 0 || staged.size > BackgroundJob::kBackgroundBytes;
  if (SignMgr::createSignatureFile(sign_file) != 0 ||
      signature.Start(path, sign_file.getPath(), background) != 0) {
    SYNC_LOG(L_ERR, L"CalculateSignature: Failed to calculate signature for '%s'\n", path);
    return -1;
  }
  const int md4 = CalculateMD4(path, hash);
  if (signature.Join() != 0) {
    SYNC_LOG(L_ERR, L"CalculateSignature: Failed to calculate signature for '%s'\n", path);
    return -1;
  }
  return md4;
}

UniqueFd OpenToRead(const std::wstring& path) {
  std::string native;
  if (NativeStrToUTF8(path, native) < 0) return UniqueFd();
  return UniqueFd(::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
}

void BackgroundJob::Start(std::function<int()> job, bool background) {
  (void)Join();
  m_rc = -1;
  if (background)
    m_thread = std::thread([this, job = std::move(job)]() { m_rc = job(); });
  else
    m_rc = job();
}

int BackgroundJob::Join() {
  if (m_thread.joinable()) m_thread.join();
  return m_rc;
}

int SignatureJob::Start(const std::wstring& content, const std::wstring& sig, bool background) {
  (void)Join();
  auto fd = std::make_shared<UniqueFd>(OpenToRead(content));
  if (!fd->valid()) return -1;
  BackgroundJob::Start([fd, sig]() { return RSCalcSign(FdPath(fd->get()), sig) == 0 ? 0 : -1; },
                       background);
  return 0;
}

// ---- Confined disk operations ------------------------------------------------

// What the filter tests, it tests whole.
static_assert(BlackList2::kMaxTestedPath >= kMaxLocalPathBytes,
              "the filter must take every path a worker syncs");

bool Worker::WithinLocalLimits(const std::wstring& path) const {
  const std::string full = WideToUtf8Lossy(FullPath(path));
  bool too_long = full.size() > kMaxLocalPathBytes;
  for (size_t start = 0; !too_long && start < full.size();) {
    size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    too_long = end - start > kMaxLocalNameBytes;
    start = end + 1;
  }
  return !too_long;
}

int Worker::CheckServerPath(const std::wstring& path, const wchar_t* who, SharePath& out) {
  if (!WithinLocalLimits(path)) {
    SYNC_LOG(L_WARNING, L"%s: Path too long for '%s', abort\n", who, FullPath(path));
    m_owner->ReportError(ERR_INVAL);
    return ERR_NOENT;
  }
  if (path == L"/" || ParseSharePath(path, out) != 0) {
    SYNC_LOG(L_WARNING, L"%s: unsafe path from the server refused: '%s'\n", who, path);
    m_owner->ReportError(ERR_INVAL);
    return ERR_INVAL;
  }
  return 0;
}

// ---- Reads for uploads -------------------------------------------------------

namespace {

// `full` below `root` as a path relative to it ("/"-led), or false.
bool RelativeTo(const std::wstring& root, const std::wstring& full, std::string& rel) {
  if (full.size() <= root.size() || full.compare(0, root.size(), root) != 0) return false;
  const std::wstring tail = full.substr(root.size());
  return tail[0] == L'/' && NativeStrToUTF8(tail, rel) == 0;
}

std::string ErrorText(int r) {
  return r == ERR_INVAL ? "not a path below the sync root" : std::string(strerror(errno));
}

}  // namespace

int Worker::OpenBelow(const std::wstring& full, ShareDir& root, std::string& rel) const {
  if (!RelativeTo(SyncRoot(), full, rel)) {
    SYNC_LOG(L_ERR, L"Worker (%d): '%s' is not below the sync root\n", m_index, full);
    return ERR_SYS;
  }
  return OpenRoot(root);
}

int Worker::StatBelowRoot(const std::wstring& full, FILE_INFO& info) const {
  info = FILE_INFO();
  info.path = full;
  ShareDir root;
  std::string rel;
  if (OpenBelow(full, root, rel) != 0) return ERR_SYS;
  struct stat st;
  // The file layer's fault seam, asked as FSStat asks it.
  const int r = FSFaultInjected(FSOP_STAT, full)
                    ? (errno == ENOENT || errno == ENOTDIR ? ERR_NOENT : ERR_SYS)
                    : StatBeneath(root.rootFd(), rel, st);
  if (r == ERR_NOENT) return 0;
  if (r == ERR_CONFLICT) return r;
  if (r != 0) {
    SYNC_LOG(L_ERR, L"Worker (%d): cannot examine '%s': %s\n", m_index, full, ErrorText(r));
    return ERR_SYS;
  }
  FSInfoFromStat(full, st, info);
  return 0;
}

int Worker::OpenBelowRoot(const std::wstring& full, UniqueFd& out, struct stat& st) const {
  ShareDir root;
  std::string rel;
  if (OpenBelow(full, root, rel) != 0) return ERR_SYS;
  const int r = OpenReadBeneath(root.rootFd(), rel, out, st);
  if (r == 0 || r == ERR_NOENT || r == ERR_CONFLICT) return r;
  SYNC_LOG(L_ERR, L"Worker (%d): cannot open '%s': %s\n", m_index, full, ErrorText(r));
  return ERR_SYS;
}

int Worker::SetMtimeBelowRoot(const std::wstring& full, time_t mtime) const {
  ShareDir root;
  std::string rel;
  if (OpenBelow(full, root, rel) != 0) return ERR_SYS;
  const int r = SetMtimeBeneath(root.rootFd(), rel, mtime);
  if (r == 0 || r == ERR_NOENT || r == ERR_CONFLICT) return r;
  SYNC_LOG(L_ERR, L"Worker (%d): cannot set the time of '%s': %s\n", m_index, full, ErrorText(r));
  return ERR_SYS;
}

// ---- The local trash ----------------------------------------------------------

int InitLocalTrash(const SFSysInfo& config) {
  TrashOptions o;
  o.folder = config.TrashLocGet();
  o.root = config.FolderLocGet();
  o.max_age_seconds = int64_t{config.TrashMaxDaysGet()} * 24 * 3600;
  o.max_bytes = static_cast<uint64_t>(config.TrashMaxMBGet()) << 20;
  return TrashInit(o);
}

void Worker::ReportTrashed(TrashBatch& trash, const std::wstring& path) {
  const int n = trash.kept();
  const std::wstring where = trash.Finish();
  if (where.empty()) return;
  SYNC_LOG(L_NOTICE, L"Worker (%d): %d item(s) of '%s' kept in the trash: '%s'\n", m_index, n,
           FullPath(path), where);
  if (m_owner) m_owner->NotifyEvent(Event(EV_TRASH, 0, path));
}

int Worker::OpenRoot(ShareDir& root) const {
  const std::wstring r = SyncRoot();
  if (root.Open(WideToUtf8Lossy(r)) != 0) {
    SYNC_LOG(L_ERR, L"Worker (%d): cannot open the sync root '%s'\n", m_index, r);
    return ERR_SYS;
  }
  return 0;
}

bool Worker::ThroughLink(const ShareDir& root, const SharePath& p) const {
  SharePath prefix;
  for (size_t i = 0; i + 1 < p.names.size(); ++i) {
    prefix.names.push_back(p.names[i]);
    struct stat st;
    if (root.Stat(prefix, st) != 0) return false;
    if (S_ISLNK(st.st_mode)) return true;
    if (!S_ISDIR(st.st_mode)) return false;
  }
  return false;
}

int Worker::LocalStat(const ShareDir& root, const SharePath& p, FILE_INFO& info,
                      struct stat* raw) const {
  info = FILE_INFO();
  info.path = FullPath(Utf8ToWideLossy(p.str()));
  struct stat st {};
  if (raw) *raw = st;
  const int r = root.Stat(p, st);
  if (r == ERR_NOENT || r == ERR_CONFLICT) return 0;  // not (or not reachable) in the tree
  if (r != 0) {
    SYNC_LOG(L_ERR, L"Worker (%d): cannot examine '%s'\n", m_index, info.path);
    return -1;
  }
  if (raw) *raw = st;
  info.isExist = true;
  info.type = TypeOf(st.st_mode);
  info.mtime = st.st_mtime < 0 ? 0 : (st.st_mtime > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(st.st_mtime));
  info.size = info.type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
  FSStampOf(st, info);
  return 0;
}
