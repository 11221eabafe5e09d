// The daemon's task factory: the tasks the task manager runs, for the
// configured protocol generation.
#pragma once

#include "client/core/client-task-mgr.h"

class DaemonTaskFactory : public TaskFactory {
 public:
  Task* CreateExpander(TaskManager* owner) override;
};
