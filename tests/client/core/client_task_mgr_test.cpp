#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sqlite3.h>

#include <atomic>
#include <future>
#include <memory>
#include <vector>

#include "client/ui/ui-channel.h"
#include "client/core/client-task-mgr.h"
#include "client/core/excep-list.h"
#include "client/core/sysinfo-mgr.h"
#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "client/store/file-status-db.h"
#include "lib/base/utility.h"
#include "fakes/local-state-fixture.h"

namespace {

class FakeServerTask : public ServerTask {
 public:
  FakeServerTask(TaskManager* owner, TaskContext* ctx) : ServerTask(owner, ctx) {}
  ~FakeServerTask() override { Stop(); }
  bool IsConnected() const override { return connected; }
  TaskContext* mailbox() { return m_ctx; }
  std::atomic<bool> connected{false};
};

class FakeFactory : public TaskFactory {
 public:
  ServerTask* CreateSyncer(TaskManager* owner, int) override {
    syncer = new FakeServerTask(owner, nullptr);
    return syncer;
  }
  ServerTask* CreateWorker(TaskManager* owner, TaskContext* ctx, int, int) override {
    workers.push_back(new FakeServerTask(owner, ctx));
    return workers.back();
  }
  FakeServerTask* syncer = nullptr;
  std::vector<FakeServerTask*> workers;
};

Event Local(Event::Type t, const std::wstring& path, uint32_t mode = 0) {
  return Event(t, mode, path);
}
Event Server(Event::Type t, const std::wstring& path, uint64_t id = 1, uint32_t mode = 0) {
  Event e(t, mode | F_SERVER, path);
  e.m_syncID = id;
  return e;
}

class TaskManagerTest : public LocalStateTest {
 protected:
  void SetUp() override {
    SetUpLocalState("proto_version = 40\n", /*event_db=*/false);
    if (HasFatalFailure()) return;
    tm = std::make_unique<TaskManager>(*cfg, 2, &factory, IPC_Channel::Sink());
    ASSERT_EQ(factory.workers.size(), 2u);
    w0 = factory.workers[0];
    w1 = factory.workers[1];
  }

  int FStat(const std::string& rel) {
    FileStatusInfo info;
    if (FileStatusDB::getFileSyncStat(Utf8ToWideLossy(dir.Sub("sync") + rel), &info) != 0)
      return -1;
    return info.syncStatus;
  }

  int Push(Event e) { return tm->PushLocalEvent(e); }

  FakeFactory factory;
  std::unique_ptr<TaskManager> tm;
  FakeServerTask* w0 = nullptr;
  FakeServerTask* w1 = nullptr;
};

TEST_F(TaskManagerTest, LocalEventIsQueuedAndMarkedSyncing) {
  EXPECT_EQ(tm->GetStatus(), TaskManager::IDLE);
  Push(Local(EV_MODIFY, L"/a b.txt"));
  Push(Local(EV_CREATE, L"/d", F_DIR));
  EXPECT_EQ(tm->GetLocalEventCount(), 2);
  EXPECT_EQ(tm->GetStatus(), TaskManager::SYNCING);
  EXPECT_EQ(FStat("/a b.txt"), FSTAT_SYNCING);
  EXPECT_EQ(FStat("/d"), FSTAT_SYNCING);
  // A newer event for a queued path replaces it.
  Push(Local(EV_REMOVE, L"/a b.txt"));
  EXPECT_EQ(tm->GetLocalEventCount(), 2);
}

TEST_F(TaskManagerTest, RegisteredPathRoutesNewEventsToTheWorkersMailbox) {
  Push(Local(EV_MODIFY, L"/a"));
  Event l, s;
  ASSERT_EQ(tm->PullEvent(l, s, w0), 1);
  EXPECT_EQ(l.m_path, L"/a");
  EXPECT_FALSE(s.isValid());
  EXPECT_EQ(tm->GetRegisteredTask(L"/a"), w0);

  Push(Local(EV_MODIFY, L"/a"));
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 7));
  EXPECT_EQ(tm->GetLocalEventCount(), 0) << "not queued while a worker has the path";
  EXPECT_EQ(w0->mailbox()->GetLocalEventCount(), 1);
  EXPECT_EQ(w0->mailbox()->GetServerEventCount(), 1);
  EXPECT_EQ(w1->mailbox()->GetLocalEventCount(), 0);
  EXPECT_EQ(tm->DoneEvent(l), -1);
  EXPECT_EQ(tm->GetRegisteredTask(L"/a"), w0);

  Event ms, ml;
  ASSERT_EQ(w0->mailbox()->GetEvents(ms, ml), 2);
  EXPECT_EQ(tm->DoneEvent(ms), 0);
  EXPECT_EQ(tm->GetRegisteredTask(L"/a"), nullptr);
  EXPECT_EQ(tm->GetStatus(), TaskManager::IDLE);
}

