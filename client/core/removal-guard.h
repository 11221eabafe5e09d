// What the mass-removal guard needs to know besides the events: its
// thresholds, and which folder the sync root was when it was last synced, so
// that an unmounted disk or a root replaced by an empty folder is not taken
// for the user removing everything.
#pragma once

#include <cstdint>
#include <string>

#include "lib/base/mutex.h"

class RemovalGuard {
 public:
  // `state_file` keeps the root's identity between runs.
  RemovalGuard(std::wstring root, std::wstring state_file, int percent, int min_items);

  // Whether removing `items` of `synced` items is more than the configured
  // share and at least the configured count.
  bool TooMany(uint64_t items, uint64_t synced) const;
  // Why the root does not look like the one last synced ("" when it does,
  // or when nothing was recorded): gone, on another file system, replaced,
  // or (`has_entries` false) empty. Thread-safe.
  std::wstring RootProblem(bool has_entries) const;
  // Records the root as it is now as the one synced; nothing when it is gone.
  // Thread-safe.
  void RecordRoot();

 private:
  const std::wstring m_root;
  const std::string m_state_file;
  const int m_percent;
  const int m_min_items;
  Mutex m_file_mutex;  // one writer of the state file at a time
};
