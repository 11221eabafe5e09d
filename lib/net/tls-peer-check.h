// The optional check of the sync server's certificate. Off by default: the
// client then accepts any certificate, as it always did. With a CA file the
// server's chain must lead to one of its certificates and the certificate
// must name the address the client connects to (an IP address entry); with a
// pin the SHA-256 fingerprint of the server's certificate must equal it.
// Both may be set; then both must hold.
//
// The check covers the TLS session with the sync server only, not the
// relay's, which carries nothing but the hand-shake.
#pragma once

#include <openssl/ssl.h>

#include <string>

struct TlsPeerCheck {
  std::string ca_file;     // PEM file of trusted certificates; empty: no chain check
  std::string pin_sha256;  // hex SHA-256 of the certificate (DER), ':' allowed; empty: none

  bool enabled() const { return !ca_file.empty() || !pin_sha256.empty(); }
};

// Prepares a client context and connection for the check: loads the CA file
// and asks for verification of the chain and of `ip`. 0, or ERR_AUTH when
// the CA file cannot be loaded or `ip` is not an IP address (logged: a
// configured check never silently turns off).
[[nodiscard]] int PreparePeerCheck(SSL_CTX* ctx, SSL* ssl, const TlsPeerCheck& check,
                                   const char* ip);

// After a hand-shake failure: ERR_AUTH with a log line naming the reason when
// the certificate check refused the server, else 0 (the failure was
// something else).
[[nodiscard]] int PeerCheckFailure(SSL* ssl, const TlsPeerCheck& check, const char* ip);

// After a successful hand-shake: 0, or ERR_AUTH (logged) when the pinned
// fingerprint does not match.
[[nodiscard]] int CheckPinnedPeer(SSL* ssl, const TlsPeerCheck& check, const char* ip);

// Lower-case hex SHA-256 of a certificate's DER form, without separators;
// empty on failure.
std::string CertFingerprint(X509* cert);
// The pin as configured, reduced to lower-case hex digits (':' and spaces
// dropped). Empty when anything else is in it or it is not 64 digits long.
std::string NormalisePin(const std::string& pin);
