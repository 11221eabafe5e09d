// What the monitor needs from the daemon's configuration file: where the
// daemon keeps its state (for progress and for the texts that tell the user
// what to change) and the checks made before a daemon is started, so that a
// broken configuration is one clear line instead of a daemon that exits.
#pragma once

#include <string>
#include <vector>

namespace monitor {

struct MonitorConfig {
  std::string path;  // the configuration file, as given
  bool readable = false;
  // When the file could not be used: why, in one phrase ("line 4 is not
  // `key = value`", "No such file or directory").
  std::string read_error;
  bool missing = false;  // the file could not be opened at all

  // Values as the daemon reads them (UTF-8).
  std::string watch;
  std::string db_loc;
  std::string session;
  std::string server;
  int port = 0;
  int proto_version = 0;
  bool native_client = false;
  bool use_proxy = false;
  std::string proxy_ip;
  int proxy_port = 0;
  bool use_tunnel = false;
  std::string tunnel_ip;
  int tunnel_port = 0;

  // db_loc made absolute the way the daemon does (relative to the sync root).
  std::string DbDir() const;
  std::string FileStatusDb() const { return DbDir() + "/file-status.sqlite"; }
  std::string LogFile() const { return DbDir() + "/../log/syncfolder_c.log"; }
  std::string FilterFile() const { return DbDir() + "/../conf/filter"; }
};

// Reads the file with the daemon's own reader. Never fails: an unreadable
// file gives readable = false and read_error.
MonitorConfig LoadConfig(const std::string& path);

struct Problem {
  // Fatal problems stop the monitor before it starts a daemon that would
  // only exit (or, worse, create and fill a folder the user did not mean).
  bool fatal = false;
  std::string text;  // one line: what is wrong, then what to change
};

// The checks made before starting a daemon on `cfg`. Touches nothing.
std::vector<Problem> CheckConfig(const MonitorConfig& cfg);

}  // namespace monitor
