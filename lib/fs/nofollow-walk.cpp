#include "lib/fs/nofollow-walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"

namespace {
constexpr wchar_t kLogComponent[] = L"server_debug";

[[nodiscard]] int OpenDirAt(int dirfd, const std::string& name) {
  return openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Maps the errno of opening a path component as a directory.
int ComponentError(int err) {
  if (err == ENOENT) return ERR_NOENT;
  if (err == ENOTDIR || err == ELOOP) return ERR_CONFLICT;
  return ERR_SYS;
}
}  // namespace

std::string SharePath::str() const {
  std::string s;
  for (const auto& n : names) {
    s += '/';
    s += n;
  }
  return s;
}

SharePath SharePath::parent() const {
  SharePath p;
  if (!names.empty()) p.names.assign(names.begin(), names.end() - 1);
  return p;
}

int ParseSharePath(const std::string& utf8, SharePath& out) {
  if (utf8.size() < 2 || utf8.size() > kMaxSharePathBytes || utf8[0] != '/') return ERR_INVAL;
  std::wstring check;
  if (UTF8ToNativeStr(utf8, check) != 0) return ERR_INVAL;
  SharePath p;
  size_t start = 1;
  for (;;) {
    size_t end = utf8.find('/', start);
    std::string name =
        utf8.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxShareNameBytes) {
      return ERR_INVAL;
    }
    if (name.find('\0') != std::string::npos || name.find('\\') != std::string::npos) {
      return ERR_INVAL;
    }
    p.names.push_back(std::move(name));
    if (p.names.size() > kMaxShareDepth) return ERR_INVAL;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  out = std::move(p);
  return 0;
}

int ParseSharePath(const std::wstring& path, SharePath& out) {
  if (path.find(L'\0') != std::wstring::npos) return ERR_INVAL;
  std::string utf8;
  if (NativeStrToUTF8(path, utf8) != 0) return ERR_INVAL;
  return ParseSharePath(utf8, out);
}

int ShareDir::Open(const std::string& root) {
  UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    SF_LOG(L_ERR, L"[ERROR] share-path(%d): cannot open share '%s': %s\n", root,
           ErrnoMessage(errno));
    return ERR_SYS;
  }
  m_root = std::move(fd);
  m_rootPath = root;
  return 0;
}

int ShareDir::OpenParent(const SharePath& p, bool create, UniqueFd& out,
                         std::vector<SharePath>* created) const {
  UniqueFd cur(dup(m_root.get()));
  if (!cur.valid()) return ERR_SYS;
  SharePath walked;
  for (size_t i = 0; i + 1 < p.names.size(); ++i) {
    const std::string& name = p.names[i];
    walked.names.push_back(name);
    int fd = OpenDirAt(cur.get(), name);
    if (fd < 0 && errno == ENOENT && create) {
      if (mkdirat(cur.get(), name.c_str(), m_dirMode) != 0 && errno != EEXIST) {
        SF_LOG(L_ERR, L"[ERROR] share-path(%d): mkdir '%s': %s\n", walked.str(),
               ErrnoMessage(errno));
        return ERR_SYS;
      }
      if (created) created->push_back(walked);
      fd = OpenDirAt(cur.get(), name);
    }
    if (fd < 0) return ComponentError(errno);
    cur.reset(fd);
  }
  out = std::move(cur);
  return 0;
}

