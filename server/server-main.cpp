// syncfolder-server: serves one share to syncfolder clients, or changes the
// share as another client would (put, mkdir, remove), also while a server runs
// on it. See server/README.md.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/proto/proto-common.h"
#include "server/server-hooks.h"
#include "server/sync-server.h"

namespace {

void Usage() {
  fprintf(stderr,
          "usage: syncfolder-server --share DIR [options]                serve the share\n"
          "       syncfolder-server --share DIR [options] put PATH FILE [MTIME]\n"
          "       syncfolder-server --share DIR [options] mkdir PATH\n"
          "       syncfolder-server --share DIR [options] remove PATH\n"
          "       syncfolder-server --share DIR [options] list\n"
          "options:\n"
          "  --state DIR            metadata and versions (default: DIR.sfstate)\n"
          "  --listen IP            address to listen on (default 127.0.0.1)\n"
          "  --port N               port (default 6690; 0 picks a free one)\n"
          "  --port-file FILE       write the bound port there once listening\n"
          "  --alive SECONDS        keep-alive granted to clients (default 60)\n"
          "  --max-connections N    connections served at once (default 64)\n"
          "  --max-per-address N    of them from one client address (default 3/4 of the above)\n"
          "  --versions N           versions kept per file for deltas (default 4)\n"
          "  --user NAME:PASSWORD   an account (repeatable)\n"
          "  --session TOKEN[:USER] a session accepted without login (repeatable)\n"
          "  --tls-cert FILE        PEM certificate for TLS clients (with --tls-key; default:\n"
          "                         one made once into STATE/tls)\n"
          "  --tls-key FILE         its PEM private key\n"
          "  --no-tls               refuse clients that ask for TLS\n"
          "  --log-levels FILE      per-component log levels (\"server_debug = 7\")\n"
          "  --updater NAME         who the hook commands record as the changer\n"
          "faults for tests:\n"
          "  --fault-alive-zero     grant keep-alive 0 and close after each answer\n"
          "  --fault-cut-after N    cut a connection after N payload bytes\n"
          "  --fault-result PATH=CODE  answer result CODE to requests naming PATH\n"
          "  --fault-delay-ms N     wait N ms before every answer\n");
}

int Serve(const ServerOptions& opt, const FaultPlan& faults, const std::string& port_file) {
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

int RunHook(const ServerOptions& opt, const std::vector<std::string>& args,
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
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  if (cmd == "put" && (args.size() == 3 || args.size() == 4)) {
    uint64_t mtime = now;
    if (args.size() == 4 && !ParseDecimal(args[3], UINT32_MAX, mtime)) return 2;
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
    Usage();
    return 2;
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
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "syncfolder-server: %s needs a value\n", name);
        exit(2);
      }
      return argv[++i];
    };
    uint64_t n = 0;
    if (a == "--share") {
      opt.share = next("--share");
    } else if (a == "--state") {
      opt.state = next("--state");
    } else if (a == "--listen") {
      opt.bind_ip = next("--listen");
    } else if (a == "--port" && ParseDecimal(next("--port"), 65535, n)) {
      opt.port = static_cast<int>(n);
    } else if (a == "--port-file") {
      port_file = next("--port-file");
    } else if (a == "--alive" && ParseDecimal(next("--alive"), UINT32_MAX, n)) {
      opt.alive = static_cast<uint32_t>(n);
    } else if (a == "--max-connections" && ParseDecimal(next("--max-connections"), SIZE_MAX, n) &&
               n > 0) {
      opt.max_connections = n;
    } else if (a == "--max-per-address" && ParseDecimal(next("--max-per-address"), SIZE_MAX, n) &&
               n > 0) {
      opt.max_per_address = n;
    } else if (a == "--versions" && ParseDecimal(next("--versions"), SIZE_MAX, n) && n > 0) {
      opt.versions_kept = n;
    } else if (a == "--user") {
      std::string v = next("--user");
      size_t colon = v.find(':');
      if (colon == std::string::npos || colon == 0) {
        Usage();
        return 2;
      }
      opt.users[v.substr(0, colon)] = v.substr(colon + 1);
    } else if (a == "--session") {
      std::string v = next("--session");
      size_t colon = v.find(':');
      std::string token = v.substr(0, colon);
      if (token.empty()) {
        Usage();
        return 2;
      }
      opt.sessions[token] = colon == std::string::npos ? token : v.substr(colon + 1);
    } else if (a == "--tls-cert") {
      opt.tls_cert = next("--tls-cert");
    } else if (a == "--tls-key") {
      opt.tls_key = next("--tls-key");
    } else if (a == "--no-tls") {
      opt.tls = false;
    } else if (a == "--log-levels") {
      levels = next("--log-levels");
    } else if (a == "--updater") {
      updater = next("--updater");
    } else if (a == "--fault-alive-zero") {
      faults.alive_zero = true;
    } else if (a == "--fault-cut-after" && ParseDecimal(next("--fault-cut-after"), INT64_MAX, n)) {
      faults.cut_after_payload = static_cast<int64_t>(n);
    } else if (a == "--fault-result") {
      std::string v = next("--fault-result");
      size_t eq = v.rfind('=');
      if (eq == std::string::npos || !ParseDecimal(v.c_str() + eq + 1, 255, n) || n == 0) {
        Usage();
        return 2;
      }
      faults.result_for_path[v.substr(0, eq)] = static_cast<uint8_t>(n);
    } else if (a == "--fault-delay-ms" && ParseDecimal(next("--fault-delay-ms"), UINT32_MAX, n)) {
      faults.delay_ms = static_cast<uint32_t>(n);
    } else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (!a.empty() && a[0] != '-') {
      rest.push_back(a);
    } else {
      Usage();
      return 2;
    }
  }
  if (opt.share.empty()) {
    Usage();
    return 2;
  }
  Logger::Initialize(Logger::STDERR_LOGGER, L"", Utf8ToWideLossy(levels), 0);
  ProtoInit(4);
  if (rest.empty()) return Serve(opt, faults, port_file);
  return RunHook(opt, rest, updater);
}
