#include "client/store/event-db.h"

#include <cstdint>
#include <vector>

#include "client/store/flist.h"
#include "client/store/sign-mgr.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"

namespace {

constexpr wchar_t kLogComponent[] = L"event_db_debug";

using sqlite_util::Db;
using sqlite_util::Stmt;
using sqlite_util::Transaction;

// Schema batch; re-running it on an existing file only adds what is missing
// (the config rows' key conflicts are ignored, keeping the stored values).
const char kSchema[] =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS eventinfo (id integer primary key, fileType integer NOT NULL, "
    "isExist integer NOT NULL, syncID NUMERIC NOT NULL, pDirID NUMERIC default NULL, fileSize "
    "NUMERIC NOT NULL, fileModTime NUMERIC NOT NULL, fileCheckSum text NOT NULL, baseName text NOT "
    "NULL, path text unique NOT NULL, filePrivilege text default NULL, updateClient text NOT NULL, "
    "signPath text default NULL, macHash text default NULL, windowsHash text default NULL, "
    "linuxHash text default NULL, zentHash text default NULL, inode INTEGER);"
    "CREATE TABLE IF NOT EXISTS config_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value "
    "VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS own_change (syncID NUMERIC NOT NULL UNIQUE);"
    "CREATE TABLE IF NOT EXISTS removal_intent (path text PRIMARY KEY, base NUMERIC NOT NULL, "
    "isDir INTEGER NOT NULL DEFAULT 1, refused INTEGER NOT NULL DEFAULT 1);"
    "CREATE INDEX IF NOT EXISTS eventinfo_syncID_idx on eventinfo(syncID);"
    "CREATE INDEX IF NOT EXISTS eventinfo_baseName_idx on eventinfo(baseName);"
    "CREATE INDEX IF NOT EXISTS eventinfo_path_idx on eventinfo(path);"
    "CREATE INDEX IF NOT EXISTS eventinfo_updateClient_idx on eventinfo(updateClient);"
    "CREATE INDEX IF NOT EXISTS eventinfo_inode_idx on eventinfo(inode);"
    "INSERT INTO config_table VALUES ('sync_id', '0');"
    "INSERT INTO config_table VALUES ('version', 2);"
    "CREATE TRIGGER IF NOT EXISTS eventinfo_delete_trigger AFTER DELETE ON eventinfo BEGIN UPDATE "
    "config_table SET value = '' WHERE rowid = remove_signature(OLD.signPath); END;"
    "COMMIT;";

// The path itself and everything below it, compared byte for byte so that
// GLOB/LIKE characters in names ("[", "*", "?", "%", "_") stay literal.
const char kSubtreeWhere[] = "(path = ?1 OR (path >= ?2 AND path < ?3))";

std::wstring StripSlash(const std::wstring& path) {
  if (!path.empty() && path[0] == L'/') return path.substr(1);
  return path;
}

void BindSubtree(Stmt& st, const std::string& path) {
  const auto r = sqlite_util::BelowPrefix(path, '/');
  st.BindText(1, path);
  st.BindText(2, r.lo);
  st.BindText(3, r.hi);
}

// Whether `path` names an entry directly inside the signature store. Rows
// name their signature by full path, so a damaged or foreign database could
// name any file of the user; only the store's own files are ours to delete.
// Before a store is set up (tools, tests) every path qualifies.
bool InSignatureStore(const std::wstring& path) {
  // Runs of "/" name the same folder ("/d//sign" from a "db_loc" given as
  // "/d/"), so compare with them collapsed.
  auto collapse = [](const std::wstring& in) {
    std::wstring out;
    for (wchar_t c : in)
      if (c != L'/' || out.empty() || out.back() != L'/') out.push_back(c);
    return WithoutTrailingSlashes(out);
  };
  const std::wstring store = collapse(SignMgr::folder());
  if (store.empty()) return true;
  const std::wstring p = collapse(path);
  const size_t slash = p.rfind(L'/');
  if (slash == std::wstring::npos || slash + 1 == p.size()) return false;
  const std::wstring name = p.substr(slash + 1);
  const size_t dir_len = slash == 0 ? 1 : slash;  // a store at "/" itself
  return dir_len == store.size() && p.compare(0, dir_len, store) == 0 && name != L"." &&
         name != L"..";
}

// Removes one signature file. Only a plain file of the signature store is
// removed: a row naming a directory or a file elsewhere (a damaged or foreign
// database) must never cost the user anything.
void RemoveSignatureFile(const std::wstring& path) {
  if (path.empty()) return;
  if (!InSignatureStore(path)) {
    SF_LOG(L_WARNING,
           L"[WARNING] event-db(%d): keeping '%s': it is not a file of the signature store\n",
           path);
    return;
  }
  FILE_INFO fi;
  if (FSStat(path, fi) != 0 || !fi.isExist || fi.type != FT_FILE) return;
  (void)FSRemove(path, false);
}

// remove_signature(signPath): called by the delete trigger for every deleted
// row, on the thread that holds the connection's mutex.
void SQLRemoveSignatureFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  if (argc == 1) {
    const auto* text = sqlite3_value_text(argv[0]);
    if (text) {
      std::wstring path;
      if (FileEventDB::mbstowcsIfNeed(reinterpret_cast<const char*>(text), path) == 0) {
        RemoveSignatureFile(path);
      }
    }
  }
  sqlite3_result_int(ctx, 0);
}

// The change time kept in linuxHash: decimal nanoseconds. Anything else
// (empty, or text an older or foreign client left there) reads as none.
int64_t ParseChangeTime(const std::string& text) {
  uint64_t v = 0;
  if (!sqlite_util::ParseU64(text, v) || v > static_cast<uint64_t>(INT64_MAX)) return 0;
  return static_cast<int64_t>(v);
}

struct FieldRef {
  const std::wstring* value;
  std::string* out;
};

// Prepares "SELECT <columns>" over the existing rows strictly below
// `prefix` (UTF-8, no leading "/"; every existing row when `all`). Returns
// 0, or -1 when it cannot be prepared (logged).
int PrepareExisting(Db& db, Stmt& st, const char* columns, bool all, const std::string& prefix) {
  const std::string sql = std::string("SELECT ") + columns + " FROM eventinfo WHERE " +
                          (all ? "" : "path >= ?2 AND path < ?3 and ") + "isExist = 1;";
  const int rc = st.Prepare(db.get(), sql);
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_prepare_v2: [%d] %s\n", rc, db.ErrMsg());
    return -1;
  }
  if (all) return 0;
  const auto r = sqlite_util::BelowPrefix(prefix, '/');
  st.BindText(2, r.lo);
  st.BindText(3, r.hi);
  return 0;
}

}  // namespace

