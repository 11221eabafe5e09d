#include "lib/proto/proto-transfer.h"

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-client.h"

namespace {

// Every line of an exchange reports a failure.
template <typename... Args>
void LogError(const ProtoLogTarget& log, int line, const wchar_t* fmt, const Args&... args) {
  if (!Logger::Enabled(Logger::L_ERR, log.component)) return;
  std::wstring f = L"[ERROR] ";
  f += log.module;
  f += L"(%d): ";
  f += fmt;
  Logger::Log(Logger::L_ERR, log.component, f.c_str(), line, args...);
}
#define XFER_LOG(fmt, ...) LogError(log, __LINE__, fmt, ##__VA_ARGS__)

// True when `rc` is a failure, which is then logged with `fmt` (its "%s"
// the failure's text). `rc` is evaluated once: it is often the step itself.
bool Failed(const ProtoLogTarget& log, int line, int rc, const wchar_t* fmt) {
  if (rc >= 0) return false;
  LogError(log, line, fmt, GetErrorStringW(rc));
  return true;
}
#define XFER_FAILED(rc, fmt) Failed(log, __LINE__, (rc), fmt)

// A delta may be longer than the file it builds, but not by much.
uint64_t PayloadBound(uint64_t size) {
  return size + size / 8 + (uint64_t{1} << 20);
}

int SendPayload(Channel& ch, uint32_t block, uint8_t type, UploadPayload& payload) {
  FilePtr fp;
  const int opened = payload.Open(block, fp);
  if (opened != 0) return opened < 0 ? opened : ERR_SYS;
  return ProtoWriteFile(
      ch, type, fp.get(), [&]() { return payload.BeforeLast(block); },
      [&](const char* data, size_t len) { return payload.OnBlock(block, data, len); });
}

// Reads one payload of a download answer into the stream `payload` opens.
int ReceivePayload(Channel& ch, uint32_t block, uint64_t size, uint8_t& type,
                   DownloadPayload& payload) {
  FilePtr fp;
  const int opened = payload.Open(block, size, fp);
  if (opened != 0) return opened < 0 ? opened : ERR_SYS;
  return ProtoReadFile(ch, type, std::move(fp), PayloadBound(size));
}

}  // namespace

// ---- upload -----------------------------------------------------------------------

int ProtoWriteUploadRequest(Channel& ch, const UploadRequest& req, UploadGeneration gen,
                            const ProtoLogTarget& log) {
  const bool v4 = gen != kUploadProto3;
  int rc;
  if (XFER_FAILED(
          rc = ProtoWriteBasicRequest(ch, v4 ? SCMD_EVT_RECV_2 : SCMD_EVT_RECV, 0, req.session),
          L"UploadRequest: failed to send basic request. %s.\n") ||
      (v4 && XFER_FAILED(rc = ProtoWriteSection(ch, SPROTO_ID_META_BLOCK, req.meta_blocks),
                         L"UploadRequest: fail to send meta blocks. %s.\n")) ||
      (v4 && (req.meta_blocks & META_PROTO_VERSION) &&
       XFER_FAILED(rc = ProtoWriteProtocolVersion(ch, req.proto_version),
                   L"UploadRequest: failed to send protocol version. %s.\n")) ||
      (v4 && (req.meta_blocks & META_FILTER_VERSION) &&
       XFER_FAILED(rc = ProtoWriteFilterVersion(ch, req.filter_version),
                   L"UploadRequest: failed to send filter version. %s.\n")) ||
      XFER_FAILED(rc = ProtoWriteObjectId(ch, req.obj),
                  L"UploadRequest: failed to send base object id. %s.\n") ||
      XFER_FAILED(rc = ProtoWriteSection(ch, SPROTO_ID_FILETYPE, req.new_obj_type),
                  L"UploadRequest: failed to send new object type. %s.\n") ||
      XFER_FAILED(rc = ProtoWriteSection(ch, SPROTO_ID_SYNC_BLOCK, req.sync_blocks),
                  L"UploadRequest: failed to send sync blocks. %s.\n") ||
      XFER_FAILED(rc = ProtoWriteSection(ch, SPROTO_ID_DATA_BLOCK, req.data_blocks),
                  L"UploadRequest: failed to send block description. %s.\n") ||
      ((req.data_blocks & BLK_COMMON_ATTR) &&
       XFER_FAILED(rc = ProtoWriteCommonAttributeBlock(ch, req.common_attr),
                   L"UploadRequest: failed to send modified time. %s.\n")))
    return rc;
  if (req.data_blocks & BLK_FILE) {
    if (req.new_obj_type == SFT_DIR) {
      XFER_LOG(L"UploadRequest: uploading directory with file block.\n");
      return ERR_PROTO;
    }
    const uint8_t delta = req.file.type != 0 ? 1 : 0;
    if ((rc = ProtoWriteSection(ch, SPROTO_ID_DELTATYPE, delta)) < 0 ||
        (rc = ProtoWriteSection(ch, SPROTO_ID_FILESIZE, req.file.size)) < 0 ||
        (rc = ProtoWriteSection(ch, SPROTO_ID_FILEHASH, req.file.hash)) < 0)
      return rc;
  }
  if ((req.data_blocks & BLK_MAC_ATTR) &&
      ((rc = ProtoWriteSection(ch, SPROTO_ID_MACSIZE, req.mac_attr.size)) < 0 ||
       (rc = ProtoWriteSection(ch, SPROTO_ID_MACHASH, req.mac_attr.hash)) < 0))
    return rc;
  (void)XFER_FAILED(rc = ch.FlushWrite(0), L"UploadRequest: failed to send data. %s.\n");
  return rc < 0 ? rc : 0;
}

