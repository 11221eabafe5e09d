#include "server/meta-db.h"

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "server/server-secrets.h"

namespace {
using sqlite_util::Stmt;

constexpr wchar_t kLogComponent[] = L"server_debug";
// Other processes (a second server on the same state) hold the file this long.
constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS objects(
  path TEXT PRIMARY KEY, sync_id INTEGER NOT NULL, type INTEGER NOT NULL,
  exist INTEGER NOT NULL, mtime INTEGER NOT NULL, size INTEGER NOT NULL,
  hash TEXT NOT NULL, updater TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS objects_by_sync_id ON objects(sync_id);
CREATE TABLE IF NOT EXISTS versions(
  sync_id INTEGER PRIMARY KEY, path TEXT NOT NULL, size INTEGER NOT NULL,
  mtime INTEGER NOT NULL, hash TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS versions_by_path ON versions(path);
CREATE TABLE IF NOT EXISTS pending(
  sync_id INTEGER PRIMARY KEY, path TEXT NOT NULL, type INTEGER NOT NULL,
  mtime INTEGER NOT NULL, size INTEGER NOT NULL, hash TEXT NOT NULL,
  updater TEXT NOT NULL, staged TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS sessions(
  session TEXT PRIMARY KEY, user TEXT NOT NULL, created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT OR IGNORE INTO settings(key, value) VALUES('last_sync_id', 0);
)SQL";

constexpr const char* kObjectCols = "path, sync_id, type, exist, mtime, size, hash, updater";

// The server's unsigned values (sync ids, sizes) are stored as the signed
// integer with the same bits; every one in use fits below 2^63.
void BindU64(Stmt& s, int idx, uint64_t v) {
  s.BindInt64(idx, static_cast<int64_t>(v));
}

uint64_t ColumnU64(const Stmt& s, int col) {
  return static_cast<uint64_t>(s.ColumnInt64(col));
}

ObjectRow RowFrom(const Stmt& s) {
  ObjectRow r;
  r.path = s.ColumnText(0);
  r.sync_id = ColumnU64(s, 1);
  r.type = static_cast<uint8_t>(s.ColumnInt64(2));
  r.exist = s.ColumnInt64(3) != 0;
  r.mtime = static_cast<uint32_t>(s.ColumnInt64(4));
  r.size = ColumnU64(s, 5);
  r.hash = s.ColumnText(6);
  r.updater = s.ColumnText(7);
  return r;
}
}  // namespace

int MetaDb::Open(const std::string& file) {
  if (m_db.Open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX) !=
      SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] meta-db(%d): cannot open '%s': %s\n", file,
           std::string(m_db.IsOpen() ? m_db.ErrMsg() : "out of memory"));
    m_db.Close();
    return ERR_SYS;
  }
  (void)sqlite3_busy_timeout(m_db.get(), kBusyTimeoutMs);  // cannot fail on an open connection
  // WAL lets a pull read while an upload commits; NORMAL sync keeps every
  // committed transaction across a process crash.
  if (Exec("PRAGMA journal_mode=WAL") != 0 || Exec("PRAGMA synchronous=NORMAL") != 0 ||
      Exec(kSchema) != 0 || KeySessions() != 0) {
    m_db.Close();
    return ERR_SYS;
  }
  return 0;
}

int MetaDb::KeySessions() {
  if (Begin() != 0) return ERR_SYS;
  int rc = 0;
  {
    Stmt s;
    rc = Prepare(s, "SELECT value FROM settings WHERE key='session_keys'") != 0 ? ERR_SYS : Step(s);
  }
  if (rc == SQLITE_ROW) return Commit();
  std::vector<std::string> issued;
  if (rc == SQLITE_DONE) {
    Stmt s;
    rc = Prepare(s, "SELECT session FROM sessions") != 0 ? ERR_SYS : Step(s);
    for (; rc == SQLITE_ROW; rc = Step(s)) issued.push_back(s.ColumnText(0));
  }
  for (size_t i = 0; rc == SQLITE_DONE && i < issued.size(); ++i) {
    Stmt s;
    if (Prepare(s, "UPDATE sessions SET session=? WHERE session=?") != 0) {
      rc = ERR_SYS;
      break;
    }
    s.BindText(1, SessionKey(issued[i]));
    s.BindText(2, issued[i]);
    rc = Step(s);
  }
  if (rc != SQLITE_DONE ||
      Exec("INSERT INTO settings(key, value) VALUES('session_keys', 1)") != 0 || Commit() != 0) {
    Rollback();
    return ERR_SYS;
  }
  return 0;
}

int MetaDb::Exec(const char* sql) {
  std::string err;
  if (m_db.Exec(sql, &err) != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] meta-db(%d): %s\n", err);
    return ERR_SYS;
  }
  return 0;
}

int MetaDb::Prepare(Stmt& s, const char* sql) {
  if (s.Prepare(m_db.get(), sql) != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] meta-db(%d): prepare: %s\n", std::string(m_db.ErrMsg()));
    return ERR_SYS;
  }
  return 0;
}

