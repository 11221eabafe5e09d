// The workers' three transfer exchanges and their records: the upload
// (SCMD_EVT_RECV_2, or SCMD_EVT_RECV in protocol 3), the download
// (SCMD_EVT_SEND) and the removal (SCMD_EVT_REMOVE). Each starts with the
// basic request (proto-client.h) and is answered by a message whose header
// repeats the command and whose first section is SPROTO_ID_RES; the keep-alive
// (SPROTO_ID_ALIVE) ends every answer.
//
// These functions encode and decode; what to send and what an answer means
// is the caller's. Payload bytes never come from, or go to, a local file
// that this layer opens by name: the caller hands the streams over through
// UploadPayload and DownloadPayload, and with them decides what must hold
// before an upload's last block goes.
//
// Log lines name the caller (ProtoLogTarget), so that an exchange run by a
// worker logs as that worker.
//
// Return values: 0 on success or a negative ERR_ code. A server's refusal is
// not a failure here: it is left in the answer's `code`. After any failure
// the channel's stream position is unknown and the caller closes it.
// Thread-safety: reentrant; a channel is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/base/handles.h"
#include "lib/fs/temp-file.h"
#include "lib/proto/proto-common.h"

class Channel;

// Bits of SPROTO_ID_DATA_BLOCK and SPROTO_ID_SYNC_BLOCK: which blocks a
// message carries, or which are wanted.
constexpr uint32_t BLK_FILE = 1;
constexpr uint32_t BLK_COMMON_ATTR = 2;
constexpr uint32_t BLK_MAC_ATTR = 4;
constexpr uint32_t SYNC_BLOCKS = BLK_FILE | BLK_COMMON_ATTR;
// Bits of SPROTO_ID_META_BLOCK (protocol 4 uploads): which versions follow.
constexpr uint32_t META_PROTO_VERSION = 1;
constexpr uint32_t META_FILTER_VERSION = 2;

// Largest file a download accepts, before anything of it is written.
constexpr uint64_t kMaxDownloadBytes = uint64_t{64} << 30;
// Seconds the server may take to say which blocks of an upload it wants,
// and to answer once the content is sent (it verifies and stores it first).
constexpr uint32_t kUploadAckTimeout = 30;
constexpr uint32_t kUploadResponseTimeout = 600;

// The upload's two layouts: protocol 4 sends SCMD_EVT_RECV_2 with the meta
// block and the versions it announces; protocol 3 sends SCMD_EVT_RECV
// without them. Everything else is the same.
enum UploadGeneration : uint8_t { kUploadProto3 = 3, kUploadProto4 = 4 };

// ---- records ----------------------------------------------------------------

// A file block: its description, and the temporary file its data is in.
struct FileBlock {
  uint8_t type = 0;   // 0 whole file, otherwise a delta
  uint64_t size = 0;  // of the complete new file
  std::wstring hash;  // content checksum of the complete new file
  TempFile data;
};

struct MacAttributeBlock {
  uint64_t size = 0;
  std::wstring hash;
  TempFile data;
};

struct DownloadRequest {
  std::wstring session;
  ObjectID obj;  // the version the client holds (sync id 0: none) and the path
  uint32_t sync_blocks = SYNC_BLOCKS;
};

struct DownloadResponse {
  int code = 0;
  ObjectID obj;
  uint8_t new_obj_type = SFT_FILE;
  uint32_t data_blocks = 0;
  CommonAttributeBlock common_attr;
  FileBlock file;
  MacAttributeBlock mac_attr;
  uint32_t alive = 0;
  // The file announced is larger than kMaxDownloadBytes (nothing of it was
  // read; the exchange failed with ERR_PROTO).
  bool too_large = false;
};

struct DownloadContext {
  DownloadRequest request;
  DownloadResponse response;
};

struct UploadRequest {
  std::wstring session;
  uint32_t meta_blocks = META_PROTO_VERSION | META_FILTER_VERSION;  // protocol 4
  ProtocolVersion proto_version;
  FilterVersion filter_version;
  ObjectID obj;  // the base version (sync id 0: none) and the path
  uint8_t new_obj_type = SFT_FILE;
  uint32_t sync_blocks = SYNC_BLOCKS;
  // The blocks announced; replaced by the server's acknowledgement when it
  // asks for any.
  uint32_t data_blocks = BLK_COMMON_ATTR;
  FileBlock file;  // its description is sent with BLK_FILE
  CommonAttributeBlock common_attr;
  MacAttributeBlock mac_attr;  // its description is sent with BLK_MAC_ATTR
};

struct UploadResponse {
  int code = 0;
  ObjectID obj;                      // only with SPROTO_RES_OK
  CommonAttributeBlock common_attr;  // likewise
  uint32_t alive = 0;
};

struct UploadContext {
  UploadRequest request;
  UploadResponse response;
  bool file_sent = false;  // the file block's payload went out whole
};

struct RemoveRequest {
  std::wstring session;
  ObjectID obj;
};

struct RemoveResponse {
  int code = 0;
  uint32_t alive = 0;
};

struct RemoveContext {
  RemoveRequest request;
  RemoveResponse response;
};

// ---- the caller's side of the payloads ---------------------------------------

