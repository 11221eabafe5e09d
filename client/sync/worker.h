// A transfer worker: takes one path at a time from the task manager and
// carries out its events against the server or the local disk (upload,
// download, local and remote removal), decides from the outcome whether the
// event is done, retried or parked, and reports errors and per-file results.
//
// Worker4 speaks protocol 4.0 and Worker3 protocol 3; they differ only in the
// upload request and in the module name of their log lines.
//
// Thread: each worker runs DoTask on its own task thread. It blocks in
// Task::Wait between retries and in its channel's waits during an exchange;
// Stop sets abort_flag (which ends a channel wait with ERR_INT) and then
// stops the task. Other threads reach a worker only through its mailbox
// (TaskContext) and IsConnected.
//
// Files: worker.cpp (event loop, errors, channel pattern, checksum helpers),
// download.cpp, upload.cpp, removal.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "client/core/client-task-mgr.h"
#include "client/core/event-list.h"
#include "client/store/event-db.h"
#include "lib/fs/file-ops.h"
#include "lib/fs/temp-file.h"
#include "lib/net/connection-pool.h"
#include "lib/proto/proto-common.h"

class BlackList2;
class Channel;
class SFSysInfo;

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

enum ConnectionState { CONNECTED = 0, DISCONNECTED = 1, IDLE_STATE = 2 };

// Block bits of SPROTO_ID_DATA_BLOCK / SPROTO_ID_SYNC_BLOCK and meta bits.
constexpr uint32_t BLK_FILE = 1;
constexpr uint32_t BLK_COMMON_ATTR = 2;
constexpr uint32_t BLK_MAC_ATTR = 4;
constexpr uint32_t SYNC_BLOCKS = BLK_FILE | BLK_COMMON_ATTR;
constexpr uint32_t META_PROTO_VERSION = 1;
constexpr uint32_t META_FILTER_VERSION = 2;

struct RequestChannelContext {
  std::wstring session;
  int response = 0;
  uint32_t alive = 0;
};

// A file block: its description and the temporary file holding its data.
struct FileBlock {
  uint8_t type = 0;  // 0 whole file, otherwise a delta
  uint64_t size = 0;
  std::wstring hash;
  TempFile data;
};

struct MacAttributeBlock {
  uint64_t size = 0;
  std::wstring hash;
  TempFile data;
};

struct DownloadRequest {
  std::wstring session;
  ObjectID obj;
  uint32_t sync_blocks = SYNC_BLOCKS;
};

struct DownloadResponse {
  int code = 0;
  ObjectID obj;
  uint8_t new_obj_type = SFT_FILE;
  uint32_t data_blocks = 0;
  CommonAttributeBlock common_attr;
  FileBlock file;
  MacAttributeBlock mac_attr;
  uint32_t alive = 0;
};

struct DownloadContext {
  DownloadRequest request;
  DownloadResponse response;
};

struct UploadRequest {
  std::wstring session;
  uint32_t meta_blocks = META_PROTO_VERSION | META_FILTER_VERSION;
  ProtocolVersion proto_version;
  FilterVersion filter_version;
  ObjectID obj;
  uint8_t new_obj_type = SFT_FILE;
  uint32_t sync_blocks = SYNC_BLOCKS;
  uint32_t data_blocks = BLK_COMMON_ATTR;
  FileBlock file;
  CommonAttributeBlock common_attr;
  MacAttributeBlock mac_attr;
};

struct UploadResponse {
  int code = 0;
  ObjectID obj;
  CommonAttributeBlock common_attr;
  uint32_t alive = 0;
};

struct UploadContext {
  UploadRequest request;
  UploadResponse response;
};

struct RemoveRequest {
  std::wstring session;
  ObjectID obj;
};

struct RemoveResponse {
  int code = 0;
  uint32_t alive = 0;
};

struct RemoveContext {
  RemoveRequest request;
  RemoveResponse response;
};

class Worker : public ServerTask {
 public:
  enum Action {
    ACTION_DONE = 0,
    ACTION_RETRY = 1,
    ACTION_RETRY_LONG_WAIT = 2,
    ACTION_ABORT = 3,
    ACTION_ABORT_EXCEPTION = 4,
  };

  // `generation` is 3 or 4. `ctx` is this worker's mailbox; `index` its
  // number in log lines.
  Worker(TaskManager* owner, TaskContext* ctx, int index, int generation);
  ~Worker() override;

