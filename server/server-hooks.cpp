#include "server/server-hooks.h"

#include <fcntl.h>
#include <unistd.h>

#include "lib/base/errors.h"

namespace {
int ToError(StoreResult r) {
  switch (r) {
    case StoreResult::kOk:
    case StoreResult::kUnchanged:
      return 0;
    case StoreResult::kConflict:
    case StoreResult::kWait:
      return ERR_CONFLICT;
    case StoreResult::kNoEnt:
      return ERR_NOENT;
    case StoreResult::kError:
      return ERR_SYS;
  }
  return ERR_SYS;
}

[[nodiscard]] int Store(ServerStore& store, const SharePath& p, StagedFile& staged, uint32_t mtime,
                        const std::string& updater, ObjectRow* out) {
  uint64_t size = 0;
  std::string hash;
  if (staged.Finish(size, hash) != 0) return ERR_SYS;
  ObjectRow row;
  int r = ToError(store.PutFile(p, BaseCheck::None(), staged, size, hash, mtime, updater, row));
  if (r == 0 && out) *out = row;
  return r;
}

[[nodiscard]] int WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t k = write(fd, data, n);
    if (k <= 0) return ERR_SYS;
    data += k;
    n -= static_cast<size_t>(k);
  }
  return 0;
}
}  // namespace

int HookPutBytes(ServerStore& store, const std::string& path, const std::string& content,
                 uint32_t mtime, const std::string& updater, ObjectRow* out) {
  SharePath p;
  if (ParseSharePath(path, p) != 0) return ERR_INVAL;
  std::unique_ptr<StagedFile> staged;
  if (store.NewStaged(staged) != 0) return ERR_SYS;
  UniqueFd fd(open(staged->path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (!fd.valid() || WriteAll(fd.get(), content.data(), content.size()) != 0) return ERR_SYS;
  fd.reset();
  return Store(store, p, *staged, mtime, updater, out);
}

int HookPutFile(ServerStore& store, const std::string& path, const std::string& src, uint32_t mtime,
                const std::string& updater, ObjectRow* out) {
  SharePath p;
  if (ParseSharePath(path, p) != 0) return ERR_INVAL;
  UniqueFd in(open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return ERR_SYS;
  std::unique_ptr<StagedFile> staged;
  if (store.NewStaged(staged) != 0) return ERR_SYS;
  UniqueFd fd(open(staged->path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (!fd.valid()) return ERR_SYS;
  char buf[65536];
  for (;;) {
    ssize_t n = read(in.get(), buf, sizeof(buf));
    if (n < 0) return ERR_SYS;
    if (n == 0) break;
    if (WriteAll(fd.get(), buf, static_cast<size_t>(n)) != 0) return ERR_SYS;
  }
  fd.reset();
  return Store(store, p, *staged, mtime, updater, out);
}

int HookMkdir(ServerStore& store, const std::string& path, uint32_t mtime,
              const std::string& updater, ObjectRow* out) {
  SharePath p;
  if (ParseSharePath(path, p) != 0) return ERR_INVAL;
  ObjectRow row;
  int r = ToError(store.MakeDir(p, BaseCheck::None(), mtime, updater, row));
  if (r == 0 && out) *out = row;
  return r;
}

int HookRemove(ServerStore& store, const std::string& path, const std::string& updater) {
  SharePath p;
  if (ParseSharePath(path, p) != 0) return ERR_INVAL;
  return ToError(store.Remove(p, BaseCheck::None(), updater));
}
