// The reference server's storage: the share (a plain directory tree that
// always holds the current content), and a state directory beside it with the
// metadata database, the kept versions of each file (delta bases), and a
// private work area for staged uploads.
//
// Crash safety: content is staged in the work area, then linked into the
// version store, an intent row is committed, the file is renamed into the
// share, and the metadata is committed. Opening the store finishes or rolls
// back any intent left by a crash, discards the work areas of dead processes,
// and (with `reconcile`) brings the metadata in line with the share, so the
// share never holds a half-written file and the metadata never disagrees with
// it after a restart.
//
// Thread-safe: every call takes m_mutex; changes also take an exclusive flock
// on "<state>/lock", so command-line hooks can change the share while a server
// runs on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/base/mutex.h"
#include "lib/fs/nofollow-walk.h"
#include "server/meta-db.h"

enum class StoreResult {
  kOk,         // changed as asked
  kUnchanged,  // nothing to do (same content, directory already there)
  kConflict,   // the server's object is not the one the caller's base names
  kWait,       // the server holds newer changes below / above the path
  kNoEnt,      // nothing exists at the path
  kError,      // disk or database failure (logged)
};
const char* StoreResultName(StoreResult r);

// Whether a change must start from the object version the caller last saw.
struct BaseCheck {
  bool enforce = false;
  uint64_t base = 0;
  static BaseCheck None() { return {}; }
  static BaseCheck From(uint64_t base) { return {true, base}; }
};

class ServerStore;

// A file in the store's work area. Removed on destruction unless it was moved
// into the share. Not thread-safe; one owner.
class StagedFile {
 public:
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  const std::string& path() const { return m_path; }
  std::wstring wpath() const;
  // Flushes the content to disk and computes its size and checksum text.
  // 0, or ERR_SYS.
  [[nodiscard]] int Finish(uint64_t& size, std::string& hash);
  // Finish for content whose checksum was taken as it was written.
  [[nodiscard]] int Flush(uint64_t& size);

 private:
  friend class ServerStore;
  explicit StagedFile(std::string path) : m_path(std::move(path)) {}
  std::string m_path;
  bool m_consumed = false;
};

class ServerStore {
 public:
  struct Options {
    std::string share;         // existing directory
    std::string state;         // created if missing; default: share + ".sfstate";
                               // must be on the share's file system
    size_t versions_kept = 4;  // per file, the current one included
    bool reconcile = true;     // compare share and metadata at open
  };
  // Opens (creating the state directory and database as needed) and recovers.
  // 0, ERR_INVAL (bad options, or a state directory on another file system
  // than the share), ERR_SYS.
  [[nodiscard]] static int Open(const Options& opt, std::unique_ptr<ServerStore>& out);
  ~ServerStore();

  const std::string& statePath() const { return m_state; }

  // The row for `p` (possibly a tombstone). 0, ERR_NOENT, ERR_SYS.
  [[nodiscard]] int Get(const SharePath& p, ObjectRow& row);
  uint64_t LastSyncId();
  // Rows changed after `after`, oldest first, at most `limit`; `to_id` is the
  // id the caller has seen everything up to (the last row's id when the list
  // was cut at `limit`). 0 or ERR_SYS.
  [[nodiscard]] int ListChanges(uint64_t after, size_t limit, std::vector<ObjectRow>& rows,
                                uint64_t& to_id);
  // Opens the current content of the existing file `p`; `row` is the metadata
  // that content belongs to (later replacements do not affect an open file).
  // 0, ERR_NOENT (no such file), ERR_SYS.
  [[nodiscard]] int OpenCurrent(const SharePath& p, UniqueFd& fd, ObjectRow& row);
  // Opens the kept version `sync_id` of `p` when it is still intact.
  // 0, ERR_NOENT, ERR_SYS.
  [[nodiscard]] int OpenVersion(const SharePath& p, uint64_t sync_id, UniqueFd& fd);
  // Whether the state file system has room for `bytes` more plus a margin.
  bool HasRoomFor(uint64_t bytes) const;

