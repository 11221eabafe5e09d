#include "lib/proto/proto-common.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <utility>

#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/net/channel.h"

namespace {

constexpr wchar_t kLogComponent[] = L"proto_common_debug";

std::atomic<uint8_t> g_version{0};

// stdio buffer of the files that payloads are read from and written to.
constexpr size_t kFileBufferSize = size_t{64} * 1024;

#define SF_FIXED(id, width) \
  { id, false, 1, width, L"" #id }
#define SF_VAR(id) \
  { id, true, 3, 0, L"" #id }

// Indexed by id - 1.
const SYNC_SECTION_ATTR_tag kSectionAttrs[] = {
    SF_FIXED(SPROTO_ID_RES, 1),
    SF_FIXED(SPROTO_ID_TYPE, 1),
    SF_VAR(SPROTO_ID_USER),
    SF_VAR(SPROTO_ID_PASSWD),
    SF_VAR(SPROTO_ID_CLIENT),
    SF_VAR(SPROTO_ID_SESSION),
    SF_VAR(SPROTO_ID_PATH),
    SF_FIXED(SPROTO_ID_NOTIFY, 1),
    SF_FIXED(SPROTO_ID_SID, 8),
    SF_VAR(SPROTO_ID_PREFIX),
    SF_FIXED(SPROTO_ID_EVT_COUNT, 8),
    SF_FIXED(SPROTO_ID_SEQID, 4),
    SF_FIXED(SPROTO_ID_EVTID, 8),
    SF_FIXED(SPROTO_ID_FILETYPE, 1),
    SF_FIXED(SPROTO_ID_FILESTATUS, 1),
    SF_VAR(SPROTO_ID_FILEHASH),
    SF_FIXED(SPROTO_ID_FILETIME, 4),
    SF_FIXED(SPROTO_ID_FILESIZE, 8),
    SF_VAR(SPROTO_ID_FILEUPDATER),
    SF_FIXED(SPROTO_ID_FILEOP, 1),
    SF_FIXED(SPROTO_ID_DELTALEN, 8),
    SF_VAR(SPROTO_ID_DELTADATA),
    SF_FIXED(SPROTO_ID_DELTACOUNT, 4),
    SF_FIXED(SPROTO_ID_DELTAID, 4),
    SF_FIXED(SPROTO_ID_DELTATYPE, 1),
    SF_FIXED(SPROTO_ID_USRENABLE, 1),
    SF_VAR(SPROTO_ID_SERIAL_NUMBER),
    SF_FIXED(SPROTO_ID_PROTO_VERSION, 1),
    SF_VAR(SPROTO_ID_SERVER_ID),
    SF_FIXED(SPROTO_ID_ALIVE, 4),
    SF_FIXED(SPROTO_ID_DATA_BLOCK, 4),
    SF_FIXED(SPROTO_ID_SYNC_BLOCK, 4),
    SF_VAR(SPROTO_ID_MACHASH),
    SF_FIXED(SPROTO_ID_MACSIZE, 8),
    SF_FIXED(SPROTO_ID_AUTH_TYPE, 1),
    SF_FIXED(SPROTO_ID_VIEW_ID, 8),
    SF_VAR(SPROTO_ID_VIEW_NAME),
    SF_FIXED(SPROTO_ID_VIEW_COUNT, 4),
    SF_FIXED(SPROTO_ID_META_BLOCK, 4),
    SF_VAR(SPROTO_ID_FILTER_VERSION),
    SF_VAR(SPROTO_ID_PROTO_VERSION_2),
};
static_assert(sizeof(kSectionAttrs) / sizeof(kSectionAttrs[0]) == kProtoMaxSectionId,
              "one attribute record per section id");

#undef SF_FIXED
#undef SF_VAR

const wchar_t* const kCmdNames[] = {
    L"SCMD_REQUEST",    L"SCMD_KEEP_ALIVE",      L"SCMD_AUTH",       L"SCMD_NOTIFY",
    L"SCMD_LOGOUT",     L"SCMD_EVT_PULL",        L"SCMD_EVT_RECV",   L"SCMD_NEW_EVT_INFO",
    L"SCMD_EVT_SEND",   L"SCMD_USER_CTRL",       L"SCMD_TEST_CONN",  L"SCMD_RESPONSE",
    L"SCMD_USER_CHECK", L"SCMD_REQUEST_CONNECT", L"SCMD_EVT_REMOVE", L"SCMD_GET_FILTER",
    L"SCMD_LIST_VIEW",  L"SCMD_AUTH_2",          L"SCMD_EVT_RECV_2", L"SCMD_REQUEST_SSL",
};

const wchar_t* const kProtoResultNames[] = {
    L"Protocol finished successfully",           L"Protocol aborted due to interrupt",
    L"Protocol aborted due to IO error",         L"Protocol aborted due to authentication failure",
    L"Protocol aborted due to invalid argument",
};

const wchar_t* SecName(uint8_t id) {
  const SYNC_SECTION_ATTR_tag* a = ProtoGetSecAttr(id);
  return a ? a->name : L"(unknown section)";
}

// ---- fixed-width values ----------------------------------------------------

int PutValue(Channel& ch, uint8_t v) {
  return ch.WriteByte(v);
}
int PutValue(Channel& ch, uint16_t v) {
  return ch.WriteInt16(v);
}
int PutValue(Channel& ch, uint32_t v) {
  return ch.WriteInt32(v);
}
int PutValue(Channel& ch, uint64_t v) {
  return ch.WriteInt64(v);
}
int GetValue(Channel& ch, uint8_t* v) {
  return ch.ReadByte(v);
}
int GetValue(Channel& ch, uint16_t* v) {
  return ch.ReadInt16(v);
}
int GetValue(Channel& ch, uint32_t* v) {
  return ch.ReadInt32(v);
}
int GetValue(Channel& ch, uint64_t* v) {
  return ch.ReadInt64(v);
}

const wchar_t* TypeName(uint8_t) {
  return L"uint8_t";
}
const wchar_t* TypeName(uint16_t) {
  return L"uint16_t";
}
const wchar_t* TypeName(uint32_t) {
  return L"uint32_t";
}
const wchar_t* TypeName(uint64_t) {
  return L"uint64_t";
}

bool IsFixedOf(uint8_t id, unsigned width) {
  const SYNC_SECTION_ATTR_tag* a = ProtoGetSecAttr(id);
  return a != nullptr && !a->hasLen && a->len == width;
}

bool IsVariable(uint8_t id) {
  const SYNC_SECTION_ATTR_tag* a = ProtoGetSecAttr(id);
  return a != nullptr && a->hasLen;
}

template <typename T>
int WriteFixed(Channel& ch, uint8_t id, T v) {
  if (!IsFixedOf(id, sizeof(T))) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: bad attribute [section = %d]\n", id);
    return ERR_PROTO;
  }
  int rc = ch.WriteByte(id);
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: Failed to write section (%d)\n", id);
    return rc;
  }
  rc = PutValue(ch, v);
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: Failed to write section data\n");
    return rc;
  }
  if (sizeof(T) == 8)
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: %s, %s, %llu\n", SecName(id),
           TypeName(v), v);
  else
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: %s, %s, %u\n", SecName(id),
           TypeName(v), v);
  return 0;
}

