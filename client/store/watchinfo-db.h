// Which folder the client watches and whether the daemon runs
// ("watch-info.sqlite"), published for other local programs. Like the file
// status database it keeps no connection open: each operation opens the file
// with a 5-minute busy timeout, runs one statement and closes it.
#pragma once

#include <cstdint>
#include <string>

// Daemon status published in every row.
enum {
  DAE_STAT_UNKNOWN = 0,
  DAE_STAT_RUNING = 1,
  DAE_STAT_PAUSING = 2,
  DAE_STAT_STOPING = 3,
};

// Column positions of table watchinfo.
enum { WINFO_ID_PATH = 0, WINFO_ID_STATUS = 1 };

struct WatchInfo {
  int32_t daeStatus = DAE_STAT_UNKNOWN;
  std::wstring watchPath;

  void clear() {
    daeStatus = DAE_STAT_UNKNOWN;
    watchPath.clear();
  }
};

// Called from the main thread only (start-up and shutdown); other processes
// read the file concurrently under SQLite's file locking.
class WatchInfoDB {
 public:
  static constexpr size_t kLocationBuf = 512;
  static constexpr size_t kFolderBuf = 1040;

  // Records the location and creates the table. Returns 0, or -1 for an empty
  // or over-long location, an open failure or a failing statement.
  [[nodiscard]] static int initialize(const std::wstring& location);

  // Inserts or replaces the row of `folder` with status DAE_STAT_UNKNOWN.
  // Returns 0, -1 for a folder that cannot be stored (not convertible, or 1040
  // bytes of UTF-8 or more), or the SQLite result code of a failure.
  [[nodiscard]] static int setWatchPath(const std::wstring& folder);

  // Sets the status of every row. Returns 0 or the SQLite result code.
  [[nodiscard]] static int updateDaemonStatus(int status);

  // Reads the first row into *info (daeStatus 0 first). Returns 0 when a row
  // was read, -1 for a null `info` or no row, or the SQLite result code.
  [[nodiscard]] static int getWatchInfo(WatchInfo* info);

 private:
  // Set once by initialize, before other threads exist.
  static std::string m_watchinfoDBPath;
};
