// The password encoding's Blowfish calls. OpenSSL 3 deprecates the low-level
// BF_* interface; it is used here only, so the deprecation is silenced here.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <openssl/blowfish.h>

#include <algorithm>
#include <vector>

#include "lib/base/utility.h"

namespace {

// The fixed key shared with the user interface (proxy password in the
// configuration) and the server (encoded protocol strings). Changing it
// breaks both; it is documented in README.md.
constexpr unsigned char kSyncPassKey[4] = {0x53, 0x46, 0x21, 0x7A};  // "SF!z"

void Crypt(const unsigned char* in, unsigned char* out, size_t len, int mode) {
  BF_KEY key;
  BF_set_key(&key, sizeof(kSyncPassKey), kSyncPassKey);
  unsigned char iv[8] = {0};
  int num = 0;
  BF_cfb64_encrypt(in, out, static_cast<long>(len), &key, iv, &num, mode);
}

}  // namespace

void SyncPassEnc(const std::string& in, std::string& out) {
  out.clear();
  if (in.empty()) return;
  std::vector<unsigned char> cipher(in.size());
  Crypt(reinterpret_cast<const unsigned char*>(in.data()), cipher.data(), in.size(), BF_ENCRYPT);
  // The encoder's fixed buffer holds 2301 input bytes (767 whole groups);
  // longer input goes through it in such pieces so that nothing is cut off
  // and the text stays one continuous encoding.
  constexpr size_t kPiece = (kBase64BufSize - 1) / 4 * 3;
  for (size_t i = 0; i < cipher.size(); i += kPiece) {
    const size_t n = std::min(kPiece, cipher.size() - i);
    char* b64 = SzBase64EncBuffer(cipher.data() + i, n);
    out += b64;
    delete[] b64;
  }
}

void SyncPassDec(const std::string& in, std::string& out) {
  out.clear();
  std::vector<unsigned char> decoded(in.size() + 1, 0);
  std::vector<unsigned char> plain(in.size() + 1, 0);
  size_t n = decoded.size();
  if (!EncBase64Dec(in.data(), in.size(), decoded.data(), n)) return;
  Crypt(decoded.data(), plain.data(), n, BF_DECRYPT);
  plain[n] = 0;
  out = reinterpret_cast<const char*>(plain.data());
}
