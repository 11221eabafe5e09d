#include "lib/proto/proto-client.h"

#include <cstring>
#include <memory>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/net/channel-factory.h"
#include "lib/net/channel.h"

namespace {

constexpr wchar_t kLogComponent[] = L"proto_client_debug";

const wchar_t* ErrText(int rc) {
  return GetErrorStringW(rc);
}

// Reads the response header and result; on a refusal returns the mapped
// code (never 0), on success 0, on a transport failure that failure.
// `refused` tells the two failure kinds apart for the callers' log lines.
int ReadResult(Channel& ch, uint8_t cmd, bool& refused) {
  refused = false;
  int result = 0;
  int rc = ProtoReadResponse(ch, cmd, result);
  if (rc < 0) return rc;
  if (result == SPROTO_RES_OK) return 0;
  refused = true;
  int mapped = ProtoResp2ErrorCode(result);
  return mapped != 0 ? mapped : ERR_SYS;
}

}  // namespace

// ---- responses ------------------------------------------------------------------

int ProtoReadResponse(Channel& ch, uint8_t expected_cmd, int& result) {
  uint16_t len = 0;
  uint8_t cmd = 0, version = 0;
  int rc = ProtoReadHeader(ch, len, cmd, version);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): ReadResponse: Bad header\n");
    return rc;
  }
  if (cmd != expected_cmd) {
    SF_LOG(
        L_ERR,
        L"[ERROR] proto-client(%d): ReadResponse: Bad response. Expect command (%d) but got (%d)\n",
        expected_cmd, cmd);
    return ERR_PROTO;
  }
  uint8_t res = 0;
  rc = ProtoReadSection(ch, SPROTO_ID_RES, res);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadResponse: Bad section [%s]\n");
  result = res;
  return 0;
}

int ProtoResp2ErrorCode(int result) {
  switch (result) {
    case SPROTO_RES_OK:
      return ERR_OK;
    case SPROTO_RES_ERR:
    case SPROTO_RES_INVALID:
      return ERR_SERVER;
    case SPROTO_RES_USRERR:
      return ERR_USER;
    case SPROTO_RES_PASSERR:
      return ERR_PASSWORD;
    case SPROTO_RES_CLIENTERR:
    case SPROTO_RES_SESSIONERR:
    case SPROTO_RES_USERDISABLED:
    case SPROTO_RES_INVALID_VIEW:
    case SPROTO_RES_SHARE_DISABLED:
      return ERR_AUTH;
    case SPROTO_RES_IDERR:
      return ERR_PROTO;
    case SPROTO_RES_CONFLICT:
      return ERR_CONFLICT;
    case SPROTO_RES_UPGRADE:
    case SPROTO_RES_FILTER_VERSION:
      return ERR_VERSION;
    case SPROTO_RES_NOENT:
      return ERR_NOENT;
    case SPROTO_RES_KELVODISABLED:
    case SPROTO_RES_SHARE_KELVO_DISABLED:
    case SPROTO_RES_SHARE_ACCESS_DENIED:
      return ERR_KELVODISABLE;
    case SPROTO_RES_QUOTA:
      return ERR_QUOTA;
    case SPROTO_RES_DISKFULL:
      return ERR_DISKFULL;
    default:  // including SPROTO_RES_UPTODATE and SPROTO_RES_WAIT
      return ERR_SYS;
  }
}

int ProtoWriteResponse(Channel& ch, uint8_t cmd, uint8_t result) {
  int rc = ProtoWriteHeader(ch, 0, cmd);
  if (rc < 0) return rc;
  return ProtoWriteSection(ch, SPROTO_ID_RES, result);
}

// ---- test connection --------------------------------------------------------------

