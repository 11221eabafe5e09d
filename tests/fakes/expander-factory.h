// A task factory that makes only the expander, which tests (and the scan
// benchmark) then drive directly instead of through its thread.
#pragma once

#include "client/core/client-task-mgr.h"
#include "client/local/expander.h"

class ExpanderOnlyFactory : public TaskFactory {
 public:
  Task* CreateExpander(TaskManager* owner) override {
    expander = new Expander(owner);
    return expander;
  }
  Expander* expander = nullptr;  // owned by the task manager
};
