// Changes to the share made the way another client's upload, mkdir or
// removal would make them (each produces events for every client's next
// pull). Used by the integration tests in-process and by the command line
// ("syncfolder-server put|mkdir|remove"), also while a server runs on the
// same share.
#pragma once

#include <cstdint>
#include <string>

#include "server/server-store.h"

// The updater name recorded for hook changes unless another is given.
constexpr const char* kHookUpdater = "server";

// Stores `content` at `path` ("/a/b"). 0; ERR_INVAL (bad path); ERR_CONFLICT
// (a directory that is not empty is there); ERR_SYS.
[[nodiscard]] int HookPutBytes(ServerStore& store, const std::string& path,
                               const std::string& content, uint32_t mtime,
                               const std::string& updater = kHookUpdater, ObjectRow* out = nullptr);
// The same with the content of the local file `src`.
[[nodiscard]] int HookPutFile(ServerStore& store, const std::string& path, const std::string& src,
                              uint32_t mtime, const std::string& updater = kHookUpdater,
                              ObjectRow* out = nullptr);
// Makes the directory `path` and missing parents. 0 (also when it exists),
// ERR_INVAL, ERR_CONFLICT (a parent is a file), ERR_SYS.
[[nodiscard]] int HookMkdir(ServerStore& store, const std::string& path, uint32_t mtime,
                            const std::string& updater = kHookUpdater, ObjectRow* out = nullptr);
// Removes `path` and everything below it. 0, ERR_INVAL, ERR_NOENT, ERR_SYS.
[[nodiscard]] int HookRemove(ServerStore& store, const std::string& path,
                             const std::string& updater = kHookUpdater);
