// The client's memory of what it last agreed with the server
// ("event-db.sqlite"): one row per path below the sync root (files and
// directories, tombstones for removals), the cursor into the server's
// event stream, and what this client changed itself beyond the cursor.
//
// One database per process: the connection, its mutex and its path are
// class-wide. Every operation except initialize/destroy may be called from any
// task thread between the two; each holds m_dbMutex from its first SQL call to
// its last, and none calls another while holding it.
//
// Paths: an operation strips one leading "/" before using a path, so "/a/b"
// and "a/b" address the same row; the column holds "a/b" and a row read back
// has "/a/b". Text fields cross the SQL boundary as UTF-8 of at most 4095
// bytes each; a longer (or unconvertible) value is refused, never truncated.
//
// Signature files: whenever a row stops naming one (delete, replacement,
// tombstone) the file is removed, but only when it lies directly in the
// signature store (SignMgr::folder(), once set up). Each version of a file has
// its own signature file, so a file named by two rows is not looked for: that
// would cost a table scan per deleted row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/base/mutex.h"
#include "lib/base/sqlite-util.h"

class FileList;

// ClientFileEventInfo::fileType values.
enum { EV_FILE_TYPE = 0, EV_DIR_TYPE = 1 };

// Column positions of table eventinfo.
enum {
  EVINFO_ID = 0,
  EVINFO_FILETYPE = 1,
  EVINFO_ISEXIST = 2,
  EVINFO_SYNCID = 3,
  EVINFO_PDIRID = 4,
  EVINFO_FILESIZE = 5,
  EVINFO_FILEMODTIME = 6,
  EVINFO_FILECHECKSUM = 7,
  EVINFO_BASENAME = 8,
  EVINFO_PATH = 9,
  EVINFO_FILEPRIVILEGE = 10,
  EVINFO_UPDATECLIEN = 11,
  EVINFO_SIGNPATH = 12,
  EVINFO_MACHASH = 13,
  EVINFO_WINDOWSHASH = 14,
  EVINFO_LINUXHASH = 15,
  EVINFO_ZENTHASH = 16,
  EVINFO_INODE = 17,
  EVINFO_NUM_OF_TYPE = 18,
};

// One row in memory. A new record is cleared.
struct ClientFileEventInfo {
  int32_t fileType = EV_FILE_TYPE;
  int32_t isExist = 0;  // 0 = tombstone: removed at syncID
  uint32_t fileModTime = 0;
  uint64_t syncID = 0;
  uint64_t pDirID = 0;  // stored and returned, never interpreted here
  uint64_t fileSize = 0;
  std::wstring fileCheckSum;
  std::wstring baseName;
  std::wstring path;  // with a leading "/"
  std::wstring filePrivilege;
  std::wstring updateClient;
  std::wstring signaturePath;  // column signPath; empty = no signature
  std::wstring macHash;
  std::wstring windowsHash;
  std::wstring linuxHash;  // this platform's: the file's stamp (see SetStamp)
  std::wstring zentHash;
  // The file's inode when the row was recorded (column inode); 0: none.
  uint64_t inode = 0;

  void Clear() { *this = ClientFileEventInfo(); }
  bool IsFile() const { return fileType == EV_FILE_TYPE; }
  bool IsDir() const { return fileType == EV_DIR_TYPE; }

  // The stamp of the file the row describes, taken before its content was
  // read: its inode, and its last status change in nanoseconds (kept in
  // linuxHash as decimal text). A file of the row's size and time is the
  // row's content only while both still match: a write that put the old
  // time back, or a file renamed over this one, changes one of them.
  void SetStamp(uint64_t ino, int64_t ctime_ns);
  // Whether the row holds a stamp (rows written before stamps were kept,
  // and directories, do not).
  bool HasStamp() const { return inode != 0 && ChangeTime() != 0; }
  // The recorded change time; 0 when none.
  int64_t ChangeTime() const;
};
typedef ClientFileEventInfo EVENTINFO;

class FileEventDB {
 public:
  // UTF-8 bytes (with terminator) accepted for the location and per field:
  // a field holds the longest path the client syncs (4095 bytes).
  static constexpr size_t kLocationBuf = 512;
  static constexpr size_t kFieldBuf = 4096;

