#include "server/server-conn.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/net/ssl-channel.h"
#include "lib/proto/proto-client.h"
#include "rsapi/rs-api.h"
#include "server/sync-server.h"

using namespace sfsrv;

namespace {
constexpr wchar_t kLogComponent[] = L"server_debug";

// Seconds a client has for the TLS hand-shake.
constexpr uint32_t kTlsHandshakeTimeout = 30;
// Seconds a connection may stay idle beyond the keep-alive it was granted.
constexpr uint32_t kIdleGrace = 10;
// Wrong passwords and unknown sessions one connection may present; the answer
// to the last one grants no keep-alive, and the connection closes after it.
// Trying more costs a new connection, with its own login deadline.
constexpr int kMaxFailedLogins = 3;
// A delta may carry somewhat more than the file it builds (literal framing).
constexpr uint64_t kDeltaSlackBytes = 1 << 20;

std::wstring W(const std::string& s) {
  return Utf8ToWideLossy(s);
}

uint8_t ToResult(StoreResult r) {
  switch (r) {
    case StoreResult::kOk:
    case StoreResult::kUnchanged:
      return SPROTO_RES_OK;
    case StoreResult::kConflict:
      return SPROTO_RES_CONFLICT;
    case StoreResult::kWait:
      return SPROTO_RES_WAIT;
    case StoreResult::kNoEnt:
      return SPROTO_RES_NOENT;
    case StoreResult::kError:
      return SPROTO_RES_ERR;
  }
  return SPROTO_RES_ERR;
}

ObjectInfo InfoFrom(const ObjectRow& row) {
  ObjectInfo info;
  info.sync_id = row.sync_id;
  info.type = row.type;
  info.status = row.exist ? FS_EXIST : FS_DEL;
  info.path = W(row.path);
  info.updator = W(row.updater);
  info.metadata.mtime = row.mtime;
  info.metadata.size = row.size;
  info.metadata.hash = W(row.hash);
  return info;
}

#define SF_TRY(expr)         \
  do {                       \
    int rc_ = (expr);        \
    if (rc_ < 0) return rc_; \
  } while (0)
}  // namespace

ServerConnection::ServerConnection(SyncServer& server, uint64_t id, bool tls)
    : m_server(server),
      m_store(server.store()),
      m_id(id),
      m_tls(tls),
      m_channel(tls ? std::make_unique<SSLChannel>() : std::make_unique<Channel>()),
      m_ch(*m_channel) {}

int ServerConnection::Adopt(int fd) {
  m_ch.SetFlag(m_server.StopFlag());
  m_ch.SetWaitPeriod(std::chrono::milliseconds(m_server.options().wait_period_ms));
  int r = 0;
  if (m_tls) {
    m_ch.SetTimeout(kTlsHandshakeTimeout);
    r = static_cast<SSLChannel&>(m_ch).Accept(fd, m_server.TlsContext());
    if (r != 0 && r != ERR_INVAL) {
      SF_LOG(L_NOTICE, L"[NOTE] server-conn(%d): connection %llu: TLS hand-shake failed: %s\n",
             m_id, GetErrorStringW(r));
    }
  } else {
    r = m_ch.Open(fd, false, true);
  }
  if (r != 0) return r;
  m_budget.limit = m_server.PayloadCut();
  return 0;
}

