// The relay hand-shake, spoken inside a TLS session with the relay. The
// client sends one request,
//
//   GET /zent-tunnel HTTP/1.1
//   Host: <kRelayHostName>
//   Upgrade: ZentavoTunnel
//   X-Target-Host: <server address>
//   X-Target-Port: <server port>
//   X-AuthToken: <token of relay-token.h>
//   <empty line>
//
// (each line ending in CR LF), and the relay answers with header lines up to
// an empty line, one of them "X-Target-Status: <n>" (name in any letter
// case): 0 when it connected the target. After that answer the TLS session
// ends without a shutdown exchange and the same socket carries the target's
// bytes in the clear (the client may start its own TLS with the target).
//
// The helpers wait at most `wait_ms` per wait and give up at `deadline`.
// Their codes: kTlsWaitError (-402) for a socket or TLS error,
// kTlsWaitTimeout (-403) when the deadline passed, ERR_INT when stopped.
// Thread-safety: one thread per SSL object.
#pragma once

#include <cstddef>

#include "lib/net/tls.h"

// The relay service's host name, sent in the "Host:" line; shared with the
// relay (README.md).
constexpr char kRelayHostName[] = "syncfolder-relay";
constexpr char kRelayPath[] = "/zent-tunnel";
constexpr char kRelayUpgrade[] = "ZentavoTunnel";
// Longest hand-shake line either side accepts, terminator included, and the
// most header lines of one request or answer.
constexpr size_t kRelayLineMax = 1024;
constexpr int kRelayMaxHeaderLines = 64;

// Sends the request for `host`:`port` and reads the answer. Returns the
// relay's status (0 = connected); -1 when the answer carried no status, had
// a line longer than kRelayLineMax or more than kRelayMaxHeaderLines lines,
// or ended before its empty line; a negative wait code.
[[nodiscard]] int ZENTTunnelClientHandshake(SSL* ssl, const char* host, int port, int wait_ms,
                                            TlsClock::time_point deadline,
                                            const StopFn& stopped = {});

// Writes all of `data`. 0 or a wait code.
[[nodiscard]] int ZENTTunnelNonBlockingWrite(SSL* ssl, const char* data, size_t length, int wait_ms,
                                             TlsClock::time_point deadline,
                                             const StopFn& stopped = {});

// Reads one line up to and including LF, at most size - 1 bytes, never
// consuming bytes behind the LF. Zero-terminates it and returns its length:
// a line without LF at the end means the buffer filled up (length size - 1)
// or the peer closed the connection. 0 when the peer closed before any
// byte; a wait code.
[[nodiscard]] int RecvlineWithTimeout(SSL* ssl, char* buffer, size_t size, int wait_ms,
                                      TlsClock::time_point deadline, const StopFn& stopped = {});

// First occurrence of `byte` within `length` bytes of `data`, or null.
const char* strchr_by_len(const char* data, size_t length, char byte);

// The value of an "X-Target-Status" line (name compared in any letter case),
// or false when `line` is not one or carries no number.
[[nodiscard]] bool ParseTargetStatus(const char* line, int& status);
