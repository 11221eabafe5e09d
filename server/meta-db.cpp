#include "server/meta-db.h"

#include "lib/base/errors.h"
#include "lib/base/log.h"

namespace {
constexpr wchar_t kLogComponent[] = L"server_debug";

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

std::string Text(sqlite3_stmt* s, int col) {
  const unsigned char* t = sqlite3_column_text(s, col);
  return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(s, col))
           : std::string();
}

void BindText(sqlite3_stmt* s, int idx, const std::string& v) {
  sqlite3_bind_text(s, idx, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

void BindU64(sqlite3_stmt* s, int idx, uint64_t v) {
  sqlite3_bind_int64(s, idx, static_cast<sqlite3_int64>(v));
}

ObjectRow RowFrom(sqlite3_stmt* s) {
  ObjectRow r;
  r.path = Text(s, 0);
  r.sync_id = static_cast<uint64_t>(sqlite3_column_int64(s, 1));
  r.type = static_cast<uint8_t>(sqlite3_column_int(s, 2));
  r.exist = sqlite3_column_int(s, 3) != 0;
  r.mtime = static_cast<uint32_t>(sqlite3_column_int64(s, 4));
  r.size = static_cast<uint64_t>(sqlite3_column_int64(s, 5));
  r.hash = Text(s, 6);
  r.updater = Text(s, 7);
  return r;
}
}  // namespace

int MetaDb::Open(const std::string& file) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  m_db.reset(db);
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] meta-db(%d): cannot open '%s': %s\n", file,
           std::string(db ? sqlite3_errmsg(db) : "out of memory"));
    m_db.reset();
    return ERR_SYS;
  }
  sqlite3_busy_timeout(db, 10000);
  // WAL lets a pull read while an upload commits; NORMAL sync keeps every
  // committed transaction across a process crash.
  if (Exec("PRAGMA journal_mode=WAL") != 0 || Exec("PRAGMA synchronous=NORMAL") != 0 ||
      Exec(kSchema) != 0) {
    m_db.reset();
    return ERR_SYS;
  }
  return 0;
}

int MetaDb::Exec(const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &err) != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] meta-db(%d): %s\n", std::string(err ? err : "?"));
    sqlite3_free(err);
    return ERR_SYS;
  }
  return 0;
}

StmtPtr MetaDb::Prepare(const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(m_db.get(), sql, -1, &s, nullptr) != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] meta-db(%d): prepare: %s\n", std::string(sqlite3_errmsg(m_db.get())));
  }
  return StmtPtr(s);
}