int MetaDb::Step(Stmt& s) {
  int rc = s.Step();
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
  SF_LOG(L_ERR, L"[ERROR] meta-db(%d): step: %s\n", std::string(m_db.ErrMsg()));
  return ERR_SYS;
}

int MetaDb::Begin() {
  return Exec("BEGIN IMMEDIATE");
}
int MetaDb::BeginRead() {
  return Exec("BEGIN DEFERRED");
}
int MetaDb::Commit() {
  return Exec("COMMIT");
}
void MetaDb::Rollback() {
  // Nothing to log: a failed write was logged where it failed, and SQLite
  // ends the transaction itself when ROLLBACK cannot run.
  if (m_db.IsOpen() && !sqlite3_get_autocommit(m_db.get())) (void)m_db.Exec("ROLLBACK");
}

uint64_t MetaDb::LastSyncId() {
  Stmt s;
  if (Prepare(s, "SELECT value FROM settings WHERE key='last_sync_id'") != 0 ||
      Step(s) != SQLITE_ROW) {
    return 0;
  }
  return ColumnU64(s, 0);
}

int MetaDb::NextSyncId(uint64_t& id) {
  uint64_t next = LastSyncId() + 1;
  Stmt s;
  if (Prepare(s, "UPDATE settings SET value=? WHERE key='last_sync_id'") != 0) return ERR_SYS;
  BindU64(s, 1, next);
  if (Step(s) != SQLITE_DONE) return ERR_SYS;
  id = next;
  return 0;
}

int MetaDb::GetObject(const std::string& path, ObjectRow& row) {
  Stmt s;
  if (Prepare(s,
              "SELECT path, sync_id, type, exist, mtime, size, hash, updater "
              "FROM objects WHERE path=?") != 0) {
    return ERR_SYS;
  }
  s.BindText(1, path);
  int rc = Step(s);
  if (rc == SQLITE_DONE) return ERR_NOENT;
  if (rc != SQLITE_ROW) return ERR_SYS;
  row = RowFrom(s);
  return 0;
}

