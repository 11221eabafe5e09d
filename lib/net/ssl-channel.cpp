#include "lib/net/ssl-channel.h"

#include <openssl/err.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "lib/base/errors.h"
#include "lib/base/log.h"

namespace {
constexpr wchar_t kLogComponent[] = L"channel_debug";

// TlsOnce's "the TLS operation failed" (outside the ERR_ codes).
constexpr int kTlsFailed = -1000;

int ClampLen(size_t len) {
  return len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}
}  // namespace

SSLChannel::SSLChannel(size_t cap, std::string cert_path, std::string key_path)
    : Channel(cap), m_cert_path(std::move(cert_path)), m_key_path(std::move(key_path)) {}

SSLChannel::~SSLChannel() {
  SSLChannel::Close();
}

int SSLChannel::Open(int fd, bool /*isSSL*/, bool /*nonblock*/) {
  SF_LOG(L_ERR, L"[ERROR] channel(%d): Open: socket %d: an adopted socket cannot be made TLS\n",
         fd);
  return ERR_INVAL;
}

StopFn SSLChannel::StopPredicate() const {
  return [this] { return Stopped(); };
}

int SSLChannel::InitSSL(bool check_peer, const char* ip) {
  DropSSL(m_ssl, m_ssl_ctx);
  m_ssl_ctx = NewClientContext();
  if (!m_ssl_ctx) return ERR_SYS;
  m_ssl.reset(SSL_new(m_ssl_ctx.get()));
  if (!m_ssl) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): m_ssl created failed\n");
    log_ssl();
    m_ssl_ctx.reset();
    return ERR_SYS;
  }
  if (check_peer) {
    int rc = PreparePeerCheck(m_ssl_ctx.get(), m_ssl.get(), m_check, ip);
    if (rc != 0) {
      DropSSL(m_ssl, m_ssl_ctx);
      return rc;
    }
  }
  return 0;
}

int SSLChannel::WriteAllRaw(const unsigned char* data, size_t len) {
  const auto start = Now();
  size_t sent = 0;
  while (sent < len) {
    if (Stopped()) return ERR_INT;
    int n = Channel::WriteFd(data + sent, len - sent);
    if (n == ERR_TIMEOUT) {
      if (Now() - start < std::chrono::seconds(channel_timeout)) continue;
      return ERR_TIMEOUT;
    }
    if (n <= 0) return n < 0 ? n : ERR_IO;
    sent += static_cast<size_t>(n);
  }
  return 0;
}

int SSLChannel::SendTlsRequest() {
  int rc = WriteAllRaw(kTlsRequestHeader, sizeof(kTlsRequestHeader));
  if (rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): WriteSSLRequest: %s\n", L"I/O error");
    return rc == ERR_INT ? ERR_INT : ERR_IO;
  }
  return 0;
}

int SSLChannel::StartTls(const char* ip, bool check_peer) {
  if (!AttachSocket(m_ssl.get(), m_fd.get())) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): set fd failed\n");
    return ERR_SYS;
  }
  int rc = SSLConnectWithTimeout(m_ssl.get(), WaitPeriodMs(), DeadlineIn(channel_timeout),
                                 StopPredicate());
  if (rc != 0) {
    if (check_peer) {
      int auth = PeerCheckFailure(m_ssl.get(), m_check, ip);
      if (auth != 0) return auth;
    }
    return rc;
  }
  if (check_peer) return CheckPinnedPeer(m_ssl.get(), m_check, ip);
  return 0;
}

int SSLChannel::HandshakeWithServer(const char* ip, int port, bool send_request) {
  int rc = InitSSL(true, ip);
  if (rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Open: init ssl failed\n");
    return rc;
  }
  if (send_request) {
    rc = SendTlsRequest();
    if (rc != 0) return rc;
  }
  rc = StartTls(ip, true);
  if (rc != 0) SF_LOG(L_ERR, L"[ERROR] channel(%d): Failed to SSL connecti to port %d\n", port);
  return rc;
}

int SSLChannel::Open(const char* ip, int port, bool isSSL) {
  Close();
  if (ip == nullptr || port < 0) return ERR_INVAL;
  int rc = Channel::Open(ip, port, isSSL);
  if (rc != 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Connect failed\n");
    return rc;
  }
  rc = HandshakeWithServer(ip, port, !isSSL);
  return FinishOpen(rc);
}