  // Opens (creating if needed) the database at `location`, adds whatever of
  // the schema is missing and registers remove_signature. Returns 0 (also when
  // already open: no-op), or -1; after a failure the class stays closed.
  [[nodiscard]] static int initialize(const std::wstring& location);
  // Closes the connection; safe to repeat.
  static void destroy();

  // Fills `info` with the row of `path`; a directory's syncID becomes the
  // largest over the directory and every row below it, tombstones included.
  // Returns 0 when the row exists; -1 otherwise (info.path is then empty and
  // the other fields keep their values). Thread-safe.
  [[nodiscard]] static int getEventInfo(const std::wstring& path, ClientFileEventInfo& info);

  // A file row or an existing directory: writes the whole row (insert or
  // replace). When the replaced row named a different signature file, that
  // file is removed once the new row is committed.
  // A removed directory (isExist 0, EV_DIR_TYPE): turns the directory's row
  // and every existing row below it whose syncID is not above info.syncID into
  // tombstones (their signature files go after the commit); inserts
  // nothing.
  // Returns 0, -1 for an empty path or a field that cannot be stored, or the
  // SQLite result code of a failing statement. Thread-safe.
  [[nodiscard]] static int setEventInfo(const ClientFileEventInfo& info);

  // Deletes the row of `path` and every row below it; the delete trigger
  // removes their signature files. Returns 0, -1 for an
  // empty or unstorable path, or the SQLite result code. Thread-safe.
  [[nodiscard]] static int rmEventInfo(const std::wstring& path);

  // As rmEventInfo, but first the parent directory's row takes the removed
  // row's syncID when its own is smaller, in one transaction. A path directly
  // in the root is plain rmEventInfo. Returns 0 or -1 (rmEventInfo's result
  // for a path in the root). Thread-safe.
  [[nodiscard]] static int rmEventInfoV3(const std::wstring& path);

  // The stored cursor into the server's event stream (the full unsigned
  // range). Returns 0, or -1 (id unchanged). Thread-safe.
  [[nodiscard]] static int getSyncId(uint64_t& id);
  [[nodiscard]] static int setSyncId(uint64_t id);

  // Adds every existing row strictly below `prefix` ("" or "/": every existing
  // row) to `list`, by its stored path (no leading "/"). Returns 0, or -1 on a
  // database failure (entries added so far stay). Thread-safe.
  [[nodiscard]] static int getFileList(FileList& list, const std::wstring& prefix);
  // How many existing rows lie strictly below `prefix` ("" or "/": all of
  // them). Returns 0, or -1 on a database failure. Thread-safe.
  [[nodiscard]] static int countExisting(const std::wstring& prefix, uint64_t& count);

  // The existing file rows whose inode is `inode` (other names of one file,
  // or a name the inode was reused for: callers check the disk). Returns 0,
  // or -1 on a database failure. Thread-safe.
  [[nodiscard]] static int getPathsByInode(uint64_t inode, std::vector<std::wstring>& paths);

  // Records the stamp of the file row of `path` once its content was found
  // to be `checksum` still: only a row that still holds that checksum is
  // changed. Returns 0 (also when no row matched), or -1. Thread-safe.
  [[nodiscard]] static int setStamp(const std::wstring& path, const std::wstring& checksum,
                                    uint64_t inode, int64_t ctime_ns);

  // A stamp for a file row that has none yet (written before stamps were
  // kept): taken as the file found with the row's size and time.
  struct Adoption {
    std::wstring path;
    uint64_t size = 0;
    uint32_t mtime = 0;
    uint64_t inode = 0;
    int64_t ctime_ns = 0;
  };
  // Records each adoption whose row still has no stamp and still has that
  // size and time, in one transaction. Returns 0, or -1. Thread-safe.
  [[nodiscard]] static int adoptStamps(const std::vector<Adoption>& adoptions);

