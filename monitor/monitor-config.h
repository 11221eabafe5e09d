// What the monitor needs from the daemon's configuration file: where the
// daemon keeps its state (for progress and for the texts that tell the user
// what to change), read with the daemon's own reader and checked with the
// daemon's own check (lib/conf) before a daemon is started.
#pragma once

#include <string>
#include <vector>

#include "lib/conf/client-config.h"

namespace monitor {

struct MonitorConfig {
  std::string path;  // the configuration file, absolute when it resolves
  bool readable = false;
  // When the file could not be used: why, in one phrase ("line 4 is not
  // `key = value`", "No such file or directory").
  std::string read_error;

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

  // The file as read, for CheckConfig.
  ClientConfig source;

  // db_loc made absolute the way the daemon does (relative to the sync root).
  std::string DbDir() const;
  std::string FileStatusDb() const { return DbDir() + "/file-status.sqlite"; }
  std::string LogFile() const { return DbDir() + "/../log/syncfolder_c.log"; }
  std::string FilterFile() const { return DbDir() + "/../conf/filter"; }
};

// Reads the file with the daemon's own reader. Never fails: an unreadable
// file gives readable = false and read_error.
MonitorConfig LoadConfig(const std::string& path);

// The checks the daemon makes at start-up (CheckClientConfig), made before
// starting one on `cfg`. Touches nothing.
std::vector<ConfigProblem> CheckConfig(const MonitorConfig& cfg);

}  // namespace monitor
