// Shared utilities: text conversions, Base64, the reversible password
// encoding and the reference-counted temporary file.
#pragma once

#include <cstddef>
#include <string>

// Conversions return 0 on success and -1 on failure. An empty input gives an
// empty output and 0; on failure the output is left unchanged. Invalid input
// (malformed UTF-8, surrogates or values above U+10FFFF in a wide string, text
// the locale cannot represent) is a failure, never silently replaced.
// Thread-safe.

// UTF-8 to wide; at most kConvertLimit wide characters including the terminator.
int UTF8ToNativeStr(const std::string& in, std::wstring& out);
// The locale's character set (LC_CTYPE) to wide; same limit.
int CodePageToNativeStr(const std::string& in, std::wstring& out);
// Wide to UTF-8; at most kConvertLimit bytes including the terminator.
int NativeStrToUTF8(const std::wstring& in, std::string& out);
// Wide to the locale's character set; same limit.
int NativeStrToCodePage(const std::wstring& in, std::string& out);

constexpr size_t kConvertLimit = 8192;

// Convenience forms for callers that cannot fail meaningfully (log lines,
// diagnostics): invalid sequences become U+FFFD / '?', with no length limit.
std::wstring Utf8ToWideLossy(const std::string& in);
std::string WideToUtf8Lossy(const std::wstring& in);

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
bool EncBase64Dec(const char* in, size_t inlen, unsigned char* out, size_t& outlen);

// Reversible password encoding shared with the user interface and the server:
// Base64(Blowfish-CFB64(in)) under a fixed key (see kSyncPassKey in
// utility-crypt.cpp). SyncPassDec gives an empty string for undecodable input
// and cuts the result at its first zero byte.
void SyncPassEnc(const std::string& in, std::string& out);
void SyncPassDec(const std::string& in, std::string& out);

// Owner of one temporary file, shared between copies by a reference count:
// the file is deleted with its last owner unless an owner made it permanent.
// Not thread-safe: an object and its copies are used by one task at a time.
class TempFile {
 public:
  // Sets the directory used when no prefix is given. Call once at start-up,
  // before any task runs. Returns 0.
  static int initialize(const std::wstring& prefix);
  static const std::wstring& defaultPrefix();

  // No file yet; it will be created in `prefix`, or in the default directory
  // when `prefix` is empty.
  explicit TempFile(const std::wstring& prefix = std::wstring());
  // Shares other's file (if any).
  TempFile(const TempFile& other);
  // Gives up this object's share (deleting its file if it was the last,
  // non-permanent owner), then shares other's file.
  TempFile& operator=(const TempFile& other);
  ~TempFile();

  // Creates a new, empty, uniquely named file. Returns 0; -1 when this object
  // already holds a file (nothing logged, the file stays) or the file cannot
  // be made (logged).
  int create();
  // Full path of the file; empty before create and after remove.
  const std::wstring& getPath() const { return m_path; }
  // Deletes the file now and lets go of it; copies sharing it keep their
  // path but no longer find a file there.
  void remove();
  // Keep the file when the last owner goes away. The file is one, so the
  // mark holds for every copy sharing it: whichever copy goes last, a file
  // that a database row already names must not vanish with it.
  void convert_permanent() {
    m_permanent = true;
    m_ref->permanent = true;
  }
  bool isPermanent() const { return m_permanent || m_ref->permanent; }
  // Number of owners sharing the file; 0 when this object holds none.
  int useCount() const { return m_ref->count; }

 private:
  // Drops this object's share, deleting the file if it was the last owner
  // and not permanent; leaves the object with no file and a fresh counter.
  void release();

  static std::wstring s_default_prefix;

  std::wstring m_tmp_prefix;
  std::wstring m_path;
  // Shared by the owners of m_path: how many they are and whether one of
  // them made the file permanent.
  struct Share {
    int count = 0;
    bool permanent = false;
  };
  Share* m_ref;  // never null
  bool m_permanent = false;
};