Mutex FileEventDB::m_dbMutex;
std::string FileEventDB::m_eventDBPath;
sqlite_util::Db FileEventDB::m_db;

int FileEventDB::wcstombsIfNeed(const std::wstring& in, std::string& out) {
  return sqlite_util::ToUtf8Field(in, kFieldBuf, out) ? 0 : -1;
}

int FileEventDB::mbstowcsIfNeed(const char* in, std::wstring& out) {
  if (!in) {
    out.clear();
    return 0;
  }
  return UTF8ToNativeStr(in, out) == 0 ? 0 : -1;
}

namespace {

// SQLite's structural check of every page, without the slower index
// comparison of a full integrity check. `why` gets its first complaint.
bool QuickCheck(Db& db, std::string& why) {
  Stmt st;
  if (st.Prepare(db.get(), "PRAGMA quick_check(1);") != SQLITE_OK || st.Step() != SQLITE_ROW) {
    why = db.ErrMsg();
    return false;
  }
  why = st.ColumnText(0);
  return why == "ok";
}

// Columns added to a table after it was first made, with what the rows
// written before them mean. The first removal intents were all folders whose
// removal the server had refused.
struct AddedColumn {
  const char* table;
  const char* column;
  const char* definition;
};
constexpr AddedColumn kAddedColumns[] = {
    {"removal_intent", "isDir", "INTEGER NOT NULL DEFAULT 1"},
    {"removal_intent", "refused", "INTEGER NOT NULL DEFAULT 1"},
};

// Adds each of kAddedColumns its table lacks. SQLITE_OK or the failing
// statement's result code (`err` set).
int AddMissingColumns(Db& db, std::string& err) {
  for (const AddedColumn& c : kAddedColumns) {
    Stmt st;
    int rc = st.Prepare(db.get(), std::string("PRAGMA table_info(") + c.table + ");");
    bool found = false;
    if (rc == SQLITE_OK) {
      while ((rc = st.Step()) == SQLITE_ROW) found = found || st.ColumnText(1) == c.column;
    }
    if (rc != SQLITE_DONE) {
      err = db.ErrMsg();
      return rc;
    }
    if (found) continue;
    const std::string alter = std::string("ALTER TABLE ") + c.table + " ADD COLUMN " + c.column +
                              " " + c.definition + ";";
    rc = db.Exec(alter.c_str(), &err);
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

}  // namespace

int FileEventDB::initialize(const std::wstring& location) {
  MutexLock lock(m_dbMutex);
  if (m_db.IsOpen()) {
    SF_LOG(L_INFO, L"[INFO] event-db(%d): FileEventDB has been initialized (no-op)\n");
    return 0;
  }
  std::string path;
  if (!sqlite_util::ToUtf8Field(location, kLocationBuf, path)) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): FileEventDB: Failed to open database at '%s'. [%d] %s\n",
           location, SQLITE_CANTOPEN, "location is not convertible or too long");
    return -1;
  }
  Db db;
  int rc = db.OpenShared(path);
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): FileEventDB: Failed to open database at '%s'. [%d] %s\n",
           path, rc, db.ErrMsg());
    return -1;
  }
  std::string err;
  // Only this process writes the file, so a write-ahead log costs no other
  // program anything, and a commit becomes one flush of the log instead of a
  // journal made, flushed twice, the database flushed and the journal
  // removed: every synced file commits here. The flush per commit stays, so
  // a committed row survives a power cut as before. A file system without
  // shared memory for the log's index refuses the mode; the rollback
  // journal then stays.
  if (db.Exec("PRAGMA journal_mode=WAL;", &err) != SQLITE_OK) {
    SF_LOG(L_WARNING, L"[WARNING] event-db(%d): write-ahead log refused, the rollback journal stays: %s\n",
           err);
  }
  rc = db.Exec(kSchema, &err);
  if (rc == SQLITE_OK) rc = AddMissingColumns(db, err);
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR,
           L"[ERROR] event-db(%d): FileEventDB: Failed to initialize database at '%s'. [%d] %s\n",
           path, rc, err);
    return -1;
  }
  // Damage past the first pages shows only when a row on them is read,
  // in the middle of a sync: refuse it here, where the user can act on it.
  if (!QuickCheck(db, err)) {
    SF_LOG(L_ERR,
           L"[ERROR] event-db(%d): FileEventDB: Failed to initialize database at '%s'. [%d] %s\n",
           path, SQLITE_CORRUPT, err);
    return -1;
  }
  rc = sqlite3_create_function(db.get(), "remove_signature", 1, SQLITE_UTF8, nullptr,
                               SQLRemoveSignatureFunction, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): FileEventDB: Failed to create function. %s (%d)\n",
           db.ErrMsg(), rc);
    return -1;
  }
  m_db = std::move(db);
  m_eventDBPath = path;
  SF_LOG(L_INFO, L"[INFO] event-db(%d): FileEventDB has been initialized with location '%s'\n",
         path);
  return 0;
}

