// Wire framing shared by the client and the reference server: the message
// header, typed sections, strings, encrypted strings, file payloads, the
// small protocol records and the name tables.
//
// A message is an 8-byte header followed by sections; a section is a one-byte
// id followed by a fixed-width big-endian integer or by var data (16-bit
// length, then the bytes). Which sections follow which command is fixed per
// request (proto-client.h); readers always know which id comes next and never
// skip. Every function takes the channel by reference, writes into its buffer
// (nothing is flushed unless said) and reads through its blocking Read, so a
// timeout or the stop flag surfaces here as ERR_TIMEOUT / ERR_INT.
//
// Everything read is bounded: var data never exceeds the caller's buffer
// (kProtoMaxData for strings), version texts kProtoVersionTextMax, file
// blocks kProtoBlockSize; a longer announcement fails with ERR_PROTO before
// any of its bytes are consumed.
//
// Return values: 0 (or the documented count) on success; channel errors pass
// through unchanged (ERR_IO, ERR_TIMEOUT, ERR_INT, ERR_INVAL); ERR_PROTO for
// a wrong section id, a length over its bound or a malformed value; ERR_SYS
// for text that cannot be converted and for local file failures. After any
// failure the stream position is unknown: close the channel.
//
// Thread-safety: reentrant; a channel is used by one thread at a time. The
// protocol version byte is set once by ProtoInit before other threads start.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "lib/base/handles.h"

class Channel;

constexpr uint32_t kProtoMagic = 0x25521814;
// Largest var data any reader of this layer accepts, and the UTF-8 limit
// (terminator included) of a wide string on the wire.
constexpr unsigned kProtoMaxData = 8192;
// Size of one file payload block.
constexpr unsigned kProtoBlockSize = 8192;
// Largest version text ("major.minor.build") accepted on reception.
constexpr unsigned kProtoVersionTextMax = 32;
// Header length on the wire.
constexpr unsigned kProtoHeaderSize = 8;
// Largest var data any writer sends: its length field has 16 bits.
constexpr unsigned kProtoMaxVarLen = 0xFFFF;

enum _SYNC_PROTO_CMD_tag : uint8_t {
  SCMD_REQUEST = 1,
  SCMD_KEEP_ALIVE = 2,
  SCMD_AUTH = 3,
  SCMD_NOTIFY = 4,
  SCMD_LOGOUT = 5,
  SCMD_EVT_PULL = 6,
  SCMD_EVT_RECV = 7,
  SCMD_NEW_EVT_INFO = 8,
  SCMD_EVT_SEND = 9,
  SCMD_USER_CTRL = 10,
  SCMD_TEST_CONN = 11,
  SCMD_RESPONSE = 12,
  SCMD_USER_CHECK = 13,
  SCMD_REQUEST_CONNECT = 14,
  SCMD_EVT_REMOVE = 15,
  SCMD_GET_FILTER = 16,
  SCMD_LIST_VIEW = 17,
  SCMD_AUTH_2 = 18,
  SCMD_EVT_RECV_2 = 19,
  SCMD_REQUEST_SSL = 20,
};

enum _SYNC_PROTO_ID_tag : uint8_t {
  SPROTO_ID_RES = 1,
  SPROTO_ID_TYPE = 2,
  SPROTO_ID_USER = 3,
  SPROTO_ID_PASSWD = 4,
  SPROTO_ID_CLIENT = 5,
  SPROTO_ID_SESSION = 6,
  SPROTO_ID_PATH = 7,
  SPROTO_ID_NOTIFY = 8,
  SPROTO_ID_SID = 9,
  SPROTO_ID_PREFIX = 10,
  SPROTO_ID_EVT_COUNT = 11,
  SPROTO_ID_SEQID = 12,
  SPROTO_ID_EVTID = 13,
  SPROTO_ID_FILETYPE = 14,
  SPROTO_ID_FILESTATUS = 15,
  SPROTO_ID_FILEHASH = 16,
  SPROTO_ID_FILETIME = 17,
  SPROTO_ID_FILESIZE = 18,
  SPROTO_ID_FILEUPDATER = 19,
  SPROTO_ID_FILEOP = 20,
  SPROTO_ID_DELTALEN = 21,
  SPROTO_ID_DELTADATA = 22,
  SPROTO_ID_DELTACOUNT = 23,
  SPROTO_ID_DELTAID = 24,
  SPROTO_ID_DELTATYPE = 25,
  SPROTO_ID_USRENABLE = 26,
  SPROTO_ID_SERIAL_NUMBER = 27,
  SPROTO_ID_PROTO_VERSION = 28,
  SPROTO_ID_SERVER_ID = 29,
  SPROTO_ID_ALIVE = 30,
  SPROTO_ID_DATA_BLOCK = 31,
  SPROTO_ID_SYNC_BLOCK = 32,
  SPROTO_ID_MACHASH = 33,
  SPROTO_ID_MACSIZE = 34,
  SPROTO_ID_AUTH_TYPE = 35,
  SPROTO_ID_VIEW_ID = 36,
  SPROTO_ID_VIEW_NAME = 37,
  SPROTO_ID_VIEW_COUNT = 38,
  SPROTO_ID_META_BLOCK = 39,
  SPROTO_ID_FILTER_VERSION = 40,
  SPROTO_ID_PROTO_VERSION_2 = 41,
};
constexpr uint8_t kProtoMaxSectionId = SPROTO_ID_PROTO_VERSION_2;

