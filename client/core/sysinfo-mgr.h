// The configuration singleton: loaded once from the key/value file given on
// the command line, with the database locations derived from "db_loc".
#pragma once

#include <cstdint>
#include <string>

#include "lib/base/mutex.h"
#include "lib/conf/client-config.h"

struct _SF_SYSINFO_tag {
  std::wstring strUser;
  std::wstring strPass;
  std::wstring strClient;
  std::wstring strSession;
  std::wstring strIP;
  std::wstring strFolderLoc;
  std::wstring strDBLoc;
  std::wstring strCFEDBLoc;
  std::wstring strSignLoc;
  std::wstring strCFSTATDBLoc;
  std::wstring strCWINFODBLoc;
  std::wstring strEXCEPLISTLoc;
  std::wstring strTrashLoc;  // strDBLoc + "/trash": the local trash (lib/fs/trash.h)
  // Bounds of the local trash: keys "trash_max_days" (default 30) and
  // "trash_max_mb" (MiB, default 1024); 0 in either turns the trash off.
  int trashMaxDays = 30;
  int64_t trashMaxMB = 1024;
  bool UseProxy = false;
  bool UseSysProxy = false;
  std::wstring strProxySrvIP;
  int ProxySrvPort = 0;
  std::wstring strProxyUsrName;
  std::wstring strProxyUsrPassword;
  std::wstring strProxyHost;
  std::wstring strProxyDomain;
  bool UseTunnel = false;
  std::wstring strTunnelSrvIP;
  int TunnelPort = 0;
  std::wstring strCnMode;
  int port = 0;
  int workerCount = 0;
  int version = 0;
  bool UseSSL = false;
  std::wstring strSSLCAFile;   // optional: CA file the server's certificate must lead to
  std::wstring strSSLCertPin;  // optional: SHA-256 fingerprint of the server's certificate
  bool isSSL = false;
  bool nativeClient = false;
  bool isShare = false;
  uint64_t syncId = 0;
  // Local removals are held for the user's confirmation when they take more
  // than this share (percent) of the synced items, and at least
  // removalGuardMin of them.
  int removalGuardPercent = 50;
  int removalGuardMin = 50;
  // Seconds between full rescans while changes may go unseen.
  int rescanInterval = 600;
  // "propagate_offline_removals": synced items missing at start-up were
  // removed by the user and are removed on the server (through the removal
  // guard), instead of being fetched again.
  bool propagateOfflineRemovals = false;
};

class SFSysInfo {
 public:
  // The singleton, constructed from `path` (or from the configuration
  // start-up has already read and checked) on the first call; later calls
  // ignore the argument. Thread-safe.
  static SFSysInfo& SFSystemInfoGet(const wchar_t* path);
  static SFSysInfo& SFSystemInfoGet(const ClientConfig& checked);

  // Builds a configuration from `path` or from one already read (exposed so
  // that tests can load more than one). A value that fails its key's check
  // gives the key's default; an unreadable or malformed file configures
  // nothing (no sync root, no server). Start-up refuses both before it gets
  // here (CheckClientConfig).
  explicit SFSysInfo(const wchar_t* path);
  explicit SFSysInfo(const ClientConfig& c);
  SFSysInfo(const SFSysInfo&) = delete;
  SFSysInfo& operator=(const SFSysInfo&) = delete;

  // Constant after construction (no lock).
  const std::wstring& UserGet() const { return m_info.strUser; }
  const std::wstring& PassGet() const { return m_info.strPass; }
  const std::wstring& ClientGet() const { return m_info.strClient; }
  const std::wstring& SessionGet() const { return m_info.strSession; }
  // False when the file could not be read or had a malformed line, so
  // nothing is configured.
  bool ConfigRead() const { return m_config_read; }
  const std::wstring& DBLocGet() const { return m_info.strDBLoc; }
  const std::wstring& CFEDBLocGet() const { return m_info.strCFEDBLoc; }
  const std::wstring& SignLocGet() const { return m_info.strSignLoc; }
  const std::wstring& CFSTATDBLocGet() const { return m_info.strCFSTATDBLoc; }
  const std::wstring& CWINFODBLocGet() const { return m_info.strCWINFODBLoc; }
  const std::wstring& EXCEPLISTLocGet() const { return m_info.strEXCEPLISTLoc; }
  const std::wstring& TrashLocGet() const { return m_info.strTrashLoc; }
  int TrashMaxDaysGet() const { return m_info.trashMaxDays; }
  int64_t TrashMaxMBGet() const { return m_info.trashMaxMB; }
  std::wstring ProxySrvIPGet() const { return m_info.strProxySrvIP; }
  std::wstring ProxyUsrNameGet() const { return m_info.strProxyUsrName; }
  std::wstring ProxyUsrPasswordGet() const { return m_info.strProxyUsrPassword; }
  std::wstring ProxyHostGet() const { return m_info.strProxyHost; }
  std::wstring ProxyDomainGet() const { return m_info.strProxyDomain; }
  std::wstring TunnelSrvIPGet() const { return m_info.strTunnelSrvIP; }
  std::wstring CnModeGet() const { return m_info.strCnMode; }
  int ProxySrvPortGet() const { return m_info.ProxySrvPort; }
  int TunnelSrvPortGet() const { return m_info.TunnelPort; }
  bool IsUseProxy() const { return m_info.UseProxy; }
  bool IsUseSysProxy() const { return m_info.UseSysProxy; }
  bool IsUseSSL() const { return m_info.UseSSL; }
  bool IsUseTunnel() const { return m_info.UseTunnel; }
  // The optional checks of the server's TLS certificate ("SSLCAFile",
  // "SSLCertPin"); empty when not configured.
  const std::wstring& SSLCAFileGet() const { return m_info.strSSLCAFile; }
  const std::wstring& SSLCertPinGet() const { return m_info.strSSLCertPin; }
  // "removal_guard_percent", "removal_guard_min", "rescan_interval".
  int RemovalGuardPercentGet() const { return m_info.removalGuardPercent; }
  int RemovalGuardMinGet() const { return m_info.removalGuardMin; }
  int RescanIntervalGet() const { return m_info.rescanInterval; }
  bool PropagateOfflineRemovals() const { return m_info.propagateOfflineRemovals; }

  // Changed by ReloadIP / FolderLocSet: copies taken under m_lock, so a task
  // never reads a string while the main thread replaces it.
  std::wstring IPGet() const;
  std::wstring FolderLocGet() const;
  int PortGet() const;
  int WorkerCountGet() const;
  int ProtoVersionGet() const;
  bool IsShare() const;
  bool IsNativeClient() const;
  bool IsEncrypt() const;

  void FolderLocSet(const std::wstring& path);
  // Re-reads only "server" and "port" from `path`; an unreadable file changes
  // nothing.
  void ReloadIP(const wchar_t* path);

 private:
  void DerivePaths();

  bool m_config_read = false;  // Constant after construction
  mutable Mutex m_lock;
  // Guarded by m_lock where it can change (see above). Not GUARDED_BY: one
  // record holds both the constant fields, read without the lock, and the
  // few that change.
  _SF_SYSINFO_tag m_info;
};
