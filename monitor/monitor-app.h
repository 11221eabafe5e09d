// syncfolder-monitor's main loop: listens on the UI port, starts and steers
// the daemon, decodes what it reports and shows it as a live screen or as
// plain or JSON lines.
//
// Threads: everything runs on the calling thread in one poll loop (UI
// connections, the daemon's output, keys, signals through a signalfd, timers)
// except the server check (server-probe.h). Nothing in the loop waits for the
// daemon: sockets and pipes are non-blocking and the file status database is
// read without waiting for its locks.
#pragma once

#include <string>

namespace monitor {

enum ExitCode {
  kExitOk = 0,            // stopped on request; the daemon (if ours) stopped cleanly
  kExitDaemonFailed = 1,  // the daemon could not start, failed, or stopped on its own badly
  kExitUsage = 2,         // bad command line
  kExitConfig = 3,        // the configuration cannot work (nothing was started)
  kExitUiPort = 4,        // the UI port cannot be listened on (nothing was started)
};

struct Options {
  enum Output { kAuto, kPlain, kJson };
  Output output = kAuto;
  bool attach = false;
  std::string config;
  std::string daemon;  // empty: DefaultDaemonPath()
};

// Reads the command line with the programs' shared parser
// (lib/base/command-line.h); `version` is what --version prints. Returns
// cli::kRun with `o` filled, or the status to exit with once --help or
// --version was written (0) or a usage error reported (kExitUsage).
[[nodiscard]] int ParseOptions(int argc, char** argv, const std::string& version, Options& o);

// Runs until the user quits, a stop signal arrives, or the started daemon
// ends. Returns an ExitCode.
[[nodiscard]] int RunMonitor(const Options& o);

}  // namespace monitor
