// What the monitor knows: the daemon connections and their sessions and
// status, the errors, the finished file events, totals and progress. Each
// change comes in as a call that also returns the Entry that plain and JSON
// output print, so the screen and the line outputs always agree.
//
// Owned and used by the monitor's one thread; not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "monitor/monitor-config.h"
#include "monitor/ui-decoder.h"

namespace monitor {

using Clock = std::chrono::system_clock;
using TimePoint = Clock::time_point;

enum class EntryKind {
  kNotice,        // the monitor's own line (event names what happened)
  kProblem,       // the monitor's own error line (front door, daemon exit)
  kDaemonOutput,  // a line the daemon wrote on its standard output or error
  kConnected,     // a daemon connected to the UI port
  kSession,       // it registered its session
  kStatus,        // value: the status
  kError,         // value: the error code; text: the advice
  kErrorCleared,  // the daemon reported 0 after an error
  kFile,          // value: the action; path: the raw path
  kGoodbye,       // the daemon announced that it stops
  kClosed,        // the connection ended
  kDropped,       // the connection sent something malformed; text: why
  kProgress,      // value: still syncing; count: finished of this run
};

struct Entry {
  TimePoint time;
  EntryKind kind = EntryKind::kNotice;
  // The session of the connection, masked (MaskSession), or "#N" before it
  // registered; "monitor" or "daemon" for the monitor's own lines.
  std::string source;
  std::string event;  // machine name of a notice ("listening", "started", "exit", ...)
  int32_t value = 0;
  int64_t count = 0;
  std::string path;  // raw bytes from the daemon
  std::string text;  // monitor-made text (for kDaemonOutput: the raw line)
};

// "2024-05-01 12:00:01 [alice] created /docs/a.txt"
std::string FormatPlain(const Entry& e);
// {"time":"2024-05-01T12:00:01.123+0200","source":"alice","type":"file",...}
std::string FormatJson(const Entry& e);

struct Progress {
  bool available = false;  // the file status database could be read
  int64_t syncing = 0;
  int64_t synced = 0;
  int64_t unsupported = 0;
  std::vector<std::string> now;  // a few paths still syncing (raw)
};

class MonitorState {
 public:
  static constexpr size_t kKeepFiles = 200;
  static constexpr size_t kKeepErrors = 20;
  static constexpr size_t kKeepNotices = 20;

  struct Connection {
    int id = 0;
    std::string session;  // raw; empty until registered
    bool registered = false;
    bool open = true;
    bool goodbye = false;
    int32_t status = 0;  // 0 until the first status message
    TimePoint since;
  };

  MonitorState(MonitorConfig cfg, bool attach);

  const MonitorConfig& config() const { return m_cfg; }
  void SetConfig(MonitorConfig cfg) { m_cfg = std::move(cfg); }
  bool attach() const { return m_attach; }

  Entry OnConnected(int id, TimePoint now);
  Entry OnMessage(int id, const UiMessage& m, TimePoint now);
  Entry OnClosed(int id, TimePoint now);
  Entry OnDropped(int id, const std::string& why, TimePoint now);
  Entry Notice(const std::string& event, const std::string& text, TimePoint now, int32_t value = 0);
  Entry ProblemLine(const std::string& event, const std::string& text, TimePoint now,
                    int32_t value = 0);
  Entry DaemonOutput(const std::string& line, TimePoint now);
  // Records the progress read from the file status database. Returns true
  // when the numbers changed.
  [[nodiscard]] bool SetProgress(const Progress& p);
  Entry ProgressEntry(TimePoint now) const;

  // The user asked the daemon to pause / resume (the daemon reports no pause
  // itself, so the monitor shows the request until a status says otherwise).
  void SetPauseRequested(bool paused);
  bool pause_requested() const { return m_pause_requested; }
  void SetDaemon(int pid, bool running, int exit_status);
  void SetStopping(bool stopping) { m_stopping = stopping; }
  bool stopping() const { return m_stopping; }
  void SetUiPort(int port) { m_ui_port = port; }
  int ui_port() const { return m_ui_port; }
  bool daemon_running() const { return m_daemon_running; }

  // For the screen.
  const Connection* Primary() const;
  const std::vector<Connection>& connections() const { return m_conns; }
  // "idle", "syncing", "paused", "waiting for the daemon", ...
  std::string StatusText() const;
  const std::deque<Entry>& files() const { return m_files; }
  const std::deque<Entry>& errors() const { return m_errors; }
  const std::deque<Entry>& notices() const { return m_notices; }
  const std::map<int32_t, int64_t>& totals() const { return m_totals; }
  int64_t error_count() const { return m_error_count; }
  const Progress& progress() const { return m_progress; }
  // Files finished since the current (or last) run of work began.
  int64_t batch_done() const { return m_batch_done; }
  bool multiple_sessions() const { return m_sessions_seen > 1; }
  int daemon_pid() const { return m_pid; }

  // A display name for a connection: its masked session, or "#id".
  std::string Label(int id) const;

 private:
  Connection* Find(int id);
  Entry Make(EntryKind k, int id, TimePoint now) const;
  template <typename T>
  static void Keep(std::deque<T>& q, const T& v, size_t max) {
    q.push_front(v);
    if (q.size() > max) q.pop_back();
  }

  MonitorConfig m_cfg;
  bool m_attach;
  std::vector<Connection> m_conns;
  std::deque<Entry> m_files;    // newest first
  std::deque<Entry> m_errors;   // newest first
  std::deque<Entry> m_notices;  // newest first
  std::map<int32_t, int64_t> m_totals;
  int64_t m_error_count = 0;
  int m_sessions_seen = 0;
  Progress m_progress;
  int64_t m_batch_done = 0;
  bool m_batch_active = false;
  bool m_pause_requested = false;
  bool m_stopping = false;
  int m_pid = 0;
  int m_ui_port = 0;
  bool m_daemon_running = false;
  int m_exit_status = -1;
};

}  // namespace monitor
