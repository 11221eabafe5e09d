// Big-endian integers in byte buffers, as the wire formats and the stored
// blobs spell them. The caller has checked that the bytes are there.
// Thread-safe (pure functions).
#pragma once

#include <cstddef>
#include <cstdint>

// The `n` bytes at `p` (at most 8) as a big-endian unsigned number.
inline uint64_t LoadBigEndian(const void* p, size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | b[i];
  return v;
}

// The low `n` bytes of `v` (at most 8) into `p`, most significant first.
inline void StoreBigEndian(uint64_t v, void* p, size_t n) {
  auto* b = static_cast<unsigned char*>(p);
  for (size_t i = n; i > 0; --i) {
    b[i - 1] = static_cast<unsigned char>(v & 0xff);
    v >>= 8;
  }
}

inline uint16_t LoadBe16(const void* p) {
  return static_cast<uint16_t>(LoadBigEndian(p, 2));
}
inline uint32_t LoadBe32(const void* p) {
  return static_cast<uint32_t>(LoadBigEndian(p, 4));
}
