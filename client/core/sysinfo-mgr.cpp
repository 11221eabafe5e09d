#include "client/core/sysinfo-mgr.h"

#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/net/host-name.h"

namespace {

constexpr wchar_t kLogComponent[] = L"sysinfo_mgr";

bool IsTrue(const ClientConfig& c, const wchar_t* key) {
  return c.Bool(key);
}

int IntOf(const ClientConfig& c, const wchar_t* key) {
  return static_cast<int>(c.Number(key));
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

namespace {

// One singleton for both ways of making it: whichever call comes first.
SFSysInfo& Instance(const ClientConfig* checked, const wchar_t* path) {
  static SFSysInfo instance(checked != nullptr ? *checked : ClientConfig::Load(path ? path : L""));
  return instance;
}

}  // namespace

SFSysInfo& SFSysInfo::SFSystemInfoGet(const wchar_t* path) {
  return Instance(nullptr, path);
}

SFSysInfo& SFSysInfo::SFSystemInfoGet(const ClientConfig& checked) {
  return Instance(&checked, nullptr);
}

SFSysInfo::SFSysInfo(const wchar_t* path) : SFSysInfo(ClientConfig::Load(path ? path : L"")) {}

SFSysInfo::SFSysInfo(const ClientConfig& c) {
  MutexLock g(m_lock);
  if (!c.readable()) {
    // Nothing is made up in its place: defaults could name a stranger's
    // server and folders the user never chose. Before the logger is set up
    // this goes to standard error.
    SF_LOG(L_ERR, L"[ERROR] sysinfo-mgr(%d): cannot use the configuration '%s': %s\n", c.path(),
           c.read_error());
  } else {
    m_config_read = true;
    m_info.strUser = c.Text(L"user");
    m_info.strPass = c.Text(L"password");
    m_info.strClient = c.Text(L"client");
    m_info.strSession = c.Text(L"session");
    m_info.strIP = c.Text(L"server");
    m_info.strFolderLoc = c.Text(L"watch");
    m_info.strDBLoc = c.Text(L"db_loc");
    m_info.UseProxy = IsTrue(c, L"UseProxy");
    m_info.UseSysProxy = IsTrue(c, L"UseSysProxy");
    m_info.strProxySrvIP = c.Text(L"ProxySrvIP");
    m_info.ProxySrvPort = IntOf(c, L"ProxySrvPort");
    m_info.strProxyUsrName = c.Text(L"ProxyUsrName");
    std::string enc, dec;
    std::wstring plain;
    if (NativeStrToUTF8(c.Text(L"ProxyPassword"), enc) == 0) {
      SyncPassDec(enc, dec);
      if (UTF8ToNativeStr(dec, plain) == 0) m_info.strProxyUsrPassword = plain;
    }
    m_info.strProxyHost = c.Text(L"ProxyHost");
    m_info.strProxyDomain = c.Text(L"ProxyDomain");
    m_info.UseTunnel = IsTrue(c, L"UseTunnel");
    m_info.strTunnelSrvIP = c.Text(L"TunnelSrvIP");
    m_info.TunnelPort = IntOf(c, L"TunnelSrvPort");
    m_info.strCnMode = c.Text(L"ConnectionMode");
    m_info.port = IntOf(c, L"port");
    m_info.workerCount = IntOf(c, L"worker_count");
    m_info.version = IntOf(c, L"proto_version");
    m_info.UseSSL = IsTrue(c, L"UseSSL");
    m_info.strSSLCAFile = c.Text(L"SSLCAFile");
    m_info.strSSLCertPin = c.Text(L"SSLCertPin");
    m_info.isSSL = false;
    m_info.nativeClient = IsTrue(c, L"native_client");
    m_info.isShare = IsTrue(c, L"is_share");
    m_info.trashMaxDays = IntOf(c, L"trash_max_days");
    m_info.trashMaxMB = c.Number(L"trash_max_mb");
    m_info.syncId = 0;
    m_info.removalGuardPercent = IntOf(c, L"removal_guard_percent");
    m_info.removalGuardMin = IntOf(c, L"removal_guard_min");
    m_info.rescanInterval = IntOf(c, L"rescan_interval");
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
  const ClientConfig c = ClientConfig::Load(path == nullptr ? L"" : path);
  const wchar_t* shown = path == nullptr ? L"" : path;
  if (!c.readable()) {
    SF_LOG(L_ERR,
           L"[ERROR] sysinfo-mgr(%d): cannot reload the server address: the configuration '%s' "
           L"cannot be read or has a malformed line; the address stays as it was\n",
           shown);
    return;
  }
  if (!c.Has(L"server") || !c.Has(L"port")) {
    SF_LOG(L_ERR,
           L"[ERROR] sysinfo-mgr(%d): cannot reload the server address: the configuration '%s' "
           L"names no %s; the address stays as it was\n",
           shown, c.Has(L"server") ? L"valid port (1 to 65535)" : L"server");
    return;
  }
  MutexLock g(m_lock);
  m_info.strIP = c.Text(L"server");
  m_info.port = IntOf(c, L"port");
  SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d): CLIENT_INFO Reload ip & port:\n");
  SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d):   ip: %s\n", m_info.strIP);
  SF_LOG(L_INFO, L"[INFO] sysinfo-mgr(%d):   port: %d\n", m_info.port);
}
