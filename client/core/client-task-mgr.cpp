#include "client/core/client-task-mgr.h"

#include <algorithm>
#include <ctime>

#include "client/core/excep-list.h"
#include "client/store/event-db.h"
#include "client/core/sysinfo-mgr.h"
#include "client/core/ui-sink.h"
#include "client/store/file-status-db.h"
#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"
#include "lib/net/channel.h"

namespace {

constexpr wchar_t kLogComponent[] = L"client_task_mgr_debug";

std::string Utf8(const std::wstring& w) {
  std::string s;
  if (NativeStrToUTF8(w, s) != 0) {
    SF_LOG(L_WARNING, L"[WARNING] client-task-mgr(%d): setting is not valid text: %s\n", w);
    s.clear();
  }
  return s;
}

uint16_t Port(int v, const wchar_t* what) {
  if (v < 0 || v > 65535) {
    SF_LOG(L_WARNING, L"[WARNING] client-task-mgr(%d): %s %d is not a port; using 0\n", what, v);
    return 0;
  }
  return static_cast<uint16_t>(v);
}

}  // namespace

// ---- Construction and life cycle -------------------------------------------

TaskManager::TaskManager(SFSysInfo& config, int worker_count, TaskFactory* factory, UiSink* ui)
    : m_config(config),
      m_ui(ui),
      m_guard(WithoutTrailingSlashes(config.FolderLocGet()), config.DBLocGet() + L"/sync-root.state",
              config.RemovalGuardPercentGet(), config.RemovalGuardMinGet()) {
  m_sync_root = WithoutTrailingSlashes(config.FolderLocGet());
  m_excep_path = config.EXCEPLISTLocGet();
  m_confirm_marker = config.DBLocGet() + L"/" + kConfirmMarker;
  m_rescan_interval = config.RescanIntervalGet();
  {
    MutexLock g(m_mutex);
    m_last_full_rescan = std::chrono::steady_clock::now();
  }

  int version = config.ProtoVersionGet();
  if (version > 3) version /= 10;

  ProxyInfo proxy;
  proxy.use_proxy = config.IsUseProxy();
  proxy.use_sys_proxy = config.IsUseSysProxy();
  proxy.proxy_ip = Utf8(config.ProxySrvIPGet());
  proxy.proxy_port = Port(config.ProxySrvPortGet(), L"ProxySrvPort");
  proxy.user_name = Utf8(config.ProxyUsrNameGet());
  proxy.password = Utf8(config.ProxyUsrPasswordGet());
  proxy.domain = Utf8(config.ProxyDomainGet());
  proxy.host = Utf8(config.ProxyHostGet());
  TunnelInfo tunnel;
  tunnel.use_tunnel = config.IsUseTunnel();
  tunnel.tunnel_ip = Utf8(config.TunnelSrvIPGet());
  tunnel.tunnel_port = Port(config.TunnelSrvPortGet(), L"TunnelSrvPort");
  const bool ssl = config.IsUseSSL() && version != 3;
  TlsPeerCheck server_check;  // optional; off unless configured
  server_check.ca_file = Utf8(config.SSLCAFileGet());
  server_check.pin_sha256 = Utf8(config.SSLCertPinGet());
  if (proxy.use_proxy && proxy.proxy_ip.empty() && !proxy.use_sys_proxy) {
    SF_LOG(L_WARNING,
           L"[WARNING] client-task-mgr(%d): User specified an empty proxy address? Is it "
           L"possible??\n");
  }

  m_size = worker_count > 0 ? worker_count : 0;
  if (m_size > kMaxWorkers) {
    // A thread and a mailbox each: a mistyped count must not exhaust them.
    SF_LOG(L_WARNING, L"[WARNING] client-task-mgr(%d): %d workers asked for; running %d\n", m_size,
           kMaxWorkers);
    m_size = kMaxWorkers;
  }
  m_ctx.reset(new TaskContext[m_size > 0 ? m_size : 1]);
  m_task.resize(static_cast<size_t>(m_size));

  if (factory) m_expander.reset(factory->CreateExpander(this));

  const bool proxy_usable = proxy.use_proxy && !proxy.proxy_ip.empty();
  ConnectionMode mode;
  if (proxy_usable && tunnel.use_tunnel) {
    mode = CONNECTION_PROXY_TUNNEL;
    SF_LOG(L_DEBUG,
           L"[DEBUG] client-task-mgr(%d): TaskManager: Create proxy tunnel connection pool\n");
  } else if (proxy_usable) {
    mode = CONNECTION_PROXY;
    SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): TaskManager: Create proxy connection pool\n");
  } else if (tunnel.use_tunnel) {
    mode = CONNECTION_TUNNEL;
    SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): TaskManager: Create tunnel connection pool\n");
  } else {
    mode = CONNECTION_NORMAL;
    SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): TaskManager: Create normal connection pool\n");
  }
  m_conn_pool = std::make_unique<ConnectionPool>();
  const int connections = std::max(kPoolSize, m_size + 1);
  for (int i = 0; i < connections; ++i)
    m_conn_pool->Adopt(std::make_unique<Connection>(mode, proxy, tunnel, ssl, server_check));

  if (version == 3) {
    SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): TaskManager: protocol version: 3\n");
  } else {
    SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): TaskManager: protocol version: 4.0\n");
  }
  if (factory) {
    m_syncer.reset(factory->CreateSyncer(this, version));
    for (int i = 0; i < m_size; ++i)
      m_task[static_cast<size_t>(i)].reset(factory->CreateWorker(this, &m_ctx[i], i, version));
  }
  m_status = IDLE;
  m_last_err = 0;
}

