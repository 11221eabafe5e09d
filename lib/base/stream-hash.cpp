#include "lib/base/stream-hash.h"

#include <cstring>

// Four independent multiply-rotate lanes over 32-byte stripes, then a
// merge, the tail and a final avalanche. Loads are little-endian (the
// digest is only compared within one process).
namespace {

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5ULL;

inline uint64_t Rotl(uint64_t x, int r) {
  return (x << r) | (x >> (64 - r));
}

inline uint64_t Load64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, sizeof(v));
  return v;
}

inline uint32_t Load32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, sizeof(v));
  return v;
}

inline uint64_t Round(uint64_t acc, uint64_t input) {
  acc += input * kP2;
  acc = Rotl(acc, 31);
  return acc * kP1;
}

inline uint64_t Merge(uint64_t acc, uint64_t lane) {
  acc ^= Round(0, lane);
  return acc * kP1 + kP4;
}

}  // namespace

StreamHash::StreamHash() : m_lanes{kP1 + kP2, kP2, 0, 0 - kP1} {}

void StreamHash::Stripe(const unsigned char* p) {
  m_lanes[0] = Round(m_lanes[0], Load64(p));
  m_lanes[1] = Round(m_lanes[1], Load64(p + 8));
  m_lanes[2] = Round(m_lanes[2], Load64(p + 16));
  m_lanes[3] = Round(m_lanes[3], Load64(p + 24));
}

void StreamHash::Update(const void* data, size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  m_total += len;
  if (m_buffered > 0) {
    const size_t take = len < sizeof(m_buf) - m_buffered ? len : sizeof(m_buf) - m_buffered;
    memcpy(m_buf + m_buffered, p, take);
    m_buffered += take;
    p += take;
    len -= take;
    if (m_buffered < sizeof(m_buf)) return;
    Stripe(m_buf);
    m_buffered = 0;
  }
  for (; len >= sizeof(m_buf); p += sizeof(m_buf), len -= sizeof(m_buf)) Stripe(p);
  if (len > 0) {
    memcpy(m_buf, p, len);
    m_buffered = len;
  }
}

uint64_t StreamHash::Final() const {
  uint64_t h;
  if (m_total >= sizeof(m_buf)) {
    h = Rotl(m_lanes[0], 1) + Rotl(m_lanes[1], 7) + Rotl(m_lanes[2], 12) + Rotl(m_lanes[3], 18);
    for (uint64_t lane : m_lanes) h = Merge(h, lane);
  } else {
    h = kP5;
  }
  h += m_total;
  const unsigned char* p = m_buf;
  size_t len = m_buffered;
  for (; len >= 8; p += 8, len -= 8) h = Rotl(h ^ Round(0, Load64(p)), 27) * kP1 + kP4;
  if (len >= 4) {
    h = Rotl(h ^ (Load32(p) * kP1), 23) * kP2 + kP3;
    p += 4;
    len -= 4;
  }
  for (; len > 0; ++p, --len) h = Rotl(h ^ (*p * kP5), 11) * kP1;
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  h ^= h >> 32;
  return h;
}