// Server result codes carried in SPROTO_ID_RES (see ProtoResp2ErrorCode).
enum _SYNC_PROTO_RESPONSE_tag : uint8_t {
  SPROTO_RES_OK = 1,
  SPROTO_RES_ERR = 2,
  SPROTO_RES_INVALID = 3,
  SPROTO_RES_USRERR = 4,
  SPROTO_RES_PASSERR = 5,
  SPROTO_RES_CLIENTERR = 6,
  SPROTO_RES_SESSIONERR = 7,
  SPROTO_RES_IDERR = 8,
  SPROTO_RES_CONFLICT = 9,
  SPROTO_RES_UPGRADE = 10,
  SPROTO_RES_NOENT = 11,
  SPROTO_RES_USERDISABLED = 12,
  SPROTO_RES_KELVODISABLED = 13,
  SPROTO_RES_QUOTA = 14,
  SPROTO_RES_DISKFULL = 15,
  SPROTO_RES_UPTODATE = 16,
  SPROTO_RES_WAIT = 17,
  SPROTO_RES_FILTER_VERSION = 18,
  SPROTO_RES_INVALID_VIEW = 19,
  SPROTO_RES_SHARE_DISABLED = 20,
  SPROTO_RES_SHARE_KELVO_DISABLED = 21,
  SPROTO_RES_SHARE_ACCESS_DENIED = 22,
};

// One-byte values of SPROTO_ID_FILETYPE, SPROTO_ID_FILESTATUS, SPROTO_ID_FILEOP.
enum _SYNC_FILE_TYPE_tag : uint8_t { SFT_FILE = 0, SFT_DIR = 1 };
enum FILE_STATUS_tag : uint8_t { FS_DEL = 0, FS_EXIST = 1 };
enum _SYNC_FILE_OP_tag : uint8_t { FOP_DEL = 0, FOP_CREATE = 1, FOP_PATCH = 2 };

// Per-id attributes: fixed ids have headLen 1 and len = value width (1, 4 or
// 8); variable ids have hasLen, headLen 3 and len 0.
struct SYNC_SECTION_ATTR_tag {
  uint8_t id;
  bool hasLen;
  uint16_t headLen;
  uint16_t len;
  const wchar_t* name;
};

// ---- records ----------------------------------------------------------------

struct ObjectID {
  uint64_t sync_id = 0;
  std::wstring path;
};

struct View {
  uint64_t view_id = 0;
  std::wstring name;
};

struct CommonAttributeBlock {
  uint32_t mtime = 0;  // seconds since 1970-01-01 UTC
};

struct ObjectMetadata {
  uint32_t mtime = 0;
  uint64_t size = 0;
  std::wstring hash;  // content checksum text of a file
};

struct FilterVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

struct ProtocolVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// The server's description of one object (read by ProtoReadObjectInfo in
// proto-client.h).
struct ObjectInfo {
  uint64_t sync_id = 0;
  uint8_t type = SFT_FILE;
  uint8_t status = FS_EXIST;
  std::wstring path;
  std::wstring updator;
  std::wstring macHash;
  ObjectMetadata metadata;

  bool isDir() const { return type == SFT_DIR; }
  bool isFile() const { return type == SFT_FILE; }
  bool isRemoved() const { return status == FS_DEL; }
};

