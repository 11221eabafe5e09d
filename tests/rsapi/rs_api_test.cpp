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