  int Resume() override;
  int Stop() override;
  void DoTask() override;
  bool IsConnected() const override;
  void SetConnectionState(ConnectionState s);

  // ---- One event (worker thread; public for tests) -------------------------
  // Dispatches `e` to the operation for its kind. Returns an ERR_ code.
  int ProcessEvent(Event& e);
  // Maps an operation's result to an Action (see the tables in worker.cpp).
  int HandleError(int code);
  // Reports `code` to the task manager when the rate limit allows: 1 when
  // reported, else 0.
  int NotifyError(int code);
  void NotifyEvent(NotifyEventType type, const std::wstring& path);
  // 0: the path is finished; -1: newer events wait in the mailbox.
  int DoneEvent(const Event& e);

  // ---- Operations (worker thread) ------------------------------------------
  int UploadLocal(const std::wstring& path);                         // upload.cpp
  int DownloadRemote(uint64_t sync_id, const std::wstring& path);    // download.cpp
  int RemoveLocal(const std::wstring& path);                         // removal.cpp
  int RemoveRemote(const std::wstring& path);                        // removal.cpp
  // Moves the directory into the working directory, then deletes it there.
  int RemoveDirectoryW(const std::wstring& full_path);               // removal.cpp

  // ---- Filter -------------------------------------------------------------
  // 0 when the filter lets the item through, else the first filter result.
  int TestFile(const std::wstring& path, uint64_t file_size, uint64_t full_path_size) const;
  int TestDirectory(const std::wstring& path, uint64_t full_path_size) const;

  // ---- Checksum, signature and delta helpers (worker.cpp) ------------------
  int CalculateMD4(const std::wstring& full_path, std::wstring& hash) const;
  int CalculateSignature(const std::wstring& path, TempFile& sign_file) const;
  int CalculateDelta(const std::wstring& sign_path, const std::wstring& new_path,
                     TempFile& delta_file) const;

  // True when the local item differs from the row (upload.cpp). An empty
  // `hash` skips the content comparison.
  bool LocallyModified(const FILE_INFO& local, const ClientFileEventInfo& row,
                       const std::wstring& hash) const;

  // Tests: a clock in seconds instead of time(nullptr).
  void SetClock(std::function<time_t()> clock) { m_clock = std::move(clock); }
  int generation() const { return m_generation; }
  int index() const { return m_index; }

 protected:
  // ---- Channel pattern (worker.cpp) ----------------------------------------
  // Pops a connection, hands it abort_flag and makes sure it carries a live
  // session. On failure the connection is closed and returned to the pool,
  // `conn` is null and the error is returned.
  int ObtainChannel(Connection*& conn);
  // Connection::Update(alive) and back to the pool.
  void ReturnChannel(Connection* conn, uint32_t alive);
  int RequestChannel(Connection* conn);
  int EstablishConnection(Connection* conn);
  int ProtoRequestChannel(Channel& ch, RequestChannelContext& ctx);

  // ---- Wire exchanges --------------------------------------------------------
  int ProtoDownloadObject(Channel& ch, DownloadContext& ctx);    // download.cpp
  int ProtoUploadObject(Channel& ch, UploadContext& ctx);        // upload.cpp
  int ProtoReadUploadResponse(Channel& ch, UploadResponse& r);   // upload.cpp
  int ProtoRemoveObject(Channel& ch, RemoveContext& ctx);        // removal.cpp

  // Pending local events for the path in work (mailbox, under its lock).
  bool HasPendingLocalEvents() const;
  // Sync root + `path`.
  std::wstring FullPath(const std::wstring& path) const;
  const std::wstring& Session() const;
  time_t Now() const { return m_clock ? m_clock() : std::time(nullptr); }
  const BlackList2& Filter() const;
  SFSysInfo& Config() const;

  // Constant after construction.
  const int m_index;
  const int m_generation;  // 3 or 4
  const wchar_t* const m_module;  // "worker-v4" or "worker-v3"
  ConnectionPool* const pool;

  // Set by Stop (any thread), read by the channel in the worker's thread.
  std::atomic<int> abort_flag{0};

  // Worker thread only.
  int last_notified = 0;
  int sys_err_count = 0;
  time_t last_err_io_time = 0;
  unsigned patch_err_count = 0;
  NotifyEventType notify_event_type = NOTIFY_NONE;
  int notify_file_status = -1;
  std::function<time_t()> m_clock;

  mutable std::mutex conn_state_lock;
  ConnectionState conn_state = IDLE_STATE;  // Guarded by conn_state_lock
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