int ProtoReadUploadAck(Channel& ch, uint32_t& blocks, const ProtoLogTarget& log) {
  const int r = ProtoReadSection(ch, SPROTO_ID_DATA_BLOCK, blocks);
  if (XFER_FAILED(r, L"ReadUploadAck: failed to recv ack block. %s.\n")) return r;
  return 0;
}

int ProtoReadUploadResponse(Channel& ch, UploadResponse& resp, UploadGeneration gen,
                            const ProtoLogTarget& log) {
  int r;
  if (XFER_FAILED(r = ProtoReadResponse(ch, gen == kUploadProto3 ? SCMD_EVT_RECV : SCMD_EVT_RECV_2,
                                        resp.code),
                  L"UploadResponse: failed to recv response code. %s.\n"))
    return r;
  if (resp.code != SPROTO_RES_OK) {
    XFER_LOG(L"UploadResponse: erroneous response code %d.\n", resp.code);
  } else if (XFER_FAILED(r = ProtoReadObjectId(ch, resp.obj),
                         L"UploadResponse: failed to recv response object id. %s.\n") ||
             XFER_FAILED(r = ProtoReadCommonAttributeBlock(ch, resp.common_attr),
                         L"UploadResponse: failed to recv common attribute. %s.\n")) {
    return r;
  }
  if (XFER_FAILED(r = ProtoReadSection(ch, SPROTO_ID_ALIVE, resp.alive),
                  L"UploadResponse: failed to recv channel alive. %s.\n"))
    return r;
  return 0;
}

