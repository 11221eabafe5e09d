#include "fakes/hostile-server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "fakes/test-util.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-common.h"
#include "server/server-proto.h"

namespace sftest {

HostileServer::HostileServer(PullHandler pull, DownloadHandler download)
    : m_pull(std::move(pull)), m_download(std::move(download)) {
  m_listen = ListenLoopback(m_port);
  m_acceptor = std::thread([this] { AcceptLoop(); });
}

HostileServer::~HostileServer() {
  m_stop.store(true);
  ::shutdown(m_listen, SHUT_RDWR);
  m_acceptor.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(m_mu);
    for (int fd : m_fds) ::shutdown(fd, SHUT_RDWR);
    threads.swap(m_threads);
  }
  for (auto& t : threads) t.join();
  ::close(m_listen);
}

int HostileServer::DownloadsOf(const std::wstring& path) const {
  std::lock_guard<std::mutex> g(m_mu);
  return static_cast<int>(std::count(m_downloadPaths.begin(), m_downloadPaths.end(), path));
}

void HostileServer::AcceptLoop() {
  while (!m_stop.load()) {
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> g(m_mu);
    m_fds.push_back(fd);
    m_threads.emplace_back([this, fd] { Serve(fd); });
  }
}

void HostileServer::Serve(int fd) {
  Channel ch(Channel::kDefaultCapacity);
  // The channel owns the socket from here; the destructor's shutdown ends
  // any read it is blocked in.
  if (ch.Open(fd, false, true) != 0) return;
  std::atomic<int> stop{0};
  ch.SetFlag(&stop);
  while (!m_stop.load()) {
    uint16_t len = 0;
    uint8_t cmd = 0, version = 0;
    if (ProtoReadHeader(ch, len, cmd, version) != 0) break;
    bool keep = true;
    switch (cmd) {
      case SCMD_REQUEST_CONNECT: {
        std::wstring session;
        if (sfsrv::ProtoReadSessionOnly(ch, session) != 0) return;
        keep = ProtoWriteResponse(ch, cmd, SPROTO_RES_OK) == 0 &&
               sfsrv::ProtoWriteAliveAndFlush(ch, 60) == 0;
        break;
      }
      case SCMD_EVT_PULL: {
        sfsrv::PullRequest r;
        if (sfsrv::ProtoReadPullRequest(ch, r) != 0) return;
        m_pulls.fetch_add(1);
        keep = m_pull(ch, r.base);
        break;
      }
      case SCMD_EVT_SEND: {
        sfsrv::DownloadRequest r;
        if (sfsrv::ProtoReadDownloadRequest(ch, r) != 0) return;
        m_downloads.fetch_add(1);
        {
          std::lock_guard<std::mutex> g(m_mu);
          m_downloadPaths.push_back(r.obj.path);
        }
        keep = m_download(ch, r.obj.sync_id, r.obj.path);
        break;
      }
      case SCMD_EVT_REMOVE: {
        sfsrv::RemoveRequest r;
        if (sfsrv::ProtoReadRemoveRequest(ch, r) != 0) return;
        keep = Result(ch, cmd, SPROTO_RES_ERR) && sfsrv::ProtoWriteAliveAndFlush(ch, 60) == 0;
        break;
      }
      case SCMD_EVT_RECV_2: {
        sfsrv::UploadRequest r;
        if (sfsrv::ProtoReadUploadRequest2(ch, r) != 0) return;
        keep = ProtoWriteSection(ch, SPROTO_ID_DATA_BLOCK, uint32_t{0}) == 0 &&
               Result(ch, cmd, SPROTO_RES_ERR) && sfsrv::ProtoWriteAliveAndFlush(ch, 60) == 0;
        break;
      }
      default:
        return;
    }
    if (!keep) break;
  }
}

bool HostileServer::Result(Channel& ch, uint8_t cmd, uint8_t result) {
  return ProtoWriteResponse(ch, cmd, result) == 0;
}

bool HostileServer::PullAnswer(Channel& ch, uint64_t to_id, const std::vector<PullEntry>& entries) {
  return Result(ch, SCMD_EVT_PULL, SPROTO_RES_OK) &&
         sfsrv::ProtoWritePullBody(ch, to_id, entries) == 0 &&
         sfsrv::ProtoWriteAliveAndFlush(ch, 60) == 0;
}

bool HostileServer::FileAnswer(Channel& ch, const std::wstring& path, uint64_t sync_id,
                               uint64_t size, const std::wstring& hash, uint8_t type,
                               const std::string& payload, uint64_t payload_len) {
  ObjectID id;
  id.sync_id = sync_id;
  id.path = path;
  CommonAttributeBlock attr;
  attr.mtime = 1600000000;
  if (!Result(ch, SCMD_EVT_SEND, SPROTO_RES_OK) || ProtoWriteObjectId(ch, id) != 0 ||
      ProtoWriteSection(ch, SPROTO_ID_FILETYPE, uint8_t{SFT_FILE}) != 0 ||
      ProtoWriteSection(ch, SPROTO_ID_DATA_BLOCK, uint32_t{3}) != 0 ||
      ProtoWriteCommonAttributeBlock(ch, attr) != 0 ||
      ProtoWriteSection(ch, SPROTO_ID_FILESIZE, size) != 0 ||
      ProtoWriteSection(ch, SPROTO_ID_FILEHASH, hash) != 0 ||
      ProtoWriteSection(ch, SPROTO_ID_DELTATYPE, type) != 0 ||
      ProtoWriteSection(ch, SPROTO_ID_DELTALEN,
                        payload_len == ~uint64_t{0} ? uint64_t{payload.size()} : payload_len) != 0)
    return false;
  uint32_t block = 0;
  for (size_t at = 0; at < payload.size(); at += kProtoBlockSize, ++block) {
    const size_t n = std::min<size_t>(kProtoBlockSize, payload.size() - at);
    if (ProtoWriteSection(ch, SPROTO_ID_DELTAID, block) != 0 ||
        ProtoWriteSection(ch, SPROTO_ID_DELTADATA, payload.data() + at, static_cast<int>(n)) != 0 ||
        ch.FlushWrite(0) != 0)
      return false;
  }
  return sfsrv::ProtoWriteAliveAndFlush(ch, 60) == 0;
}

}  // namespace sftest
