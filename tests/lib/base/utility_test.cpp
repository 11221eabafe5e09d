#include "lib/base/utility.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace {

std::string Enc(const std::string& in) {
  std::unique_ptr<char[]> b(
      SzBase64EncBuffer(reinterpret_cast<const unsigned char*>(in.data()), in.size()));
  return b.get();
}

bool Dec(const std::string& in, std::string& out, size_t cap = 64) {
  std::string buf(cap, '\0');
  size_t n = cap;
  bool ok = EncBase64Dec(in.data(), in.size(), reinterpret_cast<unsigned char*>(&buf[0]), n);
  out.assign(buf.data(), n);
  return ok;
}

TEST(Utf8ConversionTest, RoundTripsAllPlanes) {
  const std::wstring w = L"a\u00e9\u20ac\U0001F600/\u6587";
  std::string u;
  ASSERT_EQ(NativeStrToUTF8(w, u), 0);
  EXPECT_EQ(u, "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80/\xe6\x96\x87");
  std::wstring back;
  ASSERT_EQ(UTF8ToNativeStr(u, back), 0);
  EXPECT_EQ(back, w);
}

TEST(Utf8ConversionTest, InvalidInputFailsAndLeavesOutputUnchanged) {
  const char* bad[] = {
      "\xff",              // not a lead byte
      "\xc3",              // truncated
      "\xc0\xaf",          // overlong "/"
      "\xe0\x80\xaf",      // overlong
      "\xed\xa0\x80",      // surrogate
      "\xf4\x90\x80\x80",  // above U+10FFFF
      "ok\xe2\x82",        // truncated at the end
  };
  for (const char* b : bad) {
    std::wstring out = L"keep";
    EXPECT_EQ(UTF8ToNativeStr(b, out), -1) << b;
    EXPECT_EQ(out, L"keep");
  }
  std::string narrow = "keep";
  EXPECT_EQ(NativeStrToUTF8(std::wstring(1, static_cast<wchar_t>(0xD800)), narrow), -1);
  EXPECT_EQ(NativeStrToUTF8(std::wstring(1, static_cast<wchar_t>(0x110000)), narrow), -1);
  EXPECT_EQ(narrow, "keep");
}

TEST(Utf8ConversionTest, EmptyInputGivesEmptyOutput) {
  std::wstring w = L"x";
  EXPECT_EQ(UTF8ToNativeStr("", w), 0);
  EXPECT_TRUE(w.empty());
  std::string s = "x";
  EXPECT_EQ(NativeStrToUTF8(L"", s), 0);
  EXPECT_TRUE(s.empty());
}

TEST(Utf8ConversionTest, LimitIncludesTerminator) {
  std::wstring w;
  EXPECT_EQ(UTF8ToNativeStr(std::string(kConvertLimit - 1, 'a'), w), 0);
  EXPECT_EQ(UTF8ToNativeStr(std::string(kConvertLimit, 'a'), w), -1);
  std::string s;
  EXPECT_EQ(NativeStrToUTF8(std::wstring(kConvertLimit - 1, L'a'), s), 0);
  EXPECT_EQ(NativeStrToUTF8(std::wstring(kConvertLimit, L'a'), s), -1);
}

TEST(CodePageConversionTest, FollowsTheLocaleCharset) {
  // The test runs in the "C" locale unless the environment says otherwise;
  // ASCII converts in every character set.
  std::wstring w;
  ASSERT_EQ(CodePageToNativeStr("/tmp/client.conf", w), 0);
  EXPECT_EQ(w, L"/tmp/client.conf");
  std::string s;
  ASSERT_EQ(NativeStrToCodePage(L"abc", s), 0);
  EXPECT_EQ(s, "abc");
}

TEST(LossyConversionTest, ReplacesInvalidSequences) {
  EXPECT_EQ(Utf8ToWideLossy("a\xff"
                            "b"),
            L"a\uFFFDb");
  EXPECT_EQ(WideToUtf8Lossy(std::wstring(L"x") + static_cast<wchar_t>(0xDC00)), "x\xef\xbf\xbd");
}

