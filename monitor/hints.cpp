#include "monitor/hints.h"

#include "lib/base/errors.h"
#include "monitor/text.h"

namespace monitor {

std::string ErrorName(int32_t code) {
  return GetErrorString(code);
}

std::string FirstHop(const MonitorConfig& cfg, std::string* host, int* port) {
  std::string h = cfg.server;
  int p = cfg.port;
  if (cfg.use_proxy) {
    h = cfg.proxy_ip;
    p = cfg.proxy_port;
  } else if (cfg.use_tunnel) {
    h = cfg.tunnel_ip;
    p = cfg.tunnel_port;
  }
  if (host) *host = h;
  if (port) *port = p;
  if (h.empty()) return std::string();
  return h + ":" + std::to_string(p);
}

std::string ErrorHint(int32_t code, const MonitorConfig& cfg, bool steering) {
  const std::string conf = cfg.path.empty() ? std::string("the configuration") : cfg.path;
  std::string hop = FirstHop(cfg);
  if (hop.empty()) hop = "(no server configured)";
  std::string via;
  if (cfg.use_proxy) via = " through the proxy";
  if (!cfg.use_proxy && cfg.use_tunnel) via = " through the relay";
  const std::string reach_keys =
      cfg.use_proxy ? "`ProxySrvIP`/`ProxySrvPort`"
                    : (cfg.use_tunnel ? "`TunnelSrvIP`/`TunnelSrvPort`" : "`server`/`port`");
  switch (code) {
    case ERR_OK:
    case ERR_INT:
      return std::string();
    case ERR_IO:
    case ERR_TIMEOUT:
      return "cannot reach the server at " + hop + via + ": check that it runs and that " +
             reach_keys + " in " + conf + " are right" +
             (steering ? ", then press l to reload them" : ", then reload them (command 4)");
    case ERR_SYS:
      return "a system call failed on this machine (out of descriptors or memory?); the daemon "
             "retries";
    case ERR_INVAL:
      return "the daemon met an invalid argument; if it repeats, report it with the daemon's log " +
             cfg.LogFile();
    case ERR_PROTO:
      return "the program at " + hop + " does not speak the sync protocol: check " + reach_keys +
             " and `proto_version` in " + conf;
    case ERR_AUTH:
      return "the server refused the session \"" + MaskSession(cfg.session) +
             "\": correct `session` in " + conf + " and restart";
    case ERR_SERVER:
      return "the server reported an internal error; the daemon retries (see the server's log if "
             "it persists)";
    case ERR_CONFLICT:
      return "both sides changed a file; the local copy was kept under a conflict name";
    case ERR_VERSION:
      return "the server does not accept protocol " +
             std::string(cfg.proto_version > 0 && cfg.proto_version <= 3 ? "3" : "4") +
             ": set `proto_version` in " + conf + " to " +
             (cfg.proto_version > 0 && cfg.proto_version <= 3 ? "40" : "3") + " and restart";
    case ERR_NOENT:
      return "an item vanished while it was being synced; it is tried again";
    case ERR_USER:
      return "the server does not know this user: correct `user` and `session` in " + conf;
    case ERR_PASSWORD:
      return "user name and password do not match: correct the credentials (`session`) in " + conf;
    case ERR_KELVODISABLE:
      return "sync is disabled for this account or share on the server: enable it there; the "
             "daemon retries";
    case ERR_QUOTA:
      return "the account's quota on the server is used up: free space on the server or raise "
             "the quota";
    case ERR_DISKFULL:
      return "a disk is full: free space on the disk holding " +
             (cfg.watch.empty() ? std::string("the sync folder") : cfg.watch) +
             " (or on the server)";
    case ERR_SYNCFOLDER_MISS:
      return "the sync folder " + (cfg.watch.empty() ? std::string("") : cfg.watch + " ") +
             "is missing: restore it or correct `watch` in " + conf + ", then restart";
    case ERR_REMOVALS_HELD:
      return "removals from the server are held: the sync folder " +
             (cfg.watch.empty() ? std::string("") : cfg.watch + " ") +
             "looks missing, replaced or mostly emptied. If the disk is not mounted, mount it "
             "(the hold ends by itself); if the removals are wanted, " +
             (steering ? std::string("press c") : std::string("send command 5")) + " or create " +
             cfg.DbDir() +
             "/confirm-removals (the daemon's log lists what is "
             "held)";
    case ERR_WATCH_DEGRADED:
      return "changes may go unseen (too few inotify watches, lost changes or a lost sync "
             "folder); the daemon rescans every `rescan_interval` seconds meanwhile. If its log "
             "names fs.inotify.max_user_watches, raise it: sudo sysctl "
             "fs.inotify.max_user_watches=524288";
    case ERR_CONFIG_EXPOSED:
      return "other users can read " + conf +
             ", which holds the session (and the proxy password): chmod 600 " + conf;
    case ERR_TLS_UNVERIFIED:
      return "the server's certificate is not checked, so anyone on the path to " + hop +
             " can pose as the server and read the session: set `SSLCertPin` (or `SSLCAFile`) in " +
             conf + " and restart";
    default:
      return "unknown error code " + std::to_string(code) + "; see the daemon's log " +
             cfg.LogFile();
  }
}

}  // namespace monitor