int MetaDb::Step(sqlite3_stmt* s) {
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
  SF_LOG(L_ERR, L"[ERROR] meta-db(%d): step: %s\n", std::string(sqlite3_errmsg(m_db.get())));
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
  if (!sqlite3_get_autocommit(m_db.get()))
    sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

uint64_t MetaDb::LastSyncId() {
  StmtPtr s = Prepare("SELECT value FROM settings WHERE key='last_sync_id'");
  if (!s || Step(s.get()) != SQLITE_ROW) return 0;
  return static_cast<uint64_t>(sqlite3_column_int64(s.get(), 0));
}

int MetaDb::NextSyncId(uint64_t& id) {
  uint64_t next = LastSyncId() + 1;
  StmtPtr s = Prepare("UPDATE settings SET value=? WHERE key='last_sync_id'");
  if (!s) return ERR_SYS;
  BindU64(s.get(), 1, next);
  if (Step(s.get()) != SQLITE_DONE) return ERR_SYS;
  id = next;
  return 0;
}

int MetaDb::GetObject(const std::string& path, ObjectRow& row) {
  StmtPtr s = Prepare(
      "SELECT path, sync_id, type, exist, mtime, size, hash, updater "
      "FROM objects WHERE path=?");
  if (!s) return ERR_SYS;
  BindText(s.get(), 1, path);
  int rc = Step(s.get());
  if (rc == SQLITE_DONE) return ERR_NOENT;
  if (rc != SQLITE_ROW) return ERR_SYS;
  row = RowFrom(s.get());
  return 0;
}

int MetaDb::PutObject(const ObjectRow& r) {
  StmtPtr s = Prepare(
      "INSERT OR REPLACE INTO objects(path, sync_id, type, exist, mtime, size, "
      "hash, updater) VALUES(?,?,?,?,?,?,?,?)");
  if (!s) return ERR_SYS;
  BindText(s.get(), 1, r.path);
  BindU64(s.get(), 2, r.sync_id);
  sqlite3_bind_int(s.get(), 3, r.type);
  sqlite3_bind_int(s.get(), 4, r.exist ? 1 : 0);
  sqlite3_bind_int64(s.get(), 5, r.mtime);
  BindU64(s.get(), 6, r.size);
  BindText(s.get(), 7, r.hash);
  BindText(s.get(), 8, r.updater);
  return Step(s.get()) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::ReadObjects(sqlite3_stmt* s, std::vector<ObjectRow>& rows) {
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
  StmtPtr s = Prepare(sql.c_str());
  if (!s) return ERR_SYS;
  BindU64(s.get(), 1, after);
  sqlite3_bind_int64(s.get(), 2, static_cast<sqlite3_int64>(limit));
  return ReadObjects(s.get(), rows);
}

int MetaDb::ListSubtree(const std::string& path, std::vector<ObjectRow>& rows) {
  // Names below "/a" sort between "/a/" and "/a0" ('0' follows '/'), which
  // avoids LIKE and its wildcard characters in file names.
  std::string sql = std::string("SELECT ") + kObjectCols +
                    " FROM objects WHERE exist=1 AND (path=? OR (path>=? AND path<?))";
  StmtPtr s = Prepare(sql.c_str());
  if (!s) return ERR_SYS;
  BindText(s.get(), 1, path);
  BindText(s.get(), 2, path + "/");
  BindText(s.get(), 3, path + "0");
  return ReadObjects(s.get(), rows);
}

int MetaDb::ListExisting(std::vector<ObjectRow>& rows) {
  std::string sql = std::string("SELECT ") + kObjectCols + " FROM objects WHERE exist=1";
  StmtPtr s = Prepare(sql.c_str());
  if (!s) return ERR_SYS;
  return ReadObjects(s.get(), rows);
}

int MetaDb::AddVersion(const VersionRow& v) {
  StmtPtr s = Prepare(
      "INSERT OR REPLACE INTO versions(sync_id, path, size, mtime, hash) VALUES(?,?,?,?,?)");
  if (!s) return ERR_SYS;
  BindU64(s.get(), 1, v.sync_id);
  BindText(s.get(), 2, v.path);
  BindU64(s.get(), 3, v.size);
  sqlite3_bind_int64(s.get(), 4, v.mtime);
  BindText(s.get(), 5, v.hash);
  return Step(s.get()) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::GetVersion(const std::string& path, uint64_t sync_id, VersionRow& v) {
  StmtPtr s = Prepare("SELECT size, mtime, hash FROM versions WHERE sync_id=? AND path=?");
  if (!s) return ERR_SYS;
  BindU64(s.get(), 1, sync_id);
  BindText(s.get(), 2, path);
  int rc = Step(s.get());
  if (rc == SQLITE_DONE) return ERR_NOENT;
  if (rc != SQLITE_ROW) return ERR_SYS;
  v.path = path;
  v.sync_id = sync_id;
  v.size = static_cast<uint64_t>(sqlite3_column_int64(s.get(), 0));
  v.mtime = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 1));
  v.hash = Text(s.get(), 2);
  return 0;
}

int MetaDb::ListVersions(const std::string& path, std::vector<VersionRow>& out) {
  StmtPtr s =
      Prepare("SELECT sync_id, size, mtime, hash FROM versions WHERE path=? ORDER BY sync_id DESC");
  if (!s) return ERR_SYS;
  BindText(s.get(), 1, path);
  for (;;) {
    int rc = Step(s.get());
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return ERR_SYS;
    VersionRow v;
    v.path = path;
    v.sync_id = static_cast<uint64_t>(sqlite3_column_int64(s.get(), 0));
    v.size = static_cast<uint64_t>(sqlite3_column_int64(s.get(), 1));
    v.mtime = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 2));
    v.hash = Text(s.get(), 3);
    out.push_back(v);
  }
}