int ProtoTestConnection(Channel& ch, int& version, std::wstring& serial, std::wstring& server_id) {
  int rc = ProtoWriteHeader(ch, 0, SCMD_TEST_CONN);
  if (rc == 0) rc = ch.FlushWrite(0);
  bool refused = false;
  if (rc == 0) rc = ReadResult(ch, SCMD_TEST_CONN, refused);
  uint8_t v = 0;
  std::wstring sn, id;
  if (rc == 0) rc = ProtoReadSection(ch, SPROTO_ID_PROTO_VERSION, v);
  if (rc >= 0) rc = ProtoReadSection(ch, SPROTO_ID_SERIAL_NUMBER, sn);
  if (rc >= 0) rc = ProtoReadSection(ch, SPROTO_ID_SERVER_ID, id);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): TestConnection: %s\n");
  version = v;
  serial.swap(sn);
  server_id.swap(id);
  return 0;
}

int SFAPITestConnection(const char* ip, int port, int& version, std::wstring& serial,
                        std::wstring& server_id) {
  Channel ch(Channel::kDefaultCapacity);
  if (ch.Open(ip, port, false) != 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): Failed to connect to the server.\n");
    return ERR_IO;
  }
  int rc = ProtoTestConnection(ch, version, serial, server_id);
  ch.Close();
  return rc;
}

int ProtoTestConnectionProxyTunnel(const char* ip, int port, const ProxyInfo& proxy,
                                   const TunnelInfo& tunnel, bool use_ssl, int& version,
                                   std::wstring& serial, std::wstring& server_id,
                                   const TlsPeerCheck& check) {
  std::unique_ptr<Channel> ch = CreateChannelByConnectionType(proxy, tunnel, use_ssl, check);
  if (!ch) {
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): Channel not determined, abort !!");
    return ERR_SYS;
  }
  SF_LOG(L_INFO,
         L"[INFO] proto-client(%d): ProtoTestConnectionProxyTunnel: ip = '%s:%d', proxy='%s:%d', "
         L"tunnel = '%s:%d', use_proxy/tuunel = '%d:%d'\n",
         ip ? ip : "", port, proxy.proxy_ip, proxy.proxy_port, tunnel.tunnel_ip, tunnel.tunnel_port,
         proxy.use_proxy, tunnel.use_tunnel);
  int rc = ch->Open(ip, port, false);
  if (rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): Channel open failed\n");
    return rc;
  }
  return ProtoTestConnection(*ch, version, serial, server_id);
}

// ---- first authentication dialect -------------------------------------------------

int ProtoWriteAuthRequest(Channel& ch, const std::wstring& username, const std::wstring& password,
                          const std::wstring& client) {
  int rc = ProtoWriteHeader(ch, 0, SCMD_AUTH);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteAuthRequest: Failed to send header. %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_USER, username);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-client(%d): WriteAuthRequest: Failed to send username. %s\n");
  rc = ProtoWriteEncSection(ch, SPROTO_ID_PASSWD, password);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-client(%d): WriteAuthRequest: Failed to send password. %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_CLIENT, client);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-client(%d): WriteAuthRequest: Failed to send client id. %s\n");
  rc = ch.FlushWrite(0);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteAuthRequest: Failed to send data. %s\n");
  return 0;
}

int ProtoReadAuthResult(Channel& ch, std::wstring& session) {
  bool refused = false;
  int rc = ReadResult(ch, SCMD_AUTH, refused);
  if (rc < 0) {
    if (refused)
      SF_LOG(L_ERR, L"[ERROR] proto-client(%d): ReadAuthResult: Bad response: %s\n", ErrText(rc));
    else
      SF_LOG(L_ERR,
             L"[ERROR] proto-client(%d): ReadAuthResult: Failed to get response from server. %s\n",
             ErrText(rc));
    return rc;
  }
  std::wstring s;
  rc = ProtoReadSection(ch, SPROTO_ID_SESSION, s);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): ReadAuthResult: Failed to get session. %s\n");
  session.swap(s);
  return 0;
}

// ---- second authentication dialect -------------------------------------------------

