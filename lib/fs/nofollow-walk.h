// Confinement of paths from the wire to one directory tree: the server's
// share, and the client's sync root for what the server asks it to change. A
// path from the wire is untrusted: it is checked here component by
// component, and every disk operation on the tree walks directory
// descriptors opened with O_NOFOLLOW, so neither "..", an absolute escape,
// nor a symlink planted in the tree can reach outside it.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <vector>

#include "lib/base/handles.h"

constexpr size_t kMaxSharePathBytes = 4096;  // whole path, UTF-8
constexpr size_t kMaxShareNameBytes = 255;   // one component
constexpr size_t kMaxShareDepth = 128;       // components

// A validated share path: "/" followed by one or more names joined by "/".
struct SharePath {
  std::vector<std::string> names;  // UTF-8, each non-empty, not "." or ".."

  // "/a/b" form, as stored in the metadata and sent on the wire.
  std::string str() const;
  const std::string& leaf() const { return names.back(); }
  // The parent's path; empty names for a top-level entry.
  SharePath parent() const;
};

// Parses a UTF-8 path from a client. Accepts only "/name(/name)*" with every
// name non-empty, not "." or "..", free of NUL and backslash, valid UTF-8,
// within the limits above. Returns 0 and fills `out`, or ERR_INVAL.
[[nodiscard]] int ParseSharePath(const std::string& utf8, SharePath& out);
// The same for a wide path; ERR_INVAL when it cannot be converted.
[[nodiscard]] int ParseSharePath(const std::wstring& path, SharePath& out);

// Disk operations confined to one directory tree. Constant after Open; the
// calls are thread-safe (each works on its own descriptors).
class ShareDir {
 public:
  // Opens `root` (which must be an existing directory). Returns 0 or ERR_SYS.
  [[nodiscard]] int Open(const std::string& root);
  int rootFd() const { return m_root.get(); }
  const std::string& root() const { return m_rootPath; }

  // Opens the parent directory of `p`. With `create`, missing parents are made
  // (mode 0755) and their paths appended to `created` in top-down order.
  // Returns 0; ERR_NOENT (a parent is missing and !create); ERR_CONFLICT (a
  // parent exists but is not a directory, or is a symlink); ERR_SYS.
  [[nodiscard]] int OpenParent(const SharePath& p, bool create, UniqueFd& out,
                               std::vector<SharePath>* created = nullptr) const;
  // lstat of `p` without following any symlink. 0, ERR_NOENT, ERR_CONFLICT
  // (a parent is not a directory), ERR_SYS.
  [[nodiscard]] int Stat(const SharePath& p, struct stat& st) const;
  // Opens the regular file `p` for reading (no symlink followed).
  // 0, ERR_NOENT (missing, or not a regular file), ERR_CONFLICT, ERR_SYS.
  [[nodiscard]] int OpenRead(const SharePath& p, UniqueFd& out) const;
  // Opens the directory `p` (no symlink followed). 0, ERR_NOENT, ERR_CONFLICT, ERR_SYS.
  [[nodiscard]] int OpenDir(const SharePath& p, UniqueFd& out) const;

  // Mode of the directories the calls below create (the umask applies).
  void SetDirMode(mode_t mode) { m_dirMode = mode; }
  // Makes the directory `p` and its missing parents. 0 also when it exists;
  // ERR_CONFLICT (something else than a directory, or a symlink, stands at
  // `p` or on the way); ERR_SYS.
  [[nodiscard]] int MakeDir(const SharePath& p, std::vector<SharePath>* created = nullptr) const;
  // Moves `name` of the directory `fromdir` to `to`, replacing what stands
  // there unless it is a directory; with `create_parents` missing parents of
  // `to` are made first. The new name is made durable (its directory is
  // flushed). 0, ERR_NOENT (a parent is missing), ERR_CONFLICT, ERR_SYS.
  [[nodiscard]] int MoveIn(int fromdir, const std::string& name, const SharePath& to,
                           bool create_parents) const;
  // Removes the file or the whole tree at `p` without following symlinks
  // (a symlink is removed itself). 0 also when nothing is there; ERR_SYS.
  [[nodiscard]] int Remove(const SharePath& p) const;
  // Sets the modification time of `p` itself (a symlink is not followed).
  // 0, ERR_NOENT, ERR_CONFLICT, ERR_SYS.
  [[nodiscard]] int SetMtime(const SharePath& p, time_t mtime) const;

 private:
  UniqueFd m_root;
  std::string m_rootPath;
  mode_t m_dirMode = 0755;
};

// Removes the tree at `path` (a file, or a directory and its contents) without
// following symlinks. Returns 0 or ERR_SYS; a missing path is success.
// Nothing is logged: most callers clear leftovers of the work area, where a
// failure costs only disk space and the next start-up tries again.
[[nodiscard]] int RemoveTreeAt(int dirfd, const std::string& name);

// fsync of a directory, so that a rename into it survives a crash.
void SyncDir(int dirfd);

// "/proc/self/fd/N": the name under which path-taking code (checksums,
// signatures, patches) reads exactly the file an open descriptor holds, so a
// file reached by the walk is not looked up by its path again.
std::wstring FdPath(int fd);
