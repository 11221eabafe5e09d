// Lookups below a directory that someone else may be changing (the sync
// root, where another local user may write): no symbolic link is followed at
// any level, so a folder swapped for a link between a check and a read
// cannot lead outside the tree.
//
// Where the kernel has openat2, it resolves the whole path with
// RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS; elsewhere (an older kernel, or a
// sandbox that refuses the call) the path is walked one component at a time
// through descriptors opened with O_NOFOLLOW, as the share walk does.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string>

#include "lib/base/handles.h"

// `rel` is a "/"-separated UTF-8 path below `root_fd` (leading "/" ignored);
// an empty component, "." or ".." makes it ERR_INVAL. Results of both calls:
// ERR_NOENT when the item is missing or a non-directory stands on the way;
// ERR_CONFLICT when a symbolic link stands on the way; ERR_SYS for any other
// failure (errno tells which). Nothing is logged. Thread-safe.

// lstat of the item: an item that is itself a link is described as such.
[[nodiscard]] int StatBeneath(int root_fd, const std::string& rel, struct stat& st);

// Opens the regular file at `rel` for reading; `st` is the fstat of the
// descriptor, which is what callers must take its size and type from. A
// fifo or device put there does not block the open. Also ERR_CONFLICT when
// the item itself is a link, ERR_NOENT when it is not a regular file.
[[nodiscard]] int OpenReadBeneath(int root_fd, const std::string& rel, UniqueFd& out,
                                  struct stat& st);

// Sets the modification time of the item at `rel` itself (a link there is
// not followed), rounded down to an even second when FSIsFat() as FSUTime
// does; the access time stays.
[[nodiscard]] int SetMtimeBeneath(int root_fd, const std::string& rel, time_t mtime);

// Tests: walk even where openat2 exists, so that both ways run on one kernel.
void SetBeneathWalkOnly(bool walk_only);
