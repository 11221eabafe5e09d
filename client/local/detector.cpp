// The detector task: translation of the watcher's changes into local events.
//
// Thread: its own task thread runs DoTask, blocked in ChangeWatcher::Wait;
// Stop interrupts that wait through the watcher's eventfd.
#include "client/local/detector.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "client/core/client-task-mgr.h"
#include "client/store/event-db.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/fs/file-ops.h"
#include "lib/fs/temp-file.h"

namespace {

constexpr wchar_t kLogComponent[] = L"detector_debug";
// How often a lost root is looked for again.
constexpr int kRewatchMs = 1000;

}  // namespace

Detector::Detector(TaskManager* owner) : Task(owner, nullptr) {
  m_watcher.SetExcludedTopLevel(WideToUtf8Lossy(kWorkingDirName));
  // For tests: a watch limit that needs no root privileges to lower.
  if (const char* v = std::getenv("SYNCFOLDER_TEST_WATCH_LIMIT")) {
    const long n = std::strtol(v, nullptr, 10);
    if (n > 0) m_watcher.SetWatchLimitForTest(static_cast<size_t>(n));
  }
  SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): Detector<%p> constructed\n", this);
}

Detector::~Detector() {
  Stop();
  SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): Detector<%p> destructed\n", this);
}

int Detector::SetWatch(const std::wstring& path) {
  SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): Detector watch path: %s\n", path);
  std::string root;
  if (NativeStrToUTF8(path, root) != 0) {
    SF_LOG(L_ERR, L"[ERROR] detector-win(%d): Failed to createFile to watch. error:[%ld]\n",
           static_cast<long>(EINVAL));
    return -1;
  }
  m_watch_path = WithoutTrailingSlashes(path);
  // Made before the watch opens, so that it is watched (for moves) from the
  // first change on.
  if (IsFileExist(m_watch_path)) RecreateWorkingDir();
  const int err = m_watcher.Open(root);
  if (err != 0) {
    SF_LOG(L_ERR, L"[ERROR] detector-win(%d): Failed to createFile to watch. error:[%ld]\n",
           static_cast<long>(err));
    return -1;
  }
  // Known before anything is synced, so that no status says "idle" first.
  if (m_watcher.LimitHit()) m_owner->SetWatchState(TaskManager::kWatchLimit);
  return 0;
}

void Detector::RecreateWorkingDir() {
  // The name's leading dot already hides it.
  if (FSMKDir(m_watch_path + L"/" + kWorkingDirName, false) != 0) {
    SF_LOG(L_ERR, L"[ERROR] detector-win(%d): cannot create the working directory in '%s'\n",
           m_watch_path);
  }
}

int Detector::Stop() {
  m_watcher.Interrupt();
  return Task::Stop();
}

void Detector::PrintTransEvent(const Event& e) {
  SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): Translated event: %s\n", e.toString());
}

void Detector::Emit(Event& e, bool renamed) {
  PrintTransEvent(e);
  m_out.push_back(e);
  m_renamed.push_back(renamed);
}

void Detector::GuardBatch() {
  std::vector<bool> candidate(m_out.size(), false);
  std::set<std::wstring> dirs;
  bool any = false;
  for (size_t i = 0; i < m_out.size(); ++i) {
    if (m_out[i].m_type != EV_REMOVE || m_renamed[i]) continue;
    candidate[i] = any = true;
    if (m_out[i].isDir()) dirs.insert(m_out[i].m_path);
  }
  if (!any) return;
  // A removed folder takes its synced contents with it; the removals of
  // those contents in the same batch are not counted twice.
  uint64_t items = 0;
  for (size_t i = 0; i < m_out.size(); ++i) {
    if (!candidate[i]) continue;
    const std::wstring& p = m_out[i].m_path;
    bool inside = false;
    for (size_t cut = p.rfind(L'/'); cut != std::wstring::npos && cut > 0 && !inside;
         cut = p.rfind(L'/', cut - 1))
      inside = dirs.count(p.substr(0, cut)) != 0;
    if (inside) continue;
    uint64_t below = 0;
    if (m_out[i].isDir() && FileEventDB::countExisting(p, below) != 0) below = 0;
    items += 1 + below;
  }
  m_owner->GuardRemovals(m_out, candidate, items, std::wstring());
}

