#include "monitor/screen.h"

#include <algorithm>
#include <ctime>

#include "monitor/hints.h"
#include "monitor/text.h"

namespace monitor {

namespace {

std::string HourMinSec(TimePoint t) {
  const time_t secs = Clock::to_time_t(t);
  struct tm tm;
  localtime_r(&secs, &tm);
  char buf[16];
  return strftime(buf, sizeof(buf), "%H:%M:%S", &tm) > 0 ? std::string(buf) : std::string();
}

// Word wrap for advice texts, at most `max_rows` rows; the last row is cut.
std::vector<std::string> Wrap(const std::string& text, int width, int max_rows) {
  std::vector<std::string> rows;
  std::string rest = text;
  while (!rest.empty() && static_cast<int>(rows.size()) < max_rows) {
    if (DisplayWidth(rest) <= width || static_cast<int>(rows.size()) == max_rows - 1) {
      rows.push_back(FitRight(rest, width));
      break;
    }
    // The longest prefix that fits, ending at a blank when there is one.
    std::string fit = FitRight(rest, width);
    size_t cut = fit.size() >= 3 ? fit.size() - 3 : 0;  // without the ellipsis
    size_t blank = rest.rfind(' ', cut);
    if (blank == std::string::npos || blank == 0) blank = cut;
    rows.push_back(rest.substr(0, blank));
    rest.erase(0, blank);
    while (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  }
  return rows;
}

std::string Totals(const MonitorState& s) {
  auto n = [&](int32_t a) {
    auto it = s.totals().find(a);
    return std::to_string(it == s.totals().end() ? 0 : it->second);
  };
  return "totals    " + n(kActionCreate) + " created  " + n(kActionModify) + " modified  " +
         n(kActionRemove) + " removed  " + n(kActionRename) + " renamed  " +
         std::to_string(s.error_count()) + " errors";
}

std::string ProgressRow(const MonitorState& s, int width) {
  const Progress& p = s.progress();
  if (!p.available)
    return FitRight("progress  (the file status database is not readable yet)", width);
  if (p.syncing == 0) {
    std::string t = "progress  up to date, " + std::to_string(p.synced) + " synced";
    if (p.unsupported > 0) t += ", " + std::to_string(p.unsupported) + " not syncable";
    if (s.batch_done() > 0) t += ", " + std::to_string(s.batch_done()) + " finished this run";
    return FitRight(t, width);
  }
  const int64_t done = s.batch_done();
  const int64_t total = done + p.syncing;
  const std::string tail = " " + std::to_string(done) + " of " + std::to_string(total) +
                           " files, " + std::to_string(p.syncing) + " still syncing";
  const int bar = std::max(0, std::min(30, width - 12 - DisplayWidth(tail)));
  std::string t = "progress  ";
  if (bar >= 5) {
    const int filled = total > 0 ? static_cast<int>(done * bar / total) : 0;
    t += "[" + std::string(static_cast<size_t>(filled), '#') +
         std::string(static_cast<size_t>(bar - filled), '.') + "]";
  }
  return FitRight(t + tail, width);
}

std::string FileRow(const Entry& e, const MonitorState& s, int width) {
  std::string head = HourMinSec(e.time) + " ";
  if (s.multiple_sessions()) head += FitRight(ForScreen(e.source), 12) + " ";
  head += PadRight(ActionName(e.value), 9);
  const int room = width - DisplayWidth(head);
  if (room <= 0) return FitRight(head, width);
  return head + ShortenMiddle(ForScreen(e.path), room);
}

std::string NoticeText(const Entry& e) {
  if (e.kind == EntryKind::kDaemonOutput) return "daemon: " + ForScreen(e.text);
  if (e.kind == EntryKind::kDropped)
    return ForScreen(e.source) + ": dropped the connection: " + ForScreen(e.text);
  return ForScreen(e.text);
}

}  // namespace

std::vector<ScreenRow> RenderScreen(const MonitorState& s, int width, int height, TimePoint now) {
  std::vector<ScreenRow> rows;
  if (height < 1 || width < 1) return rows;
  const MonitorConfig& cfg = s.config();
  const MonitorState::Connection* primary = s.Primary();
  const std::string session =
      ForScreen(MaskSession(primary && primary->registered ? primary->session : cfg.session));

  std::string status = s.StatusText();
  std::transform(status.begin(), status.end(), status.begin(), ::toupper);
  // A lone row is also the bottom row, which stays clear of the corner.
  const int title_width = height == 1 ? width - 1 : width;
  // The status and the clock stay; the session and the program name give way.
  const std::string right = "  " + status + "  " + HourMinSec(now) + " ";
  const int room = title_width - DisplayWidth(right);
  std::string left = " syncfolder-monitor  " + session;
  if (DisplayWidth(left) > room) left = " " + ShortenMiddle(session, std::max(1, room - 1));
  std::string title = left + right;
  if (DisplayWidth(title) > title_width) title = FitRight(" " + status, title_width);
  rows.push_back({PadRight(left, std::max(0, room)) + right, ScreenRow::kBar});
  if (DisplayWidth(rows.back().text) > title_width) rows.back().text = title;
  if (height == 1) return rows;

  // The footer and the notice row are placed last; the body gets the rest.
  std::string keys;
  if (status == "STOPPING") {
    keys = " stopping the daemon...";
  } else if (!s.attach() && s.daemon_pid() > 0 && !s.daemon_running()) {
    keys = " the daemon has stopped";
  } else if (s.attach()) {
    keys = " q quit   (attached: pause and resume belong to whoever started the daemon)";
  } else {
    keys = " p pause   r resume   l reload server address   c confirm removals   q quit";
  }
  const ScreenRow footer{FitRight(keys, width - 1), ScreenRow::kBar};
  const bool has_notice = !s.notices().empty() && height >= 8;
  const int body = height - 2 - (has_notice ? 1 : 0);

  std::vector<ScreenRow> b;
  const std::string hop = FirstHop(cfg);
  const std::string ui = s.ui_port() > 0 ? "  UI port " + std::to_string(s.ui_port()) : "";
  std::string where =
      "server " + (hop.empty() ? std::string("(none)") : ForScreen(hop)) + "  folder ";
  where += ShortenMiddle(ForScreen(cfg.watch),
                         std::max(1, width - DisplayWidth(where) - DisplayWidth(ui)));
  b.push_back({FitRight(where + ui, width)});
  std::string others;
  for (const auto& c : s.connections()) {
    if (&c == primary) continue;
    if (!others.empty()) others += ", ";
    others += (c.registered ? ForScreen(MaskSession(c.session)) : "#" + std::to_string(c.id)) +
              " " +
              (c.open ? (c.status ? StatusName(c.status) : std::string("idle")) : "disconnected");
  }
  if (!others.empty()) b.push_back({FitRight("others    " + others, width)});
  b.push_back({ProgressRow(s, width)});
  if (s.progress().syncing > 0 && !s.progress().now.empty()) {
    std::string now_row = "now       ";
    const int each = std::max(8, (width - 10) / static_cast<int>(s.progress().now.size()) - 2);
    for (const std::string& p : s.progress().now)
      now_row += ShortenMiddle(ForScreen(p), each) + "  ";
    b.push_back({FitRight(now_row, width)});
  }
  b.push_back({FitRight(Totals(s), width)});

  if (!s.errors().empty() && static_cast<int>(b.size()) + 3 <= body) {
    b.push_back({""});
    b.push_back({"errors", ScreenRow::kHeader});
    int shown = 0;
    for (const Entry& e : s.errors()) {
      const int room = body - static_cast<int>(b.size()) - 3;  // leave the files header a start
      if (room <= 0 || shown == 3) break;
      std::string text = HourMinSec(e.time) + " ";
      if (e.kind == EntryKind::kError) {
        if (s.multiple_sessions()) text += ForScreen(e.source) + ": ";
        text += std::to_string(e.value) + " " + ErrorName(e.value);
        if (!e.text.empty()) text += ": " + ForScreen(e.text);
      } else {
        text += ForScreen(e.text);
      }
      // The newest error may take two rows: its advice is the point.
      for (const std::string& r : Wrap(text, width, shown == 0 ? std::min(2, room) : 1))
        b.push_back({r, ScreenRow::kError});
      ++shown;
    }
  }

  if (static_cast<int>(b.size()) + 2 <= body) {
    b.push_back({""});
    b.push_back(
        {s.files().empty() ? "files     (none finished yet)" : "files", ScreenRow::kHeader});
    for (const Entry& e : s.files()) {
      if (static_cast<int>(b.size()) >= body) break;
      b.push_back({FileRow(e, s, width)});
    }
  }
  if (static_cast<int>(b.size()) > body) b.resize(static_cast<size_t>(std::max(0, body)));
  while (static_cast<int>(b.size()) < body) b.push_back({""});
  rows.insert(rows.end(), b.begin(), b.end());
  if (has_notice)
    rows.push_back({FitRight(NoticeText(s.notices().front()), width), ScreenRow::kDim});
  rows.push_back(footer);
  return rows;
}

std::string ScreenPainter::Enter() {
  return "\x1b[?1049h\x1b[?25l\x1b[2J";
}

std::string ScreenPainter::Leave() {
  return "\x1b[0m\x1b[?25h\x1b[?1049l";
}

std::string ScreenPainter::Paint(const std::vector<ScreenRow>& rows, int width, int height) {
  std::string out;
  if (width != m_width || height != m_height || m_last.size() != rows.size()) {
    m_last.assign(rows.size(), ScreenRow{"\x01", ScreenRow::kNormal});  // matches no row
    m_width = width;
    m_height = height;
    out += "\x1b[0m\x1b[2J";
  }
  for (size_t r = 0; r < rows.size(); ++r) {
    if (rows[r] == m_last[r]) continue;
    const ScreenRow& row = rows[r];
    out += "\x1b[" + std::to_string(r + 1) + ";1H";
    std::string text = row.text;
    switch (row.style) {
      case ScreenRow::kBar:
        out += "\x1b[7m";
        text = PadRight(text, r + 1 == rows.size() ? width - 1 : width);
        break;
      case ScreenRow::kHeader:
        out += "\x1b[1m";
        break;
      case ScreenRow::kError:
        out += "\x1b[31m";
        break;
      case ScreenRow::kDim:
        out += "\x1b[2m";
        break;
      case ScreenRow::kNormal:
        break;
    }
    out += text;
    if (row.style != ScreenRow::kNormal) out += "\x1b[0m";
    // A row that fills the width leaves the cursor on its last cell, where
    // erasing would take that cell too.
    if (DisplayWidth(text) < width) out += "\x1b[K";
    m_last[r] = row;
  }
  return out;
}

}  // namespace monitor
