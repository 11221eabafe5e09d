// What the engine's wire readers need around them in a fuzz target: a
// configuration in the scratch directory, a task manager without tasks, a
// worker and a syncer whose protected exchanges are opened up, and the
// temporary-file folder. Built once per process.
#pragma once

#include <memory>

#include "client/core/client-task-mgr.h"
#include "client/core/sysinfo-mgr.h"
#include "client/core/task.h"
#include "client/sync/syncer.h"
#include "client/sync/worker.h"

namespace sffuzz {

class FuzzWorker : public Worker4 {
 public:
  using Worker4::Worker4;
  using Worker::ProtoRemoveObject;
  using Worker::ProtoUploadObject;
  using Worker::ReadDownloadResponse;
};

class FuzzSyncer : public Syncer4 {
 public:
  using Syncer4::Syncer4;
  using Syncer::ProtoPullEvent;
};

struct EngineEnv {
  std::unique_ptr<SFSysInfo> cfg;
  std::unique_ptr<TaskManager> mgr;
  TaskContext mailbox;
  std::unique_ptr<FuzzWorker> worker;
  std::unique_ptr<FuzzSyncer> syncer;
};

// The process's environment (Init() included).
EngineEnv& Engine();

}  // namespace sffuzz
