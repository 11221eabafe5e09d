#include "lib/base/config.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <sstream>

#include "lib/base/handles.h"
#include "lib/base/utility.h"

namespace {

// The reader works on bytes in the C locale's classes so that the user's
// locale cannot change what counts as white space or a control character.
bool IsSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsCntrl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}
bool IsKeyChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

constexpr size_t kLineBuffer = 8192;
// Keys and values longer than this are refused rather than cut into another
// value.
constexpr size_t kMaxWideField = 2048;

[[nodiscard]] bool ToWide(const std::string& in, std::wstring& out) {
  std::wstring w;
  if (UTF8ToNativeStr(in, w) != 0) return false;
  if (w.size() > kMaxWideField) return false;
  out.swap(w);
  return true;
}

}  // namespace

int Config::ParseLine(const std::string& line, std::wstring& key, std::wstring& value) {
  const size_t n = line.size();
  size_t i = 0;
  while (i < n && IsSpace(line[i])) ++i;
  const size_t key_begin = i;
  while (i < n && IsKeyChar(line[i])) ++i;
  const size_t key_end = i;
  if (i == n || line[i] == '#') return 0;
  while (i < n && IsSpace(line[i])) ++i;
  if (i == n || line[i] != '=') return -1;
  ++i;
  while (i < n && IsSpace(line[i])) ++i;
  if (i == n) return -1;  // empty value

  std::string raw;
  const char first = line[i];
  if (first == '"' || first == '\'') {
    size_t j = i + 1;
    while (j < n && line[j] != first) {
      if (IsCntrl(line[j])) return -1;
      ++j;
    }
    if (j == n) return -1;  // unterminated
    raw.assign(line, i + 1, j - i - 1);
    i = j + 1;
  } else {
    size_t j = i;
    while (j < n && line[j] != ' ' && !IsCntrl(line[j])) ++j;
    raw.assign(line, i, j - i);
    i = j;
  }
  while (i < n && IsSpace(line[i])) ++i;
  if (i < n && line[i] != '#') return -1;

  std::wstring k, v;
  if (!ToWide(line.substr(key_begin, key_end - key_begin), k) || !ToWide(raw, v)) return -1;
  key.swap(k);
  value.swap(v);
  return 1;
}

int Config::read(const wchar_t* path) {
  m_map.clear();
  m_lines.clear();
  m_bad_line = 0;
  m_errno = 0;
  if (path == nullptr) return -1;
  FilePtr f(std::fopen(WideToUtf8Lossy(path).c_str(), "r"));
  if (!f) {
    m_errno = errno;
    return -1;
  }

  // Like a fixed line buffer: a line longer than the buffer is read in pieces,
  // each piece parsed as a line of its own.
  std::string buf(kLineBuffer, '\0');
  bool first = true;
  int number = 1;  // of the line the next piece belongs to
  while (std::fgets(&buf[0], static_cast<int>(kLineBuffer), f.get()) != nullptr) {
    std::string line(buf.c_str());
    const int this_line = number;
    if (!line.empty() && line.back() == '\n') ++number;
    // Editors on some platforms start a UTF-8 file with a byte-order mark;
    // it is not part of the first key, and must not make the file "malformed".
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    std::wstring key, value;
    int r = ParseLine(line, key, value);
    if (r < 0) {
      m_map.clear();
      m_lines.clear();
      m_bad_line = this_line;
      return -1;
    }
    if (r > 0) {
      m_map[key] = value;
      m_lines[key] = this_line;
    }
  }
  if (std::ferror(f.get())) {
    m_errno = errno != 0 ? errno : EIO;
    m_map.clear();
    m_lines.clear();
    return -1;
  }
  return 0;
}

int Config::line(const std::wstring& key) const {
  auto it = m_lines.find(key);
  return it == m_lines.end() ? 0 : it->second;
}

int Config::get_int(const std::wstring& key) const {
  auto it = m_map.find(key);
  if (it == m_map.end()) return 0;
  std::wistringstream in(it->second);
  int v = 0;
  in >> v;
  return in.fail() ? 0 : v;
}