// Whose log lines an exchange writes: the module each line names ("[ERROR]
// worker-v4(%d): ..."), the log component whose level governs them, and the
// words that start the lines saying which task speaks ("Worker (2): ").
struct ProtoLogTarget {
  const wchar_t* module = L"proto-transfer";
  const wchar_t* component = L"proto_client_debug";
  std::wstring who;
};

// Where the content of an upload comes from, block by block (BLK_FILE,
// BLK_MAC_ATTR), once the server has asked for it.
class UploadPayload {
 public:
  virtual ~UploadPayload() = default;
  // A stream of the block's content, read from its start: 0 with `out` set,
  // or an error code (logged by the payload) that ends the exchange before
  // anything of the block is sent.
  virtual int Open(uint32_t block, FilePtr& out) = 0;
  // Sees each piece of the content as read, before it goes out; a non-zero
  // answer ends the exchange with that code, the payload incomplete.
  virtual int OnBlock(uint32_t /*block*/, const char* /*data*/, size_t /*len*/) { return 0; }
  // Runs before the last piece goes out (before the length, for empty
  // content): a non-zero answer ends the exchange with that code and the
  // payload incomplete, so that the server never takes it whole.
  virtual int BeforeLast(uint32_t /*block*/) { return 0; }
};

// Where a download's payloads go. Asked once a block's description was read
// and found within bounds, before any of its content is.
class DownloadPayload {
 public:
  virtual ~DownloadPayload() = default;
  // A stream to write `size` announced bytes of `block` (BLK_FILE or
  // BLK_MAC_ATTR) into: 0 with `out` set, or an error code (logged by the
  // payload) that ends the exchange. The exchange closes the stream.
  virtual int Open(uint32_t block, uint64_t size, FilePtr& out) = 0;
};

// ---- messages -------------------------------------------------------------------

// The upload request: basic request (SCMD_EVT_RECV_2 or, for protocol 3,
// SCMD_EVT_RECV), for protocol 4 the meta block and the versions it
// announces, the object id, the new type, the sync and data blocks, the
// common attribute block, the file block's and Mac block's descriptions as
// announced; flushed. ERR_PROTO for a directory with a file block.
[[nodiscard]] int ProtoWriteUploadRequest(Channel& ch, const UploadRequest& req,
                                          UploadGeneration gen, const ProtoLogTarget& log = {});
// The server's acknowledgement: the blocks it wants (0: none).
[[nodiscard]] int ProtoReadUploadAck(Channel& ch, uint32_t& blocks, const ProtoLogTarget& log = {});
// The upload's answer: the result, with SPROTO_RES_OK the object id and the
// common attribute block, then the keep-alive.
[[nodiscard]] int ProtoReadUploadResponse(Channel& ch, UploadResponse& resp, UploadGeneration gen,
                                          const ProtoLogTarget& log = {});

// The download request: basic request (SCMD_EVT_SEND), the object id, the
// blocks wanted; flushed.
[[nodiscard]] int ProtoWriteDownloadRequest(Channel& ch, const DownloadRequest& req,
                                            const ProtoLogTarget& log = {});
// The download's answer. With SPROTO_RES_OK: the object id, its type, the
// blocks that follow, the common attribute block, the file block (size,
// checksum, then its payload into `payload`), the Mac block likewise; then,
// whatever the result, the keep-alive. ERR_PROTO for a type other than
// SFT_FILE or SFT_DIR, a directory with a file block, a file larger than
// kMaxDownloadBytes (`too_large` set) or a payload longer than its announced
// size allows.
[[nodiscard]] int ProtoReadDownloadResponse(Channel& ch, DownloadResponse& rs,
                                            DownloadPayload& payload,
                                            const ProtoLogTarget& log = {});

// The removal request: basic request (SCMD_EVT_REMOVE), the object id;
// flushed.
[[nodiscard]] int ProtoWriteRemoveRequest(Channel& ch, const RemoveRequest& req,
                                          const ProtoLogTarget& log = {});
// The removal's answer: the result, then the keep-alive.
[[nodiscard]] int ProtoReadRemoveResponse(Channel& ch, RemoveResponse& resp,
                                          const ProtoLogTarget& log = {});

// ---- exchanges --------------------------------------------------------------------

// The whole upload: request; the acknowledgement (within kUploadAckTimeout
// seconds), which, unless 0, replaces `data_blocks`; the payloads asked for,
// from `payload`; the answer (within kUploadResponseTimeout seconds; the
// channel's default timeout is set again afterwards). ERR_PROTO when the
// server asks for content the request did not announce.
[[nodiscard]] int ProtoUploadObject(Channel& ch, UploadContext& ctx, UploadGeneration gen,
                                    UploadPayload& payload, const ProtoLogTarget& log = {});
// The whole download: request and answer (`alive` is 0 until one is read).
[[nodiscard]] int ProtoDownloadObject(Channel& ch, DownloadContext& ctx, DownloadPayload& payload,
                                      const ProtoLogTarget& log = {});
// The whole removal: request and answer.
[[nodiscard]] int ProtoRemoveObject(Channel& ch, RemoveContext& ctx,
                                    const ProtoLogTarget& log = {});