void FileEventDB::destroy() {
  MutexLock lock(m_dbMutex);
  if (m_db.IsOpen()) {
    m_db.Close();
    SF_LOG(L_INFO, L"[INFO] event-db(%d): FileEventDB has been deinitialzed\n");
  } else {
    SF_LOG(L_INFO, L"[INFO] event-db(%d): FileEventDB has been deinitialzed (no-op)\n");
  }
}

int FileEventDB::getEventInfo(const std::wstring& wpath, ClientFileEventInfo& info) {
  const std::wstring stripped = StripSlash(wpath);
  MutexLock lock(m_dbMutex);
  info.path.clear();
  if (stripped.empty()) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): The strpath is empty.\n");
    return -1;
  }
  std::string path;
  if (wcstombsIfNeed(stripped, path) != 0) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): get db info failed. event-path:[%s] errmsg:[%s]\n",
           stripped, "path is not convertible or longer than 4095 bytes");
    return -1;
  }
  Stmt st;
  int rc = st.PrepareCached(m_db, "select * from eventinfo where path=?");
  int rows = 0;
  if (rc == SQLITE_OK) {
    st.BindText(1, path);
    while ((rc = st.Step()) == SQLITE_ROW) {
      ++rows;
      for (int col = 1; col < st.ColumnCount(); ++col) {
        std::wstring* text = nullptr;
        switch (col) {
          case EVINFO_FILETYPE:
            info.fileType = static_cast<int32_t>(st.ColumnInt64(col));
            break;
          case EVINFO_ISEXIST:
            info.isExist = static_cast<int32_t>(st.ColumnInt64(col));
            break;
          case EVINFO_SYNCID:
            info.syncID = st.ColumnU64(col);
            break;
          case EVINFO_PDIRID:
            info.pDirID = st.ColumnU64(col);
            break;
          case EVINFO_FILESIZE:
            info.fileSize = st.ColumnU64(col);
            break;
          case EVINFO_FILEMODTIME:
            info.fileModTime = static_cast<uint32_t>(st.ColumnU64(col));
            break;
          case EVINFO_FILECHECKSUM:
            text = &info.fileCheckSum;
            break;
          case EVINFO_BASENAME:
            text = &info.baseName;
            break;
          case EVINFO_PATH:
            text = &info.path;
            break;
          case EVINFO_FILEPRIVILEGE:
            text = &info.filePrivilege;
            break;
          case EVINFO_UPDATECLIEN:
            text = &info.updateClient;
            break;
          case EVINFO_SIGNPATH:
            text = &info.signaturePath;
            break;
          case EVINFO_MACHASH:
            text = &info.macHash;
            break;
          case EVINFO_WINDOWSHASH:
            text = &info.windowsHash;
            break;
          case EVINFO_LINUXHASH:
            text = &info.linuxHash;
            break;
          case EVINFO_ZENTHASH:
            text = &info.zentHash;
            break;
          case EVINFO_INODE:
            info.inode = st.ColumnIsNull(col) ? 0 : st.ColumnU64(col);
            break;
          default:
            SF_LOG(L_ERR,
                   L"[ERROR] event-db(%d): mismatched db output index. row-idx:[%d] col-idx:[%d]\n",
                   rows, col);
            break;
        }
        if (!text) continue;
        const std::string u8 = st.ColumnText(col);
        if (mbstowcsIfNeed(u8.c_str(), *text) != 0) {
          SF_LOG(L_ERR, L"[ERROR] event-db(%d): get db info failed. event-path:[%s] errmsg:[%s]\n",
                 path, "stored text is not valid UTF-8");
          info.path.clear();
          return -1;
        }
        if (col == EVINFO_PATH) text->insert(0, 1, L'/');
      }
    }
  }
  if (rc != SQLITE_DONE) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): get db info failed. event-path:[%s] errmsg:[%s]\n", path,
           m_db.ErrMsg());
    info.path.clear();
    return -1;
  }
  if (rows == 0) return -1;

  if (info.fileType != EV_FILE_TYPE) {
    Stmt mx;
    rc = mx.PrepareCached(m_db,
                          std::string("SELECT max(syncID) FROM eventinfo WHERE ") + kSubtreeWhere);
    if (rc != SQLITE_OK) {
      SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_prepare_v2: [%d] %s\n", rc, m_db.ErrMsg());
    } else {
      BindSubtree(mx, path);
      rc = mx.Step();
      if (rc == SQLITE_ROW) {
        if (!mx.ColumnIsNull(0)) info.syncID = mx.ColumnU64(0);
      } else {
        SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_step: [%d] %s\n", rc, m_db.ErrMsg());
      }
    }
  }
  return 0;
}

