// syncfolder-relay: see relay/relay.h and the README.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "lib/base/command-line.h"
#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "relay/relay.h"
#include "sf-version.h"

namespace {

constexpr uint64_t kMaxPort = 65535;
constexpr uint64_t kMaxConnections = 65535;

}  // namespace

int main(int argc, char** argv) {
  RelayOptions opt;
  opt.port = 6691;
  opt.state_dir = "syncfolder-relay.state";
  std::string port_file, levels;
  auto text = [](std::string& to) {
    return [&to](const char* v) {
      to = v;
      return std::string();
    };
  };
  cli::Program p;
  p.name = "syncfolder-relay";
  p.version = cli::VersionText(p.name, SF_VERSION, SF_COMMIT);
  p.usage = {"[OPTION]..."};
  p.about =
      "Lets syncfolder clients that can reach only it (UseTunnel) reach a sync server: it\n"
      "accepts TLS, checks each client's token and copies bytes to the target it names.\n"
      "Stops on SIGINT or SIGTERM.\n";
  p.options = {
      {"listen", 0, "IP", "address to listen on (default 127.0.0.1)", text(opt.bind_ip)},
      {"port", 0, "N", "port (default 6691; 0 picks a free one)",
       [&opt](const char* v) {
         uint64_t n = 0;
         std::string why = cli::TakeNumber(v, 0, kMaxPort, n);
         if (why.empty()) opt.port = static_cast<int>(n);
         return why;
       }},
      {"port-file", 0, "FILE", "write the bound port there once listening", text(port_file)},
      {"cert", 0, "FILE", "PEM certificate (with --key)", text(opt.cert)},
      {"key", 0, "FILE", "its PEM private key", text(opt.key)},
      {"state", 0, "DIR",
       "without --cert: where a certificate is made once (default ./syncfolder-relay.state)",
       text(opt.state_dir)},
      {"allow", 0, "IP:PORT", "a target clients may reach (repeatable; default: any)",
       [&opt](const char* v) {
         opt.allow.emplace_back(v);
         return std::string();
       }},
      {"max-connections", 0, "N", "connections served at once (default 64)",
       [&opt](const char* v) {
         uint64_t n = 0;
         std::string why = cli::TakeNumber(v, 1, kMaxConnections, n);
         if (why.empty()) opt.max_connections = static_cast<size_t>(n);
         return why;
       }},
      {"log-levels", 0, "FILE", "per-component log levels (\"relay_debug = 7\")", text(levels)},
  };
  p.more = "exit status: 0 stopped, 1 could not start, 2 bad command line.\n";
  p.max_operands = 0;
  std::vector<std::string> operands;
  const int parsed = cli::Parse(p, argc, argv, operands);
  if (parsed != cli::kRun) return parsed;
  (void)Logger::Initialize(Logger::STDERR_LOGGER, L"", Utf8ToWideLossy(levels), 0);  // stderr
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