int ShareDir::Stat(const SharePath& p, struct stat& st) const {
  UniqueFd parent;
  int r = OpenParent(p, false, parent);
  if (r != 0) return r;
  if (fstatat(parent.get(), p.leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? ERR_NOENT : ERR_SYS;
  }
  return 0;
}

int ShareDir::OpenRead(const SharePath& p, UniqueFd& out) const {
  UniqueFd parent;
  int r = OpenParent(p, false, parent);
  if (r != 0) return r;
  int fd = openat(parent.get(), p.leaf().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ELOOP ? ERR_NOENT : ERR_SYS;
  UniqueFd f(fd);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return ERR_NOENT;
  // Regular files ignore O_NONBLOCK for reads; it only kept a FIFO from
  // blocking the open.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  out = std::move(f);
  return 0;
}

int ShareDir::OpenDir(const SharePath& p, UniqueFd& out) const {
  UniqueFd parent;
  int r = OpenParent(p, false, parent);
  if (r != 0) return r;
  int fd = OpenDirAt(parent.get(), p.leaf());
  if (fd < 0) return ComponentError(errno);
  out.reset(fd);
  return 0;
}

int ShareDir::MakeDir(const SharePath& p, std::vector<SharePath>* created) const {
  UniqueFd parent;
  int r = OpenParent(p, true, parent, created);
  if (r != 0) return r;
  if (mkdirat(parent.get(), p.leaf().c_str(), m_dirMode) == 0) {
    if (created) created->push_back(p);
    return 0;
  }
  if (errno != EEXIST) {
    SF_LOG(L_ERR, L"[ERROR] share-path(%d): mkdir '%s': %s\n", p.str(), ErrnoMessage(errno));
    return ERR_SYS;
  }
  struct stat st;
  if (fstatat(parent.get(), p.leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return ERR_SYS;
  return S_ISDIR(st.st_mode) ? 0 : ERR_CONFLICT;
}

int ShareDir::MoveIn(int fromdir, const std::string& name, const SharePath& to,
                     bool create_parents) const {
  UniqueFd parent;
  int r = OpenParent(to, create_parents, parent);
  if (r != 0) return r;
  struct stat st;
  if (fstatat(parent.get(), to.leaf().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(st.st_mode)) {
    return ERR_CONFLICT;
  }
  if (renameat(fromdir, name.c_str(), parent.get(), to.leaf().c_str()) != 0) {
    SF_LOG(L_ERR, L"[ERROR] share-path(%d): rename into '%s': %s\n", to.str(), ErrnoMessage(errno));
    return errno == ENOENT ? ERR_NOENT : ERR_SYS;
  }
  SyncDir(parent.get());
  return 0;
}

int ShareDir::Remove(const SharePath& p) const {
  UniqueFd parent;
  int r = OpenParent(p, false, parent);
  if (r == ERR_NOENT) return 0;
  if (r != 0) return ERR_SYS;
  r = RemoveTreeAt(parent.get(), p.leaf());
  if (r != 0) {
    SF_LOG(L_ERR, L"[ERROR] share-path(%d): cannot remove '%s'\n", p.str());
    return r;
  }
  SyncDir(parent.get());
  return 0;
}

int ShareDir::SetMtime(const SharePath& p, time_t mtime) const {
  UniqueFd parent;
  int r = OpenParent(p, false, parent);
  if (r != 0) return r;
  struct timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1].tv_sec = mtime;
  ts[1].tv_nsec = 0;
  if (utimensat(parent.get(), p.leaf().c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? ERR_NOENT : ERR_SYS;
  return 0;
}

int RemoveTreeAt(int dirfd, const std::string& name) {
  struct stat st;
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : ERR_SYS;
  }
  if (!S_ISDIR(st.st_mode)) {
    return unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT ? 0 : ERR_SYS;
  }
  UniqueFd fd(OpenDirAt(dirfd, name));
  if (!fd.valid()) return ERR_SYS;
  const DirPtr d = OpenDirStream(std::move(fd));
  if (!d) return ERR_SYS;
  int result = 0;
  std::vector<std::string> children;
  while (struct dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    children.emplace_back(e->d_name);
  }
  for (const auto& c : children) {
    if (RemoveTreeAt(::dirfd(d.get()), c) != 0) result = ERR_SYS;
  }
  if (unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) result = ERR_SYS;
  return result;
}

void SyncDir(int dirfd) {
  if (dirfd >= 0) fsync(dirfd);
}

std::wstring FdPath(int fd) {
  return L"/proc/self/fd/" + std::to_wstring(fd);
}