int FileEventDB::setEventInfo(const ClientFileEventInfo& info) {
  const std::wstring stripped = StripSlash(info.path);
  MutexLock lock(m_dbMutex);
  if (stripped.empty()) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): setEventInfo: the path is empty.\n");
    return -1;
  }
  std::string checksum, baseName, path, privilege, client, sign, mac, win, lnx, zent;
  const FieldRef fields[] = {
      {&info.fileCheckSum, &checksum},
      {&info.baseName, &baseName},
      {&stripped, &path},
      {&info.filePrivilege, &privilege},
      {&info.updateClient, &client},
      {&info.signaturePath, &sign},
      {&info.macHash, &mac},
      {&info.windowsHash, &win},
      {&info.linuxHash, &lnx},
      {&info.zentHash, &zent},
  };
  for (const auto& f : fields) {
    if (wcstombsIfNeed(*f.value, *f.out) != 0) {
      SF_LOG(L_ERR,
             L"[ERROR] event-db(%d): setEventInfo: a text field of '%s' cannot be stored (not "
             L"convertible, holds a NUL, or longer than 4095 bytes of UTF-8; %d characters)\n",
             stripped, f.value->size());
      return -1;
    }
  }

  // Signature files that no row names any more once this write commits.
  std::vector<std::string> orphans;
  Transaction tx(m_db);
  if (!tx.ok()) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_exec: [%d] %s\n", tx.rc(), m_db.ErrMsg());
    return tx.rc();
  }
  const bool tombstone = info.isExist == 0 && info.fileType == EV_DIR_TYPE;
  Stmt old;
  int rc = old.PrepareCached(
      m_db, tombstone ? std::string("SELECT signPath FROM eventinfo WHERE ") + kSubtreeWhere +
                            " AND syncID <= ?4 AND isExist = 1"
                      : std::string("SELECT signPath FROM eventinfo WHERE path = ?1"));
  if (rc == SQLITE_OK) {
    if (tombstone) {
      BindSubtree(old, path);
      old.BindU64(4, info.syncID);
    } else {
      old.BindText(1, path);
    }
    while ((rc = old.Step()) == SQLITE_ROW) {
      std::string s = old.ColumnText(0);
      if (!s.empty() && s != sign) orphans.push_back(std::move(s));
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  old.Finalize();

  Stmt st;
  if (rc == SQLITE_OK) {
    if (!tombstone) {
      rc = st.PrepareCached(
          m_db,
          "insert or replace into eventinfo  (id, fileType, isExist, syncID, pDirID, "
          "fileSize, fileModTime, fileCheckSum, baseName, path, filePrivilege, "
          "updateClient, signPath, macHash, windowsHash, linuxHash, zentHash, inode) "
          "values(NULL, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);");
      if (rc == SQLITE_OK) {
        st.BindInt(1, info.fileType);
        st.BindInt(2, info.isExist);
        st.BindU64(3, info.syncID);
        st.BindU64(4, info.pDirID);
        st.BindU64(5, info.fileSize);
        st.BindInt64(6, info.fileModTime);
        int idx = 7;
        for (const auto& f : fields) st.BindText(idx++, *f.out);
        if (info.inode != 0) st.BindU64(idx, info.inode);  // else NULL: none recorded
      }
    } else {
      rc = st.PrepareCached(
          m_db, std::string("UPDATE eventinfo SET syncID = ?4, fileSize = 0, fileModTime = ?5, "
                            "fileCheckSum = '', updateClient = ?6, signPath = '', isExist = 0, "
                            "macHash = '', windowsHash = '', linuxHash = '', zentHash = '', "
                            "inode = NULL "
                            "WHERE ") +
                    kSubtreeWhere + " AND syncID <= ?4 AND isExist = 1;");
      if (rc == SQLITE_OK) {
        BindSubtree(st, path);
        st.BindU64(4, info.syncID);
        st.BindInt64(5, info.fileModTime);
        st.BindText(6, client);
      }
    }
    if (rc == SQLITE_OK) {
      rc = st.Step();
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
  }
  st.Finalize();
  if (rc == SQLITE_OK) rc = tx.Commit();
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): setEventInfo: failed to write '%s': [%d] %s\n", path, rc,
           m_db.ErrMsg());
    return rc;
  }
  for (const auto& o : orphans) {
    std::wstring w;
    if (mbstowcsIfNeed(o.c_str(), w) == 0) RemoveSignatureFile(w);
  }
  return 0;
}