// Reads the id byte and checks it is the expected one.
int ReadSectionId(Channel& ch, uint8_t id) {
  uint8_t got = 0;
  int rc = ch.ReadByte(&got);
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: Failed to read section\n");
    return rc;
  }
  if (got != id) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): Expect section id #%d but get section #%d\n", id,
           got);
    return ERR_PROTO;
  }
  return 0;
}

int BadReadAttr(uint8_t id) {
  SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: bad attribute [sec = %d]\n", id);
  return ERR_PROTO;
}

template <typename T>
int ReadFixed(Channel& ch, uint8_t id, T& v) {
  if (!IsFixedOf(id, sizeof(T))) return BadReadAttr(id);
  int rc = ReadSectionId(ch, id);
  if (rc < 0) return rc;
  T tmp{};
  rc = GetValue(ch, &tmp);
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: Failed to read section data\n");
    return rc;
  }
  v = tmp;
  if (sizeof(T) == 8)
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: %s, %s, %llu\n", SecName(id),
           TypeName(tmp), tmp);
  else
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: %s, %s, %u\n", SecName(id),
           TypeName(tmp), tmp);
  return static_cast<int>(1 + sizeof(T));
}

int BadWriteAttr(uint8_t id) {
  SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: bad attribute [section = %d]\n", id);
  return ERR_PROTO;
}

int WriteVarId(Channel& ch, uint8_t id) {
  if (!IsVariable(id)) return BadWriteAttr(id);
  int rc = ch.WriteByte(id);
  if (rc < 0)
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: Failed to write section (%d)\n", id);
  return rc;
}

// A var-data length the channel can queue in one write and the 16-bit length
// field can carry: a length taken modulo 65536 would announce fewer bytes
// than follow, and the peer would read the rest as the next sections.
bool VarLenFits(const Channel& ch, int len) {
  return len >= 0 && static_cast<size_t>(len) <= ch.GetCapacity() &&
         static_cast<unsigned>(len) <= kProtoMaxVarLen;
}

