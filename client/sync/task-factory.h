// The daemon's task factory: the tasks the task manager runs, for the
// configured protocol generation.
#pragma once

#include "client/core/client-task-mgr.h"

class DaemonTaskFactory : public TaskFactory {
 public:
  Task* CreateExpander(TaskManager* owner) override;
  // Syncer3 for protocol 3, Syncer4 otherwise.
  ServerTask* CreateSyncer(TaskManager* owner, int proto_version) override;
  // Worker3 for protocol 3, Worker4 otherwise.
  ServerTask* CreateWorker(TaskManager* owner, TaskContext* ctx, int index,
                           int proto_version) override;
};
