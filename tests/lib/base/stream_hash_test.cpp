#include "lib/base/stream-hash.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

namespace {

uint64_t HashInChunks(const std::string& s, std::mt19937& gen) {
  StreamHash h;
  for (size_t at = 0; at < s.size();) {
    const size_t n = std::min<size_t>(s.size() - at, gen() % 70);
    h.Update(s.data() + at, n);
    at += n;
  }
  return h.Final();
}

// The end check of a delta upload rests on this: however the reads split
// the file, the same bytes give the same digest, and a single changed,
// added or dropped byte anywhere (a stripe, the tail, the last byte) gives
// another.
TEST(StreamHashTest, ChunkingIsInvisibleAndEveryByteCounts) {
  std::mt19937 gen(11);
  for (size_t size : {0u, 1u, 7u, 8u, 31u, 32u, 33u, 100u, 1000u}) {
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    StreamHash whole;
    whole.Update(s.data(), s.size());
    const uint64_t expected = whole.Final();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(HashInChunks(s, gen), expected) << size;

    std::set<uint64_t> seen{expected};
    for (size_t at = 0; at < size; ++at) {
      std::string t = s;
      t[at] = static_cast<char>(t[at] ^ (1 << (at % 8)));
      EXPECT_TRUE(seen.insert(HashInChunks(t, gen)).second) << size << " flip at " << at;
    }
    EXPECT_TRUE(seen.insert(HashInChunks(s + '\0', gen)).second) << size;
    if (size > 0) {
      EXPECT_TRUE(seen.insert(HashInChunks(s.substr(1), gen)).second) << size;
    }
  }
  // Zeros of different lengths differ (the length is part of the digest).
  StreamHash a, b;
  a.Update(std::string(64, '\0').data(), 64);
  b.Update(std::string(96, '\0').data(), 96);
  EXPECT_NE(a.Final(), b.Final());
}

}  // namespace
