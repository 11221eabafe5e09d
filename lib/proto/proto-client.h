// The client's requests and the server's answers: the generic response
// reader and result mapping, test connection, both authentication dialects,
// user check, view list, connection request, the basic request every sync
// request starts with, the event pull, node operations, and one-shot helpers
// that open their own connection. The workers' transfers (upload, download,
// removal) are in proto-transfer.h.
//
// Each exchange is one request message (header with payload length 0, then
// its sections, then a flush) followed by one response message whose header
// carries the same command and whose first section is SPROTO_ID_RES. A
// refusal arrives as a server result mapped by ProtoResp2ErrorCode; after a
// refusal nothing further is read from that message.
//
// The writers of responses (ProtoWriteResponse, ProtoWriteObjectInfo) are the
// server's side of the same layouts.
//
// Return values: 0 on success or a negative ERR_ code; outputs are written
// only on success unless said. After any failure the channel's stream
// position is unknown and the caller closes it (the one-shot helpers do).
// Thread-safety: reentrant; a channel is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "lib/net/channel-settings.h"
#include "lib/net/tls-peer-check.h"
#include "lib/proto/proto-common.h"

class Channel;

// Most views a view list may announce.
constexpr uint32_t kProtoMaxViews = 4096;
// Most entries one event pull may announce. Each costs a few hundred bytes
// once decoded and is held until the whole pull is processed, so this bounds
// what one answer can make the daemon hold (about 50 MB); a server pages a
// longer change list (the reference server sends 1000 entries at a time).
constexpr uint64_t kProtoMaxPullEvents = uint64_t{1} << 17;

// One entry of an event pull as it arrives: a change the server recorded.
// The syncer turns entries into the daemon's events.
struct PullEntry {
  uint64_t sync_id = 0;       // the object's sync id
  uint8_t type = SFT_FILE;    // SFT_FILE or SFT_DIR
  uint8_t status = FS_EXIST;  // FS_DEL: removed
  uint64_t size = 0;          // an existing file's, where the layout carries it
  std::wstring hash;          // likewise
  std::wstring path;          // "/"-separated, starting with "/"

  bool isRemoved() const { return status == FS_DEL; }
  bool isDir() const { return type != SFT_FILE; }
};

// What an SCMD_AUTH_2 or SCMD_LIST_VIEW request authenticates with: a
// non-empty session selects session authentication, otherwise user name and
// password are sent (the password encrypted).
struct Auth2Request {
  std::wstring session;
  std::wstring username;
  std::wstring password;
};

// ---- responses ------------------------------------------------------------------

// Reads a header and the SPROTO_ID_RES section into `result`. 0; ERR_PROTO
// when the header's command is not `expected_cmd` (nothing more is read); a
// framing or channel error.
[[nodiscard]] int ProtoReadResponse(Channel& ch, uint8_t expected_cmd, int& result);
// Server result code to ERR_ code: OK → ERR_OK, refusals to their codes,
// anything outside 1..22 → ERR_SYS.
[[nodiscard]] int ProtoResp2ErrorCode(int result);
// Server side: queues a header for `cmd` and the SPROTO_ID_RES section. No
// flush.
[[nodiscard]] int ProtoWriteResponse(Channel& ch, uint8_t cmd, uint8_t result);

// ---- connection and authentication ----------------------------------------------

// SCMD_TEST_CONN: the server's protocol version, serial number and id.
[[nodiscard]] int ProtoTestConnection(Channel& ch, int& version, std::wstring& serial,
                                      std::wstring& server_id);
// The same on a fresh plain connection to ip:port (ERR_IO when it cannot be
// opened); the connection is closed afterwards.
[[nodiscard]] int SFAPITestConnection(const char* ip, int port, int& version, std::wstring& serial,
                                      std::wstring& server_id);

// The same through a channel of the class the proxy, tunnel and TLS settings
// choose (CreateChannelByConnectionType), whose Open runs the TLS, proxy
// and relay hand-shakes; `check` is the optional check of the server's
// certificate. Open's error (ERR_AUTH for a refused proxy login or server
// certificate) or ProtoTestConnection's. The channel is gone afterwards.
[[nodiscard]] int ProtoTestConnectionProxyTunnel(const char* ip, int port, const ProxyInfo& proxy,
                                                 const TunnelInfo& tunnel, bool use_ssl,
                                                 int& version, std::wstring& serial,
                                                 std::wstring& server_id,
                                                 const TlsPeerCheck& check = {});

// SCMD_AUTH: user, encrypted password, client id; then the session.
[[nodiscard]] int ProtoWriteAuthRequest(Channel& ch, const std::wstring& username,
                                        const std::wstring& password, const std::wstring& client);
[[nodiscard]] int ProtoReadAuthResult(Channel& ch, std::wstring& session);

// The auth-2 block (meta block 0, auth type, session or user and encrypted
// password), flushed. No header.
[[nodiscard]] int ProtoWriteAuth2Request(Channel& ch, const Auth2Request& req);
// SCMD_AUTH_2 exchange; `session` gets the new session on success.
[[nodiscard]] int ProtoAuth2Internal(Channel& ch, const Auth2Request& req,
                                     const std::wstring& client, uint64_t view_id,
                                     std::wstring& session);
[[nodiscard]] int ProtoAuth2(Channel& ch, const std::wstring& username,
                             const std::wstring& password, const std::wstring& client,
                             uint64_t view_id, std::wstring& session);
