// A client installation with its databases, signature store, working
// directory and filter, a task manager without tasks, one worker of a chosen
// protocol generation, and the reference server in process on a fresh
// share: the worker's operations run against the real server, one call at a
// time on the test's thread.
#pragma once

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <functional>
#include <memory>
#include <string>

#include "client/core/client-task-mgr.h"
#include "client/local/worker-filter.h"
#include "client/store/sign-mgr.h"
#include "client/sync/worker.h"
#include "fakes/local-state-fixture.h"
#include "lib/fs/temp-file.h"
#include "lib/proto/proto-common.h"
#include "rsapi/rs-api.h"
#include "server/server-hooks.h"
#include "server/sync-server.h"

class EngineTest : public LocalStateTest {
 protected:
  static constexpr char kSession[] = "s1";
  static constexpr char kClient[] = "tester";

  // `generation` is 4 or 3; `filter` the text of the filter file.
  void SetUpEngine(int generation,
                   const std::string& filter = "[Version]\nmajor = 1\nminor = 0\n") {
    ProtoInit(static_cast<uint8_t>(generation));
    ASSERT_EQ(mkdir(dir.Sub("share").c_str(), 0755), 0);
    ServerOptions opt;
    opt.share = dir.Sub("share");
    opt.sessions[kSession] = "alice";
    opt.wait_period_ms = 100;
    server = std::make_unique<SyncServer>(opt);
    ASSERT_EQ(server->Start(), 0);
    SetUpLocalState(std::string("server = \"127.0.0.1\"\nport = \"") +
                    std::to_string(server->port()) + "\"\nsession = \"" + kSession +
                    "\"\nclient = \"" + kClient + "\"\nproto_version = \"" +
                    (generation == 3 ? "3" : "40") + "\"\n");
    ASSERT_EQ(SignMgr::initialize(cfg->SignLocGet()), 0);
    ASSERT_EQ(mkdir(Local("/.ZentavoWorkingDirectory").c_str(), 0755), 0);
    TempFile::initialize(sftest::W(Local("/.ZentavoWorkingDirectory")));
    sftest::WriteFile(dir.Sub("filter"), filter);
    ASSERT_EQ(WorkerBlackList(generation).Load(sftest::W(dir.Sub("filter"))), 0);
    mgr = std::make_unique<TaskManager>(*cfg, 1, nullptr, ui);
    if (generation == 3)
      worker = std::make_unique<Worker3>(mgr.get(), &mailbox, 0);
    else
      worker = std::make_unique<Worker4>(mgr.get(), &mailbox, 0);
  }

  void TearDown() override {
    worker.reset();
    mgr.reset();
    if (server) server->Stop();
    FSSetFaultHook(nullptr);
    Worker::SetPlacementHook(nullptr);
    TrashShutdown();
  }

  // Path on disk of the event path `rel` in the sync root, and in the share.
  std::string Local(const std::string& rel) const { return dir.Sub("sync") + rel; }
  std::string Shared(const std::string& rel) const { return dir.Sub("share") + rel; }

  // The server's row for `path` (sync id 0 when it has none).
  ObjectRow ServerRow(const std::string& path) {
    SharePath p;
    ObjectRow row;
    // No row (or no valid path) reads as the empty row.
    if (ParseSharePath(path, p) == 0) (void)server->store().Get(p, row);
    return row;
  }
  ClientFileEventInfo Row(const std::string& path) {
    ClientFileEventInfo row;
    (void)FileEventDB::getEventInfo(sftest::W(path), row);  // no row: an empty one
    return row;
  }
  // Payloads the server has received (uploads only).
  std::vector<PayloadRecord> Received() {
    std::vector<PayloadRecord> out;
    for (auto& r : server->Payloads())
      if (r.received) out.push_back(r);
    return out;
  }
  static void SetMtime(const std::string& path, time_t t) {
    utimbuf b{t, t};
    ASSERT_EQ(utime(path.c_str(), &b), 0);
  }
  static time_t Mtime(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mtime;
  }

  // Any exchange for `path` from now on is refused, so that an operation
  // that finishes without one can be told from one that asked.
  void RefuseExchangesFor(const std::string& path) {
    FaultPlan f;
    f.result_for_path[path] = SPROTO_RES_ERR;
    server->SetFaults(f);
  }

  // From inside the step that stats `rel` once `when()` holds, the item is
  // removed: a user racing the operation in its last instant.
  void RemoveWhenStatted(const std::string& rel, bool is_dir, std::function<bool()> when) {
    const std::wstring full = sftest::W(Local(rel));
    const std::string local = Local(rel);
    FSSetFaultHook([=](FSOp op, const std::wstring& path) {
      if (op == FSOP_STAT && path == full && when())
        (void)(is_dir ? rmdir(local.c_str()) : unlink(local.c_str()));
      return 0;
    });
  }
  // The one local event queued meanwhile is a removal of `rel`.
  void ExpectQueuedRemoval(const std::string& rel, bool is_dir) {
    Event local, server_side;
    ASSERT_EQ(mgr->PullEvent(local, server_side, worker.get()), 1) << rel;
    EXPECT_EQ(local.m_type, EV_REMOVE) << rel;
    EXPECT_EQ(local.m_path, sftest::W(rel));
    EXPECT_EQ(local.isDir(), is_dir) << rel;
  }
  // The worker's operations by event path.
  int Upload(const std::string& path) { return worker->UploadLocal(sftest::W(path)); }
  int RemoveRemote(const std::string& path) { return worker->RemoveRemote(sftest::W(path)); }

  std::unique_ptr<SyncServer> server;
  UiSink* ui = nullptr;  // set before SetUpEngine to see what the user is shown
  std::unique_ptr<TaskManager> mgr;
  TaskContext mailbox;
  std::unique_ptr<Worker> worker;
};
