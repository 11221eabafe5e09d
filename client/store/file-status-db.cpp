#include "client/store/file-status-db.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lib/base/log.h"
#include "lib/base/sqlite-util.h"
#include "lib/base/utility.h"

namespace {

constexpr wchar_t kLogComponent[] = L"fstat_db_debug";

using sqlite_util::Db;
using sqlite_util::Stmt;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, FreeDeleter>;

const char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS fstatinfo (id INTEGER PRIMARY KEY AUTOINCREMENT, path text unique "
    "NOT NULL, fileType integer NOT NULL, syncStatus integer NOT NULL);";
const char kCreateIndex[] = "CREATE INDEX IF NOT EXISTS fstatinfo_path_idx on fstatinfo(path);";

// Opens `path` with the shared busy timeout; logs an open failure with the
// operation's own text.
int OpenConn(Db& db, const std::string& path) {
  int rc = db.OpenShared(path);
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR,
           L"[ERROR] file-status-db(%d): open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n",
           path, rc, db.ErrMsg());
  }
  return rc;
}

bool PathToUtf8(const std::wstring& path, std::string& out) {
  if (sqlite_util::ToUtf8Field(path, FileStatusDB::kPathBuf, out)) return true;
  SF_LOG(L_ERR,
         L"[ERROR] file-status-db(%d): path cannot be stored (not UTF-8 convertible or %d bytes or "
         L"more): [%s]\n",
         FileStatusDB::kPathBuf, path);
  return false;
}

// Runs one prepared statement without result rows; logs like the insert path.
int RunWrite(Db& db, Stmt& st) {
  int rc = st.Step();
  if (rc != SQLITE_DONE) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
           db.ErrMsg());
    return rc;
  }
  return 0;
}

int PrepareOrLog(Db& db, Stmt& st, const std::string& sql) {
  int rc = st.Prepare(db.get(), sql);
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
           db.ErrMsg());
  }
  return rc;
}

// LIKE escaping of one value: quotes doubled for the literal, "\" doubled and
// "%" / "_" prefixed with "\" for the escape clause.
std::string EscapeLike(const char* s) {
  std::string out;
  for (; *s; ++s) {
    switch (*s) {
      case '\'':
        out += "''";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '%':
      case '_':
        out.push_back('\\');
        out.push_back(*s);
        break;
      default:
        out.push_back(*s);
    }
  }
  return out;
}

std::string EscapeQuotes(const char* s) {
  std::string out;
  for (; *s; ++s) {
    if (*s == '\'') out.push_back('\'');
    out.push_back(*s);
  }
  return out;
}

struct Placeholder {
  const char* name;
  int id;
};
// Tried in this order; the first that matches at an "@" wins.
constexpr Placeholder kPlaceholders[] = {
    {"@ZENT:VAR", SPID_VAR},     {"@ZENT:LVAR", SPID_LVAR},   {"@ZENT:INT", SPID_INT},
    {"@ZENT:LLINT", SPID_LLINT}, {"@ZENT:NEVAR", SPID_NEVAR},
};

// Output buffer of the template expansion, grown through ExpendBufSize.
class ExpandBuf {
 public:
  static constexpr long kInitial = 4096;
  ExpandBuf() : m_buf(static_cast<char*>(std::malloc(kInitial))), m_cap(m_buf ? kInitial : 0) {}
  ~ExpandBuf() { std::free(m_buf); }
  ExpandBuf(const ExpandBuf&) = delete;
  ExpandBuf& operator=(const ExpandBuf&) = delete;

  bool ok() const { return m_buf != nullptr; }
  // Appends `n` bytes, keeping room for the terminator. False when growing fails.
  bool Append(const char* s, size_t n) {
    if (n > static_cast<size_t>(LONG_MAX / 4) - static_cast<size_t>(m_len)) return false;
    const long need = m_len + static_cast<long>(n) + 1;
    if (need > m_cap) {
      long grown = ExpendBufSize(&m_buf, m_len, need, 1);
      if (grown <= 0) return false;
      m_cap = grown;
    }
    std::memcpy(m_buf + m_len, s, n);
    m_len += static_cast<long>(n);
    return true;
  }
  bool Append(const std::string& s) { return Append(s.data(), s.size()); }
  char* Release() {
    m_buf[m_len] = '\0';
    char* p = m_buf;
    m_buf = nullptr;
    return p;
  }

