// The local trash: what a change from the server takes away from the sync
// root (a removed file, the old version a download replaces, the synced
// contents of a removed folder) is kept for a while in a folder beside the
// databases, so that a wrong removal on the server, or one made by another
// computer, can be undone by copying the item back.
//
// Layout: <folder>/<stamp>/<relative path>, one stamp folder per operation.
// The stamp is the UTC time the operation kept its first item,
// "YYYY-MM-DD_HHMMSS.uuuuuu" ("_N" appended when that name is taken), so the
// names sort by age. Only folders named like that are ever evicted; anything
// else a user puts into the trash folder is left alone.
//
// Bounds: at start-up and after every operation that kept something, stamp
// folders older than the age bound are removed, then the oldest go until the
// total size (bytes of file content) is within the size bound. An item
// larger than the size bound on its own is not kept.
//
// The folder need not be on the sync root's file system: an item is moved
// by rename where it can, else copied, flushed and only then unlinked. When
// keeping fails (a full disk, an error), the caller must leave the original
// where it is.
//
// Thread-safe: any worker may keep items at the same time (each operation
// has its own stamp folder); the bookkeeping is under one lock.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>

struct TrashOptions {
  std::wstring folder;  // made (mode 0700) when missing
  // Items below it are kept under their path relative to it; others under
  // their own name.
  std::wstring root;
  // Bounds; either one 0 turns the trash off (removals are permanent).
  int64_t max_age_seconds = int64_t{30} * 24 * 3600;
  uint64_t max_bytes = uint64_t{1} << 30;
  // The time for stamps and ages (tests); empty: the system clock.
  std::function<time_t()> clock;
};

// Sets the process's trash up: makes the folder, measures what it holds and
// evicts what is beyond the bounds. 0; -1 (logged) when the folder cannot be
// made or read, and the trash stays off. With a bound of 0 the trash is off
// and 0 is returned.
[[nodiscard]] int TrashInit(const TrashOptions& options);
// Turns the trash off (tests; shutdown). Items kept stay on disk.
void TrashShutdown();
bool TrashOn();
// The configured folder (empty when off).
std::wstring TrashFolder();
// Bytes the trash accounts for now, and its stamp folders by name (tests,
// the log).
uint64_t TrashBytes();
std::map<std::string, uint64_t> TrashEntries();

// Outcomes of TrashBatch::Take / Copy besides an ERR_ code (< 0: nothing was
// kept and the original is where it was).
constexpr int kTrashKept = 0;
constexpr int kTrashSkipped = 1;  // trash off, the item exceeds the size bound, or it is gone

// The items one operation keeps: they share one stamp folder, made at the
// first item. Finish (or the destructor) books the folder and applies the
// bounds. One thread at a time.
class TrashBatch {
 public:
  TrashBatch() = default;
  ~TrashBatch();
  TrashBatch(const TrashBatch&) = delete;
  TrashBatch& operator=(const TrashBatch&) = delete;

  // Moves entry `name` of `dirfd` (a file, a link or a whole folder) to the
  // trash as `rel` ("a/b.txt"). Where a rename is impossible (another file
  // system) it is copied and flushed first; a file that changes while it is
  // copied is not removed (ERR_INT). kTrashKept, kTrashSkipped (nothing
  // done: the caller removes it itself), or ERR_DISKFULL / ERR_INT /
  // ERR_SYS (logged; the original stays in place).
  [[nodiscard]] int Take(int dirfd, const std::string& name, const std::string& rel);
  // Keeps a copy of the regular file `name` of `dirfd` as `rel`, leaving
  // the file in place: a hard link on the same file system, else a flushed
  // copy. Same results as Take.
  [[nodiscard]] int Copy(int dirfd, const std::string& name, const std::string& rel);
  // Drops what this batch kept (the operation it was for did not happen).
  void Discard();
  // Books the batch and applies the bounds. Returns the stamp folder's path
  // when anything was kept, else "". Idempotent.
  std::wstring Finish();
  int kept() const { return m_kept; }

 private:
  [[nodiscard]] int Keep(int dirfd, const std::string& name, const std::string& rel, bool take);
  [[nodiscard]] int Reserve(uint64_t bytes, const std::string& rel);
  [[nodiscard]] int OpenDest(const std::string& rel, int& dirfd, std::string& leaf);

  std::string m_folder;  // the trash folder when the batch began
  std::string m_stamp;   // empty until the first item
  uint64_t m_bytes = 0;
  int m_kept = 0;
  bool m_finished = false;
};

// The relative name `path` (absolute, or relative to the working directory)
// is kept under: below the configured root its path relative to it, else
// its last component. Empty when `path` has no usable name.
std::string TrashRelName(const std::wstring& path);