TaskManager::~TaskManager() {
  Stop();
  for (auto& t : m_task) t.reset();
  m_syncer.reset();
  m_expander.reset();
  m_conn_pool.reset();
}

void TaskManager::Start() {
  {
    MutexLock g(m_deferred_mutex);
    if (!m_writer_running) {
      m_writer_running = true;
      m_writer_stop = false;
      m_writer = std::thread([this] { WriterLoop(); });
    }
  }
  for (auto& t : m_task) {
    if (!t) continue;
    t->Init();
    t->Run();
  }
  if (m_syncer) {
    m_syncer->Init();
    m_syncer->Run();
  }
  if (m_expander) {
    m_expander->Init();
    m_expander->Run();
  }
  IssueRescan(true);
  LoadExcepList();
}

void TaskManager::Pause() {
  for (auto& t : m_task)
    if (t) t->Pause();
  if (m_syncer) m_syncer->Pause();
  if (m_expander) m_expander->Pause();
  MutexLock g(m_mutex);
  SetStatus(PAUSE);
}

void TaskManager::Resume() {
  {
    MutexLock g(m_mutex);
    SetStatus(NothingPending() ? IDLE : SYNCING);
  }
  for (auto& t : m_task)
    if (t) t->Resume();
  ResetLastError();
  if (m_syncer) m_syncer->Resume();
  if (m_expander) m_expander->Resume();
}

void TaskManager::Stop() {
  if (m_expander) m_expander->Stop();
  if (m_syncer) m_syncer->Stop();
  for (int i = 0; i < m_size; ++i) {
    SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): stopping task #%d\n", i);
    m_ctx[i].SetNotify();
    if (m_task[static_cast<size_t>(i)]) m_task[static_cast<size_t>(i)]->Stop();
  }
  {
    MutexLock g(m_mutex);
    m_sfel.Clear();
    m_lfel.Clear();
    m_registry.clear();
    m_exp_event.clear();
    for (int i = 0; i < m_size; ++i) m_ctx[i].Clear();
    m_pending_server_events = 0;
    m_status = IDLE;
  }
  // What the stopped tasks left queued is written before the databases close.
  StopWriter();
  FlushDeferred(true);
}

// ---- Status ------------------------------------------------------------------

void TaskManager::SetStatus(Status s) {
  // Changes may be going unseen: the work is not done.
  if (s == IDLE && m_watch_state != kWatchHealthy) s = SYNCING;
  if (s == m_status) return;
  m_status = s;
  SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): TaskManager: now %d\n", static_cast<int>(s));
  if (s != PAUSE && m_ui) m_ui->WriteEvent(static_cast<int32_t>(s));
}

bool TaskManager::NothingPending() const {
  return m_registry.empty() && m_sfel.IsEmpty() && m_lfel.IsEmpty();
}

TaskManager::Status TaskManager::GetStatus() const {
  MutexLock g(m_mutex);
  return m_status;
}

int TaskManager::GetLastError() const {
  MutexLock g(m_mutex);
  return m_last_err;
}

size_t TaskManager::GetExpandQueueSize() const {
  MutexLock g(m_mutex);
  return m_exp_event.size();
}

Task* TaskManager::GetRegisteredTask(const std::wstring& path) const {
  MutexLock g(m_mutex);
  auto it = m_registry.find(path);
  return it == m_registry.end() ? nullptr : it->second;
}

// ---- Producers -----------------------------------------------------------------

int TaskManager::WorkerIndex(const Task* task) const {
  for (int i = 0; i < m_size; ++i)
    if (task && m_task[static_cast<size_t>(i)].get() == task) return i;
  return -1;
}

int TaskManager::Notify(Task* task, const Event& e) {
  const int i = WorkerIndex(task);
  if (i < 0) return 0;
  // A server event that lands in an empty server slot is one more to wait
  // for; one that replaces a waiting one is not.
  if (e.isServerEvent() && m_ctx[i].GetServerEventCount() == 0) ++m_pending_server_events;
  m_ctx[i].PushEvent(e);
  return 0;
}