int ProtoWriteAuth2Request(Channel& ch, const Auth2Request& req) {
  int rc = ProtoWriteSection(ch, SPROTO_ID_META_BLOCK, uint32_t{0});
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-client(%d): WriteAuth2Request: fail to send meta blocks. %s.\n");
  const bool by_session = !req.session.empty();
  rc = ProtoWriteSection(ch, SPROTO_ID_AUTH_TYPE, uint8_t{by_session ? uint8_t{1} : uint8_t{0}});
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-client(%d): WriteAuth2Request: fail to send auth type. %s.\n");
  if (by_session) {
    rc = ProtoWriteSection(ch, SPROTO_ID_SESSION, req.session);
    SF_RETURN_ON_FAILURE(rc,
                         L"[ERROR] proto-client(%d): Auth2Request: fail to send user name. %s\n");
  } else {
    rc = ProtoWriteSection(ch, SPROTO_ID_USER, req.username);
    SF_RETURN_ON_FAILURE(rc,
                         L"[ERROR] proto-client(%d): Auth2Request: fail to send username. %s\n");
    rc = ProtoWriteEncSection(ch, SPROTO_ID_PASSWD, req.password);
    SF_RETURN_ON_FAILURE(rc,
                         L"[ERROR] proto-client(%d): Auth2Request: fail to send password. %s\n");
  }
  rc = ch.FlushWrite(0);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): Auth2Request: fail to send data. %s\n");
  return 0;
}

int ProtoAuth2Internal(Channel& ch, const Auth2Request& req, const std::wstring& client,
                       uint64_t view_id, std::wstring& session) {
  int rc = ProtoWriteHeader(ch, 0, SCMD_AUTH_2);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): Auth2: fail to send header. %s.\n");
  rc = ProtoWriteAuth2Request(ch, req);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): Auth2: fail to send auth data. %s.\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_CLIENT, client);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): Auth2: fail to send client. %s.\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_VIEW_ID, view_id);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): Auth2: fail to send view_id. %s.\n");
  rc = ch.FlushWrite(0);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): Auth2: fail to send data. %s.\n");
  bool refused = false;
  rc = ReadResult(ch, SCMD_AUTH_2, refused);
  if (rc < 0) {
    if (!refused)
      SF_LOG(L_ERR,
             L"[ERROR] proto-client(%d): ReadAuth2Response: fail to recv response code. %s.\n",
             ErrText(rc));
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): Auth2: fail to recv response.\n");
    return rc;
  }
  std::wstring s;
  rc = ProtoReadSection(ch, SPROTO_ID_SESSION, s);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): ReadAuth2Response: fail to recv session. %s.\n",
           ErrText(rc));
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): Auth2: fail to recv response.\n");
    return rc;
  }
  session.swap(s);
  return 0;
}

int ProtoAuth2(Channel& ch, const std::wstring& username, const std::wstring& password,
               const std::wstring& client, uint64_t view_id, std::wstring& session) {
  Auth2Request req;
  req.username = username;
  req.password = password;
  return ProtoAuth2Internal(ch, req, client, view_id, session);
}

int ProtoAuth2BySession(Channel& ch, const std::wstring& session, const std::wstring& client,
                        uint64_t view_id, std::wstring& new_session) {
  Auth2Request req;
  req.session = session;
  return ProtoAuth2Internal(ch, req, client, view_id, new_session);
}

// ---- user check ------------------------------------------------------------------

int ProtoWriteCheckUser(Channel& ch, const std::wstring& username, const std::wstring& password) {
  int rc = ProtoWriteHeader(ch, 0, SCMD_USER_CHECK);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteCheckUser: Failed to send header. %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_USER, username);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteCheckUser: Failed to send username. %s\n");
  rc = ProtoWriteEncSection(ch, SPROTO_ID_PASSWD, password);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteCheckUser: Failed to send password. %s\n");
  rc = ch.FlushWrite(0);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): WriteCheckUser: Failed to send data. %s\n");
  return 0;
}

int ProtoReadCheckUserResult(Channel& ch, std::wstring& serial) {
  bool refused = false;
  int rc = ReadResult(ch, SCMD_USER_CHECK, refused);
  if (rc < 0) {
    if (refused)
      SF_LOG(L_ERR, L"[ERROR] proto-client(%d): ReadCheckUser: Bad response: %s\n", ErrText(rc));
    else
      SF_LOG(L_ERR,
             L"[ERROR] proto-client(%d): ReadCheckUser: Failed to get response from server. %s\n",
             ErrText(rc));
    return rc;
  }
  std::wstring sn;
  rc = ProtoReadSection(ch, SPROTO_ID_SERIAL_NUMBER, sn);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadCheckUser: Failed to get zent_sn. %s\n");
  serial.swap(sn);
  return 0;
}

