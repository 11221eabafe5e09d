// The exception list: events that could not be completed yet, kept in a
// text file ("excep.list") so that they are retried later and survive a
// restart. One line per path:
//   <type> <mode> <sync id> <path in UTF-8>
// in code-unit order of the path. Only those four fields are kept.
#pragma once

#include <map>
#include <string>

#include "client/core/event-list.h"
#include "lib/base/mutex.h"

class ExcepList {
 public:
  // Serialises every read-modify-write cycle of the file (several workers
  // may add or erase at once). Lock order: after the task manager's mutex,
  // before the logger's.
  static Mutex mutex;

  // Limits of the file format.
  static constexpr size_t kMaxLineBytes = 8191;
  static constexpr size_t kMaxPathChars = 4095;  // the longest path the client syncs
  static constexpr size_t kMaxFileNameBytes = 1024;

  // Replaces the content with the file at `path`. A missing file reads as an
  // empty list (0). A line that does not have the form above (an empty line
  // too, a number out of range, an unknown event type, a path that is empty
  // or not valid UTF-8) empties the list, keeps a copy of the file as
  // `path` + ".bad" for the user, logs the line number and returns -1.
  // A file that cannot be opened or read to its end (permissions, I/O), or
  // a malformed one whose copy could not be kept, returns kUnreadable: a
  // write would then destroy entries nobody could recover, so callers leave
  // the file alone. Not locked: callers hold `mutex` around a whole cycle.
  static constexpr int kUnreadable = -2;
  [[nodiscard]] int read(const std::wstring& path);

  // Writes every entry to `path`, replacing the file atomically (a new file
  // renamed over the old), so that a crash never leaves a cut file behind.
  // Returns 0, or -1 when it cannot be written (logged).
  [[nodiscard]] int write(const std::wstring& path) const;

  // Inserts or replaces the entry of `e.m_path`; only the four kept fields
  // are stored.
  void Set(const Event& e);
  // Removes the entry of `path`; returns whether there was one.
  bool Erase(const std::wstring& path);
  void Clear() { m_events.clear(); }

  const std::map<std::wstring, Event>& events() const { return m_events; }

 private:
  std::map<std::wstring, Event> m_events;
};
