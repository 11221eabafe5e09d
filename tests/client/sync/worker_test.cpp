// The worker's and the syncer's decisions without a server: the error
// policies and their rate-limited reports, the mailbox rules of the event
// loop, the pending count of server events, and the basis check.
#include "client/sync/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "client/core/excep-list.h"
#include "client/core/ui-sink.h"
#include "client/sync/syncer.h"
#include "fakes/local-state-fixture.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"

namespace {

class RecordingSink : public UiSink {
 public:
  int WriteEvent(int32_t v) override {
    std::lock_guard<std::mutex> g(m);
    values.push_back(v);
    return 0;
  }
  int WriteFileEvent(const Event&) override { return 0; }
  std::vector<int> Values() {
    std::lock_guard<std::mutex> g(m);
    return values;
  }
  std::mutex m;
  std::vector<int> values;
};

// Exposes the counters the policy reads.
class OpenWorker : public Worker4 {
 public:
  using Worker4::Worker4;
  using Worker::patch_err_count;
};

class WorkerDecisionTest : public LocalStateTest {
 protected:
  void SetUp() override {
    SetUpLocalState();
    if (HasFatalFailure()) return;
    mgr = std::make_unique<TaskManager>(*cfg, 0, nullptr, &ui);
    worker = std::make_unique<OpenWorker>(mgr.get(), &mailbox, 0);
    worker->SetClock([this] { return now; });
  }
  void TearDown() override {
    worker.reset();
    mgr.reset();
  }

