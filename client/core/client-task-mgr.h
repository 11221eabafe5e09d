// The task manager: the hub between the producers of events (detector,
// expander, syncer, exception list) and the transfer workers. It owns the
// server and local event queues, the expansion queue, the registry of paths
// in work, the worker mailboxes, the connection pool, the overall status
// shown to the user interface and the last reported error.
//
// Threads: every task thread and the main thread call in; m_mutex guards the
// shared state. Lock order: m_mutex, then a mailbox's lock, an event list's
// lock, ExcepList::mutex, the UI channel's lock, the logger's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/core/event-list.h"
#include "client/core/removal-guard.h"
#include "client/core/task.h"
#include "client/store/file-status-db.h"
#include "lib/base/mutex.h"
#include "lib/net/connection-pool.h"

class SFSysInfo;
class UiSink;

// The syncer and the workers: tasks that keep a connection to the server.
class ServerTask : public Task {
 public:
  ServerTask(TaskManager* owner, TaskContext* ctx) : Task(owner, ctx) {}
  // Whether the task's channel to the server is up. Thread-safe.
  virtual bool IsConnected() const = 0;
};

// Creates the tasks the task manager runs: the expander, the syncer and the
// workers of a protocol generation. The manager owns what they return; any
// may return null (no such task is run). The daemon's factory lives with the
// engine (client/sync), which is what keeps the core from depending on it.
class TaskFactory {
 public:
  virtual ~TaskFactory() = default;
  virtual Task* CreateExpander(TaskManager* /*owner*/) { return nullptr; }
  virtual ServerTask* CreateSyncer(TaskManager* /*owner*/, int /*proto_version*/) {
    return nullptr;
  }
  // `ctx` is worker `index`'s mailbox.
  virtual ServerTask* CreateWorker(TaskManager* /*owner*/, TaskContext* /*ctx*/, int /*index*/,
                                   int /*proto_version*/) {
    return nullptr;
  }
};

class TaskManager {
 public:
  enum Status { SYNCING = 10, IDLE = 11, PAUSE = 12 };

  static constexpr int kQueueCapacity = 4096;
  // The pool holds one connection for every task that borrows one (the
  // workers and the syncer), and never fewer than this.
  static constexpr int kPoolSize = 4;
  // Most workers run; a larger configured count is cut to this (logged).
  static constexpr int kMaxWorkers = 64;

  // `factory` (not owned, may be null: no expander, syncer or workers) is
  // used during construction only. `ui` (not owned, may be null: nothing is
  // shown) must outlive the manager.
  TaskManager(SFSysInfo& config, int worker_count, TaskFactory* factory, UiSink* ui);
  ~TaskManager();
  TaskManager(const TaskManager&) = delete;
  TaskManager& operator=(const TaskManager&) = delete;

  // ---- Life cycle (main thread) ----
  // Starts the workers, the syncer and the expander, then issues the
  // start-up rescan (merge mode) and queues the exception list again.
  void Start();
  void Pause();
  void Resume();
  // Stops the expander, the syncer and the workers, then empties the queues
  // and the registry. The status becomes IDLE without a message.
  void Stop();

  // ---- Producers (any thread) ----
  // A local change. F_EXPAND events go to the expansion queue. The removal
  // of a synced item is recorded as a removal intent in the file event
  // database before it is queued (see FileEventDB::RemovalIntent): once it
  // is queued, only the server's answer ends it, whatever happens to the
  // process. (Removals the guard holds are not pushed, so not recorded.)
  // Returns 0.
  int PushLocalEvent(Event& e);
  // The same for a run of local changes, in order, with their "syncing"
  // marks written in one transaction: a first scan of a large tree would
  // otherwise flush the disk once per file. So are their removal intents.
  // Returns 0.
  int PushLocalEvents(std::vector<Event>& events);
  // A server change. Returns 0.
  int PushServerEvent(const Event& e);
  // The changes of one pull, in order; their "syncing" marks share one
  // transaction. Returns 0.
  int PushServerEvents(const std::vector<Event>& events);
  // A directory to expand; ignored unless `e` is a valid directory event.
  void PushExpandEvent(const Event& e);

  // ---- Exception list and rescan ----
  // Queues every entry of the exception list again, in path order.
  void LoadExcepList();
  // Records `e` in the exception list (inserted or replacing its path's).
  void AddEventToExcepList(const Event& e);
  // Removes the entry of `e`'s path from the exception list.
  void EraseEventFromExcepList(const Event& e);
  // Queues an event a worker gave up on for now. Returns 0, or -1 when a
  // newer server event for its path already waits (`e` is dropped).
  int PushExcepEvent(const Event& e);
  // Replaces every pending expansion with one rescan of the whole root.
  void IssueRescan(bool merge);

