// syncfolder-monitor: the user-interface end on Linux. See monitor-app.h.
#include <clocale>

#include "lib/base/command-line.h"
#include "monitor/monitor-app.h"
#include "sf-version.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");  // NOLINT(concurrency-mt-unsafe): before any thread
  monitor::Options opt;
  const int rc = monitor::ParseOptions(
      argc, argv, cli::VersionText("syncfolder-monitor", SF_VERSION, SF_COMMIT), opt);
  if (rc != cli::kRun) return rc;
  return monitor::RunMonitor(opt);
}