// Wide text to its UTF-8 form; false (logged) when it cannot be converted or
// would not fit the wire limit together with its terminator.
bool ToWireUtf8(const std::wstring& s, std::string& out) {
  if (NativeStrToUTF8(s, out) < 0 || out.size() + 1 > kProtoMaxData) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): wcstombs: %s\n", L"cannot convert the text to UTF-8");
    return false;
  }
  return true;
}

// Reads var data of at most kProtoMaxData bytes into `bytes`, cut at the
// first zero byte. Returns the var-data length or an error.
int ReadCutVarData(Channel& ch, std::string& bytes) {
  char buf[kProtoMaxData];
  int n = ProtoReadVarData(ch, buf, kProtoMaxData);
  if (n < 0) return n;
  const char* end = static_cast<const char*>(std::memchr(buf, 0, static_cast<size_t>(n)));
  bytes.assign(buf, end ? static_cast<size_t>(end - buf) : static_cast<size_t>(n));
  return n;
}

std::string ErrnoText(int err) {
  return ErrnoMessage(err);
}

}  // namespace

// ---- process-wide state and tables --------------------------------------------

void ProtoInit(uint8_t version) {
  g_version.store(version, std::memory_order_relaxed);
}

uint8_t ProtoGetVersion() {
  return g_version.load(std::memory_order_relaxed);
}

const wchar_t* ProtoCmd2String(uint8_t cmd) {
  if (cmd >= 1 && cmd <= SCMD_REQUEST_SSL) return kCmdNames[cmd - 1];
  return L"Unknown command";
}

const SYNC_SECTION_ATTR_tag* ProtoGetSecAttr(uint8_t id) {
  if (id < 1 || id > kProtoMaxSectionId) return nullptr;
  return &kSectionAttrs[id - 1];
}

const wchar_t* ProtoGetErroString(int index) {
  if (index < 0 || index > 4) return L"Unknown protocol error";
  return kProtoResultNames[index];
}

// ---- header ---------------------------------------------------------------------

int ProtoWriteHeader(Channel& ch, uint16_t pkt_len, uint8_t cmd) {
  uint8_t version = ProtoGetVersion();
  int rc = ch.WriteInt32(kProtoMagic);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): WriteHeader: Failed to write magic\n");
    return rc;
  }
  rc = ch.WriteByte(version);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): WriteHeader: Failed to write version (%d)\n",
           version);
    return rc;
  }
  rc = ch.WriteByte(cmd);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): WriteHeader: Failed to write command (%d)\n", cmd);
    return rc;
  }
  rc = ch.WriteInt16(pkt_len);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): WriteHeader: Failed to write payload length (%d)\n",
           pkt_len);
    return rc;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteHeader: %s, pkt_len = %d\n",
         ProtoCmd2String(cmd), pkt_len);
  return 0;
}

int ProtoReadHeader(Channel& ch, uint16_t& pkt_len, uint8_t& cmd, uint8_t& version) {
  uint32_t magic = 0;
  int rc = ch.ReadInt32(&magic);
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadHeader: Failed to read magic\n");
    return rc;
  }
  // Waiting for a message may take long; once one has begun, the rest of
  // it must follow promptly.
  ch.SetTimeout(10);
  uint8_t v = 0, c = 0;
  uint16_t len = 0;
  rc = ch.ReadByte(&v);
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadHeader: Failed to read version\n");
    return rc;
  }
  rc = ch.ReadByte(&c);
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadHeader: Failed to read command\n");
    return rc;
  }
  rc = ch.ReadInt16(&len);
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadHeader: Failed to read payload length\n");
    return rc;
  }
  if (magic != kProtoMagic) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): Invalid protocol (%x)\n", magic);
    return ERR_PROTO;
  }
  version = v;
  cmd = c;
  pkt_len = len;
  SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ProtoReadHeader: %s, pkt_len = %d\n",
         ProtoCmd2String(c), len);
  return 0;
}

// ---- sections ---------------------------------------------------------------------

int ProtoWriteSection(Channel& ch, uint8_t id, uint8_t v) {
  return WriteFixed(ch, id, v);
}
int ProtoWriteSection(Channel& ch, uint8_t id, uint16_t v) {
  return WriteFixed(ch, id, v);
}
int ProtoWriteSection(Channel& ch, uint8_t id, uint32_t v) {
  return WriteFixed(ch, id, v);
}
int ProtoWriteSection(Channel& ch, uint8_t id, uint64_t v) {
  return WriteFixed(ch, id, v);
}