void TaskManager::RecordRemovalIntents(const std::vector<Event>& events) {
  std::vector<FileEventDB::RemovalIntent> intents;
  bool have_seen = false;
  uint64_t seen = 0;
  for (const Event& e : events) {
    if (e.m_type != EV_REMOVE || e.isServerEvent() || e.isExpand()) continue;
    // Only what was synced can be fetched back.
    ClientFileEventInfo row;
    if (FileEventDB::getEventInfo(e.m_path, row) != 0 || !row.isExist) continue;
    FileEventDB::RemovalIntent i;
    i.path = e.m_path;
    i.is_dir = row.IsDir();
    // What the removal will send: a file's version, or for a folder what
    // this client has seen of everything below it (a folder's row holds
    // only the newest id below it).
    i.base = row.syncID;
    if (i.is_dir) {
      if (!have_seen && FileEventDB::getSeenSyncId(seen) != 0) continue;
      have_seen = true;
      i.base = seen;
    }
    intents.push_back(std::move(i));
  }
  // Without it the removal still goes; only a kill before it reached the
  // server would undo it (logged by the database).
  (void)FileEventDB::setRemovalIntents(intents);
}

int TaskManager::PushLocalEvent(Event& e) {
  if (e.isExpand()) {
    PushExpandEvent(e);
    return 0;
  }
  if (e.m_type == EV_REMOVE) RecordRemovalIntents({e});
  {
    MutexLock g(m_mutex);
    if (QueueLocalEvent(e)) SyncingEvent2FStatDB(e);
  }
  FlushDeferred(false);
  WakeWorkers();
  return 0;
}

int TaskManager::PushLocalEvents(std::vector<Event>& events) {
  RecordRemovalIntents(events);
  // The marks are queued before the lock is given up, as for a single
  // event: a worker that finished one of these paths first would otherwise
  // have its "done" overwritten by "syncing". They share one transaction.
  {
    MutexLock g(m_mutex);
    for (Event& e : events) {
      if (e.isExpand()) continue;
      if (QueueLocalEvent(e)) SyncingEvent2FStatDB(e);
    }
  }
  // Expansions only after the events that came before them: the expander
  // queues what it finds at once, and an older event queued after it (the
  // removal of a file a folder replaced) would take the newer one's place.
  for (Event& e : events)
    if (e.isExpand()) PushExpandEvent(e);
  FlushDeferred(false);
  WakeWorkers();
  return 0;
}

bool TaskManager::QueueLocalEvent(Event& e) {
  auto it = m_registry.find(e.m_path);
  if (it != m_registry.end()) {
    SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): registry found for '%s'\n", e.m_path);
    Notify(it->second, e);
    return false;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): push local event: %s\n", e.toString());
  m_lfel.Push(e);
  if (m_status == IDLE) SetStatus(SYNCING);
  return true;
}

int TaskManager::PushServerEvent(const Event& e) {
  {
    MutexLock g(m_mutex);
    QueueServerEvent(e);
  }
  FlushDeferred(false);
  WakeWorkers();
  return 0;
}

int TaskManager::PushServerEvents(const std::vector<Event>& events) {
  {
    MutexLock g(m_mutex);
    for (const Event& e : events) QueueServerEvent(e);
  }
  FlushDeferred(false);
  WakeWorkers();
  return 0;
}

void TaskManager::QueueServerEvent(const Event& e) {
  auto it = m_registry.find(e.m_path);
  if (it != m_registry.end()) {
    SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): registry found for '%s'\n", e.m_path);
    Notify(it->second, e);
    return;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): push server event: %s\n", e.toString());
  Event old;
  if (m_sfel.Push(e, old) == 1) {
    ++m_pending_server_events;
  } else {
    SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): EraseEventFromExcepList load event %s\n",
           e.toString());
    Defer({Deferred::kExcepErase, FileStatusInfo(), e});
  }
  if (m_status == IDLE) SetStatus(SYNCING);
  SyncingEvent2FStatDB(e);
}

void TaskManager::PushExpandEvent(const Event& e) {
  if (!e.isValid() || !e.isDir()) return;
  SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): PushExpandEvent: %s\n", e.toString());
  {
    MutexLock g(m_mutex);
    m_exp_event.push_back(e);
  }
  if (m_expander) m_expander->Wake();
}

// ---- Workers -------------------------------------------------------------------

