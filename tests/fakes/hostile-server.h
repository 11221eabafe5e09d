// A server that speaks the protocol but cannot be trusted: the test decides
// every pull and download answer, byte by byte if it likes (paths that leave
// the root, sizes that lie, payloads without end, checksums that never
// match, answers that stop half-way). Connection requests are granted with
// a keep-alive of 60 s; uploads and removals are refused with an error.
//
// Threads: one accepting thread and one per connection, each blocked in its
// channel's reads; the destructor stops them all. Counters are atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/proto/proto-client.h"

class Channel;

namespace sftest {

class HostileServer {
 public:
  // Writes the whole answer to a pull from `base` (header included). Return
  // false to close the connection afterwards.
  using PullHandler = std::function<bool(Channel& ch, uint64_t base)>;
  // Writes the whole answer to a download of `path` for the client's
  // version `base`.
  using DownloadHandler =
      std::function<bool(Channel& ch, uint64_t base, const std::wstring& path)>;

  HostileServer(PullHandler pull, DownloadHandler download);
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  int port() const { return m_port; }
  int Pulls() const { return m_pulls.load(); }
  int Downloads() const { return m_downloads.load(); }
  // Downloads asked for `path` so far.
  int DownloadsOf(const std::wstring& path) const;

  // Answer pieces for the handlers.
  // Header and result for `cmd`.
  static bool Result(Channel& ch, uint8_t cmd, uint8_t result);
  // An OK pull answer with `entries` and the closing keep-alive, flushed.
  static bool PullAnswer(Channel& ch, uint64_t to_id, const std::vector<PullEntry>& entries);
  // An OK download answer for a file: object, type, blocks, mtime, the
  // announced size and checksum, then a payload of `type` holding `payload`
  // (announced as `payload_len` bytes when that is not ~0), and the
  // keep-alive, flushed.
  static bool FileAnswer(Channel& ch, const std::wstring& path, uint64_t sync_id, uint64_t size,
                         const std::wstring& hash, uint8_t type, const std::string& payload,
                         uint64_t payload_len = ~uint64_t{0});

 private:
  void AcceptLoop();
  void Serve(int fd);

  PullHandler m_pull;
  DownloadHandler m_download;
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_pulls{0};
  std::atomic<int> m_downloads{0};
  mutable std::mutex m_mu;
  std::vector<std::wstring> m_downloadPaths;  // guarded by m_mu
  std::vector<int> m_fds;                     // guarded by m_mu
  std::vector<std::thread> m_threads;         // guarded by m_mu
  std::thread m_acceptor;
};

}  // namespace sftest
