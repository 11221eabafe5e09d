// syncfolder-relay: see relay/relay.h and the README.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "relay/relay.h"

namespace {

void Usage() {
  fprintf(stderr,
          "usage: syncfolder-relay [options]\n"
          "  --listen IP            address to listen on (default 127.0.0.1)\n"
          "  --port N               port (default 6691; 0 picks a free one)\n"
          "  --port-file FILE       write the bound port there once listening\n"
          "  --cert FILE            PEM certificate (with --key)\n"
          "  --key FILE             its PEM private key\n"
          "  --state DIR            without --cert: where a certificate is made once\n"
          "                         (default ./syncfolder-relay.state)\n"
          "  --allow IP:PORT        a target clients may reach (repeatable; default: any)\n"
          "  --max-connections N    connections served at once (default 64)\n"
          "  --log-levels FILE      per-component log levels (\"relay_debug = 7\")\n");
}

constexpr uint64_t kMaxPort = 65535;
constexpr uint64_t kMaxConnections = 65535;

}  // namespace

int main(int argc, char** argv) {
  RelayOptions opt;
  opt.port = 6691;
  opt.state_dir = "syncfolder-relay.state";
  std::string port_file, levels;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        Usage();
        exit(2);
      }
      return argv[++i];
    };
    uint64_t n = 0;
    if (a == "--listen") {
      opt.bind_ip = next();
    } else if (a == "--port" && ParseDecimal(next(), kMaxPort, n)) {
      opt.port = static_cast<int>(n);
    } else if (a == "--port-file") {
      port_file = next();
    } else if (a == "--cert") {
      opt.cert = next();
    } else if (a == "--key") {
      opt.key = next();
    } else if (a == "--state") {
      opt.state_dir = next();
    } else if (a == "--allow") {
      opt.allow.push_back(next());
    } else if (a == "--max-connections" && ParseDecimal(next(), kMaxConnections, n) && n > 0) {
      opt.max_connections = static_cast<size_t>(n);
    } else if (a == "--log-levels") {
      levels = next();
    } else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else {
      Usage();
      return 2;
    }
  }
  Logger::Initialize(Logger::STDERR_LOGGER, L"", Utf8ToWideLossy(levels), 0);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Relay relay(opt);
  int rc = relay.Start();
  if (rc != 0) {
    fprintf(stderr, "syncfolder-relay: cannot start: %s\n", GetErrorString(rc));
    return 1;
  }
  if (!port_file.empty()) {
    std::string tmp = port_file + ".tmp";
    std::ofstream(tmp) << relay.port() << "\n";
    rename(tmp.c_str(), port_file.c_str());
  }
  printf("syncfolder-relay: listening on %s:%d, certificate SHA-256 fingerprint %s\n",
         opt.bind_ip.c_str(), relay.port(), relay.Fingerprint().c_str());
  fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  relay.Stop();
  return 0;
}
