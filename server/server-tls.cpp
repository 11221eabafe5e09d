#include "server/server-tls.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/net/ssl-channel.h"
#include "lib/net/tls-cert.h"

namespace {
constexpr wchar_t kLogComponent[] = L"server_debug";
// Pause while part of a header has arrived: poll would report the socket
// readable at once, again and again, until the rest comes.
constexpr int kPartialHeaderPauseMs = 10;
}  // namespace

int LoadServerTls(const std::string& cert, const std::string& key, const std::string& state_dir,
                  const std::string& bind_ip, SslCtxPtr& ctx, std::string& fingerprint) {
  if (cert.empty() != key.empty()) {
    SF_LOG(L_ERR,
           L"[ERROR] sync-server(%d): a TLS certificate needs its key and a key its "
           L"certificate\n");
    return ERR_INVAL;
  }
  std::string cert_path = cert, key_path = key;
  if (cert.empty()) {
    std::vector<std::string> ips = {"127.0.0.1"};
    if (bind_ip != "127.0.0.1" && bind_ip != "0.0.0.0") ips.push_back(bind_ip);
    int rc = EnsureServerCert(state_dir + "/tls", ips, cert_path, key_path);
    if (rc != 0) return rc;
  }
  ctx = NewServerContext(cert_path, key_path);
  if (!ctx) return ERR_SYS;
  fingerprint = CertFileFingerprint(cert_path);
  SF_LOG(L_NOTICE, L"[NOTE] sync-server(%d): TLS certificate '%s', SHA-256 fingerprint %s\n",
         cert_path, fingerprint);
  return 0;
}

int TakeTlsRequest(int fd, int wait_ms, uint32_t timeout_seconds, const std::atomic<int>& stop) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  unsigned char b[sizeof(kTlsRequestHeader)];
  while (true) {
    if (stop.load() != 0) return ERR_INT;
    ssize_t n = ::recv(fd, b, sizeof(b), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return ERR_IO;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return ERR_IO;
    if (n > 0 && std::memcmp(b, kTlsRequestHeader, static_cast<size_t>(n)) != 0) return 0;
    if (n == static_cast<ssize_t>(sizeof(b))) {
      return ::recv(fd, b, sizeof(b), 0) == n ? 1 : ERR_IO;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return ERR_TIMEOUT;
    if (n > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPartialHeaderPauseMs));
      continue;
    }
    struct pollfd p = {fd, POLLIN, 0};
    (void)::poll(&p, 1, static_cast<int>(std::min<long long>(wait_ms, left)));
  }
}