  RecordingSink ui;
  std::unique_ptr<TaskManager> mgr;
  TaskContext mailbox;
  std::unique_ptr<OpenWorker> worker;
  time_t now = 1000;
};

TEST_F(WorkerDecisionTest, EveryCodeHasItsAction) {
  const struct {
    int code;
    int action;
  } table[] = {
      {ERR_OK, Worker::ACTION_DONE},
      {ERR_INT, Worker::ACTION_ABORT},
      {ERR_IO, Worker::ACTION_RETRY},
      {ERR_SYS, Worker::ACTION_RETRY},
      {ERR_INVAL, -1},
      {ERR_PROTO, Worker::ACTION_RETRY},  // a few times; then it is set aside
      {ERR_AUTH, Worker::ACTION_RETRY_LONG_WAIT},
      {ERR_SERVER, Worker::ACTION_RETRY},
      {ERR_CONFLICT, -1},
      {ERR_TIMEOUT, Worker::ACTION_RETRY},
      {ERR_VERSION, Worker::ACTION_RETRY_LONG_WAIT},
      {ERR_NOENT, -1},
      {ERR_USER, -1},
      {ERR_PASSWORD, -1},
      {ERR_KELVODISABLE, Worker::ACTION_RETRY_LONG_WAIT},
      {ERR_QUOTA, Worker::ACTION_ABORT_EXCEPTION},
      {ERR_DISKFULL, Worker::ACTION_ABORT_EXCEPTION},
      {ERR_SYNCFOLDER_MISS, -1},
      {1, -1},
  };
  for (const auto& row : table) EXPECT_EQ(worker->HandleError(row.code), row.action) << row.code;
  // Only the codes marked for the user reach it, each change once: the I/O
  // and timeout codes were held back (a first I/O failure is never shown).
  EXPECT_EQ(ui.Values(), (std::vector<int>{ERR_AUTH, ERR_VERSION, ERR_KELVODISABLE, ERR_QUOTA,
                                           ERR_DISKFULL}));
}

TEST_F(WorkerDecisionTest, SystemErrorsParkTheEventAndPatchFailuresDropIt) {
  for (int i = 0; i < Worker::kMaxSysErrors; ++i)
    EXPECT_EQ(worker->HandleError(ERR_SYS), Worker::ACTION_RETRY) << i;
  EXPECT_EQ(worker->HandleError(ERR_SYS), Worker::ACTION_ABORT_EXCEPTION);
  EXPECT_EQ(worker->HandleError(ERR_OK), Worker::ACTION_DONE);  // resets both counters
  EXPECT_EQ(worker->HandleError(ERR_SYS), Worker::ACTION_RETRY);
  worker->patch_err_count = Worker::kMaxPatchErrors;
  EXPECT_EQ(worker->HandleError(ERR_SYS), Worker::ACTION_DONE);
}

TEST_F(WorkerDecisionTest, IoTroubleIsShownOnlyOnceItLasts) {
  EXPECT_EQ(worker->HandleError(ERR_IO), Worker::ACTION_RETRY);
  now += SyncTask::kIoReportDelay - 1;
  EXPECT_EQ(worker->HandleError(ERR_TIMEOUT), Worker::ACTION_RETRY);  // the same trouble
  EXPECT_TRUE(ui.Values().empty());
  worker->SetConnectionState(CONNECTED);
  now += 1;
  EXPECT_EQ(worker->HandleError(ERR_IO), Worker::ACTION_RETRY_LONG_WAIT);
  EXPECT_EQ(worker->GetConnectionState(), DISCONNECTED);
  now += 1;
  EXPECT_EQ(worker->HandleError(ERR_IO), Worker::ACTION_RETRY_LONG_WAIT);
  EXPECT_EQ(worker->HandleError(ERR_OK), Worker::ACTION_DONE);
  EXPECT_EQ(worker->HandleError(ERR_OK), Worker::ACTION_DONE);
  // Reported: the lasting I/O error (the task manager passes each change
  // once), then its end, once.
  EXPECT_EQ(ui.Values(), (std::vector<int>{ERR_IO, ERR_OK}));
  // A resume forgets what was reported: the same error is shown again.
  EXPECT_EQ(worker->HandleError(ERR_AUTH), Worker::ACTION_RETRY_LONG_WAIT);
  mgr->ResetLastError();
  worker->Resume();
  EXPECT_EQ(worker->HandleError(ERR_AUTH), Worker::ACTION_RETRY_LONG_WAIT);
  EXPECT_EQ(ui.Values(), (std::vector<int>{ERR_IO, ERR_OK, ERR_AUTH, ERR_AUTH}));
}

TEST_F(WorkerDecisionTest, SyncerPolicyRetriesAndReportsByTheTable) {
  Syncer4 syncer(mgr.get());
  syncer.SetClock([this] { return now; });
  EXPECT_EQ(syncer.HandleError(ERR_OK), 0);
  EXPECT_EQ(syncer.HandleError(ERR_INT), 2);
  EXPECT_EQ(syncer.HandleError(ERR_SYS), 1);
  EXPECT_EQ(syncer.HandleError(ERR_SERVER), 1);
  for (int code : std::vector<int>{ERR_INVAL, ERR_CONFLICT, ERR_NOENT, ERR_USER, ERR_PASSWORD,
                                   ERR_QUOTA, ERR_DISKFULL, ERR_SYNCFOLDER_MISS, 3})
    EXPECT_EQ(syncer.HandleError(code), -1) << code;
  EXPECT_EQ(syncer.HandleError(ERR_AUTH), 2);
  EXPECT_EQ(syncer.HandleError(ERR_AUTH), 2);
  EXPECT_EQ(syncer.HandleError(ERR_IO), 1);
  now += SyncTask::kIoReportDelay;
  EXPECT_EQ(syncer.HandleError(ERR_TIMEOUT), 2);  // lasting trouble: reported, long wait
  // Answers that make no sense: shown once, asked again less and less often.
  EXPECT_EQ(syncer.HandleError(ERR_PROTO), 3);
  EXPECT_EQ(syncer.HandleError(ERR_PROTO), 3);
  std::vector<int> waits;
  for (int i = 0; i < 8; ++i) waits.push_back(syncer.NextProtoWait());
  EXPECT_EQ(waits, (std::vector<int>{3, 6, 12, 24, 48, 96, 120, 120}));
  EXPECT_EQ(ui.Values(), (std::vector<int>{ERR_AUTH, ERR_IO, ERR_PROTO}));
  const Event file = Syncer::MakeEvent(PullEntry{7, SFT_FILE, FS_EXIST, 5, L"h", L"/f"});
  EXPECT_EQ(file.m_type, EV_CREATE);
  EXPECT_EQ(file.m_mode, F_SERVER);
  EXPECT_EQ(file.m_syncID, 7u);
  EXPECT_EQ(file.m_size, 5u);
  EXPECT_EQ(file.m_hash, L"h");
  const Event dir = Syncer::MakeEvent(PullEntry{8, SFT_DIR, FS_DEL, 0, L"", L"/d"});
  EXPECT_EQ(dir.m_type, EV_REMOVE);
  EXPECT_EQ(dir.m_mode, F_SERVER | F_DIR);
  EXPECT_EQ(dir.m_syncID, 8u);
}

// ---- mailbox rules -------------------------------------------------------------

Event S(const wchar_t* p, uint64_t id = 5) {
  Event e(EV_CREATE, F_SERVER, p);
  e.m_syncID = id;
  return e;
}
Event L(const wchar_t* p) {
  return Event(EV_MODIFY, 0, p);
}

TEST(WorkerMailboxTest, NewerEventsReplaceOrPairWithTheOneInWork) {
  Event e1, e2;
  // A newer server event replaces the server event in work.
  e1 = S(L"/a", 1);
  EXPECT_EQ(Worker::TakeFromMailbox(e1, e2, true, S(L"/a", 2), Event()), 1);
  EXPECT_EQ(e1.m_syncID, 2u);
  EXPECT_FALSE(e2.isValid());
  // A server event arriving for a local event still in work pairs with it,
  // server first.
  e1 = L(L"/a");
  EXPECT_EQ(Worker::TakeFromMailbox(e1, e2, false, S(L"/a"), Event()), 2);
  EXPECT_TRUE(e1.isServerEvent());
  EXPECT_TRUE(e2.isLocalEvent());
  // ... and with a finished local event too: the conflict check decides.
  e1 = L(L"/a");
  EXPECT_EQ(Worker::TakeFromMailbox(e1, e2, true, S(L"/a"), Event()), 2);
  EXPECT_TRUE(e1.isServerEvent());
  // An empty mailbox after an interrupted event takes that event up again.
  e1 = S(L"/a");
  EXPECT_EQ(Worker::TakeFromMailbox(e1, e2, false, Event(), Event()), 1);
  EXPECT_TRUE(e1.isServerEvent());
  // Both kinds at once: a pair, server first.
  e1 = L(L"/a");
  EXPECT_EQ(Worker::TakeFromMailbox(e1, e2, true, S(L"/a"), L(L"/a")), 2);
  EXPECT_TRUE(e1.isServerEvent());
  EXPECT_TRUE(e2.isLocalEvent());
}

TEST(WorkerMailboxTest, AFinishedServerEventNeverTakesPartAgain) {
  // It was counted down when it finished; pairing it with the local echo
  // that arrived meanwhile would apply and count it a second time.
  Event e1 = S(L"/a"), e2;
  EXPECT_EQ(Worker::TakeFromMailbox(e1, e2, true, Event(), L(L"/a")), 1);
  EXPECT_TRUE(e1.isLocalEvent());
  EXPECT_FALSE(e2.isValid());
}

// ---- the event loop and the pending count ---------------------------------------

// A worker whose operations are scripted: the test says what happens while
// an event is in work and what it returns.
class ScriptedWorker : public Worker4 {
 public:
  using Worker4::Worker4;
  ~ScriptedWorker() override { Stop(); }
  int ProcessEvent(Event& e) override {
    std::lock_guard<std::mutex> g(m);
    seen.push_back(e.toString());
    if (on_event) return on_event(e);
    return ERR_OK;
  }
  std::function<int(Event&)> on_event;
  std::mutex m;
  std::vector<std::wstring> seen;
};

class ScriptedFactory : public TaskFactory {
 public:
  ServerTask* CreateWorker(TaskManager* owner, TaskContext* ctx, int i, int) override {
    worker = new ScriptedWorker(owner, ctx, i);
    return worker;
  }
  ScriptedWorker* worker = nullptr;
};

class WorkerLoopTest : public LocalStateTest {
 protected:
  void SetUp() override {
    SetUpLocalState();
    if (HasFatalFailure()) return;
    mgr = std::make_unique<TaskManager>(*cfg, 1, &factory, nullptr);
  }
  void TearDown() override { mgr.reset(); }
  ScriptedFactory factory;
  std::unique_ptr<TaskManager> mgr;
};

TEST_F(WorkerLoopTest, EveryFinishedServerEventLowersThePendingCountOnce) {
  std::atomic<int> pending_seen_for_b{-1};
  std::atomic<int> round{0};
  factory.worker->on_event = [&](Event& e) {
    if (e.m_path == L"/b") {
      pending_seen_for_b = mgr->GetPendingServerEvent();
    } else if (e.isServerEvent()) {
      // While the first server event for /a is in work, a newer one and a
      // local echo arrive; while the newer one is, only a local echo.
      if (round++ == 0) mgr->PushServerEvent(S(L"/a", 9));
      Event echo = L(L"/a");
      mgr->PushLocalEvent(echo);
    }
    return ERR_OK;
  };
  mgr->PushServerEvent(S(L"/a", 1));
  mgr->PushServerEvent(S(L"/b", 2));
  EXPECT_EQ(mgr->GetPendingServerEvent(), 2);
  mgr->Start();
  ASSERT_TRUE(sftest::WaitFor([&] {
    return pending_seen_for_b >= 0 && mgr->GetPendingServerEvent() == 0 &&
           mgr->GetStatus() == TaskManager::IDLE;
  }));
  // /b was still pending while in work: /a's events did not count it down.
  EXPECT_EQ(pending_seen_for_b, 1);
  mgr->Stop();
  std::vector<std::wstring> seen;
  {
    std::lock_guard<std::mutex> g(factory.worker->m);
    seen = factory.worker->seen;
  }
  // The first event, the newer server event (paired with the echo, which the
  // conflict check discards), the last echo on its own, then /b.
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_NE(seen[0].find(L"[1] /a (server"), std::wstring::npos) << seen[0];
  EXPECT_NE(seen[1].find(L"[9] /a (server"), std::wstring::npos) << seen[1];
  EXPECT_NE(seen[2].find(L"/a (local"), std::wstring::npos) << seen[2];
  EXPECT_NE(seen[3].find(L"/b (server"), std::wstring::npos) << seen[3];
}

TEST_F(WorkerLoopTest, AnEventThatKeepsFailingIsParkedAndOthersGoOn) {
  factory.worker->on_event = [&](Event& e) { return e.m_path == L"/bad" ? ERR_QUOTA : ERR_OK; };
  Event bad = L(L"/bad"), good = L(L"/good");
  mgr->PushLocalEvent(bad);
  mgr->PushLocalEvent(good);
  mgr->Start();
  ASSERT_TRUE(sftest::WaitFor([&] {
    std::lock_guard<std::mutex> g(factory.worker->m);
    for (const auto& s : factory.worker->seen)
      if (s.find(L"/good") != std::wstring::npos) return true;
    return false;
  }));
  mgr->Stop();
  ExcepList list;
  ASSERT_EQ(list.read(cfg->EXCEPLISTLocGet()), 0);
  ASSERT_EQ(list.events().count(L"/bad"), 1u);
  EXPECT_TRUE(list.events().at(L"/bad").isExcep());
}

// ---- basis check -------------------------------------------------------------------

class BasisTest : public WorkerDecisionTest {
 protected:
  ClientFileEventInfo FileRow(uint64_t size, const wchar_t* hash) {
    ClientFileEventInfo r;
    r.fileType = EV_FILE_TYPE;
    r.isExist = 1;
    r.fileSize = size;
    r.fileCheckSum = hash;
    return r;
  }
  FILE_INFO Local(FILE_TYPE t, uint64_t size) {
    FILE_INFO i;
    i.isExist = true;
    i.type = t;
    i.size = size;
    return i;
  }
  BasisResult Check(const ClientFileEventInfo* row, const FILE_INFO& local, uint8_t type,
                    uint64_t size, const std::wstring& local_hash) {
    return worker->CheckBasisFile(row, local, type, size, L"NEW", [&](std::wstring& h) {
      ++checksums;
      if (local_hash.empty()) return -1;
      h = local_hash;
      return 0;
    });
  }
  int checksums = 0;
};

TEST_F(BasisTest, FiveResults) {
  const ClientFileEventInfo row = FileRow(4, L"OLD");
  // The local file is what the database recorded.
  EXPECT_EQ(Check(&row, Local(FT_FILE, 4), SFT_FILE, 9, L"OLD"), BASIS_UNCHANGED);
  // Edited locally (other size), and not the new version.
  EXPECT_EQ(Check(&row, Local(FT_FILE, 5), SFT_FILE, 9, L"MINE"), BASIS_CHANGED);
  // Edited locally into exactly the new version.
  EXPECT_EQ(Check(&row, Local(FT_FILE, 9), SFT_FILE, 9, L"NEW"), BASIS_SAME);
  // Gone.
  EXPECT_EQ(Check(&row, FILE_INFO(), SFT_FILE, 9, L""), BASIS_VANISHED);
  // Cannot be read.
  EXPECT_EQ(Check(&row, Local(FT_FILE, 4), SFT_FILE, 9, L""), BASIS_ERROR);
}

TEST_F(BasisTest, SameSizeEditsAndTypeChangesAreSeen) {
  const ClientFileEventInfo row = FileRow(4, L"OLD");
  // Same size as the row, other content: changed, the checksum tells.
  EXPECT_EQ(Check(&row, Local(FT_FILE, 4), SFT_FILE, 9, L"MINE"), BASIS_CHANGED);
  // A directory where the file was: changed for a file, already there for a
  // directory.
  EXPECT_EQ(Check(&row, Local(FT_DIR, 0), SFT_FILE, 9, L""), BASIS_CHANGED);
  EXPECT_EQ(Check(&row, Local(FT_DIR, 0), SFT_DIR, 0, L""), BASIS_SAME);
  // A link where the file was is never taken for the file.
  EXPECT_EQ(Check(&row, Local(FT_SLINK, 4), SFT_FILE, 4, L"OLD"), BASIS_CHANGED);
  // Without a row: nothing there is an unchanged basis; a file there is
  // the user's unless it already is the new version.
  EXPECT_EQ(Check(nullptr, FILE_INFO(), SFT_FILE, 9, L""), BASIS_UNCHANGED);
  EXPECT_EQ(Check(nullptr, Local(FT_FILE, 9), SFT_FILE, 9, L"NEW"), BASIS_SAME);
  EXPECT_EQ(Check(nullptr, Local(FT_FILE, 9), SFT_FILE, 9, L"MINE"), BASIS_CHANGED);
  checksums = 0;
  EXPECT_EQ(Check(nullptr, Local(FT_FILE, 3), SFT_FILE, 9, L"NEW"), BASIS_CHANGED);
  EXPECT_EQ(checksums, 0) << "a size that differs needs no checksum";
}

}  // namespace
