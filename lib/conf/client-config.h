// The daemon's configuration file as every program reads it: the table of
// its keys with their types and ranges, the values checked against it, and
// what is wrong with the file, one line each naming the file, the line and
// what to do. The daemon and the monitor both read the file through this and
// check it with CheckClientConfig (startup-check.h), so a configuration the
// monitor accepts is one the daemon runs with, and the other way round.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/base/config.h"

// The daemon's exit statuses (docs/usage.md, EXIT STATUS). The monitor has
// its own (monitor/monitor-app.h).
enum StartupStatus : int {
  kStartOk = 0,      // an orderly shutdown
  kStartFailed = 1,  // anything not below
  kStartUsage = 2,   // a bad command line
  kStartConfig = 3,  // the configuration (or the filter file) cannot work
  kStartLocked = 4,  // another daemon runs on the database folder
  kStartFolder = 5,  // a folder it names cannot be used, or the state in it
};

// One thing wrong, as the user is told it.
struct ConfigProblem {
  int status = 0;    // the daemon's exit status for it; 0 for a warning it runs on with
  std::string text;  // UTF-8, one line: what is wrong, then what to do
  bool fatal() const { return status != 0; }
};

enum class ConfigType {
  kText,      // any text
  kPath,      // a path; a leading "~/" stands for $HOME
  kBool,      // true or false
  kNumber,    // a whole decimal number from min to max
  kPort,      // a TCP port, 1 to 65535
  kProtocol,  // 3, or 40 to 49 (protocol 4)
};

struct ConfigKey {
  const wchar_t* name;
  ConfigType type;
  int64_t min = 0, max = 0;  // kNumber
  int64_t def = 0;           // kNumber, kBool (0/1): the value when the key is absent
  bool required = false;
};

// Every key the daemon reads, in the order the manual lists them.
const std::vector<ConfigKey>& ClientConfigKeys();

class ClientConfig {
 public:
  // Reads `path` and checks each value against its key. Never fails: what
  // is wrong is in problems(). Reads the file once (it may be a pipe).
  static ClientConfig Load(const std::wstring& path);

  // The path as given, and as messages name it (absolute, links resolved).
  const std::wstring& path() const { return m_path; }
  const std::string& shown_path() const { return m_shown; }
  // False when the file could not be read or has a malformed line; then
  // every value is its key's default and read_error() says why in one
  // phrase ("No such file or directory", "line 4 is not `key = value`").
  bool readable() const { return m_readable; }
  bool missing() const { return m_missing; }  // nothing could be opened at all
  const std::string& read_error() const { return m_read_error; }
  // What is wrong with the file itself: unreadable, a malformed line, a
  // value of the wrong type or out of range, a required key missing, the
  // sample's placeholder session (fatal); an unknown key (a warning).
  const std::vector<ConfigProblem>& problems() const { return m_problems; }

  // Checked values: the file's when it passed its key's check, otherwise
  // the key's default ("" for text, 0/false when no default is given).
  // `key` must be in ClientConfigKeys().
  std::wstring Text(const wchar_t* key) const;  // a kPath with "~/" expanded
  int64_t Number(const wchar_t* key) const;     // kNumber, kPort, kProtocol
  bool Bool(const wchar_t* key) const;
  // Whether the file gives the key a value that passed its check (an empty
  // value counts as none).
  bool Has(const wchar_t* key) const;
  // The line (from 1) the key's value came from; 0 when it is not in the file.
  int Line(const wchar_t* key) const { return m_raw.line(key); }

  // The database folder as the daemon uses it: db_loc, taken from inside
  // the sync root when it is relative.
  std::wstring DbDir() const;

 private:
  void Check();
  void Problem(int status, const std::string& text) { m_problems.push_back({status, text}); }
  // "FILE, line N: `key = value`" for messages about one key.
  std::string At(const std::wstring& key) const;

  std::wstring m_path;
  std::string m_shown;
  bool m_readable = false;
  bool m_missing = false;
  std::string m_read_error;
  std::vector<ConfigProblem> m_problems;
  Config m_raw;
  // Keys whose values passed their checks, with the values to use.
  Config m_good;
};
