// A test driver for the worker-side exchanges (event pull in the syncer's
// layout, upload, download, removal), written from the documented message
// layouts on top of the client's request writers and response reader. The daemon's workers are not
// part of these tests; this is the smallest client that exercises the server.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-client.h"
#include "lib/proto/proto-common.h"

namespace sftest {
namespace driver {

constexpr uint32_t kFile = 1, kCommon = 2;

#define SFD_TRY(expr)        \
  do {                       \
    int rc_ = (expr);        \
    if (rc_ < 0) return rc_; \
  } while (0)

// The client's own request start and response reader.
inline int Basic(Channel& ch, uint8_t cmd, const std::wstring& session) {
  return ProtoWriteBasicRequest(ch, cmd, 0, session);
}
inline int Response(Channel& ch, uint8_t cmd, int& result) {
  return ProtoReadResponse(ch, cmd, result);
}

struct PulledEntry {
  uint64_t sync_id = 0;
  uint8_t type = 0;
  uint8_t status = 0;
  uint64_t size = 0;
  std::wstring hash;
  std::wstring path;
};

struct PullAnswer {
  int result = 0;
  uint64_t to_id = 0;
  std::vector<PulledEntry> entries;
  uint32_t alive = 0;
};

inline int Pull(Channel& ch, const std::wstring& session, uint64_t base, PullAnswer& a) {
  SFD_TRY(ProtoWritePullEventRequest(ch, session, base));
  SFD_TRY(Response(ch, SCMD_EVT_PULL, a.result));
  if (a.result == SPROTO_RES_OK) {
    uint64_t n = 0;
    SFD_TRY(ProtoReadSection(ch, SPROTO_ID_SID, a.to_id));
    SFD_TRY(ProtoReadSection(ch, SPROTO_ID_EVT_COUNT, n));
    for (uint64_t i = 0; i < n; ++i) {
      PulledEntry e;
      uint32_t seq = 0;
      SFD_TRY(ProtoReadSection(ch, SPROTO_ID_SEQID, seq));
      if (seq != i) return ERR_PROTO;
      SFD_TRY(ProtoReadSection(ch, SPROTO_ID_SID, e.sync_id));
      SFD_TRY(ProtoReadSection(ch, SPROTO_ID_FILETYPE, e.type));
      SFD_TRY(ProtoReadSection(ch, SPROTO_ID_FILESTATUS, e.status));
      if (e.status == FS_EXIST && e.type == SFT_FILE) {
        SFD_TRY(ProtoReadSection(ch, SPROTO_ID_FILESIZE, e.size));
        SFD_TRY(ProtoReadSection(ch, SPROTO_ID_FILEHASH, e.hash));
      }
      SFD_TRY(ProtoReadSection(ch, SPROTO_ID_PATH, e.path));
      a.entries.push_back(e);
    }
  }
  SFD_TRY(ProtoReadSection(ch, SPROTO_ID_ALIVE, a.alive));
  return 0;
}

struct UploadArgs {
  std::wstring session = L"s1";
  bool v4 = true;
  uint64_t base = 0;
  std::wstring path;
  uint8_t type = SFT_FILE;
  uint32_t mtime = 0;
  bool with_file = true;
  bool delta = false;
  uint64_t size = 0;
  std::wstring hash;
  std::string payload;  // local file sent when the server asks for it
};

struct UploadAnswer {
  uint32_t ack = 0;
  int result = 0;
  ObjectID obj;
  uint32_t mtime = 0;
  uint32_t alive = 0;
};

inline int Upload(Channel& ch, const UploadArgs& u, UploadAnswer& a) {
  uint8_t cmd = u.v4 ? SCMD_EVT_RECV_2 : SCMD_EVT_RECV;
  uint32_t blocks = kCommon | (u.with_file ? kFile : 0);
  SFD_TRY(Basic(ch, cmd, u.session));
  if (u.v4) {
    SFD_TRY(ProtoWriteSection(ch, SPROTO_ID_META_BLOCK, uint32_t{3}));
    SFD_TRY(ProtoWriteProtocolVersion(ch, ProtocolVersion{4, 0, 0}));
    SFD_TRY(ProtoWriteFilterVersion(ch, FilterVersion{1, 0, 0}));
  }
  ObjectID obj;
  obj.sync_id = u.base;
  obj.path = u.path;
  SFD_TRY(ProtoWriteObjectId(ch, obj));
  SFD_TRY(ProtoWriteSection(ch, SPROTO_ID_FILETYPE, u.type));
  SFD_TRY(ProtoWriteSection(ch, SPROTO_ID_SYNC_BLOCK, uint32_t{3}));
  SFD_TRY(ProtoWriteSection(ch, SPROTO_ID_DATA_BLOCK, blocks));
  SFD_TRY(ProtoWriteCommonAttributeBlock(ch, CommonAttributeBlock{u.mtime}));
  if (u.with_file) {
    SFD_TRY(ProtoWriteSection(ch, SPROTO_ID_DELTATYPE, static_cast<uint8_t>(u.delta ? 1 : 0)));
    SFD_TRY(ProtoWriteSection(ch, SPROTO_ID_FILESIZE, u.size));
    SFD_TRY(ProtoWriteSection(ch, SPROTO_ID_FILEHASH, u.hash));
  }
  SFD_TRY(ch.FlushWrite(0));
  SFD_TRY(ProtoReadSection(ch, SPROTO_ID_DATA_BLOCK, a.ack));
  if (a.ack & kFile) {
    SFD_TRY(ProtoWriteFile(ch, u.delta ? 1 : 0, Utf8ToWideLossy(u.payload)));
  }
  SFD_TRY(Response(ch, cmd, a.result));
  if (a.result == SPROTO_RES_OK) {
    SFD_TRY(ProtoReadObjectId(ch, a.obj));
    CommonAttributeBlock attr;
    SFD_TRY(ProtoReadCommonAttributeBlock(ch, attr));
    a.mtime = attr.mtime;
  }
  return ProtoReadSection(ch, SPROTO_ID_ALIVE, a.alive) < 0 ? ERR_PROTO : 0;
}

struct DownloadAnswer {
  int result = 0;
  ObjectID obj;
  uint8_t type = 0;
  uint32_t blocks = 0;
  uint32_t mtime = 0;
  uint64_t size = 0;
  std::wstring hash;
  uint8_t payload_type = 0;
  uint32_t alive = 0;
};

// The payload, when one comes, is written to `payload_path`.
inline int Download(Channel& ch, const std::wstring& session, uint64_t base,
                    const std::wstring& path, const std::string& payload_path, DownloadAnswer& a) {
  SFD_TRY(Basic(ch, SCMD_EVT_SEND, session));
  ObjectID obj;
  obj.sync_id = base;
  obj.path = path;
  SFD_TRY(ProtoWriteObjectId(ch, obj));
  SFD_TRY(ProtoWriteSection(ch, SPROTO_ID_SYNC_BLOCK, uint32_t{3}));
  SFD_TRY(ch.FlushWrite(0));
  SFD_TRY(Response(ch, SCMD_EVT_SEND, a.result));
  if (a.result == SPROTO_RES_OK) {
    SFD_TRY(ProtoReadObjectId(ch, a.obj));
    SFD_TRY(ProtoReadSection(ch, SPROTO_ID_FILETYPE, a.type));
    SFD_TRY(ProtoReadSection(ch, SPROTO_ID_DATA_BLOCK, a.blocks));
    if (a.blocks & kCommon) {
      CommonAttributeBlock attr;
      SFD_TRY(ProtoReadCommonAttributeBlock(ch, attr));
      a.mtime = attr.mtime;
    }
    if (a.blocks & kFile) {
      SFD_TRY(ProtoReadSection(ch, SPROTO_ID_FILESIZE, a.size));
      SFD_TRY(ProtoReadSection(ch, SPROTO_ID_FILEHASH, a.hash));
      SFD_TRY(ProtoReadFile(ch, a.payload_type, Utf8ToWideLossy(payload_path)));
    }
  }
  SFD_TRY(ProtoReadSection(ch, SPROTO_ID_ALIVE, a.alive));
  return 0;
}

inline int Remove(Channel& ch, const std::wstring& session, uint64_t base, const std::wstring& path,
                  int& result, uint32_t& alive) {
  SFD_TRY(Basic(ch, SCMD_EVT_REMOVE, session));
  ObjectID obj;
  obj.sync_id = base;
  obj.path = path;
  SFD_TRY(ProtoWriteObjectId(ch, obj));
  SFD_TRY(ch.FlushWrite(0));
  SFD_TRY(Response(ch, SCMD_EVT_REMOVE, result));
  SFD_TRY(ProtoReadSection(ch, SPROTO_ID_ALIVE, alive));
  return 0;
}

#undef SFD_TRY

}  // namespace driver
}  // namespace sftest
