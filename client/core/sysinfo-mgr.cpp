#include "client/core/sysinfo-mgr.h"

#include "lib/base/config.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/net/host-name.h"

namespace {

constexpr wchar_t kLogComponent[] = L"sysinfo_mgr";

bool IsTrue(Config& c, const wchar_t* key) {
  return c[key] == L"true";
}

// A whole non-negative decimal number up to `max`, or `fallback` (an invalid
// value is said out loud: the user meant something else than the default).
int64_t Bound(Config& c, const wchar_t* key, int64_t fallback, int64_t max) {
  const std::wstring& v = c[key];
  if (v.empty()) return fallback;
  uint64_t n = 0;
  if (ParseDecimal(v, static_cast<uint64_t>(max), n)) return static_cast<int64_t>(n);
  SF_LOG(L_ERR, L"[ERROR] sysinfo-mgr(%d): '%s = %s' is not a number from 0 to %lld; using %lld\n",
         std::wstring(key), v, max, fallback);
  return fallback;
}

// A bounded count with a floor: `lo` keeps a setting such as a rescan interval
// from turning into a busy loop.
int IntOr(Config& c, const wchar_t* key, int def, int lo, int hi) {
  const int64_t v = Bound(c, key, def, hi);
  return v < lo ? lo : static_cast<int>(v);
}

// The client name when none is configured: this machine's name, its first
// label only, in letters, digits, '-' and '_', so that it can stand in a
// file name on every client of the share. Conflict copies carry it there.
std::wstring HostClientName() {
  const std::string host = LocalHostName();
  std::wstring name;
  bool meaningful = false;
  for (const char ch : host.substr(0, host.find('.'))) {
    const bool alnum =
        (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    meaningful = meaningful || alnum;
    name += alnum || ch == '-' || ch == '_' ? static_cast<wchar_t>(ch) : L'-';
    if (name.size() == 63) break;
  }
  return meaningful ? name : L"localhost";
}

}  // namespace

SFSysInfo& SFSysInfo::SFSystemInfoGet(const wchar_t* path) {
  static SFSysInfo instance(path);
  return instance;
}

SFSysInfo::SFSysInfo(const wchar_t* path) {
  MutexLock g(m_lock);
  Config c;
  if (c.read(path) != 0) {
    // Said out loud: the defaults watch another folder than the user chose.
    // Before the logger is set up this goes to standard error.
    SF_LOG(L_ERR,
           L"[ERROR] sysinfo-mgr(%d): cannot read the configuration '%s' (missing, unreadable or "
           L"with a malformed line); using the built-in defaults\n",
           path == nullptr ? L"" : path);
    LoadDefaults();
  } else {
    m_config_read = true;
    m_info.strUser = c[L"user"];
    m_info.strPass = c[L"password"];
    m_info.strClient = c[L"client"];
    m_info.strSession = c[L"session"];
    m_info.strIP = c[L"server"];
    m_info.strFolderLoc = WithoutTrailingSlashes(c[L"watch"]);
    m_info.strDBLoc = WithoutTrailingSlashes(c[L"db_loc"]);
    m_info.UseProxy = IsTrue(c, L"UseProxy");
    m_info.UseSysProxy = IsTrue(c, L"UseSysProxy");
    m_info.strProxySrvIP = c[L"ProxySrvIP"];
    m_info.ProxySrvPort = c.get_int(L"ProxySrvPort");
    m_info.strProxyUsrName = c[L"ProxyUsrName"];
    std::string enc, dec;
    std::wstring plain;
    if (NativeStrToUTF8(c[L"ProxyPassword"], enc) == 0) {
      SyncPassDec(enc, dec);
      if (UTF8ToNativeStr(dec, plain) == 0) m_info.strProxyUsrPassword = plain;
    }
    m_info.strProxyHost = c[L"ProxyHost"];
    m_info.strProxyDomain = c[L"ProxyDomain"];
    m_info.UseTunnel = IsTrue(c, L"UseTunnel");
    m_info.strTunnelSrvIP = c[L"TunnelSrvIP"];
    m_info.TunnelPort = c.get_int(L"TunnelSrvPort");
    m_info.strCnMode = c[L"ConnectionMode"];
    m_info.port = c.get_int(L"port");
    m_info.workerCount = c.get_int(L"worker_count");
    m_info.version = c.get_int(L"proto_version");
    m_info.UseSSL = IsTrue(c, L"UseSSL");
    m_info.strSSLCAFile = c[L"SSLCAFile"];
    m_info.strSSLCertPin = c[L"SSLCertPin"];
    m_info.isSSL = false;
    m_info.nativeClient = IsTrue(c, L"native_client");
    m_info.isShare = IsTrue(c, L"is_share");
    m_info.trashMaxDays = static_cast<int>(Bound(c, L"trash_max_days", 30, 36500));
    m_info.trashMaxMB = Bound(c, L"trash_max_mb", 1024, int64_t{1} << 40);
    m_info.syncId = 0;
    m_info.removalGuardPercent = IntOr(c, L"removal_guard_percent", 50, 0, 100);
    m_info.removalGuardMin = IntOr(c, L"removal_guard_min", 50, 0, 1 << 30);
    m_info.rescanInterval = IntOr(c, L"rescan_interval", 600, 1, 86400 * 7);
    m_info.propagateOfflineRemovals = IsTrue(c, L"propagate_offline_removals");
  }
  DerivePaths();

  // Without a user the user name is the session, which must not reach file
  // names on the share: the client name then comes from the host.
  const bool user_given = !m_info.strUser.empty();
  if (!user_given) m_info.strUser = m_info.strSession;
  if (m_info.strClient.empty())
    m_info.strClient = user_given ? m_info.strUser + L"@Stowbay" : HostClientName();
  if (m_info.workerCount < 1) m_info.workerCount = m_info.nativeClient ? 2 : 3;
  if (m_info.version < 1) m_info.version = 40;

  SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d): CLIENT_INFO:\n");
  SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d):   watch: %s\n", m_info.strFolderLoc);
  SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d):   db_loc: %s\n", m_info.strDBLoc);
  if (m_info.nativeClient) {
    SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d):   domain socket: /tmp/sfsock\n");
  } else {
    SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d):   server: %s\n", m_info.strIP);
    SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d):   port: %llu\n",
           static_cast<unsigned long long>(static_cast<long long>(m_info.port)));
  }
}

