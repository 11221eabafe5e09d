// The event record (one change to one path) and the per-path event queue that
// carries events from their producers to the workers.
#pragma once

#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <string>

#include "lib/base/mutex.h"

// One change to one path. A plain value: copy, assignment and swap are
// member-wise. Not locked; share copies, not objects.
class Event {
 public:
  enum Type : int32_t {
    EV_EMPTY = 0,  // no event; also "nothing was pulled"
    EV_CREATE = 1,
    EV_REMOVE = 2,
    EV_MODIFY = 3,
    EV_RENAME = 4,  // m_path is the old path, m_opt the new one
    // Only shown to the user, never queued: a change from the server put
    // what stood at m_path into the local trash.
    EV_TRASH = 5,
  };

  // Bits of m_mode.
  enum Mode : uint32_t {
    F_DIR = 1,     // a directory (clear: a file)
    F_SERVER = 2,  // reported by the server (clear: seen locally)
    F_EXPAND = 4,  // expand the directory into events for its contents
    F_RESCAN = 8,  // the expansion compares disk and database
    F_MERGE = 16,  // root event of the start-up rescan
    F_EXCEP = 32,  // re-issued from the exception list
  };

  Event() = default;
  Event(Type type, uint32_t mode, const std::wstring& path)
      : m_type(type), m_mode(mode), m_path(path) {}

  bool isValid() const { return m_type != EV_EMPTY; }
  bool isServerEvent() const { return (m_mode & F_SERVER) != 0; }
  bool isLocalEvent() const { return (m_mode & F_SERVER) == 0; }
  bool isDir() const { return (m_mode & F_DIR) != 0; }
  bool isFile() const { return (m_mode & F_DIR) == 0; }
  bool isExpand() const { return (m_mode & F_EXPAND) != 0; }
  bool isRescan() const { return (m_mode & F_RESCAN) != 0; }
  bool isMerge() const { return (m_mode & F_MERGE) != 0; }
  bool isExcep() const { return (m_mode & F_EXCEP) != 0; }

  void setServerEvent() { m_mode |= F_SERVER; }
  void setDir() { m_mode |= F_DIR; }
  void setFile() { m_mode &= ~static_cast<uint32_t>(F_DIR); }
  void setExpand() { m_mode |= F_EXPAND; }
  void setRescan() { m_mode |= F_RESCAN; }
  void setMerge() { m_mode |= F_MERGE; }
  void setExcep() { m_mode |= F_EXCEP; }

  // The one-line text used in log messages, e.g.
  //   Event<EV_ADD>: [0] /a.txt (local,file) size = 5, hash = H
  //   Event<EV_RENAME>: from '/a', to '/b' size = 0, hash =
  std::wstring toString() const;

  // "EV_EMPTY", "EV_ADD" (for EV_CREATE), "EV_REMOVE", "EV_MODIFY",
  // "EV_RENAME"; "EV_UNKNOWN" for a value outside the enumeration.
  static const wchar_t* TypeText(Type type);

  void swap(Event& other) noexcept;

  Type m_type = EV_EMPTY;
  uint32_t m_mode = 0;
  uint64_t m_syncID = 0;
  uint64_t m_size = 0;
  time_t m_time = 0;
  std::wstring m_hash;
  std::wstring m_path;  // key: "/" + path below the sync root ("/" is the root)
  std::wstring m_opt;   // new path of a rename, otherwise empty
};

inline void swap(Event& a, Event& b) noexcept {
  a.swap(b);
}

// The type and flag names are used unqualified throughout the daemon.
constexpr Event::Type EV_EMPTY = Event::EV_EMPTY;
constexpr Event::Type EV_CREATE = Event::EV_CREATE;
constexpr Event::Type EV_REMOVE = Event::EV_REMOVE;
constexpr Event::Type EV_MODIFY = Event::EV_MODIFY;
constexpr Event::Type EV_RENAME = Event::EV_RENAME;
constexpr Event::Type EV_TRASH = Event::EV_TRASH;
constexpr uint32_t F_DIR = Event::F_DIR;
constexpr uint32_t F_SERVER = Event::F_SERVER;
constexpr uint32_t F_EXPAND = Event::F_EXPAND;
constexpr uint32_t F_RESCAN = Event::F_RESCAN;
constexpr uint32_t F_MERGE = Event::F_MERGE;
constexpr uint32_t F_EXCEP = Event::F_EXCEP;

// First-in first-out queue holding at most one event per path: a newer event
// for a queued path replaces the queued one in place (it keeps its position).
// Every member is thread-safe and atomic on its own; a sequence of calls is
// atomic only under the caller's own lock.
class EventList {
 public:
  // `max_size` is recorded for the owner; the list does not enforce it.
  explicit EventList(int max_size);
  ~EventList() = default;
  EventList(const EventList&) = delete;
  EventList& operator=(const EventList&) = delete;

  // Returns 1 when `e` was appended for a path not yet queued; 0 when it
  // replaced the queued event of its path, whose former value goes to `old`.
  int Push(const Event& e, Event& old);
  int Push(const Event& e);

  // Returns 0 and moves the front event into `e`; -1 when empty (`e` untouched).
  int Pop(Event& e);
  // Returns 0 and moves the event queued for `path` into `e`, wherever it
  // stands; -1 when none is queued (`e` untouched). Constant time after the
  // logarithmic lookup.
  int Pop(const std::wstring& path, Event& e);

  void Clear();
  bool IsEmpty() const;
  int Size() const;
  int MaxSize() const { return m_max_size; }

 private:
  using Queue = std::list<Event>;

  // Constant after construction.
  const int m_max_size;

  // Invariant: every queued event has exactly one m_index entry under its
  // m_path, and no two queued events share a path.
  mutable Mutex m_mutex;
  Queue m_queue GUARDED_BY(m_mutex);
  std::map<std::wstring, Queue::iterator> m_index GUARDED_BY(m_mutex);
};