int FileEventDB::rmEventInfo(const std::wstring& wpath) {
  const std::wstring stripped = StripSlash(wpath);
  MutexLock lock(m_dbMutex);
  if (stripped.empty()) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): The input strPath for rmEventInfo is empty.\n");
    return -1;
  }
  std::string path;
  if (wcstombsIfNeed(stripped, path) != 0) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_mprintf error. path:[%s]\n", stripped);
    return -1;
  }
  Stmt st;
  int rc = st.PrepareCached(m_db, std::string("delete from eventinfo where ") + kSubtreeWhere);
  if (rc == SQLITE_OK) {
    BindSubtree(st, path);
    rc = st.Step();
    if (rc == SQLITE_DONE) return 0;
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_exec: [%d] %s\n", rc, m_db.ErrMsg());
  return rc;
}

int FileEventDB::rmEventInfoV3(const std::wstring& wpath) {
  const std::wstring stripped = StripSlash(wpath);
  const size_t slash = stripped.rfind(L'/');
  if (slash == std::wstring::npos) return rmEventInfo(stripped);
  const std::wstring wparent = stripped.substr(0, slash);

  MutexLock lock(m_dbMutex);
  std::string path, parent;
  if (wcstombsIfNeed(stripped, path) != 0 || wcstombsIfNeed(wparent, parent) != 0) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_mprintf: out of memory\n");
    return -1;
  }
  Transaction tx(m_db);
  int rc = tx.rc();
  if (rc == SQLITE_OK) {
    Stmt up;
    rc = up.PrepareCached(
        m_db,
        "UPDATE eventinfo SET syncID = (SELECT syncID FROM eventinfo WHERE path = ?1) "
        "WHERE path = ?2 AND syncID < (SELECT syncID FROM eventinfo WHERE path = ?1)");
    if (rc == SQLITE_OK) {
      up.BindText(1, path);
      up.BindText(2, parent);
      rc = up.Step();
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
  }
  if (rc == SQLITE_OK) {
    Stmt del;
    rc = del.PrepareCached(m_db, std::string("DELETE FROM eventinfo WHERE ") + kSubtreeWhere);
    if (rc == SQLITE_OK) {
      BindSubtree(del, path);
      rc = del.Step();
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
  }
  if (rc == SQLITE_OK) rc = tx.Commit();
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_exec: [%d] %s\n", rc, m_db.ErrMsg());
    return -1;
  }
  return 0;
}

