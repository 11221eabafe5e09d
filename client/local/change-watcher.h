// ChangeWatcher turns inotify's per-directory notifications into one stream
// of changes for a whole tree: added, removed, modified, and overflow. A move
// is paired here, and only here: it comes out as the removal of the old name
// and the addition of the new one, or as whichever of the two remains when a
// side is outside the tree, in the excluded directory, or cannot be named. It
// runs on the detector thread; Interrupt is the only member that another
// thread may call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "lib/base/handles.h"

// One change below the watched root.
struct ChangeRecord {
  enum Action {
    kAdded = 1,
    kRemoved = 2,
    kModified = 3,  // content written or times/attributes changed
  };
  Action action;
  std::wstring name;  // relative to the root, "/" separated, no leading "/"
  // As inotify saw it: a hint, the detector examines the disk. For the
  // removal half of a move it is the moved item's kind, which the disk no
  // longer shows under the old name.
  bool is_dir;
  // A half of a move within the tree: the removal of the old name, always
  // directly followed by the addition of the new one (also marked).
  bool moved = false;
};

// Where a name below the root stands to the top-level directory `dir`.
// Letters are compared without regard to ASCII case, and a "\" ends the
// first component as a "/" does: every spelling that names the working
// directory on the system its name comes from is kept out. An empty `dir`
// matches nothing.
enum class TopLevelMatch { kOutside, kItself, kInside };
TopLevelMatch MatchTopLevel(const std::wstring& name, const std::wstring& dir);

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
  // entry itself are). An item moved into it is not reported at all: it was
  // taken away, not removed (the workers remove items by moving them there
  // first). One moved out of it is an addition, and the directory itself
  // moved away is a removal followed by the addition of its new name. Moves
  // are judged by MatchTopLevel. REQUIRES: before Open.
  void SetExcludedTopLevel(const std::string& name);
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
  // Some directory is not watched for lack of watches. While so, Wait tries
  // again now and then, and reports kOverflow once every directory is
  // watched (what changed in the meantime was not seen). Detector thread.
  bool LimitHit() const { return m_limit_hit; }
  // Sleeps up to `ms`; false when Interrupt was called. Any thread.
  bool Sleep(int ms);

 private:
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
  // The records of a move whose two halves were both seen.
  void EmitMove(const std::string& from, const std::string& to, bool is_dir,
                std::vector<ChangeRecord>& out);
  bool Readable(int fd, int timeout_ms);
  std::string Full(const std::string& rel) const;

  // Constant after Open.
  std::string m_root;
  std::string m_excluded;
  std::wstring m_excluded_wide;  // the same, for MatchTopLevel
  size_t m_test_limit = 0;
  size_t m_queue_limit = 0;  // the kernel's change queue length (read by Open)

  // Detector thread only.
  UniqueFd m_ino;
  std::unordered_map<int, std::string> m_wd_path;  // watch -> directory below the root
  std::map<std::string, int> m_path_wd;            // the reverse, ordered for subtree moves
  Pending m_pending;
  bool m_overflow = false;        // the kernel queue overflowed
  bool m_root_gone = false;       // the root was removed or moved away
  bool m_limit_hit = false;       // a watch could not be added for lack of watches
  bool m_limit_reported = false;  // ...and the caller was told once
  bool m_limit_logged = false;    // ...and the log was told once

  // Written by Interrupt from any thread (an eventfd).
  UniqueFd m_wake;
};
