#include "lib/base/utility.h"

#include <climits>
#include <cwchar>
#include <type_traits>
#include <utility>

// Decodes one UTF-8 sequence starting at s[i]. Returns the code point and
// advances i, or returns -1 for an invalid, overlong or truncated sequence.
long DecodeUtf8(const std::string& s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra;
  unsigned long cp;
  unsigned long min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return -1;
  }
  if (i + extra >= s.size()) return -1;  // truncated
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  i += extra + 1;
  return static_cast<long>(cp);
}

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

namespace {

bool ValidCodePoint(unsigned long cp) {
  return cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

}  // namespace

int UTF8ToNativeStr(const std::string& in, std::wstring& out) {
  if (in.empty()) {
    out.clear();
    return 0;
  }
  std::wstring w;
  w.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    long cp = DecodeUtf8(in, i);
    if (cp < 0) return -1;
    w.push_back(static_cast<wchar_t>(cp));
    if (w.size() >= kConvertLimit) return -1;
  }
  out.swap(w);
  return 0;
}

int NativeStrToUTF8(const std::wstring& in, std::string& out) {
  if (in.empty()) {
    out.clear();
    return 0;
  }
  std::string s;
  s.reserve(in.size());
  for (wchar_t wc : in) {
    auto cp = static_cast<unsigned long>(static_cast<std::make_unsigned_t<wchar_t>>(wc));
    if (!ValidCodePoint(cp)) return -1;
    AppendUtf8(s, cp);
    if (s.size() >= kConvertLimit) return -1;
  }
  out.swap(s);
  return 0;
}

int CodePageToNativeStr(const std::string& in, std::wstring& out) {
  if (in.empty()) {
    out.clear();
    return 0;
  }
  std::mbstate_t st{};
  const char* src = in.c_str();
  std::wstring w;
  const char* p = src;
  const char* end = src + in.size();
  while (p < end) {
    wchar_t wc;
    // With a conversion state of its own it shares nothing with other threads.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    size_t n = std::mbrtowc(&wc, p, static_cast<size_t>(end - p), &st);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) return -1;
    if (n == 0) break;  // embedded NUL ends the text, as a C string would
    w.push_back(wc);
    if (w.size() >= kConvertLimit) return -1;
    p += n;
  }
  out.swap(w);
  return 0;
}

int NativeStrToCodePage(const std::wstring& in, std::string& out) {
  if (in.empty()) {
    out.clear();
    return 0;
  }
  std::mbstate_t st{};
  std::string s;
  char buf[MB_LEN_MAX];
  for (wchar_t wc : in) {
    size_t n = std::wcrtomb(buf, wc, &st);  // NOLINT(concurrency-mt-unsafe): as above
    if (n == static_cast<size_t>(-1)) return -1;
    s.append(buf, n);
    if (s.size() >= kConvertLimit) return -1;
  }
  out.swap(s);
  return 0;
}

std::wstring Utf8ToWideLossy(const std::string& in) {
  std::wstring w;
  w.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    long cp = DecodeUtf8(in, i);
    if (cp < 0) {
      w.push_back(L'\xFFFD');
      ++i;
    } else {
      w.push_back(static_cast<wchar_t>(cp));
    }
  }
  return w;
}

std::string WideToUtf8Lossy(const std::wstring& in) {
  std::string s;
  s.reserve(in.size());
  for (wchar_t wc : in) {
    auto cp = static_cast<unsigned long>(static_cast<std::make_unsigned_t<wchar_t>>(wc));
    AppendUtf8(s, ValidCodePoint(cp) ? cp : 0xFFFD);
  }
  return s;
}

namespace {

template <typename Str>
Str StripTrailingSlashes(Str path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string WithoutTrailingSlashes(std::string path) {
  return StripTrailingSlashes(std::move(path));
}

std::wstring WithoutTrailingSlashes(std::wstring path) {
  return StripTrailingSlashes(std::move(path));
}

namespace {

template <typename Char>
[[nodiscard]] bool ParseDecimalOf(std::basic_string_view<Char> text, uint64_t max, uint64_t& out) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (Char c : text) {
    if (c < Char('0') || c > Char('9')) return false;
    const auto digit = static_cast<uint64_t>(c - Char('0'));
    // v * 10 + digit > max, asked without overflowing.
    if (digit > max || v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  out = v;
  return true;
}

}  // namespace

bool ParseDecimal(std::string_view text, uint64_t max, uint64_t& out) {
  return ParseDecimalOf(text, max, out);
}

bool ParseDecimal(std::wstring_view text, uint64_t max, uint64_t& out) {
  return ParseDecimalOf(text, max, out);
}

namespace {

constexpr char kB64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int B64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

char* SzBase64EncBuffer(const unsigned char* data, size_t len) {
  char* buf = new char[kBase64BufSize]();
  if (data == nullptr) return buf;
  // Whole groups of four must fit with the terminator.
  const size_t max_groups = (kBase64BufSize - 1) / 4;
  size_t o = 0;
  for (size_t i = 0; i < len && o / 4 < max_groups; i += 3) {
    const size_t rest = len - i;
    const unsigned b0 = data[i];
    const unsigned b1 = rest > 1 ? data[i + 1] : 0;
    const unsigned b2 = rest > 2 ? data[i + 2] : 0;
    buf[o++] = kB64Alphabet[b0 >> 2];
    buf[o++] = kB64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
    buf[o++] = rest > 1 ? kB64Alphabet[((b1 & 0x0F) << 2) | (b2 >> 6)] : '=';
    buf[o++] = rest > 2 ? kB64Alphabet[b2 & 0x3F] : '=';
  }
  return buf;
}

char* SzBase64EncOneLine(const unsigned char* data, size_t len) {
  size_t n = 0;
  while (data != nullptr && n < len && data[n] != 0) ++n;
  return SzBase64EncBuffer(data, n);
}

bool EncBase64Dec(const char* in, size_t inlen, unsigned char* out, size_t& outlen) {
  if (in == nullptr || out == nullptr) return false;
  const size_t cap = outlen;
  outlen = 0;
  if (inlen == 1) return false;
  unsigned acc = 0;
  int bits = 0;
  for (size_t i = 0; i < inlen; ++i) {
    if (in[i] == '=') break;
    int v = B64Value(in[i]);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      if (outlen >= cap) return false;
      out[outlen++] = static_cast<unsigned char>((acc >> bits) & 0xFF);
    }
  }
  return true;
}
