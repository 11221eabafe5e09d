// A transfer worker: takes one path at a time from the task manager and
// carries out its events against the server or the local disk (upload,
// download, local and remote removal), decides from the outcome whether the
// event is done, retried or parked in the exception list, and reports
// errors and per-file results.
//
// Worker4 speaks protocol 4.0 and Worker3 protocol 3; they differ only in the
// upload request and in the module name of their log lines ("worker-v4",
// "worker-v3"), so both are this one class with a generation.
//
// Thread: each worker runs DoTask on its own task thread. It blocks in
// Task::Wait between retries and in its channel's waits during an exchange;
// Stop sets abort_flag (which ends a channel wait with ERR_INT) and then
// stops the task. Other threads reach a worker only through its mailbox
// (TaskContext) and IsConnected.
//
// Files: worker.cpp (event loop, errors, channel pattern, checksum helpers,
// the confined disk operations), download.cpp (DownloadRemote, the basis
// check), removal.cpp (RemoveLocal, RemoveDirectoryW), upload.cpp (UploadLocal
// and its helpers), remove-remote.cpp (RemoveRemote).
//
// Paths: an event path is "/" + a path below the sync root. A path that came
// from the server is untrusted: every disk operation for a server event goes
// through the Local* helpers below, which walk from the sync root without
// following links (lib/fs/nofollow-walk.h), so neither "..", nor a link
// inside the root, nor a crafted name reaches anything outside it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "client/core/event-list.h"
#include "client/store/event-db.h"
#include "client/sync/conflict-checker.h"
#include "client/sync/sync-task.h"
#include "lib/base/handles.h"
#include "lib/fs/file-ops.h"
#include "lib/fs/nofollow-walk.h"
#include "lib/fs/temp-file.h"
#include "lib/fs/trash.h"
#include "lib/proto/proto-common.h"
#include "lib/proto/proto-transfer.h"

class RSSignFromDelta;

class BlackList2;
class SFSysInfo;

// Sets the local trash up from the configuration (its folder beside the
// databases, its bounds; the sync root as the base of the names it keeps).
// 0, or -1 when the folder cannot be used (logged).
int InitLocalTrash(const SFSysInfo& config);

// What the current event changed, for the user interface and the file status
// database (DoneEvent consumes it).
enum NotifyEventType {
  NOTIFY_NONE = 0,
  NOTIFY_FILTERED = 1,
  NOTIFY_SERVER_MODIFY = 2,
  NOTIFY_SERVER_REMOVE = 3,
  NOTIFY_CLIENT_MODIFY = 4,
  NOTIFY_CLIENT_REMOVE = 5,
};

// Local limits of this platform: one name, and a whole path (sync root
// included), in bytes of UTF-8.
constexpr size_t kMaxLocalNameBytes = 255;
constexpr size_t kMaxLocalPathBytes = 4095;

// An upload in work: the exchange (lib/proto/proto-transfer.h) and what the
// worker keeps beside it.
struct UploadWork : UploadContext {
  // The stamp of the file (FILE_INFO::ino, ctime_ns) taken before its
  // content was read, for the row.
  uint64_t inode = 0;
  int64_t ctime_ns = 0;
  // A whole file is sent from the file itself (`live`, its full path; the
  // file block's `data` stays empty): `quick` is the StreamHash of the bytes
  // whose checksum the file block's `hash` is, which the bytes sent must have.
  std::wstring live;
  uint64_t quick = 0;
};

// A download in work: the exchange and the stamp (FILE_INFO::ino, ctime_ns)
// of the file the row will describe, taken while it held the verified
// content; zeros: none known.
struct DownloadWork : DownloadContext {
  uint64_t inode = 0;
  int64_t ctime_ns = 0;
};

// Results of the basis check of a download (CheckBasisFile).
enum BasisResult {
  BASIS_ERROR = -3,      // the local item could not be examined
  BASIS_UNCHANGED = 0,   // the local item is what the database says
  BASIS_CHANGED = 1,     // changed locally, and differs from the new version
  BASIS_SAME = 2,        // the local item already is the new version
  BASIS_VANISHED = 3,    // the item the database records is gone
};

// A descriptor to read `path` through (invalid when it cannot be opened),
// for work that must keep reading a file another step may remove or
// replace. Non-blocking, so that a fifo put in a file's place cannot stall
// a read; a link in the last place is not followed, but folders on the way
// are: only for the daemon's own files (staged content). An item of the
// sync root is read through OpenBelowRoot.
UniqueFd OpenToRead(const std::wstring& path);