int FileEventDB::getSyncId(uint64_t& id) {
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc = st.PrepareCached(m_db, "SELECT value FROM config_table WHERE key = 'sync_id';");
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_prepare_v2: [%d] %s\n", rc, m_db.ErrMsg());
    return -1;
  }
  rc = st.Step();
  if (rc != SQLITE_ROW) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_step: [%d] %s\n", rc, m_db.ErrMsg());
    return -1;
  }
  // Stored as decimal text; read it as text so that values above 2^63 survive.
  uint64_t v = 0;
  if (sqlite3_column_type(st.get(), 0) == SQLITE_TEXT) {
    if (!sqlite_util::ParseU64(st.ColumnText(0), v)) {
      SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_step: [%d] %s\n", SQLITE_MISMATCH,
             "stored sync id is not a number");
      return -1;
    }
  } else {
    v = st.ColumnU64(0);
  }
  id = v;
  return 0;
}

int FileEventDB::setSyncId(uint64_t id) {
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc = st.PrepareCached(m_db, "UPDATE config_table SET value = ? WHERE key = 'sync_id';");
  if (rc == SQLITE_OK) {
    st.BindText(1, std::to_string(id));
    rc = st.Step();
    if (rc == SQLITE_DONE) {
      if (sqlite3_changes(m_db.get()) == 1) return 0;
      SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_exec: [%d] %s\n", SQLITE_NOTFOUND,
             "the sync_id row is missing");
      return -1;
    }
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_exec: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}

