#include "lib/net/relay-token.h"

#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <vector>

#include "lib/base/byte-order.h"
#include "lib/base/utility.h"

namespace {

// ---- values shared with the relay (documented in README.md) ----------------
// Changing any of them makes every relay that has the old ones refuse us.
constexpr unsigned char kRelayIv[8] = {0x73, 0x66, 0x52, 0x65,
                                       0x6c, 0x61, 0x79, 0x21};  // "sfRelay!"
constexpr uint32_t kSeedFactor = 0x2545F491u;
constexpr uint32_t kSeedOffset = 0x6A09E667u;

constexpr uint16_t kTokenMagic = 0xFFFF;
constexpr uint16_t kTokenVersion = 1;
constexpr size_t kDesBlock = 8;
constexpr size_t kDesKeyBytes = 24;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

[[nodiscard]] int Crypt(bool encrypt, const unsigned char* key, unsigned char* out, size_t out_size,
                        const unsigned char* data, size_t length) {
  if (key == nullptr || out == nullptr || (data == nullptr && length > 0) ||
      length > static_cast<size_t>(INT32_MAX) - kDesBlock) {
    return -1;
  }
  // The cipher may write up to a block more than it finally keeps; work in a
  // buffer with that room so `out` needs only the result's size.
  std::vector<unsigned char> tmp(length + 2 * kDesBlock);
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  int n = 0, tail = 0;
  if (!ctx ||
      EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key, kRelayIv, encrypt ? 1 : 0) !=
          1 ||
      EVP_CipherUpdate(ctx.get(), tmp.data(), &n, data, static_cast<int>(length)) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), tmp.data() + n, &tail) != 1) {
    return -1;
  }
  const size_t total = static_cast<size_t>(n) + static_cast<size_t>(tail);
  if (total > out_size) return -1;
  std::memcpy(out, tmp.data(), total);
  return static_cast<int>(total);
}

}  // namespace

int ZENTCryptoDigestUpdate(const EVP_MD* digest, unsigned char* out, size_t out_size,
                           const unsigned char* data, size_t length) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (digest == nullptr || out == nullptr ||
      EVP_Digest(data, length, md, &len, digest, nullptr) != 1 || len > out_size) {
    return -1;
  }
  std::memcpy(out, md, len);
  return static_cast<int>(len);
}

int ZENTCrypto3DESEncryptUpdate(const unsigned char* key, unsigned char* out, size_t out_size,
                                const unsigned char* data, size_t length) {
  return Crypt(true, key, out, out_size, data, length);
}

int ZENTCrypto3DESDecryptUpdate(const unsigned char* key, unsigned char* out, size_t out_size,
                                const unsigned char* data, size_t length) {
  return Crypt(false, key, out, out_size, data, length);
}

int ZENTCryptoGenerateKey(unsigned char* out, size_t size, const unsigned char seed[4]) {
  if (out == nullptr || seed == nullptr || size < kRelayKeyMaterial) return -1;
  unsigned char scaled[4];
  StoreBigEndian(LoadBe32(seed) * kSeedFactor + kSeedOffset, scaled, 4);
  int a = ZENTCryptoDigestUpdate(EVP_sha1(), out, size, scaled, sizeof(scaled));
  if (a < 0) return -1;
  int b = ZENTCryptoDigestUpdate(EVP_md5(), out + a, size - static_cast<size_t>(a), scaled,
                                 sizeof(scaled));
  return b < 0 ? -1 : a + b;
}

int ZENTCryptoEncrypt(unsigned char* out, size_t out_size, const unsigned char* data,
                      size_t length) {
  const size_t n = (length / kDesBlock + 1) * kDesBlock;
  if (out == nullptr || out_size < n + ZENTCryptoEncryptOverheadSize) return -1;
  if (RAND_bytes(out, static_cast<int>(n + ZENTCryptoEncryptOverheadSize)) != 1) return -1;
  StoreBigEndian(kTokenMagic, out, 2);
  StoreBigEndian(kTokenVersion, out + 2, 2);
  unsigned char key[kRelayKeyMaterial];
  if (ZENTCryptoGenerateKey(key, sizeof(key), out + 10) < static_cast<int>(kDesKeyBytes)) return -1;
  int c = ZENTCrypto3DESEncryptUpdate(key, out + 24, n, data, length);
  if (c != static_cast<int>(n)) return -1;
  StoreBigEndian(n, out + 20, 4);
  // The two random bytes behind the ciphertext were filled above.
  return static_cast<int>(n + ZENTCryptoEncryptOverheadSize);
}

int ZENTCryptoValidateFormat(const unsigned char* token, size_t length) {
  if (token == nullptr || length <= ZENTCryptoEncryptOverheadSize) return -1;
  if (LoadBe16(token) != kTokenMagic) return -1;
  if (LoadBe16(token + 2) > kTokenVersion) return -1;
  const uint64_t n = LoadBe32(token + 20);
  return n + ZENTCryptoEncryptOverheadSize <= length ? 0 : -1;
}

int ZENTCryptoDecrypt(unsigned char* out, size_t out_size, const unsigned char* token,
                      size_t length) {
  if (ZENTCryptoValidateFormat(token, length) != 0) return -1;
  unsigned char key[kRelayKeyMaterial];
  if (ZENTCryptoGenerateKey(key, sizeof(key), token + 10) < static_cast<int>(kDesKeyBytes)) {
    return -1;
  }
  return ZENTCrypto3DESDecryptUpdate(key, out, out_size, token + 24, LoadBe32(token + 20));
}

int ZENTCryptoBase64Encode(char* out, size_t out_size, const unsigned char* data, size_t length) {
  const size_t need = (length + 2) / 3 * 4 + 1;
  if (out == nullptr || (data == nullptr && length > 0) || out_size < need ||
      length > static_cast<size_t>(INT32_MAX) / 2) {
    return -1;
  }
  return EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), data, static_cast<int>(length));
}

int ZENTCryptoBase64Decode(unsigned char* out, size_t out_size, const char* text, size_t length) {
  size_t n = out_size;
  if (!EncBase64Dec(text, length, out, n)) return -1;
  return static_cast<int>(n);
}

std::string MakeRelayToken(const std::string& host, int port) {
  const std::string plain = host + ":" + std::to_string(port);
  unsigned char token[kRelayTokenTextMax];
  // With its terminating zero byte, as the relay expects.
  if (ZENTCryptoEncryptLength(plain.size() + 1) > sizeof(token)) return std::string();
  int n =
      ZENTCryptoEncrypt(token, sizeof(token), reinterpret_cast<const unsigned char*>(plain.c_str()),
                        plain.size() + 1);
  char text[kRelayTokenTextMax];
  int t = n < 0 ? -1 : ZENTCryptoBase64Encode(text, sizeof(text), token, static_cast<size_t>(n));
  return t < 0 ? std::string() : std::string(text, static_cast<size_t>(t));
}

bool RelayTokenMatches(const std::string& text, const std::string& host, int port) {
  unsigned char token[kRelayTokenTextMax];
  unsigned char plain[kRelayTokenTextMax];
  int n = ZENTCryptoBase64Decode(token, sizeof(token), text.data(), text.size());
  int p = n < 0 ? -1 : ZENTCryptoDecrypt(plain, sizeof(plain), token, static_cast<size_t>(n));
  const std::string want = host + ":" + std::to_string(port) + std::string(1, '\0');
  return p >= 0 && static_cast<size_t>(p) == want.size() &&
         std::memcmp(plain, want.data(), want.size()) == 0;
}