// Work that runs on a thread of its own beside a transfer, and whose answer
// is waited for before it is used.
class BackgroundJob {
 public:
  // Below this many bytes to read, a job is cheaper than the thread for it.
  static constexpr uint64_t kBackgroundBytes = 256 * 1024;

  BackgroundJob() = default;
  ~BackgroundJob() { (void)Join(); }
  BackgroundJob(const BackgroundJob&) = delete;
  BackgroundJob& operator=(const BackgroundJob&) = delete;

  // Starts `job` once any former one is done. Work too small to pay for a
  // thread (`background` false) is done at once, on the caller's thread.
  void Start(std::function<int()> job, bool background = true);
  // Waits for the job and gives its answer (again on later calls); -1 when
  // none was started.
  int Join();

 private:
  std::thread m_thread;
  int m_rc = -1;  // written by the job's thread, read after the join
};

// Writes the signature of a finished file (a download's staged content)
// on a thread of its own while the worker does something else with it. The
// file is read through a descriptor opened by Start, so it may be unlinked
// meanwhile.
class SignatureJob : public BackgroundJob {
 public:
  // Starts writing the signature of `content` to `sig`. 0, or -1 when
  // `content` cannot be opened (nothing runs then). Join then gives 0 when
  // the signature was written whole.
  int Start(const std::wstring& content, const std::wstring& sig, bool background = true);
};

class Worker : public SyncTask {
 public:
  enum Action {
    ACTION_DONE = 0,
    ACTION_RETRY = 1,
    ACTION_RETRY_LONG_WAIT = 2,
    ACTION_ABORT = 3,
    ACTION_ABORT_EXCEPTION = 4,
    // Kept in the exception list for the next start, its path released:
    // retrying now cannot help, and it must hold up nothing else.
    ACTION_SET_ASIDE = 5,
  };

  // Seconds of the waits the actions ask for.
  static constexpr int kRetryWait = 3;
  static constexpr int kLongWait = 120;
  // ERR_SYS results in a row before the event is parked in the exception
  // list; failed verifications of a patched download before it is dropped.
  static constexpr int kMaxSysErrors = 3;
  static constexpr unsigned kMaxPatchErrors = 3;
  // ERR_INT results in a row for one event before the worker waits
  // kRetryWait seconds between attempts: no event may loop without a wait.
  static constexpr int kMaxQuickRetries = 3;
  // ERR_PROTO results in a row that are retried (after kRetryWait seconds,
  // then twice as long each time) before the event is set aside.
  static constexpr int kMaxProtoRetries = 3;

  // `generation` is 3 or 4. `ctx` is this worker's mailbox; `index` its
  // number in log lines.
  Worker(TaskManager* owner, TaskContext* ctx, int index, int generation);
  ~Worker() override;

  void DoTask() override;

  // ---- One event (worker thread; public for tests) -------------------------
  // Dispatches `e` to the operation for its kind. Returns an ERR_ code.
  // Virtual so that tests can drive the event loop with scripted results.
  virtual int ProcessEvent(Event& e);
  // Maps an operation's result to an Action or -1 (unexpected code).
  int HandleError(int code);
  void NotifyEvent(NotifyEventType type, const std::wstring& path);
  // Records the outcome of `e` (UI file event, file status row, exception
  // list) and tells the task manager. 0: the path is released; -1: newer
  // events wait in the mailbox (the path stays with this worker).
  int DoneEvent(const Event& e);

  // The mailbox step of the event loop: what to work on next after the event
  // `e1` (finished when `e1_done`), given what the mailbox held. Sets `e1`
  // (and `e2` for a pair, server event first in `e1`) and returns how many
  // events take part (0, 1 or 2). A finished server event never takes part
  // again: it has been counted down already.
  static int TakeFromMailbox(Event& e1, Event& e2, bool e1_done, const Event& mailbox_server,
                             const Event& mailbox_local);

