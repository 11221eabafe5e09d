// A test driver for the worker-side exchanges (event pull in the syncer's
// layout, upload, download, removal) on top of the client's own request
// writers and answer readers (lib/proto), which are checked against the
// documented bytes. The daemon's workers are not part of these tests; this is
// the smallest client that exercises the server.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-client.h"
#include "lib/proto/proto-common.h"
#include "lib/proto/proto-transfer.h"

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

// A download's payloads go to one local file.
class FilePayload : public DownloadPayload {
 public:
  explicit FilePayload(std::string path) : m_path(std::move(path)) {}
  int Open(uint32_t, uint64_t, FilePtr& out) override {
    out.reset(std::fopen(m_path.c_str(), "wb"));
    return out ? 0 : ERR_SYS;
  }

 private:
  std::string m_path;
};

// The client's own request writers and answer readers (lib/proto).
inline int Upload(Channel& ch, const UploadArgs& u, UploadAnswer& a) {
  const UploadGeneration gen = u.v4 ? kUploadProto4 : kUploadProto3;
  UploadRequest req;
  req.session = u.session;
  req.proto_version = ProtocolVersion{4, 0, 0};
  req.filter_version = FilterVersion{1, 0, 0};
  req.obj.sync_id = u.base;
  req.obj.path = u.path;
  req.new_obj_type = u.type;
  req.data_blocks = kCommon | (u.with_file ? kFile : 0);
  req.common_attr.mtime = u.mtime;
  req.file.type = u.delta ? 1 : 0;
  req.file.size = u.size;
  req.file.hash = u.hash;
  SFD_TRY(ProtoWriteUploadRequest(ch, req, gen));
  SFD_TRY(ProtoReadUploadAck(ch, a.ack));
  if (a.ack & kFile) {
    FilePtr fp(std::fopen(u.payload.c_str(), "rb"));
    SFD_TRY(ProtoWriteFile(ch, u.delta ? 1 : 0, fp.get()));
  }
  UploadResponse r;
  SFD_TRY(ProtoReadUploadResponse(ch, r, gen));
  a.result = r.code;
  a.obj = r.obj;
  a.mtime = r.common_attr.mtime;
  a.alive = r.alive;
  return 0;
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
  DownloadContext ctx;
  ctx.request.session = session;
  ctx.request.obj.sync_id = base;
  ctx.request.obj.path = path;
  FilePayload payload(payload_path);
  SFD_TRY(ProtoDownloadObject(ch, ctx, payload));
  const DownloadResponse& r = ctx.response;
  a.result = r.code;
  a.obj = r.obj;
  a.type = r.new_obj_type;
  a.blocks = r.data_blocks;
  a.mtime = r.common_attr.mtime;
  a.size = r.file.size;
  a.hash = r.file.hash;
  a.payload_type = r.file.type;
  a.alive = r.alive;
  return 0;
}

inline int Remove(Channel& ch, const std::wstring& session, uint64_t base, const std::wstring& path,
                  int& result, uint32_t& alive) {
  RemoveContext ctx;
  ctx.request.session = session;
  ctx.request.obj.sync_id = base;
  ctx.request.obj.path = path;
  SFD_TRY(ProtoRemoveObject(ch, ctx));
  result = ctx.response.code;
  alive = ctx.response.alive;
  return 0;
}

#undef SFD_TRY

}  // namespace driver
}  // namespace sftest