  // A new empty staged file. 0 or ERR_SYS.
  [[nodiscard]] int NewStaged(std::unique_ptr<StagedFile>& out);

  // Puts staged content (its size and checksum from StagedFile::Finish) at
  // `p` with modification time `mtime`; missing parents are created. Same
  // content as the current file: kUnchanged. A parent that is a file: kWait.
  // With an enforced base: kConflict when the current file is another
  // version, or when a non-empty directory (or one of another version) is at
  // `p`. `out` receives the resulting row (kOk, kUnchanged).
  StoreResult PutFile(const SharePath& p, BaseCheck check, StagedFile& content, uint64_t size,
                      const std::string& hash, uint32_t mtime, const std::string& updater,
                      ObjectRow& out);
  // Makes the directory `p` (and missing parents). An existing directory:
  // kUnchanged. A file at `p` is replaced unless the base check fails
  // (kConflict). A parent that is a file: kWait.
  StoreResult MakeDir(const SharePath& p, BaseCheck check, uint32_t mtime,
                      const std::string& updater, ObjectRow& out);
  // Removes `p` and everything below it. kNoEnt when nothing exists there.
  // With an enforced base: kWait when anything in the tree changed after
  // `base` (the caller has not seen it yet), so nothing unseen is removed.
  StoreResult Remove(const SharePath& p, BaseCheck check, const std::string& updater);

  // Issued sessions, by their SessionKey (server/server-secrets.h).
  [[nodiscard]] int AddSession(const std::string& key, const std::string& user);
  [[nodiscard]] int GetSession(const std::string& key, std::string& user);

 private:
  ServerStore() = default;
  class ChangeLock;

  [[nodiscard]] int Init(const Options& opt);
  // REQUIRES: m_mutex and the change lock.
  [[nodiscard]] int RecoverPending() REQUIRES(m_mutex);
  [[nodiscard]] int CleanWorkAreas() REQUIRES(m_mutex);
  [[nodiscard]] int CleanVersionStore() REQUIRES(m_mutex);
  [[nodiscard]] int Reconcile() REQUIRES(m_mutex);
  std::string VersionFile(uint64_t sync_id) const;
  // Links (or, across file systems, copies) the file `name` in `dirfd` into
  // the version store as `sync_id`. 0 or ERR_SYS.
  [[nodiscard]] int KeepVersionAt(int dirfd, const std::string& name, uint64_t sync_id);
  // Records rows for ancestors of `p` that are not existing directories in
  // the metadata. REQUIRES: m_mutex, change lock, open transaction.
  [[nodiscard]] int RecordParents(const SharePath& p, uint32_t now, const std::string& updater)
      REQUIRES(m_mutex);
  // Moves the item at `p` into the work area; returns its new name there, or
  // "" when the share had nothing at `p`. ERR_SYS on failure.
  [[nodiscard]] int MoveAside(const SharePath& p, std::string& trash_name);
  // Undoes MoveAside after a change failed, so that the share keeps what the
  // metadata still describes. Failures are logged (the next start reconciles).
  void PutBack(int parentfd, const SharePath& p, const std::string& trash_name);
  // Deletes metadata versions of `path` beyond the newest `keep`; their
  // sync ids are appended to `drop`. REQUIRES: open transaction.
  [[nodiscard]] int PruneVersions(const std::string& path, size_t keep, std::vector<uint64_t>& drop)
      REQUIRES(m_mutex);
  void UnlinkVersions(const std::vector<uint64_t>& ids);

  // Constant after Open.
  ShareDir m_share;
  std::string m_state;
  std::string m_work;  // this instance's work area
  UniqueFd m_workFd;
  UniqueFd m_lockFd;   // "<state>/lock", flock'ed during changes
  UniqueFd m_ownerFd;  // held for the store's life: marks m_work as alive
  size_t m_versionsKept = 4;

  std::atomic<uint64_t> m_stageCounter{0};

  Mutex m_mutex;
  MetaDb m_db GUARDED_BY(m_mutex);
};
