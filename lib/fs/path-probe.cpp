#include "lib/fs/path-probe.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "lib/base/utility.h"

PathProbe FSProbePath(const std::wstring& path) {
  PathProbe p;
  struct stat st;
  if (::stat(WideToUtf8Lossy(path).c_str(), &st) != 0) {
    p.error = errno;
    return p;
  }
  p.exists = true;
  p.is_dir = S_ISDIR(st.st_mode);
  return p;
}

int FSWritableDir(const std::wstring& dir) {
  // The effective ids decide, as they do for the daemon's own writes.
  return ::eaccess(WideToUtf8Lossy(dir).c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}