int ProtoWriteSection(Channel& ch, uint8_t id, const std::wstring& s) {
  if (!IsVariable(id)) return BadWriteAttr(id);
  // Convert first so that a refused text leaves nothing half-written.
  std::string utf8;
  if (!ToWireUtf8(s, utf8)) return ERR_SYS;
  utf8.push_back('\0');
  if (!VarLenFits(ch, static_cast<int>(utf8.size()))) return ERR_INVAL;
  int rc = WriteVarId(ch, id);
  if (rc < 0) return rc;
  rc = ProtoWriteVarData(ch, utf8.data(), static_cast<int>(utf8.size()));
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteString: %s\n", GetErrorStringW(rc));
    return rc;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: %s, string, %s\n", SecName(id), s);
  return 0;
}

int ProtoWriteSection(Channel& ch, uint8_t id, const char* buf, int len) {
  if (!IsVariable(id)) return BadWriteAttr(id);
  if (buf == nullptr || !VarLenFits(ch, len)) return ERR_INVAL;
  int rc = WriteVarId(ch, id);
  if (rc < 0) return rc;
  rc = ProtoWriteVarData(ch, buf, len);
  if (rc < 0) return rc;
  SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: %s, variable-length data, len = %d\n",
         SecName(id), len);
  return 0;
}

int ProtoWriteEncSection(Channel& ch, uint8_t id, const std::wstring& s) {
  if (!IsVariable(id)) return BadWriteAttr(id);
  std::string utf8;
  if (!ToWireUtf8(s, utf8)) return ERR_SYS;
  std::string enc;
  SyncPassEnc(utf8, enc);
  if (!VarLenFits(ch, static_cast<int>(enc.size()))) return ERR_INVAL;
  int rc = WriteVarId(ch, id);
  if (rc < 0) return rc;
  rc = ProtoWriteVarData(ch, enc.data(), static_cast<int>(enc.size()));
  if (rc < 0) return rc;
  // The clear text of an encrypted section (a password) never reaches the log.
  SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteSection: %s, string, %s\n", SecName(id),
         L"(encrypted)");
  return 0;
}

int ProtoReadSection(Channel& ch, uint8_t id, uint8_t& v) {
  return ReadFixed(ch, id, v);
}
int ProtoReadSection(Channel& ch, uint8_t id, uint16_t& v) {
  return ReadFixed(ch, id, v);
}
int ProtoReadSection(Channel& ch, uint8_t id, uint32_t& v) {
  return ReadFixed(ch, id, v);
}
int ProtoReadSection(Channel& ch, uint8_t id, uint64_t& v) {
  return ReadFixed(ch, id, v);
}

int ProtoReadSection(Channel& ch, uint8_t id, std::wstring& s) {
  if (!IsVariable(id)) return BadReadAttr(id);
  int rc = ReadSectionId(ch, id);
  if (rc < 0) return rc;
  std::wstring tmp;
  int n = ProtoReadString(ch, tmp);
  if (n < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: Failed to read section data\n");
    return n;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: %s, string, %s\n", SecName(id), tmp);
  s.swap(tmp);
  return n + 3;
}

int ProtoReadSection(Channel& ch, uint8_t id, char* buf, unsigned max, unsigned& len) {
  if (!IsVariable(id)) return BadReadAttr(id);
  if (buf == nullptr || max == 0) return ERR_INVAL;
  int rc = ReadSectionId(ch, id);
  if (rc < 0) return rc;
  int n = ProtoReadVarData(ch, buf, max);
  if (n < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: Failed to read section data\n");
    return n;
  }
  len = static_cast<unsigned>(n);
  SF_LOG(L_DEBUG,
         L"[DEBUG] proto-common(%d): ReadSection: %s, variable-length data, data length = %d\n",
         SecName(id), n);
  return n + 3;
}

int ProtoReadDecSection(Channel& ch, uint8_t id, std::wstring& s) {
  if (!IsVariable(id)) return BadReadAttr(id);
  int rc = ReadSectionId(ch, id);
  if (rc < 0) return rc;
  std::wstring tmp;
  int n = ProtoReadDecString(ch, tmp);
  if (n < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: Failed to read section data\n");
    return n;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadSection: %s, string, %s\n", SecName(id),
         L"(encrypted)");
  s.swap(tmp);
  return n + 3;
}

// ---- var data and strings -------------------------------------------------------

int ProtoWriteVarData(Channel& ch, const char* buf, int len) {
  // Refused before the length goes out, so a failure never leaves a length
  // without its data in the stream.
  if (buf == nullptr || !VarLenFits(ch, len)) return ERR_INVAL;
  int rc = ch.WriteInt16(static_cast<uint16_t>(len));
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteVarData: Failed to write length indicator\n");
    return rc;
  }
  rc = ch.Write(buf, static_cast<size_t>(len));
  if (rc < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteVarData: Failed to write data\n");
    return rc;
  }
  return 0;
}