// Development defaults for a missing or malformed configuration. The derived
// paths are computed from the default database directory as well, so that a
// client started without configuration still finds its databases.
void SFSysInfo::LoadDefaults() {
  m_info = _SF_SYSINFO_tag();
  m_info.strUser = L"developer";
  m_info.strPass = L"12345678";
  m_info.strClient = L"developer@devbox";
  m_info.strSession = L"00000000-0000-0000-0000-000000000000";
  m_info.strIP = L"192.168.0.10";
  m_info.strFolderLoc = L"/syncfolder";
  m_info.strDBLoc = L".";
  m_info.port = 6690;
  m_info.UseSSL = false;
  m_info.nativeClient = false;
}

void SFSysInfo::DerivePaths() {
  const std::wstring& db = m_info.strDBLoc;
  m_info.strCFEDBLoc = db + L"/" + L"event-db.sqlite";
  m_info.strSignLoc = db + L"/" + L"sign";
  m_info.strCFSTATDBLoc = db + L"/" + L"file-status.sqlite";
  m_info.strCWINFODBLoc = db + L"/" + L"watch-info.sqlite";
  m_info.strEXCEPLISTLoc = db + L"/" + L"excep.list";
  m_info.strTrashLoc = db + L"/" + L"trash";
}

std::wstring SFSysInfo::IPGet() const {
  MutexLock g(m_lock);
  return m_info.strIP;
}

std::wstring SFSysInfo::FolderLocGet() const {
  MutexLock g(m_lock);
  return m_info.strFolderLoc;
}

int SFSysInfo::PortGet() const {
  MutexLock g(m_lock);
  return m_info.port;
}

int SFSysInfo::WorkerCountGet() const {
  MutexLock g(m_lock);
  return m_info.workerCount;
}

int SFSysInfo::ProtoVersionGet() const {
  MutexLock g(m_lock);
  return m_info.version;
}

bool SFSysInfo::IsShare() const {
  MutexLock g(m_lock);
  return m_info.isShare;
}

bool SFSysInfo::IsNativeClient() const {
  MutexLock g(m_lock);
  return m_info.nativeClient;
}

bool SFSysInfo::IsEncrypt() const {
  MutexLock g(m_lock);
  return m_info.isSSL;
}

void SFSysInfo::FolderLocSet(const std::wstring& path) {
  MutexLock g(m_lock);
  m_info.strFolderLoc = path;
}

void SFSysInfo::ReloadIP(const wchar_t* path) {
  // Read before taking the lock: readers of the configuration on other
  // threads must not wait for the file system.
  Config c;
  if (c.read(path) != 0) {
    SF_LOG(L_ERR,
           L"[ERROR] sysinfo-mgr(%d): cannot reload the server address: the configuration '%s' "
           L"cannot be read or has a malformed line; the address stays as it was\n",
           path == nullptr ? L"" : path);
    return;
  }
  if (c[L"server"].empty()) {
    SF_LOG(L_ERR,
           L"[ERROR] sysinfo-mgr(%d): cannot reload the server address: the configuration '%s' "
           L"names no server; the address stays as it was\n",
           path == nullptr ? L"" : path);
    return;
  }
  MutexLock g(m_lock);
  m_info.strIP = c[L"server"];
  m_info.port = c.get_int(L"port");
  SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d): CLIENT_INFO Reload ip & port:\n");
  SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d):   ip: %s\n", m_info.strIP);
  SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d):   port: %d\n", m_info.port);
}
