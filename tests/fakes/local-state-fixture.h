// A temporary sync root and database folder with a configuration pointing at
// them and the file status (and optionally file event) databases open: the
// state that the task manager, the detector and the expander work against.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "client/core/sysinfo-mgr.h"
#include "client/store/event-db.h"
#include "client/store/file-status-db.h"
#include "fakes/test-util.h"
#include "lib/base/utility.h"

class LocalStateTest : public ::testing::Test {
 protected:
  // `extra_config` is appended to the generated configuration.
  void SetUpLocalState(const std::string& extra_config = "", bool event_db = true) {
    ASSERT_EQ(mkdir(dir.Sub("sync").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.Sub("db").c_str(), 0755), 0);
    sftest::WriteFile(dir.Sub("client.conf"), "watch = \"" + dir.Sub("sync") + "\"\ndb_loc = \"" +
                                                  dir.Sub("db") + "\"\n" + extra_config);
    cfg = std::make_unique<SFSysInfo>(Utf8ToWideLossy(dir.Sub("client.conf")).c_str());
    ASSERT_EQ(FileStatusDB::initialize(Utf8ToWideLossy(dir.Sub("db/file-status.sqlite"))), 0);
    if (event_db) {
      FileEventDB::destroy();
      ASSERT_EQ(FileEventDB::initialize(Utf8ToWideLossy(dir.Sub("db/event-db.sqlite"))), 0);
    }
  }

  sftest::TempDir dir;
  std::unique_ptr<SFSysInfo> cfg;
};
