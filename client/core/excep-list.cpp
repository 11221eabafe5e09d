#include "client/core/excep-list.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "lib/base/handles.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"

Mutex ExcepList::mutex;

namespace {

constexpr wchar_t kLogComponent[] = L"excep_list_debug";

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

// A run of decimal digits no larger than `max`, followed by exactly one space.
bool ReadNumber(const std::string& line, size_t& pos, uint64_t max, uint64_t& out) {
  const size_t start = pos;
  uint64_t v = 0;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
    const uint64_t d = static_cast<uint64_t>(line[pos] - '0');
    if (d > max || v > (max - d) / 10) return false;
    v = v * 10 + d;
    ++pos;
  }
  if (pos == start || pos >= line.size() || line[pos] != ' ') return false;
  ++pos;
  out = v;
  return true;
}

bool ParseLine(const std::string& line, Event& e) {
  size_t pos = 0;
  while (pos < line.size() && IsSpace(line[pos])) ++pos;
  uint64_t type = 0, mode = 0, id = 0;
  if (!ReadNumber(line, pos, EV_RENAME, type) || type == EV_EMPTY) return false;
  if (!ReadNumber(line, pos, UINT32_MAX, mode)) return false;
  if (!ReadNumber(line, pos, UINT64_MAX, id)) return false;
  const std::string path = line.substr(pos);
  std::wstring wpath;
  if (path.empty() || UTF8ToNativeStr(path, wpath) != 0 || wpath.size() > ExcepList::kMaxPathChars)
    return false;
  e = Event(static_cast<Event::Type>(type), static_cast<uint32_t>(mode), wpath);
  e.m_syncID = id;
  return true;
}

// Entries name paths below the sync root as "/a/b". Anything else (a
// relative name, which would be joined onto the root's own name, or a "."
// or ".." step out of the root) must never reach a worker that uploads,
// overwrites or removes what it names.
// A zero byte would cut the path short at the system call and name another
// item (the writer refuses to store one for the same reason).
bool InsideRoot(const std::wstring& path) {
  if (path.empty() || path[0] != L'/' || path.find(L'\0') != std::wstring::npos) return false;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find(L'/', start);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring step = path.substr(start, end - start);
    if (step == L"." || step == L"..") return false;
    start = end + 1;
  }
  return true;
}

bool FileName(const std::wstring& path, std::string& out) {
  if (NativeStrToUTF8(path, out) != 0 || out.size() > ExcepList::kMaxFileNameBytes) {
    SF_LOG(L_ERR, L"[ERROR] excep-list(%d): unusable exception list path '%s'\n", path);
    return false;
  }
  return true;
}

// Keeps what could not be read where the user can find it; the next write
// replaces the original.
bool KeepBadCopy(const std::string& name) {
  const std::string bad = name + ".bad";
  FilePtr in(std::fopen(name.c_str(), "rb"));
  FilePtr out(in ? std::fopen(bad.c_str(), "wb") : nullptr);
  bool ok = in && out;
  char buf[8192];
  size_t n;
  while (ok && (n = std::fread(buf, 1, sizeof buf, in.get())) > 0)
    ok = std::fwrite(buf, 1, n, out.get()) == n;
  ok = ok && !std::ferror(in.get()) && std::fflush(out.get()) == 0;
  if (ok) {
    SF_LOG(L_ERR, L"[ERROR] excep-list(%d): kept a copy of the unreadable list as '%s'\n", bad);
  } else {
    SF_LOG(L_ERR, L"[ERROR] excep-list(%d): could not keep a copy of '%s' as '%s'\n", name, bad);
  }
  return ok;
}

}  // namespace

void ExcepList::Set(const Event& e) {
  Event kept(e.m_type, e.m_mode, e.m_path);
  kept.m_syncID = e.m_syncID;
  m_events[e.m_path] = kept;
}

bool ExcepList::Erase(const std::wstring& path) {
  return m_events.erase(path) != 0;
}

int ExcepList::read(const std::wstring& path) {
  m_events.clear();
  std::string name;
  if (!FileName(path, name)) return -1;
  FilePtr f(std::fopen(name.c_str(), "rb"));
  if (!f) {
    if (errno == ENOENT) return 0;
    const int err = errno;
    SF_LOG(L_ERR, L"[ERROR] excep-list(%d): cannot open '%s': %s\n", name, std::strerror(err));
    return kUnreadable;
  }
  std::string line;
  int lineno = 0;
  for (;;) {
    line.clear();
    int ch;
    bool too_long = false;
    while ((ch = std::getc(f.get())) != EOF && ch != '\n') {
      if (line.size() == kMaxLineBytes) {
        too_long = true;
        break;
      }
      line += static_cast<char>(ch);
    }
    if (ch == EOF && line.empty() && !too_long) break;
    ++lineno;
    Event e;
    if (too_long || !ParseLine(line, e)) {
      SF_LOG(L_ERR, L"[ERROR] excep-list(%d): malformed line %d in '%s'; the list is ignored\n",
             lineno, name);
      m_events.clear();
      f.reset();
      return KeepBadCopy(name) ? -1 : kUnreadable;
    }
    if (InsideRoot(e.m_path)) {
      m_events[e.m_path] = e;
    } else {
      SF_LOG(L_ERR,
             L"[ERROR] excep-list(%d): line %d in '%s' names '%s', not a path in the sync "
             L"root; the entry is dropped\n",
             lineno, name, e.m_path);
    }
    if (ch == EOF) break;
  }
  if (std::ferror(f.get())) {
    SF_LOG(L_ERR, L"[ERROR] excep-list(%d): cannot read '%s'\n", name);
    m_events.clear();
    return kUnreadable;
  }
  return 0;
}

int ExcepList::write(const std::wstring& path) const {
  std::string name;
  if (!FileName(path, name)) return -1;
  const std::string tmp = name + ".tmp";
  FilePtr f(std::fopen(tmp.c_str(), "wb"));
  if (!f) {
    const int err = errno;
    SF_LOG(L_ERR, L"[ERROR] excep-list(%d): cannot create '%s': %s\n", tmp, std::strerror(err));
    return -1;
  }
  bool ok = true;
  for (const auto& kv : m_events) {
    std::string p;
    // A newline would end the line early and spoil the whole file; a zero
    // byte would cut the path short and name another item on reading.
    if (NativeStrToUTF8(kv.first, p) != 0 ||
        p.find_first_of(std::string("\n\0", 2)) != std::string::npos) {
      SF_LOG(L_ERR,
             L"[ERROR] excep-list(%d): not keeping an entry whose path cannot be stored: %s\n",
             kv.first);
      continue;
    }
    const Event& e = kv.second;
    ok = ok && std::fprintf(f.get(), "%d %u %llu %s\n", static_cast<int>(e.m_type), e.m_mode,
                            static_cast<unsigned long long>(e.m_syncID), p.c_str()) > 0;
  }
  ok = ok && std::fflush(f.get()) == 0 && fsync(fileno(f.get())) == 0;
  ok = (std::fclose(f.release()) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), name.c_str()) != 0) {
    const int err = errno;
    SF_LOG(L_ERR, L"[ERROR] excep-list(%d): cannot write '%s': %s\n", name, std::strerror(err));
    std::remove(tmp.c_str());
    return -1;
  }
  return 0;
}
