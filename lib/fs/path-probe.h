// What the checks made before a daemon starts need to know about a path,
// found without changing anything on disk.
#pragma once

#include <string>

struct PathProbe {
  bool exists = false;  // something stands at the path (links followed)
  bool is_dir = false;
  int error = 0;  // the errno of looking it up; ENOENT when nothing is there
};

// Looks `path` up (following links). Thread-safe.
PathProbe FSProbePath(const std::wstring& path);

// 0 when this process may create and remove entries in the directory `dir`;
// otherwise the errno that says why not (EACCES, EROFS, ENOTDIR, ...).
// Thread-safe.
[[nodiscard]] int FSWritableDir(const std::wstring& dir);
