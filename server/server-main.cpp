// syncfolder-server: serves one share to syncfolder clients, or changes the
// share as another client would (put, mkdir, remove), also while a server runs
// on it. See server/README.md.
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "lib/base/command-line.h"
#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/proto/proto-common.h"
#include "server/server-hooks.h"
#include "server/sync-server.h"
#include "sf-version.h"

namespace {

[[nodiscard]] int Serve(const ServerOptions& opt, const FaultPlan& faults,
                        const std::string& port_file) {
  // Signals are taken by sigwait below, never by the worker threads.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  SyncServer server(opt);
  server.SetFaults(faults);
  int r = server.Start();
  if (r != 0) {
    fprintf(stderr, "syncfolder-server: cannot start: %s\n", GetErrorString(r));
    return 1;
  }
  if (!port_file.empty()) {
    std::string tmp = port_file + ".tmp";
    std::ofstream(tmp) << server.port() << "\n";
    rename(tmp.c_str(), port_file.c_str());
  }
  printf("syncfolder-server: serving %s on %s:%d\n", opt.share.c_str(), opt.bind_ip.c_str(),
         server.port());
  if (server.TlsContext() != nullptr) {
    printf("syncfolder-server: TLS certificate SHA-256 fingerprint %s\n",
           server.TlsFingerprint().c_str());
  }
  fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  printf("syncfolder-server: stopping (signal %d)\n", sig);
  server.Stop();
  return 0;
}

[[nodiscard]] int RunHook(const ServerOptions& opt, const std::vector<std::string>& args,
                          const std::string& updater) {
  ServerStore::Options so;
  so.share = opt.share;
  so.state = opt.state;
  so.versions_kept = opt.versions_kept;
  so.reconcile = false;
  std::unique_ptr<ServerStore> store;
  if (ServerStore::Open(so, store) != 0) {
    fprintf(stderr, "syncfolder-server: cannot open the share's state\n");
    return 1;
  }
  const std::string& cmd = args[0];
  int r = ERR_INVAL;
  auto now = static_cast<uint32_t>(time(nullptr));
  if (cmd == "put" && (args.size() == 3 || args.size() == 4)) {
    uint64_t mtime = now;
    if (args.size() == 4 && !ParseDecimal(args[3], UINT32_MAX, mtime)) {
      std::fprintf(stderr, "syncfolder-server: put: MTIME '%s' is not a number of seconds\n",
                   args[3].c_str());
      return cli::kExitUsage;
    }
    r = HookPutFile(*store, args[1], args[2], static_cast<uint32_t>(mtime), updater);
  } else if (cmd == "mkdir" && args.size() == 2) {
    r = HookMkdir(*store, args[1], now, updater);
  } else if (cmd == "remove" && args.size() == 2) {
    r = HookRemove(*store, args[1], updater);
  } else if (cmd == "list" && args.size() == 1) {
    std::vector<ObjectRow> rows;
    uint64_t to = 0;
    r = store->ListChanges(0, SIZE_MAX, rows, to);
    for (const ObjectRow& row : rows) {
      printf("%llu\t%s\t%s\t%llu\t%u\t%s\t%s\n", static_cast<unsigned long long>(row.sync_id),
             row.isDir() ? "dir" : "file", row.exist ? "exist" : "removed",
             static_cast<unsigned long long>(row.size), row.mtime, row.hash.c_str(),
             row.path.c_str());
    }
  } else {
    std::fprintf(stderr,
                 "syncfolder-server: unknown command or wrong operands: %s (syncfolder-server "
                 "--help lists them)\n",
                 cmd.c_str());
    return cli::kExitUsage;
  }
  if (r != 0) {
    fprintf(stderr, "syncfolder-server: %s failed: %s\n", cmd.c_str(), GetErrorString(r));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions opt;
  opt.port = 6690;
  FaultPlan faults;
  std::string port_file, levels, updater = kHookUpdater;
  auto text = [](std::string& to) {
    return [&to](const char* v) {
      to = v;
      return std::string();
    };
  };
  // A number from `min` to `max` into `to`, whatever its type.
  auto number = [](auto& to, uint64_t min, uint64_t max) {
    return [&to, min, max](const char* v) {
      uint64_t n = 0;
      std::string why = cli::TakeNumber(v, min, max, n);
      if (why.empty()) to = static_cast<std::remove_reference_t<decltype(to)>>(n);
      return why;
    };
  };
  cli::Program p;
  p.name = "syncfolder-server";
  p.version = cli::VersionText(p.name, SF_VERSION, SF_COMMIT);
  p.usage = {"--share DIR [OPTION]...                serve the share",
             "--share DIR [OPTION]... put PATH FILE [MTIME]", "--share DIR [OPTION]... mkdir PATH",
             "--share DIR [OPTION]... remove PATH", "--share DIR [OPTION]... list"};
  p.about =
      "Serves one share to syncfolder clients, or changes it as another client would (put,\n"
      "mkdir, remove), also while a server runs on it. Stops on SIGINT or SIGTERM.\n";
  p.options = {
      {"share", 0, "DIR", "the shared folder (required)", text(opt.share)},
      {"state", 0, "DIR", "metadata and versions (default: DIR.sfstate)", text(opt.state)},
      {"listen", 0, "IP", "address to listen on (default 127.0.0.1)", text(opt.bind_ip)},
      {"port", 0, "N", "port (default 6690; 0 picks a free one)", number(opt.port, 0, 65535)},
      {"port-file", 0, "FILE", "write the bound port there once listening", text(port_file)},
      {"alive", 0, "SECONDS", "keep-alive granted to clients (default 60)",
       number(opt.alive, 0, UINT32_MAX)},
      {"max-connections", 0, "N", "connections served at once (default 64)",
       number(opt.max_connections, 1, SIZE_MAX)},
      {"max-per-address", 0, "N", "of them from one client address (default 3/4 of the above)",
       number(opt.max_per_address, 1, SIZE_MAX)},
      {"versions", 0, "N", "versions kept per file for deltas (default 4)",
       number(opt.versions_kept, 1, SIZE_MAX)},
      {"user", 0, "NAME:PASSWORD", "an account (repeatable)",
       [&opt](const char* v) {
         const std::string s = v;
         const size_t colon = s.find(':');
         if (colon == std::string::npos || colon == 0) return std::string("not NAME:PASSWORD");
         opt.users[s.substr(0, colon)] = s.substr(colon + 1);
         return std::string();
       }},
      {"session", 0, "TOKEN[:USER]", "a session accepted without login (repeatable)",
       [&opt](const char* v) {
         const std::string s = v;
         const size_t colon = s.find(':');
         const std::string token = s.substr(0, colon);
         if (token.empty()) return std::string("the token is empty");
         opt.sessions[token] = colon == std::string::npos ? token : s.substr(colon + 1);
         return std::string();
       }},
      {"tls-cert", 0, "FILE",
       "PEM certificate for TLS clients (with --tls-key; default: one made once into "
       "STATE/tls)",
       text(opt.tls_cert)},
      {"tls-key", 0, "FILE", "its PEM private key", text(opt.tls_key)},
      {"no-tls", 0, nullptr, "refuse clients that ask for TLS",
       [&opt](const char*) {
         opt.tls = false;
         return std::string();
       }},
      {"log-levels", 0, "FILE", "per-component log levels (\"server_debug = 7\")", text(levels)},
      {"updater", 0, "NAME", "who the hook commands record as the changer", text(updater)},
      {"fault-alive-zero", 0, nullptr, "(tests) grant keep-alive 0 and close after each answer",
       [&faults](const char*) {
         faults.alive_zero = true;
         return std::string();
       }},
      {"fault-cut-after", 0, "N", "(tests) cut a connection after N payload bytes",
       number(faults.cut_after_payload, 0, INT64_MAX)},
      {"fault-result", 0, "PATH=CODE", "(tests) answer result CODE to requests naming PATH",
       [&faults](const char* v) {
         const std::string s = v;
         const size_t eq = s.rfind('=');
         uint64_t n = 0;
         if (eq == std::string::npos || !ParseDecimal(s.c_str() + eq + 1, 255, n) || n == 0)
           return std::string("not PATH=CODE with a CODE from 1 to 255");
         faults.result_for_path[s.substr(0, eq)] = static_cast<uint8_t>(n);
         return std::string();
       }},
      {"fault-delay-ms", 0, "N", "(tests) wait N ms before every answer",
       number(faults.delay_ms, 0, UINT32_MAX)},
  };
  p.more =
      "exit status: 0 stopped (or the command done), 1 could not start (or the command\n"
      "failed), 2 bad command line.\n";
  std::vector<std::string> rest;
  const int rc = cli::Parse(p, argc, argv, rest);
  if (rc != cli::kRun) return rc;
  if (opt.share.empty()) return cli::UsageError(p, "--share DIR is required");
  (void)Logger::Initialize(Logger::STDERR_LOGGER, L"", Utf8ToWideLossy(levels), 0);  // stderr
  ProtoInit(4);
  if (rest.empty()) return Serve(opt, faults, port_file);
  return RunHook(opt, rest, updater);
}
