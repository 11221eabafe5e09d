#include "lib/base/sqlite-util.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "lib/base/byte-order.h"
#include "lib/base/utility.h"

namespace sqlite_util {

namespace {

// Once per process, before the library's first use. Its memory statistics
// (which nothing here reads) take one process-wide lock on every allocation
// of every connection: with workers, scanners and the status writer each
// on a connection of their own, that lock was their main point of
// contention. A use of the library that came first (a test opening a file
// directly) only leaves the default in place.
void ConfigureOnce() {
  static std::once_flag once;
  std::call_once(once, [] { (void)sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

}  // namespace

int Db::Open(const std::string& path, int flags) {
  ConfigureOnce();
  Close();
  if (path.empty()) return SQLITE_CANTOPEN;
  return sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
}

int Db::OpenShared(const std::string& path) {
  int rc = Open(path);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
}

void Db::Close() {
  for (auto& cached : m_cache) sqlite3_finalize(cached.second);
  m_cache.clear();
  if (m_db) {
    // Statements are always finalized by their owners first; close_v2 would
    // hide a leaked statement, so use the strict form.
    sqlite3_close(m_db);
    m_db = nullptr;
  }
}

const char* Db::ErrMsg() const {
  if (!m_db) return "database is not open";
  return sqlite3_errmsg(m_db);
}

int Db::Exec(const char* sql, std::string* err) {
  if (!m_db) {
    if (err) *err = ErrMsg();
    return SQLITE_MISUSE;
  }
  char* raw = nullptr;
  int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &raw);
  SqliteText msg(raw);
  if (rc != SQLITE_OK && err) *err = msg ? msg.get() : sqlite3_errstr(rc);
  return rc;
}

int Stmt::Prepare(sqlite3* db, const std::string& sql) {
  Finalize();
  if (!db) return SQLITE_MISUSE;  // e.g. a database that was never opened
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()) + 1, &m_stmt, &tail);
  if (rc != SQLITE_OK) return rc;
  if (tail) {
    while (*tail == ' ' || *tail == '\t' || *tail == '\n' || *tail == '\r' || *tail == ';') ++tail;
    if (*tail != '\0') {
      Finalize();
      return SQLITE_MISUSE;
    }
  }
  return SQLITE_OK;
}

int Stmt::PrepareCached(Db& db, const std::string& sql) {
  Finalize();
  auto it = db.m_cache.find(sql);
  if (it != db.m_cache.end()) {
    m_stmt = it->second;
    db.m_cache.erase(it);
  } else if (int rc = Prepare(db.get(), sql); rc != SQLITE_OK) {
    return rc;
  }
  m_home = &db;
  m_key = sql;
  return SQLITE_OK;
}

void Stmt::Finalize() {
  if (!m_stmt) return;
  if (m_home) {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
    // One of the same text already back in the cache (two in use at once)
    // makes this one surplus.
    if (!m_home->m_cache.emplace(std::move(m_key), m_stmt).second) sqlite3_finalize(m_stmt);
    m_home = nullptr;
    m_key.clear();
  } else {
    sqlite3_finalize(m_stmt);
  }
  m_stmt = nullptr;
}

int Stmt::BindText(int idx, const std::string& text) {
  return sqlite3_bind_text(m_stmt, idx, text.data(), static_cast<int>(text.size()),
                           SQLITE_TRANSIENT);
}

int Stmt::BindInt(int idx, int v) {
  return sqlite3_bind_int(m_stmt, idx, v);
}

int Stmt::BindInt64(int idx, int64_t v) {
  return sqlite3_bind_int64(m_stmt, idx, static_cast<sqlite3_int64>(v));
}

int Stmt::BindU64(int idx, uint64_t v) {
  int rc = SQLITE_OK;
  sqlite_util::BindU64(m_stmt, idx, v, &rc);
  return rc;
}

int Stmt::Step() {
  return sqlite3_step(m_stmt);
}

int Stmt::Reset() {
  sqlite3_clear_bindings(m_stmt);
  return sqlite3_reset(m_stmt);
}

std::string Stmt::ColumnText(int col) const {
  const auto* p = sqlite3_column_text(m_stmt, col);
  if (!p) return std::string();
  return std::string(reinterpret_cast<const char*>(p),
                     static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)));
}

