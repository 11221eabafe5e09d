#include "lib/base/log.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <cwctype>
#include <map>
#include <memory>
#include <string_view>

#include "lib/base/config.h"
#include "lib/base/journal.h"
#include "lib/base/mutex.h"
#include "lib/base/utility.h"

namespace {

using LevelMap = std::map<std::wstring, int, std::less<>>;

struct State {
  // Thresholds are read on every log call from every thread, and replaced
  // only by Initialize: readers take an immutable snapshot without the lock.
  // Replaced snapshots are kept (Initialize runs once or twice per process).
  std::atomic<const LevelMap*> log_level{nullptr};
  Mutex log_lock;
  std::vector<std::unique_ptr<LevelMap>> level_tables GUARDED_BY(log_lock);
  Logger::Type log_type GUARDED_BY(log_lock) = Logger::STDOUT_LOGGER;
  FILE* log_fp GUARDED_BY(log_lock) = stderr;
  long log_size GUARDED_BY(log_lock) = -1;
  int rotate_cnt GUARDED_BY(log_lock) = 20;
  std::wstring log_path GUARDED_BY(log_lock);
};

State& S() {
  // Leaked on purpose: threads may log during static destruction.
  static auto* s = new State;
  return *s;
}

constexpr int kDefaultThreshold = Logger::L_WARNING;

int ThresholdIn(const State& s, const wchar_t* comp) {
  const LevelMap* levels = s.log_level.load(std::memory_order_acquire);
  if (levels == nullptr) return kDefaultThreshold;
  auto it = levels->find(std::wstring_view(comp));
  return it == levels->end() ? kDefaultThreshold : it->second;
}

std::string RotatedName(const std::wstring& path, int n) {
  return WideToUtf8Lossy(path) + "_" + std::to_string(n);
}

// Text arguments carry names from disk and from the network: a newline in a
// file name must not start a forged log line, nor a terminal escape reach
// whoever reads the log. Control characters are written as escapes.
std::wstring EscapeControls(const std::wstring& in) {
  size_t i = 0;
  while (i < in.size() && in[i] >= 0x20 && in[i] != 0x7F) ++i;
  if (i == in.size()) return in;
  std::wstring out(in, 0, i);
  for (; i < in.size(); ++i) {
    const wchar_t c = in[i];
    if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'\r') {
      out += L"\\r";
    } else if (c == L'\t') {
      out += L"\\t";
    } else if (c < 0x20 || c == 0x7F) {
      wchar_t buf[8];
      std::swprintf(buf, 8, L"\\x%02x", static_cast<unsigned>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

// Formats one conversion with swprintf; `spec` holds flags, width and
// precision (no length modifier), `conv` the conversion character.
std::wstring FormatOne(const std::wstring& spec, wchar_t conv, const Logger::Arg& a) {
  std::wstring f = L"%" + spec;
  wchar_t buf[512];
  int n = -1;
  switch (conv) {
    case L'd':
    case L'i':
      if (a.kind() == Logger::Arg::kStr) return FormatOne(spec, L's', a);
      f += L"lld";
      n = std::swprintf(buf, 512, f.c_str(), a.AsInt());
      break;
    case L'u':
    case L'x':
    case L'X':
    case L'o':
      if (a.kind() == Logger::Arg::kStr) return FormatOne(spec, L's', a);
      f += L"ll";
      f += conv;
      n = std::swprintf(buf, 512, f.c_str(), a.AsUInt());
      break;
    case L'c':
      f += L"lc";
      n = std::swprintf(buf, 512, f.c_str(), static_cast<wint_t>(a.AsInt()));
      break;
    case L'f':
    case L'F':
    case L'e':
    case L'E':
    case L'g':
    case L'G':
    case L'a':
    case L'A':
      f += conv;
      n = std::swprintf(buf, 512, f.c_str(), a.AsDouble());
      break;
    case L'p':
      f += L"p";
      n = std::swprintf(buf, 512, f.c_str(), a.AsPtr());
      break;
    default: {  // 's', 'S' and anything unknown print the value as text
      if (a.kind() != Logger::Arg::kStr) {
        std::wstring v;
        switch (a.kind()) {
          case Logger::Arg::kInt:
            v = std::to_wstring(a.AsInt());
            break;
          case Logger::Arg::kUInt:
            v = std::to_wstring(a.AsUInt());
            break;
          case Logger::Arg::kDouble:
            v = std::to_wstring(a.AsDouble());
            break;
          default:
            v = L"(null)";
            break;
        }
        return FormatOne(spec, L's', Logger::Arg(v));
      }
      std::wstring s = EscapeControls(a.AsStr());
      if (spec.empty()) return s;
      // Width and precision apply to the text; long strings bypass the buffer.
      f += L"ls";
      std::vector<wchar_t> big(s.size() + 600);
      n = std::swprintf(big.data(), big.size(), f.c_str(), s.c_str());
      return n < 0 ? s : std::wstring(big.data(), static_cast<size_t>(n));
    }
  }
  return n < 0 ? std::wstring() : std::wstring(buf, static_cast<size_t>(n));
}

// Rewrites a wide format so that "%s" reads a wide string under glibc, whose
// wide formatter takes "%s" as a narrow string.
std::wstring MapWideFormat(const wchar_t* fmt) {
  std::wstring out;
  for (const wchar_t* p = fmt; *p; ++p) {
    out += *p;
    if (*p != L'%') continue;
    ++p;
    if (*p == L'%') {
      out += *p;
      continue;
    }
    while (*p && std::wcschr(L"-+ #0123456789.*", *p)) out += *p++;
    bool has_len = false;
    while (*p && std::wcschr(L"hlLqjzt", *p)) {
      out += *p++;
      has_len = true;
    }
    if (!*p) break;
    if ((*p == L's' || *p == L'c') && !has_len) out += L'l';
    if (*p == L'S') {
      out += L"ls";
      continue;
    }
    if (*p == L'n') {  // never write through a format
      out += L'%';
      continue;
    }
    out += *p;
  }
  return out;
}

const wchar_t* kNoComponent = L"";

}  // namespace

Logger::Arg::Arg(const std::string& s) : m_kind(kStr), m_str(Utf8ToWideLossy(s)) {}
Logger::Arg::Arg(const char* s) : m_kind(kStr), m_str(s ? Utf8ToWideLossy(s) : L"(null)") {}

long long Logger::Arg::AsInt() const {
  switch (m_kind) {
    case kInt:
      return m_int;
    case kUInt:
      return static_cast<long long>(m_uint);
    case kDouble:
      return static_cast<long long>(m_double);
    default:
      return 0;
  }
}

unsigned long long Logger::Arg::AsUInt() const {
  switch (m_kind) {
    case kInt:
      return static_cast<unsigned long long>(m_int);
    case kUInt:
      return m_uint;
    case kDouble:
      return static_cast<unsigned long long>(m_double);
    default:
      return 0;
  }
}

double Logger::Arg::AsDouble() const {
  switch (m_kind) {
    case kInt:
      return static_cast<double>(m_int);
    case kUInt:
      return static_cast<double>(m_uint);
    case kDouble:
      return m_double;
    default:
      return 0;
  }
}

std::wstring Logger::Format(const wchar_t* fmt, const Arg* args, size_t nargs) {
  std::wstring out;
  if (fmt == nullptr) return out;
  size_t next = 0;
  for (const wchar_t* p = fmt; *p; ++p) {
    if (*p != L'%') {
      out += *p;
      continue;
    }
    ++p;
    if (*p == L'%') {
      out += L'%';
      continue;
    }
    std::wstring spec;
    while (*p && std::wcschr(L"-+ #0", *p)) spec += *p++;
    while (*p && std::iswdigit(*p)) spec += *p++;
    if (*p == L'.') {
      spec += *p++;
      while (*p && std::iswdigit(*p)) spec += *p++;
    }
    while (*p && std::wcschr(L"hlLqjzt", *p)) ++p;  // the argument carries its type
    if (!*p) break;
    if (*p == L'n') continue;
    if (next >= nargs) {
      out += L"(missing)";
      continue;
    }
    out += FormatOne(spec, *p, args[next++]);
  }
  return out;
}

std::atomic<uint32_t> Logger::s_generation{1};

bool Logger::Enabled(Level level, const wchar_t* comp) {
  return static_cast<int>(level) <= ThresholdIn(S(), comp ? comp : kNoComponent);
}

int Logger::Threshold(const wchar_t* comp) {
  return ThresholdIn(S(), comp ? comp : kNoComponent);
}

int Logger::Initialize(Type type, const std::wstring& log_path, const std::wstring& level_path,
                       int rotate_cnt) {
  State& s = S();
  Config levels;
  (void)levels.read(level_path.empty() ? std::wstring(L"syncfolder.debug") : level_path);
  MutexLock g(s.log_lock);
  auto table = std::make_unique<LevelMap>();
  (*table)[L"default_component"] = 4;
  for (const auto& kv : levels.entries()) (*table)[kv.first] = levels.get_int(kv.first);
  s.log_level.store(table.get(), std::memory_order_release);
  // After the table: a site that sees the new generation finds the new table.
  uint32_t next = (s_generation.load(std::memory_order_relaxed) + 1) & 0xffffff;
  s_generation.store(next == 0 ? 1 : next, std::memory_order_release);
  s.level_tables.push_back(std::move(table));

  s.log_type = type;
  switch (type) {
    case SYSLOG_LOGGER:
      s.log_fp = nullptr;
      s.log_path.clear();
      s.log_size = -1;
      break;
    case STDOUT_LOGGER:
      s.log_fp = stdout;
      s.log_path.clear();
      s.log_size = -1;
      break;
    case STDERR_LOGGER:
      s.log_fp = stderr;
      s.log_path.clear();
      s.log_size = -1;
      break;
    case FILE_LOGGER: {
      std::wstring path = log_path.empty() ? std::wstring(L"syncfolder.log") : log_path;
      FILE* fp = std::fopen(WideToUtf8Lossy(path).c_str(), "a");
      if (fp == nullptr) return -1;
      if (s.log_fp != nullptr && s.log_fp != stdout && s.log_fp != stderr) std::fclose(s.log_fp);
      s.log_fp = fp;
      s.log_size = 0;
      s.log_path = path;
      s.rotate_cnt = rotate_cnt;
      break;
    }
  }
  return 0;
}

void Logger::Write(Level level, const wchar_t* comp, const std::wstring& msg) {
  State& s = S();
  MutexLock g(s.log_lock);
  if (s.log_type != SYSLOG_LOGGER && s.log_fp == nullptr) return;
  if (static_cast<int>(level) > ThresholdIn(s, comp ? comp : kNoComponent)) return;
  // The standard streams reach the journal without help; a file does not.
  if (s.log_type == FILE_LOGGER) journal::Send(level, comp, msg);

  if (s.log_type == SYSLOG_LOGGER) {
    std::string bytes = WideToUtf8Lossy(msg);
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
    return;
  }

  wchar_t stamp[1024];
  std::time_t now = std::time(nullptr);
  std::tm tm_now;
  localtime_r(&now, &tm_now);
  size_t stamp_len = std::wcsftime(stamp, 1024, L"%b %d %H:%M:%S ", &tm_now);
  std::wstring line(stamp, stamp_len);
  line += msg;
  std::string bytes = WideToUtf8Lossy(line);
  size_t written = std::fwrite(bytes.data(), 1, bytes.size(), s.log_fp);
  std::fflush(s.log_fp);

  if (s.log_type == FILE_LOGGER && s.log_size >= 0 && written == bytes.size()) {
    s.log_size += static_cast<long>(line.size());
    if (s.log_size > kRotateSize) {
      (void)Rotate();
      s.log_size = 0;
    }
  }
}

void Logger::LogMsg(Level level, const std::wstring& comp, const wchar_t* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  LogMsg2(level, comp, fmt, ap);
  va_end(ap);
}

void Logger::LogMsg2(Level level, const std::wstring& comp, const wchar_t* fmt, va_list ap) {
  if (fmt == nullptr || !Enabled(level, comp.c_str())) return;
  std::wstring mapped = MapWideFormat(fmt);
  std::vector<wchar_t> buf(1024);
  for (;;) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vswprintf(buf.data(), buf.size(), mapped.c_str(), copy);
    va_end(copy);
    if (n >= 0) {
      Write(level, comp.c_str(), std::wstring(buf.data(), static_cast<size_t>(n)));
      return;
    }
    // vswprintf does not say how much it needs; grow up to a sane bound.
    if (buf.size() >= (1u << 20)) return;
    buf.resize(buf.size() * 4);
  }
}

int Logger::Rotate() {
  State& s = S();
  // The header's REQUIRES: only Write calls this, under the lock, which the
  // analysis cannot follow through the public declaration.
  s.log_lock.AssertHeld();
  const int cnt = s.rotate_cnt;
  if (cnt > 0) {
    (void)std::remove(RotatedName(s.log_path, cnt - 1).c_str());
    for (int i = cnt - 2; i >= 0; --i) {
      (void)std::rename(RotatedName(s.log_path, i).c_str(), RotatedName(s.log_path, i + 1).c_str());
    }
  }
  if (s.log_fp != nullptr && s.log_fp != stdout && s.log_fp != stderr) std::fclose(s.log_fp);
  s.log_fp = nullptr;
  std::string live = WideToUtf8Lossy(s.log_path);
  if (std::rename(live.c_str(), RotatedName(s.log_path, 0).c_str()) != 0) return -1;
  FILE* fp = std::fopen(live.c_str(), "a");
  if (fp == nullptr) return -1;
  s.log_fp = fp;
  return 0;
}

void Logger::Destroy() {
  State& s = S();
  MutexLock g(s.log_lock);
  if (s.log_type != FILE_LOGGER) return;
  if (s.log_fp != nullptr && s.log_fp != stdout && s.log_fp != stderr) std::fclose(s.log_fp);
  s.log_fp = stdout;
  s.log_type = STDOUT_LOGGER;
  s.log_size = -1;
  s.log_path.clear();
  s.rotate_cnt = 32;
}

extern "C" void LogMSG_c(int level, const wchar_t* comp, const wchar_t* fmt, va_list ap) {
  Logger::LogMsg2(static_cast<Logger::Level>(level), comp ? std::wstring(comp) : std::wstring(),
                  fmt, ap);
}