int FileEventDB::countExisting(const std::wstring& wprefix, uint64_t& count) {
  count = 0;
  const bool all = wprefix.empty() || wprefix == L"/";
  std::string prefix;
  if (!all && wcstombsIfNeed(StripSlash(wprefix), prefix) != 0) return -1;
  MutexLock lock(m_dbMutex);
  Stmt st;
  if (PrepareExisting(m_db, st, "count(*)", all, prefix) != 0) return -1;
  const int rc = st.Step();
  if (rc != SQLITE_ROW) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_step: [%d] %s\n", rc, m_db.ErrMsg());
    return -1;
  }
  count = st.ColumnU64(0);
  return 0;
}

int FileEventDB::getFileList(FileList& list, const std::wstring& wprefix) {
  const bool all = wprefix.empty() || wprefix == L"/";
  std::string prefix;
  if (!all && wcstombsIfNeed(StripSlash(wprefix), prefix) != 0) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_prepare_v2: [%d] %s\n", SQLITE_TOOBIG,
           "prefix is not convertible or longer than 4095 bytes");
    return -1;
  }
  MutexLock lock(m_dbMutex);
  Stmt st;
  if (PrepareExisting(m_db, st, "fileType, fileModTime, fileSize, path, inode, linuxHash", all,
                      prefix) != 0)
    return -1;
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    const int type = static_cast<int>(st.ColumnInt64(0));
    const uint32_t mtime = static_cast<uint32_t>(st.ColumnU64(1));
    const uint64_t size = st.ColumnU64(2);
    std::wstring path;
    if (mbstowcsIfNeed(st.ColumnText(3).c_str(), path) != 0) {
      SF_LOG(L_ERR,
             L"[ERROR] event-db(%d): getFileList: skipping a row whose path is not UTF-8 '%s'\n",
             st.ColumnText(3));
      continue;
    }
    if (type == EV_FILE_TYPE) {
      SF_LOG(L_DEBUG, L"[DEBUG] event-db(%d): getFileList: AddFile '%s'\n", path);
      FileList::Stamp stamp;
      if (!st.ColumnIsNull(4)) {
        stamp.ino = st.ColumnU64(4);
        stamp.ctime = ParseChangeTime(st.ColumnText(5));
      }
      list.AddFile(path, mtime, size, stamp);
    } else {
      SF_LOG(L_DEBUG, L"[DEBUG] event-db(%d): getFileList: AddDirectory '%s'\n", path);
      list.AddDirectory(path, mtime);
    }
  }
  if (rc != SQLITE_DONE) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_step: [%d] %s\n", rc, m_db.ErrMsg());
    return -1;
  }
  return 0;
}

