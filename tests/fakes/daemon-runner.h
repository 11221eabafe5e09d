// Starts the real executables for black-box tests: a child process with a
// pipe on its standard input, and a temporary installation (sync root,
// database folder, log and conf folders, configuration file) for the daemon.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "fakes/test-util.h"

namespace sftest {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills and reaps a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] with the given arguments; stdout and stderr go to
  // `output_path` when it is not empty, else to /dev/null. Returns false when
  // the process cannot be started. The child is killed when the calling
  // thread ends, so call this from a thread that outlives the child.
  bool Start(const std::vector<std::string>& argv, const std::string& output_path = "",
             const std::map<std::string, std::string>& extra_env = {});
  // Before Start: the child's standard input is /dev/null (as under nohup
  // or `</dev/null`) instead of a pipe; WriteStdin then fails.
  void StdinFromNull() { m_null_stdin = true; }
  bool WriteStdin(const std::string& bytes);
  void CloseStdin();
  // Bytes written to the child's stdin that it has not read yet.
  int PendingStdinBytes() const;
  void Signal(int sig);
  // Waits for the exit; returns the exit status (0..255), 128+signal when it
  // was killed, or -1 on timeout (the child keeps running).
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  bool Running();
  pid_t pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  int m_stdin = -1;
  bool m_null_stdin = false;
  int m_status = -1;
};

// A temporary daemon installation:
//   <dir>/sync           the sync root ("watch")
//   <dir>/data/db        "db_loc"
//   <dir>/data/log       log and level file
//   <dir>/data/conf      filter
//   <dir>/client.conf    the configuration
class DaemonSandbox {
 public:
  DaemonSandbox();

  std::string Root() const { return m_dir.Sub("sync"); }
  std::string DbDir() const { return m_dir.Sub("data/db"); }
  std::string LogFile() const { return m_dir.Sub("data/log/syncfolder_c.log"); }
  std::string LevelFile() const { return m_dir.Sub("data/log/syncfolder_c.debug"); }
  std::string FilterFile() const { return m_dir.Sub("data/conf/filter"); }
  std::string ConfigFile() const { return m_dir.Sub("client.conf"); }
  std::string OutputFile() const { return m_dir.Sub("output.txt"); }
  const TempDir& dir() const { return m_dir; }

  // Configuration entries written by WriteConfig; defaults fill watch,
  // db_loc, session, server and port.
  std::map<std::string, std::string>& config() { return m_config; }
  // The file is made readable by its owner only (0600).
  void WriteConfig() const;
  // Level file lines "component = level".
  void WriteLevels(const std::map<std::string, int>& levels) const;
  // A minimal valid filter file.
  void WriteDefaultFilter() const;

  // The UI port the daemon is told to use (SYNCFOLDER_UI_PORT). By default a
  // free port nobody listens on, so parallel tests never meet a stranger's
  // listener (or a real user interface on 6695).
  void SetUiPort(int port) { m_ui_port = port; }
  int UiPort() const { return m_ui_port; }

  // Starts bin/syncfolder with the configuration path as argument.
  bool StartDaemon(ChildProcess& p, const std::map<std::string, std::string>& extra_env = {}) const;
  std::string ReadLog() const { return ReadFile(LogFile()); }

 private:
  TempDir m_dir;
  std::map<std::string, std::string> m_config;
  int m_ui_port = 0;
};

// Path of a built executable (bin/<name>).
std::string BinPath(const std::string& name);

}  // namespace sftest
