// The server's side of the wire: parsers for every request a client sends
// (after the header, which the connection loop reads) and writers for every
// answer. Pure framing on the shared section layer: no storage decisions here.
//
// Parsers read exactly the sections of their request and fail with the
// framing layer's code (ERR_PROTO, ERR_IO, ERR_TIMEOUT, ERR_INT, ERR_SYS) at
// the first unexpected byte; the caller then closes the connection, because
// the stream position is lost. Every length and count is bounded before
// anything is allocated. Writers queue their sections and flush at the end of
// each answer.
//
// Thread-safety: reentrant; a channel is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lib/proto/proto-client.h"
#include "lib/proto/proto-common.h"

class Channel;
class RSDigest;

// The server keeps its own names apart from the client's records of the
// same exchanges.
namespace sfsrv {

// Data blocks of uploads and downloads, and the meta blocks of uploads.
constexpr uint32_t kBlockFile = 1;
constexpr uint32_t kBlockCommonAttr = 2;
constexpr uint32_t kBlockMacAttr = 4;
constexpr uint32_t kBlockAll = kBlockFile | kBlockCommonAttr | kBlockMacAttr;
constexpr uint32_t kMetaProtoVersion = 1;
constexpr uint32_t kMetaFilterVersion = 2;

// A request's first sections, shared by the sync commands.
struct PullRequest {
  std::wstring session;
  uint64_t base = 0;
};

struct DownloadRequest {
  std::wstring session;
  ObjectID obj;  // the client's version (0: none) and the path
  uint32_t sync_blocks = 0;
};

struct RemoveRequest {
  std::wstring session;
  ObjectID obj;
};

// SCMD_EVT_RECV_2, or the protocol-3 SCMD_EVT_RECV (no meta blocks).
struct UploadRequest {
  std::wstring session;
  uint32_t meta_blocks = 0;
  ProtocolVersion proto_version;
  FilterVersion filter_version;
  ObjectID obj;  // base sync id and path
  uint8_t new_obj_type = SFT_FILE;
  uint32_t sync_blocks = 0;
  uint32_t data_blocks = 0;
  CommonAttributeBlock common_attr;
  uint8_t file_is_delta = 0;  // with kBlockFile
  uint64_t file_size = 0;     // of the complete new file
  std::wstring file_hash;
  uint64_t mac_size = 0;  // with kBlockMacAttr
  std::wstring mac_hash;
};

// The node operation, also carried by SCMD_EVT_RECV.
struct NodeOpRequest {
  std::wstring session;
  uint64_t base = 0;
  uint8_t type = SFT_FILE;
  uint8_t op = FOP_CREATE;
  std::wstring path;
};

// What an SCMD_EVT_RECV message turned out to be.
struct RecvRequest {
  bool is_node_op = false;
  UploadRequest upload;  // when !is_node_op
  NodeOpRequest node;    // when is_node_op
};

// The credential block of SCMD_AUTH_2 and SCMD_LIST_VIEW.
struct Auth2Block {
  uint8_t auth_type = 0;  // 1: session; 0: user name and password
  std::wstring session;
  std::wstring username;
  std::wstring password;
};

struct Auth2Message {
  Auth2Block auth;
  std::wstring client;
  uint64_t view_id = 0;
};

struct AuthRequest {
  std::wstring username;
  std::wstring password;
  std::wstring client;
};

struct UserCheckRequest {
  std::wstring username;
  std::wstring password;
};

// ---- parsers (the header was read by the caller) --------------------------

[[nodiscard]] int ProtoReadSessionOnly(Channel& ch, std::wstring& session);  // SCMD_REQUEST_CONNECT
[[nodiscard]] int ProtoReadPullRequest(Channel& ch, PullRequest& r);
[[nodiscard]] int ProtoReadDownloadRequest(Channel& ch, DownloadRequest& r);
[[nodiscard]] int ProtoReadRemoveRequest(Channel& ch, RemoveRequest& r);
// SCMD_EVT_RECV_2. ERR_PROTO also for meta or data block bits this server
// cannot parse (their sections' layout is unknown).
[[nodiscard]] int ProtoReadUploadRequest2(Channel& ch, UploadRequest& r);
// SCMD_EVT_RECV: a protocol-3 upload when the base sync id is followed by the
// path, a node operation when it is followed by the file type.
[[nodiscard]] int ProtoReadRecvRequest(Channel& ch, RecvRequest& r);
// ERR_PROTO for a non-zero meta block count or an unknown auth type.
[[nodiscard]] int ProtoReadAuth2Block(Channel& ch, Auth2Block& b);
[[nodiscard]] int ProtoReadAuth2Message(Channel& ch, Auth2Message& r);
[[nodiscard]] int ProtoReadAuthRequest(Channel& ch, AuthRequest& r);
[[nodiscard]] int ProtoReadUserCheckRequest(Channel& ch, UserCheckRequest& r);

// ---- file payloads ----------------------------------------------------------

// Counts payload bytes on a connection and tells when a scripted cut is due.
// `limit` < 0: never.
struct PayloadBudget {
  int64_t limit = -1;
  uint64_t used = 0;
  // How many of `n` more bytes may pass before the cut.
  uint64_t Allow(uint64_t n) const;
};

// Receives a payload (DELTATYPE, DELTALEN, DELTAID/DELTADATA blocks) into the
// open file `fd`. The announced length must be <= `max_len`; block ids must
// run 0, 1, 2...; an empty block or one running past the length is refused.
// Every byte written is also fed to `digest` when one is given, so that a
// whole file's checksum needs no second read.
// 0; ERR_PROTO; ERR_SYS (write failure); a channel error; ERR_IO once the
// budget is exhausted (the caller cuts the connection).
[[nodiscard]] int ProtoReceivePayload(Channel& ch, int fd, uint64_t max_len, uint8_t& type,
                                      uint64_t& len, PayloadBudget& budget,
                                      RSDigest* digest = nullptr);
// Sends `len` bytes of the open file `fd` from offset 0 as a payload of
// `type`, flushing after each block. 0; ERR_SYS (the file is shorter than
// `len` or unreadable); a channel error; ERR_IO once the budget is exhausted
// (what fitted was sent and flushed).
[[nodiscard]] int ProtoSendPayload(Channel& ch, int fd, uint64_t len, uint8_t type,
                                   PayloadBudget& budget);

// ---- answers -----------------------------------------------------------------

// (The result header is the shared ProtoWriteResponse, and object
// information the shared ProtoWriteObjectInfo, of lib/proto/proto-client.h.)
// SPROTO_ID_ALIVE, then flush.
[[nodiscard]] int ProtoWriteAliveAndFlush(Channel& ch, uint32_t alive);

// The body of an OK pull answer: newest id, count and entries, with size and
// hash for existing files (the result and the final keep-alive section are
// written by the caller). PullEntry is the client's record of lib/proto.
[[nodiscard]] int ProtoWritePullBody(Channel& ch, uint64_t to_id,
                                     const std::vector<PullEntry>& entries);

// The test-connection answer body (after an OK result), flushed.
[[nodiscard]] int ProtoWriteTestConnBody(Channel& ch, uint8_t version, const std::wstring& serial,
                                         const std::wstring& server_id);
// The view list body (after an OK result), flushed.
[[nodiscard]] int ProtoWriteViewList(Channel& ch, const std::vector<View>& views);

}  // namespace sfsrv
