// Line-oriented key/value reader shared by the configuration file and the
// logger's level file. Not JSON: see Config::read for the grammar.
#pragma once

#include <map>
#include <string>

class Config {
 public:
  // Reads `path` (UTF-8 text). Per line: optional white space, a key made of
  // letters, digits, '-' and '_'; a line whose key is followed directly by '#'
  // or by the end of the line is ignored. Otherwise: optional white space, '=',
  // optional white space and a non-empty value, either quoted ('...' or "...",
  // closed before any control character; "" is an empty value) or running up to
  // the first space or control character, then only white space and an
  // optional '#' comment. A later line replaces an earlier value for the same
  // key. Returns 0, or -1 when `path` is null, cannot be opened or any line is
  // malformed; the map is then empty. Not thread-safe.
  [[nodiscard]] int read(const wchar_t* path);
  [[nodiscard]] int read(const std::wstring& path) { return read(path.c_str()); }

  // Parses one line into key/value. Returns 1 when it holds an entry, 0 when
  // it is ignorable (blank or comment), -1 when malformed. `line` is UTF-8.
  [[nodiscard]] static int ParseLine(const std::string& line, std::wstring& key,
                                     std::wstring& value);

  // A missing key is inserted with the empty string.
  std::wstring& operator[](const std::wstring& key) { return m_map[key]; }
  // The value read as a decimal integer by formatted extraction; 0 when the
  // key is missing or the value does not start with a number.
  int get_int(const std::wstring& key) const;
  bool has(const std::wstring& key) const { return m_map.count(key) != 0; }
  const std::map<std::wstring, std::wstring>& entries() const { return m_map; }

  // Where the values came from and why the last read failed, so that a
  // message can point the user at the line: the line (from 1) of the key's
  // value, 0 when it is not in the map; the first malformed line, 0 when
  // none; the errno of a failed open or read, 0 when none.
  int line(const std::wstring& key) const;
  int bad_line() const { return m_bad_line; }
  int read_errno() const { return m_errno; }

 private:
  std::map<std::wstring, std::wstring> m_map;
  std::map<std::wstring, int> m_lines;
  int m_bad_line = 0;
  int m_errno = 0;
};
