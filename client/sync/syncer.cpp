// Thread: the syncer's own task thread runs DoTask and every pull. It waits
// in Task::Wait between rounds and in Task::IdleWait while the workers finish
// (the last of them to finish wakes it); Stop raises
// abort_flag (a pull in progress ends with ERR_INT) and wakes those waits.
#include "client/sync/syncer.h"

#include <algorithm>
#include <vector>

#include "client/store/event-db.h"
#include "lib/base/errors.h"
#include "lib/net/channel.h"

namespace {

struct Policy {
  bool notify;
  // 0 go on, 1 retry soon, 2 retry late, 3 retry after a growing wait, -1 unexpected
  int action;
};

// Indexed by -code (ERR_OK .. ERR_DISKFULL).
constexpr Policy kPolicy[] = {
    {true, 0},    // ERR_OK
    {false, 2},   // ERR_INT
    {true, 1},    // ERR_IO
    {false, 1},   // ERR_SYS
    {false, -1},  // ERR_INVAL
    {true, 3},    // ERR_PROTO: an answer that makes no sense
    {true, 2},    // ERR_AUTH
    {false, 1},   // ERR_SERVER
    {false, -1},  // ERR_CONFLICT
    {true, 1},    // ERR_TIMEOUT
    {true, 2},    // ERR_VERSION
    {false, -1},  // ERR_NOENT
    {false, -1},  // ERR_USER
    {false, -1},  // ERR_PASSWORD
    {true, 2},    // ERR_KELVODISABLE
    {false, -1},  // ERR_QUOTA
    {false, -1},  // ERR_DISKFULL
};
constexpr int kLastKnownCode = -static_cast<int>(sizeof(kPolicy) / sizeof(kPolicy[0]) - 1);

}  // namespace

Syncer::Syncer(TaskManager* owner, int generation)
    : SyncTask(owner, nullptr, generation == 3 ? L"syncer-v3" : L"syncer-v4", L"syncer_debug",
               L"Syncer: "),
      // Never 0: the syncer would ask without end and without a pause.
      m_proto_first(std::max(1, ProtoBackoff(kRetryWait))),
      m_proto_wait(m_proto_first) {}

Syncer::~Syncer() {
  Stop();
}

Event Syncer::MakeEvent(const PullEntry& entry) {
  Event e(entry.isRemoved() ? EV_REMOVE : EV_CREATE, F_SERVER, entry.path);
  if (entry.type == SFT_DIR) e.m_mode |= F_DIR;
  e.m_syncID = entry.sync_id;
  if (!entry.isRemoved()) {
    e.m_size = entry.size;
    e.m_hash = entry.hash;
  }
  return e;
}

void Syncer::DoTask() {
  if (FileEventDB::getSyncId(sync_id) != 0) {
    SYNC_LOG(L_ERR, L"Syncer: failed to get initial sync id ... starts from 0\n");
    sync_id = 0;
  }
  SYNC_LOG(L_DEBUG, L"Syncer: start working with sync id %llu\n", sync_id);
  ResendRemovals(true);
  for (;;) {
    const State s = GetState();
    if (s == STOP) break;
    if (s == PAUSE) {
      WaitWhilePaused(1);
      continue;
    }
    SYNC_LOG(L_DEBUG, L"Syncer: pull event since %llu\n", sync_id);
    PullEventContext ctx;
    ctx.from_id = sync_id;
    ctx.session = Session();
    const int a = HandleError(PullEvent(ctx));
    if (a < 0) {
      SYNC_LOG(L_CRIT, L"abort()\n");
      Wait(kRetryWait);
    } else if (a == 3) {
      const int wait = NextProtoWait();
      SYNC_LOG(L_WARNING, L"Syncer: the server's answer makes no sense; asking again in %d s\n",
               wait);
      Wait(wait);
    } else if (a == 2) {
      Wait(kLongWait);
    } else if (a > 0) {
      Wait(kRetryWait);
    } else {
      m_proto_wait = m_proto_first;
      ProcessEvents(ctx);
    }
  }
  SYNC_LOG(L_DEBUG, L"Syncer: stop working, now sync id %llu.\n", sync_id);
}

int Syncer::HandleError(int e) {
  if (e > 0 || e < kLastKnownCode) {
    SYNC_LOG(L_CRIT, L"Syncer: unknown error code [%d].\n", e);
    return -1;
  }
  SYNC_LOG(L_DEBUG, L"Syncer: HandleError: %s.\n", GetErrorStringW(e));
  const Policy& p = kPolicy[-e];
  const int n = p.notify ? NotifyError(e) : 0;
  if (p.action < 0) {
    SYNC_LOG(L_CRIT, L"Syncer: unexpected error code [%d].\n", e);
    return -1;
  }
  if ((e == ERR_IO || e == ERR_TIMEOUT) && n == 1) return 2;
  return p.action;
}

int Syncer::NextProtoWait() {
  const int wait = m_proto_wait;
  m_proto_wait = std::min(kLongWait, m_proto_wait * 2);
  return wait;
}