void ClientFileEventInfo::SetStamp(uint64_t ino, int64_t ctime_ns) {
  inode = ino;
  linuxHash = ino != 0 && ctime_ns > 0 ? std::to_wstring(ctime_ns) : std::wstring();
}

int64_t ClientFileEventInfo::ChangeTime() const {
  std::string text;
  return FileEventDB::wcstombsIfNeed(linuxHash, text) == 0 ? ParseChangeTime(text) : 0;
}

int FileEventDB::getPathsByInode(uint64_t inode, std::vector<std::wstring>& paths) {
  paths.clear();
  if (inode == 0) return 0;
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc = st.PrepareCached(
      m_db, "SELECT path FROM eventinfo WHERE inode = ? AND isExist = 1 AND fileType = 0;");
  if (rc == SQLITE_OK) {
    st.BindU64(1, inode);
    while ((rc = st.Step()) == SQLITE_ROW) {
      std::wstring path;
      if (mbstowcsIfNeed(st.ColumnText(0).c_str(), path) != 0) continue;
      paths.push_back(L"/" + path);
    }
  }
  if (rc != SQLITE_DONE) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_step: [%d] %s\n", rc, m_db.ErrMsg());
    return -1;
  }
  return 0;
}

int FileEventDB::setStamp(const std::wstring& wpath, const std::wstring& wchecksum, uint64_t inode,
                          int64_t ctime_ns) {
  std::string path, checksum;
  if (wcstombsIfNeed(StripSlash(wpath), path) != 0 || wcstombsIfNeed(wchecksum, checksum) != 0 ||
      inode == 0 || ctime_ns <= 0)
    return -1;
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc = st.PrepareCached(m_db,
                            "UPDATE eventinfo SET inode = ?1, linuxHash = ?2 WHERE path = ?3 AND "
                            "isExist = 1 AND fileType = 0 AND fileCheckSum = ?4;");
  if (rc == SQLITE_OK) {
    st.BindU64(1, inode);
    st.BindText(2, std::to_string(ctime_ns));
    st.BindText(3, path);
    st.BindText(4, checksum);
    rc = st.Step();
    if (rc == SQLITE_DONE) return 0;
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_exec: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}

int FileEventDB::adoptStamps(const std::vector<Adoption>& adoptions) {
  if (adoptions.empty()) return 0;
  MutexLock lock(m_dbMutex);
  Transaction tx(m_db);
  int rc = tx.rc();
  for (size_t i = 0; rc == SQLITE_OK && i < adoptions.size(); ++i) {
    const Adoption& a = adoptions[i];
    std::string path;
    if (a.inode == 0 || a.ctime_ns <= 0 || wcstombsIfNeed(StripSlash(a.path), path) != 0) continue;
    Stmt st;
    rc = st.PrepareCached(m_db,
                          "UPDATE eventinfo SET inode = ?1, linuxHash = ?2 WHERE path = ?3 AND "
                          "inode IS NULL AND isExist = 1 AND fileType = 0 AND fileSize = ?4 AND "
                          "fileModTime = ?5;");
    if (rc != SQLITE_OK) break;
    st.BindU64(1, a.inode);
    st.BindText(2, std::to_string(a.ctime_ns));
    st.BindText(3, path);
    st.BindU64(4, a.size);
    st.BindInt64(5, a.mtime);
    rc = st.Step();
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc == SQLITE_OK) rc = tx.Commit();
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] event-db(%d): sqlite3_exec: [%d] %s\n", rc, m_db.ErrMsg());
    return -1;
  }
  return 0;
}