int MetaDb::PutObject(const ObjectRow& r) {
  Stmt s;
  if (Prepare(s,
              "INSERT OR REPLACE INTO objects(path, sync_id, type, exist, mtime, size, "
              "hash, updater) VALUES(?,?,?,?,?,?,?,?)") != 0) {
    return ERR_SYS;
  }
  s.BindText(1, r.path);
  BindU64(s, 2, r.sync_id);
  s.BindInt(3, r.type);
  s.BindInt(4, r.exist ? 1 : 0);
  s.BindInt64(5, r.mtime);
  BindU64(s, 6, r.size);
  s.BindText(7, r.hash);
  s.BindText(8, r.updater);
  return Step(s) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::ReadObjects(Stmt& s, std::vector<ObjectRow>& rows) {
  for (;;) {
    int rc = Step(s);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return ERR_SYS;
    rows.push_back(RowFrom(s));
  }
}

int MetaDb::ListChanges(uint64_t after, size_t limit, std::vector<ObjectRow>& rows) {
  std::string sql = std::string("SELECT ") + kObjectCols +
                    " FROM objects WHERE sync_id > ? ORDER BY sync_id LIMIT ?";
  Stmt s;
  if (Prepare(s, sql.c_str()) != 0) return ERR_SYS;
  BindU64(s, 1, after);
  BindU64(s, 2, limit);
  return ReadObjects(s, rows);
}

int MetaDb::ListSubtree(const std::string& path, std::vector<ObjectRow>& rows) {
  // Names below "/a" sort between "/a/" and "/a0" ('0' follows '/'), which
  // avoids LIKE and its wildcard characters in file names.
  std::string sql = std::string("SELECT ") + kObjectCols +
                    " FROM objects WHERE exist=1 AND (path=? OR (path>=? AND path<?))";
  Stmt s;
  if (Prepare(s, sql.c_str()) != 0) return ERR_SYS;
  s.BindText(1, path);
  s.BindText(2, path + "/");
  s.BindText(3, path + "0");
  return ReadObjects(s, rows);
}

int MetaDb::ListExisting(std::vector<ObjectRow>& rows) {
  std::string sql = std::string("SELECT ") + kObjectCols + " FROM objects WHERE exist=1";
  Stmt s;
  if (Prepare(s, sql.c_str()) != 0) return ERR_SYS;
  return ReadObjects(s, rows);
}

int MetaDb::AddVersion(const VersionRow& v) {
  Stmt s;
  if (Prepare(
          s,
          "INSERT OR REPLACE INTO versions(sync_id, path, size, mtime, hash) VALUES(?,?,?,?,?)") !=
      0) {
    return ERR_SYS;
  }
  BindU64(s, 1, v.sync_id);
  s.BindText(2, v.path);
  BindU64(s, 3, v.size);
  s.BindInt64(4, v.mtime);
  s.BindText(5, v.hash);
  return Step(s) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::GetVersion(const std::string& path, uint64_t sync_id, VersionRow& v) {
  Stmt s;
  if (Prepare(s, "SELECT size, mtime, hash FROM versions WHERE sync_id=? AND path=?") != 0)
    return ERR_SYS;
  BindU64(s, 1, sync_id);
  s.BindText(2, path);
  int rc = Step(s);
  if (rc == SQLITE_DONE) return ERR_NOENT;
  if (rc != SQLITE_ROW) return ERR_SYS;
  v.path = path;
  v.sync_id = sync_id;
  v.size = ColumnU64(s, 0);
  v.mtime = static_cast<uint32_t>(s.ColumnInt64(1));
  v.hash = s.ColumnText(2);
  return 0;
}

int MetaDb::ListVersions(const std::string& path, std::vector<VersionRow>& out) {
  Stmt s;
  if (Prepare(
          s,
          "SELECT sync_id, size, mtime, hash FROM versions WHERE path=? ORDER BY sync_id DESC") !=
      0) {
    return ERR_SYS;
  }
  s.BindText(1, path);
  for (;;) {
    int rc = Step(s);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return ERR_SYS;
    VersionRow v;
    v.path = path;
    v.sync_id = ColumnU64(s, 0);
    v.size = ColumnU64(s, 1);
    v.mtime = static_cast<uint32_t>(s.ColumnInt64(2));
    v.hash = s.ColumnText(3);
    out.push_back(v);
  }
}

int MetaDb::ListAllVersionIds(std::vector<uint64_t>& ids) {
  Stmt s;
  if (Prepare(s, "SELECT sync_id FROM versions") != 0) return ERR_SYS;
  for (;;) {
    int rc = Step(s);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return ERR_SYS;
    ids.push_back(ColumnU64(s, 0));
  }
}

int MetaDb::DeleteVersion(uint64_t sync_id) {
  Stmt s;
  if (Prepare(s, "DELETE FROM versions WHERE sync_id=?") != 0) return ERR_SYS;
  BindU64(s, 1, sync_id);
  return Step(s) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::AddPending(const PendingRow& p) {
  Stmt s;
  if (Prepare(s,
              "INSERT OR REPLACE INTO pending(sync_id, path, type, mtime, size, hash, "
              "updater, staged) VALUES(?,?,?,?,?,?,?,?)") != 0) {
    return ERR_SYS;
  }
  const ObjectRow& o = p.object;
  BindU64(s, 1, o.sync_id);
  s.BindText(2, o.path);
  s.BindInt(3, o.type);
  s.BindInt64(4, o.mtime);
  BindU64(s, 5, o.size);
  s.BindText(6, o.hash);
  s.BindText(7, o.updater);
  s.BindText(8, p.staged);
  return Step(s) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::ListPending(std::vector<PendingRow>& out) {
  Stmt s;
  if (Prepare(
          s,
          "SELECT sync_id, path, type, mtime, size, hash, updater, staged FROM pending ORDER BY "
          "sync_id") != 0) {
    return ERR_SYS;
  }
  for (;;) {
    int rc = Step(s);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return ERR_SYS;
    PendingRow p;
    p.object.sync_id = ColumnU64(s, 0);
    p.object.path = s.ColumnText(1);
    p.object.type = static_cast<uint8_t>(s.ColumnInt64(2));
    p.object.exist = true;
    p.object.mtime = static_cast<uint32_t>(s.ColumnInt64(3));
    p.object.size = ColumnU64(s, 4);
    p.object.hash = s.ColumnText(5);
    p.object.updater = s.ColumnText(6);
    p.staged = s.ColumnText(7);
    out.push_back(p);
  }
}

int MetaDb::DeletePending(uint64_t sync_id) {
  Stmt s;
  if (Prepare(s, "DELETE FROM pending WHERE sync_id=?") != 0) return ERR_SYS;
  BindU64(s, 1, sync_id);
  return Step(s) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::AddSession(const std::string& key, const std::string& user) {
  Stmt s;
  if (Prepare(s,
              "INSERT OR REPLACE INTO sessions(session, user, created) "
              "VALUES(?,?,strftime('%s','now'))") != 0) {
    return ERR_SYS;
  }
  s.BindText(1, key);
  s.BindText(2, user);
  return Step(s) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::GetSession(const std::string& key, std::string& user) {
  Stmt s;
  if (Prepare(s, "SELECT user FROM sessions WHERE session=?") != 0) return ERR_SYS;
  s.BindText(1, key);
  int rc = Step(s);
  if (rc == SQLITE_DONE) return ERR_NOENT;
  if (rc != SQLITE_ROW) return ERR_SYS;
  user = s.ColumnText(0);
  return 0;
}

uint64_t MetaDb::MinPendingId() {
  Stmt s;
  if (Prepare(s, "SELECT MIN(sync_id) FROM pending") != 0 || Step(s) != SQLITE_ROW) return 0;
  return ColumnU64(s, 0);
}