// ---- view list -------------------------------------------------------------------

int ProtoListViewInternal(Channel& ch, const Auth2Request& req, std::list<View>& views) {
  int rc = ProtoWriteHeader(ch, 0, SCMD_LIST_VIEW);
  if (rc == 0) rc = ProtoWriteAuth2Request(ch, req);
  if (rc == 0) rc = ch.FlushWrite(0);
  if (rc < 0) return rc;
  bool refused = false;
  rc = ReadResult(ch, SCMD_LIST_VIEW, refused);
  if (rc < 0) {
    if (!refused)
      SF_LOG(L_ERR,
             L"[ERROR] proto-client(%d): ReadListViewResponse: fail to recv response code. %s.\n",
             ErrText(rc));
    return rc;
  }
  uint32_t n = 0;
  rc = ProtoReadSection(ch, SPROTO_ID_VIEW_COUNT, n);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-client(%d): ReadListViewResponse: fail to recv view count. %s.\n");
  if (n > kProtoMaxViews) {
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): ReadListViewResponse: too many views (%u > %u)\n", n,
           kProtoMaxViews);
    return ERR_PROTO;
  }
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t seq = 0;
    rc = ProtoReadSection(ch, SPROTO_ID_SEQID, seq);
    SF_RETURN_ON_FAILURE(
        rc, L"[ERROR] proto-client(%d): ReadListViewResponse: fail to recv sequence id. %s.\n");
    View v;
    rc = ProtoReadView(ch, v);
    SF_RETURN_ON_FAILURE(
        rc, L"[ERROR] proto-client(%d): ReadListViewResponse: fail to recv view. %s.\n");
    if (seq != i) {
      SF_LOG(L_ERR,
             L"[ERROR] proto-client(%d): ReadListViewResponse: unexpected sequence id %u (expect "
             L"%u)\n",
             seq, i);
      return ERR_PROTO;
    }
    views.push_back(std::move(v));
  }
  return 0;
}

int ProtoListView(Channel& ch, const std::wstring& username, const std::wstring& password,
                  std::list<View>& views) {
  Auth2Request req;
  req.username = username;
  req.password = password;
  return ProtoListViewInternal(ch, req, views);
}

int ProtoListViewBySession(Channel& ch, const std::wstring& session, std::list<View>& views) {
  Auth2Request req;
  req.session = session;
  return ProtoListViewInternal(ch, req, views);
}

// ---- connection request ----------------------------------------------------------

int ProtoWriteConnRequest(Channel& ch, const std::wstring& session) {
  int rc = ProtoWriteHeader(ch, 0, SCMD_REQUEST_CONNECT);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteConnRequest: Failed to send header. %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_SESSION, session);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteConnRequest: Failed to send session. %s\n");
  rc = ch.FlushWrite(0);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteConnRequest: Failed to send data. %s\n");
  return 0;
}

int ProtoReadConnResponse(Channel& ch, uint32_t& alive) {
  bool refused = false;
  int rc = ReadResult(ch, SCMD_REQUEST_CONNECT, refused);
  if (rc < 0) {
    if (refused) {
      SF_LOG(L_NOTICE, L"[NOTE] proto-client(%d): ReadConnResponse: Server responce: %s\n",
             ErrText(rc));
      alive = 0;
    } else {
      SF_LOG(L_ERR, L"[ERROR] proto-client(%d): ReadConnResponse: Failed to read response. %s\n",
             ErrText(rc));
    }
    return rc;
  }
  uint32_t a = 0;
  rc = ProtoReadSection(ch, SPROTO_ID_ALIVE, a);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-client(%d): ReadConnResponse: Failed to read alive value. %s\n");
  alive = a;
  return 0;
}

// ---- sync requests ---------------------------------------------------------------

