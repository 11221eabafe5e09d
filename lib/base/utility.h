// Shared utilities: text conversions, path spelling, Base64 and the
// reversible password encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Conversions return 0 on success and -1 on failure. An empty input gives an
// empty output and 0; on failure the output is left unchanged. Invalid input
// (malformed UTF-8, surrogates or values above U+10FFFF in a wide string, text
// the locale cannot represent) is a failure, never silently replaced.
// Thread-safe.

// UTF-8 to wide; at most kConvertLimit wide characters including the terminator.
[[nodiscard]] int UTF8ToNativeStr(const std::string& in, std::wstring& out);
// The locale's character set (LC_CTYPE) to wide; same limit.
[[nodiscard]] int CodePageToNativeStr(const std::string& in, std::wstring& out);
// Wide to UTF-8; at most kConvertLimit bytes including the terminator.
[[nodiscard]] int NativeStrToUTF8(const std::wstring& in, std::string& out);
// Wide to the locale's character set; same limit.
[[nodiscard]] int NativeStrToCodePage(const std::wstring& in, std::string& out);

constexpr size_t kConvertLimit = 8192;

// One UTF-8 sequence at s[i]: the code point, with i advanced past it, or
// -1 (i unchanged) for an invalid, overlong, surrogate or truncated sequence.
long DecodeUtf8(const std::string& s, size_t& i);
// Appends the UTF-8 form of a valid code point.
void AppendUtf8(std::string& out, unsigned long cp);

// Convenience forms for callers that cannot fail meaningfully (log lines,
// diagnostics): invalid sequences become U+FFFD / '?', with no length limit.
std::wstring Utf8ToWideLossy(const std::string& in);
std::string WideToUtf8Lossy(const std::wstring& in);

// `path` without the slashes that end it; a path of slashes only becomes "/".
// "/a/sync/" and "/a/sync" name one folder, but paths built from the first
// ("/a/sync//f") would not match what other programs look up.
std::string WithoutTrailingSlashes(std::string path);
std::wstring WithoutTrailingSlashes(std::wstring path);

// The whole of `text` as an unsigned decimal number no greater than `max`.
// Only the digits 0-9 are accepted, at least one: no sign, spaces, base
// prefix or trailing text, whatever the locale. Returns true with the value in
// `out`; false, with `out` unchanged, for empty text, any other character, or
// a value above `max` (a value beyond 64 bits included). Thread-safe.
[[nodiscard]] bool ParseDecimal(std::string_view text, uint64_t max, uint64_t& out);
[[nodiscard]] bool ParseDecimal(std::wstring_view text, uint64_t max, uint64_t& out);

// Base64 with the standard alphabet and "=" padding, no line breaks.
// Returns a new[]-allocated, zero-filled buffer of kBase64BufSize bytes holding
// the encoding; the caller frees it with delete[]. Input beyond what fits
// (2301 bytes) is not encoded.
constexpr size_t kBase64BufSize = 3072;
char* SzBase64EncBuffer(const unsigned char* data, size_t len);
// The same, but the input ends at its first zero byte.
char* SzBase64EncOneLine(const unsigned char* data, size_t len);
// Decodes `inlen` characters into `out`, whose capacity is passed in `outlen`;
// on return `outlen` holds the bytes written. False for a null argument, an
// input of exactly one character, a character outside the alphabet, or when
// the capacity is exhausted. Decoding ends at the first "=".
[[nodiscard]] bool EncBase64Dec(const char* in, size_t inlen, unsigned char* out, size_t& outlen);

// Reversible password encoding shared with the user interface and the server:
// Base64(Blowfish-CFB64(in)) under a fixed key (see kSyncPassKey in
// utility-crypt.cpp). SyncPassDec gives an empty string for undecodable input
// and cuts the result at its first zero byte.
void SyncPassEnc(const std::string& in, std::string& out);
void SyncPassDec(const std::string& in, std::string& out);