// Where and as whom the one-shot helpers of proto-client.h connect.
struct AuthInfo {
  char domain_socket[128] = {};  // reserved; a plain channel connects nothing with it
  char ip[24] = {};              // dotted IPv4 address, zero-terminated
  int port = 0;
  std::wstring session;
};

// ---- process-wide state and name tables -------------------------------------

// Sets the protocol version byte written into every header. Call once at
// start-up before any channel is used.
void ProtoInit(uint8_t version);
uint8_t ProtoGetVersion();

// "SCMD_..." name of a command, "Unknown command" for any other code.
const wchar_t* ProtoCmd2String(uint8_t cmd);
// Attribute record of a section id; null outside 1..41. Static storage.
const SYNC_SECTION_ATTR_tag* ProtoGetSecAttr(uint8_t id);
// Text of a protocol result index 0..4; "Unknown protocol error" otherwise.
const wchar_t* ProtoGetErroString(int index);

// ---- header -------------------------------------------------------------------

// Queues magic, version, cmd and pkt_len. 0 or the first channel error.
[[nodiscard]] int ProtoWriteHeader(Channel& ch, uint16_t pkt_len, uint8_t cmd);
// Reads the four header fields. Once the magic has arrived the channel's
// no-progress limit becomes 10 seconds (and stays so). 0, a channel error, or
// ERR_PROTO for a wrong magic (after the whole header was read). The version
// byte is not checked.
[[nodiscard]] int ProtoReadHeader(Channel& ch, uint16_t& pkt_len, uint8_t& cmd, uint8_t& version);

// ---- sections -------------------------------------------------------------------

// Writers: 0, ERR_PROTO when `id` is not a section of that kind (no 16-bit
// section exists, so the uint16_t form always fails), or a channel error.
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, uint8_t v);
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, uint16_t v);
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, uint32_t v);
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, uint64_t v);
// UTF-8 with terminator; ERR_SYS when the text cannot be converted or its
// UTF-8 form (with terminator) exceeds kProtoMaxData.
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, const std::wstring& s);
// Raw bytes; ERR_INVAL for a null buf or a negative len; len must not exceed
// the channel's capacity nor kProtoMaxVarLen (ERR_INVAL, nothing written).
[[nodiscard]] int ProtoWriteSection(Channel& ch, uint8_t id, const char* buf, int len);
// The string encrypted with SyncPassEnc, without terminator.
[[nodiscard]] int ProtoWriteEncSection(Channel& ch, uint8_t id, const std::wstring& s);

// Readers: the section's wire size on success (2, 5 or 9 for integers, data
// length + 3 for var data); ERR_PROTO when a different id arrives (the id
// byte is consumed), when `id` is not of the reader's kind, or when the data
// is longer than the buffer; a channel error; ERR_SYS for text that is not
// valid UTF-8. Outputs are written only on success.
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, uint8_t& v);
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, uint16_t& v);
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, uint32_t& v);
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, uint64_t& v);
// Cut at the first zero byte; at most kProtoMaxData bytes on the wire.
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, std::wstring& s);
// At most `max` bytes into buf (owned by the caller); `len` gets the count.
[[nodiscard]] int ProtoReadSection(Channel& ch, uint8_t id, char* buf, unsigned max, unsigned& len);
// Encrypted string: cut at the first zero byte, SyncPassDec, UTF-8 to wide.
[[nodiscard]] int ProtoReadDecSection(Channel& ch, uint8_t id, std::wstring& s);

// ---- var data and strings (no section id) -------------------------------------

// 16-bit length then the bytes. 0, ERR_INVAL (null buf, negative len, len
// above the channel's capacity or above kProtoMaxVarLen; nothing is written)
// or a channel error.
[[nodiscard]] int ProtoWriteVarData(Channel& ch, const char* buf, int len);
// Reads a length n and then n bytes into buf. Returns n; ERR_INVAL for a null
// buf or max 0; ERR_PROTO when n > max (the n bytes are not consumed); a
// channel error.
[[nodiscard]] int ProtoReadVarData(Channel& ch, char* buf, unsigned max);

