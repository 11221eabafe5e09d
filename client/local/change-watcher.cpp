// Recursive inotify watching of one tree.
//
// Thread: the detector task's thread runs Wait (and the translation); it
// blocks in poll(2) on the inotify descriptor and an eventfd. A stop reaches
// it through Interrupt, which makes the eventfd readable.
#include "client/local/change-watcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/base/log.h"
#include "lib/base/utility.h"

namespace {

constexpr wchar_t kLogComponent[] = L"detector_debug";

// One read returns at most this much; the kernel keeps the rest queued.
constexpr size_t kReadBufferSize = 65536;
// The two halves of a rename are queued together by the kernel, but a read
// can fall between them: give the second half this long to arrive before the
// first is taken as a move out of the tree.
constexpr int kRenamePairWaitMs = 20;
// The kernel's usual change queue length, when it cannot be read.
constexpr size_t kDefaultQueueLimit = 16384;
// While directories go unwatched for lack of watches, watching them is tried
// again this often (watches may have been freed, or the limit raised).
constexpr int kLimitRetryMs = 60000;

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// The excluded top-level directory (the working directory) is watched for
// moves only: an item moved into it must come out as a rename whose new half
// is ignored, not as a removal (the workers remove directories by moving them
// there first), and an item moved out of it as a rename from an ignored name.
// What is written inside it is never reported.
constexpr uint32_t kExcludedMask = IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW;

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

bool ValidName(const std::string& rel) {
  std::wstring w;
  return UTF8ToNativeStr(rel, w) == 0;
}

wchar_t Lower(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

TopLevelMatch MatchTopLevel(const std::wstring& name, const std::wstring& dir) {
  if (dir.empty() || name.size() < dir.size()) return TopLevelMatch::kOutside;
  for (size_t i = 0; i < dir.size(); ++i)
    if (Lower(name[i]) != Lower(dir[i])) return TopLevelMatch::kOutside;
  if (name.size() == dir.size()) return TopLevelMatch::kItself;
  const wchar_t next = name[dir.size()];
  return (next == L'/' || next == L'\\') ? TopLevelMatch::kInside : TopLevelMatch::kOutside;
}

void ChangeWatcher::SetExcludedTopLevel(const std::string& name) {
  m_excluded = name;
  m_excluded_wide = Utf8ToWideLossy(name);
}

ChangeWatcher::ChangeWatcher() {
  m_wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (m_wake.get() < 0) {
    const int err = errno;
    SF_LOG(L_ERR, L"[ERROR] detector-win(%d): eventfd: %s\n", std::strerror(err));
  }
}

ChangeWatcher::~ChangeWatcher() = default;

std::string ChangeWatcher::Full(const std::string& rel) const {
  return rel.empty() ? m_root : m_root + "/" + rel;
}

int ChangeWatcher::Open(const std::string& root) {
  if (m_queue_limit == 0) {
    m_queue_limit = kDefaultQueueLimit;
    if (FILE* f = std::fopen("/proc/sys/fs/inotify/max_queued_events", "r")) {
      long n = 0;
      if (std::fscanf(f, "%ld", &n) == 1 && n > 0) m_queue_limit = static_cast<size_t>(n);
      std::fclose(f);
    }
  }
  m_root = WithoutTrailingSlashes(root);
  return Reset();
}

// Starts from a fresh inotify instance: after an overflow the old one's
// bookkeeping cannot be trusted (renames and new directories may be missing).
int ChangeWatcher::Reset() {
  m_wd_path.clear();
  m_path_wd.clear();
  m_pending = Pending();
  m_overflow = false;
  m_root_gone = false;
  m_limit_hit = false;
  m_ino.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (m_ino.get() < 0) {
    const int err = errno;
    SF_LOG(L_ERR, L"[ERROR] detector-win(%d): inotify_init1: %s\n", std::strerror(err));
    return err;
  }
  if (!AddOne("")) {
    const int err = errno ? errno : ENOENT;
    m_ino.reset();
    return err;
  }
  AddTree("");
  if (!m_limit_hit) m_limit_reported = false;
  return 0;
}

// Adds watches for `rel` and every directory below it. Iterative: trees can
// be deep.
void ChangeWatcher::AddTree(const std::string& rel) {
  std::vector<std::string> todo{rel};
  while (!todo.empty()) {
    const std::string dir = std::move(todo.back());
    todo.pop_back();
    if (!m_path_wd.count(dir) && !AddOne(dir)) continue;
    DIR* d = opendir(Full(dir).c_str());
    if (!d) continue;  // gone again, or unreadable: nothing below can be named
    while (struct dirent* ent = readdir(d)) {
      const std::string name = ent->d_name;
      if (name == "." || name == "..") continue;
      bool is_dir = ent->d_type == DT_DIR;
      if (ent->d_type == DT_UNKNOWN) {
        struct stat st;
        is_dir = lstat(Full(Join(dir, name)).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      if (!is_dir) continue;
      if (dir.empty() && name == m_excluded) {
        AddOne(name, kExcludedMask);
        continue;
      }
      const std::string child = Join(dir, name);
      if (!ValidName(child)) {
        SF_LOG(L_WARNING,
               L"[WARNING] detector-win(%d): not watching '%s': the name is not valid UTF-8\n",
               Full(child));
        continue;
      }
      todo.push_back(child);
    }
    closedir(d);
  }
}

bool ChangeWatcher::InExcluded(const std::string& rel) const {
  return !m_excluded.empty() && rel.compare(0, m_excluded.size(), m_excluded) == 0 &&
         (rel.size() == m_excluded.size() || rel[m_excluded.size()] == '/');
}

bool ChangeWatcher::AddOne(const std::string& rel) {
  // A sync root configured as a link to a folder is that folder (the walks
  // list it through the link too); only links inside it stay unfollowed.
  if (rel.empty()) return AddOne(rel, kWatchMask & ~static_cast<uint32_t>(IN_DONT_FOLLOW));
  return AddOne(rel, InExcluded(rel) ? kExcludedMask : kWatchMask);
}

bool ChangeWatcher::AddOne(const std::string& rel, uint32_t mask) {
  int wd;
  if (m_test_limit && m_wd_path.size() >= m_test_limit) {
    wd = -1;
    errno = ENOSPC;
  } else {
    wd = inotify_add_watch(m_ino.get(), Full(rel).c_str(), mask);
  }
  if (wd < 0) {
    const int err = errno;
    if (err == ENOSPC) {
      if (!m_limit_logged) {
        m_limit_logged = true;
        SF_LOG(L_WARNING,
               L"[WARNING] detector-win(%d): cannot watch '%s': the system limit of watched "
               L"folders is reached; changes in unwatched folders are found only by periodic "
               L"rescans. Raise the limit as root with 'sysctl fs.inotify.max_user_watches=N' "
               L"(N above the number of folders in the sync root; keep it in /etc/sysctl.conf)\n",
               Full(rel));
      }
      m_limit_hit = true;
    } else if (err == ENOENT || err == ENOTDIR) {
      SF_LOG(L_DEBUG, L"[DEBUG] detector-win(%d): '%s' is gone before it could be watched\n",
             Full(rel));
    } else {
      SF_LOG(L_WARNING, L"[WARNING] detector-win(%d): cannot watch '%s': %s\n", Full(rel),
             std::strerror(err));
    }
    errno = err;
    return false;
  }
  // The same directory seen under another name (a move we did not see)
  // keeps one entry.
  auto old = m_wd_path.find(wd);
  if (old != m_wd_path.end()) m_path_wd.erase(old->second);
  auto prev = m_path_wd.find(rel);
  if (prev != m_path_wd.end() && prev->second != wd) m_wd_path.erase(prev->second);
  m_wd_path[wd] = rel;
  m_path_wd[rel] = wd;
  return true;
}

void ChangeWatcher::DropTree(const std::string& rel) {
  std::vector<int> gone;
  auto self = m_path_wd.find(rel);
  if (self != m_path_wd.end()) gone.push_back(self->second);
  const std::string prefix = rel + "/";
  for (auto it = m_path_wd.lower_bound(prefix);
       it != m_path_wd.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
    gone.push_back(it->second);
  for (int wd : gone) {
    m_path_wd.erase(m_wd_path[wd]);
    m_wd_path.erase(wd);
    inotify_rm_watch(m_ino.get(), wd);
  }
}

// The kernel's watches follow the directories; only their names change.
void ChangeWatcher::MoveTree(const std::string& from, const std::string& to) {
  std::vector<std::pair<std::string, int>> moved;
  auto self = m_path_wd.find(from);
  if (self != m_path_wd.end()) moved.emplace_back(to, self->second);
  const std::string prefix = from + "/";
  for (auto it = m_path_wd.lower_bound(prefix);
       it != m_path_wd.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
    moved.emplace_back(to + it->first.substr(from.size()), it->second);
  for (const auto& m : moved) m_path_wd.erase(m_wd_path[m.second]);
  for (const auto& m : moved) {
    m_wd_path[m.second] = m.first;
    m_path_wd[m.first] = m.second;
  }
}

bool ChangeWatcher::Emit(ChangeRecord::Action action, const std::string& rel, bool is_dir,
                         std::vector<ChangeRecord>& out) {
  std::wstring name;
  if (UTF8ToNativeStr(rel, name) != 0) {
    SF_LOG(L_WARNING,
           L"[WARNING] detector-win(%d): skipping a change to '%s': the name is not valid "
           L"UTF-8\n",
           Full(rel));
    return false;
  }
  // Writes come in bursts; one record per burst is enough.
  if (action == ChangeRecord::kModified && !out.empty() && out.back().action == action &&
      out.back().name == name)
    return true;
  out.push_back(ChangeRecord{action, std::move(name), is_dir});
  return true;
}

void ChangeWatcher::EmitMove(const std::string& from, const std::string& to, bool is_dir,
                             std::vector<ChangeRecord>& out) {
  std::wstring old_name, new_name;
  if (UTF8ToNativeStr(from, old_name) != 0 || UTF8ToNativeStr(to, new_name) != 0) {
    // A name that cannot be reported leaves a plain departure or arrival.
    Emit(ChangeRecord::kRemoved, from, is_dir, out);  // each logs its skip
    Emit(ChangeRecord::kAdded, to, is_dir, out);
    return;
  }
  const TopLevelMatch old_side = MatchTopLevel(old_name, m_excluded_wide);
  const TopLevelMatch new_side = MatchTopLevel(new_name, m_excluded_wide);
  // The excluded directory itself went away: its removal has it made again.
  if (old_side == TopLevelMatch::kItself)
    out.push_back(ChangeRecord{ChangeRecord::kRemoved, old_name, is_dir});
  // Taken into the excluded directory: nothing the user removed.
  if (new_side != TopLevelMatch::kOutside) return;
  if (old_side != TopLevelMatch::kOutside) {
    // From a name that is not reported (a download put in place).
    out.push_back(ChangeRecord{ChangeRecord::kAdded, std::move(new_name), is_dir});
    return;
  }
  out.push_back(ChangeRecord{ChangeRecord::kRemoved, std::move(old_name), is_dir, true});
  out.push_back(ChangeRecord{ChangeRecord::kAdded, std::move(new_name), is_dir, true});
}

// A move whose other half never came: the item left the tree.
void ChangeWatcher::FlushPending(std::vector<ChangeRecord>& out) {
  if (!m_pending.active) return;
  m_pending.active = false;
  Emit(ChangeRecord::kRemoved, m_pending.rel, m_pending.is_dir, out);
  if (m_pending.is_dir) DropTree(m_pending.rel);
}

size_t ChangeWatcher::Process(const char* buf, size_t len, std::vector<ChangeRecord>& out) {
  size_t off = 0, count = 0;
  while (off + sizeof(struct inotify_event) <= len) {
    const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
    off += sizeof(struct inotify_event) + ev->len;
    ++count;
    if (ev->mask & IN_Q_OVERFLOW) {
      m_overflow = true;
      continue;
    }
    if (ev->mask & IN_IGNORED) {
      auto gone = m_wd_path.find(ev->wd);
      if (gone != m_wd_path.end()) {
        m_path_wd.erase(gone->second);
        m_wd_path.erase(gone);
      }
      continue;
    }
    // A move whose other half did not follow took its tree out: drop that
    // tree's watches before naming this event, which may come from one of
    // them (written there after the move) and would get a stale name.
    if (m_pending.active && !((ev->mask & IN_MOVED_TO) && ev->cookie == m_pending.cookie))
      FlushPending(out);
    auto it = m_wd_path.find(ev->wd);
    if (it == m_wd_path.end()) continue;  // a watch we already dropped
    if (ev->len == 0 || ev->name[0] == '\0') {
      // The directory's own events; its parent reports the same change by
      // name. Only the root has no parent to do so.
      if (it->second.empty() && (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF))) {
        SF_LOG(L_ERR,
               L"[ERROR] detector-win(%d): the sync root '%s' was removed or moved away; its "
               L"changes are no longer seen\n",
               m_root);
        // The watches below it still follow the moved tree; what they report
        // would be named as if it happened in the sync root.
        m_root_gone = true;
        return count;
      }
      continue;
    }
    const std::string rel = Join(it->second, ev->name);
    const bool is_dir = (ev->mask & IN_ISDIR) != 0;
    const bool watchable = is_dir && !InExcluded(rel);
    // The working directory itself (re)appearing gets its moves-only watch.
    const bool excluded_root = is_dir && rel == m_excluded;

    if (ev->mask & IN_CREATE) {
      // Watch a new directory at once; what was made inside it before the
      // watch existed is found by expanding the directory's event.
      if (Emit(ChangeRecord::kAdded, rel, is_dir, out) && watchable) AddTree(rel);
      if (excluded_root) AddOne(rel, kExcludedMask);
    } else if (ev->mask & IN_DELETE) {
      Emit(ChangeRecord::kRemoved, rel, is_dir, out);
    } else if (ev->mask & IN_MOVED_FROM) {
      m_pending.active = true;
      m_pending.cookie = ev->cookie;
      m_pending.rel = rel;
      m_pending.is_dir = is_dir;
    } else if (ev->mask & IN_MOVED_TO) {
      if (m_pending.active) {
        const std::string from = m_pending.rel;
        m_pending.active = false;
        EmitMove(from, rel, is_dir, out);
        if (is_dir) {
          const bool was_watched = m_path_wd.count(from) != 0;
          const bool keep = watchable && ValidName(rel);
          // A tree moved out of (or into) the working directory changes the
          // kind of its watches, so it is watched afresh.
          if (was_watched && keep && !InExcluded(from)) {
            MoveTree(from, rel);
          } else {
            if (was_watched) DropTree(from);
            if (keep) AddTree(rel);
            if (excluded_root) AddOne(rel, kExcludedMask);
          }
        }
      } else {
        if (Emit(ChangeRecord::kAdded, rel, is_dir, out) && watchable) AddTree(rel);
        if (excluded_root) AddOne(rel, kExcludedMask);
      }
    } else if (ev->mask & (IN_MODIFY | IN_ATTRIB)) {
      Emit(ChangeRecord::kModified, rel, is_dir, out);
    }
  }
  return count;
}

bool ChangeWatcher::Readable(int fd, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  int n;
  do {
    n = poll(&p, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  return n > 0 && (p.revents & POLLIN);
}

ChangeWatcher::WaitResult ChangeWatcher::Wait(std::vector<ChangeRecord>& out) {
  out.clear();
  alignas(struct inotify_event) char buf[kReadBufferSize];
  for (;;) {
    if (m_ino.get() < 0) return kFailed;
    if (m_overflow) {
      SF_LOG(L_WARNING,
             L"[WARNING] detector-win(%d): the change queue overflowed "
             L"(fs.inotify.max_queued_events); changes were lost, watching '%s' afresh\n",
             m_root);
      out.clear();
      if (Reset() != 0) {
        SF_LOG(L_ERR,
               L"[ERROR] detector-win(%d): cannot watch '%s' again; changes are no longer "
               L"seen\n",
               m_root);
        return kFailed;
      }
      if (m_limit_hit) m_limit_reported = true;
      return kOverflow;
    }
    if (m_limit_hit && !m_limit_reported) {
      m_limit_reported = true;
      out.clear();
      return kOverflow;
    }
    if (!out.empty()) return kChanges;

    struct pollfd fds[2] = {{m_ino.get(), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
    const int n = poll(fds, 2, m_limit_hit ? kLimitRetryMs : -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      SF_LOG(L_ERR, L"[ERROR] detector-win(%d): poll: %s\n", std::strerror(err));
      return kFailed;
    }
    if (n == 0) {
      m_limit_hit = false;
      AddTree("");
      if (m_limit_hit) continue;
      SF_LOG(L_INFO, L"[INFO] detector-win(%d): every folder of '%s' is watched again\n", m_root);
      m_limit_logged = false;
      m_limit_reported = false;
      return kOverflow;
    }
    if (fds[1].revents) return kInterrupted;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return kFailed;
    if (!(fds[0].revents & POLLIN)) continue;
    // Drain the queue: an overflow marker sits behind the changes it cut
    // short, and those changes are then better dropped for the rescan. The
    // queue cannot hold more than m_queue_limit changes and the marker, so
    // once more than that were read any marker has been seen; under a steady
    // stream of changes the queue never empties, and the batch ends there
    // rather than growing without bound.
    size_t taken = 0;
    for (;;) {
      if (taken > m_queue_limit && !m_pending.active) break;
      const ssize_t r = read(m_ino.get(), buf, sizeof buf);
      if (r < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
          if (m_pending.active && Readable(m_ino.get(), kRenamePairWaitMs)) continue;
          break;
        }
        const int err = errno;
        SF_LOG(L_ERR, L"[ERROR] detector-win(%d): reading changes: %s\n", std::strerror(err));
        return kFailed;
      }
      taken += Process(buf, static_cast<size_t>(r), out);
      if (m_root_gone) {
        // Closing the instance drops every watch. A move out that was
        // waiting for its other half was made before the root left.
        FlushPending(out);
        m_ino.reset();
        return out.empty() ? kFailed : kChanges;
      }
    }
    FlushPending(out);
  }
}

bool ChangeWatcher::Sleep(int ms) {
  struct pollfd p = {m_wake.get(), POLLIN, 0};
  int n;
  do {
    n = poll(&p, 1, ms);
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

void ChangeWatcher::Interrupt() {
  const uint64_t one = 1;
  // Nothing useful can be done if this fails; the eventfd cannot fill up
  // before 2^64 - 2 calls.
  ssize_t r = write(m_wake.get(), &one, sizeof one);
  (void)r;
}
