// The daemon as the monitor's child: its standard input is a pipe that
// carries the one-byte commands, its standard output and error come back on
// another pipe, and it learns the UI port through SYNCFOLDER_UI_PORT.
//
// The child runs in its own process group, so a Ctrl-C on the terminal
// reaches only the monitor, which then stops the daemon in order; and it is
// sent SIGTERM by the kernel if the monitor dies first, so it never runs on
// unsteered. Not thread-safe.
#pragma once

#include <sys/types.h>

#include <string>

#include "lib/base/handles.h"

namespace monitor {

class DaemonProcess {
 public:
  DaemonProcess() = default;
  // A child still running is killed and reaped: the monitor only gets here
  // after its orderly stop has failed.
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // Starts `exe CONFIG`. Returns false with `error` set when it could not be
  // started (including a failed exec, reported back by the child).
  // REQUIRES: the caller has blocked the signals it takes through a signalfd;
  // the child gets an empty mask and default dispositions.
  [[nodiscard]] bool Start(const std::string& exe, const std::string& config, int ui_port,
                           std::string& error);

  // Writes one command byte. False when the daemon no longer reads.
  [[nodiscard]] bool SendCommand(char byte);
  void Signal(int sig);
  // Collects the exit without waiting; true once the child has exited.
  [[nodiscard]] bool Reap();

  pid_t pid() const { return m_pid; }
  bool running() const { return m_pid > 0 && m_status < 0; }
  // 0..255, 128 + signal when killed; -1 while running.
  int exit_status() const { return m_status; }
  // Read end of the child's standard output and error (non-blocking); -1
  // once closed by CloseOutput.
  int output_fd() const { return m_out.get(); }
  void CloseOutput();

 private:
  pid_t m_pid = -1;
  UniqueFd m_in;   // the daemon's standard input
  UniqueFd m_out;  // its standard output and error
  int m_status = -1;
};

// The daemon executable next to the monitor's own, else "syncfolder" from
// the PATH.
std::string DefaultDaemonPath();

}  // namespace monitor
