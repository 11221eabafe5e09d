#include "client/sync/sync-task.h"

#include <cstdlib>

#include "client/core/sysinfo-mgr.h"
#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-client.h"
#include "lib/proto/proto-common.h"

SyncTask::SyncTask(TaskManager* owner, TaskContext* ctx, const wchar_t* module,
                   const wchar_t* component, std::wstring who)
    : ServerTask(owner, ctx),
      m_module(module),
      m_component(component),
      m_who(std::move(who)),
      pool(owner ? owner->GetConnectionPool() : nullptr) {}

SyncTask::~SyncTask() = default;

int SyncTask::ProtoBackoff(int normal) {
  if (const char* v = std::getenv("SYNCFOLDER_TEST_PROTO_BACKOFF")) {
    const long n = std::strtol(v, nullptr, 10);
    if (n >= 0 && n <= normal) return static_cast<int>(n);
  }
  return normal;
}

int SyncTask::Stop() {
  abort_flag = 1;
  return Task::Stop();
}

int SyncTask::Resume() {
  last_notified = 0;
  return Task::Resume();
}

bool SyncTask::IsConnected() const {
  MutexLock g(conn_state_lock);
  return conn_state == CONNECTED;
}

void SyncTask::SetConnectionState(ConnectionState s) {
  MutexLock g(conn_state_lock);
  conn_state = s;
}

ConnectionState SyncTask::GetConnectionState() const {
  MutexLock g(conn_state_lock);
  return conn_state;
}

SFSysInfo& SyncTask::Config() const {
  return m_owner->GetConfig();
}

std::wstring SyncTask::Session() const {
  return Config().SessionGet();
}

std::wstring SyncTask::Prefix(Logger::Level level, const wchar_t* fmt) const {
  const wchar_t* tag = L"[DEBUG] ";
  switch (level) {
    case Logger::L_EMERG:
    case Logger::L_ALERT:
    case Logger::L_CRIT:
      tag = L"[CRIT] ";
      break;
    case Logger::L_ERR:
      tag = L"[ERROR] ";
      break;
    case Logger::L_WARNING:
      tag = L"[WARNING] ";
      break;
    case Logger::L_NOTICE:
      tag = L"[NOTE] ";
      break;
    case Logger::L_INFO:
      tag = L"[INFO] ";
      break;
    case Logger::L_DEBUG:
      break;
  }
  std::wstring s(tag);
  s += m_module;
  s += L"(%d): ";
  s += fmt;
  return s;
}

int SyncTask::NotifyError(int code) {
  if (code == ERR_TIMEOUT) code = ERR_IO;
  if (code == last_notified) {
    if (code != ERR_IO) return 0;
    if (Now() - last_err_io_time < kIoReportDelay) return 0;
    SetConnectionState(DISCONNECTED);
  } else {
    last_notified = code;
    if (code == ERR_IO) {
      last_err_io_time = Now();
      return 0;
    }
  }
  if (m_owner) m_owner->ReportError(code);
  return 1;
}

int SyncTask::ObtainChannel(Connection*& conn) {
  conn = pool ? pool->pop() : nullptr;
  if (!conn) {
    // Cannot happen while the pool holds one connection per task; a retry
    // later finds one again.
    SYNC_LOG(L_ERR, L"%sno free connection in the pool\n", m_who);
    return ERR_IO;
  }
  if (!conn->channel) {
    ReturnChannel(conn, 0);
    conn = nullptr;
    return ERR_SYS;
  }
  conn->channel->SetFlag(&abort_flag);
  const int r = RequestChannel(conn);
  if (r != 0) {
    ReturnChannel(conn, 0);
    conn = nullptr;
  }
  return r;
}

void SyncTask::ReturnChannel(Connection* conn, uint32_t alive) {
  if (!conn || !pool) return;
  conn->Update(alive);
  if (conn->channel) conn->channel->SetFlag(static_cast<std::atomic<int>*>(nullptr));
  pool->push(conn);
}

int SyncTask::RequestChannel(Connection* conn) {
  if (conn->Reusable(static_cast<uint32_t>(Now()))) return 0;
  RequestChannelContext ctx;
  ctx.session = Session();
  int r = EstablishConnection(conn);
  if (r < 0) {
    SYNC_LOG(L_ERR, L"%sfailed to connect to server.\n", m_who);
    return r;
  }
  r = ProtoRequestChannel(*conn->channel, ctx);
  if (r < 0) {
    SYNC_LOG(L_ERR, L"%sfailed to finish request channel protocol\n", m_who);
    return r;
  }
  if (ctx.response != SPROTO_RES_OK) {
    const int code = ProtoResp2ErrorCode(ctx.response);
    SYNC_LOG(L_ERR, L"%sRequestChannel: %s\n", m_who, GetErrorStringW(code));
    return code;
  }
  if (ctx.alive == 0) {
    SYNC_LOG(L_INFO, L"%sconnection refused by server.\n", m_who);
    return ERR_IO;
  }
  conn->Update(ctx.alive);
  SetConnectionState(CONNECTED);
  return 0;
}

int SyncTask::EstablishConnection(Connection* conn) {
  std::string ip;
  const std::wstring wip = Config().IPGet();
  if (NativeStrToUTF8(wip, ip) != 0 || ip.size() > 23) ip.clear();
  const int port = Config().PortGet();
  conn->channel->Close();
  const int r = ip.empty() ? ERR_INVAL : conn->channel->Open(ip.c_str(), port, false);
  if (r != 0) {
    SYNC_LOG(L_ERR, L"%sFailed to establish TCP connection to server. %s\n", m_who,
             GetErrorStringW(r));
    return r;
  }
  SYNC_LOG(L_DEBUG, L"%sConnect to server (%s).\n", m_who, wip);
  return 0;
}

int SyncTask::ProtoRequestChannel(Channel& ch, RequestChannelContext& ctx) {
  ctx.alive = 0;
  int r = ProtoWriteConnRequest(ch, ctx.session);
  if (r < 0) {
    SYNC_LOG(L_ERR, L"%sfailed to send establish request. %s\n", m_who, GetErrorStringW(r));
    return r;
  }
  r = ProtoReadResponse(ch, SCMD_REQUEST_CONNECT, ctx.response);
  if (r < 0) {
    SYNC_LOG(L_ERR, L"%sfailed to read response. %s\n", m_who, GetErrorStringW(r));
    return r;
  }
  if (ctx.response == SPROTO_RES_OK) {
    r = ProtoReadSection(ch, SPROTO_ID_ALIVE, ctx.alive);
    if (r < 0) {
      SYNC_LOG(L_ERR, L"%sfailed to read alive value. %s\n", m_who, GetErrorStringW(r));
      return r;
    }
  }
  return 0;
}
