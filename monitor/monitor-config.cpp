#include "monitor/monitor-config.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "lib/base/config.h"
#include "lib/base/utility.h"

namespace monitor {

namespace {

std::string Get(Config& c, const wchar_t* key) {
  return WideToUtf8Lossy(c[key]);
}

bool IsDir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

// realpath of the longest existing prefix plus the rest, so that a folder
// the daemon has not created yet can still be compared.
std::string Resolve(const std::string& p) {
  std::string head = p, tail;
  while (!head.empty()) {
    char buf[PATH_MAX];
    if (::realpath(head.c_str(), buf) != nullptr) return std::string(buf) + tail;
    const size_t slash = head.find_last_of('/');
    if (slash == std::string::npos) break;
    tail = head.substr(slash) + tail;
    head.erase(slash);
  }
  return p;
}

bool SameOrBelow(const std::string& path, const std::string& folder) {
  if (folder.empty()) return false;
  if (path == folder) return true;
  const std::string f = folder.back() == '/' ? folder : folder + "/";
  return path.compare(0, f.size(), f) == 0;
}

// The line the daemon's reader refuses, so that the message can point at it.
int FirstBadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    if (n == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    std::wstring k, v;
    if (Config::ParseLine(line + "\n", k, v) < 0) return n;
  }
  return 0;
}

// The installed sample filter, when there is one.
std::string SampleFilter() {
#ifdef SF_SAMPLE_DIR
  const std::string p = std::string(SF_SAMPLE_DIR) + "/filter";
  if (Exists(p)) return p;
#endif
  return std::string();
}

}  // namespace

std::string MonitorConfig::DbDir() const {
  if (db_loc.empty() || db_loc[0] == '/') return db_loc;
  return watch + "/" + db_loc;
}

MonitorConfig LoadConfig(const std::string& path) {
  MonitorConfig cfg;
  // Absolute, so that the advice names the file wherever it is read.
  char resolved[PATH_MAX];
  cfg.path = ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
  Config c;
  if (c.read(Utf8ToWideLossy(path)) != 0) {
    std::ifstream probe(path);
    if (!probe) {
      cfg.read_error = std::strerror(errno);
      cfg.missing = true;
    } else {
      const int bad = FirstBadLine(path);
      cfg.read_error =
          bad > 0 ? "line " + std::to_string(bad) + " is not `key = value`" : "it cannot be read";
    }
    return cfg;
  }
  cfg.readable = true;
  cfg.watch = Get(c, L"watch");
  cfg.db_loc = Get(c, L"db_loc");
  cfg.session = Get(c, L"session");
  cfg.server = Get(c, L"server");
  cfg.port = c.get_int(L"port");
  cfg.proto_version = c.get_int(L"proto_version");
  cfg.native_client = c[L"native_client"] == L"true";
  cfg.use_proxy = c[L"UseProxy"] == L"true";
  cfg.proxy_ip = Get(c, L"ProxySrvIP");
  cfg.proxy_port = c.get_int(L"ProxySrvPort");
  cfg.use_tunnel = c[L"UseTunnel"] == L"true";
  cfg.tunnel_ip = Get(c, L"TunnelSrvIP");
  cfg.tunnel_port = c.get_int(L"TunnelSrvPort");
  return cfg;
}

std::vector<Problem> CheckConfig(const MonitorConfig& cfg) {
  std::vector<Problem> out;
  const std::string& conf = cfg.path;
  if (!cfg.readable) {
    std::string sample;
#ifdef SF_SAMPLE_DIR
    if (Exists(std::string(SF_SAMPLE_DIR) + "/client.conf"))
      sample = " (a sample: " + std::string(SF_SAMPLE_DIR) + "/client.conf)";
#endif
    out.push_back({true, "cannot use the configuration " + conf + ": " + cfg.read_error +
                             (cfg.missing ? "; name an existing configuration file" + sample
                                          : "; fix it (docs/usage.md, CONFIGURATION)")});
    return out;
  }
  if (cfg.watch.empty()) {
    out.push_back({true, conf + " names no sync folder: add a line `watch = \"/path/to/folder\"`"});
  } else if (!Exists(cfg.watch)) {
    out.push_back({true, "the sync folder " + cfg.watch + " does not exist: create it (mkdir -p " +
                             cfg.watch + ") or correct `watch` in " + conf});
  } else if (!IsDir(cfg.watch)) {
    out.push_back(
        {true, "the sync folder " + cfg.watch + " is not a folder: correct `watch` in " + conf});
  }
  if (cfg.db_loc.empty()) {
    out.push_back({true, conf + " names no database folder: add a line `db_loc = \"/path/to/db\"` "
                                "outside the sync folder"});
  } else if (!cfg.watch.empty()) {
    const std::string root = Resolve(cfg.watch);
    const std::string db = Resolve(cfg.DbDir());
    if (SameOrBelow(db, root) || SameOrBelow(Resolve(cfg.DbDir() + "/../log"), root)) {
      out.push_back({true, "the database folder " + cfg.DbDir() +
                               " (or its ../log) lies inside "
                               "the sync folder " +
                               cfg.watch + ": move `db_loc` in " + conf + " out of it"});
    }
  }
  if (!cfg.db_loc.empty() && out.empty()) {
    // The daemon creates the database folder before it reads the filter
    // beside it, so a first start has no db/.. to walk through yet.
    std::string filter = cfg.FilterFile();
    std::string db = cfg.DbDir();
    while (db.size() > 1 && db.back() == '/') db.pop_back();
    if (!IsDir(db)) {
      const size_t slash = db.find_last_of('/');
      filter =
          (slash == std::string::npos ? std::string(".") : db.substr(0, slash)) + "/conf/filter";
    }
    if (!Exists(filter)) {
      const std::string sample = SampleFilter();
      out.push_back(
          {true, "no filter file at " + filter + ": " +
                     (sample.empty() ? std::string("create one (docs/usage.md, FILTER FILE)")
                                     : "copy " + sample + " there")});
    }
  }
  if (cfg.server.empty()) {
    out.push_back({false, conf + " names no server: add `server = ADDRESS` and `port = PORT`"});
  }
  return out;
}

}  // namespace monitor
