#include "lib/conf/startup-check.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"
#include "lib/fs/path-probe.h"

namespace {

std::string U8(const std::wstring& w) {
  return WideToUtf8Lossy(w);
}

// The installed sample, when there is one ("" otherwise).
std::string Sample(const char* name) {
#ifdef SF_SAMPLE_DIR
  std::string p = std::string(SF_SAMPLE_DIR) + "/" + name;
  if (FSProbePath(Utf8ToWideLossy(p)).exists) return p;
#else
  (void)name;
#endif
  return std::string();
}

// The longest existing prefix of `path` (itself when it exists): where a
// folder that is still to be made will be created.
std::wstring NearestExisting(std::wstring path) {
  for (;;) {
    if (FSProbePath(path).exists) return path;
    const size_t slash = path.find_last_of(L'/');
    if (slash == std::wstring::npos) return L".";
    if (slash == 0) return L"/";
    path.erase(slash);
  }
}

// Whether no daemon has run on the configuration's database folder yet.
bool FirstStart(const ClientConfig& cfg) {
  const std::wstring db = cfg.DbDir();
  return !db.empty() && db[0] == L'/' && !FSProbePath(db + L"/event-db.sqlite").exists;
}

// TLS keys that would change nothing: protocol 3 never uses TLS, and the
// certificate checks need TLS. Running on would send the session in clear
// text where the user asked for it to be protected.
void CheckTls(const ClientConfig& cfg, std::vector<ConfigProblem>& out) {
  const int64_t version = cfg.Number(L"proto_version");
  const bool v3 = (version > 3 ? version / 10 : version) == 3;
  const bool ssl = cfg.Bool(L"UseSSL");
  std::string keys;
  auto add = [&keys](bool set, const char* key) {
    if (set) keys += (keys.empty() ? "" : ", ") + std::string(key);
  };
  if (v3) add(ssl, "UseSSL");
  if (v3 || !ssl) {
    add(cfg.Has(L"SSLCAFile"), "SSLCAFile");
    add(cfg.Has(L"SSLCertPin"), "SSLCertPin");
  }
  if (keys.empty()) return;
  if (v3) {
    out.push_back(
        {kStartConfig, cfg.shown_path() + " sets " + keys +
                           ", but protocol 3 (proto_version = " + std::to_string(version) +
                           ") never uses TLS: the session would travel in clear text. "
                           "Remove " +
                           keys + ", or set proto_version = 40"});
  } else {
    out.push_back({kStartConfig,
                   cfg.shown_path() + " sets " + keys +
                       ", which check the server's certificate only with UseSSL = \"true\": the "
                       "session would travel in clear text. Set UseSSL = \"true\", or remove " +
                       keys});
  }
}

void CheckRoutes(const ClientConfig& cfg, std::vector<ConfigProblem>& out) {
  if (cfg.Bool(L"UseTunnel") && !(cfg.Has(L"TunnelSrvIP") && cfg.Has(L"TunnelSrvPort"))) {
    out.push_back({kStartConfig, cfg.shown_path() +
                                     " sets UseTunnel = true but names no relay: add "
                                     "`TunnelSrvIP = ADDRESS` and `TunnelSrvPort = PORT`"});
  }
  if (cfg.Bool(L"UseProxy") && cfg.Has(L"ProxySrvIP") && !cfg.Has(L"ProxySrvPort")) {
    out.push_back({kStartConfig, cfg.shown_path() + " names a proxy but not its port: add "
                                                    "`ProxySrvPort = PORT`"});
  }
}

bool AnyFatal(const std::vector<ConfigProblem>& v) {
  for (const ConfigProblem& p : v)
    if (p.fatal()) return true;
  return false;
}

void CheckFolders(const ClientConfig& cfg, std::vector<ConfigProblem>& out) {
  const std::string& conf = cfg.shown_path();
  const std::wstring watch = cfg.Text(L"watch");
  bool root_ok = false;
  if (!watch.empty()) {
    const std::string w = U8(watch);
    const PathProbe p = FSProbePath(watch);
    if (!p.exists && p.error == ENOENT) {
      // A first start makes the folder it is given. After one, a missing
      // folder is more likely a disk that is not mounted: an empty folder
      // made in its place would be filled from the server again.
      if (!FirstStart(cfg)) {
        out.push_back({kStartFolder, "the sync folder " + w +
                                         " does not exist: create it (mkdir -p " + w +
                                         ") or correct `watch` in " + conf});
      } else if (const int err = FSWritableDir(NearestExisting(watch))) {
        out.push_back({kStartFolder, "the sync folder " + w + " cannot be made (" +
                                         ErrnoMessage(err) + "): correct `watch` in " + conf});
      } else {
        root_ok = true;
      }
    } else if (!p.exists) {
      out.push_back({kStartFolder, "the sync folder " + w + " cannot be used (" +
                                       ErrnoMessage(p.error) + "): correct `watch` in " + conf});
    } else if (!p.is_dir) {
      out.push_back(
          {kStartFolder, "the sync folder " + w + " is not a folder: correct `watch` in " + conf});
    } else if (const int err = FSWritableDir(watch)) {
      out.push_back(
          {kStartFolder, "the sync folder " + w + " cannot be written (" + ErrnoMessage(err) +
                             "): make it writable for you or correct `watch` in " + conf});
    } else {
      root_ok = true;
    }
  }
  const std::wstring db = cfg.DbDir();
  if (db.empty() || (db[0] != L'/' && watch.empty())) return;
  const std::string d = U8(db);
  if (root_ok) {
    // Each write to a watched database would be a change recorded by
    // another write, without end. Compared through links.
    const std::wstring root = FSResolvePath(watch);
    if (FSIsSameOrBelow(FSResolvePath(db), root) ||
        FSIsSameOrBelow(FSResolvePath(db + L"/../log"), root)) {
      out.push_back({kStartFolder, "the database folder " + d +
                                       " (or its ../log) lies inside the sync folder " + U8(watch) +
                                       ": move `db_loc` in " + conf + " out of it"});
      return;
    }
  }
  const std::wstring at = NearestExisting(db);
  const std::string a = U8(at);
  const PathProbe p = FSProbePath(at);
  if (!p.is_dir) {
    out.push_back({kStartFolder, "the database folder " + d +
                                     (at == db ? std::string(" is not a folder")
                                               : " cannot be made: " + a + " is not a folder") +
                                     ": correct `db_loc` in " + conf});
  } else if (const int err = FSWritableDir(at)) {
    out.push_back({kStartFolder, "the database folder " + d + " cannot be " +
                                     (at == db ? "written (" : "made (" + a + ": ") +
                                     ErrnoMessage(err) + "): make " + a +
                                     " writable for you or correct `db_loc` in " + conf});
  }
}

void CheckFilter(const ClientConfig& cfg, std::vector<ConfigProblem>& out) {
  // The daemon creates the database folder before it reads the filter
  // beside it, so a first start has no db/.. to walk through yet.
  std::wstring db = WithoutTrailingSlashes(cfg.DbDir());
  std::wstring filter = db + L"/../conf/filter";
  if (!FSProbePath(db).is_dir) {
    const size_t slash = db.find_last_of(L'/');
    filter =
        (slash == std::wstring::npos ? std::wstring(L".") : db.substr(0, slash)) + L"/conf/filter";
  }
  if (FSProbePath(filter).exists) return;
  const std::string sample = Sample("filter");
  out.push_back(
      {kStartConfig, "no filter file at " + U8(filter) + ": " +
                         (sample.empty() ? std::string("create one (docs/usage.md, FILTER FILE)")
                                         : "copy " + sample + " there")});
}

}  // namespace

std::vector<ConfigProblem> CheckClientConfig(const ClientConfig& cfg) {
  std::vector<ConfigProblem> out;
  if (!cfg.readable()) {
    std::string advice = "; fix it (docs/usage.md, CONFIGURATION)";
    if (cfg.missing()) {
      const std::string sample = Sample("client.conf");
      advice = "; name an existing configuration file" +
               (sample.empty() ? std::string() : " (a sample: " + sample + ")");
    }
    out.push_back({kStartConfig, "cannot use the configuration " + cfg.shown_path() + ": " +
                                     cfg.read_error() + advice});
    return out;
  }
  out = cfg.problems();
  CheckTls(cfg, out);
  CheckRoutes(cfg, out);
  CheckFolders(cfg, out);
  if (!AnyFatal(out)) CheckFilter(cfg, out);
  return out;
}
