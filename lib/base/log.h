// Process-wide logging: one sink (a rotating file or a standard stream), a
// per-component threshold table read from a level file, one mutex.
//
// Formats are wide printf-style strings whose "%s" takes a wide string, as
// the modules' log texts are written. Two entry points:
//  - Logger::Log (and the SF_LOG macro) is type-safe: "%s" accepts
//    std::wstring, const wchar_t*, std::string and const char* (UTF-8), and
//    integer conversions accept any integer or enum type.
//  - Logger::LogMsg / LogMsg2 / LogMSG_c are C-variadic for callers that hold
//    a va_list; there "%s" must be a const wchar_t*.
// Output is always written as UTF-8 bytes; wide stdio is never used.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/base/errors.h"

class Logger {
 public:
  enum Type { SYSLOG_LOGGER = 0, STDOUT_LOGGER = 1, STDERR_LOGGER = 2, FILE_LOGGER = 3 };
  enum Level {
    L_EMERG = 0,
    L_ALERT = 1,
    L_CRIT = 2,
    L_ERR = 3,
    L_WARNING = 4,
    L_NOTICE = 5,
    L_INFO = 6,
    L_DEBUG = 7,
  };

  // Size in characters above which the log file is rotated.
  static constexpr long kRotateSize = 1048576;

  // Loads the level file (or "syncfolder.debug" when `level_path` is empty)
  // and selects the sink. For FILE_LOGGER an empty `log_path` means
  // "syncfolder.log". Returns 0, or -1 when the log file cannot be opened (the
  // previous sink stays). Call only while no other thread logs.
  [[nodiscard]] static int Initialize(Type type, const std::wstring& log_path,
                                      const std::wstring& level_path, int rotate_cnt);

  // C-variadic forms; "%s" takes const wchar_t*. Thread-safe.
  static void LogMsg(Level level, const std::wstring& comp, const wchar_t* fmt, ...);
  static void LogMsg2(Level level, const std::wstring& comp, const wchar_t* fmt, va_list ap);

  // True when a message of `level` for `comp` would be written.
  static bool Enabled(Level level, const wchar_t* comp);
  // The most verbose level written for `comp`.
  static int Threshold(const wchar_t* comp);

  // Remembers one call site's threshold until the level table is replaced,
  // so that a skipped debug line costs two loads instead of a table lookup
  // (the channel's hot paths pass a dozen such lines per 8 KiB block).
  // Constant-initialized: usable as a function-local static from any thread.
  class Site {
   public:
    constexpr Site() = default;
    bool Enabled(Level level, const wchar_t* comp) {
      const uint32_t gen = s_generation.load(std::memory_order_acquire);
      uint32_t cached = m_cached.load(std::memory_order_relaxed);
      if ((cached >> 8) != gen) {
        // Levels run from 0 to 7: a threshold below 0 writes nothing and
        // one above 7 everything, so clamping to -1..8 keeps the meaning.
        int t = Threshold(comp);
        t = t < -1 ? -1 : (t > 8 ? 8 : t);
        cached = (gen << 8) | static_cast<uint32_t>(t + 1);
        m_cached.store(cached, std::memory_order_relaxed);
      }
      return static_cast<int>(level) + 1 <= static_cast<int>(cached & 0xff);
    }

   private:
    // Generation << 8 | (threshold + 1); generation 0 never occurs.
    std::atomic<uint32_t> m_cached{0};
  };

  class Arg;
  // Type-safe form. Thread-safe.
  template <typename... Args>
  static void Log(Level level, const wchar_t* comp, const wchar_t* fmt, const Args&... args) {
    if (!Enabled(level, comp)) return;
    const Arg list[] = {Arg(args)..., Arg()};
    Write(level, comp, Format(fmt, list, sizeof...(Args)));
  }

  // Renames path_(n-1) .. path_0 one up and moves the live file to path_0.
  // REQUIRES: the log lock is held (called from the write path) or no other
  // thread logs. Returns 0 or -1; after a failure all messages are dropped
  // until the next Initialize.
  [[nodiscard]] static int Rotate();

