// Thread: any; the state file is written under m_file_mutex and read
// without it (it is replaced by a rename, so a reader sees one whole
// version).
#include "client/core/removal-guard.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "lib/base/log.h"
#include "lib/base/utility.h"

namespace {

constexpr wchar_t kLogComponent[] = L"client_task_mgr_debug";

struct Identity {
  uint64_t dev = 0;
  uint64_t ino = 0;
};

bool StatRoot(const std::wstring& root, Identity& id, int& err) {
  struct stat st;
  if (::stat(WideToUtf8Lossy(root).c_str(), &st) != 0) {
    err = errno;
    return false;
  }
  id.dev = static_cast<uint64_t>(st.st_dev);
  id.ino = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool ReadState(const std::string& path, Identity& id) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return false;
  const bool ok = std::fscanf(f, "device %" SCNu64 " inode %" SCNu64, &id.dev, &id.ino) == 2;
  std::fclose(f);
  return ok;
}

}  // namespace

RemovalGuard::RemovalGuard(std::wstring root, std::wstring state_file, int percent, int min_items)
    : m_root(std::move(root)),
      m_state_file(WideToUtf8Lossy(state_file)),
      m_percent(percent),
      m_min_items(min_items) {}

bool RemovalGuard::TooMany(uint64_t items, uint64_t synced) const {
  if (items == 0 || items < static_cast<uint64_t>(m_min_items)) return false;
  return items * 100 > static_cast<uint64_t>(m_percent) * synced;
}

std::wstring RemovalGuard::RootProblem(bool has_entries) const {
  Identity now;
  int err = 0;
  if (!StatRoot(m_root, now, err)) {
    if (err == ENOENT || err == ENOTDIR) return L"the sync root is gone";
    return L"the sync root cannot be examined";
  }
  Identity was;
  if (ReadState(m_state_file, was)) {
    if (was.dev != now.dev)
      return L"the sync root is on another file system than when it was last synced";
    if (was.ino != now.ino) return L"the sync root is another folder than when it was last synced";
  }
  if (!has_entries) return L"the sync root is empty";
  return std::wstring();
}

void RemovalGuard::RecordRoot() {
  Identity now;
  int err = 0;
  if (!StatRoot(m_root, now, err)) return;
  MutexLock g(m_file_mutex);
  Identity was;
  if (ReadState(m_state_file, was) && was.dev == now.dev && was.ino == now.ino) return;
  const std::string tmp = m_state_file + ".new";
  FILE* f = std::fopen(tmp.c_str(), "w");
  bool ok = f != nullptr;
  if (f) {
    ok = std::fprintf(f, "device %" PRIu64 "\ninode %" PRIu64 "\n", now.dev, now.ino) > 0;
    ok = std::fclose(f) == 0 && ok;
  }
  if (!ok || std::rename(tmp.c_str(), m_state_file.c_str()) != 0) {
    SF_LOG(L_WARNING, L"[WARNING] client-task-mgr(%d): cannot record the sync root in '%s'\n",
           m_state_file);
    std::remove(tmp.c_str());
    return;
  }
  SF_LOG(L_INFO, L"[INFO] client-task-mgr(%d): sync root recorded (device %llu, inode %llu)\n",
         static_cast<unsigned long long>(now.dev), static_cast<unsigned long long>(now.ino));
}