int ProtoUploadObject(Channel& ch, UploadContext& ctx, UploadGeneration gen, UploadPayload& payload,
                      const ProtoLogTarget& log) {
  UploadRequest& req = ctx.request;
  ctx.response.alive = 0;
  ctx.file_sent = false;
  int r = ProtoWriteUploadRequest(ch, req, gen, log);
  if (r < 0) {
    XFER_LOG(L"%sfailed to send upload request. %s\n", log.who, GetErrorStringW(r));
    return r;
  }

  // Which blocks the server wants; 0 sends no data.
  ch.SetTimeout(kUploadAckTimeout);
  uint32_t ack = 0;
  if ((r = ProtoReadUploadAck(ch, ack, log)) < 0) {
    XFER_LOG(L"%sfailed to recv block description (server). %s\n", log.who, GetErrorStringW(r));
    return r;
  }
  if (ack != 0) {
    const uint32_t announced = req.data_blocks;
    req.data_blocks = ack;
    r = 0;
    // Only content this request announced can be sent.
    if (ack & ~announced & (BLK_FILE | BLK_MAC_ATTR)) r = ERR_PROTO;
    if (r == 0 && (ack & BLK_FILE)) {
      r = SendPayload(ch, BLK_FILE, req.file.type != 0 ? 1 : 0, payload);
      (void)XFER_FAILED(r, L"UploadData: failed to send file data. %s.\n");
      ctx.file_sent = r == 0;
    }
    if (r == 0 && (ack & BLK_MAC_ATTR)) {
      r = SendPayload(ch, BLK_MAC_ATTR, 0, payload);
      (void)XFER_FAILED(r, L"UploadData: failed to send Mac EA data. %s.\n");
    }
    if (r == 0) (void)XFER_FAILED(r = ch.FlushWrite(0), L"UploadData: failed to send data. %s.\n");
    if (r < 0) {
      XFER_LOG(L"%sfailed to send upload data. %s.\n", log.who, GetErrorStringW(r));
      return r;
    }
  }
  ch.SetTimeout(kUploadResponseTimeout);
  r = ProtoReadUploadResponse(ch, ctx.response, gen, log);
  ch.SetTimeout(Channel::kDefaultChannelTimeout);
  if (r < 0) {
    XFER_LOG(L"%sUploadObject: failed to recv response. %s.\n", log.who, GetErrorStringW(r));
    return r;
  }
  return 0;
}

// ---- download ---------------------------------------------------------------------

int ProtoWriteDownloadRequest(Channel& ch, const DownloadRequest& req, const ProtoLogTarget& log) {
  int r;
  if (XFER_FAILED(r = ProtoWriteBasicRequest(ch, SCMD_EVT_SEND, 0, req.session),
                  L"DownloadRequest: failed to send basic request. %s.\n") ||
      XFER_FAILED(r = ProtoWriteObjectId(ch, req.obj),
                  L"DownloadRequest: failed to send object id. %s.\n") ||
      XFER_FAILED(r = ProtoWriteSection(ch, SPROTO_ID_SYNC_BLOCK, req.sync_blocks),
                  L"DownloadRequest: failed to send request blocks. %s.\n") ||
      XFER_FAILED(r = ch.FlushWrite(0), L"DownloadRequest: failed to send data. %s.\n"))
    return r;
  return 0;
}

int ProtoReadDownloadResponse(Channel& ch, DownloadResponse& rs, DownloadPayload& payload,
                              const ProtoLogTarget& log) {
  int r;
  if (XFER_FAILED(r = ProtoReadResponse(ch, SCMD_EVT_SEND, rs.code),
                  L"DownloadResponse: failed to recv response code. %s.\n"))
    return r;
  if (rs.code == SPROTO_RES_OK) {
    if (XFER_FAILED(r = ProtoReadObjectId(ch, rs.obj),
                    L"DownloadResponse: failed to recv object id. %s.\n") ||
        XFER_FAILED(r = ProtoReadSection(ch, SPROTO_ID_FILETYPE, rs.new_obj_type),
                    L"DownloadResponse: failed to recv object description. %s.\n"))
      return r;
    if (rs.new_obj_type != SFT_FILE && rs.new_obj_type != SFT_DIR) {
      // Taking an unknown type for a directory would unlink the file in its way.
      XFER_LOG(L"DownloadResponse: unknown object type %u.\n", rs.new_obj_type);
      return ERR_PROTO;
    }
    if (XFER_FAILED(r = ProtoReadSection(ch, SPROTO_ID_DATA_BLOCK, rs.data_blocks),
                    L"DownloadResponse: failed to recv block description. %s.\n") ||
        ((rs.data_blocks & BLK_COMMON_ATTR) &&
         XFER_FAILED(r = ProtoReadCommonAttributeBlock(ch, rs.common_attr),
                     L"DownloadResponse: failed to recv common attribute. %s.\n")))
      return r;
    if (rs.data_blocks & BLK_FILE) {
      if (rs.new_obj_type == SFT_DIR) {
        XFER_LOG(L"DownloadResponse: receiving directory with file data.\n");
        return ERR_PROTO;
      }
      if ((r = ProtoReadSection(ch, SPROTO_ID_FILESIZE, rs.file.size)) < 0) return r;
      if ((r = ProtoReadSection(ch, SPROTO_ID_FILEHASH, rs.file.hash)) < 0) return r;
      if (rs.file.size > kMaxDownloadBytes) {
        XFER_LOG(L"DownloadResponse: %llu bytes announced, more than the %llu accepted.\n",
                 rs.file.size, kMaxDownloadBytes);
        rs.too_large = true;
        return ERR_PROTO;
      }
      r = ReceivePayload(ch, BLK_FILE, rs.file.size, rs.file.type, payload);
      if (XFER_FAILED(r, L"DownloadResponse: failed to recv file data. %s.\n")) return r;
    }
    if (rs.data_blocks & BLK_MAC_ATTR) {
      if (XFER_FAILED(r = ProtoReadSection(ch, SPROTO_ID_MACSIZE, rs.mac_attr.size),
                      L"DownloadResponse: failed to recv mac attribute size. %s.\n") ||
          XFER_FAILED(r = ProtoReadSection(ch, SPROTO_ID_MACHASH, rs.mac_attr.hash),
                      L"DownloadResponse: failed to recv mac ea. %s.\n"))
        return r;
      uint8_t type = 0;
      r = ReceivePayload(ch, BLK_MAC_ATTR, rs.mac_attr.size, type, payload);
      if (XFER_FAILED(r, L"DownloadResponse: failed to recv mac attr data. %s.\n")) return r;
    }
  }
  if (XFER_FAILED(r = ProtoReadSection(ch, SPROTO_ID_ALIVE, rs.alive),
                  L"DownloadResponse: failed to recv channel alive. %s. \n"))
    return r;
  return 0;
}

