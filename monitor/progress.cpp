#include "monitor/progress.h"

#include "lib/base/sqlite-util.h"

namespace monitor {

namespace {

constexpr int kStatusSynced = 1;
constexpr int kStatusSyncingRow = 2;
constexpr int kStatusUnsupported = 3;
constexpr int kShowSyncing = 3;

}  // namespace

ProgressReader::ProgressReader(std::string db_path, std::string root)
    : m_path(std::move(db_path)), m_root(std::move(root)) {}

bool ProgressReader::Open() {
  if (m_db) return true;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(m_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, Closer> owner(db);
  if (rc != SQLITE_OK) return false;
  // No busy handler: a locked database is skipped, never waited for.
  sqlite3_busy_timeout(db, 0);
  m_db = std::move(owner);
  return true;
}

bool ProgressReader::Read(Progress& out) {
  if (m_path.empty() || !Open()) return false;
  Progress p;
  sqlite_util::Stmt counts;
  if (counts.Prepare(m_db.get(),
                     "SELECT syncStatus, count(*) FROM fstatinfo GROUP BY syncStatus") !=
      SQLITE_OK) {
    // Missing table (the daemon has not created it yet) or a replaced file:
    // start from a fresh connection next time.
    m_db.reset();
    return false;
  }
  int rc;
  while ((rc = counts.Step()) == SQLITE_ROW) {
    const int64_t n = counts.ColumnInt64(1);
    switch (counts.ColumnInt64(0)) {
      case kStatusSynced:
        p.synced = n;
        break;
      case kStatusSyncingRow:
        p.syncing = n;
        break;
      case kStatusUnsupported:
        p.unsupported = n;
        break;
      default:
        break;
    }
  }
  if (rc != SQLITE_DONE) return false;
  if (p.syncing > 0) {
    sqlite_util::Stmt now;
    if (now.Prepare(m_db.get(), "SELECT path FROM fstatinfo WHERE syncStatus = 2 LIMIT " +
                                    std::to_string(kShowSyncing)) != SQLITE_OK)
      return false;
    while ((rc = now.Step()) == SQLITE_ROW) {
      std::string path = now.ColumnText(0);
      if (!m_root.empty() && path.compare(0, m_root.size(), m_root) == 0 &&
          (path.size() == m_root.size() || path[m_root.size()] == '/'))
        path.erase(0, m_root.size());
      p.now.push_back(path.empty() ? "/" : path);
    }
    if (rc != SQLITE_DONE) return false;
  }
  p.available = true;
  out = p;
  return true;
}

}  // namespace monitor