void ServerConnection::Run() {
  SF_LOG(L_DEBUG, L"[DEBUG] server-conn(%d): connection %llu open\n", m_id);
  // A keep-alive near the top of its range must not wrap to a few seconds.
  const uint32_t alive = m_server.options().alive;
  const uint32_t idle = alive > UINT32_MAX - kIdleGrace ? UINT32_MAX : alive + kIdleGrace;
  while (!m_server.Stopping()) {
    m_ch.SetTimeout(idle);
    uint16_t len = 0;
    uint8_t cmd = 0, version = 0;
    int r = ProtoReadHeader(m_ch, len, cmd, version);
    if (r < 0) {
      if (r != ERR_IO && r != ERR_INT) {
        SF_LOG(L_NOTICE, L"[NOTE] server-conn(%d): connection %llu: bad request header: %s\n", m_id,
               GetErrorStringW(r));
      }
      break;
    }
    r = Dispatch(cmd);
    if (r < 0) {
      SF_LOG(L_DEBUG, L"[DEBUG] server-conn(%d): connection %llu ends after %s: %s\n", m_id,
             ProtoCmd2String(cmd), GetErrorStringW(r));
      break;
    }
    if (TooManyFailures()) {
      SF_LOG(L_NOTICE, L"[NOTE] server-conn(%d): connection %llu closed after %d failed logins\n",
             m_id, m_failedLogins);
      break;
    }
  }
  SF_LOG(L_DEBUG, L"[DEBUG] server-conn(%d): connection %llu closed\n", m_id);
}

int ServerConnection::Dispatch(uint8_t cmd) {
  switch (cmd) {
    case SCMD_TEST_CONN:
      return OnTestConn();
    case SCMD_AUTH:
      return OnAuth();
    case SCMD_AUTH_2:
      return OnAuth2();
    case SCMD_USER_CHECK:
      return OnUserCheck();
    case SCMD_LIST_VIEW:
      return OnListView();
    case SCMD_REQUEST_CONNECT:
      return OnConnect();
    case SCMD_EVT_PULL:
      return OnPull();
    case SCMD_EVT_SEND:
      return OnDownload();
    case SCMD_EVT_REMOVE:
      return OnRemove();
    case SCMD_EVT_RECV_2: {
      UploadRequest req;
      SF_TRY(ProtoReadUploadRequest2(m_ch, req));
      return OnUpload(req, SCMD_EVT_RECV_2);
    }
    case SCMD_EVT_RECV: {
      RecvRequest req;
      SF_TRY(ProtoReadRecvRequest(m_ch, req));
      return req.is_node_op ? OnNodeOp(req.node) : OnUpload(req.upload, SCMD_EVT_RECV);
    }
    default:
      return OnUnknown(cmd);
  }
}

int ServerConnection::Finish() {
  uint32_t alive = TooManyFailures() ? 0 : m_server.GrantedAlive();
  SF_TRY(ProtoWriteAliveAndFlush(m_ch, alive));
  return alive == 0 ? ERR_INT : 0;
}

bool ServerConnection::KnownSession(const std::wstring& session, std::string& user) {
  const bool ok = m_server.ResolveSession(session, user);
  Credentials(ok);
  return ok;
}

uint8_t ServerConnection::CheckPassword(const std::wstring& user, const std::wstring& password) {
  const uint8_t code = m_server.CheckPassword(user, password);
  Credentials(code == 0);
  return code;
}

void ServerConnection::Credentials(bool ok) {
  if (!ok) {
    ++m_failedLogins;
  } else if (!m_loggedIn) {
    m_loggedIn = true;
    m_server.LoggedIn(m_id);
  }
}

bool ServerConnection::TooManyFailures() const {
  return m_failedLogins >= kMaxFailedLogins;
}

bool ServerConnection::Admit(const std::wstring& session, const std::wstring& path, SharePath& p,
                             uint8_t& code) {
  if (!KnownSession(session, m_user)) {
    SF_LOG(L_NOTICE, L"[NOTE] server-conn(%d): connection %llu: unknown session\n", m_id);
    code = SPROTO_RES_SESSIONERR;
    return false;
  }
  if (ParseSharePath(path, p) != 0) {
    SF_LOG(L_WARNING, L"[WARNING] server-conn(%d): connection %llu: refused path '%s'\n", m_id,
           path);
    code = SPROTO_RES_INVALID;
    return false;
  }
  if (m_server.ScriptedResult(p.str(), code)) return false;
  return true;
}

// ---- connection, authentication ---------------------------------------------