TEST(ParseDecimalTest, AcceptsOnlyWholeDigitStringsWithinTheBound) {
  constexpr uint64_t kU64Max = UINT64_MAX;
  struct Case {
    const char* text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", 10, true, 0},
      {"007", 10, true, 7},
      {"65535", 65535, true, 65535},
      {"65536", 65535, false, 0},
      {"9", 5, false, 0},  // a single digit above a small bound
      {"18446744073709551615", kU64Max, true, kU64Max},
      {"18446744073709551616", kU64Max, false, 0},  // one past 64 bits
      {"99999999999999999999", kU64Max, false, 0},  // wraps modulo 2^64 if unchecked
      {"", kU64Max, false, 0},
      {"-1", kU64Max, false, 0},
      {"+1", kU64Max, false, 0},
      {" 1", kU64Max, false, 0},
      {"1 ", kU64Max, false, 0},
      {" -5", kU64Max, false, 0},
      {"12x", kU64Max, false, 0},
      {"0x10", kU64Max, false, 0},
      {"1e3", kU64Max, false, 0},
  };
  for (const Case& c : cases) {
    uint64_t out = 4242;
    EXPECT_EQ(ParseDecimal(c.text, c.max, out), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(out, c.ok ? c.value : 4242) << '"' << c.text << '"';
  }
  uint64_t out = 0;
  EXPECT_TRUE(ParseDecimal(L"36500", 36500, out));
  EXPECT_EQ(out, 36500u);
  EXPECT_FALSE(ParseDecimal(L"\u0661", 9, out));                       // a digit of another script
  EXPECT_FALSE(ParseDecimal(std::string_view("1\0002", 3), 99, out));  // an embedded NUL
}

TEST(Base64Test, KnownVectors) {
  EXPECT_EQ(Enc(""), "");
  EXPECT_EQ(Enc("a"), "YQ==");
  EXPECT_EQ(Enc("ab"), "YWI=");
  EXPECT_EQ(Enc("abc"), "YWJj");
  EXPECT_EQ(Enc("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Enc(std::string("\0\xff\xfe", 3)), "AP/+");
}

TEST(Base64Test, EncodingStopsWhenTheBufferIsFull) {
  EXPECT_EQ(Enc(std::string(2301, 'x')).size(), 3068u);
  EXPECT_EQ(Enc(std::string(5000, 'x')).size(), 3068u);
}

TEST(Base64Test, OneLineStopsAtZeroByte) {
  const unsigned char in[] = {'a', 'b', 'c', 0, 'd'};
  std::unique_ptr<char[]> b(SzBase64EncOneLine(in, sizeof(in)));
  EXPECT_STREQ(b.get(), "YWJj");
}

TEST(Base64Test, DecodeVectorsAndErrors) {
  std::string out;
  EXPECT_TRUE(Dec("YWJj", out));
  EXPECT_EQ(out, "abc");
  EXPECT_TRUE(Dec("YWI=", out));
  EXPECT_EQ(out, "ab");
  EXPECT_TRUE(Dec("YWI=garbage!", out));  // decoding ends at the first '='
  EXPECT_EQ(out, "ab");
  EXPECT_TRUE(Dec("", out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(Dec("Y", out));        // exactly one character
  EXPECT_FALSE(Dec("YW J", out));     // outside the alphabet
  EXPECT_FALSE(Dec("YWJj", out, 2));  // capacity exhausted
  size_t n = 4;
  EXPECT_FALSE(EncBase64Dec(nullptr, 4, reinterpret_cast<unsigned char*>(&out[0]), n));
}

TEST(SyncPassTest, RoundTripsAndKeepsLength) {
  std::mt19937 rng(7);
  for (int len = 1; len < 80; ++len) {
    std::string p;
    for (int i = 0; i < len; ++i) p.push_back(static_cast<char>(1 + rng() % 255));
    std::string enc, dec;
    SyncPassEnc(p, enc);
    // CFB needs no padding: the cipher text has the password's length.
    EXPECT_EQ(enc.size(), Enc(std::string(len, 'x')).size());
    SyncPassDec(enc, dec);
    EXPECT_EQ(dec, p);
  }
}

TEST(SyncPassTest, TextLongerThanTheEncoderBufferIsNotCutOff) {
  // The Base64 buffer holds 2301 input bytes; longer text must still round
  // trip instead of silently losing its tail.
  for (size_t len : {2300u, 2301u, 2302u, 5000u}) {
    std::string p;
    for (size_t i = 0; i < len; ++i) p.push_back(static_cast<char>('a' + i % 26));
    std::string enc, dec;
    SyncPassEnc(p, enc);
    EXPECT_EQ(enc.size(), (len + 2) / 3 * 4) << len;
    SyncPassDec(enc, dec);
    EXPECT_EQ(dec, p) << len;
  }
}

TEST(SyncPassTest, EmptyAndUndecodableInput) {
  std::string out = "x";
  SyncPassEnc("", out);
  EXPECT_EQ(out, "");
  out = "x";
  SyncPassDec("not base64!", out);
  EXPECT_EQ(out, "");
}

TEST(SyncPassTest, KnownCipherTextIsStable) {
  // The encoded form is shared with the user interface and the server; a
  // change of key or mode must not go unnoticed.
  std::string enc;
  SyncPassEnc("secret", enc);
  std::string dec;
  SyncPassDec(enc, dec);
  EXPECT_EQ(dec, "secret");
  EXPECT_EQ(enc, "DVXEDU0v");
}

TEST(SyncPassTest, DecodedTextEndsAtFirstZeroByte) {
  std::string enc, dec;
  SyncPassEnc(std::string("ab\0cd", 5), enc);
  SyncPassDec(enc, dec);
  EXPECT_EQ(dec, "ab");
}

}  // namespace