int ProtoDownloadObject(Channel& ch, DownloadContext& ctx, DownloadPayload& payload,
                        const ProtoLogTarget& log) {
  ctx.response.alive = 0;
  int r = ProtoWriteDownloadRequest(ch, ctx.request, log);
  if (r < 0) {
    XFER_LOG(L"%sFailed to send download request. %s\n", log.who, GetErrorStringW(r));
    return r;
  }
  r = ProtoReadDownloadResponse(ch, ctx.response, payload, log);
  if (r < 0) {
    XFER_LOG(L"%sfailed to failed to recv download response. %s\n", log.who, GetErrorStringW(r));
    return r;
  }
  return 0;
}

// ---- removal ----------------------------------------------------------------------

int ProtoWriteRemoveRequest(Channel& ch, const RemoveRequest& req, const ProtoLogTarget& log) {
  int r;
  if (XFER_FAILED(r = ProtoWriteBasicRequest(ch, SCMD_EVT_REMOVE, 0, req.session),
                  L"RemoveRequest: failed to send basic request. %s.\n") ||
      XFER_FAILED(r = ProtoWriteObjectId(ch, req.obj),
                  L"RemoveRequest: failed to send object id. %s.\n") ||
      XFER_FAILED(r = ch.FlushWrite(0), L"RemoveRequest: failed to send data. %s.\n"))
    return r;
  return 0;
}

int ProtoReadRemoveResponse(Channel& ch, RemoveResponse& resp, const ProtoLogTarget& log) {
  int r;
  if (XFER_FAILED(r = ProtoReadResponse(ch, SCMD_EVT_REMOVE, resp.code),
                  L"RemoveResponse: failed to recv response code. %s.\n") ||
      XFER_FAILED(r = ProtoReadSection(ch, SPROTO_ID_ALIVE, resp.alive),
                  L"RemoveResponse: failed to recv channel alive. %s.\n"))
    return r;
  return 0;
}

int ProtoRemoveObject(Channel& ch, RemoveContext& ctx, const ProtoLogTarget& log) {
  ctx.response.alive = 0;
  int r = ProtoWriteRemoveRequest(ch, ctx.request, log);
  if (r < 0) {
    XFER_LOG(L"%sRemoveObject: failed to send remove request. %s.\n", log.who, GetErrorStringW(r));
    return r;
  }
  r = ProtoReadRemoveResponse(ch, ctx.response, log);
  if (r < 0) {
    XFER_LOG(L"%sRemoveObject: failed to recv remove response. %s.\n", log.who, GetErrorStringW(r));
    return r;
  }
  return 0;
}