int ProtoReadVarData(Channel& ch, char* buf, unsigned max) {
  if (buf == nullptr || max == 0) return ERR_INVAL;
  uint16_t n = 0;
  int rc = ch.ReadInt16(&n);
  if (rc < 0) return rc;
  if (n > max) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): Expect only %d bytes but %d bytes coming in\n", max,
           n);
    return ERR_PROTO;
  }
  size_t got = 0;
  rc = ch.Read(buf, n, got);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): ReadVarData: %s\n", GetErrorStringW(rc));
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): Expected %d bytes but read only %d bytes\n", n, got);
    return rc;
  }
  return n;
}

int ProtoWriteString(Channel& ch, const std::string& s) {
  int rc = ProtoWriteVarData(ch, s.data(), static_cast<int>(std::min<size_t>(s.size(), INT32_MAX)));
  if (rc < 0) SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteString: %s\n", GetErrorStringW(rc));
  return rc;
}

int ProtoWriteString(Channel& ch, const std::wstring& s) {
  std::string utf8;
  if (!ToWireUtf8(s, utf8)) return ERR_SYS;
  utf8.push_back('\0');
  int rc = ProtoWriteVarData(ch, utf8.data(), static_cast<int>(utf8.size()));
  if (rc < 0) SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteString: %s\n", GetErrorStringW(rc));
  return rc;
}

int ProtoReadString(Channel& ch, std::string& s) {
  std::string bytes;
  int n = ReadCutVarData(ch, bytes);
  if (n < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadString: %s\n", GetErrorStringW(n));
    return n;
  }
  s.swap(bytes);
  return n;
}

int ProtoReadString(Channel& ch, std::wstring& s) {
  std::string bytes;
  int n = ReadCutVarData(ch, bytes);
  if (n < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadString: %s\n", GetErrorStringW(n));
    return n;
  }
  std::wstring w;
  if (UTF8ToNativeStr(bytes, w) < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): mbstowcs: %s\n", L"invalid UTF-8 text");
    return ERR_SYS;
  }
  s.swap(w);
  return n;
}

int ProtoWriteEncString(Channel& ch, const std::string& s) {
  std::string enc;
  SyncPassEnc(s, enc);
  return ProtoWriteString(ch, enc);
}

int ProtoWriteEncString(Channel& ch, const std::wstring& s) {
  std::string utf8;
  if (!ToWireUtf8(s, utf8)) return ERR_SYS;
  std::string enc;
  SyncPassEnc(utf8, enc);
  return ProtoWriteString(ch, enc);
}

int ProtoReadDecString(Channel& ch, std::string& s) {
  std::string bytes;
  int n = ReadCutVarData(ch, bytes);
  if (n < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadString: %s\n", GetErrorStringW(n));
    return n;
  }
  std::string dec;
  SyncPassDec(bytes, dec);
  s.swap(dec);
  return static_cast<int>(s.size());
}

int ProtoReadDecString(Channel& ch, std::wstring& s) {
  std::string bytes;
  int n = ReadCutVarData(ch, bytes);
  if (n < 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): ReadString: %s\n", GetErrorStringW(n));
    return n;
  }
  std::string dec;
  SyncPassDec(bytes, dec);
  std::wstring w;
  if (UTF8ToNativeStr(dec, w) < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): mbstowcs: %s\n", L"invalid UTF-8 text");
    return ERR_SYS;
  }
  s.swap(w);
  return n;
}

// ---- file payloads ------------------------------------------------------------------

