#include "lib/conf/client-config.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/base/errors.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"

namespace {

using T = ConfigType;

// The sample configuration's session (packaging/client.conf): a daemon
// started with it could only be refused by the server, again and again.
constexpr wchar_t kSamplePlaceholder[] = L"CHANGE-ME";

std::string U8(const std::wstring& w) {
  return WideToUtf8Lossy(w);
}

const ConfigKey* Find(const std::wstring& name) {
  for (const ConfigKey& k : ClientConfigKeys())
    if (name == k.name) return &k;
  return nullptr;
}

// The key the user most likely meant by an unknown one: at most two edits
// away (a typo), ignoring case; nullptr when none is that close.
const ConfigKey* Nearest(const std::wstring& name) {
  auto lower = [](std::wstring s) {
    for (wchar_t& c : s)
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
  };
  const std::wstring a = lower(name);
  const ConfigKey* best = nullptr;
  size_t best_d = 3;
  for (const ConfigKey& k : ClientConfigKeys()) {
    const std::wstring b = lower(k.name);
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
      size_t diag = row[0];
      row[0] = i;
      for (size_t j = 1; j <= b.size(); ++j) {
        const size_t up = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
        diag = up;
      }
    }
    if (row[b.size()] < best_d) {
      best_d = row[b.size()];
      best = &k;
    }
  }
  return best;
}

// What the user is told to write instead of a bad value.
std::string Expected(const ConfigKey& k) {
  switch (k.type) {
    case T::kBool:
      return "is neither true nor false: write true or false";
    case T::kPort:
      return "is not a port: write a number from 1 to 65535";
    case T::kProtocol:
      return "is not a protocol version: write 40 (protocol 4) or 3";
    case T::kNumber:
      return "is not a whole number from " + std::to_string(k.min) + " to " +
             std::to_string(k.max) + ": correct it";
    default:
      return "cannot be used";
  }
}

// The value of a kNumber, kPort or kProtocol key, or false.
[[nodiscard]] bool ParseNumber(const ConfigKey& k, const std::wstring& v, int64_t& out) {
  uint64_t n = 0;
  switch (k.type) {
    case T::kPort:
      if (!ParseDecimal(v, 65535, n) || n == 0) return false;
      break;
    case T::kProtocol:
      if (!ParseDecimal(v, 49, n) || (n != 3 && n < 40)) return false;
      break;
    case T::kNumber:
      if (!ParseDecimal(v, static_cast<uint64_t>(k.max), n) || n < static_cast<uint64_t>(k.min))
        return false;
      break;
    default:
      return false;
  }
  out = static_cast<int64_t>(n);
  return true;
}

}  // namespace

const std::vector<ConfigKey>& ClientConfigKeys() {
  // worker_count's 64 is the task manager's kMaxWorkers: one thread and one
  // mailbox each.
  static const std::vector<ConfigKey> keys = {
      {L"watch", T::kPath, 0, 0, 0, true},
      {L"db_loc", T::kPath, 0, 0, 0, true},
      {L"session", T::kText, 0, 0, 0, true},
      {L"server", T::kText, 0, 0, 0, true},
      {L"port", T::kPort, 0, 0, 0, true},
      {L"worker_count", T::kNumber, 1, 64, 0},
      {L"proto_version", T::kProtocol, 0, 0, 40},
      {L"user", T::kText},
      {L"client", T::kText},
      {L"password", T::kText},
      {L"UseSSL", T::kBool},
      {L"SSLCAFile", T::kPath},
      {L"SSLCertPin", T::kText},
      {L"UseProxy", T::kBool},
      {L"UseSysProxy", T::kBool},
      {L"ProxySrvIP", T::kText},
      {L"ProxySrvPort", T::kPort},
      {L"ProxyUsrName", T::kText},
      {L"ProxyPassword", T::kText},
      {L"ProxyHost", T::kText},
      {L"ProxyDomain", T::kText},
      {L"UseTunnel", T::kBool},
      {L"TunnelSrvIP", T::kText},
      {L"TunnelSrvPort", T::kPort},
      {L"ConnectionMode", T::kText},
      {L"native_client", T::kBool},
      {L"is_share", T::kBool},
      {L"removal_guard_percent", T::kNumber, 0, 100, 50},
      {L"removal_guard_min", T::kNumber, 0, int64_t{1} << 30, 50},
      {L"propagate_offline_removals", T::kBool},
      {L"rescan_interval", T::kNumber, 1, int64_t{86400} * 7, 600},
      {L"trash_max_days", T::kNumber, 0, 36500, 30},
      {L"trash_max_mb", T::kNumber, 0, int64_t{1} << 40, 1024},
  };
  return keys;
}

ClientConfig ClientConfig::Load(const std::wstring& path) {
  ClientConfig c;
  c.m_path = path;
  // Absolute, so that the advice names the file wherever it is read.
  const std::wstring resolved = FSResolvePath(path);
  c.m_shown = U8(resolved.empty() ? path : resolved);
  if (c.m_raw.read(path) != 0) {
    if (c.m_raw.bad_line() > 0) {
      c.m_read_error = "line " + std::to_string(c.m_raw.bad_line()) + " is not `key = value`";
    } else {
      const int err = c.m_raw.read_errno();
      c.m_read_error = err != 0 ? ErrnoMessage(err) : "it cannot be read";
      c.m_missing = err == ENOENT || err == ENOTDIR;
    }
    return c;
  }
  c.m_readable = true;
  c.Check();
  return c;
}

