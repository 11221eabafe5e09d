// What this client changed itself and the server has not brought back or
// carried out yet: the ids its uploads and folder creations got back (table
// own_change), and the removals the user made (table removal_intent). Both
// live in the file event database, beside the cursor they are measured
// against, so a restart finds them as they were.
#include <string>
#include <vector>

#include "client/store/event-db.h"
#include "lib/base/log.h"

namespace {

constexpr wchar_t kLogComponent[] = L"event_db_debug";

using sqlite_util::Stmt;

std::string Stripped(const std::wstring& path) {
  std::string out;
  const std::wstring s = !path.empty() && path[0] == L'/' ? path.substr(1) : path;
  if (FileEventDB::wcstombsIfNeed(s, out) != 0) out.clear();
  return out;
}

}  // namespace

int FileEventDB::addOwnSyncId(uint64_t id) {
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc = st.PrepareCached(m_db, "INSERT OR IGNORE INTO own_change (syncID) VALUES (?1);");
  if (rc == SQLITE_OK) {
    st.BindU64(1, id);
    rc = st.Step();
    if (rc == SQLITE_DONE) return 0;
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): addOwnSyncId: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}

int FileEventDB::isOwnSyncId(uint64_t id, bool& own) {
  own = false;
  uint64_t cursor = 0;
  if (getSyncId(cursor) != 0) return -1;
  if (id <= cursor) return 0;
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc = st.PrepareCached(m_db, "SELECT 1 FROM own_change WHERE syncID = ?1;");
  if (rc == SQLITE_OK) {
    st.BindU64(1, id);
    rc = st.Step();
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
      own = rc == SQLITE_ROW;
      return 0;
    }
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): isOwnSyncId: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}

int FileEventDB::getSeenSyncId(uint64_t& seen) {
  uint64_t cursor = 0;
  if (getSyncId(cursor) != 0) return -1;
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc =
      st.PrepareCached(m_db, "SELECT syncID FROM own_change WHERE syncID > ?1 ORDER BY syncID;");
  if (rc == SQLITE_OK) {
    st.BindU64(1, cursor);
    // An id made by another client ends the run: this client has not seen it.
    while ((rc = st.Step()) == SQLITE_ROW && st.ColumnU64(0) == cursor + 1) ++cursor;
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
      seen = cursor;
      return 0;
    }
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): getSeenSyncId: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}

int FileEventDB::pruneOwnSyncIds(uint64_t cursor) {
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc = st.PrepareCached(m_db, "DELETE FROM own_change WHERE syncID <= ?1;");
  if (rc == SQLITE_OK) {
    st.BindU64(1, cursor);
    rc = st.Step();
    if (rc == SQLITE_DONE) return 0;
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): pruneOwnSyncIds: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}

bool FileEventDB::RemovalIntent::Overtaken(const ClientFileEventInfo* row) const {
  if (row == nullptr || !row->isExist) return true;
  return !is_dir && (!row->IsFile() || row->syncID != base);
}

int FileEventDB::setRemovalIntents(const std::vector<RemovalIntent>& intents) {
  if (intents.empty()) return 0;
  MutexLock lock(m_dbMutex);
  sqlite_util::Transaction tx(m_db);
  int rc = tx.rc();
  for (size_t n = 0; rc == SQLITE_OK && n < intents.size(); ++n) {
    const RemovalIntent& i = intents[n];
    const std::string path = Stripped(i.path);
    if (path.empty()) continue;
    Stmt st;
    // A refused one queued again is the same removal: it stays refused (and
    // is sent again once more is seen) until the server's answer ends it.
    rc =
        st.PrepareCached(m_db,
                         "INSERT INTO removal_intent (path, base, isDir, refused) "
                         "VALUES (?1, ?2, ?3, ?4) ON CONFLICT(path) DO UPDATE SET "
                         "base = excluded.base, isDir = excluded.isDir, refused = excluded.refused "
                         "WHERE excluded.refused OR NOT removal_intent.refused;");
    if (rc != SQLITE_OK) break;
    st.BindText(1, path);
    st.BindU64(2, i.base);
    st.BindInt(3, i.is_dir ? 1 : 0);
    st.BindInt(4, i.refused ? 1 : 0);
    rc = st.Step();
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  if (rc == SQLITE_OK) rc = tx.Commit();
  if (rc == SQLITE_OK) return 0;
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): setRemovalIntent: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}

int FileEventDB::setRemovalIntent(const RemovalIntent& intent) {
  return setRemovalIntents({intent});
}

int FileEventDB::rmRemovalIntent(const std::wstring& wpath) {
  const std::string path = Stripped(wpath);
  if (path.empty()) return -1;
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc = st.PrepareCached(
      m_db, "DELETE FROM removal_intent WHERE path = ?1 OR (path >= ?2 AND path < ?3);");
  if (rc == SQLITE_OK) {
    const auto r = sqlite_util::BelowPrefix(path, '/');
    st.BindText(1, path);
    st.BindText(2, r.lo);
    st.BindText(3, r.hi);
    rc = st.Step();
    if (rc == SQLITE_DONE) return 0;
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): rmRemovalIntent: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}

int FileEventDB::getRemovalIntents(std::vector<RemovalIntent>& out) {
  out.clear();
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc = st.PrepareCached(m_db,
                            "SELECT path, base, isDir, refused FROM removal_intent ORDER BY path;");
  if (rc == SQLITE_OK) {
    while ((rc = st.Step()) == SQLITE_ROW) {
      RemovalIntent i;
      if (mbstowcsIfNeed(st.ColumnText(0).c_str(), i.path) != 0) continue;
      i.path.insert(0, 1, L'/');
      i.base = st.ColumnU64(1);
      i.is_dir = st.ColumnInt64(2) != 0;
      i.refused = st.ColumnInt64(3) != 0;
      out.push_back(std::move(i));
    }
    if (rc == SQLITE_DONE) return 0;
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): getRemovalIntents: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}

int FileEventDB::findRemovalIntent(const std::wstring& wpath, RemovalIntent& out) {
  const std::string path = Stripped(wpath);
  if (path.empty()) return 0;
  MutexLock lock(m_dbMutex);
  Stmt st;
  int rc =
      st.PrepareCached(m_db, "SELECT base, isDir, refused FROM removal_intent WHERE path = ?1;");
  // The path itself and each folder above it, shortest first.
  for (size_t end = path.find('/'); rc == SQLITE_OK; end = path.find('/', end + 1)) {
    const std::string at = path.substr(0, end);
    st.BindText(1, at);
    rc = st.Step();
    if (rc == SQLITE_ROW) {
      std::wstring w;
      if (mbstowcsIfNeed(at.c_str(), w) != 0) return -1;
      out.path = L"/" + w;
      out.base = st.ColumnU64(0);
      out.is_dir = st.ColumnInt64(1) != 0;
      out.refused = st.ColumnInt64(2) != 0;
      return 1;
    }
    if (rc != SQLITE_DONE) break;
    rc = st.Reset();
    if (end == std::string::npos) return 0;
  }
  SF_LOG(L_ERR, L"[ERROR] event-db(%d): findRemovalIntent: [%d] %s\n", rc, m_db.ErrMsg());
  return -1;
}