int TaskManager::PullEvent(Event& local, Event& server, Task* task) {
  MutexLock g(m_mutex);
  local = Event();
  server = Event();
  const bool has_local = !m_lfel.IsEmpty(), has_server = !m_sfel.IsEmpty();
  if (!has_local && !has_server) return 0;
  int result = 1;
  std::wstring key;
  if (!has_server) {
    m_lfel.Pop(local);
    key = local.m_path;
  } else if (!has_local) {
    m_sfel.Pop(server);
    key = server.m_path;
  } else {
    m_sfel.Pop(server);
    if (server.isExcep()) {
      // A retried server event waits behind the local changes, unless one
      // of them is for its own path.
      m_sfel.Push(server);
      server = Event();
      m_lfel.Pop(local);
      key = local.m_path;
      if (m_sfel.Pop(key, server) == 0) result = 2;
    } else {
      key = server.m_path;
      if (m_lfel.Pop(key, local) == 0) result = 2;
    }
  }
  m_registry[key] = task;
  return result;
}

int TaskManager::DoneEventCore(const Event& e) {
  auto it = m_registry.find(e.m_path);
  if (it == m_registry.end()) {
    SF_LOG(L_ERR, L"[ERROR] client-task-mgr(%d): DoneEvent for '%s', which is not registered\n",
           e.m_path);
    return 0;
  }
  const int i = WorkerIndex(it->second);
  const int s = i >= 0 ? m_ctx[i].GetServerEventCount() : 0;
  const int l = i >= 0 ? m_ctx[i].GetLocalEventCount() : 0;
  if (e.isServerEvent()) {
    if (m_pending_server_events > 0) {
      --m_pending_server_events;
    } else {
      SF_LOG(L_ERR, L"[ERROR] client-task-mgr(%d): pending server event count already 0 at '%s'\n",
             e.m_path);
    }
  }
  // Any newer event for the path keeps it with this worker: releasing the
  // path would clear the mailbox and lose that event.
  if (s + l > 0) {
    SF_LOG(L_DEBUG,
           L"[DEBUG] client-task-mgr(%d): Get %d server event, %d local event for '%s', continue "
           L"job\n",
           s, l, e.m_path);
    return -1;
  }
  if (i >= 0) m_ctx[i].Clear();
  m_registry.erase(it);
  SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): unregistry for '%s'\n", e.m_path);
  return 0;
}

int TaskManager::DoneEvent(const Event& e) {
  return DoneEvent(e, -1);
}

int TaskManager::DoneEvent(const Event& e, int file_status) {
  int r;
  bool last_server;
  {
    MutexLock g(m_mutex);
    r = DoneEventCore(e);
    if (r == 0 && file_status >= 0) QueueFileStatus(e.m_path, e.isDir(), file_status);
    if (NothingPending() && m_status == SYNCING) SetStatus(IDLE);
    last_server = e.isServerEvent() && m_pending_server_events == 0;
  }
  FlushDeferred(false);
  // The syncer waits for the last of its events before it pulls again.
  if (last_server && m_syncer) m_syncer->Wake();
  return r;
}

void TaskManager::DecPendingServerEvent() {
  {
    MutexLock g(m_mutex);
    if (m_pending_server_events > 0) --m_pending_server_events;
    if (m_pending_server_events > 0) return;
  }
  if (m_syncer) m_syncer->Wake();
}

int TaskManager::GetPendingServerEvent() const {
  MutexLock g(m_mutex);
  return m_pending_server_events;
}

int TaskManager::GetLocalEventCount() const {
  MutexLock g(m_mutex);
  return m_lfel.Size();
}

// ---- Errors towards the user interface -------------------------------------------

void TaskManager::SetLastError(int err) {
  MutexLock g(m_mutex);
  if (err == m_last_err) return;
  m_last_err = err;
  SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): TaskManager: reporting error %d\n", err);
  if (err < 0 && m_ui) m_ui->WriteEvent(err);
}

void TaskManager::ReportError(int err) {
  MutexLock g(m_mutex);
  if (err == m_last_err) return;
  if (err == ERR_IO) {
    if (m_syncer && m_syncer->IsConnected()) {
      SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): ReportError: syncer is still connected\n");
      return;
    }
    for (int i = 0; i < m_size; ++i) {
      const auto& t = m_task[static_cast<size_t>(i)];
      if (t && t->IsConnected()) {
        SF_LOG(L_DEBUG,
               L"[DEBUG] client-task-mgr(%d): ReportError: worker (%d) is still connected\n", i);
        return;
      }
    }
  }
  m_last_err = err;
  if (m_ui) m_ui->WriteEvent(err);
}

void TaskManager::ResetLastError() {
  MutexLock g(m_mutex);
  m_last_err = 0;
}

void TaskManager::NotifyEvent(const Event& e) {
  MutexLock g(m_mutex);
  if (m_ui) m_ui->WriteFileEvent(e);
}

// ---- File status database ----------------------------------------------------------

