#include "monitor/monitor-state.h"

#include <cstdio>
#include <ctime>

#include "monitor/hints.h"
#include "monitor/text.h"

namespace monitor {

namespace {

std::string LocalTime(TimePoint t, const char* fmt) {
  const time_t secs = Clock::to_time_t(t);
  struct tm tm;
  localtime_r(&secs, &tm);
  char buf[64];
  return strftime(buf, sizeof(buf), fmt, &tm) > 0 ? std::string(buf) : std::string();
}

std::string IsoTime(TimePoint t) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  char frac[8];
  std::snprintf(frac, sizeof(frac), ".%03d", static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return LocalTime(t, "%Y-%m-%dT%H:%M:%S") + frac + LocalTime(t, "%z");
}

const char* JsonType(EntryKind k) {
  switch (k) {
    case EntryKind::kNotice:
      return "notice";
    case EntryKind::kProblem:
      return "problem";
    case EntryKind::kDaemonOutput:
      return "daemon_output";
    case EntryKind::kConnected:
      return "connected";
    case EntryKind::kSession:
      return "session";
    case EntryKind::kStatus:
      return "status";
    case EntryKind::kError:
      return "error";
    case EntryKind::kErrorCleared:
      return "error_cleared";
    case EntryKind::kFile:
      return "file";
    case EntryKind::kGoodbye:
      return "goodbye";
    case EntryKind::kClosed:
      return "closed";
    case EntryKind::kDropped:
      return "dropped";
    case EntryKind::kProgress:
      return "progress";
  }
  return "unknown";
}

std::string ProgressText(const Entry& e) {
  return "progress: " + std::to_string(e.count) + " of " + std::to_string(e.count + e.value) +
         " files done, " + std::to_string(e.value) + " still syncing";
}

}  // namespace

std::string FormatPlain(const Entry& e) {
  std::string line = LocalTime(e.time, "%Y-%m-%d %H:%M:%S") + " [" + ForLog(e.source) + "] ";
  switch (e.kind) {
    case EntryKind::kNotice:
    case EntryKind::kClosed:
      line += ForLog(e.text);
      break;
    case EntryKind::kProblem:
      line += "error: " + ForLog(e.text);
      break;
    case EntryKind::kDaemonOutput:
      line += ForLog(e.text);
      break;
    case EntryKind::kConnected:
      line += "connected";
      break;
    case EntryKind::kSession:
      line += "session " + ForLog(e.text) + " registered";
      break;
    case EntryKind::kStatus:
      line += "status " + StatusName(e.value);
      break;
    case EntryKind::kError:
      line += "error " + std::to_string(e.value) + " " + ErrorName(e.value);
      if (!e.text.empty()) line += ": " + ForLog(e.text);
      break;
    case EntryKind::kErrorCleared:
      line += "error cleared";
      break;
    case EntryKind::kFile:
      line += ActionName(e.value) + " " + ForLog(e.path);
      break;
    case EntryKind::kGoodbye:
      line += "the daemon says it is stopping";
      break;
    case EntryKind::kDropped:
      line += "dropped the connection: " + ForLog(e.text);
      break;
    case EntryKind::kProgress:
      line += ProgressText(e);
      break;
  }
  return line;
}

std::string FormatJson(const Entry& e) {
  std::string j = "{\"time\":" + JsonString(IsoTime(e.time)) +
                  ",\"source\":" + JsonString(e.source) + ",\"type\":\"" + JsonType(e.kind) + "\"";
  switch (e.kind) {
    case EntryKind::kNotice:
    case EntryKind::kProblem:
      j += ",\"event\":" + JsonString(e.event) + ",\"value\":" + std::to_string(e.value) +
           ",\"text\":" + JsonString(e.text);
      break;
    case EntryKind::kDaemonOutput:
    case EntryKind::kClosed:
      j += ",\"text\":" + JsonString(e.text);
      break;
    case EntryKind::kSession:
      j += ",\"session\":" + JsonString(e.text);
      break;
    case EntryKind::kStatus:
      j += ",\"status\":" + JsonString(StatusName(e.value)) +
           ",\"value\":" + std::to_string(e.value);
      break;
    case EntryKind::kError:
      j += ",\"code\":" + std::to_string(e.value) + ",\"name\":" + JsonString(ErrorName(e.value)) +
           ",\"hint\":" + JsonString(e.text);
      break;
    case EntryKind::kFile:
      j += ",\"action\":" + JsonString(ActionName(e.value)) +
           ",\"action_code\":" + std::to_string(e.value) + ",\"path\":" + JsonString(e.path);
      break;
    case EntryKind::kDropped:
      j += ",\"reason\":" + JsonString(e.text);
      break;
    case EntryKind::kProgress:
      j += ",\"syncing\":" + std::to_string(e.value) + ",\"done\":" + std::to_string(e.count);
      break;
    case EntryKind::kConnected:
    case EntryKind::kErrorCleared:
    case EntryKind::kGoodbye:
      break;
  }
  return j + "}";
}

MonitorState::MonitorState(MonitorConfig cfg, bool attach)
    : m_cfg(std::move(cfg)), m_attach(attach) {}

MonitorState::Connection* MonitorState::Find(int id) {
  for (auto& c : m_conns)
    if (c.id == id) return &c;
  return nullptr;
}

std::string MonitorState::Label(int id) const {
  for (const auto& c : m_conns)
    if (c.id == id && c.registered) return MaskSession(c.session);
  return "#" + std::to_string(id);
}

Entry MonitorState::Make(EntryKind k, int id, TimePoint now) const {
  Entry e;
  e.time = now;
  e.kind = k;
  e.source = Label(id);
  return e;
}

Entry MonitorState::OnConnected(int id, TimePoint now) {
  Connection c;
  c.id = id;
  c.since = now;
  m_conns.push_back(c);
  // Closed connections are kept only for the screen's history; a flood of
  // short connections must not grow the list without bound.
  while (m_conns.size() > 16) {
    auto it = m_conns.begin();
    while (it != m_conns.end() && it->open) ++it;
    if (it == m_conns.end()) break;
    m_conns.erase(it);
  }
  return Make(EntryKind::kConnected, id, now);
}

Entry MonitorState::OnMessage(int id, const UiMessage& m, TimePoint now) {
  Connection* c = Find(id);
  Entry e = Make(EntryKind::kNotice, id, now);
  switch (m.type) {
    case kMsgSession: {
      if (c) {
        c->session = m.text;
        c->registered = true;
      }
      bool seen = false;
      for (const auto& o : m_conns)
        if (o.id != id && o.registered && o.session == m.text) seen = true;
      if (!seen) ++m_sessions_seen;
      e = Make(EntryKind::kSession, id, now);
      e.text = MaskSession(m.text);
      break;
    }
    case kMsgStatus:
      if (c) c->status = m.value;
      // The daemon sends nothing while paused, so any status means work is
      // no longer held.
      if (m.value != kStatusPause) m_pause_requested = false;
      if (m.value == kStatusSyncing && !m_batch_active) {
        m_batch_active = true;
        m_batch_done = 0;
      }
      if (m.value == kStatusIdle && m_progress.syncing == 0) m_batch_active = false;
      e.kind = EntryKind::kStatus;
      e.value = m.value;
      break;
    case kMsgError:
      if (m.value == 0) {
        e.kind = EntryKind::kErrorCleared;
        break;
      }
      e.kind = EntryKind::kError;
      e.value = m.value;
      e.text = ErrorHint(m.value, m_cfg, !m_attach);
      ++m_error_count;
      Keep(m_errors, e, kKeepErrors);
      break;
    case kMsgFileEvent:
      e.kind = EntryKind::kFile;
      e.value = m.value;
      e.path = m.text;
      ++m_totals[m.value];
      ++m_batch_done;
      Keep(m_files, e, kKeepFiles);
      break;
    case kMsgControl:
      if (m.value == kControlTerminate) {
        if (c) c->goodbye = true;
        e.kind = EntryKind::kGoodbye;
      } else {
        e.text = "unknown connection-control value " + std::to_string(m.value);
      }
      break;
    default:
      e.text = "message type " + std::to_string(m.type);
      break;
  }
  return e;
}

Entry MonitorState::OnClosed(int id, TimePoint now) {
  Connection* c = Find(id);
  Entry e = Make(EntryKind::kClosed, id, now);
  const bool goodbye = c && c->goodbye;
  if (c) c->open = false;
  e.text = goodbye ? "disconnected (the daemon stopped)" : "disconnected: the connection was lost";
  return e;
}

Entry MonitorState::OnDropped(int id, const std::string& why, TimePoint now) {
  Connection* c = Find(id);
  if (c) c->open = false;
  Entry e = Make(EntryKind::kDropped, id, now);
  e.text = why;
  Keep(m_notices, e, kKeepNotices);
  return e;
}

Entry MonitorState::Notice(const std::string& event, const std::string& text, TimePoint now,
                           int32_t value) {
  Entry e;
  e.time = now;
  e.kind = EntryKind::kNotice;
  e.source = "monitor";
  e.event = event;
  e.text = text;
  e.value = value;
  Keep(m_notices, e, kKeepNotices);
  return e;
}

Entry MonitorState::ProblemLine(const std::string& event, const std::string& text, TimePoint now,
                                int32_t value) {
  Entry e = Notice(event, text, now, value);
  e.kind = EntryKind::kProblem;
  m_notices.front() = e;
  ++m_error_count;
  Keep(m_errors, e, kKeepErrors);
  return e;
}

Entry MonitorState::DaemonOutput(const std::string& line, TimePoint now) {
  Entry e;
  e.time = now;
  e.kind = EntryKind::kDaemonOutput;
  e.source = "daemon";
  e.text = line;
  Keep(m_notices, e, kKeepNotices);
  return e;
}

bool MonitorState::SetProgress(const Progress& p) {
  const bool changed = p.available != m_progress.available || p.syncing != m_progress.syncing ||
                       p.synced != m_progress.synced || p.unsupported != m_progress.unsupported ||
                       p.now != m_progress.now;
  if (p.syncing > 0 && !m_batch_active) {
    m_batch_active = true;
    m_batch_done = 0;
  }
  m_progress = p;
  return changed;
}

Entry MonitorState::ProgressEntry(TimePoint now) const {
  Entry e;
  e.time = now;
  e.kind = EntryKind::kProgress;
  e.source = "monitor";
  e.value = static_cast<int32_t>(m_progress.syncing);
  e.count = m_batch_done;
  return e;
}

void MonitorState::SetPauseRequested(bool paused) {
  m_pause_requested = paused;
}

void MonitorState::SetDaemon(int pid, bool running, int exit_status) {
  m_pid = pid;
  m_daemon_running = running;
  m_exit_status = exit_status;
}

const MonitorState::Connection* MonitorState::Primary() const {
  const Connection* best = nullptr;
  for (const auto& c : m_conns) {
    const bool ours = c.registered && c.session == m_cfg.session;
    const bool best_ours = best && best->registered && best->session == m_cfg.session;
    // Our own session first, then open connections, then the newest.
    if (!best || (ours && !best_ours) || (ours == best_ours && (c.open || !best->open))) best = &c;
  }
  return best;
}

std::string MonitorState::StatusText() const {
  if (m_stopping && (m_daemon_running || m_attach)) return "stopping";
  const Connection* p = Primary();
  if (!m_attach && m_pid > 0 && !m_daemon_running) {
    return m_exit_status == 0 ? "stopped"
                              : "stopped (exit status " + std::to_string(m_exit_status) + ")";
  }
  if (p == nullptr) return "waiting for the daemon";
  if (!p->open) return p->goodbye ? "stopped" : "disconnected";
  if (m_pause_requested) return "paused";
  if (p->status == 0) return "idle";
  return StatusName(p->status);
}

}  // namespace monitor