TEST_F(TaskManagerTest, ServerAndLocalEventsOfOnePathArePulledAsAPair) {
  tm->PushServerEvent(Server(EV_MODIFY, L"/p"));
  Push(Local(EV_MODIFY, L"/q"));
  Push(Local(EV_MODIFY, L"/p"));
  Event l, s;
  ASSERT_EQ(tm->PullEvent(l, s, w0), 2);
  EXPECT_EQ(s.m_path, L"/p");
  EXPECT_EQ(l.m_path, L"/p");
  ASSERT_EQ(tm->PullEvent(l, s, w1), 1);
  EXPECT_EQ(l.m_path, L"/q");
  EXPECT_FALSE(s.isValid());
  EXPECT_EQ(tm->PullEvent(l, s, w1), 0);
  EXPECT_FALSE(l.isValid());
  EXPECT_FALSE(s.isValid());
}

TEST_F(TaskManagerTest, RetriedServerEventWaitsBehindLocalEvents) {
  tm->PushServerEvent(Server(EV_MODIFY, L"/x", 3, F_EXCEP));
  tm->PushServerEvent(Server(EV_MODIFY, L"/z", 4, F_EXCEP));
  Push(Local(EV_MODIFY, L"/y"));
  Push(Local(EV_MODIFY, L"/z"));
  Event l, s;
  ASSERT_EQ(tm->PullEvent(l, s, w0), 1);
  EXPECT_EQ(l.m_path, L"/y");
  EXPECT_FALSE(s.isValid());
  // The local event of its own path brings it along.
  ASSERT_EQ(tm->PullEvent(l, s, w1), 2);
  EXPECT_EQ(l.m_path, L"/z");
  EXPECT_EQ(s.m_path, L"/z");
  EXPECT_TRUE(s.isExcep());
  // With no local event left it is served.
  ASSERT_EQ(tm->PullEvent(l, s, w0), 1);
  EXPECT_EQ(s.m_path, L"/x");
}

TEST_F(TaskManagerTest, StatusGoesIdleOnlyAfterTheLastDone) {
  Push(Local(EV_MODIFY, L"/a"));
  Push(Local(EV_MODIFY, L"/b"));
  Event l1, l2, s;
  tm->PullEvent(l1, s, w0);
  tm->PullEvent(l2, s, w1);
  EXPECT_EQ(tm->DoneEvent(l1), 0);
  EXPECT_EQ(tm->GetStatus(), TaskManager::SYNCING);
  EXPECT_EQ(tm->DoneEvent(l2), 0);
  EXPECT_EQ(tm->GetStatus(), TaskManager::IDLE);
  // A done for a path nobody holds is refused without harm.
  EXPECT_EQ(tm->DoneEvent(l2), 0);
}

TEST_F(TaskManagerTest, PauseAndResumeFollowPendingWork) {
  tm->Pause();
  EXPECT_EQ(tm->GetStatus(), TaskManager::PAUSE);
  tm->Resume();
  EXPECT_EQ(tm->GetStatus(), TaskManager::IDLE);
  Push(Local(EV_MODIFY, L"/a"));
  tm->Pause();
  tm->Resume();
  EXPECT_EQ(tm->GetStatus(), TaskManager::SYNCING);
}