std::wstring TaskManager::GenFStatFullPath(const std::wstring& path) const {
  if (path.empty() || path == L"/") return m_sync_root;
  if (m_sync_root == L"/") return path;
  return m_sync_root + path;
}

FileStatusInfo TaskManager::SyncingInfo(const Event& e) const {
  FileStatusInfo info;
  info.fileType = e.isDir() ? SFT_DIR1 : SFT_FILE1;
  info.syncStatus = FSTAT_SYNCING;
  info.path = GenFStatFullPath(e.m_path);
  return info;
}

int TaskManager::SyncingEvent2FStatDB(const Event& e) {
  SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): syncing event to fstatdb. path:[%s]\n", e.m_path);
  Defer({Deferred::kSetStatus, SyncingInfo(e), Event()});
  return 0;
}

void TaskManager::QueueFileStatus(const std::wstring& path, bool is_dir, int status) {
  SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): updating status (%d) of '%s'\n", status, path);
  FileStatusInfo info;
  info.fileType = is_dir ? SFT_DIR1 : SFT_FILE1;
  info.syncStatus = status;
  info.path = GenFStatFullPath(path);
  Defer({status == 0 ? Deferred::kRemoveStatus : Deferred::kSetStatus, info, Event()});
}

int TaskManager::UpdateFileStatusDatabase(const std::wstring& path, bool is_dir, int status) {
  QueueFileStatus(path, is_dir, status);
  FlushDeferred(false);
  return 0;
}

void TaskManager::Defer(Deferred d) {
  MutexLock g(m_deferred_mutex);
  m_deferred.push_back(std::move(d));
}

void TaskManager::FlushDeferred(bool wait) {
  if (!wait) {
    MutexLock g(m_deferred_mutex);
    if (m_writer_running) {
      m_writer_cv.NotifyOne();
      return;
    }
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> io(m_io_mutex, std::defer_lock);
      if (wait) {
        io.lock();
      } else if (!io.try_lock()) {
        return;  // the writing thread also takes what this one queued
      }
      std::deque<Deferred> batch;
      {
        MutexLock g(m_deferred_mutex);
        batch.swap(m_deferred);
      }
      RunDeferred(batch);
    }
    // Something queued while the writer was finishing found it busy and
    // left: look again now that it is free.
    MutexLock g(m_deferred_mutex);
    if (m_deferred.empty()) return;
  }
}

void TaskManager::WriterLoop() {
  // A finished path's row may wait this long for others to share its
  // transaction; a status reader sees it that much later, nothing more.
  constexpr auto kGather = std::chrono::milliseconds(100);
  constexpr size_t kBatch = 512;
  for (;;) {
    {
      MutexLock g(m_deferred_mutex);
      while (m_deferred.empty() && !m_writer_stop) m_writer_cv.Wait(m_deferred_mutex);
      if (m_writer_stop) return;  // Stop writes the rest itself
      const auto until = CondVar::Clock::now() + kGather;
      while (m_deferred.size() < kBatch && !m_writer_stop) {
        if (!m_writer_cv.WaitUntil(m_deferred_mutex, until)) break;
      }
    }
    FlushDeferred(true);
  }
}

void TaskManager::StopWriter() {
  {
    MutexLock g(m_deferred_mutex);
    if (!m_writer_running) return;
    m_writer_stop = true;
    m_writer_cv.NotifyAll();
  }
  m_writer.join();
  MutexLock g(m_deferred_mutex);
  m_writer_running = false;
}

void TaskManager::RunDeferred(std::deque<Deferred>& batch) {
  while (!batch.empty()) {
    const Deferred::Kind kind = batch.front().kind;
    if (kind == Deferred::kSetStatus) {
      // A run of row writes shares one transaction.
      std::vector<FileStatusInfo> rows;
      while (!batch.empty() && batch.front().kind == Deferred::kSetStatus) {
        rows.push_back(std::move(batch.front().info));
        batch.pop_front();
      }
      if (FileStatusDB::setFileSyncStats(rows) != 0) {
        if (rows.size() == 1 && rows[0].syncStatus == FSTAT_SYNCING) {
          SF_LOG(L_ERR,
                 L"[ERROR] client-task-mgr(%d): failed to set syncing event into FStatDB.\n  "
                 L"path:[%s]\n",
                 rows[0].path);
        } else if (rows.size() == 1) {
          SF_LOG(L_ERR, L"[ERROR] client-task-mgr(%d): failed to set synced event (%s) to FStatDB.\n",
                 rows[0].path);
        } else {
          SF_LOG(L_ERR, L"[ERROR] client-task-mgr(%d): failed to set %d status rows into FStatDB\n",
                 static_cast<int>(rows.size()));
        }
      }
    } else if (kind == Deferred::kRemoveStatus) {
      if (FileStatusDB::rmFileSyncStat(batch.front().info) != 0) {
        SF_LOG(L_ERR, L"[ERROR] client-task-mgr(%d): failed to remove event (%s) from FStatDB.\n",
               batch.front().info.path);
      }
      batch.pop_front();
    } else {
      // A run of exception list changes is one read, the changes in order,
      // and one write.
      MutexLock g(ExcepList::mutex);
      ExcepList list;
      const bool readable = list.read(m_excep_path) != ExcepList::kUnreadable;
      while (!batch.empty() && (batch.front().kind == Deferred::kExcepSet ||
                                batch.front().kind == Deferred::kExcepErase)) {
        const Deferred& d = batch.front();
        if (!readable) {
          SF_LOG(L_ERR, L"[ERROR] client-task-mgr(%d): %s: the exception list is left as it is\n",
                 d.kind == Deferred::kExcepSet ? L"AddEventToExcepList"
                                               : L"EraseEventFromExcepList");
        } else if (d.kind == Deferred::kExcepSet) {
          list.Set(d.event);
        } else {
          list.Erase(d.event.m_path);
        }
        batch.pop_front();
      }
      if (readable) (void)list.write(m_excep_path);  // a failure is logged by write
    }
  }
}