  // ---- Operations (worker thread) ------------------------------------------
  int UploadLocal(const std::wstring& path);                       // upload.cpp
  int DownloadRemote(uint64_t sync_id, const std::wstring& path);  // download.cpp
  // A server removal made at `removal_id`: what the client synced after it
  // (a newer version of the item, or items uploaded into a removed folder
  // since) is newer than the removal and stays. Without an id the removal
  // is taken as current.
  int RemoveLocal(const std::wstring& path, uint64_t removal_id = UINT64_MAX);  // removal.cpp
  int RemoveRemote(const std::wstring& path);                      // remove-remote.cpp
  // The server's side of a synced folder whose path now holds a file: the
  // folder is removed there as any folder removal (refused while changes
  // below it are unseen here) and its rows go, so that the file is uploaded
  // as a new item rather than as a conflict with the folder. 0 when done,
  // 1 when the server keeps the folder, a negative code on failure.
  int RemoveReplacedFolder(const std::wstring& path);              // remove-remote.cpp
  // Removes the local directory `path` (an event path) of a server removal:
  // only what the file event database proves synced and unchanged goes; any
  // other item stays in place with its parent directories. Returns 0 when
  // the directory is gone, 1 when items were kept (they have no rows any
  // more once the caller removes the subtree's rows, so they are uploaded
  // as new), -1 on failure.
  int RemoveDirectoryW(const std::wstring& path, uint64_t removal_id = UINT64_MAX);  // removal.cpp

  // ---- Filter ---------------------------------------------------------------
  // 0 when the filter lets the item through, else the first filter result.
  int TestFile(const std::wstring& path, uint64_t file_size, uint64_t full_path_size) const;
  int TestDirectory(const std::wstring& path, uint64_t full_path_size) const;

  // ---- Checksum, signature and delta helpers --------------------------------
  int CalculateMD4(const std::wstring& full_path, std::wstring& hash) const;
  int CalculateSignature(const std::wstring& path, TempFile& sign_file) const;
  // Both of the above for `path`, read twice side by side: its checksum into
  // `hash` and its signature into `sign_file` (created). Returns 0, or -1
  // (logged).
  int CalculateMD4AndSignature(const std::wstring& path, std::wstring& hash,
                               TempFile& sign_file) const;

  // True when the local item differs from the row (upload.cpp). An empty
  // `hash` skips the content comparison.
  bool LocallyModified(const FILE_INFO& local, const ClientFileEventInfo& row,
                       const std::wstring& hash) const;

  // The basis check of a download. `row` is null without a database row;
  // `local` is the local item now; `checksum` computes the local file's
  // checksum (0 or -1) and is called only where the check needs it.
  BasisResult CheckBasisFile(const ClientFileEventInfo* row, const FILE_INFO& local,
                             uint8_t new_type, uint64_t new_size, const std::wstring& new_hash,
                             const std::function<int(std::wstring&)>& checksum) const;

  // Tests: called with the full path right before a download puts its file
  // in place, after the local item was checked; what it does to the disk
  // is what a user could do in that moment. A non-zero result is taken as
  // the errno of the placing rename (EINVAL: the file system cannot swap).
  using PlacementHook = std::function<int(const std::wstring& full_path)>;
  static void SetPlacementHook(PlacementHook hook);

  int generation() const { return m_generation; }
  int index() const { return m_index; }
  ConflictChecker& Checker() { return m_checker; }

 protected:
  // ---- Wire exchanges (lib/proto/proto-transfer.h) ----------------------------
  // Where an upload's content comes from when the server asks for it
  // (upload.cpp): a delta from its staged file, its last block once the end
  // check found the file unchanged; a whole file straight from the file
  // (work.live), its last block once the bytes sent hash as those first read.
  class UploadContent;
  // Where a download's payloads go (download.cpp): the response's temporary
  // files in the working directory, once there is room for them.
  class DownloadTarget;
  // The exchanges log as this worker.
  ProtoLogTarget LogTo() const { return ProtoLogTarget{m_module, m_component, m_who}; }
  UploadGeneration Generation() const { return m_generation == 3 ? kUploadProto3 : kUploadProto4; }
  // The removal exchange on a pooled channel: 0 with ctx.response set, or
  // the failure's code (logged).
  int ExchangeRemoval(RemoveContext& ctx);  // remove-remote.cpp

