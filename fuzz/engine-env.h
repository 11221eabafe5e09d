// What the engine's wire readers need around them in a fuzz target: a
// configuration in the scratch directory, a task manager without tasks, a
// syncer whose protected exchange is opened up, and the temporary-file
// folder. Built once per process. (The workers' exchanges are in lib/proto,
// fuzzed without an engine.)
#pragma once

#include <memory>

#include "client/core/client-task-mgr.h"
#include "client/core/sysinfo-mgr.h"
#include "client/sync/syncer.h"

namespace sffuzz {

class FuzzSyncer : public Syncer4 {
 public:
  using Syncer4::Syncer4;
  using Syncer::ProtoPullEvent;
};

struct EngineEnv {
  std::unique_ptr<SFSysInfo> cfg;
  std::unique_ptr<TaskManager> mgr;
  std::unique_ptr<FuzzSyncer> syncer;
};

// The process's environment (Init() included).
EngineEnv& Engine();

}  // namespace sffuzz
