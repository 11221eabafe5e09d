// Reads progress from the daemon's file status database: how many paths are
// still marked syncing, how many are synced. The database is the daemon's;
// the monitor opens it read-only and never waits for the daemon's locks: a
// busy database keeps the last numbers until the next try, so a repaint is
// never held up by the daemon. Not thread-safe; used by the monitor's thread.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "monitor/monitor-state.h"

namespace monitor {

class ProgressReader {
 public:
  // `db_path`: the file status database; `root`: the sync root, stripped from
  // the stored paths so that they read like the file events.
  ProgressReader(std::string db_path, std::string root);

  // Fills `out`. Returns false, leaving `out` alone, when the database does
  // not exist yet, is busy or cannot be read.
  [[nodiscard]] bool Read(Progress& out);

 private:
  struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  [[nodiscard]] bool Open();

  std::string m_path;
  std::string m_root;
  std::unique_ptr<sqlite3, Closer> m_db;
};

}  // namespace monitor