int SSLChannel::Accept(int fd, SSL_CTX* ctx) {
  if (m_fd.valid() || fd < 0 || ctx == nullptr) return ERR_INVAL;
  int rc = Channel::Open(fd, true, true);
  if (rc != 0) return rc;
  SSL_CTX_up_ref(ctx);
  m_ssl_ctx.reset(ctx);
  m_ssl.reset(SSL_new(ctx));
  if (!m_ssl || !AttachSocket(m_ssl.get(), m_fd.get())) {
    log_ssl();
    Close();
    return ERR_SYS;
  }
  rc = SSLAcceptWithTimeout(m_ssl.get(), WaitPeriodMs(), DeadlineIn(channel_timeout),
                            StopPredicate());
  return FinishOpen(rc);
}

void SSLChannel::DropTls() {
  DropSSL(m_ssl, m_ssl_ctx);
}

void SSLChannel::Close() {
  if (m_fd.valid()) {
    int rc = FlushWrite(0);
    if (rc != 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): FlushWrite: %s\n", GetErrorStringW(rc));
      ClearRead();
      ClearWrite();
    }
  }
  // A failed hand-shake has nothing to shut down; DeinitSSL knows.
  DeinitSSL(m_ssl, m_ssl_ctx, WaitPeriodMs());
  Channel::Close();
}

int SSLChannel::ReadFd(void* buf, size_t len) {
  if (len == 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): ReadFd: request 0\n");
    return ERR_INVAL;
  }
  if (!m_ssl) return Channel::ReadFd(buf, len);
  const int want = ClampLen(len);
  const int pending = SSL_pending(m_ssl.get());
  if (pending > 0) {
    ERR_clear_error();
    int n = SSL_read(m_ssl.get(), buf, std::min(pending, want));
    if (n > 0) return n;
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Diagnose: SSL_read failed\n");
    log_ssl();
    return ERR_IO;
  }
  int e = 0;
  int n = TlsOnce(false, buf, want, e);
  if (n != kTlsFailed) return n;
  if (e == SSL_ERROR_ZERO_RETURN) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): read: %s\n", L"connection closed by peer");
  } else {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): read: TLS error %d, errno = %d\n", e, errno);
    log_ssl();
  }
  SF_LOG(L_ERR,
         L"[ERROR] channel(%d): Diagnose: select says the socket is readable but actually we "
         L"can't read ... connection closed?\n");
  return ERR_IO;
}

int SSLChannel::WriteFd(const void* buf, size_t len) {
  if (len == 0) return ERR_INVAL;
  if (!m_ssl) return Channel::WriteFd(buf, len);
  int e = 0;
  int n = TlsOnce(true, const_cast<void*>(buf), ClampLen(len), e);
  if (n != kTlsFailed) return n;
  const int err = errno;
  // A peer that went away is an I/O error here as on a plain channel.
  if (e == SSL_ERROR_SYSCALL && err != EPIPE && err != ECONNRESET) {
    SF_LOG(L_ERR,
           L"[ERROR] channel(%d): syscall error: n = %d, ssl_ret = %d, errno = %d, err = %s\n", n,
           e, err, ErrnoMessage(err));
    log_ssl();
    return ERR_SYS;
  }
  SF_LOG(L_ERR, L"[ERROR] channel(%d): misc error: n = %d, ssl_ret = %d, errno = %d\n", n, e, err);
  log_ssl();
  return ERR_IO;
}

// Tries before waiting, as the plain channel does: the wait comes only when
// the TLS layer needs the socket.
int SSLChannel::TlsOnce(bool write, void* buf, int want, int& err) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    ERR_clear_error();
    int n = write ? SSL_write(m_ssl.get(), buf, want) : SSL_read(m_ssl.get(), buf, want);
    if (n > 0) {
      if (write) {
        SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): WriteFd: write %d bytes\n", n);
      } else {
        SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): ReadFd: read %d bytes\n", n);
      }
      return n;
    }
    err = SSL_get_error(m_ssl.get(), n);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return kTlsFailed;
    if (attempt == 1) break;
    int rc =
        WaitReady(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, write ? L"WriteFd" : L"ReadFd");
    if (rc < 0) return rc;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): SSL want %s\n", write ? L"write" : L"read");
  return ERR_TIMEOUT;
}

int SSLChannel::InstallCERT() {
  if (!m_ssl || SSL_use_certificate_file(m_ssl.get(), m_cert_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Install certificate failed\n");
    log_ssl();
    return -1;
  }
  return 0;
}

int SSLChannel::InstallPriKey() {
  if (!m_ssl || SSL_use_PrivateKey_file(m_ssl.get(), m_key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Install private key failed\n");
    log_ssl();
    return -1;
  }
  return 0;
}

void SSLChannel::SetCERTPath(const std::string& path) {
  m_cert_path = path;
}

void SSLChannel::SetPriKeyPath(const std::string& path) {
  m_key_path = path;
}