// Only Resume leaves PAUSE: an expansion that was under way when the user
// paused must not make the status idle (or syncing) behind the user's back.
TEST_F(TaskManagerTest, ExpansionFinishingWhilePausedKeepsThePause) {
  tm->IssueRescan(false);
  tm->Pause();
  Event e;
  ASSERT_EQ(tm->GetExpandEvent(e), 1);
  EXPECT_EQ(tm->GetStatus(), TaskManager::PAUSE);
  tm->DoneExpandEvent(e);
  EXPECT_EQ(tm->GetStatus(), TaskManager::PAUSE);
  tm->Resume();
  EXPECT_EQ(tm->GetStatus(), TaskManager::IDLE);
}

TEST_F(TaskManagerTest, PendingServerCountFollowsEveryServerEventOnce) {
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 1));
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 2));  // replaces the queued one
  EXPECT_EQ(tm->GetPendingServerEvent(), 1);
  tm->PushServerEvent(Server(EV_REMOVE, L"/b", 3));
  EXPECT_EQ(tm->GetPendingServerEvent(), 2);
  Event l, s;
  ASSERT_EQ(tm->PullEvent(l, s, w0), 1);
  EXPECT_EQ(s.m_syncID, 2u);
  // A newer server event for the path in work waits in the mailbox.
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 4));
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 5));
  EXPECT_EQ(tm->GetPendingServerEvent(), 3);
  EXPECT_EQ(tm->DoneEvent(s), -1);
  EXPECT_EQ(tm->GetPendingServerEvent(), 2);
  Event ms, ml;
  w0->mailbox()->GetEvents(ms, ml);
  EXPECT_EQ(ms.m_syncID, 5u);
  EXPECT_EQ(tm->DoneEvent(ms), 0);
  EXPECT_EQ(tm->GetPendingServerEvent(), 1);
  tm->DecPendingServerEvent();
  tm->DecPendingServerEvent();
  EXPECT_EQ(tm->GetPendingServerEvent(), 0) << "never below zero";
}

// A server event that reaches the mailbox while the worker holds a local
// event of the path must be carried out and counted once: neither dropped
// with the mailbox nor taken off a count it never added to.
TEST_F(TaskManagerTest, ServerEventArrivingDuringLocalWorkIsKeptAndCounted) {
  Push(Local(EV_MODIFY, L"/a"));
  Event l, s;
  ASSERT_EQ(tm->PullEvent(l, s, w0), 1);
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 9));
  EXPECT_EQ(tm->GetPendingServerEvent(), 1);
  EXPECT_EQ(tm->DoneEvent(l), -1) << "one newer event must keep the path";
  Event ms, ml;
  ASSERT_EQ(w0->mailbox()->GetEvents(ms, ml), 1);
  EXPECT_EQ(ms.m_syncID, 9u);
  EXPECT_EQ(tm->DoneEvent(ms), 0);
  EXPECT_EQ(tm->GetPendingServerEvent(), 0);
}

TEST_F(TaskManagerTest, LocalEventArrivingDuringServerWorkKeepsThePath) {
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 1));
  Event l, s;
  ASSERT_EQ(tm->PullEvent(l, s, w0), 1);
  Push(Local(EV_MODIFY, L"/a"));
  EXPECT_EQ(tm->DoneEvent(s), -1);
  EXPECT_EQ(tm->GetPendingServerEvent(), 0);
  EXPECT_EQ(w0->mailbox()->GetLocalEventCount(), 1);
}

TEST_F(TaskManagerTest, IoErrorIsKeptBackWhileAnotherConnectionWorks) {
  factory.syncer->connected = true;
  tm->ReportError(ERR_IO);
  EXPECT_EQ(tm->GetLastError(), 0);
  factory.syncer->connected = false;
  w1->connected = true;
  tm->ReportError(ERR_IO);
  EXPECT_EQ(tm->GetLastError(), 0);
  w1->connected = false;
  tm->ReportError(ERR_IO);
  EXPECT_EQ(tm->GetLastError(), ERR_IO);
  // Other errors are not held back.
  w1->connected = true;
  tm->ReportError(ERR_AUTH);
  EXPECT_EQ(tm->GetLastError(), ERR_AUTH);
  tm->ResetLastError();
  EXPECT_EQ(tm->GetLastError(), 0);
  tm->SetLastError(ERR_QUOTA);
  EXPECT_EQ(tm->GetLastError(), ERR_QUOTA);
}

