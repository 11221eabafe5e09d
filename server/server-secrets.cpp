#include "server/server-secrets.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

namespace {
void Digest(const std::string& s, unsigned char (&out)[SHA256_DIGEST_LENGTH]) {
  SHA256(reinterpret_cast<const unsigned char*>(s.data()), s.size(), out);
}
}  // namespace

bool SecretEquals(const std::string& a, const std::string& b) {
  unsigned char da[SHA256_DIGEST_LENGTH], db[SHA256_DIGEST_LENGTH];
  Digest(a, da);
  Digest(b, db);
  return CRYPTO_memcmp(da, db, sizeof(da)) == 0;
}

std::string SessionKey(const std::string& session) {
  static const char* hex = "0123456789abcdef";
  unsigned char d[SHA256_DIGEST_LENGTH];
  Digest(session, d);
  std::string out;
  out.reserve(2 * sizeof(d));
  for (unsigned char c : d) {
    out.push_back(hex[c >> 4]);
    out.push_back(hex[c & 15]);
  }
  return out;
}
