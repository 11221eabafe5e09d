// Per-path sync status ("file-status.sqlite") shared with other local
// programs: the client writes it, file managers and the user interface read it.
//
// There is no long-lived connection: every operation opens the file, sets a
// 5-minute busy timeout, runs its statement and closes again, so writers in
// other threads and other processes are serialised by SQLite's file locking.
// The class has no mutex of its own.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

// Sync status of one path.
enum {
  FSTAT_UNKNOWN = 0,
  FSTAT_SYNCED = 1,
  FSTAT_SYNCING = 2,
  FSTAT_UNSUPPORT = 3,
  FSTAT_NUM_OF_TYPE = 4,
};

// Kind of path recorded.
enum { SFT_FILE1 = 0, SFT_DIR1 = 1 };

// Column positions of table fstatinfo.
enum {
  FSTAT_DB_ID = 0,
  FSTAT_DB_PATH = 1,
  FSTAT_DB_FILETYPE = 2,
  FSTAT_DB_SYNCSTATUS = 3,
  FSTAT_DB_NUM_OF_TYPE = 4,
};

struct FileStatusInfo {
  int32_t fileType = SFT_FILE1;
  int32_t syncStatus = FSTAT_UNKNOWN;
  std::wstring path;

  void clear() {
    fileType = 0;
    syncStatus = 0;
    path.clear();
  }
};

class FileStatusDB {
 public:
  // UTF-8 bytes (with terminator) accepted for a location and for a path
  // (the longest path the client syncs is 4095 bytes, sync root included).
  static constexpr size_t kLocationBuf = 512;
  static constexpr size_t kPathBuf = 4096;

  // Records the database location and creates table and index. Returns 0, or
  // -1 for an empty or over-long location, an open failure or a failing
  // statement. REQUIRES: called before any other thread uses the class.
  [[nodiscard]] static int initialize(const std::wstring& location);

  // Every FSTAT_SYNCING row becomes FSTAT_SYNCED. Returns 0 or -1.
  [[nodiscard]] static int updateAllSyncingEntry();

  // Inserts or replaces the row of info.path. Returns 0, -1 for a path that
  // cannot be stored (not convertible, or 4096 bytes of UTF-8 or more), or the
  // SQLite result code of a failing open or statement. Thread-safe.
  [[nodiscard]] static int setFileSyncStat(const FileStatusInfo& info);

  // setFileSyncStat for many paths in one transaction: one disk flush for
  // all of them instead of one each. A path that cannot be stored is logged
  // and skipped; the others are still written. Returns 0, -1 when a path was
  // skipped, or the SQLite result code of a failing open or statement (then
  // nothing is written). Thread-safe.
  [[nodiscard]] static int setFileSyncStats(const std::vector<FileStatusInfo>& infos);

  // Deletes the row of info.path and every row below it, with "/" or "\" as
  // the separator ("/x/a" takes "/x/a/b" and "/x/a\b", never "/x/ab").
  // Names match literally. Results as setFileSyncStat. Thread-safe.
  [[nodiscard]] static int rmFileSyncStat(const FileStatusInfo& info);

  // Deletes every row with `status` from the database file `dbPath` (not
  // necessarily the initialised one). Returns 0, -1 for an empty or bad path,
  // or the SQLite result code. Thread-safe.
  [[nodiscard]] static int rmEntryBySyncStatus(const std::wstring& dbPath, int status);

  // Reads the row of `path` into *info (path set to `path`, type and status 0
  // first). Returns 0 when the row exists, -1 otherwise (also for a null
  // `info`, an empty path or a failing query). Thread-safe.
  [[nodiscard]] static int getFileSyncStat(const std::wstring& path, FileStatusInfo* info);

  // Whether any row strictly below `prefix` (either separator) is syncing.
  // False on any failure. Thread-safe.
  static bool isAnySubFileDirSyncing(const std::wstring& prefix);

  // Whether any row is syncing. False on any failure. Thread-safe.
  static bool isAnyFileSyncing();

 private:
  // Set once by initialize, before other threads exist.
  static std::string m_fstatDBPath;
};

// Placeholders of the SQL template expansion.
enum {
  SPID_INVALID = -1,
  SPID_VAR = 0,    // "@ZENT:VAR"   const char*, quotes doubled
  SPID_LVAR = 1,   // "@ZENT:LVAR"  const char*, quotes doubled, LIKE wildcards escaped with "\"
  SPID_INT = 2,    // "@ZENT:INT"   int
  SPID_LLINT = 3,  // "@ZENT:LLINT" long long
  SPID_NEVAR = 4,  // "@ZENT:NEVAR" const char*, copied unchanged
  SPID_NUM_OF_PARAM = 5,
};

// Longest string value a placeholder accepts; a longer one is logged as bad
// parameters and substitutes nothing.
constexpr size_t kMaxTemplateValue = 1 << 20;

// Builds an SQL text from a narrow template with the typed placeholders above,
// consuming one variadic argument per placeholder in order (a null string
// counts as empty). A quoted literal that received an "@ZENT:LVAR" value gets
// " escape '\'" after its closing quote. Returns a malloc'ed string that the
// caller releases with free(), or null for a null template or when memory runs
// out. Thread-safe.
char* ZENTDBEscapeStringEX3(const char* tmpl, ...);
char* SQLITEEscapeStringEX3(const char* tmpl, va_list ap);

// Grows the malloc'ed buffer *pBuf to twice cbWantedSize bytes, keeping the
// first cbOriSize bytes when blKeepOri is 1. Returns the new size; -1 for a
// null pointer or buffer or a size that is not positive (or too large to
// double); 0 when the reallocation fails (the buffer is then unchanged).
long ExpendBufSize(char** pBuf, long cbOriSize, long cbWantedSize, int blKeepOri);
