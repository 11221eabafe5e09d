// The relay's authentication token and its small crypto helpers.
//
// A token is the text "host:port" with its terminating zero byte, encrypted
// into this layout (integers big-endian) and Base64-encoded on one line:
//
//   0  2  0xFFFF (format magic)       14  2  random
//   2  2  1 (format version)          16  4  random
//   4  4  random                      20  4  ciphertext length n
//   8  2  random                      24  n  ciphertext
//  10  4  key seed (random)         24+n  2  random
//
// The ciphertext is Triple-DES EDE3-CBC with standard padding, under a fixed
// IV and a key derived from the seed: seed * factor + offset (32-bit,
// wrapping), written big-endian, then SHA-1 of those 4 bytes followed by
// their MD5 (36 bytes, of which the cipher takes the first 24). The IV, the
// factor and the offset are shared with the relay; they are defined once, in
// relay-token.cpp, and listed in README.md.
//
// Every function returns a byte count (or 0 for ValidateFormat) and -1 on
// failure; none writes past `out_size`. Thread-safe.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t ZENTCryptoEncryptOverheadSize = 26;
// The largest token for m plaintext bytes (padding adds at most one block).
constexpr size_t ZENTCryptoEncryptLength(size_t m) {
  return m + ZENTCryptoEncryptOverheadSize + 8;
}
// Bytes of key material ZENTCryptoGenerateKey makes (SHA-1 + MD5).
constexpr size_t kRelayKeyMaterial = 36;
// Largest token text the relay hand-shake carries.
constexpr size_t kRelayTokenTextMax = 1024;

// One-shot digest of `data`; the digest's length.
[[nodiscard]] int ZENTCryptoDigestUpdate(const EVP_MD* digest, unsigned char* out, size_t out_size,
                                         const unsigned char* data, size_t length);
// One-shot EDE3-CBC with the fixed IV; `key` holds at least 24 bytes.
[[nodiscard]] int ZENTCrypto3DESEncryptUpdate(const unsigned char* key, unsigned char* out,
                                              size_t out_size, const unsigned char* data,
                                              size_t length);
[[nodiscard]] int ZENTCrypto3DESDecryptUpdate(const unsigned char* key, unsigned char* out,
                                              size_t out_size, const unsigned char* data,
                                              size_t length);
// Key material from the 4-byte seed; kRelayKeyMaterial.
[[nodiscard]] int ZENTCryptoGenerateKey(unsigned char* out, size_t size,
                                        const unsigned char seed[4]);
// The token layout above for `data`; its length (26 + n).
[[nodiscard]] int ZENTCryptoEncrypt(unsigned char* out, size_t out_size, const unsigned char* data,
                                    size_t length);
// 0 when the layout is plausible: more than 26 bytes, the magic, version at
// most 1, and the announced ciphertext inside the token; else -1.
[[nodiscard]] int ZENTCryptoValidateFormat(const unsigned char* token, size_t length);
// The plaintext of a token.
[[nodiscard]] int ZENTCryptoDecrypt(unsigned char* out, size_t out_size, const unsigned char* token,
                                    size_t length);
// Base64 without line breaks, zero-terminated; the text length.
[[nodiscard]] int ZENTCryptoBase64Encode(char* out, size_t out_size, const unsigned char* data,
                                         size_t length);
// Decodes Base64 text (no white space); the byte count.
[[nodiscard]] int ZENTCryptoBase64Decode(unsigned char* out, size_t out_size, const char* text,
                                         size_t length);

// The X-AuthToken text for a target; empty on failure.
std::string MakeRelayToken(const std::string& host, int port);
// The relay's check: true when `text` decodes and decrypts to "host:port"
// with its terminating zero byte.
bool RelayTokenMatches(const std::string& text, const std::string& host, int port);