TEST_F(TaskManagerTest, ExpansionQueueTakesDirectoriesOnlyAndRescanReplacesIt) {
  Push(Local(EV_CREATE, L"/d", F_DIR | F_EXPAND));
  Push(Local(EV_CREATE, L"/f", F_EXPAND));  // not a directory: ignored
  EXPECT_EQ(tm->GetExpandQueueSize(), 1u);
  EXPECT_EQ(tm->GetLocalEventCount(), 0);
  Push(Local(EV_CREATE, L"/e", F_DIR | F_EXPAND));
  tm->IssueRescan(false);
  ASSERT_EQ(tm->GetExpandQueueSize(), 1u);
  Event e;
  ASSERT_EQ(tm->GetExpandEvent(e), 1);
  EXPECT_EQ(e.m_path, L"/");
  EXPECT_EQ(e.m_type, EV_CREATE);
  EXPECT_EQ(e.m_mode, 13u);
  EXPECT_EQ(tm->GetStatus(), TaskManager::SYNCING);
  tm->DoneExpandEvent(e);
  EXPECT_EQ(tm->GetStatus(), TaskManager::IDLE);
  tm->IssueRescan(true);
  ASSERT_EQ(tm->GetExpandEvent(e), 1);
  EXPECT_EQ(e.m_mode, 29u);
  EXPECT_EQ(tm->GetExpandEvent(e), 0);
}

TEST_F(TaskManagerTest, ExcepEventIsDroppedOnlyForANewerServerEvent) {
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 1));
  Event l, s;
  ASSERT_EQ(tm->PullEvent(l, s, w0), 1);
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 2));
  Event retry = s;
  retry.setExcep();
  EXPECT_EQ(tm->PushExcepEvent(retry), -1);
  EXPECT_EQ(tm->GetRegisteredTask(L"/a"), w0) << "the worker goes on with the newer one";
  Event ms, ml;
  w0->mailbox()->GetEvents(ms, ml);
  EXPECT_EQ(tm->DoneEvent(ms), 0);
  EXPECT_EQ(tm->GetPendingServerEvent(), 0);
}

TEST_F(TaskManagerTest, ExcepEventIsRequeuedWithoutLosingTheMailbox) {
  Push(Local(EV_MODIFY, L"/a"));
  Event l, s;
  ASSERT_EQ(tm->PullEvent(l, s, w0), 1);
  tm->PushServerEvent(Server(EV_MODIFY, L"/a", 5));
  Event retry = l;
  retry.setExcep();
  EXPECT_EQ(tm->PushExcepEvent(retry), 0);
  EXPECT_EQ(tm->GetRegisteredTask(L"/a"), nullptr);
  EXPECT_EQ(w0->mailbox()->GetServerEventCount(), 0);
  // Both the retried local event and the server event that waited come back.
  ASSERT_EQ(tm->PullEvent(l, s, w1), 2);
  EXPECT_TRUE(l.isExcep());
  EXPECT_EQ(s.m_syncID, 5u);
  EXPECT_EQ(tm->GetPendingServerEvent(), 1);
}

TEST_F(TaskManagerTest, ExceptionListIsQueuedAgainInPathOrder) {
  sftest::WriteFile(dir.Sub("db/excep.list"), "3 34 7 /z z\n3 32 0 /a\n");
  tm->LoadExcepList();
  EXPECT_EQ(tm->GetPendingServerEvent(), 1);
  EXPECT_EQ(FStat("/a"), FSTAT_SYNCING);
  EXPECT_EQ(FStat("/z z"), FSTAT_SYNCING);
  Event l, s;
  ASSERT_EQ(tm->PullEvent(l, s, w0), 1);
  EXPECT_EQ(l.m_path, L"/a");
  EXPECT_TRUE(l.isExcep());
  ASSERT_EQ(tm->PullEvent(l, s, w1), 1);
  EXPECT_EQ(s.m_path, L"/z z");
  EXPECT_EQ(s.m_syncID, 7u);
}

