// The expander: turns directory events into events for everything below
// them, and runs the rescans that reconcile the disk with the file event
// database.
//
// Thread: its own task thread runs DoTask, which polls the task manager's
// expansion queue once a second. Stop sets abort_flag, which every walk and
// comparison checks before each entry, and then joins the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "client/core/event-list.h"
#include "client/core/task.h"
#include "client/store/event-db.h"
#include "client/store/flist.h"

class Expander : public Task {
 public:
  explicit Expander(TaskManager* owner);
  ~Expander() override;

  // Sets abort_flag (never cleared again), then stops the task.
  int Stop() override;
  void DoTask() override;

  // Expands one event: a rescan (F_RESCAN) compares the whole tree with the
  // database; any other event walks its directory and pushes a creation for
  // the directory and everything below it. Runs on the caller's thread.
  void ExpandEvent(const Event& e);

  // Fills `list` below directory index `index` from the disk directory
  // `path` (full path). Links and special files are left out, and so is the
  // working directory at the top level. Returns 0, or -1 when `path` cannot
  // be listed.
  int BuildLocalFileList(const std::wstring& path, int index, FileList& list);
  // Pushes what differs between the disk tree and the database tree: uploads
  // for what the disk has new or changed. Removals for what it lost are
  // collected (m_removals): ExpandEvent hands them to the task manager's
  // guard once the whole tree is compared. In merge mode what it lost is
  // fetched from the server instead (see m_fetch_missing).
  void CompareFileList(const FileList& disk, const FileList& db, bool merge);

  // Orders paths as the trees are iterated: component by component, each by
  // code unit, a proper prefix first. <0, 0 or >0.
  static int ComparePaths(const std::wstring& a, const std::wstring& b);

 private:
  static int PushEventCallback(const std::wstring& path, void* priv);
  void CompareFileListCore(const FileList& disk, const FileList& db, bool merge);
  void PushUploadEvent(const std::wstring& path, bool is_dir);
  void PushRemoveEvent(const std::wstring& path, bool is_dir);
  void PushDownloadEvent(const std::wstring& path, bool is_dir);
  // The sync root the events are relative to (from the task manager).
  const std::wstring& Root() const;

  std::atomic<int> abort_flag{0};

  // Expander thread only: local events found but not yet handed to the task
  // manager. They go in runs of kPushBatch, so that their "syncing" marks
  // share one disk flush, and always before a server event and at the end
  // of a walk or compare, so the order between the two lists is kept.
  static constexpr size_t kPushBatch = 256;
  std::vector<Event> m_pending;
  void QueueLocal(Event e);
  void FlushLocal();

  // Expander thread only, valid during one rescan: the scanned root and the
  // directories below it (relative, "/a/b") that could not be listed. Their
  // database rows are left alone: an unreadable directory is no reason to
  // remove anything on the server.
  std::wstring m_scan_root;
  std::vector<std::wstring> m_unlisted;
  bool UnderUnlisted(const std::wstring& rel) const;
  // A database row with nothing on disk: a removal, or a download while
  // m_fetch_missing.
  void DbOnly(const FileList::Entry& ent);
  // Expander thread only, valid during one compare: the start-up rescan
  // (merge mode) fetches synced items missing from the disk again, unless
  // the configuration says removals made while the daemon was stopped go
  // to the server ("propagate_offline_removals").
  bool m_fetch_missing = false;
  // Expander thread only: the removals of the rescan in progress.
  std::vector<Event> m_removals;
  // Whether a file of its row's size and time is another file now, or was
  // changed since (its stamp differs). A row without a stamp takes the
  // file's: collected in m_adoptions, recorded once the compare is done.
  bool StampChanged(const FileList::Entry& disk, const FileList::Entry& db);
  std::vector<FileEventDB::Adoption> m_adoptions;
};