// Narrow strings travel as their bytes; wide strings as UTF-8 plus a zero
// byte. Readers cut at the first zero byte and return the var-data length.
[[nodiscard]] int ProtoWriteString(Channel& ch, const std::string& s);
[[nodiscard]] int ProtoWriteString(Channel& ch, const std::wstring& s);
[[nodiscard]] int ProtoReadString(Channel& ch, std::string& s);
[[nodiscard]] int ProtoReadString(Channel& ch, std::wstring& s);
// Encrypted forms (SyncPassEnc / SyncPassDec). The narrow reader returns the
// decrypted length, the wide one the var-data length.
[[nodiscard]] int ProtoWriteEncString(Channel& ch, const std::string& s);
[[nodiscard]] int ProtoWriteEncString(Channel& ch, const std::wstring& s);
[[nodiscard]] int ProtoReadDecString(Channel& ch, std::string& s);
[[nodiscard]] int ProtoReadDecString(Channel& ch, std::wstring& s);

// ---- file payloads ----------------------------------------------------------------

// Sends a DELTATYPE section with `type`, a DELTALEN section with the file's
// size, then the content in blocks of kProtoBlockSize (DELTAID with the index
// from 0, DELTADATA with the bytes), flushing after each block and at the
// end. Exactly the announced size is sent: a file that shrinks while being
// sent fails with ERR_SYS, bytes added meanwhile are not sent. `fp` is owned
// by the caller and read from its start. 0, ERR_SYS (stat or read failure,
// unopenable path) or a channel error.
// `before_last`, when given, runs before the last block goes out (before the
// length, for an empty file): a non-zero answer ends the transfer with that
// code and the payload incomplete, so the peer can never take it whole.
// `on_block`, when given, sees each block's bytes as read, before they go
// out (and before `before_last` for the last one); a non-zero answer ends
// the transfer the same way.
using ProtoBlockTap = std::function<int(const char* data, size_t len)>;
[[nodiscard]] int ProtoWriteFile(Channel& ch, uint8_t type, FILE* fp,
                                 const std::function<int()>& before_last = nullptr,
                                 const ProtoBlockTap& on_block = nullptr);
[[nodiscard]] int ProtoWriteFile(Channel& ch, uint8_t type, const std::wstring& path);
// Writes the received payload into `fp` (from its position) and closes it;
// `type` gets the DELTATYPE byte. 0; ERR_PROTO for an empty block or blocks
// running past the announced length; ERR_SYS for local file failures
// (writing or closing); a channel error. What was written stays after a
// failure. A payload announced longer than `max_len` bytes fails with
// ERR_PROTO before any block is read.
[[nodiscard]] int ProtoReadFile(Channel& ch, uint8_t& type, FilePtr fp,
                                uint64_t max_len = UINT64_MAX);
// The same into the file `path`, created or truncated.
[[nodiscard]] int ProtoReadFile(Channel& ch, uint8_t& type, const std::wstring& path,
                                uint64_t max_len = UINT64_MAX);

// ---- records ------------------------------------------------------------------

// Each writes or reads its sections in order and stops at the first failure
// (0 or that failure's code). No header, no flush. Readers store into the
// caller's record only after the whole record was read.
[[nodiscard]] int ProtoWriteObjectId(Channel& ch, const ObjectID& id);
[[nodiscard]] int ProtoReadObjectId(Channel& ch, ObjectID& id);
[[nodiscard]] int ProtoWriteView(Channel& ch, const View& v);
[[nodiscard]] int ProtoReadView(Channel& ch, View& v);
[[nodiscard]] int ProtoWriteCommonAttributeBlock(Channel& ch, const CommonAttributeBlock& b);
[[nodiscard]] int ProtoReadCommonAttributeBlock(Channel& ch, CommonAttributeBlock& b);
[[nodiscard]] int ProtoWriteObjectMetadata(Channel& ch, const ObjectMetadata& m);
[[nodiscard]] int ProtoReadObjectMetadata(Channel& ch, ObjectMetadata& m);
// Version texts "major.minor.build"; at most kProtoVersionTextMax bytes are
// accepted and the text must hold three numbers (ERR_PROTO otherwise).
[[nodiscard]] int ProtoWriteFilterVersion(Channel& ch, const FilterVersion& v);
[[nodiscard]] int ProtoReadFilterVersion(Channel& ch, FilterVersion& v);
[[nodiscard]] int ProtoWriteProtocolVersion(Channel& ch, const ProtocolVersion& v);
[[nodiscard]] int ProtoReadProtocolVersion(Channel& ch, ProtocolVersion& v);

// ---- connection -----------------------------------------------------------------

// The channel's address Open without TLS: 0, or -1 on any failure.
[[nodiscard]] int ProtoConnect(Channel& ch, const char* ip, int port);
// The channel's Close; always 0.
[[nodiscard]] int ProtoDisconnect(Channel& ch);