  // ---- Mass-removal guard ----
  // Local removals (EV_REMOVE) from one batch of changes or one rescan. They
  // wait for the user when removals are held already, when `root_problem`
  // says why the root does not look as it did, or when `items` (the synced
  // items they take from the server) is too large a share: then the events
  // marked in `candidate` (every removal when it is empty) are taken out of
  // `events`, kept, logged and reported (ERR_REMOVALS_HELD). Returns how many
  // were held.
  size_t GuardRemovals(std::vector<Event>& events, const std::vector<bool>& candidate,
                       uint64_t items, const std::wstring& root_problem);
  // Drops the held removals whose items are back on disk. REQUIRES: m_mutex
  // not held.
  void DropReturnedRemovals();
  // The user's go-ahead (a command, or the marker file): the held removals
  // whose items are still gone are queued, and the root as it is becomes
  // the one synced.
  void ConfirmRemovals();
  size_t HeldRemovalCount() const;
  RemovalGuard& Guard() { return m_guard; }
  // The marker file in the database folder that confirms held removals.
  static constexpr wchar_t kConfirmMarker[] = L"confirm-removals";

  // ---- Watcher health ----
  enum WatchState { kWatchHealthy = 0, kWatchOverflowed, kWatchLimit, kWatchRootLost };
  // From the detector. Anything but healthy is reported (ERR_WATCH_DEGRADED),
  // keeps the status from IDLE and has a full rescan run every
  // "rescan_interval" seconds; kWatchOverflowed ends with the next full
  // rescan.
  void SetWatchState(WatchState s);
  WatchState GetWatchState() const;
  // About once a second from the expander: the confirmation marker, the
  // periodic rescan, and the reminder of a held or degraded state after a
  // resume cleared the last error.
  void Tick();

  // ---- Workers ----
  // Takes the next path to work on: the front event of either queue paired
  // with the other queue's event for the same path. Returns how many events
  // were taken (0, 1 or 2); the path is then registered to `task`.
  int PullEvent(Event& local, Event& server, Task* task);
  // Finishes `e` of a registered path: 0 when the path is released, -1 when
  // newer events for it wait in the worker's mailbox (the path stays
  // registered). REQUIRES: `e`'s path is registered (else logged, 0).
  int DoneEvent(const Event& e);
  // The same, and when the path is released its file status row becomes
  // `file_status` (FSTAT_*; FSTAT_UNKNOWN removes the row; -1 leaves it).
  // Recorded in the same step as the release, so that a newer event's
  // "syncing" mark for the path is never overwritten by this result.
  int DoneEvent(const Event& e, int file_status);
  ConnectionPool* GetConnectionPool() { return m_conn_pool.get(); }
  // A server event was consumed without DoneEvent (the conflict checker
  // decided for the local side).
  void DecPendingServerEvent();
  // Server events queued, in mailboxes or in work, not yet finished.
  int GetPendingServerEvent() const;
  int GetLocalEventCount() const;
  // Sends `err` to the user interface when it differs from the last one.
  void SetLastError(int err);
  // As SetLastError, except that ERR_IO is kept back while the syncer or a
  // worker still has a working connection.
  void ReportError(int err);
  void ResetLastError();
  // Sends a per-file result to the user interface.
  void NotifyEvent(const Event& e);
  // Records a finished path's status (FSTAT_*; 0 removes the record), in
  // order after every status write queued before. Returns 0 (a failure is
  // logged when the write happens). REQUIRES: m_mutex not held.
  int UpdateFileStatusDatabase(const std::wstring& path, bool is_dir, int status);

  // `path` without its leading "/". REQUIRES: `path` is not empty.
  static std::wstring GetRelativeEventPath(const std::wstring& path);

  // ---- Expander ----
  // Takes the oldest expansion into `e`: 1, or 0 when there is none.
  int GetExpandEvent(Event& e);
  void DoneExpandEvent(const Event& e);

  // ---- Observers (tests, diagnostics); thread-safe ----
  Status GetStatus() const;
  int GetLastError() const;
  size_t GetExpandQueueSize() const;
  // The worker registered for `path`, or null.
  Task* GetRegisteredTask(const std::wstring& path) const;
  Task* GetExpander() { return m_expander.get(); }
  const std::wstring& GetSyncRoot() const { return m_sync_root; }
  // The configuration the manager was built with; the syncer and the workers
  // read the server address, session and client name from it.
  SFSysInfo& GetConfig() const { return m_config; }

