#include "server/server-proto.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/tap-thread.h"
#include "lib/net/channel.h"
#include "rsapi/rs-api.h"

namespace sfsrv {
namespace {
constexpr wchar_t kLogComponent[] = L"server_debug";
// What a payload is received into before it is written: a multiple of the
// block size.
constexpr size_t kReceiveChunk = size_t{32} * kProtoBlockSize;

// Stops at the first failing step and hands its code back.
#define SF_TRY(expr)         \
  do {                       \
    int rc_ = (expr);        \
    if (rc_ < 0) return rc_; \
  } while (0)

[[nodiscard]] int ReadTail(Channel& ch, UploadRequest& r) {
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_FILETYPE, r.new_obj_type));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SYNC_BLOCK, r.sync_blocks));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_DATA_BLOCK, r.data_blocks));
  if (r.data_blocks & ~kBlockAll) {
    SF_LOG(L_WARNING, L"[WARNING] server-proto(%d): unknown data blocks 0x%x\n", r.data_blocks);
    return ERR_PROTO;
  }
  if (r.data_blocks & kBlockCommonAttr) {
    SF_TRY(ProtoReadCommonAttributeBlock(ch, r.common_attr));
  }
  if (r.data_blocks & kBlockFile) {
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_DELTATYPE, r.file_is_delta));
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_FILESIZE, r.file_size));
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_FILEHASH, r.file_hash));
  }
  if (r.data_blocks & kBlockMacAttr) {
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_MACSIZE, r.mac_size));
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_MACHASH, r.mac_hash));
  }
  return 0;
}

[[nodiscard]] int FullPread(int fd, char* buf, size_t n, uint64_t off) {
  size_t done = 0;
  while (done < n) {
    ssize_t k = pread(fd, buf + done, n - done, static_cast<off_t>(off + done));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return ERR_SYS;
    done += static_cast<size_t>(k);
  }
  return 0;
}

[[nodiscard]] int FullWrite(int fd, const char* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t k = write(fd, buf + done, n - done);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return ERR_SYS;
    done += static_cast<size_t>(k);
  }
  return 0;
}
}  // namespace

// ---- parsers ----------------------------------------------------------------

int ProtoReadSessionOnly(Channel& ch, std::wstring& session) {
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SESSION, session));
  return 0;
}

int ProtoReadPullRequest(Channel& ch, PullRequest& r) {
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SESSION, r.session));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SID, r.base));
  return 0;
}

int ProtoReadDownloadRequest(Channel& ch, DownloadRequest& r) {
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SESSION, r.session));
  SF_TRY(ProtoReadObjectId(ch, r.obj));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SYNC_BLOCK, r.sync_blocks));
  return 0;
}

int ProtoReadRemoveRequest(Channel& ch, RemoveRequest& r) {
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SESSION, r.session));
  SF_TRY(ProtoReadObjectId(ch, r.obj));
  return 0;
}

int ProtoReadUploadRequest2(Channel& ch, UploadRequest& r) {
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SESSION, r.session));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_META_BLOCK, r.meta_blocks));
  if (r.meta_blocks & ~(kMetaProtoVersion | kMetaFilterVersion)) {
    SF_LOG(L_WARNING, L"[WARNING] server-proto(%d): unknown meta blocks 0x%x\n", r.meta_blocks);
    return ERR_PROTO;
  }
  if (r.meta_blocks & kMetaProtoVersion) SF_TRY(ProtoReadProtocolVersion(ch, r.proto_version));
  if (r.meta_blocks & kMetaFilterVersion) SF_TRY(ProtoReadFilterVersion(ch, r.filter_version));
  SF_TRY(ProtoReadObjectId(ch, r.obj));
  return ReadTail(ch, r);
}

int ProtoReadRecvRequest(Channel& ch, RecvRequest& r) {
  std::wstring session;
  uint64_t base = 0;
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SESSION, session));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_SID, base));
  // The two requests share their first sections; the next id tells them apart.
  uint8_t id = 0;
  SF_TRY(ch.ReadByte(&id));
  if (id == SPROTO_ID_PATH) {
    r.is_node_op = false;
    r.upload.session = session;
    r.upload.obj.sync_id = base;
    SF_TRY(ProtoReadString(ch, r.upload.obj.path));
    return ReadTail(ch, r.upload);
  }
  if (id == SPROTO_ID_FILETYPE) {
    r.is_node_op = true;
    r.node.session = session;
    r.node.base = base;
    SF_TRY(ch.ReadByte(&r.node.type));
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_FILEOP, r.node.op));
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_PATH, r.node.path));
    return 0;
  }
  SF_LOG(L_WARNING, L"[WARNING] server-proto(%d): SCMD_EVT_RECV: unexpected section #%d\n", id);
  return ERR_PROTO;
}