int Syncer::PullEvent(PullEventContext& ctx) {
  const int r = WithChannel(L"PullEvent: fail to establish communication channel\n", ctx.alive,
                            [&](Channel& ch) { return ProtoPullEvent(ch, ctx); });
  if (r < 0) {
    SYNC_LOG(L_ERR, L"PullEvent: fail to pull events. %s.\n", GetErrorStringW(r));
    return r;
  }
  if (ctx.response != SPROTO_RES_OK) {
    const int code = ProtoResp2ErrorCode(ctx.response);
    SYNC_LOG(L_ERR, L"PullEvent: response: %s.\n", GetErrorStringW(code));
    return code;
  }
  return 0;
}

int Syncer::ProtoPullEvent(Channel& ch, PullEventContext& ctx) {
  ctx.alive = 0;
  int r = ProtoWritePullEventRequest(ch, ctx.session, ctx.from_id);
  if (r < 0) {
    SYNC_LOG(L_ERR, L"PullEvent: fail to send request. %s\n", GetErrorStringW(r));
    return r;
  }
  r = ProtoReadResponse(ch, SCMD_EVT_PULL, ctx.response);
  if (r < 0) {
    SYNC_LOG(L_ERR, L"PullEvent: fail to recv response. %s\n", GetErrorStringW(r));
    return r;
  }
  if (ctx.response == SPROTO_RES_OK) {
    size_t dropped = 0;
    r = ProtoReadEvents(ch, ctx.to_id, ctx.entries, kPullWithContent, &dropped);
    if (r < 0) {
      SYNC_LOG(L_ERR, L"PullEvent: fail to recv events. %s\n", GetErrorStringW(r));
      return r;
    }
    if (dropped > 0) {
      // Such a path could reach outside the sync root; the user must learn
      // that a change from the server was not applied.
      SYNC_LOG(L_WARNING, L"PullEvent: %llu server changes with unsafe paths dropped\n",
               static_cast<unsigned long long>(dropped));
      if (m_owner) m_owner->ReportError(ERR_INVAL);
    }
  }
  r = ProtoReadSection(ch, SPROTO_ID_ALIVE, ctx.alive);
  if (r < 0) {
    SYNC_LOG(L_ERR, L"PullEvent: fail to recv channel alive. %s\n", GetErrorStringW(r));
    return r;
  }
  return 0;
}

int Syncer::ProcessEvents(PullEventContext& ctx) {
  if (ctx.to_id == ctx.from_id) {
    // This client's own changes alone may have made a refused removal
    // possible.
    ResendRemovals(false);
    Wait(m_idle_wait);
    return 0;
  }
  std::vector<Event> events;
  events.reserve(ctx.entries.size());
  for (const PullEntry& entry : ctx.entries) {
    events.push_back(MakeEvent(entry));
    SYNC_LOG(L_DEBUG, L"ProcessEvents: PushServerEvent: %s\n", events.back().toString());
  }
  m_owner->PushServerEvents(events);
  if (WaitForWorkers() < 0) {
    SYNC_LOG(L_NOTICE, L"ProcessEvents: interrupted while waiting events being done ...\n");
    return -1;
  }
  sync_id = ctx.to_id;
  if (FileEventDB::setSyncId(sync_id) != 0) {
    SYNC_LOG(L_ERR, L"ProcessEvents: cannot store sync id %llu\n", sync_id);
  } else if (FileEventDB::pruneOwnSyncIds(sync_id) != 0) {
    SYNC_LOG(L_ERR, L"ProcessEvents: cannot forget own changes up to %llu\n", sync_id);
  }
  ResendRemovals(false);
  return 0;
}

void Syncer::ResendRemovals(bool all) {
  std::vector<FileEventDB::RemovalIntent> intents;
  uint64_t seen = 0;
  if (FileEventDB::getRemovalIntents(intents) != 0 || intents.empty() ||
      FileEventDB::getSeenSyncId(seen) != 0)
    return;
  std::vector<Event> events;
  for (const auto& i : intents) {
    // A removal that was not refused is queued already (or set aside),
    // unless the daemon stopped before the server took it.
    if (!all && (!i.refused || seen <= i.base)) continue;
    if (!i.is_dir) {
      ClientFileEventInfo row;
      const bool has_row = FileEventDB::getEventInfo(i.path, row) == 0;
      if (i.Overtaken(has_row ? &row : nullptr)) {
        // The file was synced again after the removal (and, missing now,
        // was lost since, perhaps while the daemon was stopped): the
        // start-up rescan fetches it, as it does for any such file.
        SYNC_LOG(L_INFO, L"Syncer: the removal of '%s' was overtaken; it is not sent\n", i.path);
        (void)FileEventDB::rmRemovalIntent(i.path);
        continue;
      }
    }
    SYNC_LOG(L_INFO, L"Syncer: the removal of '%s' is sent again (seen %llu, base %llu)\n", i.path,
             seen, i.base);
    events.emplace_back(EV_REMOVE, i.is_dir ? F_DIR : 0u, i.path);
  }
  if (!events.empty() && m_owner) m_owner->PushLocalEvents(events);
}

int Syncer::WaitForWorkers() {
  SetConnectionState(IDLE_STATE);
  for (;;) {
    const int n = m_owner->GetPendingServerEvent();
    if (n <= 0) return 0;
    const State s = GetState();
    if (s == STOP) {
      SYNC_LOG(L_WARNING, L"Program stopped while syncing files ...\n");
      return -1;
    }
    SYNC_LOG(L_DEBUG, L"Wait for workers (still %d pending server events).\n", n);
    if (s == PAUSE) {
      WaitWhilePaused(1);
    } else {
      IdleWait(1);
    }
  }
}