std::wstring TaskManager::GetRelativeEventPath(const std::wstring& path) {
  return path.empty() ? path : path.substr(1);
}

// ---- Expansion queue ---------------------------------------------------------------------

int TaskManager::GetExpandEvent(Event& e) {
  MutexLock g(m_mutex);
  if (m_exp_event.empty()) {
    e = Event();
    SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): GetExpandEvent: none\n");
    return 0;
  }
  e = m_exp_event.front();
  m_exp_event.pop_front();
  if (IsFullRescan(e)) {
    m_full_rescan_running = true;
    if (m_watch_state == kWatchOverflowed) m_rescan_after_overflow = true;
  }
  // Only Resume leaves PAUSE: the user interface must not hear that work
  // goes on while the user has paused it.
  if (m_status != PAUSE) SetStatus(SYNCING);
  SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): GetExpandEvent: %s\n", e.toString());
  return 1;
}

void TaskManager::DoneExpandEvent(const Event& e) {
  SF_LOG(L_DEBUG, L"[DEBUG] client-task-mgr(%d): DoneExpandEvent: %s\n", e.toString());
  MutexLock g(m_mutex);
  if (IsFullRescan(e)) {
    m_full_rescan_running = false;
    m_last_full_rescan = std::chrono::steady_clock::now();
    // What the lost changes were has been found again.
    if (m_watch_state == kWatchOverflowed && m_rescan_after_overflow) {
      m_watch_state = kWatchHealthy;
      SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): the rescan after the lost changes is done; "
             L"changes are seen again\n");
      ClearError(ERR_WATCH_DEGRADED);
    }
  }
  // An expansion still running when the user paused ends while paused; that
  // is no reason to tell the user interface the client is idle.
  if (NothingPending() && m_status != PAUSE) SetStatus(IDLE);
}

// ---- Exception list and rescan ---------------------------------------------------------------

void TaskManager::LoadExcepList() {
  ExcepList list;
  {
    MutexLock g(ExcepList::mutex);
    // A list that cannot be read was logged and holds nothing to queue.
    (void)list.read(m_excep_path);
  }
  // Runs on the main thread before it reads commands or stop signals: the
  // syncing marks go out in one transaction, because one disk flush per
  // entry made a list of a few thousand entries hold up start-up (and a stop
  // request) for minutes.
  {
    MutexLock g(m_mutex);
    for (const auto& kv : list.events()) {
      SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): LoadExcepList load event %s\n",
             kv.second.toString());
      if (QueueExcepEvent(kv.second) == 0) SyncingEvent2FStatDB(kv.second);
    }
  }
  FlushDeferred(false);
  WakeWorkers();
}

void TaskManager::AddEventToExcepList(const Event& e) {
  SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): AddEventToExcepList load event %s\n", e.toString());
  Defer({Deferred::kExcepSet, FileStatusInfo(), e});
  FlushDeferred(false);
}

void TaskManager::EraseEventFromExcepList(const Event& e) {
  SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): EraseEventFromExcepList load event %s\n",
         e.toString());
  Defer({Deferred::kExcepErase, FileStatusInfo(), e});
  FlushDeferred(false);
}

int TaskManager::PushExcepEvent(const Event& e) {
  int r = 0;
  {
    MutexLock g(m_mutex);
    r = QueueExcepEvent(e);
    if (r == 0) SyncingEvent2FStatDB(e);
  }
  FlushDeferred(false);
  WakeWorkers();
  return r == 0 ? 0 : -1;
}

