// Random and mutated byte streams against every reader a peer can reach.
// Run under the sanitizers, a crash, an out-of-bounds access or a leak fails
// the suite; the assertions check that nothing decoded exceeds what arrived.
#include <gtest/gtest.h>

#include <random>

#include "fakes/scripted-peer.h"
#include "fakes/test-util.h"
#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "lib/net/channel.h"
#include "lib/proto/proto-client.h"

using sftest::FaultChannel;
using sftest::Golden;

namespace {

constexpr int kIterationsPerSeed = 1500;

class Mutator {
 public:
  explicit Mutator(uint32_t seed) : m_rng(seed) {}

  std::string Mutate(std::string s) {
    const int rounds = 1 + static_cast<int>(m_rng() % 4);
    for (int r = 0; r < rounds; ++r) {
      switch (m_rng() % 7) {
        case 0:  // flip a bit
          if (!s.empty()) s[Pick(s.size())] ^= static_cast<char>(1u << (m_rng() % 8));
          break;
        case 1:  // overwrite a byte with an interesting value
          if (!s.empty()) s[Pick(s.size())] = static_cast<char>(kInteresting[m_rng() % 6]);
          break;
        case 2:  // truncate
          s.resize(Pick(s.size() + 1));
          break;
        case 3:  // insert random bytes
          s.insert(Pick(s.size() + 1), Random(1 + m_rng() % 8));
          break;
        case 4:  // delete a run
          if (!s.empty()) {
            size_t at = Pick(s.size());
            s.erase(at, 1 + m_rng() % 8);
          }
          break;
        case 5:  // duplicate a run (repeats sections)
          if (!s.empty()) {
            size_t at = Pick(s.size());
            s.insert(at, s.substr(at, 1 + m_rng() % 32));
          }
          break;
        case 6:  // a length or count field at an extreme
          if (s.size() >= 2) {
            size_t at = Pick(s.size() - 1);
            uint16_t v = kLengths[m_rng() % 5];
            s[at] = static_cast<char>(v >> 8);
            s[at + 1] = static_cast<char>(v);
          }
          break;
      }
    }
    return s;
  }

  std::string Random(size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(m_rng());
    return s;
  }

  size_t Pick(size_t n) { return n == 0 ? 0 : m_rng() % n; }
  uint32_t Next() { return m_rng(); }

 private:
  static constexpr uint8_t kInteresting[] = {0x00, 0x01, 0x7f, 0x80, 0xff, 0x20};
  static constexpr uint16_t kLengths[] = {0x0000, 0x2000, 0x2001, 0xffff, 0x0021};
  std::mt19937 m_rng;
};

// A channel fed with `bytes`, handed out in random small pieces.
std::unique_ptr<FaultChannel> Feed(Mutator& m, const std::string& bytes) {
  auto ch = std::make_unique<FaultChannel>();
  ch->Feed(bytes);
  ch->SetReadChunk(m.Next() % 3 == 0 ? 1 + m.Next() % 16 : 0);
  return ch;
}

// The smallest wire size of one pulled entry (empty path).
constexpr size_t kMinEntryBytes = 5 + 9 + 2 + 2 + 3;

class ProtoFuzzTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override { ProtoInit(3); }
  // Thousands of refused inputs are logged; keep them out of the test output.
  sftest::LogCapture m_quiet{{}};
  // Half mutated corpus entries, half pure noise (sometimes behind a valid
  // prefix so the readers get past the header).
  std::string Input(Mutator& m, const std::vector<std::string>& corpus) {
    const std::string& base = corpus[m.Pick(corpus.size())];
    switch (m.Next() % 3) {
      case 0:
        return m.Random(m.Pick(64));
      case 1:
        return base.substr(0, m.Pick(base.size() + 1)) + m.Random(m.Pick(32));
      default:
        return m.Mutate(base);
    }
  }
};