int ProtoWriteBasicRequest(Channel& ch, uint8_t cmd, uint16_t pkt_len,
                           const std::wstring& session) {
  int rc = ProtoWriteHeader(ch, pkt_len, cmd);
  if (rc < 0) return rc;
  rc = ProtoWriteSection(ch, SPROTO_ID_SESSION, session);
  if (rc < 0) return rc;
  return ch.FlushWrite(0);
}

int ProtoWritePullEventRequest(Channel& ch, const std::wstring& session, uint64_t base_id) {
  int rc = ProtoWriteBasicRequest(ch, SCMD_EVT_PULL, 0, session);
  if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_SID, base_id);
  if (rc == 0) rc = ch.FlushWrite(0);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): WritePullEventRequest: %s\n");
  return 0;
}

bool ProtoIsSafePath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return false;
  if (path == L"/") return true;
  size_t start = 1;
  while (true) {
    size_t end = path.find(L'/', start);
    std::wstring comp =
        path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (comp.empty() || comp == L"." || comp == L".." ||
        comp.find_first_of(std::wstring(L"\\\0", 2)) != std::wstring::npos)
      return false;
    if (end == std::wstring::npos) return true;
    start = end + 1;
  }
}

int ProtoReadEvents(Channel& ch, uint64_t& to_id, std::list<PullEntry>& entries, PullLayout layout,
                    size_t* dropped) {
  uint64_t newest = 0, n = 0;
  int rc = ProtoReadSection(ch, SPROTO_ID_SID, newest);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEvents: Bad sync id. %s\n");
  rc = ProtoReadSection(ch, SPROTO_ID_EVT_COUNT, n);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEvents: Bad event count. %s\n");
  if (n > kProtoMaxPullEvents) {
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): ReadEvents: Bad event count. %s\n",
           L"more entries than the limit");
    return ERR_PROTO;
  }
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t seq = 0;
    uint64_t sid = 0;
    uint8_t type = 0, status = 0;
    std::wstring path;
    rc = ProtoReadSection(ch, SPROTO_ID_SEQID, seq);
    SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEvents: Bad sequence id. %s\n");
    rc = ProtoReadSection(ch, SPROTO_ID_SID, sid);
    SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEvents: Bad sync id. %s\n");
    rc = ProtoReadSection(ch, SPROTO_ID_FILETYPE, type);
    SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEvents: Bad file type. %s\n");
    rc = ProtoReadSection(ch, SPROTO_ID_FILESTATUS, status);
    SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEvents: Bad file status. %s\n");
    if ((type != SFT_FILE && type != SFT_DIR) || (status != FS_DEL && status != FS_EXIST)) {
      SF_LOG(L_ERR, L"[ERROR] proto-client(%d): ReadEvents: Bad entry: type %u, status %u\n", type,
             status);
      return ERR_PROTO;
    }
    uint64_t size = 0;
    std::wstring hash;
    if (layout == kPullWithContent && status == FS_EXIST && type == SFT_FILE) {
      rc = ProtoReadSection(ch, SPROTO_ID_FILESIZE, size);
      SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEvents: Bad file size. %s\n");
      rc = ProtoReadSection(ch, SPROTO_ID_FILEHASH, hash);
      SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEvents: Bad file hash. %s\n");
    }
    rc = ProtoReadSection(ch, SPROTO_ID_PATH, path);
    SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEvents: Bad event path. %s\n");
    if (seq != i) {
      SF_LOG(L_ERR,
             L"[ERROR] proto-client(%d): ReadEvents: Bad sequence id. Expect %u but read %u\n", i,
             seq);
      return ERR_PROTO;
    }
    // A path that could step outside the sync root never becomes an event,
    // nor does the root itself: it is no object of the share, and a removal
    // of it would empty the whole sync root.
    if (!ProtoIsSafePath(path) || path == L"/") {
      SF_LOG(L_WARNING, L"[WARNING] proto-client(%d): ReadEvents: unsafe path refused: %s\n", path);
      if (dropped) ++*dropped;
      continue;
    }
    PullEntry e;
    e.sync_id = sid;
    e.type = type;
    e.status = status;
    e.size = size;
    e.hash = std::move(hash);
    e.path = std::move(path);
    entries.push_back(std::move(e));
  }
  to_id = newest;
  return 0;
}