int MetaDb::ListAllVersionIds(std::vector<uint64_t>& ids) {
  StmtPtr s = Prepare("SELECT sync_id FROM versions");
  if (!s) return ERR_SYS;
  for (;;) {
    int rc = Step(s.get());
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return ERR_SYS;
    ids.push_back(static_cast<uint64_t>(sqlite3_column_int64(s.get(), 0)));
  }
}

int MetaDb::DeleteVersion(uint64_t sync_id) {
  StmtPtr s = Prepare("DELETE FROM versions WHERE sync_id=?");
  if (!s) return ERR_SYS;
  BindU64(s.get(), 1, sync_id);
  return Step(s.get()) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::AddPending(const PendingRow& p) {
  StmtPtr s = Prepare(
      "INSERT OR REPLACE INTO pending(sync_id, path, type, mtime, size, hash, "
      "updater, staged) VALUES(?,?,?,?,?,?,?,?)");
  if (!s) return ERR_SYS;
  const ObjectRow& o = p.object;
  BindU64(s.get(), 1, o.sync_id);
  BindText(s.get(), 2, o.path);
  sqlite3_bind_int(s.get(), 3, o.type);
  sqlite3_bind_int64(s.get(), 4, o.mtime);
  BindU64(s.get(), 5, o.size);
  BindText(s.get(), 6, o.hash);
  BindText(s.get(), 7, o.updater);
  BindText(s.get(), 8, p.staged);
  return Step(s.get()) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::ListPending(std::vector<PendingRow>& out) {
  StmtPtr s = Prepare(
      "SELECT sync_id, path, type, mtime, size, hash, updater, staged FROM pending ORDER BY "
      "sync_id");
  if (!s) return ERR_SYS;
  for (;;) {
    int rc = Step(s.get());
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return ERR_SYS;
    PendingRow p;
    p.object.sync_id = static_cast<uint64_t>(sqlite3_column_int64(s.get(), 0));
    p.object.path = Text(s.get(), 1);
    p.object.type = static_cast<uint8_t>(sqlite3_column_int(s.get(), 2));
    p.object.exist = true;
    p.object.mtime = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 3));
    p.object.size = static_cast<uint64_t>(sqlite3_column_int64(s.get(), 4));
    p.object.hash = Text(s.get(), 5);
    p.object.updater = Text(s.get(), 6);
    p.staged = Text(s.get(), 7);
    out.push_back(p);
  }
}

int MetaDb::DeletePending(uint64_t sync_id) {
  StmtPtr s = Prepare("DELETE FROM pending WHERE sync_id=?");
  if (!s) return ERR_SYS;
  BindU64(s.get(), 1, sync_id);
  return Step(s.get()) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::AddSession(const std::string& session, const std::string& user) {
  StmtPtr s = Prepare(
      "INSERT OR REPLACE INTO sessions(session, user, created) VALUES(?,?,strftime('%s','now'))");
  if (!s) return ERR_SYS;
  BindText(s.get(), 1, session);
  BindText(s.get(), 2, user);
  return Step(s.get()) == SQLITE_DONE ? 0 : ERR_SYS;
}

int MetaDb::GetSession(const std::string& session, std::string& user) {
  StmtPtr s = Prepare("SELECT user FROM sessions WHERE session=?");
  if (!s) return ERR_SYS;
  BindText(s.get(), 1, session);
  int rc = Step(s.get());
  if (rc == SQLITE_DONE) return ERR_NOENT;
  if (rc != SQLITE_ROW) return ERR_SYS;
  user = Text(s.get(), 0);
  return 0;
}

uint64_t MetaDb::MinPendingId() {
  StmtPtr s = Prepare("SELECT MIN(sync_id) FROM pending");
  if (!s || Step(s.get()) != SQLITE_ROW) return 0;
  return static_cast<uint64_t>(sqlite3_column_int64(s.get(), 0));
}