int ServerConnection::OnTestConn() {
  m_server.DelayAnswer();
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_TEST_CONN, SPROTO_RES_OK));
  return ProtoWriteTestConnBody(m_ch, m_server.options().reported_version,
                                W(m_server.options().serial), W(m_server.options().server_id));
}

int ServerConnection::OnAuth() {
  AuthRequest req;
  SF_TRY(ProtoReadAuthRequest(m_ch, req));
  m_server.DelayAnswer();
  uint8_t code = CheckPassword(req.username, req.password);
  std::wstring session;
  if (code == 0) {
    session = m_server.IssueSession(WideToUtf8Lossy(req.username));
    code = session.empty() ? SPROTO_RES_ERR : SPROTO_RES_OK;
  }
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_AUTH, code));
  if (code == SPROTO_RES_OK) SF_TRY(ProtoWriteSection(m_ch, SPROTO_ID_SESSION, session));
  return m_ch.FlushWrite(0);
}

// The user behind an auth-2 block, or the refusal to answer.
uint8_t ServerConnection::CheckAuth2(const Auth2Block& b, std::string& user) {
  if (b.auth_type == 1) {
    return KnownSession(b.session, user) ? SPROTO_RES_OK : SPROTO_RES_SESSIONERR;
  }
  uint8_t code = CheckPassword(b.username, b.password);
  if (code != 0) return code;
  user = WideToUtf8Lossy(b.username);
  return SPROTO_RES_OK;
}

int ServerConnection::OnAuth2() {
  sfsrv::Auth2Message req;
  SF_TRY(ProtoReadAuth2Message(m_ch, req));
  m_server.DelayAnswer();
  std::string user;
  uint8_t code = CheckAuth2(req.auth, user);
  if (code == SPROTO_RES_OK && req.view_id > 1) code = SPROTO_RES_INVALID_VIEW;
  std::wstring session;
  if (code == SPROTO_RES_OK) {
    session = m_server.IssueSession(user);
    if (session.empty()) code = SPROTO_RES_ERR;
  }
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_AUTH_2, code));
  if (code == SPROTO_RES_OK) SF_TRY(ProtoWriteSection(m_ch, SPROTO_ID_SESSION, session));
  return m_ch.FlushWrite(0);
}

int ServerConnection::OnUserCheck() {
  UserCheckRequest req;
  SF_TRY(ProtoReadUserCheckRequest(m_ch, req));
  m_server.DelayAnswer();
  uint8_t code = CheckPassword(req.username, req.password);
  if (code == 0) code = SPROTO_RES_OK;
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_USER_CHECK, code));
  if (code == SPROTO_RES_OK) {
    SF_TRY(ProtoWriteSection(m_ch, SPROTO_ID_SERIAL_NUMBER, W(m_server.options().serial)));
  }
  return m_ch.FlushWrite(0);
}

int ServerConnection::OnListView() {
  Auth2Block block;
  SF_TRY(ProtoReadAuth2Block(m_ch, block));
  m_server.DelayAnswer();
  std::string user;
  uint8_t code = CheckAuth2(block, user);
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_LIST_VIEW, code));
  if (code != SPROTO_RES_OK) return m_ch.FlushWrite(0);
  View v;
  v.view_id = 1;
  v.name = m_server.ViewName();
  return ProtoWriteViewList(m_ch, {v});
}

int ServerConnection::OnConnect() {
  std::wstring session;
  SF_TRY(ProtoReadSessionOnly(m_ch, session));
  m_server.DelayAnswer();
  if (!KnownSession(session, m_user)) {
    SF_TRY(ProtoWriteResponse(m_ch, SCMD_REQUEST_CONNECT, SPROTO_RES_SESSIONERR));
    return m_ch.FlushWrite(0);
  }
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_REQUEST_CONNECT, SPROTO_RES_OK));
  // Clients take a session channel granted for 0 seconds as refused. A
  // server configured to close after every answer still serves the one
  // request that follows: it grants 1 second here and 0 with that answer.
  // (The scripted fault keeps granting 0, to play a refusing server.)
  if (m_server.options().alive == 0 && !m_server.Faults().alive_zero) {
    SF_TRY(ProtoWriteAliveAndFlush(m_ch, 1));
    return 0;
  }
  return Finish();
}