int ProtoWriteUploadRequest(Channel& ch, const std::wstring& session, uint64_t base_sid,
                            uint8_t type, uint8_t op, const std::wstring& path) {
  int rc = ProtoWriteBasicRequest(ch, SCMD_EVT_RECV, 0, session);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-client(%d): WriteUploadRequest: Failed to send basic request. %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_SID, base_sid);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteUploadRequest: Failed to send upload "
                       L"request (sync id). %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_FILETYPE, type);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteUploadRequest: Failed to send upload "
                       L"request (file type). %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_FILEOP, op);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteUploadRequest: Failed to send upload "
                       L"request (file op). %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_PATH, path);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteUploadRequest: Failed to send upload "
                       L"request (file path). %s\n");
  rc = ch.FlushWrite(0);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-client(%d): WriteUploadRequest: Failed to send data. %s\n");
  return 0;
}

int ProtoDoNodeOperation(Channel& ch, const std::wstring& session, uint64_t base_sid, uint8_t type,
                         uint8_t op, const std::wstring& path, ObjectInfo& info) {
  int rc = ProtoWriteUploadRequest(ch, session, base_sid, type, op, path);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-client(%d): DoNodeOperation: Failed to send upload request. %s\n");
  rc = ch.FlushWrite(0);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): DoNodeOperation: Failed to send data. %s\n");
  bool refused = false;
  rc = ReadResult(ch, SCMD_EVT_RECV, refused);
  if (rc < 0) {
    if (!refused) {
      SF_LOG(L_ERR, L"[ERROR] proto-client(%d): DoNodeOperation: Bad response code. %s\n",
             ErrText(rc));
      return rc;
    }
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): DoNodeOperation: Bad response: %s\n", ErrText(rc));
    if (rc == ERR_CONFLICT)
      SF_LOG(L_INFO, L"[INFO] proto-client(%d): DoNodeOperation: Conflict on %s.\n", path);
    return rc;
  }
  if (op == FOP_DEL) return 0;
  rc = ProtoReadObjectInfo(ch, info);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): DoNodeOperation: Bad events code. %s\n");
  return 0;
}

// ---- object information ----------------------------------------------------------

int ProtoReadObjectInfo(Channel& ch, ObjectInfo& info) {
  uint64_t sid = 0;
  uint8_t type = 0, status = 0;
  uint32_t mtime = 0;
  std::wstring path, updator;
  ObjectMetadata meta;
  int rc = ProtoReadSection(ch, SPROTO_ID_SID, sid);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEventInfo: Bad file sid. %s\n");
  rc = ProtoReadSection(ch, SPROTO_ID_FILETYPE, type);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEventInfo: Bad file type. %s\n");
  rc = ProtoReadSection(ch, SPROTO_ID_FILESTATUS, status);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEventInfo: Bad file status. %s\n");
  rc = ProtoReadSection(ch, SPROTO_ID_FILETIME, mtime);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEventInfo: Bad file time. %s\n");
  rc = ProtoReadSection(ch, SPROTO_ID_PATH, path);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEventInfo: Bad file path. %s\n");
  rc = ProtoReadSection(ch, SPROTO_ID_FILEUPDATER, updator);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEventInfo: Bad file updator. %s\n");
  meta.mtime = mtime;
  if (type == SFT_FILE) {
    rc = ProtoReadSection(ch, SPROTO_ID_FILESIZE, meta.size);
    SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEventInfo: Bad file size. %s\n");
    rc = ProtoReadSection(ch, SPROTO_ID_FILEHASH, meta.hash);
    SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): ReadEventInfo: Bad file hash. %s\n");
  }
  info.sync_id = sid;
  info.type = type;
  info.status = status;
  info.path.swap(path);
  info.updator.swap(updator);
  info.metadata = std::move(meta);
  return 0;
}

