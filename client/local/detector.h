// Change detection for the sync root. The code is POSIX (inotify); the stem
// keeps its historical name.
//
// ChangeWatcher turns inotify's per-directory notifications into one stream
// of changes for a whole tree, in the shape the detector's translation
// expects: added, removed, modified, rename-old/rename-new pairs, and
// overflow. It runs on the detector thread; Interrupt is the only member that
// another thread may call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "client/event-list.h"
#include "client/task.h"

// One change below the watched root.
struct ChangeRecord {
  enum Action {
    kAdded = 1,
    kRemoved = 2,
    kModified = 3,    // content written or times/attributes changed
    kRenamedOld = 4,  // always directly followed by its kRenamedNew
    kRenamedNew = 5,
  };
  Action action;
  std::wstring name;  // relative to the root, "/" separated, no leading "/"
  bool is_dir;        // as inotify saw it (a hint; the detector examines the disk)
};

class ChangeWatcher {
 public:
  enum WaitResult {
    kChanges = 0,      // `out` holds at least one record
    kOverflow = 1,     // changes were lost: the caller must rescan the tree
    kInterrupted = 2,  // Interrupt was called (and stays in effect)
    kFailed = -1,      // not open, or the notification descriptor failed
  };

  ChangeWatcher();
  ~ChangeWatcher();
  ChangeWatcher(const ChangeWatcher&) = delete;
  ChangeWatcher& operator=(const ChangeWatcher&) = delete;

  // A top-level directory whose contents are not reported (changes of the
  // entry itself are). Items moved into or out of it are reported as the
  // rename they are, with the inner name below it. REQUIRES: before Open.
  void SetExcludedTopLevel(const std::string& name) { m_excluded = name; }
  // Pretends the system's watch limit is `n` watches (tests).
  void SetWatchLimitForTest(size_t n) { m_test_limit = n; }
  // Pretends the system's change queue holds `n` changes (tests): a batch
  // ends once more than that many were read.
  void SetQueueLimitForTest(size_t n) { m_queue_limit = n; }

  // Watches `root` (UTF-8) and every directory below it. Returns 0, or -1
  // when the root cannot be watched (logged). Directories that cannot be
  // watched because the system's limit is reached make the first Wait
  // report kOverflow.
  int Open(const std::string& root);

  // Blocks until something happens. Records keep the order of the changes.
  // Names that are not valid UTF-8 are skipped with a log line (a rename
  // with one invalid side becomes a plain removal or addition).
  WaitResult Wait(std::vector<ChangeRecord>& out);

  // Makes the current and every later Wait return kInterrupted promptly.
  // Thread-safe, async-signal-safe.
  void Interrupt();

  // Number of directories watched (tests, diagnostics).
  size_t WatchCount() const { return m_wd_path.size(); }

 private:
  // Owns one file descriptor.
  class Fd {
   public:
    Fd() = default;
    ~Fd() { Reset(-1); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void Reset(int fd);

   private:
    int m_fd = -1;
  };

  struct Pending {
    bool active = false;
    uint32_t cookie = 0;
    std::string rel;
    bool is_dir = false;
  };

  int Reset();
  void AddTree(const std::string& rel);
  // Watches one directory; the working directory and anything below it
  // only for moves.
  bool AddOne(const std::string& rel);
  bool AddOne(const std::string& rel, uint32_t mask);
  bool InExcluded(const std::string& rel) const;
  void DropTree(const std::string& rel);
  void MoveTree(const std::string& from, const std::string& to);
  // Returns how many notifications `buf` held.
  size_t Process(const char* buf, size_t len, std::vector<ChangeRecord>& out);
  void FlushPending(std::vector<ChangeRecord>& out);
  bool Emit(ChangeRecord::Action action, const std::string& rel, bool is_dir,
            std::vector<ChangeRecord>& out);
  bool Readable(int fd, int timeout_ms);
  std::string Full(const std::string& rel) const;

  // Constant after Open.
  std::string m_root;
  std::string m_excluded;
  size_t m_test_limit = 0;
  size_t m_queue_limit = 0;  // the kernel's change queue length (read by Open)

  // Detector thread only.
  Fd m_ino;
  std::unordered_map<int, std::string> m_wd_path;  // watch -> directory below the root
  std::map<std::string, int> m_path_wd;            // the reverse, ordered for subtree moves
  Pending m_pending;
  bool m_overflow = false;        // the kernel queue overflowed
  bool m_root_gone = false;       // the root was removed or moved away
  bool m_limit_hit = false;       // a watch could not be added for lack of watches
  bool m_limit_reported = false;  // ...and the caller was told once

  // Written by Interrupt from any thread (an eventfd).
  Fd m_wake;
};

// The task that turns the sync root's changes into local events for the
// task manager: kinds resolved from the disk (or, for vanished items, from
// the file event database), renames split into a removal and a creation, the
// working directory ignored (and recreated when removed), and a rescan asked
// for when changes were lost.
//
// Thread: its own task thread runs DoTask, blocked in ChangeWatcher::Wait.
// Stop (main thread) interrupts that wait and joins.
class Detector : public Task {
 public:
  explicit Detector(TaskManager* owner);
  ~Detector() override;

  // Watches `path` (the sync root) and creates its working directory.
  // Returns 0, or -1 when the root cannot be watched (logged; DoTask then
  // ends at once).
  int SetWatch(const std::wstring& path);
  // Interrupts the wait, then stops the task.
  int Stop() override;
  void DoTask() override;

  // Fills `e` from one change record: 0 when `e` is to be used, -1 when the
  // change is dropped. Sets isRenameOldEvent for the old half of a rename,
  // which is kept (in m_lastEvent) until its new half arrives. Detector
  // thread only (public for tests).
  int Translate(Event& e, const ChangeRecord& rec);
  void PrintTransEvent(const Event& e);
  void cpEvent(const Event& e);

  // Longest name handled; longer ones are dropped with a log line.
  static constexpr size_t kMaxNameChars = 1023;
  static constexpr wchar_t kWorkingDirName[] = L".ZentavoWorkingDirectory";

  ChangeWatcher& watcher() { return m_watcher; }
  // Results of the watcher taken so far (tests, diagnostics). Thread-safe.
  int BatchesSeen() const { return m_batches; }

  // Detector thread only.
  bool isRenameOldEvent = false;

 private:
  // Collects `e` (path made absolute) for the task manager and logs it.
  void Emit(Event& e);

  // Detector thread only: the events of the batch being translated, handed
  // over together so that their "syncing" marks share one transaction (a
  // copy of many files into the root would otherwise flush once per file).
  std::vector<Event> m_out;
  void RecreateWorkingDir();

  // Detector thread only.
  Event m_lastEvent;
  std::wstring m_path;  // unused, kept empty
  // Set by SetWatch before the task runs.
  std::wstring m_watch_path;
  ChangeWatcher m_watcher;  // Interrupt is the only member other threads call
  std::atomic<int> m_batches{0};
};