std::string ClientConfig::At(const std::wstring& key) const {
  std::wstring v = m_raw.entries().count(key) ? m_raw.entries().at(key) : L"";
  if (v.size() > 60) v = v.substr(0, 57) + L"...";
  return m_shown + ", line " + std::to_string(Line(key.c_str())) + ": `" + U8(key) + " = " + U8(v) +
         "`";
}

void ClientConfig::Check() {
  std::vector<std::wstring> bad;  // keys refused for their values
  // In the file's order, so that the messages read top to bottom.
  std::vector<std::pair<int, std::wstring>> order;
  for (const auto& kv : m_raw.entries()) order.emplace_back(Line(kv.first.c_str()), kv.first);
  std::sort(order.begin(), order.end());
  for (const auto& line_key : order) {
    const std::wstring& name = line_key.second;
    const std::wstring& value = m_raw.entries().at(name);
    const ConfigKey* k = Find(name);
    auto refuse = [&](const std::string& text) {
      Problem(kStartConfig, text);
      bad.push_back(name);
    };
    if (k == nullptr) {
      const ConfigKey* near = Nearest(name);
      Problem(0, m_shown + ", line " + std::to_string(Line(name.c_str())) + ": unknown key `" +
                     U8(name) + "` is ignored" +
                     (near ? std::string(" (did you mean `") + U8(near->name) + "`?)"
                           : std::string(" (docs/usage.md, CONFIGURATION lists the keys)")));
      continue;
    }
    // An empty value ("") is no value: the key's default, or "names no".
    if (value.empty()) continue;
    switch (k->type) {
      case T::kText:
        if (name == L"session" && value == kSamplePlaceholder) {
          refuse(At(name) +
                 " is the sample's placeholder: put the session your server gave "
                 "you there");
          continue;
        }
        break;
      case T::kPath:
        if (value == L"~" || value.compare(0, 2, L"~/") == 0) {
          const char* home = std::getenv("HOME");
          if (home == nullptr || home[0] != '/') {
            refuse(At(name) +
                   " starts with ~, but HOME is not set to a folder: "
                   "write the whole path");
            continue;
          }
          m_good[name] = WithoutTrailingSlashes(Utf8ToWideLossy(home) + value.substr(1));
          continue;
        }
        if (value[0] == L'~') {
          refuse(At(name) +
                 ": only ~/ (your home folder) is understood at the "
                 "start of a path: write the whole path");
          continue;
        }
        m_good[name] = WithoutTrailingSlashes(value);
        continue;
      case T::kBool:
        if (value != L"true" && value != L"false") {
          refuse(At(name) + " " + Expected(*k));
          continue;
        }
        break;
      default: {
        int64_t n = 0;
        if (!ParseNumber(*k, value, n)) {
          refuse(At(name) + " " + Expected(*k));
          continue;
        }
        break;
      }
    }
    m_good[name] = value;
  }

  auto missing = [&](const wchar_t* key) {
    return !Has(key) && std::find(bad.begin(), bad.end(), key) == bad.end();
  };
  if (missing(L"watch"))
    Problem(kStartConfig,
            m_shown + " names no sync folder: add a line `watch = \"/path/to/folder\"`");
  if (missing(L"db_loc"))
    Problem(kStartConfig, m_shown +
                              " names no database folder: add a line `db_loc = \"/path/to/db\"` "
                              "outside the sync folder");
  if (missing(L"session"))
    Problem(kStartConfig,
            m_shown +
                " names no session: add `session = \"...\"` with the session your server "
                "gave you");
  if (missing(L"server"))
    Problem(kStartConfig, m_shown + " names no server: add `server = ADDRESS` and `port = PORT`");
  else if (missing(L"port"))
    Problem(kStartConfig, m_shown + " names no server port: add `port = PORT`");
}

std::wstring ClientConfig::Text(const wchar_t* key) const {
  auto it = m_good.entries().find(key);
  return it == m_good.entries().end() ? std::wstring() : it->second;
}

int64_t ClientConfig::Number(const wchar_t* key) const {
  const ConfigKey* k = Find(key);
  auto it = m_good.entries().find(key);
  int64_t n = 0;
  if (k != nullptr && it != m_good.entries().end() && ParseNumber(*k, it->second, n)) return n;
  return k != nullptr ? k->def : 0;
}

bool ClientConfig::Bool(const wchar_t* key) const {
  auto it = m_good.entries().find(key);
  if (it != m_good.entries().end()) return it->second == L"true";
  const ConfigKey* k = Find(key);
  return k != nullptr && k->def != 0;
}

bool ClientConfig::Has(const wchar_t* key) const {
  return m_good.entries().count(key) != 0;
}

std::wstring ClientConfig::DbDir() const {
  std::wstring db = Text(L"db_loc");
  if (db.empty() || db[0] == L'/') return db;
  return Text(L"watch") + L"/" + db;
}