int ProtoWriteObjectInfo(Channel& ch, const ObjectInfo& info) {
  int rc = ProtoWriteSection(ch, SPROTO_ID_SID, info.sync_id);
  if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_FILETYPE, info.type);
  if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_FILESTATUS, info.status);
  if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_FILETIME, info.metadata.mtime);
  if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_PATH, info.path);
  if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_FILEUPDATER, info.updator);
  if (rc == 0 && info.type == SFT_FILE) {
    rc = ProtoWriteSection(ch, SPROTO_ID_FILESIZE, info.metadata.size);
    if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_FILEHASH, info.metadata.hash);
  }
  return rc;
}

// ---- one-shot helpers ------------------------------------------------------------

namespace {

// Opens `ch` as the one-shot helpers do; logs with `who` on failure.
int OneShotOpen(Channel& ch, const AuthInfo& auth, const wchar_t* who) {
  const std::string ip(auth.ip, strnlen(auth.ip, sizeof(auth.ip)));
  int rc;
  if (!ip.empty()) {
    rc = ch.Open(ip.c_str(), auth.port, false);
  } else {
    const std::string path(auth.domain_socket,
                           strnlen(auth.domain_socket, sizeof(auth.domain_socket)));
    rc = ch.Open(path.c_str());
  }
  if (rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): %s: Cannot establish connection. %s\n", who,
           ErrText(rc));
    return ERR_IO;
  }
  return 0;
}

int OneShotNode(const AuthInfo& auth, uint64_t base_sid, uint8_t type, uint8_t op,
                const std::wstring& path, ObjectInfo& info, const wchar_t* who,
                const wchar_t* failure_text) {
  Channel ch(Channel::kDefaultCapacity);
  int rc = OneShotOpen(ch, auth, who);
  if (rc < 0) return rc;
  rc = ProtoDoNodeOperation(ch, auth.session, base_sid, type, op, path, info);
  if (rc < 0)
    SF_LOG(L_WARNING, L"[WARNING] proto-client(%d): %s: %s '%s'. %s\n", who, failure_text, path,
           ErrText(rc));
  return rc;
}

}  // namespace

int SFAPIPullEvent(const AuthInfo& auth, uint64_t base_id, uint64_t& to_id,
                   std::list<PullEntry>& events) {
  Channel ch(Channel::kDefaultCapacity);
  int rc = OneShotOpen(ch, auth, L"PullEvent");
  if (rc < 0) return rc;
  rc = ProtoWritePullEventRequest(ch, auth.session, base_id);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-client(%d): PullEvent: Cannot send request. %s\n");
  bool refused = false;
  rc = ReadResult(ch, SCMD_EVT_PULL, refused);
  if (rc < 0) {
    if (refused)
      SF_LOG(L_ERR, L"[ERROR] proto-client(%d): PullEvent: Bad response: %s.\n", ErrText(rc));
    else
      SF_LOG(L_ERR, L"[ERROR] proto-client(%d): PullEvent: Bad response code. %s\n", ErrText(rc));
    return rc;
  }
  rc = ProtoReadEvents(ch, to_id, events);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-client(%d): PullEvent: Bad events code. %s\n", ErrText(rc));
    events.clear();
    return rc;
  }
  return 0;
}

int SFAPIRemoveFile(const AuthInfo& auth, uint64_t base_sid, const std::wstring& path,
                    ObjectInfo& info) {
  return OneShotNode(auth, base_sid, SFT_FILE, FOP_DEL, path, info, L"RemoveFile",
                     L"Failed to remove file");
}

int SFAPIRemoveDirectory(const AuthInfo& auth, uint64_t base_sid, const std::wstring& path,
                         ObjectInfo& info) {
  return OneShotNode(auth, base_sid, SFT_DIR, FOP_DEL, path, info, L"RemoveDirectory",
                     L"Failed to create directory");
}

int SFAPICreateDirectory(const AuthInfo& auth, uint64_t base_sid, const std::wstring& path,
                         ObjectInfo& info) {
  return OneShotNode(auth, base_sid, SFT_DIR, FOP_CREATE, path, info, L"CreateDirectory",
                     L"Failed to create directory");
}