int ServerConnection::OnUnknown(uint8_t cmd) {
  SF_LOG(L_WARNING, L"[WARNING] server-conn(%d): connection %llu: unsupported command %d\n", m_id,
         cmd);
  // Its sections are unknown, so the stream cannot be followed any further.
  // The connection ends with ERR_PROTO whether the answer reaches the peer.
  if (ProtoWriteResponse(m_ch, cmd, SPROTO_RES_INVALID) == 0) (void)m_ch.FlushWrite(0);
  return ERR_PROTO;
}

// ---- sync requests ----------------------------------------------------------------

int ServerConnection::OnPull() {
  PullRequest req;
  SF_TRY(ProtoReadPullRequest(m_ch, req));
  m_server.DelayAnswer();
  if (!KnownSession(req.session, m_user)) {
    SF_TRY(ProtoWriteResponse(m_ch, SCMD_EVT_PULL, SPROTO_RES_SESSIONERR));
    return Finish();
  }
  std::vector<ObjectRow> rows;
  uint64_t to_id = req.base;
  if (!m_server.Faults().hold_pulls &&
      m_store.ListChanges(req.base, m_server.options().max_pull_entries, rows, to_id) != 0) {
    SF_TRY(ProtoWriteResponse(m_ch, SCMD_EVT_PULL, SPROTO_RES_ERR));
    return Finish();
  }
  std::vector<PullEntry> entries;
  entries.reserve(rows.size());
  for (const ObjectRow& r : rows) {
    PullEntry e;
    e.sync_id = r.sync_id;
    e.type = r.type;
    e.status = r.exist ? FS_EXIST : FS_DEL;
    e.size = r.size;
    e.hash = W(r.hash);
    e.path = W(r.path);
    entries.push_back(std::move(e));
  }
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_EVT_PULL, SPROTO_RES_OK));
  SF_TRY(ProtoWritePullBody(m_ch, to_id, entries));
  return Finish();
}

void ServerConnection::ChooseContent(const SharePath& p, uint64_t client_base, const ObjectRow& cur,
                                     UniqueFd& cur_fd, std::unique_ptr<StagedFile>& delta,
                                     UniqueFd& send_fd, uint64_t& send_len, uint8_t& type) {
  send_fd = std::move(cur_fd);
  send_len = cur.size;
  type = 0;
  UniqueFd base;
  std::unique_ptr<StagedFile> sig;
  if (client_base == 0 || cur.size == 0 || m_store.OpenVersion(p, client_base, base) != 0 ||
      m_store.NewStaged(sig) != 0 || m_store.NewStaged(delta) != 0) {
    delta.reset();
    return;
  }
  struct stat st;
  UniqueFd dfd;
  if (RSCalcSign(FdPath(base.get()), sig->wpath()) != 0 ||
      RSCalcDelta(sig->wpath(), FdPath(send_fd.get()), delta->wpath()) != 0 ||
      stat(delta->path().c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) >= cur.size) {
    delta.reset();
    return;
  }
  dfd.reset(open(delta->path().c_str(), O_RDONLY | O_CLOEXEC));
  if (!dfd.valid()) {
    delta.reset();
    return;
  }
  send_fd = std::move(dfd);
  send_len = static_cast<uint64_t>(st.st_size);
  type = 1;
}