 private:
  char* m_buf;
  long m_cap;
  long m_len = 0;
};

}  // namespace

std::string FileStatusDB::m_fstatDBPath;

long ExpendBufSize(char** pBuf, long cbOriSize, long cbWantedSize, int blKeepOri) {
  if (!pBuf || !*pBuf || cbOriSize <= 0 || cbWantedSize <= 0) return -1;
  if (cbWantedSize > LONG_MAX / 2) return -1;
  const long newSize = cbWantedSize * 2;
  if (blKeepOri == 1) {
    char* p = static_cast<char*>(std::realloc(*pBuf, static_cast<size_t>(newSize)));
    if (!p) return 0;
    *pBuf = p;
  } else {
    char* p = static_cast<char*>(std::malloc(static_cast<size_t>(newSize)));
    if (!p) return 0;
    std::free(*pBuf);
    *pBuf = p;
  }
  return newSize;
}

char* SQLITEEscapeStringEX3(const char* tmpl, va_list ap) {
  if (!tmpl) return nullptr;
  ExpandBuf out;
  if (!out.ok()) return nullptr;
  bool likePending = false;
  int quotes = 0;
  for (const char* p = tmpl; *p;) {
    if (*p == '\'') {
      ++quotes;
      if (!out.Append(p, 1)) return nullptr;
      if (quotes >= 2 && likePending) {
        if (!out.Append(" escape '\\'", 11)) return nullptr;
        likePending = false;
      }
      ++p;
      continue;
    }
    if (*p != '@') {
      if (!out.Append(p, 1)) return nullptr;
      ++p;
      continue;
    }
    int id = SPID_INVALID;
    size_t nameLen = 0;
    for (const auto& ph : kPlaceholders) {
      const size_t n = std::strlen(ph.name);
      if (std::strncmp(p, ph.name, n) == 0) {
        id = ph.id;
        nameLen = n;
        break;
      }
    }
    if (id == SPID_INVALID) {
      if (!out.Append(p, 1)) return nullptr;
      ++p;
      continue;
    }
    p += nameLen;
    switch (id) {
      case SPID_VAR:
      case SPID_LVAR:
      case SPID_NEVAR: {
        const char* s = va_arg(ap, const char*);
        if (!s) s = "";
        if (std::strlen(s) > kMaxTemplateValue) {
          SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): Bad parameters.");
          break;
        }
        const std::string v = id == SPID_VAR    ? EscapeQuotes(s)
                              : id == SPID_LVAR ? EscapeLike(s)
                                                : std::string(s);
        if (!out.Append(v)) return nullptr;
        if (id == SPID_LVAR) likePending = true;
        break;
      }
      case SPID_INT:
        if (!out.Append(std::to_string(va_arg(ap, int)))) return nullptr;
        break;
      case SPID_LLINT:
        if (!out.Append(std::to_string(va_arg(ap, long long)))) return nullptr;
        break;
    }
  }
  return out.Release();
}

char* ZENTDBEscapeStringEX3(const char* tmpl, ...) {
  va_list ap;
  va_start(ap, tmpl);
  char* r = SQLITEEscapeStringEX3(tmpl, ap);
  va_end(ap);
  return r;
}

int FileStatusDB::initialize(const std::wstring& location) {
  if (location.empty()) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): fstat-db path is empty.\n");
    return -1;
  }
  std::string path;
  if (!sqlite_util::ToUtf8Field(location, kLocationBuf, path)) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): open db failed. db-path:[%s] errmsg:[%s]\n",
           location, "location is not convertible or too long");
    return -1;
  }
  m_fstatDBPath = path;
  Db db;
  if (db.OpenShared(path) != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): open db failed. db-path:[%s] errmsg:[%s]\n", path,
           db.ErrMsg());
    return -1;
  }
  for (const char* cmd : {kCreateTable, kCreateIndex}) {
    std::string err;
    if (db.Exec(cmd, &err) != SQLITE_OK) {
      SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): sqlite3_exec error. cmd:(%s)  error:(%s)\n", cmd,
             err);
      return -1;
    }
  }
  return 0;
}

