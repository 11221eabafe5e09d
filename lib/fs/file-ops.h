// File operations layer: the only way the client touches the local disk.
// POSIX implementation; the module keeps its historical name and log tag.
//
// Paths are wide strings with "/" separators, passed to the system as UTF-8.
// A path that cannot be encoded (embedded NUL, invalid code point) fails like
// an open error (-1, logged). Every function may be called from any thread;
// failures are logged once here under component "file_op_debug".
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

enum FILE_TYPE {
  FT_ERR = 0,  // devices, fifos, sockets: nothing the client syncs
  FT_FILE = 1,
  FT_DIR = 2,
  FT_SLINK = 3,  // a symbolic link itself; its target is never followed
  FT_HLINK = 4,
  FT_DEV = 5,
  FT_FIFO = 6,
  FT_SOCK = 7,
};

// What FSStat found. Equality compares every field but ctime; workers use it
// to notice that a file changed while they were reading it.
struct FILE_INFO {
  std::wstring path;  // exactly as given to FSStat
  std::wstring name;  // not filled by FSStat; callers set it when they need it
  FILE_TYPE type = FT_ERR;
  uint32_t mtime = 0;  // seconds since 1970-01-01 UTC (clamped to 0..2^32-1)
  uint64_t size = 0;   // bytes for FT_FILE; 0 for every other type
  bool isExist = false;
  // Last status change (content, times, name, permissions, links), in the
  // same seconds. Nobody can set it. Not compared.
  uint32_t ctime = 0;
  // What tells this file from another one of the same size and time: which
  // file it is (device and inode), how many names it has, and its last
  // status change in nanoseconds. A write that puts the old time back, or a
  // new file renamed over this one, changes the inode or the change time.
  // Not compared.
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t nlink = 0;
  int64_t ctime_ns = 0;

  bool operator==(const FILE_INFO& o) const {
    return isExist == o.isExist && size == o.size && mtime == o.mtime && type == o.type &&
           path == o.path && name == o.name;
  }
  bool operator!=(const FILE_INFO& o) const { return !(*this == o); }
};

struct stat;

// FSOpenDir flag bit: fill mtime (every entry), size (files), inode and
// change time of entries.
constexpr int FS_DIR_STAT = 1;

// An open directory listing. Owns the system handle: closed by FSCloseDir or
// when the object goes away. Movable, not copyable. One thread at a time.
struct DIR_HANDLE {
  struct Closer {
    void operator()(DIR* d) const;
  };
  std::wstring path;
  int32_t flag = 0;
  std::unique_ptr<DIR, Closer> handle;  // null until the first FSReadDir
  bool started = false;                 // the first FSReadDir has run
};

struct DIR_ENTRY {
  std::wstring name;  // the entry's name only
  FILE_TYPE type = FT_ERR;
  uint32_t mtime = 0;
  uint64_t size = 0;
  // With FS_DIR_STAT: the inode and the last status change in nanoseconds
  // (as in FILE_INFO).
  uint64_t ino = 0;
  int64_t ctime_ns = 0;
};

// Walk callback: 0 to continue, non-zero to stop.
using FN_ACT_TRAVERSE_DIR = int (*)(const std::wstring& path, void* priv);

// Checks the file system that holds `root` (an absolute path). On vfat, msdos
// and exfat it logs a warning and turns on 2-second time rounding in FSUTime.
// Returns 0, or -1 for a relative/empty path or when statfs fails.
[[nodiscard]] int FSInit(const std::wstring& root);
// Whether FSUTime rounds times down to even seconds. FSSetFat overrides what
// FSInit found (for a caller that knows better, and for tests).
bool FSIsFat();
void FSSetFat(bool fat);

// Examines `path` without following a final symbolic link. Returns 0 with
// isExist false when the path or one of its parents is missing (or a parent
// is not a directory); 0 with the fields set when it exists; -1 on any other
// failure (permission denied, I/O error), logged.
[[nodiscard]] int FSStat(const std::wstring& path, FILE_INFO& info);