int ProtoWriteFile(Channel& ch, uint8_t type, FILE* fp, const std::function<int()>& before_last,
                   const ProtoBlockTap& on_block) {
  if (fp == nullptr) return ERR_INVAL;
  int rc = ProtoWriteSection(ch, SPROTO_ID_DELTATYPE, type);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-common(%d): WriteFile: Failed to get delta type. %s\n");
  struct stat st;
  if (::fstat(fileno(fp), &st) < 0) {
    int err = errno;
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): fstat: %s (%d)\n", ErrnoText(err), err);
    return ERR_SYS;
  }
  const uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  if (size == 0 && before_last && (rc = before_last()) != 0) return rc;
  rc = ProtoWriteSection(ch, SPROTO_ID_DELTALEN, size);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-common(%d): WriteFile: Failed to send data. %s\n");
  if (size == 0) return ch.FlushWrite(0);
  if (std::fseek(fp, 0, SEEK_SET) != 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): WriteFile: fread: %s\n", ErrnoText(errno));
    return ERR_SYS;
  }
  std::clearerr(fp);

  char buf[kProtoBlockSize];
  uint64_t sent = 0;
  uint32_t index = 0;
  const auto start = std::chrono::steady_clock::now();
  // Never more than announced: extra bytes would be read as the next message.
  while (sent < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kProtoBlockSize, size - sent));
    const size_t n = std::fread(buf, 1, want, fp);
    if (n < want) {
      if (std::ferror(fp)) {
        SF_LOG(L_ERR, L"[ERROR] proto-common(%d): WriteFile: fread: %s\n", ErrnoText(errno));
        return ERR_SYS;
      }
      if (n == 0) SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteFile: End of file\n");
      // The peer expects the announced length; a short payload cannot be
      // completed, so the transfer fails instead of pretending success.
      SF_LOG(L_ERR,
             L"[ERROR] proto-common(%d): WriteFile: file shrank to %llu of %llu bytes while being "
             L"sent\n",
             sent + n, size);
      return ERR_SYS;
    }
    if (n < kProtoBlockSize)
      SF_LOG(L_DEBUG, L"[DEBUG] proto-common(%d): WriteFile: Send %llu bytes\n",
             static_cast<unsigned long long>(n));
    if (on_block && (rc = on_block(buf, n)) != 0) return rc;
    if (sent + n == size && before_last && (rc = before_last()) != 0) return rc;
    rc = ProtoWriteSection(ch, SPROTO_ID_DELTAID, index);
    SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-common(%d): WriteFile: Failed to send delta id. %s\n");
    rc = ProtoWriteSection(ch, SPROTO_ID_DELTADATA, buf, static_cast<int>(n));
    SF_RETURN_ON_FAILURE(rc,
                         L"[ERROR] proto-common(%d): WriteFile: Failed to send delta data. %s\n");
    rc = ch.FlushWrite(0);
    SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-common(%d): WriteFile: Failed to send data. %s\n");
    sent += n;
    ++index;
    if (index % 16 == 0) {
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (secs >= 1.0)
        SF_LOG(L_INFO, L"[INFO] proto-common(%d): FileTransfer: %llu/%llu KB, speed: %f Kb/s\n",
               sent / 1024, size / 1024, static_cast<double>(sent) / (secs * 128));
    }
  }
  return ch.FlushWrite(0);
}

int ProtoWriteFile(Channel& ch, uint8_t type, const std::wstring& path) {
  std::string native;
  if (NativeStrToUTF8(path, native) < 0) return ERR_SYS;
  FilePtr fp(std::fopen(native.c_str(), "rb"));
  if (!fp) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): WriteFile: fopen: %s\n", ErrnoText(errno));
    return ERR_SYS;
  }
  // Several blocks per system call instead of one (or two) per block.
  std::setvbuf(fp.get(), nullptr, _IOFBF, kFileBufferSize);
  return ProtoWriteFile(ch, type, fp.get());
}

int ProtoReadFile(Channel& ch, uint8_t& type, const std::wstring& path, uint64_t max_len) {
  std::string native;
  if (NativeStrToUTF8(path, native) < 0) return ERR_SYS;
  FilePtr fp(std::fopen(native.c_str(), "wb"));
  if (!fp) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): ReadFile: open: %s\n", ErrnoText(errno));
    return ERR_SYS;
  }
  std::setvbuf(fp.get(), nullptr, _IOFBF, kFileBufferSize);
  return ProtoReadFile(ch, type, std::move(fp), max_len);
}

