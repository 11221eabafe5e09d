// The syncer: keeps the client informed of changes made on the server. It
// pulls every change after the last sync id it has processed, hands each to
// the task manager as a server event, waits until the workers have finished
// all server events, and only then stores the server's newest sync id, so
// that a stop or a crash in between repeats the pull and loses nothing.
//
// Syncer4 (protocol 4.0) and Syncer3 (protocol 3) behave the same; they
// differ only in the module name of their log lines.
//
// Thread: its own task thread runs DoTask. It waits in Task::Wait between
// rounds and while the workers finish, and in its channel's waits during a
// pull; Stop raises abort_flag (the pull then ends with ERR_INT) and stops
// the task.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "client/sync/sync-task.h"
#include "lib/proto/proto-client.h"

// One pull round.
struct PullEventContext {
  uint64_t from_id = 0;  // the sync id asked from
  std::wstring session;
  int response = 0;  // the server's result code
  uint64_t to_id = 0;  // the server's newest sync id
  std::list<PullEntry> entries;
  uint32_t alive = 0;  // keep-alive granted with the answer; 0 closes
};

class Syncer : public SyncTask {
 public:
  // Seconds between pulls that brought nothing new, and of the waits the
  // error policy asks for.
  static constexpr int kIdleWait = 5;
  static constexpr int kRetryWait = 3;
  static constexpr int kLongWait = 120;

  // `generation` is 3 or 4.
  Syncer(TaskManager* owner, int generation);
  ~Syncer() override;

  void DoTask() override;

  // Maps a round's result to 0 (process the events), 1 (retry after
  // kRetryWait), 2 (retry after kLongWait), 3 (retry after a wait that
  // grows from kRetryWait, doubled with each such round in a row, up to
  // kLongWait: see NextProtoWait) or -1 (unexpected code). Public for
  // tests.
  int HandleError(int e);
  // The wait before the next pull after an answer that made no sense, and
  // twice that (at most kLongWait) for the one after it. A pull that
  // succeeds starts over.
  int NextProtoWait();
  // The server event a pulled entry stands for.
  static Event MakeEvent(const PullEntry& entry);

  // Tests: a shorter wait between pulls that bring nothing.
  void SetIdleWait(int seconds) { m_idle_wait = seconds; }
  // The sync id whose events are all done (syncer thread; tests read it
  // after Stop).
  uint64_t SyncId() const { return sync_id; }

 protected:
  // Borrows a connection and runs one pull. 0, or an ERR_ code (a refusal
  // by the server as its mapped code).
  int PullEvent(PullEventContext& ctx);
  int ProtoPullEvent(Channel& ch, PullEventContext& ctx);
  // Hands the round's events over, waits for the workers and stores the
  // new sync id. 0, or -1 when stopped before the workers were done.
  int ProcessEvents(PullEventContext& ctx);
  // 0 once no server event is pending, -1 when the task stops first.
  int WaitForWorkers();
  // Queues again the removals the server has not carried out (see
  // FileEventDB::RemovalIntent): every one not overtaken since (`all`, at
  // start-up: the queues of the last run are gone), or else each folder
  // removal the server refused, once this client has seen more than when
  // it was last sent.
  void ResendRemovals(bool all);

  uint64_t sync_id = 0;  // syncer thread only
  int m_idle_wait = kIdleWait;
  // A pull cannot be set aside as a worker's event can: nothing else goes on
  // without it. A server that keeps answering nonsense is asked less and
  // less often instead. Syncer thread only.
  const int m_proto_first;
  int m_proto_wait;
};

class Syncer4 : public Syncer {
 public:
  explicit Syncer4(TaskManager* owner) : Syncer(owner, 4) {}
  ~Syncer4() override { Stop(); }
};

class Syncer3 : public Syncer {
 public:
  explicit Syncer3(TaskManager* owner) : Syncer(owner, 3) {}
  ~Syncer3() override { Stop(); }
};
