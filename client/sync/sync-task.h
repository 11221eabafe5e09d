// What the syncer and the workers share: a borrowed server connection and
// the way it is brought up (connection request with the session, keep-alive
// reuse), the rate limiting of error reports to the user interface, the
// connection state other threads read, and log lines that name the task's
// generation ("syncer-v4", "worker-v3", ...).
//
// Thread: the task's own thread uses everything here, except IsConnected
// (any thread) and Stop/Resume (the controlling thread). Stop raises
// abort_flag, which every channel the task borrows watches, so a transfer in
// progress ends with ERR_INT within one channel wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "client/core/client-task-mgr.h"
#include "lib/base/log.h"
#include "lib/base/mutex.h"
#include "lib/net/connection-pool.h"

class Channel;
class SFSysInfo;

enum ConnectionState { CONNECTED = 0, DISCONNECTED = 1, IDLE_STATE = 2 };

struct RequestChannelContext {
  std::wstring session;
  int response = 0;
  uint32_t alive = 0;
};

// Logs `fmt` (the text after "[LEVEL] module(%d): ") under the task's own
// module name and log component.
#define SYNC_LOG(level, fmt, ...) LogAt(::Logger::level, __LINE__, fmt, ##__VA_ARGS__)

class SyncTask : public ServerTask {
 public:
  // I/O trouble is reported only once it has lasted this long.
  static constexpr time_t kIoReportDelay = 30;

  // `module` ("worker-v4") and `component` ("worker_debug") name the log
  // lines; `who` starts the lines that say which task speaks ("Syncer: ",
  // "Worker (2): "). The strings must outlive the task.
  SyncTask(TaskManager* owner, TaskContext* ctx, const wchar_t* module, const wchar_t* component,
           std::wstring who);
  ~SyncTask() override;

  // Raises abort_flag, then stops the thread.
  int Stop() override;
  // Forgets the last reported error, then resumes.
  int Resume() override;
  // Thread-safe.
  bool IsConnected() const override;
  void SetConnectionState(ConnectionState s);
  ConnectionState GetConnectionState() const;

  // Decides whether `code` goes to the task manager (which shows it): a
  // change of error is reported once, ERR_OK after an error once, and I/O
  // trouble (ERR_TIMEOUT counts as ERR_IO) only when it has lasted
  // kIoReportDelay seconds, and then on every call (the state becomes
  // DISCONNECTED). Returns 1 when reported, else 0. Task thread only.
  int NotifyError(int code);

  // Seconds before the first retry after an answer from the server that
  // makes no sense: `normal`, or for tests what the environment variable
  // SYNCFOLDER_TEST_PROTO_BACKOFF says (0 to `normal`).
  static int ProtoBackoff(int normal);

  // Tests: seconds since 1970 from `clock` instead of time(nullptr).
  void SetClock(std::function<time_t()> clock) { m_clock = std::move(clock); }
  const wchar_t* module() const { return m_module; }

 protected:
  // Pops a connection, hands it abort_flag and makes sure it carries a live
  // session channel. Returns 0 with `conn` set; otherwise the connection (if
  // any) has been closed and returned, `conn` is null and the error is
  // returned (ERR_IO when the pool is empty or the server refuses, the
  // channel's or the server's code otherwise). The caller logs the failure
  // in its own words.
  int ObtainChannel(Connection*& conn);
  // The channel pattern around one exchange: borrows a connection (a
  // failure is logged with `fail_fmt`, whose "%s" takes the error text, and
  // returned), runs `exchange(channel)`, and gives the connection back with
  // the keep-alive `alive` holds afterwards (none after a failed exchange).
  // Returns the exchange's result.
  template <typename Exchange>
  int WithChannel(const wchar_t* fail_fmt, const uint32_t& alive, Exchange exchange) {
    Connection* conn = nullptr;
    int r = ObtainChannel(conn);
    if (r != 0) {
      LogAt(Logger::L_ERR, __LINE__, fail_fmt, GetErrorStringW(r));
      return r;
    }
    r = exchange(*conn->channel);
    ReturnChannel(conn, r < 0 ? 0 : alive);
    return r;
  }
  // Records the keep-alive the last answer granted (0 closes the channel)
  // and gives the connection back: to the front of the pool while reusable,
  // else to the back. A null `conn` is ignored.
  void ReturnChannel(Connection* conn, uint32_t alive);
  // 0 at once for a reusable connection; otherwise connects, asks for a
  // session channel and records the grant. 0 or an ERR_ code.
  int RequestChannel(Connection* conn);
  // Closes the connection's channel and opens it to the configured server.
  int EstablishConnection(Connection* conn);
  // The connection request and its answer (refusals are not failures here:
  // they are left in ctx.response).
  int ProtoRequestChannel(Channel& ch, RequestChannelContext& ctx);

  SFSysInfo& Config() const;
  std::wstring Session() const;
  time_t Now() const { return m_clock ? m_clock() : std::time(nullptr); }

  // Use through SYNC_LOG. The line number is the format's first "%d".
  template <typename... Args>
  void LogAt(Logger::Level level, int line, const wchar_t* fmt, const Args&... args) const {
    if (!Logger::Enabled(level, m_component)) return;
    Logger::Log(level, m_component, Prefix(level, fmt).c_str(), line, args...);
  }
  // "[ERROR] worker-v4(%d): " + fmt.
  std::wstring Prefix(Logger::Level level, const wchar_t* fmt) const;

  // Constant after construction.
  const wchar_t* const m_module;
  const wchar_t* const m_component;
  const std::wstring m_who;
  ConnectionPool* const pool;

  // Written by the thread that stops the task, read by the channels.
  std::atomic<int> abort_flag{0};

  // Task thread only (Resume clears last_notified from the controlling
  // thread while the task is paused, as the task framework allows).
  std::atomic<int> last_notified{0};
  time_t last_err_io_time = 0;
  std::function<time_t()> m_clock;

 private:
  mutable Mutex conn_state_lock;
  ConnectionState conn_state GUARDED_BY(conn_state_lock) = IDLE_STATE;
};