TEST_F(TaskManagerTest, ExceptionListFollowsAdditionsAndRemovals) {
  Event e = Server(EV_MODIFY, L"/x", 2147483648ull, F_EXCEP);
  tm->AddEventToExcepList(e);
  tm->AddEventToExcepList(Local(EV_REMOVE, L"/y", F_EXCEP));
  EXPECT_EQ(sftest::ReadFile(dir.Sub("db/excep.list")), "3 34 2147483648 /x\n2 32 0 /y\n");
  tm->EraseEventFromExcepList(e);
  EXPECT_EQ(sftest::ReadFile(dir.Sub("db/excep.list")), "2 32 0 /y\n");
  // A newer server event for a queued path takes the old one off the list.
  tm->AddEventToExcepList(e);
  tm->PushServerEvent(Server(EV_MODIFY, L"/x", 1));
  tm->PushServerEvent(Server(EV_MODIFY, L"/x", 3));
  EXPECT_EQ(sftest::ReadFile(dir.Sub("db/excep.list")), "2 32 0 /y\n");
}

TEST_F(TaskManagerTest, AListThatCannotBeSavedAsideIsNeverOverwritten) {
  const std::string list = dir.Sub("db/excep.list");
  const std::string damaged = "3 34 7 /kept\ngarbage\n";
  sftest::WriteFile(list, damaged);
  // Nowhere to keep the copy: the entries would be lost by a rewrite.
  ASSERT_EQ(mkdir(dir.Sub("db/excep.list.bad").c_str(), 0755), 0);
  tm->AddEventToExcepList(Local(EV_REMOVE, L"/y", F_EXCEP));
  tm->EraseEventFromExcepList(Local(EV_REMOVE, L"/kept", F_EXCEP));
  EXPECT_EQ(sftest::ReadFile(list), damaged);
  // Once the copy can be kept, the list starts afresh.
  ASSERT_EQ(rmdir(dir.Sub("db/excep.list.bad").c_str()), 0);
  tm->AddEventToExcepList(Local(EV_REMOVE, L"/y", F_EXCEP));
  EXPECT_EQ(sftest::ReadFile(dir.Sub("db/excep.list.bad")), damaged);
  EXPECT_EQ(sftest::ReadFile(list), "2 32 0 /y\n");
}

TEST_F(TaskManagerTest, FileStatusUpdatesUseTheFullPath) {
  EXPECT_EQ(tm->UpdateFileStatusDatabase(L"/d/f", false, FSTAT_SYNCED), 0);
  EXPECT_EQ(FStat("/d/f"), FSTAT_SYNCED);
  EXPECT_EQ(tm->UpdateFileStatusDatabase(L"/d", true, FSTAT_SYNCING), 0);
  EXPECT_EQ(tm->UpdateFileStatusDatabase(L"/d", true, 0), 0);
  EXPECT_EQ(FStat("/d"), -1);
  EXPECT_EQ(FStat("/d/f"), -1) << "removing a directory's record takes what is below";
  EXPECT_EQ(TaskManager::GetRelativeEventPath(L"/a/b"), L"a/b");
}

