// syncfolder-monitor: the user-interface end on Linux. See monitor-app.h.
#include <clocale>
#include <cstdio>
#include <string>

#include "monitor/monitor-app.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  monitor::Options opt;
  bool help = false;
  std::string error;
  if (!monitor::ParseOptions(argc, argv, opt, help, error)) {
    std::fprintf(stderr, "syncfolder-monitor: %s\n%s", error.c_str(), monitor::UsageText());
    return monitor::kExitUsage;
  }
  if (help) {
    std::fputs(monitor::UsageText(), stdout);
    return monitor::kExitOk;
  }
  return monitor::RunMonitor(opt);
}