// What FSStat records of an item whose lstat (or a descriptor's fstat) is
// `st`: `path` as given, isExist true.
void FSInfoFromStat(const std::wstring& path, const struct stat& st, FILE_INFO& info);
// Fills the identity fields of `info` (dev, ino, nlink, ctime_ns) from
// `st`, for a caller that examined the item itself (through a descriptor,
// or relative to an open directory).
void FSStampOf(const struct stat& st, FILE_INFO& info);

// True when `path` is not empty and exists (a dangling link exists).
bool IsFileExist(const std::wstring& path);

// Prepares a listing of `path`; nothing touches the disk yet. Always 0.
int FSOpenDir(const std::wstring& path, int flag, DIR_HANDLE& h);
// Returns 1 and fills `e` for the next entry ("." and ".." included; callers
// skip them), 0 when there are no more, -1 when the directory cannot be
// listed. Names that are not valid UTF-8 are skipped with a warning: they
// cannot be represented, so the client leaves them alone. Entry types follow
// FSStat (links are FT_SLINK, special files FT_ERR).
[[nodiscard]] int FSReadDir(DIR_HANDLE& h, DIR_ENTRY& e);
// Closes the listing and empties the stored path. Returns 0.
int FSCloseDir(DIR_HANDLE& h);

// Pre-order walk: fn(dir) first (non-zero: return -2), then every entry below
// it, directories recursively and other entries (links included) through fn.
// A refusal by fn, or a subdirectory walk that fails, ends the listing of the
// directory that holds it only. Returns 0 also when `dir` is not a
// directory; -1 when `dir` cannot be listed.
[[nodiscard]] int TraverseDir(const std::wstring& dir, FN_ACT_TRAVERSE_DIR fn, void* priv);

// Moves `from` to `to`, atomically replacing an existing `to`. Durable: the
// moved file's data is flushed first and both directories afterwards, so the
// new name survives a crash. If the data cannot be flushed the move is not
// made. Returns 0 or -1.
[[nodiscard]] int FSRename(const std::wstring& from, const std::wstring& to);

// Copies the bytes of `from` into `to` (created or truncated); times and
// permissions are not copied. With isDelOrigin the source
// is deleted after a successful copy only. Copying a file onto itself (or a
// hard link of itself) fails without touching it, and so does a source
// that is not a regular file (directory, fifo, device). Returns 0 or -1.
[[nodiscard]] int FSCopy(const std::wstring& from, const std::wstring& to, bool isDelOrigin);
// As FSCopy, handing every chunk to `tap` (in order) once it is written, so
// that a caller needing the copy and results of its content reads the
// source once. `tap` runs on a thread of its own, beside the copy of the
// next chunks; it has returned for every chunk when FSCopy returns. A
// non-zero answer from `tap` ends the copy with -1.
using FSCopyTap = std::function<int(const char* data, size_t len)>;
[[nodiscard]] int FSCopy(const std::wstring& from, const std::wstring& to, bool isDelOrigin,
                         const FSCopyTap& tap);

// Reads the open regular file `fd` once, from its offset to its end,
// handing every chunk to `use` on the caller's thread and then to `tap`, on
// a thread of its own as FSCopy does: one read serves two consumers. Returns
// the bytes read, or -1 when the file is not a regular file, a read fails, or
// a consumer answers non-zero.
[[nodiscard]] int64_t FSReadThrough(int fd, const FSCopyTap& tap, const FSCopyTap& use);

// Creates the directory `path` (with isCreateParent: and its missing parents,
// like FSMKDirP without force). 0 when it exists afterwards as a directory
// (also when it already did); -1 otherwise, including when a non-directory
// stands at `path`.
[[nodiscard]] int FSMKDir(const std::wstring& path, bool isCreateParent);

// Creates every missing directory along `path`, starting after the root ("/"
// for an absolute path). Where a non-directory stands in the way it fails
// (errno EEXIST for the last component, ENOTDIR before it) unless
// blForceCreate, which removes it and creates the directory instead.
// `endptr`, `uid`, `gid` and `mode` are accepted and ignored (directories get
// 0777 less the umask). Returns 0 when the last component is a directory, -1
// otherwise.
[[nodiscard]] int FSMKDirP(const std::wstring& path, const wchar_t* endptr, bool blForceCreate,
                           int uid, int gid, int mode);