[[nodiscard]] int ProtoAuth2BySession(Channel& ch, const std::wstring& session,
                                      const std::wstring& client, uint64_t view_id,
                                      std::wstring& new_session);

// SCMD_USER_CHECK: user and encrypted password; then the serial number.
[[nodiscard]] int ProtoWriteCheckUser(Channel& ch, const std::wstring& username,
                                      const std::wstring& password);
[[nodiscard]] int ProtoReadCheckUserResult(Channel& ch, std::wstring& serial);

// SCMD_LIST_VIEW: views are appended to `views` in wire order; views already
// appended stay there on a later failure. ERR_PROTO for a count above
// kProtoMaxViews or sequence ids not running 0, 1, 2, ...
[[nodiscard]] int ProtoListViewInternal(Channel& ch, const Auth2Request& req,
                                        std::list<View>& views);
[[nodiscard]] int ProtoListView(Channel& ch, const std::wstring& username,
                                const std::wstring& password, std::list<View>& views);
[[nodiscard]] int ProtoListViewBySession(Channel& ch, const std::wstring& session,
                                         std::list<View>& views);

// SCMD_REQUEST_CONNECT: opens a session channel. The response reader returns
// 0 with `alive` set, or the mapped refusal with `alive` 0.
[[nodiscard]] int ProtoWriteConnRequest(Channel& ch, const std::wstring& session);
[[nodiscard]] int ProtoReadConnResponse(Channel& ch, uint32_t& alive);

// ---- sync requests -----------------------------------------------------------------

// Header with `cmd` and `pkt_len`, the session section, flush.
[[nodiscard]] int ProtoWriteBasicRequest(Channel& ch, uint8_t cmd, uint16_t pkt_len,
                                         const std::wstring& session);
// SCMD_EVT_PULL with the last sync id the client has.
[[nodiscard]] int ProtoWritePullEventRequest(Channel& ch, const std::wstring& session,
                                             uint64_t base_id);
// The two layouts of a pull answer's entries: the one-shot helpers' (sequence
// id, sync id, type, status, path) and the syncer's, which carries the size
// and checksum of each existing file between status and path.
enum PullLayout { kPullBasic = 0, kPullWithContent = 1 };

// The body of an OK pull response (the caller read header and result): the
// newest sync id and the entries, appended to `entries` in wire order.
// `to_id` is set only when every entry was read. Entries appended before a
// failure stay in the list. Entries whose path is not a safe relative path
// (see ProtoIsSafePath) or is the root "/" itself are dropped with a
// warning. ERR_PROTO for a count above kProtoMaxPullEvents, a broken
// sequence, or a type other than SFT_FILE/SFT_DIR or a status other than
// FS_DEL/FS_EXIST (a damaged entry must not be taken for a directory: making
// one in place of a file would remove the file).
// `dropped` (optional) counts the entries dropped for their paths.
[[nodiscard]] int ProtoReadEvents(Channel& ch, uint64_t& to_id, std::list<PullEntry>& entries,
                                  PullLayout layout = kPullBasic, size_t* dropped = nullptr);
// SCMD_EVT_RECV as a node operation: base sync id, file type, file
// operation, path. (The workers' upload, download and removal requests are
// in proto-transfer.h.)
[[nodiscard]] int ProtoWriteUploadRequest(Channel& ch, const std::wstring& session,
                                          uint64_t base_sid, uint8_t type, uint8_t op,
                                          const std::wstring& path);
// Upload request and its answer: for OK and an operation other than FOP_DEL
// the object's new description goes into `info`. ERR_CONFLICT when the server
// reports a conflict.
[[nodiscard]] int ProtoDoNodeOperation(Channel& ch, const std::wstring& session, uint64_t base_sid,
                                       uint8_t type, uint8_t op, const std::wstring& path,
                                       ObjectInfo& info);

// ObjectInfo: sync id, type, status, time, path, updater, and for a file
// also size and hash. A directory's size becomes 0 and its hash empty;
// macHash is not carried and left as it was. Stored only on full success.
[[nodiscard]] int ProtoReadObjectInfo(Channel& ch, ObjectInfo& info);
// Server side of the same sequence. No flush.
[[nodiscard]] int ProtoWriteObjectInfo(Channel& ch, const ObjectInfo& info);

// True for "/" and for "/"-separated paths starting with "/" whose components
// are non-empty, not "." or "..", and hold no backslash or NUL.
bool ProtoIsSafePath(const std::wstring& path);

// ---- one-shot helpers ------------------------------------------------------------

// Each opens its own plain channel to `auth.ip`:`auth.port` (an empty ip
// connects nothing, so the request then fails with ERR_IO), runs one
// exchange and closes the connection. ERR_IO when the connection cannot be
// opened. A failed pull empties `events` completely.
[[nodiscard]] int SFAPIPullEvent(const AuthInfo& auth, uint64_t base_id, uint64_t& to_id,
                                 std::list<PullEntry>& entries);
[[nodiscard]] int SFAPIRemoveFile(const AuthInfo& auth, uint64_t base_sid, const std::wstring& path,
                                  ObjectInfo& info);
[[nodiscard]] int SFAPIRemoveDirectory(const AuthInfo& auth, uint64_t base_sid,
                                       const std::wstring& path, ObjectInfo& info);
[[nodiscard]] int SFAPICreateDirectory(const AuthInfo& auth, uint64_t base_sid,
                                       const std::wstring& path, ObjectInfo& info);