int FileStatusDB::updateAllSyncingEntry() {
  Db db;
  if (db.OpenShared(m_fstatDBPath) != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): FileStatusDB: failed to open database (%s)\n",
           db.ErrMsg());
    return -1;
  }
  std::string err;
  int rc = db.Exec("UPDATE fstatinfo SET syncStatus = 1 WHERE syncStatus = 2", &err);
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): FileStatusDB: sqlite3_exec: %s  (%d)\n", err, rc);
    return -1;
  }
  return 0;
}

int FileStatusDB::setFileSyncStat(const FileStatusInfo& info) {
  return setFileSyncStats({info});
}

int FileStatusDB::setFileSyncStats(const std::vector<FileStatusInfo>& infos) {
  if (infos.empty()) return 0;
  Db db;
  if (int rc = OpenConn(db, m_fstatDBPath)) return rc;
  sqlite_util::Transaction tx(db);
  if (!tx.ok()) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n",
           tx.rc(), db.ErrMsg());
    return tx.rc();
  }
  Stmt st;
  if (int rc = PrepareOrLog(db, st,
                            "insert or replace into fstatinfo  (id, path, fileType, syncStatus)  "
                            "values(NULL, ?, ?, ?);")) {
    return rc;
  }
  int result = 0;
  std::string path;
  for (const FileStatusInfo& info : infos) {
    if (!PathToUtf8(info.path, path)) {
      result = -1;
      continue;
    }
    st.BindText(1, path);
    st.BindInt(2, info.fileType);
    st.BindInt(3, info.syncStatus);
    if (int rc = RunWrite(db, st)) return rc;
    st.Reset();
  }
  if (int rc = tx.Commit()) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
           db.ErrMsg());
    return rc;
  }
  return result;
}

int FileStatusDB::rmFileSyncStat(const FileStatusInfo& info) {
  std::string path;
  if (!PathToUtf8(info.path, path)) return -1;
  Db db;
  if (int rc = OpenConn(db, m_fstatDBPath)) return rc;
  Stmt st;
  // The path itself, then everything below it with either separator. Byte
  // ranges instead of GLOB, so "[", "*" and "?" in names stay literal.
  if (int rc = PrepareOrLog(db, st,
                            "delete from fstatinfo where (path = ?1 OR (path >= ?2 AND path < ?3) "
                            "OR (path >= ?4 AND path < ?5))")) {
    return rc;
  }
  const auto slash = sqlite_util::BelowPrefix(path, '/');
  const auto back = sqlite_util::BelowPrefix(path, '\\');
  st.BindText(1, path);
  st.BindText(2, slash.lo);
  st.BindText(3, slash.hi);
  st.BindText(4, back.lo);
  st.BindText(5, back.hi);
  return RunWrite(db, st);
}

int FileStatusDB::rmEntryBySyncStatus(const std::wstring& dbPath, int status) {
  if (dbPath.empty()) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): fstat-db path is empty.\n");
    return -1;
  }
  std::string path;
  if (!sqlite_util::ToUtf8Field(dbPath, kLocationBuf, path)) {
    SF_LOG(L_ERR,
           L"[ERROR] file-status-db(%d): open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n",
           dbPath, -1, "path is not convertible or too long");
    return -1;
  }
  Db db;
  if (int rc = OpenConn(db, path)) return rc;
  Stmt st;
  if (int rc = PrepareOrLog(db, st, "delete from fstatinfo where syncStatus=?")) return rc;
  st.BindInt(1, status);
  return RunWrite(db, st);
}