int ProtoReadAuth2Block(Channel& ch, Auth2Block& b) {
  uint32_t meta = 0;
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_META_BLOCK, meta));
  if (meta != 0) {
    SF_LOG(L_WARNING, L"[WARNING] server-proto(%d): auth block with meta blocks 0x%x\n", meta);
    return ERR_PROTO;
  }
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_AUTH_TYPE, b.auth_type));
  if (b.auth_type == 1) {
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_SESSION, b.session));
    return 0;
  }
  if (b.auth_type == 0) {
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_USER, b.username));
    SF_TRY(ProtoReadDecSection(ch, SPROTO_ID_PASSWD, b.password));
    return 0;
  }
  SF_LOG(L_WARNING, L"[WARNING] server-proto(%d): unknown auth type %d\n", b.auth_type);
  return ERR_PROTO;
}

int ProtoReadAuth2Message(Channel& ch, Auth2Message& r) {
  SF_TRY(ProtoReadAuth2Block(ch, r.auth));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_CLIENT, r.client));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_VIEW_ID, r.view_id));
  return 0;
}

int ProtoReadAuthRequest(Channel& ch, AuthRequest& r) {
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_USER, r.username));
  SF_TRY(ProtoReadDecSection(ch, SPROTO_ID_PASSWD, r.password));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_CLIENT, r.client));
  return 0;
}

int ProtoReadUserCheckRequest(Channel& ch, UserCheckRequest& r) {
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_USER, r.username));
  SF_TRY(ProtoReadDecSection(ch, SPROTO_ID_PASSWD, r.password));
  return 0;
}

// ---- payloads -----------------------------------------------------------------

uint64_t PayloadBudget::Allow(uint64_t n) const {
  if (limit < 0) return n;
  auto lim = static_cast<uint64_t>(limit);
  return used >= lim ? 0 : std::min(n, lim - used);
}

int ProtoReceivePayload(Channel& ch, int fd, uint64_t max_len, uint8_t& type, uint64_t& len,
                        PayloadBudget& budget, RSDigest* digest) {
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_DELTATYPE, type));
  SF_TRY(ProtoReadSection(ch, SPROTO_ID_DELTALEN, len));
  if (len > max_len) {
    SF_LOG(L_WARNING, L"[WARNING] server-proto(%d): payload of %llu bytes refused (limit %llu)\n",
           len, max_len);
    return ERR_PROTO;
  }
  // Blocks are gathered into chunks, written a chunk at a time instead of a
  // system call per block; a large payload's checksum runs on a thread of
  // its own, over one chunk while the next arrives.
  std::unique_ptr<TapThread> hasher;
  std::unique_ptr<char[]> own;
  if (digest && len > kReceiveChunk)
    hasher = std::make_unique<TapThread>(
        [digest](const char* data, size_t n) {
          digest->Update(data, n);
          return 0;
        },
        kReceiveChunk);
  else
    own.reset(new char[kReceiveChunk]);
  char* chunk = hasher ? hasher->Next() : own.get();
  size_t fill = 0;
  auto flush = [&]() -> int {
    if (fill == 0) return 0;
    if (FullWrite(fd, chunk, fill) != 0) return ERR_SYS;
    if (hasher) {
      (void)hasher->Submit(fill);
      chunk = hasher->Next();
    } else if (digest) {
      digest->Update(chunk, fill);
    }
    fill = 0;
    return 0;
  };
  uint64_t got = 0;
  for (uint32_t index = 0; got < len; ++index) {
    uint32_t id = 0;
    unsigned n = 0;
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_DELTAID, id));
    if (id != index) {
      SF_LOG(L_WARNING, L"[WARNING] server-proto(%d): payload block %u arrived as %u\n", index, id);
      return ERR_PROTO;
    }
    if (kReceiveChunk - fill < kProtoBlockSize) SF_TRY(flush());
    SF_TRY(ProtoReadSection(ch, SPROTO_ID_DELTADATA, chunk + fill, kProtoBlockSize, n));
    if (n == 0 || n > len - got) {
      SF_LOG(L_WARNING, L"[WARNING] server-proto(%d): payload block of %u bytes at %llu/%llu\n", n,
             got, len);
      return ERR_PROTO;
    }
    if (budget.Allow(n) < n) {
      budget.used += budget.Allow(n);
      return ERR_IO;
    }
    budget.used += n;
    fill += n;
    got += n;
  }
  SF_TRY(flush());
  if (hasher) (void)hasher->Finish();
  return 0;
}