TEST_P(ProtoFuzzTest, PullResponsesNeverDecodeMoreThanArrived) {
  Mutator m(GetParam());
  const std::vector<std::string> corpus = {Golden("response_pull_two_events.hex"),
                                           Golden("response_connect_ok.hex")};
  for (int i = 0; i < kIterationsPerSeed; ++i) {
    const std::string in = Input(m, corpus);
    auto ch = Feed(m, in);
    int result = 0;
    int rc = ProtoReadResponse(*ch, SCMD_EVT_PULL, result);
    ASSERT_LE(rc, 0);
    if (rc < 0) continue;
    uint64_t to_id = 0;
    std::list<PullEntry> events;
    rc = ProtoReadEvents(*ch, to_id, events);
    ASSERT_LE(rc, 0);
    ASSERT_LE(events.size() * kMinEntryBytes, in.size());
    for (const PullEntry& e : events) {
      ASSERT_TRUE(ProtoIsSafePath(e.path));
      ASSERT_NE(e.path, L"/");
    }
  }
}

TEST_P(ProtoFuzzTest, ResponseReadersOfEveryExchangeSurviveHostileInput) {
  Mutator m(GetParam() * 7 + 1);
  const std::vector<std::string> corpus = {
      Golden("response_test_conn.hex"), Golden("response_list_views.hex"),
      Golden("response_connect_ok.hex"), Golden("response_node_create_dir.hex")};
  for (int i = 0; i < kIterationsPerSeed; ++i) {
    const std::string in = Input(m, corpus);
    {
      auto ch = Feed(m, in);
      int version = 0;
      std::wstring serial, id;
      ASSERT_LE(ProtoTestConnection(*ch, version, serial, id), 0);
      ASSERT_LE(serial.size() + id.size(), in.size());
    }
    {
      auto ch = Feed(m, in);
      std::list<View> views;
      ASSERT_LE(ProtoListViewBySession(*ch, L"s", views), 0);
      ASSERT_LE(views.size() * 17, in.size());
    }
    {
      auto ch = Feed(m, in);
      uint32_t alive = 0;
      ASSERT_LE(ProtoReadConnResponse(*ch, alive), 0);
    }
    {
      auto ch = Feed(m, in);
      ObjectInfo info;
      ASSERT_LE(ProtoDoNodeOperation(*ch, L"s", 1, SFT_DIR, FOP_CREATE, L"/d", info), 0);
      ASSERT_LE(info.path.size() + info.updator.size() + info.metadata.hash.size(), in.size());
    }
    {
      auto ch = Feed(m, in.size() > 10 ? in.substr(10) : in);
      ObjectInfo info;
      ASSERT_LE(ProtoReadObjectInfo(*ch, info), 0);
      FilterVersion fv;
      ASSERT_LE(ProtoReadFilterVersion(*ch, fv), 0);
      std::wstring session;
      ASSERT_LE(ProtoReadDecSection(*ch, SPROTO_ID_PASSWD, session), static_cast<int>(in.size()));
    }
  }
}

TEST_P(ProtoFuzzTest, FilePayloadsNeverWriteMoreThanArrived) {
  Mutator m(GetParam() * 13 + 5);
  sftest::TempDir dir;
  const std::wstring target = Utf8ToWideLossy(dir.Sub("out"));
  std::string big = sftest::Bytes()
                        .sec8(SPROTO_ID_DELTATYPE, 2)
                        .sec64(SPROTO_ID_DELTALEN, 8192 + 10)
                        .sec32(SPROTO_ID_DELTAID, 0)
                        .secvar(SPROTO_ID_DELTADATA, std::string(8192, 'b'))
                        .sec32(SPROTO_ID_DELTAID, 1)
                        .secvar(SPROTO_ID_DELTADATA, std::string(10, 'c'))
                        .str();
  const std::vector<std::string> corpus = {Golden("payload_file_hello.hex"),
                                           Golden("payload_file_empty.hex"), big};
  for (int i = 0; i < kIterationsPerSeed / 4; ++i) {
    const std::string in = Input(m, corpus);
    auto ch = Feed(m, in);
    uint8_t type = 0;
    int rc = ProtoReadFile(*ch, type, target);
    ASSERT_LE(rc, 0);
    ASSERT_LE(sftest::ReadFile(dir.Sub("out")).size(), in.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ProtoFuzzTest, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