int FileStatusDB::getFileSyncStat(const std::wstring& path, FileStatusInfo* info) {
  if (path.empty()) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): filepath is empty.\n");
    return -1;
  }
  if (!info) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): FileStatusInfo  is NULL.\n");
    return -1;
  }
  std::string u8;
  if (!PathToUtf8(path, u8)) return -1;
  MallocText sql(
      ZENTDBEscapeStringEX3("select * from fstatinfo where path like '@ZENT:LVAR'", u8.c_str()));
  if (!sql) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): sqlite3_mprintf error. path:[%s]\n", u8);
    return -1;
  }
  info->syncStatus = 0;
  info->fileType = 0;
  info->path = path;

  Db db;
  if (OpenConn(db, m_fstatDBPath) != SQLITE_OK) return -1;
  Stmt st;
  int rc = st.Prepare(db.get(), sql.get());
  bool found = false;
  if (rc == SQLITE_OK) {
    while ((rc = st.Step()) == SQLITE_ROW) {
      // LIKE ignores ASCII case, but on this platform "A" and "a" are two
      // different files: only the row of exactly this path counts.
      if (st.ColumnText(FSTAT_DB_PATH) != u8) continue;
      for (int col = 0; col < st.ColumnCount(); ++col) {
        if (col == FSTAT_DB_FILETYPE) {
          info->fileType = static_cast<int32_t>(st.ColumnInt64(col));
        } else if (col == FSTAT_DB_SYNCSTATUS) {
          info->syncStatus = static_cast<int32_t>(st.ColumnInt64(col));
        } else if (col >= FSTAT_DB_NUM_OF_TYPE) {
          SF_LOG(L_ERR,
                 L"[ERROR] file-status-db(%d): mismatched db output index. row-idx:[%d] "
                 L"col-idx:[%d]\n",
                 1, col);
        }
      }
      found = true;
    }
  }
  if (rc != SQLITE_DONE) {
    SF_LOG(L_ERR,
           L"[ERROR] file-status-db(%d): get fstat info failed. file-path:[%s] errCode:[%d] "
           L"errmsg:[%s]\n",
           u8, rc, db.ErrMsg());
    return -1;
  }
  return found ? 0 : -1;
}

bool FileStatusDB::isAnySubFileDirSyncing(const std::wstring& prefix) {
  if (prefix.empty()) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): prefix dirpath is empty.\n");
    return false;
  }
  std::string u8;
  if (!PathToUtf8(prefix, u8)) return false;
  // Rows are recorded with either separator; look below the prefix with both.
  const std::string back = u8 + "\\";
  const std::string slash = u8 + "/";
  MallocText sql(ZENTDBEscapeStringEX3(
      "select * from fstatinfo where (path like '@ZENT:LVAR%' or path like '@ZENT:LVAR%') and "
      "syncStatus=@ZENT:INT",
      back.c_str(), slash.c_str(), static_cast<int>(FSTAT_SYNCING)));
  if (!sql) {
    SF_LOG(L_ERR, L"[ERROR] file-status-db(%d): sqlite3_mprintf error.\n");
    return false;
  }
  Db db;
  if (OpenConn(db, m_fstatDBPath) != SQLITE_OK) return false;
  Stmt st;
  int rc = st.Prepare(db.get(), sql.get());
  if (rc == SQLITE_OK) {
    while ((rc = st.Step()) == SQLITE_ROW) {
      // The LIKE match ignores ASCII case; keep only true (byte-exact) children.
      const std::string p = st.ColumnText(FSTAT_DB_PATH);
      if (p.compare(0, back.size(), back) == 0 || p.compare(0, slash.size(), slash) == 0)
        return true;
    }
  }
  if (rc != SQLITE_DONE) {
    SF_LOG(L_ERR,
           L"[ERROR] file-status-db(%d): get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n",
           sql.get(), rc, db.ErrMsg());
  }
  return false;
}

bool FileStatusDB::isAnyFileSyncing() {
  Db db;
  if (OpenConn(db, m_fstatDBPath) != SQLITE_OK) return false;
  const char* sql = "select * from fstatinfo where syncStatus=? limit 2";
  Stmt st;
  int rc = st.Prepare(db.get(), sql);
  if (rc == SQLITE_OK) {
    st.BindInt(1, FSTAT_SYNCING);
    rc = st.Step();
    if (rc == SQLITE_ROW) return true;
  }
  if (rc != SQLITE_DONE) {
    SF_LOG(L_ERR,
           L"[ERROR] file-status-db(%d): get_table error. sql:[%s] errCode:[%d] errmsg:[%s]\n", sql,
           rc, db.ErrMsg());
  }
  return false;
}