  // ---- What this client changed itself (event-db-own.cpp) ----------------
  // The server numbers every change. The client learns the ids of its own
  // uploads and folder creations from their answers, long before its pull
  // brings them back, and must not mistake them for changes it has not
  // seen. (A removal's answer carries no ids: those are learnt by the pull.)
  //
  // Records `id` as one this client's own change got back. Returns 0 or -1.
  // Thread-safe.
  [[nodiscard]] static int addOwnSyncId(uint64_t id);
  // Whether `id` is one recorded by addOwnSyncId and not yet covered by the
  // cursor. Returns 0 (`own` set) or -1. Thread-safe.
  [[nodiscard]] static int isOwnSyncId(uint64_t id, bool& own);
  // The highest id up to which every server change was either processed
  // from a pull (the cursor) or made by this client: the cursor, advanced
  // over the run of own ids that follows it. Returns 0 or -1. Thread-safe.
  [[nodiscard]] static int getSeenSyncId(uint64_t& seen);
  // Forgets the own ids at or below `cursor` (the pull has covered them).
  // Returns 0 or -1. Thread-safe.
  [[nodiscard]] static int pruneOwnSyncIds(uint64_t cursor);

  // A removal the user made that the server has not carried out yet: the
  // item's rows stay until it has, the pull and the start-up rescan do not
  // fetch the item back (unless the server holds a version newer than
  // `base`), and the removal is sent again after a restart. Recorded when
  // the removal is queued, so that a kill, a crash or a stop before the
  // server took it does not undo it.
  //
  // An intent never holds a fetch back for good: it holds back only the
  // versions up to `base`, which the removal itself covers (a newer version
  // on the server always comes); a file's intent whose row names another
  // version is overtaken and dropped where it is read; and its removal is
  // always on its way (queued, set aside in the exception list, or refused
  // and sent again after each pull that shows more; every start queues all
  // of them again), and every way that removal ends (the server's answer,
  // the item back on disk or uploaded, its rows gone) drops the intent.
  struct RemovalIntent {
    std::wstring path;  // with a leading "/"
    // A file's: the version the user removed (its row's syncID). A folder's:
    // the id up to which this client had seen every change (getSeenSyncId)
    // when the removal was queued or last sent.
    uint64_t base = 0;
    bool is_dir = true;
    // The server refused the folder's removal because of changes below it
    // this client had not seen: it is sent again once more is seen. Else
    // its removal event is queued (or was, when the daemon stopped).
    bool refused = false;

    // Whether the removal was overtaken, given the row of `path` (null:
    // none): with no row there is nothing left to remove, and a file's row
    // that names another version than `base` was uploaded or downloaded
    // again since the removal. (A folder's row holds its subtree's newest
    // id, which says nothing of the folder itself.)
    bool Overtaken(const ClientFileEventInfo* row) const;
  };
  // Records (or replaces) the intents, in one transaction; an intent that
  // is not refused leaves a refused one for its path as it is. Returns 0
  // or -1. Thread-safe.
  [[nodiscard]] static int setRemovalIntents(const std::vector<RemovalIntent>& intents);
  [[nodiscard]] static int setRemovalIntent(const RemovalIntent& intent);
  // Drops the intent for `path` and those below it. Returns 0 or -1.
  // Thread-safe.
  [[nodiscard]] static int rmRemovalIntent(const std::wstring& path);
  // Every intent, in path order. Returns 0 or -1. Thread-safe.
  [[nodiscard]] static int getRemovalIntents(std::vector<RemovalIntent>& out);
  // The intent for `path` or for a folder above it (the outermost first): 1
  // (`out` set), 0 when there is none, -1 on failure. Thread-safe.
  [[nodiscard]] static int findRemovalIntent(const std::wstring& path, RemovalIntent& out);

  // Wide to UTF-8 for one field: 0, or -1 when the text cannot be converted,
  // holds a NUL or needs more than kFieldBuf-1 bytes.
  [[nodiscard]] static int wcstombsIfNeed(const std::wstring& in, std::string& out);
  // UTF-8 to wide: a null input gives the empty string. 0, or -1 for
  // invalid UTF-8.
  [[nodiscard]] static int mbstowcsIfNeed(const char* in, std::wstring& out);

 private:
  static Mutex m_dbMutex;
  static std::string m_eventDBPath GUARDED_BY(m_dbMutex);
  static sqlite_util::Db m_db GUARDED_BY(m_dbMutex);
};
