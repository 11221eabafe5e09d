// Certificates for the accepting ends (the reference server and the relay):
// a self-signed certificate made on first start, and the server context
// built from a certificate and key file.
#pragma once

#include <string>
#include <vector>

#include "lib/net/tls.h"

// Writes a new EC (P-256) key and a self-signed certificate for it, valid
// for ten years, with `common_name` and one IP address entry per element of
// `ips`. The key file is created with mode 0600. 0, or ERR_SYS (logged).
[[nodiscard]] int GenerateSelfSignedCert(const std::string& cert_path, const std::string& key_path,
                                         const std::string& common_name,
                                         const std::vector<std::string>& ips);

// `dir`/server.crt and `dir`/server.key, generated (and `dir` created) when
// either is missing, so that a pin taken once stays valid across restarts.
// 0, or ERR_SYS (logged).
[[nodiscard]] int EnsureServerCert(const std::string& dir, const std::vector<std::string>& ips,
                                   std::string& cert_path, std::string& key_path);

// A server context (TLS 1.2 at least) holding the certificate and key, which
// must match. No session tickets: a relay session turns into a plain pipe
// right after the hand-shake, and a ticket sent after it would land in the
// target's byte stream. Null on failure (logged).
SslCtxPtr NewServerContext(const std::string& cert_path, const std::string& key_path);

// Lower-case hex SHA-256 fingerprint of the certificate in a PEM file; empty
// when it cannot be read.
std::string CertFileFingerprint(const std::string& cert_path);