int ProtoReadFile(Channel& ch, uint8_t& type, FilePtr fp, uint64_t max_len) {
  if (!fp) return ERR_INVAL;
  int result = 0;
  uint8_t t = 0;
  uint64_t size = 0;
  int rc = ProtoReadSection(ch, SPROTO_ID_DELTATYPE, t);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): ReadFile: Failed to get delta type. %s\n",
           GetErrorStringW(rc));
    result = rc;
  } else {
    type = t;
    rc = ProtoReadSection(ch, SPROTO_ID_DELTALEN, size);
    if (rc < 0) {
      SF_LOG(L_ERR, L"[ERROR] proto-common(%d): ReadFile: Failed to get file length. %s\n",
             GetErrorStringW(rc));
      result = rc;
    } else if (size > max_len) {
      SF_LOG(L_ERR,
             L"[ERROR] proto-common(%d): ReadFile: %llu bytes announced, at most %llu expected\n",
             size, max_len);
      result = ERR_PROTO;
    }
  }
  char buf[kProtoBlockSize];
  uint64_t received = 0;
  while (result == 0 && received < size) {
    uint32_t block_id = 0;
    rc = ProtoReadSection(ch, SPROTO_ID_DELTAID, block_id);
    if (rc < 0) {
      SF_LOG(L_ERR, L"[ERROR] proto-common(%d): ReadFile: Failed to get block id. %s\n",
             GetErrorStringW(rc));
      result = rc;
      break;
    }
    unsigned len = 0;
    rc = ProtoReadSection(ch, SPROTO_ID_DELTADATA, buf, kProtoBlockSize, len);
    if (rc < 0) {
      SF_LOG(L_ERR, L"[ERROR] proto-common(%d): ReadFile: Failed to get block data. %s\n",
             GetErrorStringW(rc));
      result = rc;
      break;
    }
    // An empty block makes no progress and a long one would write past the
    // announced length into what is really the next message.
    if (len == 0 || len > size - received) {
      SF_LOG(L_ERR,
             L"[ERROR] proto-common(%d): ReadFile: block of %u bytes does not fit the %llu bytes "
             L"left\n",
             len, size - received);
      result = ERR_PROTO;
      break;
    }
    if (std::fwrite(buf, 1, len, fp.get()) != len) {
      SF_LOG(L_ERR, L"[ERROR] proto-common(%d): ReadFile: write: %s\n", ErrnoText(errno));
      result = ERR_SYS;
      break;
    }
    received += len;
  }
  if (std::fclose(fp.release()) != 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): ReadFile: close: %s\n", ErrnoText(errno));
    return ERR_SYS;
  }
  return result;
}

// ---- records ----------------------------------------------------------------------

int ProtoWriteObjectId(Channel& ch, const ObjectID& id) {
  int rc = ProtoWriteSection(ch, SPROTO_ID_SID, id.sync_id);
  if (rc < 0) return rc;
  return ProtoWriteSection(ch, SPROTO_ID_PATH, id.path);
}

int ProtoReadObjectId(Channel& ch, ObjectID& id) {
  ObjectID tmp;
  int rc = ProtoReadSection(ch, SPROTO_ID_SID, tmp.sync_id);
  if (rc < 0) return rc;
  rc = ProtoReadSection(ch, SPROTO_ID_PATH, tmp.path);
  if (rc < 0) return rc;
  id = std::move(tmp);
  return 0;
}

int ProtoWriteView(Channel& ch, const View& v) {
  int rc = ProtoWriteSection(ch, SPROTO_ID_VIEW_ID, v.view_id);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-common(%d): WriteView: fail to send view id. %s.\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_VIEW_NAME, v.name);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-common(%d): WriteView: fail to send view name. %s.\n");
  return 0;
}

int ProtoReadView(Channel& ch, View& v) {
  View tmp;
  int rc = ProtoReadSection(ch, SPROTO_ID_VIEW_ID, tmp.view_id);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-common(%d): ReadView: fail to recv view id. %s.\n");
  rc = ProtoReadSection(ch, SPROTO_ID_VIEW_NAME, tmp.name);
  SF_RETURN_ON_FAILURE(rc, L"[ERROR] proto-common(%d): ReadView: fail to recv view name. %s.\n");
  v = std::move(tmp);
  return 0;
}

int ProtoWriteCommonAttributeBlock(Channel& ch, const CommonAttributeBlock& b) {
  int rc = ProtoWriteSection(ch, SPROTO_ID_FILETIME, b.mtime);
  return rc < 0 ? rc : 0;
}

int ProtoReadCommonAttributeBlock(Channel& ch, CommonAttributeBlock& b) {
  uint32_t mtime = 0;
  int rc = ProtoReadSection(ch, SPROTO_ID_FILETIME, mtime);
  if (rc < 0) return rc;
  b.mtime = mtime;
  return 0;
}

int ProtoWriteObjectMetadata(Channel& ch, const ObjectMetadata& m) {
  int rc = ProtoWriteSection(ch, SPROTO_ID_FILESIZE, m.size);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-common(%d): WriteObjectMetadata: Failed to send size. %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_FILETIME, m.mtime);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-common(%d): WriteObjectMetadata: Failed to send modified time. %s\n");
  rc = ProtoWriteSection(ch, SPROTO_ID_FILEHASH, m.hash);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-common(%d): WriteObjectMetadata: Failed to send file checksum. %s\n");
  return 0;
}

