// TLS building blocks shared by the TLS channels, the reference server and
// the relay: owners of the OpenSSL objects, a socket BIO that never raises
// SIGPIPE, the bounded waiting loops for hand-shakes and shutdown on
// non-blocking sockets, and the error-queue logger.
//
// Thread-safety: every function works on the objects it is given; an SSL
// object is used by one thread at a time. OpenSSL's error queue is per
// thread, and every call here clears it before the operation it inspects.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct EvpPkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;

// Polled between waits; true ends the operation (ERR_INT). May be empty.
using StopFn = std::function<bool()>;
using TlsClock = std::chrono::steady_clock;

// Attaches `fd` to `ssl` through a socket BIO whose sends use MSG_NOSIGNAL,
// so a peer that vanished is an error code, never SIGPIPE. The fd stays
// owned by the caller. False when the BIO cannot be made (errors logged).
[[nodiscard]] bool AttachSocket(SSL* ssl, int fd);

// Runs SSL_connect (client) or SSL_accept (server) on a non-blocking socket,
// waiting at most `wait_ms` per wait, until `deadline`. Returns 0; ERR_IO when
// the deadline passes or the peer breaks the hand-shake (including a failed
// certificate check: see SSL_get_verify_result); ERR_SYS for a failed wait;
// ERR_INT when stopped. TLS errors are drained into the log.
[[nodiscard]] int SSLConnectWithTimeout(SSL* ssl, int wait_ms, TlsClock::time_point deadline,
                                        const StopFn& stopped = {});
[[nodiscard]] int SSLAcceptWithTimeout(SSL* ssl, int wait_ms, TlsClock::time_point deadline,
                                       const StopFn& stopped = {});

// Sends our close-notify and waits at most one wait of `wait_ms` for the
// peer's. 0 when the peer answered; ERR_TIMEOUT when it did not (logged);
// ERR_SYS on a TLS or socket error. Does nothing (0) when the hand-shake
// never finished.
[[nodiscard]] int SSLShutdownWithTimeout(SSL* ssl, int wait_ms);

// Shuts `ssl` down (as above) and frees both objects; both become null.
void DeinitSSL(SslPtr& ssl, SslCtxPtr& ctx, int wait_ms);
// Frees both without any shutdown exchange: for a session whose stream now
// belongs to someone else (a relay that turned into a plain pipe).
void DropSSL(SslPtr& ssl, SslCtxPtr& ctx);

// Logs every pending OpenSSL error of this thread, one line each, and
// empties the queue.
void log_ssl();

// Waits until `ssl` has bytes to read: 0 at once when decrypted bytes are
// pending, else after readability; kTlsWaitError on a failed wait;
// kTlsWaitTimeout once `deadline` passed; ERR_INT when stopped.
constexpr int kTlsWaitError = -402;
constexpr int kTlsWaitTimeout = -403;
[[nodiscard]] int SSL_read_timeout(SSL* ssl, int wait_ms, TlsClock::time_point deadline,
                                   const StopFn& stopped = {});

// A client context (highest common version, TLS 1.2 at least, no peer
// verification: see tls-peer-check.h for the optional one). Null on failure
// (logged).
SslCtxPtr NewClientContext();

// Milliseconds of a (seconds, microseconds) wait; negative values count as 0.
int WaitMs(long seconds, long microseconds);
// Now plus `seconds`.
TlsClock::time_point DeadlineIn(uint32_t seconds);