  // Closes a log file; later messages go to standard output.
  static void Destroy();

  // Formats like Log without writing; exposed for tests and other sinks.
  static std::wstring Format(const wchar_t* fmt, const Arg* args, size_t nargs);

  // One formatting argument: an integer, a floating value, a pointer or a
  // wide string (narrow strings are taken as UTF-8 and converted).
  class Arg {
   public:
    enum Kind { kNone, kInt, kUInt, kDouble, kStr, kPtr };
    Arg() : m_kind(kNone) {}
    Arg(std::wstring s) : m_kind(kStr), m_str(std::move(s)) {}
    Arg(const wchar_t* s) : m_kind(kStr), m_str(s ? s : L"(null)") {}
    Arg(wchar_t* s) : Arg(static_cast<const wchar_t*>(s)) {}
    Arg(const std::string& s);
    Arg(const char* s);
    Arg(char* s) : Arg(static_cast<const char*>(s)) {}
    Arg(bool b) : m_kind(kInt), m_int(b ? 1 : 0) {}
    Arg(char c) : m_kind(kInt), m_int(c) {}
    Arg(wchar_t c) : m_kind(kInt), m_int(c) {}
    Arg(double d) : m_kind(kDouble), m_double(d) {}
    Arg(float d) : m_kind(kDouble), m_double(d) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
    Arg(T v) : m_kind(kInt), m_int(static_cast<long long>(v)) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T>, int> = 0>
    Arg(T v) : m_kind(kUInt), m_uint(static_cast<unsigned long long>(v)) {}
    template <typename T, std::enable_if_t<std::is_enum_v<T>, int> = 0>
    Arg(T v) : Arg(static_cast<std::underlying_type_t<T>>(v)) {}
    template <typename T>
    Arg(T* p) : m_kind(kPtr), m_ptr(static_cast<const void*>(p)) {}

    Kind kind() const { return m_kind; }
    long long AsInt() const;
    unsigned long long AsUInt() const;
    double AsDouble() const;
    const std::wstring& AsStr() const { return m_str; }
    const void* AsPtr() const { return m_ptr; }

   private:
    Kind m_kind;
    long long m_int = 0;
    unsigned long long m_uint = 0;
    double m_double = 0;
    const void* m_ptr = nullptr;
    std::wstring m_str;
  };

 private:
  static void Write(Level level, const wchar_t* comp, const std::wstring& msg);
  // Advanced (never to 0, within 24 bits) each time the level table is
  // replaced; Site caches are valid for one generation.
  static std::atomic<uint32_t> s_generation;
};

// C-callable bridge with plain-data arguments, for libraries that log into
// our sink through a callback.
extern "C" void LogMSG_c(int level, const wchar_t* comp, const wchar_t* fmt, va_list ap);

// Logs under the file's component, with the source line as first argument:
//   static constexpr wchar_t kLogComponent[] = L"channel_debug";
//   SF_LOG(L_ERR, L"[ERROR] channel(%d): Write: Exceed maximum data block size\n");
#define SF_LOG(level, fmt, ...)                                                    \
  do {                                                                             \
    static ::Logger::Site sf_log_site_;                                            \
    if (sf_log_site_.Enabled(::Logger::level, kLogComponent))                      \
      ::Logger::Log(::Logger::level, kLogComponent, fmt, __LINE__, ##__VA_ARGS__); \
  } while (0)

// For call chains whose every step has its own log line (the protocol
// readers and writers): when the code `rc` is a failure (negative), logs
// `fmt` at L_ERR with the code's text as its "%s" and returns `rc` from the
// enclosing function.
#define SF_RETURN_ON_FAILURE(rc, fmt)            \
  do {                                           \
    if ((rc) < 0) {                              \
      SF_LOG(L_ERR, fmt, ::GetErrorStringW(rc)); \
      return (rc);                               \
    }                                            \
  } while (0)
