// The change detector: turns the watcher's changes below the sync root into
// local events for the task manager.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "client/core/event-list.h"
#include "client/core/task.h"
#include "client/local/change-watcher.h"

// The task that turns the sync root's changes into local events for the
// task manager: one event per change record (a move already comes from the
// watcher as a removal and a creation), kinds resolved from the disk (or, for
// vanished items, from the file event database), the working directory
// ignored (and recreated when removed), and a rescan asked for when changes
// were lost.
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

  // Fills `e` from one change record, its path without the leading "/": 0
  // when `e` is to be used, -1 when the change is dropped. Detector thread
  // only (public for tests).
  int Translate(Event& e, const ChangeRecord& rec);
  void PrintTransEvent(const Event& e);

  // Longest name (a path below the root) handled, as long as the longest
  // path the client syncs; longer ones are dropped with a log line.
  static constexpr size_t kMaxNameChars = 4095;

  ChangeWatcher& watcher() { return m_watcher; }
  // Results of the watcher taken so far (tests, diagnostics). Thread-safe.
  int BatchesSeen() const { return m_batches; }

 private:
  // Collects `e` (path made absolute) for the task manager and logs it.
  // `renamed`: the removal half of a move within the root, which takes
  // nothing from the server for good.
  void Emit(Event& e, bool renamed = false);
  // Hands the batch's removals to the task manager's guard before the batch
  // is queued.
  void GuardBatch();
  // The watch failed (the root was removed or moved away): reports it, has
  // the tree rescanned, and watches the root again once there is one.
  // False when the task is to stop.
  bool WatchAgain();

  // Detector thread only: the events of the batch being translated, handed
  // over together so that their "syncing" marks share one transaction (a
  // copy of many files into the root would otherwise flush once per file).
  std::vector<Event> m_out;
  std::vector<bool> m_renamed;  // per m_out entry
  void RecreateWorkingDir();

  // Set by SetWatch before the task runs.
  std::wstring m_watch_path;
  ChangeWatcher m_watcher;  // Interrupt is the only member other threads call
  std::atomic<int> m_batches{0};
};
