#include "client/sync/conflict-checker.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "client/core/sysinfo-mgr.h"
#include "client/store/event-db.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/fs/nofollow-walk.h"

namespace {

constexpr wchar_t kLogComponent[] = L"conflict_checker_debug";

constexpr const wchar_t* kMonths[12] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                        L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};

size_t Utf8Size(const std::wstring& s) {
  return WideToUtf8Lossy(s).size();
}

// Renames `from` of `fromdir` to `to` of `dirfd` unless `to` exists. 0, or
// the errno.
int RenameNoReplace(int fromdir, const std::string& from, int dirfd, const std::string& to) {
  if (renameat2(fromdir, from.c_str(), dirfd, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: test, then rename. The window between
  // the two is the only place a name could still be taken.
  struct stat st;
  if (fstatat(dirfd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return renameat(fromdir, from.c_str(), dirfd, to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

ConflictChecker::ConflictChecker(SFSysInfo* config) : m_config(config) {}

std::wstring ConflictChecker::Root() const {
  if (!m_root.empty() || !m_config) return m_root;
  std::wstring r = m_config->FolderLocGet();
  while (r.size() > 1 && r.back() == L'/') r.pop_back();
  return r;
}

std::wstring ConflictChecker::Client() const {
  if (!m_client.empty() || !m_config) return m_client;
  return m_config->ClientGet();
}

ConflictType ConflictChecker::checkConflict(Event& e1, Event& e2) {
  if (e1.isServerEvent() != e2.isServerEvent()) {
    ConflictType type;
    Event client;
    if (e1.isServerEvent()) {
      type = checkEventConflict(e1, e2);
      SF_LOG(L_WARNING, L"[WARNING] conflict-checker(%d): a: e1: %s e2: %s  conflictType:%d\n",
             e1.toString(), e2.toString(), static_cast<int>(type));
      client = e2;
    } else {
      type = checkEventConflict(e2, e1);
      SF_LOG(L_WARNING,
             L"[WARNING] conflict-checker(%d): b: e1: %s e2: %s  conflictType:%d\n\n\n\n\n\n",
             e1.toString(), e2.toString(), static_cast<int>(type));
      client = e1;
      e1 = e2;
    }
    if (type == SvrClt_PushFile2Svr) e1 = client;
    return type;
  }
  SF_LOG(L_WARNING, L"[WARNING] conflict-checker(%d): c: e1: %s e2: %s\n", e1.toString(),
         e2.toString());
  e1 = e2;
  return Svr_IgnorThisEvent;
}

ConflictType ConflictChecker::checkEventConflict(Event& svrEvent, Event& clientEvent) {
  if (svrEvent.m_path != clientEvent.m_path) {
    SF_LOG(L_ERR,
           L"[ERROR] conflict-checker(%d): Events are from two different path. svr-path:[%s] "
           L"client-path:[%s]\n",
           svrEvent.m_path, clientEvent.m_path);
    return UnknownConflictType;
  }
  ClientFileEventInfo row;
  if (FileEventDB::getEventInfo(svrEvent.m_path, row) == 0 && row.syncID >= svrEvent.m_syncID)
    return SvrClt_PushFile2Svr;
  // The start-up rescan asks (with the id ~0) for a synced item that is
  // missing; that is no change made on the server, and the removal the
  // user made (queued again after a restart) is what happened to it.
  if (clientEvent.m_type == EV_REMOVE && svrEvent.m_type != EV_REMOVE &&
      svrEvent.m_syncID == UINT64_MAX)
    return SvrClt_PushFile2Svr;
  if (clientEvent.m_type == EV_REMOVE)
    return svrEvent.m_type == EV_REMOVE ? SvrClt_Svr2DB : SvrClt_SvrApply;
  if (svrEvent.m_type == EV_REMOVE) {
    if (FileEventDB::rmEventInfoV3(svrEvent.m_path) != 0)
      SF_LOG(L_ERR, L"[ERROR] conflict-checker(%d): Failed to apply server event\n");
    return SvrClt_PushFile2Svr;
  }
  return (svrEvent.isDir() && clientEvent.isDir()) ? SvrClt_Svr2DB : SvrClt_SvrApply;
}

std::wstring ConflictChecker::Suffix(const std::wstring& client, const struct tm& t) {
  wchar_t time_text[64];
  const int mon = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
  swprintf(time_text, 64, L"%ls-%02d-%02d%02d-%04d", kMonths[mon], t.tm_mday, t.tm_hour, t.tm_min,
           t.tm_year + 1900);
  return L"_" + client + L"_" + time_text;
}

std::wstring ConflictChecker::ConflictName(const std::wstring& full_path,
                                           const std::wstring& suffix, int n) {
  const size_t slash = full_path.find_last_of(L"/\\");
  const size_t leaf_at = slash == std::wstring::npos ? 0 : slash + 1;
  const size_t dot = full_path.rfind(L'.');
  const bool has_ext = dot != std::wstring::npos && dot >= leaf_at;
  std::wstring stem_leaf = full_path.substr(leaf_at, (has_ext ? dot : full_path.size()) - leaf_at);
  const std::wstring ext = has_ext ? full_path.substr(dot) : std::wstring();
  std::wstring tail = suffix;
  if (n > 0) tail += L"_" + std::to_wstring(n);
  tail += ext;
  // A long name loses the end of its stem rather than failing to be kept.
  while (!stem_leaf.empty() && Utf8Size(stem_leaf + tail) > 255) stem_leaf.pop_back();
  return full_path.substr(0, leaf_at) + stem_leaf + tail;
}

int ConflictChecker::renameConflictFile(Event& clientEvent) {
  return renameConflictFile(Root() + clientEvent.m_path);
}

int ConflictChecker::renameConflictFile(const std::wstring& full_path, std::wstring* renamed_to) {
  return renameConflictFile(full_path, -1, std::string(), renamed_to);
}

int ConflictChecker::renameConflictFile(const std::wstring& full_path, int fromdir,
                                        const std::string& name, std::wstring* renamed_to) {
  time_t now = m_clock ? m_clock() : std::time(nullptr);
  struct tm t = {};
  localtime_r(&now, &t);
  const std::wstring suffix = Suffix(Client(), t);

  // The directory holding the item, reached without following links when
  // it lies below the sync root.
  UniqueFd parent;
  std::string leaf;
  const std::wstring root = Root();
  if (!root.empty() && full_path.size() > root.size() + 1 &&
      full_path.compare(0, root.size(), root) == 0 && full_path[root.size()] == L'/') {
    SharePath p;
    ShareDir dir;
    if (ParseSharePath(full_path.substr(root.size()), p) != 0 ||
        dir.Open(WideToUtf8Lossy(root)) != 0 || dir.OpenParent(p, false, parent) != 0) {
      SF_LOG(L_ERR, L"[ERROR] conflict-checker(%d): rename failed. From:[%s] To:[%s] error:[%s]\n",
             full_path, L"", L"the item cannot be reached inside the sync root");
      return -1;
    }
    leaf = p.leaf();
  } else {
    const size_t slash = full_path.rfind(L'/');
    const std::string dir =
        WideToUtf8Lossy(slash == 0 ? L"/" : full_path.substr(0, slash == std::wstring::npos ? 0 : slash));
    leaf = WideToUtf8Lossy(slash == std::wstring::npos ? full_path : full_path.substr(slash + 1));
    parent.reset(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid()) {
      SF_LOG(L_ERR, L"[ERROR] conflict-checker(%d): rename failed. From:[%s] To:[%s] error:[%s]\n",
             full_path, L"", std::string(strerror(errno)));
      return -1;
    }
  }

  for (int n = 0; n < kMaxCandidates; ++n) {
    const std::wstring cand = ConflictName(full_path, suffix, n);
    const size_t slash = cand.find_last_of(L"/\\");
    const std::string cand_leaf = WideToUtf8Lossy(slash == std::wstring::npos ? cand : cand.substr(slash + 1));
    const int err = fromdir < 0 ? RenameNoReplace(parent.get(), leaf, parent.get(), cand_leaf)
                                : RenameNoReplace(fromdir, name, parent.get(), cand_leaf);
    if (err == EEXIST || err == ENOTEMPTY) continue;
    if (err != 0) {
      SF_LOG(L_ERR, L"[ERROR] conflict-checker(%d): rename failed. From:[%s] To:[%s] error:[%s]\n",
             full_path, cand, std::string(strerror(err)));
      return -1;
    }
    SyncDir(parent.get());
    if (fromdir >= 0) SyncDir(fromdir);
    SF_LOG(L_INFO, L"[INFO] conflict-checker(%d): kept '%s' as '%s'\n", full_path, cand);
    if (renamed_to) *renamed_to = cand;
    return 0;
  }
  SF_LOG(L_ERR, L"[ERROR] conflict-checker(%d): rename failed. From:[%s] To:[%s] error:[%s]\n",
         full_path, ConflictName(full_path, suffix, kMaxCandidates - 1), L"every name is taken");
  return -1;
}
