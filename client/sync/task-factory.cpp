#include "client/sync/task-factory.h"

#include "client/local/expander.h"

Task* DaemonTaskFactory::CreateExpander(TaskManager* owner) {
  return new Expander(owner);
}