int ServerConnection::OnDownload() {
  DownloadRequest req;
  SF_TRY(ProtoReadDownloadRequest(m_ch, req));
  m_server.DelayAnswer();
  SharePath p;
  uint8_t code = SPROTO_RES_OK;
  ObjectRow cur;
  UniqueFd cur_fd;
  if (Admit(req.session, req.obj.path, p, code)) {
    int r = m_store.Get(p, cur);
    if (r == ERR_NOENT || (r == 0 && !cur.exist)) {
      code = SPROTO_RES_NOENT;
    } else if (r != 0) {
      code = SPROTO_RES_ERR;
    } else if (cur.sync_id == req.obj.sync_id) {
      code = SPROTO_RES_UPTODATE;
    } else if (!cur.isDir()) {
      // The open file is a snapshot: a replacement meanwhile does not change it.
      r = m_store.OpenCurrent(p, cur_fd, cur);
      code = r == 0 ? SPROTO_RES_OK : r == ERR_NOENT ? SPROTO_RES_NOENT : SPROTO_RES_ERR;
    }
  }
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_EVT_SEND, code));
  if (code != SPROTO_RES_OK) return Finish();

  uint32_t blocks = req.sync_blocks & kBlockCommonAttr;
  if (!cur.isDir()) blocks |= req.sync_blocks & kBlockFile;
  ObjectID obj;
  obj.sync_id = cur.sync_id;
  obj.path = W(cur.path);
  SF_TRY(ProtoWriteObjectId(m_ch, obj));
  SF_TRY(ProtoWriteSection(m_ch, SPROTO_ID_FILETYPE, cur.type));
  SF_TRY(ProtoWriteSection(m_ch, SPROTO_ID_DATA_BLOCK, blocks));
  if (blocks & kBlockCommonAttr) {
    CommonAttributeBlock attr;
    attr.mtime = cur.mtime;
    SF_TRY(ProtoWriteCommonAttributeBlock(m_ch, attr));
  }
  if (blocks & kBlockFile) {
    std::unique_ptr<StagedFile> delta;
    UniqueFd send_fd;
    uint64_t len = 0;
    uint8_t type = 0;
    ChooseContent(p, req.obj.sync_id, cur, cur_fd, delta, send_fd, len, type);
    SF_TRY(ProtoWriteSection(m_ch, SPROTO_ID_FILESIZE, cur.size));
    SF_TRY(ProtoWriteSection(m_ch, SPROTO_ID_FILEHASH, W(cur.hash)));
    SF_LOG(L_DEBUG, L"[DEBUG] server-conn(%d): sending '%s' (%s, %llu bytes)\n", cur.path,
           type ? L"delta" : L"whole", len);
    SF_TRY(ProtoSendPayload(m_ch, send_fd.get(), len, type, m_budget));
    m_server.RecordPayload({cur.path, false, type != 0, len});
  }
  return Finish();
}

int ServerConnection::OnRemove() {
  RemoveRequest req;
  SF_TRY(ProtoReadRemoveRequest(m_ch, req));
  m_server.DelayAnswer();
  SharePath p;
  uint8_t code = SPROTO_RES_OK;
  if (Admit(req.session, req.obj.path, p, code)) {
    code = ToResult(m_store.Remove(p, BaseCheck::From(req.obj.sync_id), m_user));
  }
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_EVT_REMOVE, code));
  return Finish();
}

