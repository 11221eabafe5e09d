// The server's metadata database (SQLite, in the state directory beside the
// share): one row per path ever seen (removed paths stay as tombstones, so a
// pull can report the removal), the kept versions of each file, the intents of
// content replacements in flight, the issued sessions, and the last sync id.
//
// Not thread-safe: the store serialises every call under its own mutex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/base/sqlite-util.h"

// Wire values of the object type.
constexpr uint8_t kObjFile = 0;
constexpr uint8_t kObjDir = 1;

struct ObjectRow {
  std::string path;  // "/a/b"
  uint64_t sync_id = 0;
  uint8_t type = kObjFile;
  bool exist = false;
  uint32_t mtime = 0;
  uint64_t size = 0;    // files only
  std::string hash;     // files only: checksum text
  std::string updater;  // who made the change
  bool isDir() const { return type == kObjDir; }
};

struct VersionRow {
  std::string path;
  uint64_t sync_id = 0;
  uint64_t size = 0;
  uint32_t mtime = 0;
  std::string hash;
};

// A content replacement between "version linked" and "renamed into place".
struct PendingRow {
  ObjectRow object;    // the row to write once the rename is done
  std::string staged;  // absolute path of the staged file
};

class MetaDb {
 public:
  // Opens or creates the database file and its schema. 0 or ERR_SYS.
  [[nodiscard]] int Open(const std::string& file);

  // Write transaction (BEGIN IMMEDIATE, so other processes wait on the busy
  // timeout rather than failing mid-way). 0 or ERR_SYS.
  [[nodiscard]] int Begin();
  // Read transaction: the statements until Commit see one snapshot.
  [[nodiscard]] int BeginRead();
  [[nodiscard]] int Commit();
  void Rollback();

  uint64_t LastSyncId();
  // Returns LastSyncId() + 1 and records it. REQUIRES: inside Begin/Commit.
  [[nodiscard]] int NextSyncId(uint64_t& id);

  // 0 with the row (possibly a tombstone), ERR_NOENT, ERR_SYS.
  [[nodiscard]] int GetObject(const std::string& path, ObjectRow& row);
  [[nodiscard]] int PutObject(const ObjectRow& row);
  // Rows with sync id > `after`, ascending, at most `limit`.
  [[nodiscard]] int ListChanges(uint64_t after, size_t limit, std::vector<ObjectRow>& rows);
  // Existing rows at `path` or below it.
  [[nodiscard]] int ListSubtree(const std::string& path, std::vector<ObjectRow>& rows);
  [[nodiscard]] int ListExisting(std::vector<ObjectRow>& rows);

  [[nodiscard]] int AddVersion(const VersionRow& v);
  [[nodiscard]] int GetVersion(const std::string& path, uint64_t sync_id, VersionRow& v);
  // Newest first.
  [[nodiscard]] int ListVersions(const std::string& path, std::vector<VersionRow>& out);
  [[nodiscard]] int ListAllVersionIds(std::vector<uint64_t>& ids);
  [[nodiscard]] int DeleteVersion(uint64_t sync_id);

  [[nodiscard]] int AddPending(const PendingRow& p);
  [[nodiscard]] int ListPending(std::vector<PendingRow>& out);
  [[nodiscard]] int DeletePending(uint64_t sync_id);
  // The smallest sync id of an intent in flight, or 0 when there is none.
  uint64_t MinPendingId();

  // Issued sessions, by their SessionKey (server/server-secrets.h).
  [[nodiscard]] int AddSession(const std::string& key, const std::string& user);
  // 0 with the user, ERR_NOENT, ERR_SYS.
  [[nodiscard]] int GetSession(const std::string& key, std::string& user);

 private:
  // 0, or ERR_SYS after logging.
  [[nodiscard]] int Exec(const char* sql);
  [[nodiscard]] int Prepare(sqlite_util::Stmt& s, const char* sql);
  // SQLITE_ROW, SQLITE_DONE, or ERR_SYS after logging.
  [[nodiscard]] int Step(sqlite_util::Stmt& s);
  [[nodiscard]] int ReadObjects(sqlite_util::Stmt& s, std::vector<ObjectRow>& rows);
  // Sessions were once kept as issued: an older database has them turned
  // into their keys, once, so that they go on working. 0 or ERR_SYS.
  [[nodiscard]] int KeySessions();

  sqlite_util::Db m_db;
};