int ProtoReadObjectMetadata(Channel& ch, ObjectMetadata& m) {
  ObjectMetadata tmp;
  int rc = ProtoReadSection(ch, SPROTO_ID_FILESIZE, tmp.size);
  SF_RETURN_ON_FAILURE(rc,
                       L"[ERROR] proto-common(%d): ReadObjectMetadata: Failed to parse size. %s\n");
  rc = ProtoReadSection(ch, SPROTO_ID_FILETIME, tmp.mtime);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-common(%d): ReadObjectMetadata: Failed to parse modified time. %s\n");
  rc = ProtoReadSection(ch, SPROTO_ID_FILEHASH, tmp.hash);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] proto-common(%d): ReadObjectMetadata: Failed to parse file hash. %s\n");
  m = std::move(tmp);
  return 0;
}

namespace {

// "major.minor.build": three decimal numbers that fit 32 bits. Text after the
// third number is ignored, as a scanf-style parse would.
bool ParseVersionText(const char* s, size_t n, uint32_t out[3]) {
  size_t i = 0;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (i >= n || s[i] != '.') return false;
      ++i;
    }
    if (i >= n || s[i] < '0' || s[i] > '9') return false;
    uint64_t v = 0;
    while (i < n && s[i] >= '0' && s[i] <= '9') {
      v = v * 10 + static_cast<uint64_t>(s[i] - '0');
      if (v > UINT32_MAX) return false;
      ++i;
    }
    out[k] = static_cast<uint32_t>(v);
  }
  return true;
}

int WriteVersionText(Channel& ch, uint8_t id, uint32_t major, uint32_t minor, uint32_t build,
                     const wchar_t* who) {
  char text[40];
  int n = std::snprintf(text, sizeof(text), "%u.%u.%u", major, minor, build);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(text)) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): Write%s: snprintf: %s (%d).\n", who, ErrnoText(errno),
           errno);
    return ERR_SYS;
  }
  int rc = ProtoWriteSection(ch, id, text, n);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): Write%s: fail to send version. %s.\n", who,
           GetErrorStringW(rc));
    return rc;
  }
  return 0;
}

int ReadVersionText(Channel& ch, uint8_t id, uint32_t out[3], const wchar_t* who) {
  char text[kProtoVersionTextMax];
  unsigned len = 0;
  int rc = ProtoReadSection(ch, id, text, kProtoVersionTextMax, len);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): Read%s: fail to recv version. %s.\n", who,
           GetErrorStringW(rc));
    return rc;
  }
  const char* zero = static_cast<const char*>(std::memchr(text, 0, len));
  size_t n = zero ? static_cast<size_t>(zero - text) : len;
  if (!ParseVersionText(text, n, out)) {
    SF_LOG(L_ERR, L"[ERROR] proto-common(%d): Read%s: sscanf: %s (%d).\n", who,
           std::string(text, n), ERR_PROTO);
    return ERR_PROTO;
  }
  return 0;
}

// Both version records have the same three fields; `v` is left alone on
// failure.
template <typename Version>
int ReadVersion(Channel& ch, uint8_t id, Version& v, const wchar_t* who) {
  uint32_t f[3];
  int rc = ReadVersionText(ch, id, f, who);
  if (rc < 0) return rc;
  v.major = f[0];
  v.minor = f[1];
  v.build = f[2];
  return 0;
}

}  // namespace

int ProtoWriteFilterVersion(Channel& ch, const FilterVersion& v) {
  return WriteVersionText(ch, SPROTO_ID_FILTER_VERSION, v.major, v.minor, v.build,
                          L"FilterVersion");
}

int ProtoReadFilterVersion(Channel& ch, FilterVersion& v) {
  return ReadVersion(ch, SPROTO_ID_FILTER_VERSION, v, L"FilterVersion");
}

int ProtoWriteProtocolVersion(Channel& ch, const ProtocolVersion& v) {
  return WriteVersionText(ch, SPROTO_ID_PROTO_VERSION_2, v.major, v.minor, v.build,
                          L"ProtocolVersion");
}

int ProtoReadProtocolVersion(Channel& ch, ProtocolVersion& v) {
  return ReadVersion(ch, SPROTO_ID_PROTO_VERSION_2, v, L"ProtocolVersion");
}

// ---- connection -----------------------------------------------------------------------

int ProtoConnect(Channel& ch, const char* ip, int port) {
  return ch.Open(ip, port, false) == 0 ? 0 : -1;
}

int ProtoDisconnect(Channel& ch) {
  ch.Close();
  return 0;
}