int TaskManager::QueueExcepEvent(const Event& e) {
  auto it = m_registry.find(e.m_path);
  const int i = it == m_registry.end() ? -1 : WorkerIndex(it->second);
  if (i >= 0) {
    const int s = m_ctx[i].GetServerEventCount(), l = m_ctx[i].GetLocalEventCount();
    if (e.isServerEvent() && s > 0) {
      SF_LOG(L_DEBUG,
             L"[DEBUG] client-task-mgr(%d): Get %d server event, %d local event for '%s', "
             L"continue job, drop EXCEP\n",
             s, l, e.m_path);
      // The dropped event was counted; the newer one took its place.
      if (m_pending_server_events > 0) --m_pending_server_events;
      return -1;
    }
  }
  const bool was_registered = it != m_registry.end();
  if (e.isServerEvent()) {
    Event old;
    // An event read back from the list at start-up was never counted.
    if (m_sfel.Push(e, old) == 1 && !was_registered) ++m_pending_server_events;
  } else {
    m_lfel.Push(e);
  }
  if (i >= 0) {
    // Newer events that waited for the worker go back to the queues rather
    // than being lost with the mailbox.
    Event ms, ml;
    m_ctx[i].GetEvents(ms, ml);
    if (ml.isValid()) m_lfel.Push(ml);
    if (ms.isValid() && m_sfel.Push(ms) == 0) {
      // Replaced a queued one: that one was counted already.
      if (m_pending_server_events > 0) --m_pending_server_events;
    }
  }
  if (was_registered) m_registry.erase(it);
  if (m_status == IDLE) SetStatus(SYNCING);
  return 0;
}

void TaskManager::IssueRescan(bool merge) {
  Event root(EV_CREATE, F_DIR | F_EXPAND | F_RESCAN | (merge ? F_MERGE : 0u), L"/");
  {
    MutexLock g(m_mutex);
    m_exp_event.clear();
    m_exp_event.push_back(root);
  }
  if (m_expander) m_expander->Wake();
}

void TaskManager::WakeWorkers() {
  for (auto& t : m_task)
    if (t) t->Wake();
}

// ---- Mass-removal guard -------------------------------------------------------------------------

size_t TaskManager::GuardRemovals(std::vector<Event>& events, const std::vector<bool>& candidate,
                                  uint64_t items, const std::wstring& root_problem) {
  auto is_candidate = [&](size_t i) {
    const Event& e = events[i];
    return e.m_type == EV_REMOVE && !e.isServerEvent() &&
           (candidate.empty() || (i < candidate.size() && candidate[i]));
  };
  bool any = false;
  for (size_t i = 0; i < events.size() && !any; ++i) any = is_candidate(i);
  if (!any) return 0;
  uint64_t synced = 0;
  const bool counted = FileEventDB::countExisting(L"", synced) == 0;
  MutexLock g(m_mutex);
  std::wstring why = root_problem;
  if (why.empty() && !m_held.empty()) why = L"removals wait for confirmation already";
  if (why.empty() && counted && m_guard.TooMany(items, synced)) {
    why = L"they would remove " + std::to_wstring(items) + L" of " + std::to_wstring(synced) +
          L" synced items from the server";
  }
  if (why.empty()) return 0;
  std::vector<Event> rest;
  size_t held = 0, added = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    if (!is_candidate(i)) {
      rest.push_back(std::move(events[i]));
      continue;
    }
    // A rescan while removals wait finds the same ones again: each is
    // logged once.
    const std::wstring path = events[i].m_path;
    if (m_held.count(path) == 0) {
      SF_LOG(L_WARNING, L"[WARNING] client-task-mgr(%d): removal held back: %s\n", path);
      ++added;
    }
    m_held[path] = std::move(events[i]);
    ++held;
  }
  events.swap(rest);
  if (added == 0) return held;
  SF_LOG(L_ERR,
         L"[ERROR] client-task-mgr(%d): %d removals from the server are held (%s); %d wait in all. "
         L"Send command 5 or create '%s' to let them go\n",
         static_cast<int>(added), why, static_cast<int>(m_held.size()), m_confirm_marker);
  if (m_last_err != ERR_REMOVALS_HELD) {
    m_last_err = ERR_REMOVALS_HELD;
    if (m_ui) m_ui->WriteEvent(ERR_REMOVALS_HELD);
  }
  return held;
}

void TaskManager::DropReturnedRemovals() {
  std::vector<std::wstring> paths;
  {
    MutexLock g(m_mutex);
    for (const auto& kv : m_held) paths.push_back(kv.first);
  }
  if (paths.empty()) return;
  std::vector<std::wstring> back;
  for (const auto& p : paths) {
    FILE_INFO info;
    if (FSStat(m_sync_root + p, info) == 0 && info.isExist) back.push_back(p);
  }
  MutexLock g(m_mutex);
  for (const auto& p : back) {
    if (m_held.erase(p))
      SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): '%s' is back; its held removal is dropped\n", p);
  }
  if (!back.empty() && m_held.empty()) {
    SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): no removals are held any more\n");
    ClearError(ERR_REMOVALS_HELD);
  }
}

