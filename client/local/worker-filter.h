// The filter as the workers use it (one loaded filter per worker
// generation), and the built-in check for items that are never synced.
#pragma once

#include <cstdint>
#include <string>

#include "client/local/filter.h"

class BlackList2 {
 public:
  BlackList2() = default;
  ~BlackList2() { Clear(); }
  BlackList2(const BlackList2&) = delete;
  BlackList2& operator=(const BlackList2&) = delete;

  // Loads the filter file at `file` (replacing what was loaded before).
  // Returns filter_read's result: 0, or -1 with the filter left empty and not
  // loaded (every test then passes). Not thread-safe: call during start-up
  // only, before any thread tests paths.
  int Load(const std::wstring& file);
  void Clear();
  bool IsLoaded() const { return m_loaded; }

  // Read-only after loading; safe from several threads at once.
  const filter& GetFilter() const { return m_filter; }
  int GetMajorVersion() const { return m_filter.version.major; }
  int GetMinorVersion() const { return m_filter.version.minor; }
  // `path` is relative to the sync root and begins with "/". Returns 0 or a
  // FILTER_* code; -1 also for a path that is not valid text or whose UTF-8
  // form exceeds kMaxTestedPath bytes (it is never tested cut short), or
  // that filter_test_path refuses as too long.
  int TestFilePath(const std::wstring& path) const;
  int TestDirectoryPath(const std::wstring& path) const;
  int TestFileSize(uint64_t size) const { return filter_test_file_size(m_filter, size); }
  int TestFullPathSize(uint64_t length) const {
    return filter_test_full_path_size(m_filter, length);
  }

  // The longest path this platform holds (the workers' kMaxLocalPathBytes):
  // every path that can be synced is tested whole.
  static constexpr size_t kMaxTestedPath = kFilterDirPartMax;

 private:
  filter m_filter;  // first, as the record it wraps
  bool m_loaded = false;
};

// The filter of each worker generation (3 or 4; any other value is a caller
// error). Start-up loads both from the database directory + "/../conf/filter";
// the workers of that generation only read theirs.
BlackList2& WorkerBlackList(int generation);

// Returns 1 when the item at `path` (a full path on disk, "/" separated) must
// never be synced: larger than 1 GiB, neither a directory nor a regular file,
// or named by the built-in list (scratch extensions, desktop metadata names,
// "._" and "~" prefixes, characters other systems cannot hold, a component
// named "@eaDir"). Otherwise 0. The reason is written to standard output.
// Thread-safe.
int InBlackList(const std::wstring& path);
