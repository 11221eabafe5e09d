// Checks the delta wrapper against the rdiff tool (same library, independent
// driver): signatures and deltas must be byte-identical to rdiff's in the MD4
// format, and each side must apply the other's deltas.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fakes/test-util.h"
#include "lib/base/utility.h"
#include "rsapi/rs-api.h"

namespace {

using sftest::PathExists;
using sftest::ReadFile;
using sftest::TempDir;
using sftest::WriteFile;

using sftest::W;

// Runs rdiff with the fixed signature parameters; true on exit status 0.
// Each argument is quoted for the shell: $TMPDIR may hold spaces.
bool Rdiff(const std::vector<std::string>& args) {
  std::string cmd = "rdiff -f -H md4 -R rollsum -b 2048 -S 8";
  for (const std::string& a : args) {
    cmd += " '";
    for (char c : a) cmd += c == '\'' ? std::string("'\\''") : std::string(1, c);
    cmd += "'";
  }
  cmd += " 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

// MD4 through OpenSSL's EVP interface (legacy provider), a path independent of
// the streaming loop under test.
std::string EvpMd4Hex(const std::string& data) {
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(ctx, "legacy");
  EVP_MD* md = EVP_MD_fetch(ctx, "MD4", nullptr);
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (md) EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
  EVP_MD_free(md);
  if (legacy) OSSL_PROVIDER_unload(legacy);
  OSSL_LIB_CTX_free(ctx);
  if (len == 0) return "no-md4";
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned i = 0; i < len; ++i) {
    s.push_back(hex[out[i] >> 4]);
    s.push_back(hex[out[i] & 15]);
  }
  return s;
}

class RsApiTest : public ::testing::Test {
 protected:
  std::string P(const std::string& name) const { return dir.Sub(name); }
  TempDir dir;
};

TEST_F(RsApiTest, ChecksumMatchesPublishedMd4Vectors) {
  const std::pair<std::string, std::wstring> vectors[] = {
      {"", L"31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", L"bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", L"a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", L"d9130a8164549fe818874806e1c7014b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       L"e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  for (const auto& v : vectors) {
    WriteFile(P("f"), v.first);
    std::wstring hash = L"unchanged";
    ASSERT_EQ(RSCalcMD4Text(W(P("f")), hash), 0);
    EXPECT_EQ(hash, v.second) << "input '" << v.first << "'";
  }
}

TEST_F(RsApiTest, ChecksumCoversEveryChunkOfALargeFile) {
  // Sizes around the 4096-byte read chunk catch a dropped or repeated tail.
  for (size_t size : {4095u, 4096u, 4097u, 8192u, 100000u}) {
    std::string data = RandomBytes(size, static_cast<unsigned>(size));
    WriteFile(P("big"), data);
    std::wstring hash;
    ASSERT_EQ(RSCalcMD4Text(W(P("big")), hash), 0);
    EXPECT_EQ(WideToUtf8Lossy(hash), EvpMd4Hex(data)) << "size " << size;
  }
}

TEST_F(RsApiTest, IncrementalDigestGivesWhatTheFileFormGives) {
  // Pieces that split blocks anywhere, sizes around a block and the read
  // chunk: the streamed digest must equal the file form.
  for (size_t size : {0u, 1u, 2047u, 2048u, 2049u, 65535u, 65536u, 300001u}) {
    const std::string data = RandomBytes(size, static_cast<unsigned>(size) + 7);
    WriteFile(P("in"), data);
    RSDigest digest;
    std::mt19937 gen(static_cast<unsigned>(size));
    for (size_t at = 0; at < size;) {
      const size_t n = std::min<size_t>(size - at, 1 + gen() % 9000);
      digest.Update(data.data() + at, n);
      at += n;
    }
    unsigned char raw[kMD4DigestLen];
    digest.Final(raw);
    std::wstring whole;
    ASSERT_EQ(RSCalcMD4Text(W(P("in")), whole), 0);
    EXPECT_EQ(RSDigestToText(raw), whole) << "size " << size;
  }
}

TEST_F(RsApiTest, ChecksumTextIsLowercaseHexHighNibbleFirst) {
  unsigned char digest[kMD4DigestLen];
  for (size_t i = 0; i < kMD4DigestLen; ++i) digest[i] = static_cast<unsigned char>(i * 17 + 10);
  EXPECT_EQ(RSDigestToText(digest), L"0a1b2c3d4e5f708192a3b4c5d6e7f809");
}

TEST_F(RsApiTest, MissingInputFailsWithoutCreatingOutputs) {
  const std::wstring missing = W(P("missing"));
  unsigned char digest[kMD4DigestLen];
  EXPECT_EQ(RSCalcMD4(missing, digest), -1);
  std::wstring hash = L"kept";
  EXPECT_EQ(RSCalcMD4Text(missing, hash), -1);
  EXPECT_EQ(hash, L"kept");

  WriteFile(P("present"), "data");
  EXPECT_EQ(RSCalcSign(missing, W(P("out1"))), -1);
  EXPECT_EQ(RSCalcDelta(missing, W(P("present")), W(P("out2"))), -1);
  EXPECT_EQ(RSCalcDelta(W(P("present")), missing, W(P("out3"))), -1);
  EXPECT_EQ(RSPatchFile(missing, W(P("present")), W(P("out4"))), -1);
  EXPECT_EQ(RSPatchFile(W(P("present")), missing, W(P("out5"))), -1);
  for (const char* out : {"out1", "out2", "out3", "out4", "out5"}) {
    EXPECT_FALSE(PathExists(P(out))) << out;
  }
}

TEST_F(RsApiTest, SignatureIsByteIdenticalToRdiffMd4Format) {
  for (size_t size : {0u, 1u, 2047u, 2048u, 2049u, 50000u}) {
    WriteFile(P("basis"), RandomBytes(size, 7 + static_cast<unsigned>(size)));
    ASSERT_EQ(RSCalcSign(W(P("basis")), W(P("ours.sig"))), 0);
    ASSERT_TRUE(Rdiff({"signature", P("basis"), P("theirs.sig")}));
    std::string ours = ReadFile(P("ours.sig"));
    EXPECT_EQ(ours, ReadFile(P("theirs.sig"))) << "size " << size;
    // Header: MD4 magic, block length 2048, strong sum 8; then 12 bytes per block.
    ASSERT_GE(ours.size(), 12u);
    EXPECT_EQ(ours.substr(0, 12), std::string("rs\x01\x36\0\0\x08\0\0\0\0\x08", 12));
    EXPECT_EQ(ours.size(), 12 + 12 * ((size + 2047) / 2048));
  }
}

TEST_F(RsApiTest, DeltaMatchesRdiffAndRoundTripsBothWays) {
  std::string base = RandomBytes(30000, 1);
  std::string changed = base.substr(0, 9000) + "inserted text" + base.substr(12000) + "tail";
  WriteFile(P("basis"), base);
  WriteFile(P("new"), changed);
  ASSERT_EQ(RSCalcSign(W(P("basis")), W(P("sig"))), 0);
  ASSERT_EQ(RSCalcDelta(W(P("sig")), W(P("new")), W(P("ours.delta"))), 0);
  ASSERT_TRUE(Rdiff({"delta", P("sig"), P("new"), P("theirs.delta")}));
  EXPECT_EQ(ReadFile(P("ours.delta")), ReadFile(P("theirs.delta")));
  // The delta reuses most of the basis instead of carrying it.
  EXPECT_LT(ReadFile(P("ours.delta")).size(), 6000u);

  ASSERT_TRUE(Rdiff({"patch", P("basis"), P("ours.delta"), P("by-rdiff")}));
  EXPECT_EQ(ReadFile(P("by-rdiff")), changed);
  // The digest taken as the result is written is the result's checksum.
  RSDigest digest;
  ASSERT_EQ(RSPatchFile(W(P("basis")), W(P("theirs.delta")), W(P("by-us")), kRSNoLimit, &digest),
            0);
  EXPECT_EQ(ReadFile(P("by-us")), changed);
  unsigned char raw[kMD4DigestLen];
  digest.Final(raw);
  EXPECT_EQ(WideToUtf8Lossy(RSDigestToText(raw)), EvpMd4Hex(changed));
}

// The push forms, fed in chunks of any size, and a signature put together
// from the old one and a delta, must equal the file forms byte for byte over
// every kind of edit: aligned and unaligned, growing, shrinking, emptied.
TEST_F(RsApiTest, StreamedFormsAndSignatureFromDeltaEqualTheFileForms) {
  std::mt19937 gen(7);
  const size_t kB = kRSBlockLen;
  auto feed = [&](auto&& sink, const std::string& data) {
    for (size_t at = 0; at < data.size();) {
      const size_t n = std::min<size_t>(data.size() - at, 1 + gen() % 5000);
      ASSERT_EQ(sink(data.data() + at, n), 0);
      at += n;
    }
  };
  for (int round = 0; round < 48; ++round) {
    const std::string base = RandomBytes(gen() % 12 == 0 ? 0 : gen() % (24 * kB), round);
    std::string changed = base;
    const size_t at = changed.empty() ? 0 : gen() % changed.size();
    const size_t aligned = at / kB * kB;
    switch (round % 8) {
      case 0:
        changed.replace(aligned, kB, RandomBytes(kB, 100 + round));
        break;
      case 1:
        changed.replace(at, 300, RandomBytes(300, 100 + round));
        break;
      case 2:
        changed.insert(at, RandomBytes(1 + gen() % 3000, 100 + round));
        break;
      case 3:
        changed.erase(at, gen() % 5000);
        break;
      case 4:
        changed += RandomBytes(gen() % 5000, 100 + round);
        break;
      case 5:
        changed.resize(at);
        break;
      case 6:
        changed = changed.substr(aligned) + changed.substr(0, aligned);
        break;
      case 7:
        changed = RandomBytes(gen() % 3 == 0 ? 0 : gen() % 9000, 100 + round);
        break;
    }
    SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(base.size()) + " -> " +
                 std::to_string(changed.size()));
    WriteFile(P("base"), base);
    WriteFile(P("new"), changed);
    ASSERT_EQ(RSCalcSign(W(P("base")), W(P("base.sig"))), 0);
    ASSERT_EQ(RSCalcSign(W(P("new")), W(P("new.sig"))), 0);
    ASSERT_EQ(RSCalcDelta(W(P("base.sig")), W(P("new")), W(P("file.delta"))), 0);

    auto delta = RSStreamWriter::Delta(W(P("base.sig")), W(P("push.delta")));
    ASSERT_TRUE(delta);
    feed([&](const char* d, size_t n) { return delta->Write(d, n); }, changed);
    ASSERT_EQ(delta->Finish(), 0);
    EXPECT_EQ(ReadFile(P("push.delta")), ReadFile(P("file.delta")));

    auto sign = RSStreamWriter::Sign(W(P("push.sig")));
    ASSERT_TRUE(sign);
    feed([&](const char* d, size_t n) { return sign->Write(d, n); }, changed);
    ASSERT_EQ(sign->Finish(), 0);
    EXPECT_EQ(ReadFile(P("push.sig")), ReadFile(P("new.sig")));

    auto derived = RSSignFromDelta::Make(W(P("base.sig")), W(P("file.delta")), changed.size());
    ASSERT_TRUE(derived);
    feed([&](const char* d, size_t n) { return derived->Feed(d, n); }, changed);
    ASSERT_EQ(derived->Write(W(P("derived.sig"))), 0);
    EXPECT_EQ(ReadFile(P("derived.sig")), ReadFile(P("new.sig")));
    // A block overwritten in place is the only one signed again, besides a
    // short last block (whose old length the signature does not tell).
    if (round % 8 == 0 && base.size() >= aligned + 2 * kB) {
      EXPECT_EQ(derived->ComputedBlocks(), changed.size() % kB == 0 ? 1u : 2u);
    }
  }

  // Content of another length than the delta makes, or a delta that is not
  // one, gives no signature.
  WriteFile(P("new"), RandomBytes(5 * kB, 1));
  ASSERT_EQ(RSCalcDelta(W(P("base.sig")), W(P("new")), W(P("file.delta"))), 0);
  auto short_fed = RSSignFromDelta::Make(W(P("base.sig")), W(P("file.delta")), 5 * kB);
  ASSERT_TRUE(short_fed);
  ASSERT_EQ(short_fed->Feed(ReadFile(P("new")).data(), 4 * kB), 0);
  EXPECT_EQ(short_fed->Write(W(P("short.sig"))), -1);
  EXPECT_FALSE(RSSignFromDelta::Make(W(P("base.sig")), W(P("file.delta")), 6 * kB));
  EXPECT_FALSE(RSSignFromDelta::Make(W(P("base.sig")), W(P("base.sig")), 5 * kB));
  EXPECT_FALSE(RSSignFromDelta::Make(W(P("file.delta")), W(P("file.delta")), 5 * kB));
}

TEST_F(RsApiTest, EmptyFilesOnEitherSideRoundTrip) {
  WriteFile(P("empty"), "");
  WriteFile(P("full"), RandomBytes(5000, 3));
  ASSERT_EQ(RSCalcSign(W(P("empty")), W(P("empty.sig"))), 0);
  ASSERT_EQ(RSCalcDelta(W(P("empty.sig")), W(P("full")), W(P("d1"))), 0);
  ASSERT_EQ(RSPatchFile(W(P("empty")), W(P("d1")), W(P("out1"))), 0);
  EXPECT_EQ(ReadFile(P("out1")), ReadFile(P("full")));

  ASSERT_EQ(RSCalcSign(W(P("full")), W(P("full.sig"))), 0);
  ASSERT_EQ(RSCalcDelta(W(P("full.sig")), W(P("empty")), W(P("d2"))), 0);
  ASSERT_EQ(RSPatchFile(W(P("full")), W(P("d2")), W(P("out2"))), 0);
  EXPECT_EQ(ReadFile(P("out2")), "");
}

TEST_F(RsApiTest, MalformedSignatureAndDeltaAreRefused) {
  WriteFile(P("basis"), RandomBytes(10000, 5));
  WriteFile(P("new"), RandomBytes(10000, 6));
  WriteFile(P("garbage"), "this is not a signature or a delta at all");
  EXPECT_EQ(RSCalcDelta(W(P("garbage")), W(P("new")), W(P("d"))), -1);
  EXPECT_EQ(RSPatchFile(W(P("basis")), W(P("garbage")), W(P("out"))), -1);

  // A delta cut short in the middle of its literal data.
  ASSERT_EQ(RSCalcSign(W(P("basis")), W(P("sig"))), 0);
  ASSERT_EQ(RSCalcDelta(W(P("sig")), W(P("new")), W(P("delta"))), 0);
  std::string delta = ReadFile(P("delta"));
  WriteFile(P("short.delta"), delta.substr(0, delta.size() / 2));
  EXPECT_EQ(RSPatchFile(W(P("basis")), W(P("short.delta")), W(P("out2"))), -1);

  // A signature cut inside a block record.
  std::string sig = ReadFile(P("sig"));
  WriteFile(P("short.sig"), sig.substr(0, sig.size() - 5));
  EXPECT_EQ(RSCalcDelta(W(P("short.sig")), W(P("new")), W(P("d2"))), -1);
}

TEST_F(RsApiTest, PatchRefusesOutputBeyondTheGivenBound) {
  std::string base = RandomBytes(20000, 9);
  WriteFile(P("basis"), base);
  WriteFile(P("new"), base + base + base);  // 60000 bytes made of copies
  ASSERT_EQ(RSCalcSign(W(P("basis")), W(P("sig"))), 0);
  ASSERT_EQ(RSCalcDelta(W(P("sig")), W(P("new")), W(P("delta"))), 0);
  EXPECT_EQ(RSPatchFile(W(P("basis")), W(P("delta")), W(P("out")), 59999), -1);
  ASSERT_EQ(RSPatchFile(W(P("basis")), W(P("delta")), W(P("out")), 60000), 0);
  EXPECT_EQ(ReadFile(P("out")), base + base + base);
}

}  // namespace
