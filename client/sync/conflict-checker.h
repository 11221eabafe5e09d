// The conflict checker: decides which of a local and a server change to the
// same path wins, and keeps a local copy that would otherwise be lost under
// a new, recognisable name.
//
// Thread-safety: one checker per worker, used on that worker's thread; the
// database is reached through its own lock.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "client/core/event-list.h"

class SFSysInfo;

enum ConflictType {
  UnknownConflictType = -1,
  Svr_IgnorThisEvent = 0,
  Svr_ApplySvrFile = 1,
  SvrClt_SvrApply_CltRename = 10,
  SvrClt_Svr2DB_CltRename = 11,
  SvrClt_SvrApply = 12,
  SvrClt_Svr2DB = 13,
  SvrClt_PushFile2Svr = 20,
};

class ConflictChecker {
 public:
  // Conflict names: the suffix "_<client>_<time>" goes before the extension;
  // further candidates add "_1", "_2", ... without end. This many
  // candidates are tried before the rename gives up (nothing is renamed).
  static constexpr int kMaxCandidates = 1000000;

  // `config` (not owned; null in tests that set root and client themselves)
  // gives the sync root and the client name.
  explicit ConflictChecker(SFSysInfo* config);

  // Given a local and a server event for the same path (in either order),
  // rewrites `e1` into the event to process and returns the decision. Two
  // events of one kind collapse into the later one (`e2`).
  ConflictType checkConflict(Event& e1, Event& e2);
  ConflictType checkEventConflict(Event& svrEvent, Event& clientEvent);

  // Renames the item at `full_path` to the first free conflict name beside
  // it, never replacing anything (a name taken meanwhile moves on to the
  // next one). Below the sync root the rename walks from the root without
  // following links. Returns 0 or -1 (logged); `renamed_to` gets the new
  // full path when given.
  int renameConflictFile(const std::wstring& full_path, std::wstring* renamed_to = nullptr);
  int renameConflictFile(Event& clientEvent);
  // The same for entry `name` of the directory `fromdir` (elsewhere, on the
  // same file system): it takes the first free conflict name beside
  // `full_path`.
  int renameConflictFile(const std::wstring& full_path, int fromdir, const std::string& name,
                         std::wstring* renamed_to = nullptr);

  // "_<client>_<Mon>-<dd>-<HHMM>-<YYYY>" for the local time `t`. Month names
  // are the English abbreviations whatever the locale, so that names never
  // depend on the user's language settings.
  static std::wstring Suffix(const std::wstring& client, const struct tm& t);
  // Candidate `n` (0: the first, without number) for `full_path`. The
  // extension is the part from the last dot of the last component.
  static std::wstring ConflictName(const std::wstring& full_path, const std::wstring& suffix,
                                   int n);

  // Tests.
  void SetClock(std::function<time_t()> clock) { m_clock = std::move(clock); }
  void SetRoot(const std::wstring& root) { m_root = root; }
  void SetClient(const std::wstring& client) { m_client = client; }

 private:
  std::wstring Root() const;
  std::wstring Client() const;

  SFSysInfo* const m_config;
  std::wstring m_root;    // overrides the configuration when set
  std::wstring m_client;  // likewise
  std::function<time_t()> m_clock;
};
