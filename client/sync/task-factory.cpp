#include "client/sync/task-factory.h"

#include "client/local/expander.h"
#include "client/sync/syncer.h"
#include "client/sync/worker.h"

Task* DaemonTaskFactory::CreateExpander(TaskManager* owner) {
  return new Expander(owner);
}

ServerTask* DaemonTaskFactory::CreateSyncer(TaskManager* owner, int proto_version) {
  if (proto_version == 3) return new Syncer3(owner);
  return new Syncer4(owner);
}

ServerTask* DaemonTaskFactory::CreateWorker(TaskManager* owner, TaskContext* ctx, int index,
                                            int proto_version) {
  if (proto_version == 3) return new Worker3(owner, ctx, index);
  return new Worker4(owner, ctx, index);
}