bool Detector::WatchAgain() {
  m_owner->SetWatchState(TaskManager::kWatchRootLost);
  m_owner->IssueRescan(false);
  std::string root;
  (void)NativeStrToUTF8(m_watch_path, root);
  for (;;) {
    if (!m_watcher.Sleep(kRewatchMs) || GetState() == STOP) return false;
    FILE_INFO info;
    if (FSStat(m_watch_path, info) != 0 || !info.isExist || info.type != FT_DIR) continue;
    RecreateWorkingDir();
    if (m_watcher.Open(root) != 0) continue;
    SF_LOG(L_WARNING, L"[WARNING] detector-win(%d): watching the sync root '%s' again\n",
           m_watch_path);
    // What happened while nothing was watched is found by this rescan.
    m_owner->SetWatchState(TaskManager::kWatchOverflowed);
    m_owner->IssueRescan(false);
    return true;
  }
}

void Detector::DoTask() {
  SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): detect start!\n");
  std::vector<ChangeRecord> batch;
  for (;;) {
    const ChangeWatcher::WaitResult r = m_watcher.Wait(batch);
    if (r == ChangeWatcher::kInterrupted) break;
    if (r == ChangeWatcher::kFailed) {
      if (GetState() == STOP || !WatchAgain()) break;
      continue;
    }
    const State s = GetState();
    if (s == STOP) break;
    ++m_batches;
    if (r == ChangeWatcher::kOverflow) {
      // Also while paused: the rescan waits for the resume.
      SF_LOG(L_INFO, L"[INFO] detector-win(%d): Event queue overflow, rescan watch\n");
      m_owner->SetWatchState(m_watcher.LimitHit() ? TaskManager::kWatchLimit
                                                  : TaskManager::kWatchOverflowed);
      m_owner->IssueRescan(false);
      continue;
    }
    if (s == PAUSE) continue;  // what changed while paused is dropped
    for (const ChangeRecord& rec : batch) {
      const bool move_away = rec.moved && rec.action == ChangeRecord::kRemoved;
      Event e;
      if (Translate(e, rec) == 0) {
        e.m_path = L"/" + e.m_path;
        Emit(e, move_away);
      }
      // A move's removal is not handed over without its creation.
      if (GetState() != RUN && !move_away) break;
    }
    if (!m_out.empty()) {
      GuardBatch();
      if (!m_out.empty()) m_owner->PushLocalEvents(m_out);
      m_out.clear();
    }
    m_renamed.clear();
  }
  SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): Detector<%p> stop working\n", this);
}

int Detector::Translate(Event& e, const ChangeRecord& rec) {
  switch (rec.action) {
    case ChangeRecord::kAdded:
      e.m_type = EV_CREATE;
      break;
    case ChangeRecord::kRemoved:
      e.m_type = EV_REMOVE;
      break;
    case ChangeRecord::kModified:
      e.m_type = EV_MODIFY;
      break;
    default:
      e.m_type = EV_EMPTY;
      return -1;
  }
  const std::wstring& name = rec.name;
  if (name.size() > kMaxNameChars) {
    SF_LOG(L_WARNING, L"[WARNING] detector-win(%d): name too long, change dropped: %s\n", name);
    return -1;
  }
  const std::wstring full = m_watch_path + L"/" + name;

  switch (MatchTopLevel(name, kWorkingDirName)) {
    case TopLevelMatch::kItself:
      if (rec.action == ChangeRecord::kRemoved) {
        RecreateWorkingDir();
        SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): recreating working directory ...\n");
      }
      return -1;
    case TopLevelMatch::kInside:
      SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): ignoring changes to %s\n", full);
      return -1;
    case TopLevelMatch::kOutside:
      break;
  }

  // Names arrive "/"-separated; a backslash is an ordinary character here
  // and is kept as it is.
  e.m_path = name;
  e.m_mode = 0;
  e.m_time = std::time(nullptr);

  if (rec.moved && rec.action == ChangeRecord::kRemoved) {
    // The old name of a move is gone from the disk and may never have been
    // synced: the moved item's kind is the one inotify reported.
    if (rec.is_dir) e.m_mode |= F_DIR;
    return 0;
  }

  FILE_INFO info;
  if (FSStat(full, info) == 0 && info.isExist) {
    if (info.type == FT_DIR) {
      e.m_mode |= F_DIR;
      // Whatever was made inside a new directory before it was watched is
      // found by expanding it.
      if (e.m_type == EV_CREATE) e.m_mode |= F_EXPAND;
    }
    return 0;
  }
  ClientFileEventInfo row;
  if (FileEventDB::getEventInfo(L"/" + e.m_path, row) != 0) {
    SF_LOG(L_ERR, L"[ERROR] detector-win(%d): Translate: can't find file type of deleted item %s\n",
           e.m_path);
    return -1;
  }
  if (row.IsDir()) e.m_mode |= F_DIR;
  SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): Translate: File type of deleted item %s is %d\n",
         e.m_path, row.fileType);
  return 0;
}
