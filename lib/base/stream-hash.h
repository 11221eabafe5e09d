// A fast, non-cryptographic 64-bit digest of a byte stream. It tells
// whether a file still holds the bytes read from it a moment ago (a write
// racing a read, not a forgery) at several GB/s, where the protocol's
// checksum manages about one. Never stored or sent: only two digests taken
// by the same build are ever compared.
#pragma once

#include <cstddef>
#include <cstdint>

class StreamHash {
 public:
  StreamHash();
  // Feeds `len` more bytes; chunks may have any size.
  void Update(const void* data, size_t len);
  // The digest of everything fed so far (more may be fed afterwards).
  uint64_t Final() const;

 private:
  void Stripe(const unsigned char* p);

  uint64_t m_lanes[4];
  unsigned char m_buf[32];  // a partial stripe
  size_t m_buffered = 0;
  uint64_t m_total = 0;
};