// Sets only the modification time of `path` (following a link); `atime` is
// ignored and the access time left as it is. Rounds down to an even second
// when FSIsFat(). Returns 0 or -1.
[[nodiscard]] int FSUTime(const std::wstring& path, time_t atime, time_t mtime);

// Creates a new, empty, uniquely named file in the directory `prefix` (the
// name is chosen and created in one exclusive step, so concurrent callers and
// other processes never get the same file). Returns 0 with `path` = prefix +
// "/" + name; -1 with `path` unchanged.
[[nodiscard]] int FSMktemp(const std::wstring& prefix, std::wstring& path);

// The absolute form of `path` (relative to the working directory) with
// links resolved as far as the path exists; the missing rest is appended
// with "." and ".." applied. Empty when not even "/" resolves.
std::wstring FSResolvePath(const std::wstring& path);
// Whether `path` is `folder` or lies below it, component-wise ("/x/ab" is
// not below "/x/a"). Both should come from FSResolvePath; empty is never.
bool FSIsSameOrBelow(const std::wstring& path, const std::wstring& folder);

// Sets `path` to prefix + "/<n>.temp" with n = 1, 2, ... over the life of the
// process; touches nothing. Always 0. Thread-safe.
[[nodiscard]] int FSCreateTempPath(const std::wstring& prefix, std::wstring& path);

// Removes a file, a symbolic link (never its target) or a directory tree.
// 0 when done or when `path` does not exist; -1 for an empty path, a failed
// stat or removal, or a special file. With `allowundo` the item is moved to
// the client's own trash when one is set up (lib/fs/trash.h; an item larger
// than the trash may hold is removed permanently, logged), else to the
// user's trash folder ($XDG_DATA_HOME/Trash, else ~/.local/share/Trash, in
// the shared desktop layout with a .trashinfo record; when that is on
// another file system or unavailable the item is removed permanently,
// logged). -3 when the move to a trash fails otherwise; the item stays.
[[nodiscard]] int FSRemove(const std::wstring& path, bool allowundo);

// Removes the directory `path` and everything below it. Links inside are
// removed, never followed; a `path` that is itself a link is refused. Keeps
// going past failures. Returns 0, or -1 when anything could not be removed.
[[nodiscard]] int RemoveDirectoryRecursive(const std::wstring& path);

// Fault injection for tests of the layers above (a full disk, a failing
// rename, a file that vanished). While a hook is set, the operations ask it
// before the step named by FSOp touches the disk; a non-zero answer is taken
// as the errno of that step's failure, which is then handled and logged like
// a real one. FSOP_WRITE is asked before each chunk FSCopy writes (path: the
// destination); FSOP_READ before each chunk FSReadThrough reads (path:
// empty, the file is known by its descriptor); FSOP_REMOVE by FSRemove and
// RemoveDirectoryRecursive; FSOP_MKDIR for each directory FSMKDir/FSMKDirP
// create.
enum FSOp {
  FSOP_STAT,
  FSOP_LISTDIR,
  FSOP_RENAME,
  FSOP_WRITE,
  FSOP_MKDIR,
  FSOP_UTIME,
  FSOP_MKTEMP,
  FSOP_REMOVE,
  FSOP_READ,
};
using FSFaultHook = std::function<int(FSOp op, const std::wstring& path)>;
// Installs `hook`; an empty function removes it. Thread-safe. The hook runs
// on whichever thread performs the operation and must be thread-safe itself.
void FSSetFaultHook(FSFaultHook hook);
// Asks the installed hook about a step of another module of this layer (the
// trash asks FSOP_RENAME before it moves or links an item in, with the
// item's path in the trash, and FSOP_WRITE before each chunk it copies).
// True, with errno set, when the hook fails the step.
bool FSFaultInjected(FSOp op, const std::wstring& path);
