// The server's TLS: the certificate it presents (given, or made once into
// the state directory), and the switch of a new connection to TLS when the
// client opens it with the TLS request header.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "lib/net/tls.h"

// The context for `cert`/`key`, or, when both are empty, for a certificate
// kept in `state_dir`/tls (made on first use, naming 127.0.0.1 and
// `bind_ip`). `fingerprint` gets the certificate's SHA-256. 0, ERR_INVAL
// (only one of cert and key given) or ERR_SYS (logged).
[[nodiscard]] int LoadServerTls(const std::string& cert, const std::string& key,
                                const std::string& state_dir, const std::string& bind_ip,
                                SslCtxPtr& ctx, std::string& fingerprint);

// Looks at the first bytes of a new connection without consuming a request:
// 1 when they are the TLS request header (then consumed), 0 for anything
// else (nothing consumed); ERR_IO when the client closed first, ERR_TIMEOUT
// after `timeout_seconds` of silence, ERR_INT when `stop` is set.
[[nodiscard]] int TakeTlsRequest(int fd, int wait_ms, uint32_t timeout_seconds,
                                 const std::atomic<int>& stop);
