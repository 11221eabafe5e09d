#include "lib/base/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "lib/base/utility.h"

#ifdef SF_HAVE_JOURNAL
// The fields name this file's line otherwise, which says nothing about the
// message.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#endif

namespace journal {
namespace {

std::atomic<Sink> g_test_sink{nullptr};

bool Names(const char* journal_stream, dev_t dev, ino_t ino) {
  if (dev == 0 && ino == 0) return false;
  unsigned long long want_dev = 0;
  unsigned long long want_ino = 0;
  int used = 0;
  if (std::sscanf(journal_stream, "%llu:%llu%n", &want_dev, &want_ino, &used) != 2 ||
      journal_stream[used] != '\0') {
    return false;
  }
  return want_dev == static_cast<unsigned long long>(dev) &&
         want_ino == static_cast<unsigned long long>(ino);
}

#ifdef SF_HAVE_JOURNAL
bool DetectOnce() {
  struct stat out {};
  struct stat err {};
  const bool have_out = fstat(STDOUT_FILENO, &out) == 0;
  const bool have_err = fstat(STDERR_FILENO, &err) == 0;
  return UnderSystemd(std::getenv("JOURNAL_STREAM"), std::getenv("INVOCATION_ID"),
                      have_out ? out.st_dev : 0, have_out ? out.st_ino : 0,
                      have_err ? err.st_dev : 0, have_err ? err.st_ino : 0,
                      isatty(STDERR_FILENO) == 1);
}

const char* Identifier() {
  // What `journalctl -t` selects by; the program's own name.
  static const std::string name = [] {
    const char* self = program_invocation_short_name;
    return std::string(self != nullptr && *self != '\0' ? self : "syncfolder");
  }();
  return name.c_str();
}
#endif

}  // namespace

bool UnderSystemd(const char* journal_stream, const char* invocation_id, dev_t out_dev,
                  ino_t out_ino, dev_t err_dev, ino_t err_ino, bool err_is_terminal) {
  if (journal_stream != nullptr && *journal_stream != '\0') {
    return Names(journal_stream, out_dev, out_ino) || Names(journal_stream, err_dev, err_ino);
  }
  return invocation_id != nullptr && *invocation_id != '\0' && !err_is_terminal;
}

int PriorityOf(int level) {
  if (level < 2) return 2;
  return level > 7 ? 7 : level;
}

void Send(int level, const wchar_t* comp, const std::wstring& msg) {
  const Sink sink = g_test_sink.load(std::memory_order_acquire);
#ifdef SF_HAVE_JOURNAL
  static const bool under_systemd = DetectOnce();
  if (sink == nullptr && !under_systemd) return;
#else
  if (sink == nullptr) return;
#endif
  std::wstring text = msg;
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  const std::string message = WideToUtf8Lossy(text);
  const std::string component = comp != nullptr ? WideToUtf8Lossy(comp) : std::string();
  const int priority = PriorityOf(level);
  if (sink != nullptr) {
    sink(priority, component, message);
    return;
  }
#ifdef SF_HAVE_JOURNAL
  // A journal that is not there (no journald) costs one failed send per
  // line, and the file has the line anyway.
  (void)sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", priority,
                        "SYSLOG_IDENTIFIER=%s", Identifier(), "SYNCFOLDER_COMPONENT=%s",
                        component.c_str(), nullptr);
#endif
}

void SetSinkForTest(Sink sink) {
  g_test_sink.store(sink, std::memory_order_release);
}

}  // namespace journal