uint64_t Stmt::ColumnU64(int col) const {
  return ColumnToU64(m_stmt, col);
}

int Db::ExecCached(const std::string& sql) {
  Stmt st;
  int rc = st.PrepareCached(*this, sql);
  if (rc != SQLITE_OK) return rc;
  rc = st.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

Transaction::Transaction(Db& db)
    : m_db(db), m_rc(db.ExecCached("BEGIN IMMEDIATE;")), m_open(m_rc == SQLITE_OK) {}

Transaction::~Transaction() {
  // A destructor cannot report: the failure that brought us here was
  // reported already, and SQLite ends the transaction itself when a
  // ROLLBACK cannot run.
  if (m_open) (void)m_db.ExecCached("ROLLBACK;");
}

int Transaction::Commit() {
  if (!m_open) return m_rc == SQLITE_OK ? SQLITE_MISUSE : m_rc;
  int rc = m_db.ExecCached("COMMIT;");
  // A COMMIT that failed (busy, I/O) leaves the transaction open; the
  // destructor then rolls it back.
  if (rc == SQLITE_OK) m_open = false;
  return rc;
}

namespace {
constexpr uint64_t kMaxSigned = static_cast<uint64_t>(INT64_MAX);
constexpr int kU64BlobSize = 8;
}  // namespace

void BindU64(sqlite3_stmt* stmt, int idx, uint64_t v, int* rc) {
  int r;
  if (v <= kMaxSigned) {
    r = sqlite3_bind_int64(stmt, idx, static_cast<sqlite3_int64>(v));
  } else {
    unsigned char be[kU64BlobSize];
    StoreBigEndian(v, be, kU64BlobSize);
    r = sqlite3_bind_blob(stmt, idx, be, kU64BlobSize, SQLITE_TRANSIENT);
  }
  if (rc) *rc = r;
}

bool ParseU64(const std::string& text, uint64_t& out) {
  return ParseDecimal(text, UINT64_MAX, out);
}

uint64_t ValueToU64(sqlite3_value* v) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      return static_cast<uint64_t>(sqlite3_value_int64(v));
    case SQLITE_BLOB: {
      if (sqlite3_value_bytes(v) != kU64BlobSize) return 0;
      return LoadBigEndian(sqlite3_value_blob(v), kU64BlobSize);
    }
    case SQLITE_TEXT: {
      const auto* p = sqlite3_value_text(v);
      uint64_t r = 0;
      if (p && ParseU64(std::string(reinterpret_cast<const char*>(p)), r)) return r;
      return 0;
    }
    case SQLITE_FLOAT: {
      const double d = sqlite3_value_double(v);
      if (!(d > 0)) return 0;  // also NaN
      if (d >= 18446744073709551616.0) return UINT64_MAX;
      return static_cast<uint64_t>(d);
    }
    default:
      return 0;
  }
}

uint64_t ColumnToU64(sqlite3_stmt* stmt, int col) {
  return ValueToU64(sqlite3_column_value(stmt, col));
}

bool ToUtf8Field(const std::wstring& in, size_t cap, std::string& out) {
  if (in.find(L'\0') != std::wstring::npos) return false;
  std::string tmp;
  if (NativeStrToUTF8(in, tmp) != 0) return false;
  if (cap == 0 || tmp.size() > cap - 1) return false;
  out.swap(tmp);
  return true;
}

SubtreeRange BelowPrefix(const std::string& prefix, char sep) {
  SubtreeRange r;
  r.lo = prefix;
  r.lo.push_back(sep);
  r.hi = prefix;
  r.hi.push_back(static_cast<char>(sep + 1));
  return r;
}

}  // namespace sqlite_util
