#include "client/store/watchinfo-db.h"

#include "lib/base/log.h"
#include "lib/base/sqlite-util.h"
#include "lib/base/utility.h"

namespace {

constexpr wchar_t kLogComponent[] = L"watchinfo_db_debug";

using sqlite_util::Db;
using sqlite_util::Stmt;

const char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS watchinfo (watchpath text unique NOT NULL, daestatus integer NOT "
    "NULL);";

int OpenConn(Db& db, const std::string& path) {
  int rc = db.OpenShared(path);
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR,
           L"[ERROR] watchinfo-db(%d): open db failed. db-path:[%s] errCode:[%d] errmsg:[%s]\n",
           path, rc, db.ErrMsg());
  }
  return rc;
}

int RunWrite(Db& db, Stmt& st) {
  int rc = st.Step();
  if (rc != SQLITE_DONE) {
    SF_LOG(L_ERR, L"[ERROR] watchinfo-db(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
           db.ErrMsg());
    return rc;
  }
  return 0;
}

}  // namespace

std::string WatchInfoDB::m_watchinfoDBPath;

int WatchInfoDB::initialize(const std::wstring& location) {
  if (location.empty()) {
    SF_LOG(L_ERR, L"[ERROR] watchinfo-db(%d): watchinfo-db path is empty.\n");
    return -1;
  }
  std::string path;
  if (!sqlite_util::ToUtf8Field(location, kLocationBuf, path)) {
    SF_LOG(L_ERR, L"[ERROR] watchinfo-db(%d): open db failed. db-path:[%s] errmsg:[%s]\n", location,
           "location is not convertible or too long");
    return -1;
  }
  m_watchinfoDBPath = path;
  Db db;
  if (db.OpenShared(path) != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] watchinfo-db(%d): open db failed. db-path:[%s] errmsg:[%s]\n", path,
           db.ErrMsg());
    return -1;
  }
  std::string err;
  if (db.Exec(kCreateTable, &err) != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] watchinfo-db(%d): sqlite3_exec error. cmd:(%s)  error:(%s)\n",
           kCreateTable, err);
    return -1;
  }
  return 0;
}

int WatchInfoDB::setWatchPath(const std::wstring& folder) {
  std::string u8;
  if (!sqlite_util::ToUtf8Field(folder, kFolderBuf, u8)) {
    SF_LOG(L_ERR, L"[ERROR] watchinfo-db(%d): sqlite3_mprintf error. folder:(%s)\n", folder);
    return -1;
  }
  Db db;
  if (int rc = OpenConn(db, m_watchinfoDBPath)) return rc;
  Stmt st;
  int rc = st.Prepare(db.get(),
                      "insert or replace into watchinfo  (watchpath, daestatus)  values(?, ?);");
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] watchinfo-db(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
           db.ErrMsg());
    return rc;
  }
  st.BindText(1, u8);
  st.BindInt(2, DAE_STAT_UNKNOWN);
  return RunWrite(db, st);
}

int WatchInfoDB::updateDaemonStatus(int status) {
  Db db;
  if (int rc = OpenConn(db, m_watchinfoDBPath)) return rc;
  Stmt st;
  int rc = st.Prepare(db.get(), "update watchinfo  set daestatus=?; ");
  if (rc != SQLITE_OK) {
    SF_LOG(L_ERR, L"[ERROR] watchinfo-db(%d): sqlite3_exec error. errCode:(%d) error:[%s]\n", rc,
           db.ErrMsg());
    return rc;
  }
  st.BindInt(1, status);
  return RunWrite(db, st);
}

int WatchInfoDB::getWatchInfo(WatchInfo* info) {
  if (!info) {
    SF_LOG(L_ERR, L"[ERROR] watchinfo-db(%d): input parameter of pwatchInfo is NULL.\n");
    return -1;
  }
  info->daeStatus = 0;
  Db db;
  if (int rc = OpenConn(db, m_watchinfoDBPath)) return rc;
  Stmt st;
  int rc = st.Prepare(db.get(), "select * from watchinfo limit 1");
  if (rc == SQLITE_OK) rc = st.Step();
  if (rc == SQLITE_DONE) return -1;
  if (rc != SQLITE_ROW) {
    SF_LOG(L_ERR,
           L"[ERROR] watchinfo-db(%d): get fstat info failed. file-path:[%s] errCode:[%d] "
           L"errmsg:[%s]\n",
           m_watchinfoDBPath, rc, db.ErrMsg());
    return rc;
  }
  for (int col = 0; col < st.ColumnCount(); ++col) {
    if (col == WINFO_ID_PATH) {
      std::wstring w;
      if (UTF8ToNativeStr(st.ColumnText(col), w) != 0) w = Utf8ToWideLossy(st.ColumnText(col));
      info->watchPath = w;
    } else if (col == WINFO_ID_STATUS) {
      info->daeStatus = static_cast<int32_t>(st.ColumnInt64(col));
    } else {
      SF_LOG(L_ERR,
             L"[ERROR] watchinfo-db(%d): watchinfo mismatched db output index. row-idx:[%d] "
             L"col-idx:[%d]\n",
             1, col);
    }
  }
  return 0;
}
