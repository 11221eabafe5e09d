#include "lib/net/tls-peer-check.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cctype>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/net/tls.h"

namespace {
constexpr wchar_t kLogComponent[] = L"channel_debug";
constexpr size_t kPinHexDigits = 64;
}  // namespace

int PreparePeerCheck(SSL_CTX* ctx, SSL* ssl, const TlsPeerCheck& check, const char* ip) {
  if (check.ca_file.empty()) return 0;
  if (SSL_CTX_load_verify_locations(ctx, check.ca_file.c_str(), nullptr) != 1) {
    SF_LOG(L_ERR,
           L"[ERROR] channel(%d): cannot load the CA file '%s' to verify the server; refusing to "
           L"connect\n",
           check.ca_file);
    log_ssl();
    return ERR_AUTH;
  }
  SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
  if (ip == nullptr || X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), ip) != 1) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): cannot verify the server address '%s'\n",
           ip ? ip : "(null)");
    ERR_clear_error();
    return ERR_AUTH;
  }
  return 0;
}

int PeerCheckFailure(SSL* ssl, const TlsPeerCheck& check, const char* ip) {
  if (check.ca_file.empty()) return 0;
  long v = SSL_get_verify_result(ssl);
  if (v == X509_V_OK) return 0;
  SF_LOG(L_ERR,
         L"[ERROR] channel(%d): the certificate of server %s is not trusted by '%s': %s; refusing "
         L"to connect\n",
         ip ? ip : "(null)", check.ca_file, X509_verify_cert_error_string(v));
  return ERR_AUTH;
}

int CheckPinnedPeer(SSL* ssl, const TlsPeerCheck& check, const char* ip) {
  if (check.pin_sha256.empty()) return 0;
  const std::string want = NormalisePin(check.pin_sha256);
  X509Ptr cert(SSL_get1_peer_certificate(ssl));
  const std::string got = cert ? CertFingerprint(cert.get()) : std::string();
  if (want.empty()) {
    SF_LOG(L_ERR,
           L"[ERROR] channel(%d): the pinned certificate fingerprint '%s' is not 64 hex digits; "
           L"refusing to connect\n",
           check.pin_sha256);
    return ERR_AUTH;
  }
  if (got != want) {
    SF_LOG(L_ERR,
           L"[ERROR] channel(%d): the certificate of server %s has fingerprint %s, not the pinned "
           L"%s; refusing to connect\n",
           ip ? ip : "(null)", got.empty() ? std::string("(none)") : got, want);
    return ERR_AUTH;
  }
  return 0;
}

std::string CertFingerprint(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (cert == nullptr || X509_digest(cert, EVP_sha256(), md, &len) != 1) return std::string();
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out.push_back(hex[md[i] >> 4]);
    out.push_back(hex[md[i] & 15]);
  }
  return out;
}

std::string NormalisePin(const std::string& pin) {
  std::string out;
  for (char c : pin) {
    if (c == ':' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::string();
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out.size() == kPinHexDigits ? out : std::string();
}
