#include "lib/net/tls.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "lib/base/errors.h"
#include "lib/base/log.h"

namespace {

constexpr wchar_t kLogComponent[] = L"channel_debug";

// ---- a socket BIO that sends with MSG_NOSIGNAL ----------------------------
// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE on a
// connection the peer has reset; a library must not depend on every program
// that links it ignoring that signal.

int FdOf(BIO* b) {
  return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b)));
}

int BioWrite(BIO* b, const char* data, int len) {
  BIO_clear_retry_flags(b);
  ssize_t n = ::send(FdOf(b), data, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_write(b);
  }
  return static_cast<int>(n);
}

int BioRead(BIO* b, char* data, int len) {
  BIO_clear_retry_flags(b);
  ssize_t n = ::recv(FdOf(b), data, static_cast<size_t>(len), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_read(b);
  }
  return static_cast<int>(n);
}

int BioPuts(BIO* b, const char* s) {
  return BioWrite(b, s, static_cast<int>(strlen(s)));
}

long BioCtrl(BIO* b, int cmd, long /*num*/, void* ptr) {
  switch (cmd) {
    case BIO_C_GET_FD:
      if (ptr != nullptr) *static_cast<int*>(ptr) = FdOf(b);
      return FdOf(b);
    case BIO_CTRL_FLUSH:
      return 1;
    default:
      return 0;
  }
}

int BioCreate(BIO* /*b*/) {
  return 1;
}

int BioDestroy(BIO* /*b*/) {
  return 1;  // the fd belongs to the channel
}

const BIO_METHOD* NoSigpipeSocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "syncfolder socket");
    if (m == nullptr) return m;
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_puts(m, BioPuts);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, BioCreate);
    BIO_meth_set_destroy(m, BioDestroy);
    return m;
  }();
  return method;
}

// Waits up to `ms` for `events` on `fd`: 1 ready, 0 timed out, -1 failed.
[[nodiscard]] int PollFd(int fd, short events, int ms) {
  struct pollfd p;
  p.fd = fd;
  p.events = events;
  p.revents = 0;
  int rc = ::poll(&p, 1, std::max(ms, 0));
  if (rc < 0) return errno == EINTR ? 0 : -1;
  return rc;
}

int MsUntil(TlsClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TlsClock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

// Shared loop of SSL_connect and SSL_accept.
[[nodiscard]] int HandshakeLoop(SSL* ssl, bool client, int wait_ms, TlsClock::time_point deadline,
                                const StopFn& stopped) {
  const int fd = SSL_get_fd(ssl);
  while (true) {
    if (stopped && stopped()) return ERR_INT;
    ERR_clear_error();
    int r = client ? SSL_connect(ssl) : SSL_accept(ssl);
    if (r == 1) return 0;
    int e = SSL_get_error(ssl, r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): %s ssl failed (%d)\n", client ? L"connect" : L"accept",
             e);
      log_ssl();
      return ERR_IO;
    }
    const int left = MsUntil(deadline);
    if (left == 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): SSL hand-shake on socket %d timed out, abort anyway\n",
             fd);
      return ERR_IO;
    }
    int ready = PollFd(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, std::min(wait_ms, left));
    if (ready < 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): select: Error Code: %d\n", errno);
      return ERR_SYS;
    }
    if (ready > 0) SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): SSL connect: want read/write\n");
  }
}

}  // namespace

bool AttachSocket(SSL* ssl, int fd) {
  const BIO_METHOD* m = NoSigpipeSocketMethod();
  BIO* bio = m == nullptr ? nullptr : BIO_new(m);
  if (bio == nullptr) {
    log_ssl();
    return false;
  }
  // The BIO's one slot is a pointer; it carries the descriptor, never
  // dereferenced. NOLINTNEXTLINE(performance-no-int-to-ptr)
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl, bio, bio);  // one reference, owned by `ssl` from here
  return true;
}

int SSLConnectWithTimeout(SSL* ssl, int wait_ms, TlsClock::time_point deadline,
                          const StopFn& stopped) {
  return HandshakeLoop(ssl, true, wait_ms, deadline, stopped);
}

int SSLAcceptWithTimeout(SSL* ssl, int wait_ms, TlsClock::time_point deadline,
                         const StopFn& stopped) {
  return HandshakeLoop(ssl, false, wait_ms, deadline, stopped);
}

int SSLShutdownWithTimeout(SSL* ssl, int wait_ms) {
  if (ssl == nullptr || !SSL_is_init_finished(ssl)) return 0;
  const int fd = SSL_get_fd(ssl);
  // One wait in all: a peer that never answers costs one period, not one
  // per retry.
  const auto deadline = TlsClock::now() + std::chrono::milliseconds(std::max(wait_ms, 0));
  while (true) {
    ERR_clear_error();
    int r = SSL_shutdown(ssl);
    if (r == 1) return 0;
    short events = POLLIN;
    if (r < 0) {
      int e = SSL_get_error(ssl, r);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
        // Mostly a peer that closed the socket first: nothing to wait for.
        SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): SSL_shutdown ssl failed\n");
        ERR_clear_error();
        return ERR_SYS;
      }
      if (e == SSL_ERROR_WANT_WRITE) events = POLLOUT;
    }
    const int left = MsUntil(deadline);
    int ready = left == 0 ? 0 : PollFd(fd, events, left);
    if (ready < 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): select: Error Code: %d\n", errno);
      return ERR_SYS;
    }
    if (ready == 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): SSL shutdown timeout\n");
      return ERR_TIMEOUT;
    }
  }
}

void DeinitSSL(SslPtr& ssl, SslCtxPtr& ctx, int wait_ms) {
  if (ssl) (void)SSLShutdownWithTimeout(ssl.get(), wait_ms);
  ssl.reset();
  ctx.reset();
}

void DropSSL(SslPtr& ssl, SslCtxPtr& ctx) {
  if (ssl) SSL_set_quiet_shutdown(ssl.get(), 1);
  ssl.reset();
  ctx.reset();
}

void log_ssl() {
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char text[256];
    ERR_error_string_n(e, text, sizeof(text));
    SF_LOG(L_ERR, L"[ERROR] channel(%d): ssl-errors: %s\n", text);
  }
}

int SSL_read_timeout(SSL* ssl, int wait_ms, TlsClock::time_point deadline, const StopFn& stopped) {
  if (SSL_pending(ssl) > 0) return 0;
  const int fd = SSL_get_fd(ssl);
  while (true) {
    if (stopped && stopped()) return ERR_INT;
    const int left = MsUntil(deadline);
    if (left == 0) return kTlsWaitTimeout;
    int ready = PollFd(fd, POLLIN, std::min(wait_ms, left));
    if (ready < 0) return kTlsWaitError;
    if (ready > 0) return 0;
  }
}

SslCtxPtr NewClientContext() {
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): m_ssl_ctx created failed\n");
    log_ssl();
    return ctx;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // The channel's flush loop may come back with more bytes at another offset
  // of its ring buffer after a "want write".
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx;
}

int WaitMs(long seconds, long microseconds) {
  long long ms = static_cast<long long>(seconds) * 1000 + microseconds / 1000;
  if (ms < 0) ms = 0;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

TlsClock::time_point DeadlineIn(uint32_t seconds) {
  return TlsClock::now() + std::chrono::seconds(seconds);
}