TEST_F(TaskManagerTest, SlowStatusDatabaseNeverHoldsUpTheQueuesAndKeepsTheOrderPerPath) {
  // Another program holds "file-status.sqlite": every write waits for it.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(dir.Sub("db/file-status.sqlite").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
  auto first = std::async(std::launch::async, [&] { Push(Local(EV_CREATE, L"/a")); });
  // The event is queued and can be taken while its mark waits.
  auto taken = std::async(std::launch::async, [&] {
    Event l, s;
    return sftest::WaitFor([&] { return tm->PullEvent(l, s, w0) == 1; }) ? l : Event();
  });
  const bool in_time = taken.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  EXPECT_TRUE(in_time) << "the queues wait for the status database";
  Event a;
  if (in_time) {
    a = taken.get();
    EXPECT_EQ(a.m_path, L"/a");
  }
  EXPECT_EQ(tm->GetStatus(), TaskManager::SYNCING);
  // Finished before the "syncing" mark could be written: the result wins.
  auto done = std::async(std::launch::async, [&] { tm->DoneEvent(a, FSTAT_SYNCED); });
  ASSERT_EQ(sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  first.get();
  done.get();
  if (!in_time) taken.get();
  EXPECT_TRUE(sftest::WaitFor([&] { return FStat("/a") == FSTAT_SYNCED; })) << FStat("/a");
}

TEST_F(TaskManagerTest, StopEmptiesEverythingSilently) {
  Push(Local(EV_MODIFY, L"/a"));
  tm->PushServerEvent(Server(EV_MODIFY, L"/b"));
  Event l, s;
  tm->PullEvent(l, s, w0);
  tm->Stop();
  EXPECT_EQ(tm->GetStatus(), TaskManager::IDLE);
  EXPECT_EQ(tm->GetLocalEventCount(), 0);
  EXPECT_EQ(tm->GetPendingServerEvent(), 0);
  EXPECT_EQ(tm->GetRegisteredTask(L"/a"), nullptr);
  EXPECT_EQ(w0->mailbox()->GetNotify(), 0) << "mailboxes are reset after the stop";
}

// What the user interface hears: every status change but PAUSE, and an
// error only when it changes.
TEST_F(TaskManagerTest, StatusAndErrorMessagesReachTheUserInterface) {
  sftest::ScriptedPeer ui;
  ui.Start();
  ASSERT_EQ(IPC_Channel::InitializeAt("127.0.0.1", ui.port(), "tm"), 0);
  Push(Local(EV_MODIFY, L"/a"));  // 10
  Push(Local(EV_MODIFY, L"/b"));  // still syncing: nothing
  tm->Pause();                    // nothing
  tm->Resume();                   // 10 again: work is pending
  Event l, s;
  tm->PullEvent(l, s, w0);
  tm->DoneEvent(l);  // /b still queued: nothing
  tm->PullEvent(l, s, w0);
  tm->DoneEvent(l);  // 11
  factory.syncer->connected = true;
  tm->ReportError(ERR_IO);     // held back
  tm->SetLastError(ERR_AUTH);  // sent once
  tm->SetLastError(ERR_AUTH);
  const std::string expect = sftest::Unhex(
      "64 00 02 74 6d"
      "01 00 04 00 00 00 0a"
      "01 00 04 00 00 00 0a"
      "01 00 04 00 00 00 0b"
      "02 00 04 ff ff ff fa");
  ASSERT_TRUE(ui.WaitReceived(expect.size()));
  EXPECT_EQ(sftest::Hex(ui.Received()), sftest::Hex(expect));
  IPC_Channel::Destroy();
}

TEST_F(TaskManagerTest, WorkerCountIsBounded) {
  FakeFactory many;
  TaskManager big(*cfg, 1000000, &many, nullptr);
  EXPECT_EQ(many.workers.size(), static_cast<size_t>(TaskManager::kMaxWorkers));
}

TEST(ConnectionPoolTest, HandsOutEachConnectionOnce) {
  ConnectionPool pool;
  ProxyInfo p;
  TunnelInfo t;
  pool.Adopt(std::make_unique<Connection>(CONNECTION_NORMAL, p, t, false));
  pool.Adopt(std::make_unique<Connection>(CONNECTION_NORMAL, p, t, false));
  Connection* a = pool.pop();
  Connection* b = pool.pop();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_NE(a->channel, nullptr);
  EXPECT_EQ(pool.pop(), nullptr);
  pool.push(b);
  EXPECT_EQ(pool.pop(), b) << "the most recently returned comes first";
  pool.push(a);
  pool.push(b);
  EXPECT_EQ(pool.available(), 2u);
  a->Update(30);
  EXPECT_EQ(a->alive_value, 30u);
  EXPECT_NE(a->last_access, 0u);
}

TEST(ConnectionPoolTest, NeverFallsBackToAPlainChannelForAProxy) {
  ProxyInfo p;
  p.use_proxy = true;
  p.proxy_ip = "127.0.0.1";
  TunnelInfo t;
  Connection c(CONNECTION_PROXY, p, t, false);
  EXPECT_EQ(c.channel, nullptr);
  Connection s(CONNECTION_NORMAL, p, t, true);
  EXPECT_EQ(s.channel, nullptr);
}

}  // namespace