int ProtoSendPayload(Channel& ch, int fd, uint64_t len, uint8_t type, PayloadBudget& budget) {
  SF_TRY(ProtoWriteSection(ch, SPROTO_ID_DELTATYPE, type));
  SF_TRY(ProtoWriteSection(ch, SPROTO_ID_DELTALEN, len));
  static thread_local char buf[kProtoBlockSize];
  uint64_t sent = 0;
  for (uint32_t index = 0; sent < len; ++index) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof(buf), len - sent));
    if (FullPread(fd, buf, n, sent) != 0) return ERR_SYS;
    auto allow = static_cast<size_t>(budget.Allow(n));
    if (allow > 0) {
      SF_TRY(ProtoWriteSection(ch, SPROTO_ID_DELTAID, index));
      SF_TRY(ProtoWriteSection(ch, SPROTO_ID_DELTADATA, buf, static_cast<int>(allow)));
    }
    budget.used += allow;
    SF_TRY(ch.FlushWrite(0));
    if (allow < n) return ERR_IO;
    sent += n;
  }
  return ch.FlushWrite(0);
}

// ---- answers ---------------------------------------------------------------------

int ProtoWriteAliveAndFlush(Channel& ch, uint32_t alive) {
  SF_TRY(ProtoWriteSection(ch, SPROTO_ID_ALIVE, alive));
  return ch.FlushWrite(0);
}

int ProtoWritePullBody(Channel& ch, uint64_t to_id, const std::vector<PullEntry>& entries) {
  SF_TRY(ProtoWriteSection(ch, SPROTO_ID_SID, to_id));
  SF_TRY(ProtoWriteSection(ch, SPROTO_ID_EVT_COUNT, static_cast<uint64_t>(entries.size())));
  uint32_t seq = 0;
  for (const PullEntry& e : entries) {
    SF_TRY(ProtoWriteSection(ch, SPROTO_ID_SEQID, seq++));
    SF_TRY(ProtoWriteSection(ch, SPROTO_ID_SID, e.sync_id));
    SF_TRY(ProtoWriteSection(ch, SPROTO_ID_FILETYPE, e.type));
    SF_TRY(ProtoWriteSection(ch, SPROTO_ID_FILESTATUS, e.status));
    if (e.status == FS_EXIST && e.type == SFT_FILE) {
      SF_TRY(ProtoWriteSection(ch, SPROTO_ID_FILESIZE, e.size));
      SF_TRY(ProtoWriteSection(ch, SPROTO_ID_FILEHASH, e.hash));
    }
    SF_TRY(ProtoWriteSection(ch, SPROTO_ID_PATH, e.path));
  }
  return 0;
}

int ProtoWriteTestConnBody(Channel& ch, uint8_t version, const std::wstring& serial,
                           const std::wstring& server_id) {
  SF_TRY(ProtoWriteSection(ch, SPROTO_ID_PROTO_VERSION, version));
  SF_TRY(ProtoWriteSection(ch, SPROTO_ID_SERIAL_NUMBER, serial));
  SF_TRY(ProtoWriteSection(ch, SPROTO_ID_SERVER_ID, server_id));
  return ch.FlushWrite(0);
}

int ProtoWriteViewList(Channel& ch, const std::vector<View>& views) {
  SF_TRY(ProtoWriteSection(ch, SPROTO_ID_VIEW_COUNT, static_cast<uint32_t>(views.size())));
  uint32_t seq = 0;
  for (const View& v : views) {
    SF_TRY(ProtoWriteSection(ch, SPROTO_ID_SEQID, seq++));
    SF_TRY(ProtoWriteView(ch, v));
  }
  return ch.FlushWrite(0);
}

}  // namespace sfsrv