  int CommitDatabase(DownloadWork& ctx, const ClientFileEventInfo& row,
                     TempFile& sign_file);  // download.cpp
  int CommitDatabase(UploadWork& ctx, const ClientFileEventInfo& row,
                     TempFile& sign_file);  // upload.cpp
  // Fills the file block of `work.request` (upload.cpp): 0, ERR_INT (the
  // file changed meanwhile) or ERR_SYS. When it sets BLK_FILE, m_end_check
  // is reading the file again (see StartEndCheck).
  int PrepareFileBlock(const std::wstring& path, const ClientFileEventInfo& row, UploadWork& work,
                       TempFile& sign_file);
  // The read of an upload's file that the request is made from: its
  // checksum and a StreamHash of the same bytes, every chunk also handed to
  // `also` when given. `got` is the bytes read, -1 when the read (or `also`)
  // failed.
  struct FirstRead {
    int64_t got = -1;
    std::wstring hash;
    uint64_t quick = 0;
  };
  static FirstRead ReadForUpload(int fd, const FSCopyTap& also);
  // Starts m_end_check over `size` bytes of the file `full`, opened here:
  // it reads the file again and answers 0 when it still holds the bytes
  // whose StreamHash is `first`, ERR_INT when not, ERR_SYS when it cannot be
  // read. Once it has answered 0, m_check_sign_rc tells whether the
  // signature of those bytes was written into `sig`: taken mostly from the
  // old one by `derived`, or signed whole without it. `gates_send`: the
  // payload's last block waits for it (else, run on a thread of its own, it
  // runs at a lower priority). 0, or ERR_SYS (logged) when the file cannot
  // be opened.
  int StartEndCheck(const std::wstring& full, uint64_t size, uint64_t first,
                    std::shared_ptr<RSSignFromDelta> derived, const std::wstring& sig,
                    bool gates_send);
  // The file block as a delta against the base's signature, read from the
  // file itself: 0 or an error as above, 1 when no delta can be made.
  int PrepareDelta(const std::wstring& full, const FILE_INFO& start, const ClientFileEventInfo& row,
                   UploadRequest& req, TempFile& sign_file);
  // After `read` bytes of the file were taken: 0 when nothing shows that it
  // changed since `start`, else ERR_INT or ERR_SYS (logged).
  int CheckPrepared(const std::wstring& full, const FILE_INFO& start, uint64_t read);

  // ---- Reads of local items for uploads (worker.cpp) -------------------------
  // Another local user may write in the sync root and swap a folder for a
  // link while an upload is in work: these look `full` (FullPath of an event
  // path) up from the sync root without following a link at any level, so
  // what a link leads to is never examined or read.
  // FSStat of the item: 0 with `info` set (isExist false when it is missing,
  // or a non-folder stands on its way); ERR_CONFLICT when a link stands on
  // its way (the item is not part of the synced tree); ERR_SYS (logged).
  int StatBelowRoot(const std::wstring& full, FILE_INFO& info) const;
  // Opens the regular file at `full` for reading; `st` is the descriptor's
  // own fstat, the only source of its size and type. 0; ERR_NOENT (missing,
  // or not a regular file now); ERR_CONFLICT (a link on its way or in its
  // place); ERR_SYS (logged).
  int OpenBelowRoot(const std::wstring& full, UniqueFd& out, struct stat& st) const;
  // Sets the modification time of the item at `full` itself, the same way
  // (as FSUTime otherwise). 0, ERR_NOENT, ERR_CONFLICT, ERR_SYS (logged).
  int SetMtimeBelowRoot(const std::wstring& full, time_t mtime) const;
  // Whether the event path `path` fits this platform's limits of a name
  // (kMaxLocalNameBytes) and of a whole path, sync root included
  // (kMaxLocalPathBytes): the same for uploads as for downloads.
  bool WithinLocalLimits(const std::wstring& path) const;

  // Pending local events for the path in work (mailbox, under its lock).
  bool HasPendingLocalEvents() const;
  // Called once the row of a new item is recorded: an item removed before
  // that had no row when the removal was seen, could not be told from one
  // never synced, and was not queued; its removal is queued here (worker.cpp).
  void QueueRemovalIfGone(const std::wstring& path, bool is_dir, const wchar_t* who);
  // Opens the sync root into `root` and sets `rel` to `full` below it. 0 or
  // ERR_SYS (logged).
  int OpenBelow(const std::wstring& full, ShareDir& root, std::string& rel) const;
  // Opens the file of an upload for one of its reads (OpenBelowRoot): 0;
  // ERR_INT when it is no longer the regular file `start` describes (logged
  // as a change); ERR_SYS (logged).
  int OpenUploadFile(const std::wstring& full, const FILE_INFO& start, UniqueFd& in) const;
  // Queues a change of every other synced name of the file `info` (found
  // by its inode, and checked on disk) whose content changed through
  // `path`: no change is reported for those names (worker.cpp).
  void QueueOtherNames(const std::wstring& path, const FILE_INFO& info);
  // Sync root + `path`.
  std::wstring FullPath(const std::wstring& path) const;
  std::wstring SyncRoot() const;
  const BlackList2& Filter() const;