int ServerConnection::ReceiveContent(const UploadRequest& req, const SharePath& p, ObjectRow& row) {
  std::unique_ptr<StagedFile> received;
  if (m_store.NewStaged(received) != 0) return ERR_SYS;
  uint64_t max_len =
      req.file_is_delta ? req.file_size + req.file_size / 8 + kDeltaSlackBytes : req.file_size;
  uint8_t type = 0;
  uint64_t len = 0;
  // A whole file is hashed as it arrives, a delta's result as it is written.
  RSDigest digest;
  {
    UniqueFd fd(open(received->path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.valid()) return ERR_SYS;
    int r = ProtoReceivePayload(m_ch, fd.get(), max_len, type, len, m_budget,
                                req.file_is_delta ? nullptr : &digest);
    if (r < 0) {
      SF_LOG(L_NOTICE, L"[NOTE] server-conn(%d): upload of '%s' broken off: %s\n", p.str(),
             GetErrorStringW(r));
      return r;  // the staged file goes with `received`
    }
  }
  m_server.RecordPayload({p.str(), true, type != 0, len});
  if ((type != 0) != (req.file_is_delta != 0)) {
    SF_LOG(L_WARNING, L"[WARNING] server-conn(%d): payload type %d differs from request\n", type);
    return SPROTO_RES_ERR;
  }
  StagedFile* content = received.get();
  std::unique_ptr<StagedFile> patched;
  if (req.file_is_delta) {
    UniqueFd base;
    if (m_store.OpenVersion(p, req.obj.sync_id, base) != 0 || m_store.NewStaged(patched) != 0 ||
        RSPatchFile(FdPath(base.get()), received->wpath(), patched->wpath(), req.file_size,
                    &digest) != 0) {
      SF_LOG(L_NOTICE, L"[NOTE] server-conn(%d): delta for '%s' cannot be applied\n", p.str());
      return SPROTO_RES_ERR;
    }
    content = patched.get();
  }
  uint64_t size = 0;
  std::string hash;
  if (content->Flush(size) != 0) return SPROTO_RES_ERR;
  unsigned char raw[kMD4DigestLen];
  digest.Final(raw);
  hash = WideToUtf8Lossy(RSDigestToText(raw));
  if (size != req.file_size || W(hash) != req.file_hash) {
    SF_LOG(L_NOTICE,
           L"[NOTE] server-conn(%d): '%s' arrived as %llu bytes / %s, announced %llu / %s\n",
           p.str(), size, hash, req.file_size, req.file_hash);
    return SPROTO_RES_ERR;
  }
  uint32_t mtime = (req.data_blocks & kBlockCommonAttr) ? req.common_attr.mtime
                                                        : static_cast<uint32_t>(time(nullptr));
  return ToResult(m_store.PutFile(p, BaseCheck::From(req.obj.sync_id), *content, size, hash, mtime,
                                  m_user, row));
}

int ServerConnection::OnUpload(UploadRequest& req, uint8_t cmd) {
  m_server.DelayAnswer();
  SharePath p;
  uint8_t code = SPROTO_RES_OK;
  uint32_t ack = 0;
  ObjectRow cur, row;
  bool have_cur = false;
  uint32_t mtime = (req.data_blocks & kBlockCommonAttr) ? req.common_attr.mtime
                                                        : static_cast<uint32_t>(time(nullptr));
  if (!Admit(req.session, req.obj.path, p, code)) {
    // refused before any content
  } else if (req.new_obj_type != SFT_FILE && req.new_obj_type != SFT_DIR) {
    code = SPROTO_RES_INVALID;
  } else if (req.new_obj_type == SFT_DIR) {
    code = (req.data_blocks & kBlockFile)
               ? static_cast<uint8_t>(SPROTO_RES_INVALID)
               : ToResult(m_store.MakeDir(p, BaseCheck::From(req.obj.sync_id), mtime, m_user, row));
  } else {
    int r = m_store.Get(p, cur);
    if (r == ERR_SYS) {
      code = SPROTO_RES_ERR;
    } else {
      have_cur = r == 0 && cur.exist;
      bool same =
          have_cur && !cur.isDir() && cur.size == req.file_size && W(cur.hash) == req.file_hash;
      if (!(req.data_blocks & kBlockFile)) {
        // Nothing to store: only the object the client names can be confirmed.
        code = !have_cur                                          ? SPROTO_RES_NOENT
               : (!cur.isDir() && cur.sync_id == req.obj.sync_id) ? SPROTO_RES_OK
                                                                  : SPROTO_RES_CONFLICT;
        row = cur;
      } else if (same && cur.sync_id == req.obj.sync_id) {
        row = cur;  // the client's record already describes this content
      } else if (have_cur && cur.sync_id != req.obj.sync_id && !same) {
        // Identical content is no conflict, whatever the base; but it is
        // still asked for, as only a taken file block makes the client record
        // the size and checksum of its own file rather than its old record's.
        code = SPROTO_RES_CONFLICT;
      } else if (req.file_is_delta && (!have_cur || cur.isDir())) {
        code = SPROTO_RES_ERR;  // nothing to patch: the client sends the whole file next
      } else if (req.file_size > m_server.options().max_file_bytes) {
        code = SPROTO_RES_QUOTA;
      } else if (!m_store.HasRoomFor(req.file_is_delta ? 2 * req.file_size : req.file_size)) {
        code = SPROTO_RES_DISKFULL;
      } else {
        ack = kBlockFile;
      }
    }
  }

  SF_TRY(ProtoWriteSection(m_ch, SPROTO_ID_DATA_BLOCK, ack));
  SF_TRY(m_ch.FlushWrite(0));
  if (ack & kBlockFile) {
    int r = ReceiveContent(req, p, row);
    if (r < 0) return r;
    code = static_cast<uint8_t>(r);
  }
  SF_TRY(ProtoWriteResponse(m_ch, cmd, code));
  if (code == SPROTO_RES_OK) {
    ObjectID obj;
    obj.sync_id = row.sync_id;
    obj.path = W(row.path);
    CommonAttributeBlock attr;
    attr.mtime = row.mtime;
    SF_TRY(ProtoWriteObjectId(m_ch, obj));
    SF_TRY(ProtoWriteCommonAttributeBlock(m_ch, attr));
  }
  return Finish();
}

int ServerConnection::OnNodeOp(const NodeOpRequest& req) {
  m_server.DelayAnswer();
  SharePath p;
  uint8_t code = SPROTO_RES_OK;
  ObjectRow row;
  if (!Admit(req.session, req.path, p, code)) {
    // refused
  } else if ((req.type != SFT_FILE && req.type != SFT_DIR) || req.op > FOP_PATCH) {
    code = SPROTO_RES_INVALID;
  } else {
    int r = m_store.Get(p, row);
    bool exists = r == 0 && row.exist;
    if (r == ERR_SYS) {
      code = SPROTO_RES_ERR;
    } else if (req.op == FOP_DEL) {
      if (!exists) {
        code = SPROTO_RES_NOENT;
      } else if (row.type != req.type) {
        code = SPROTO_RES_CONFLICT;
      } else {
        StoreResult s = m_store.Remove(p, BaseCheck::From(req.base), m_user);
        // A refused removal here is reported as the conflict it is.
        code = s == StoreResult::kWait ? static_cast<uint8_t>(SPROTO_RES_CONFLICT) : ToResult(s);
      }
    } else if (req.op == FOP_CREATE && req.type == SFT_DIR) {
      code = ToResult(m_store.MakeDir(p, BaseCheck::From(req.base),
                                      static_cast<uint32_t>(time(nullptr)), m_user, row));
    } else if (exists) {
      // Announcing an upload of (or creating) an existing object: fine only
      // when it is the version the client names.
      code =
          (row.type == req.type && row.sync_id == req.base) ? SPROTO_RES_OK : SPROTO_RES_CONFLICT;
    } else if (req.op == FOP_PATCH) {
      code = SPROTO_RES_NOENT;
    } else {
      std::unique_ptr<StagedFile> empty;
      uint64_t size = 0;
      std::string hash;
      if (m_store.NewStaged(empty) != 0 || empty->Finish(size, hash) != 0) {
        code = SPROTO_RES_ERR;
      } else {
        code = ToResult(m_store.PutFile(p, BaseCheck::From(req.base), *empty, size, hash,
                                        static_cast<uint32_t>(time(nullptr)), m_user, row));
      }
    }
  }
  SF_TRY(ProtoWriteResponse(m_ch, SCMD_EVT_RECV, code));
  if (code == SPROTO_RES_OK && req.op != FOP_DEL) SF_TRY(ProtoWriteObjectInfo(m_ch, InfoFrom(row)));
  return m_ch.FlushWrite(0);
}