 private:
  void SetStatus(Status s) REQUIRES(m_mutex);
  // Leaves `err` as the last error: 0 is sent when it was the last one.
  void ClearError(int err) REQUIRES(m_mutex);
  static bool IsFullRescan(const Event& e) { return e.isRescan() && e.m_path == L"/"; }
  // Hands `e` to the mailbox of `task`.
  int Notify(Task* task, const Event& e) REQUIRES(m_mutex);
  int DoneEventCore(const Event& e) REQUIRES(m_mutex);
  // Queues the "syncing" row of `e`. 0.
  int SyncingEvent2FStatDB(const Event& e);
  // Queues a status row write (status 0: removal).
  void QueueFileStatus(const std::wstring& path, bool is_dir, int status);
  // Records the removal intents of the local removals among `events`, in
  // one transaction. REQUIRES: m_mutex not held.
  void RecordRemovalIntents(const std::vector<Event>& events) EXCLUDES(m_mutex);
  // PushLocalEvent's queueing without the syncing mark. Returns true when
  // `e` went to the local list (and so needs the mark), false when a
  // worker's mailbox took it. REQUIRES: `e` is no expansion.
  bool QueueLocalEvent(Event& e) REQUIRES(m_mutex);
  // The "syncing" row of `e`'s path.
  FileStatusInfo SyncingInfo(const Event& e) const;
  // PushServerEvent without the flush of the deferred writes.
  void QueueServerEvent(const Event& e) REQUIRES(m_mutex);
  // PushExcepEvent without the syncing mark. Returns 0 when queued, -1 when
  // dropped.
  int QueueExcepEvent(const Event& e) REQUIRES(m_mutex);
  // The slow writes of the queue operations (file status rows, which wait
  // out other programs' locks for up to five minutes, and exception list
  // rewrites, which flush the disk) are queued in the order the operations
  // happened, under m_mutex where they happen under it, and carried out
  // after it is given up: a program holding "file-status.sqlite" must not
  // stall every worker, the syncer and Stop. One thread at a time writes
  // (m_io_mutex), always the oldest first, so the rows of one path end as the
  // last operation on it left them.
  struct Deferred {
    enum Kind { kSetStatus, kRemoveStatus, kExcepSet, kExcepErase } kind;
    FileStatusInfo info;
    Event event;
  };
  void Defer(Deferred d) EXCLUDES(m_deferred_mutex);
  // Carries out what is queued. With `wait` false it leaves the work to the
  // writer thread while it runs (between Start and Stop), else to a thread
  // already doing it.
  void FlushDeferred(bool wait) EXCLUDES(m_mutex, m_deferred_mutex);
  void RunDeferred(std::deque<Deferred>& batch);
  // The writer thread: carries out what is queued, a short while after the
  // first of it arrived, so that the rows of many finished paths share one
  // transaction and no worker or detector waits for a flush of the disk.
  void WriterLoop() EXCLUDES(m_mutex, m_deferred_mutex);
  void StopWriter() EXCLUDES(m_deferred_mutex);

  // Index of a worker, or -1.
  int WorkerIndex(const Task* task) const REQUIRES(m_mutex);
  bool NothingPending() const REQUIRES(m_mutex);
  // Ends the idle waits of the workers, so that queued work starts at once
  // rather than at their next poll. The task lists are fixed after
  // construction. REQUIRES: m_mutex not held (a task's state lock is
  // below no lock of ours).
  void WakeWorkers() EXCLUDES(m_mutex);
  std::wstring GenFStatFullPath(const std::wstring& path) const;

  // Constant after construction.
  SFSysInfo& m_config;
  UiSink* const m_ui;
  std::wstring m_sync_root;  // without a trailing "/"
  std::wstring m_excep_path;
  int m_size;
  std::vector<std::unique_ptr<ServerTask>> m_task;  // null entries: not built yet
  std::unique_ptr<TaskContext[]> m_ctx;             // worker i's mailbox is m_ctx[i]
  std::unique_ptr<ServerTask> m_syncer;             // may be null
  std::unique_ptr<Task> m_expander;  // may be null
  std::unique_ptr<ConnectionPool> m_conn_pool;

  mutable Mutex m_mutex;
  Status m_status GUARDED_BY(m_mutex) = IDLE;
  int m_last_err GUARDED_BY(m_mutex) = 0;
  std::map<std::wstring, Task*> m_registry GUARDED_BY(m_mutex);
  int m_pending_server_events GUARDED_BY(m_mutex) = 0;
  // Each list locks itself too; m_mutex makes a sequence of calls atomic.
  EventList m_sfel GUARDED_BY(m_mutex){kQueueCapacity};
  EventList m_lfel GUARDED_BY(m_mutex){kQueueCapacity};
  std::deque<Event> m_exp_event GUARDED_BY(m_mutex);
  // Held removals by path.
  std::map<std::wstring, Event> m_held GUARDED_BY(m_mutex);
  WatchState m_watch_state GUARDED_BY(m_mutex) = kWatchHealthy;
  // A full rescan taken since the last overflow: its end ends kWatchOverflowed.
  bool m_rescan_after_overflow GUARDED_BY(m_mutex) = false;
  bool m_full_rescan_running GUARDED_BY(m_mutex) = false;
  std::chrono::steady_clock::time_point m_last_full_rescan GUARDED_BY(m_mutex);
  RemovalGuard m_guard;
  std::wstring m_confirm_marker;
  int m_rescan_interval = 600;

  // Held by the one thread carrying out the deferred writes, never together
  // with m_mutex; a std::mutex because the writers only try it.
  std::mutex m_io_mutex;
  // Taken under m_mutex or m_io_mutex, never holding another lock of ours.
  Mutex m_deferred_mutex;
  std::deque<Deferred> m_deferred GUARDED_BY(m_deferred_mutex);
  CondVar m_writer_cv;  // with m_deferred_mutex: work queued, or stop
  bool m_writer_running GUARDED_BY(m_deferred_mutex) = false;
  bool m_writer_stop GUARDED_BY(m_deferred_mutex) = false;
  std::thread m_writer;  // started by Start, joined by Stop
};