  // ---- Confined disk operations for server events (worker.cpp) --------------
  // Checks a path that came from the server: a safe relative path (no "..",
  // ".", empty name, NUL, backslash; not the root) within this platform's
  // limits. 0 with `out` set; ERR_INVAL (unsafe: logged and shown as an
  // error) or ERR_NOENT (too long: logged and shown) otherwise.
  int CheckServerPath(const std::wstring& path, const wchar_t* who, SharePath& out);
  // Opens the sync root for the walk. 0 or ERR_SYS.
  int OpenRoot(ShareDir& root) const;
  // FSStat without following any link on the way from the root. A path
  // through a link, or through a non-directory, is reported missing (the
  // item is not part of the synced tree). 0 or -1.
  // `raw` (optional) gets the lstat itself, zeroed when the item is missing.
  int LocalStat(const ShareDir& root, const SharePath& p, FILE_INFO& info,
                struct stat* raw = nullptr) const;
  // Whether a folder on the way to `p` is a symbolic link (as opposed to
  // a file standing where the folder should be).
  bool ThroughLink(const ShareDir& root, const SharePath& p) const;

  // Puts the staged file `name` of `work_fd` at `sp`. `expected` is the
  // synced file the check found there (st_ino 0: none); a file that is not
  // exactly it when the swap happens is an unsynced local edit and is kept
  // under a conflict name; the synced one goes to `trash` (copied before
  // the swap). 0, ERR_CONFLICT (the parent is not a folder), ERR_INT (keep
  // trying later) or ERR_SYS / ERR_DISKFULL. `moved`: the staged name no
  // longer holds the staged file.
  int PlaceFile(const ShareDir& root, const SharePath& sp, int work_fd, const std::string& name,
                const struct stat& expected, TrashBatch& trash, bool& moved);
  // Logs and shows what `trash` kept for the event path `path`.
  void ReportTrashed(TrashBatch& trash, const std::wstring& path);

  // Parks `e` in the exception list and hands its path back to the queues.
  void ParkEvent(Event& e);
  // Records `e` in the exception list (queued again at the next start) and
  // shows ERR_PROTO; the caller then releases its path.
  void SetAside(Event& e);
  // Where received content is staged: the sync root's working directory.
  std::wstring WorkDir() const;
  // RemoveDirectoryW's walk: removes entry `name` of `dirfd` (event path
  // `path`) when the database proves it synced and unchanged, a directory
  // once nothing is left in it (one without a row too, when it held
  // something or is the `top` one removed); counts what stays in `kept`.
  // 0 or -1. Synced files go to `trash`.
  int PruneSynced(int dirfd, const std::string& name, const std::wstring& path, uint64_t removal_id,
                  int& kept, TrashBatch& trash, bool top);

  // Constant after construction.
  const int m_index;
  const int m_generation;  // 3 or 4
  const int m_proto_backoff;  // seconds before the first retry after ERR_PROTO

  // Worker thread only.
  int sys_err_count = 0;
  unsigned patch_err_count = 0;
  int proto_err_count = 0;
  NotifyEventType notify_event_type = NOTIFY_NONE;
  int notify_file_status = -1;
  ConflictChecker m_checker;
  // A path whose delta did not reproduce the announced content although the
  // basis was unchanged: its next download asks for the whole file.
  std::wstring m_whole_next;
  // The check that the file still holds what the upload in work read, and
  // the signature written by it (see StartEndCheck).
  BackgroundJob m_end_check;
  int m_check_sign_rc = -1;  // written by m_end_check's job, read after its Join
};

class Worker4 : public Worker {
 public:
  Worker4(TaskManager* owner, TaskContext* ctx, int index = 0) : Worker(owner, ctx, index, 4) {}
  ~Worker4() override { Stop(); }
};

class Worker3 : public Worker {
 public:
  Worker3(TaskManager* owner, TaskContext* ctx, int index = 0) : Worker(owner, ctx, index, 3) {}
  ~Worker3() override { Stop(); }
};