void TaskManager::ConfirmRemovals() {
  std::map<std::wstring, Event> held;
  {
    MutexLock g(m_mutex);
    held.swap(m_held);
    ClearError(ERR_REMOVALS_HELD);
  }
  if (held.empty()) {
    SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): confirmation received; no removals were held\n");
    return;
  }
  // What came back since it was held is not removed: the confirmation was
  // for what was gone.
  std::vector<Event> go;
  for (auto& kv : held) {
    FILE_INFO info;
    if (FSStat(m_sync_root + kv.first, info) == 0 && info.isExist) continue;
    go.push_back(std::move(kv.second));
  }
  SF_LOG(L_WARNING,
         L"[WARNING] client-task-mgr(%d): removals confirmed: %d of %d held removals go to the "
         L"server\n",
         static_cast<int>(go.size()), static_cast<int>(held.size()));
  m_guard.RecordRoot();
  if (!go.empty()) PushLocalEvents(go);
}

size_t TaskManager::HeldRemovalCount() const {
  MutexLock g(m_mutex);
  return m_held.size();
}

void TaskManager::ClearError(int err) {
  if (m_last_err != err) return;
  m_last_err = 0;
  if (m_ui) m_ui->WriteEvent(0);
}

// ---- Watcher health ------------------------------------------------------------------------------

void TaskManager::SetWatchState(WatchState s) {
  MutexLock g(m_mutex);
  if (s == m_watch_state) return;
  const WatchState was = m_watch_state;
  m_watch_state = s;
  if (s == kWatchOverflowed) m_rescan_after_overflow = false;
  if (s == kWatchHealthy) {
    SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): the change watcher is healthy again\n");
    ClearError(ERR_WATCH_DEGRADED);
    if (NothingPending() && m_status == SYNCING) SetStatus(IDLE);
    return;
  }
  SF_LOG(L_WARNING,
         L"[WARNING] client-task-mgr(%d): changes may go unseen (%s); a full rescan runs every "
         L"%d seconds until the watcher is healthy\n",
         s == kWatchLimit ? L"watch limit reached"
                          : (s == kWatchRootLost ? L"sync root lost" : L"changes were lost"),
         m_rescan_interval);
  if (was == kWatchHealthy || m_last_err != ERR_WATCH_DEGRADED) {
    m_last_err = ERR_WATCH_DEGRADED;
    if (m_ui) m_ui->WriteEvent(ERR_WATCH_DEGRADED);
  }
  if (m_status == IDLE) SetStatus(SYNCING);
}

TaskManager::WatchState TaskManager::GetWatchState() const {
  MutexLock g(m_mutex);
  return m_watch_state;
}

void TaskManager::Tick() {
  FILE_INFO marker;
  if (FSStat(m_confirm_marker, marker) == 0 && marker.isExist) {
    // Removed first: a marker left behind would confirm the next hold
    // before the user saw it.
    if (std::remove(WideToUtf8Lossy(m_confirm_marker).c_str()) != 0) {
      SF_LOG(L_ERR, L"[ERROR] client-task-mgr(%d): cannot remove '%s'; it is not taken as a "
             L"confirmation\n", m_confirm_marker);
    } else {
      SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): found '%s'\n", m_confirm_marker);
      ConfirmRemovals();
    }
  }
  MutexLock g(m_mutex);
  const bool degraded = m_watch_state != kWatchHealthy;
  const bool held = !m_held.empty();
  if (m_last_err == 0 && degraded) {
    m_last_err = ERR_WATCH_DEGRADED;
    if (m_ui) m_ui->WriteEvent(ERR_WATCH_DEGRADED);
  } else if (m_last_err == 0 && held) {
    m_last_err = ERR_REMOVALS_HELD;
    if (m_ui) m_ui->WriteEvent(ERR_REMOVALS_HELD);
  }
  // While changes may go unseen, or held removals may have come back
  // (a disk mounted again is not seen by the watcher), the tree is compared
  // now and then.
  if (!(degraded || held) || m_full_rescan_running || !m_exp_event.empty()) return;
  if (std::chrono::steady_clock::now() - m_last_full_rescan <
      std::chrono::seconds(m_rescan_interval))
    return;
  SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): periodic rescan\n");
  m_last_full_rescan = std::chrono::steady_clock::now();
  m_exp_event.push_back(Event(EV_CREATE, F_DIR | F_EXPAND | F_RESCAN, L"/"));
}
