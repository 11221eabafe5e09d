#include "lib/net/tls-cert.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "lib/base/errors.h"
#include "lib/base/handles.h"
#include "lib/base/log.h"
#include "lib/net/tls-peer-check.h"

namespace {

constexpr wchar_t kLogComponent[] = L"channel_debug";
constexpr long kValidSeconds = 10L * 365 * 24 * 3600;

[[nodiscard]] bool AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

bool PathExists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

}  // namespace

int GenerateSelfSignedCert(const std::string& cert_path, const std::string& key_path,
                           const std::string& common_name, const std::vector<std::string>& ips) {
  EvpPkeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr cert(X509_new());
  unsigned char serial[16];
  bool ok = key && cert && RAND_bytes(serial, sizeof(serial)) == 1;
  if (ok) {
    serial[0] &= 0x7f;  // a positive serial number
    BIGNUM* bn = BN_bin2bn(serial, sizeof(serial), nullptr);
    ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(bn);
  }
  if (ok) {
    X509_set_version(cert.get(), 2);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidSeconds);
    X509_NAME* name = X509_get_subject_name(cert.get());
    ok = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                                    -1, 0) == 1 &&
         X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1;
  }
  std::string san;
  for (const std::string& ip : ips) san += (san.empty() ? "IP:" : ",IP:") + ip;
  if (ok && !san.empty()) ok = AddExtension(cert.get(), NID_subject_alt_name, san);
  if (ok) ok = AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  if (ok) ok = X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): cannot make a certificate for '%s'\n", common_name);
    log_ssl();
    return ERR_SYS;
  }
  UniqueFd kfd(::open(key_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  FilePtr kf(kfd.valid() ? fdopen(kfd.get(), "w") : nullptr);
  if (kf) (void)kfd.release();  // the stream closes it
  FilePtr cf(fopen(cert_path.c_str(), "we"));
  ok = kf && cf &&
       PEM_write_PrivateKey(kf.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) &&
       PEM_write_X509(cf.get(), cert.get());
  ok = (kf ? fflush(kf.get()) == 0 : false) && ok;
  ok = (cf ? fflush(cf.get()) == 0 : false) && ok;
  if (!ok) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): cannot write the certificate '%s' or key '%s'\n",
           cert_path, key_path);
    log_ssl();
    return ERR_SYS;
  }
  return 0;
}

int EnsureServerCert(const std::string& dir, const std::vector<std::string>& ips,
                     std::string& cert_path, std::string& key_path) {
  cert_path = dir + "/server.crt";
  key_path = dir + "/server.key";
  if (PathExists(cert_path) && PathExists(key_path)) return 0;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): cannot create the certificate folder '%s'\n", dir);
    return ERR_SYS;
  }
  return GenerateSelfSignedCert(cert_path, key_path, "syncfolder", ips);
}

SslCtxPtr NewServerContext(const std::string& cert_path, const std::string& key_path) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    log_ssl();
    return ctx;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_num_tickets(ctx.get(), 0);
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert_path.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), key_path.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): cannot use the certificate '%s' with the key '%s'\n",
           cert_path, key_path);
    log_ssl();
    ctx.reset();
  }
  return ctx;
}

std::string CertFileFingerprint(const std::string& cert_path) {
  FilePtr f(fopen(cert_path.c_str(), "re"));
  if (!f) return std::string();
  X509Ptr cert(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
  return CertFingerprint(cert.get());
}
