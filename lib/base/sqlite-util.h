// Small owners for SQLite handles and the few encodings the local databases
// share: bounded UTF-8 fields, exact unsigned 64-bit values and literal
// subtree ranges on a path column.
//
// Nothing here logs: the callers own the log lines (each database has its own
// texts), so every function reports through its result and the connection's
// error message.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

namespace sqlite_util {

// Busy timeout used by connections that share a file with other processes.
constexpr int kBusyTimeoutMs = 300000;

struct FreeWithSqlite {
  void operator()(void* p) const { sqlite3_free(p); }
};
// Owner of text allocated by SQLite (sqlite3_mprintf, sqlite3_exec messages).
using SqliteText = std::unique_ptr<char, FreeWithSqlite>;

// One connection. Non-copyable; closes on destruction. Not thread-safe: a
// connection is used by one thread at a time (or under the owner's mutex).
class Db {
 public:
  Db() = default;
  ~Db() { Close(); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  Db(Db&& other) noexcept
      : m_db(std::exchange(other.m_db, nullptr)), m_cache(std::move(other.m_cache)) {
    other.m_cache.clear();
  }
  Db& operator=(Db&& other) noexcept {
    if (this != &other) {
      Close();
      m_db = std::exchange(other.m_db, nullptr);
      m_cache = std::move(other.m_cache);
      other.m_cache.clear();
    }
    return *this;
  }

  // Opens (creating if missing, with the default `flags`) the file at the
  // UTF-8 `path`. Returns the SQLite result code. On failure the handle is
  // kept so that ErrMsg() can say why; it is closed by the next Open/Close or
  // the destructor. An empty path is refused with SQLITE_CANTOPEN: SQLite
  // would otherwise open a private temporary database and every write would
  // vanish silently.
  [[nodiscard]] int Open(const std::string& path,
                         int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  // Open() followed by the shared busy timeout.
  [[nodiscard]] int OpenShared(const std::string& path);
  void Close();

  bool IsOpen() const { return m_db != nullptr; }
  sqlite3* get() const { return m_db; }
  // The last error text of the connection (or a fixed text when none is open).
  const char* ErrMsg() const;

  // Runs one or more statements without results. Returns the SQLite result
  // code; on failure `err` (if given) receives SQLite's message.
  [[nodiscard]] int Exec(const char* sql, std::string* err = nullptr);
  // Runs one statement without results, prepared once per connection (see
  // Stmt::PrepareCached). Returns the SQLite result code.
  [[nodiscard]] int ExecCached(const std::string& sql);

 private:
  friend class Stmt;
  sqlite3* m_db = nullptr;
  // Statements prepared for this connection and not in use, by SQL text.
  std::unordered_map<std::string, sqlite3_stmt*> m_cache;
};

// One prepared statement. Non-copyable; finalized on destruction.
class Stmt {
 public:
  Stmt() = default;
  ~Stmt() { Finalize(); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  // Returns the SQLite result code of sqlite3_prepare_v2. An SQL text with
  // more than one statement is refused (SQLITE_MISUSE): a trailing statement
  // would be silently ignored. A null `db` (never opened) is SQLITE_MISUSE.
  [[nodiscard]] int Prepare(sqlite3* db, const std::string& sql);
  // As Prepare, taking the statement from `db`'s cache when one with the
  // same text was prepared before; Finalize then resets it, clears its
  // bindings and hands it back instead of freeing it. Parsing the same SQL
  // on every call cost more than some of the writes it serves. `db` must
  // outlive this object (or its next Finalize) and is used under the same
  // lock as it.
  [[nodiscard]] int PrepareCached(Db& db, const std::string& sql);
  void Finalize();
  sqlite3_stmt* get() const { return m_stmt; }

  // Binders return the SQLite result code. Indexes start at 1. Not marked
  // [[nodiscard]] yet: client/store binds without checking in many places,
  // and gets the mark with client/'s pass of the gates.
  int BindText(int idx, const std::string& text);
  int BindInt(int idx, int v);
  int BindInt64(int idx, int64_t v);
  int BindU64(int idx, uint64_t v);

  // SQLITE_ROW, SQLITE_DONE or an error code.
  [[nodiscard]] int Step();
  // Makes the statement ready to run again with new bindings. Returns the
  // SQLite result code of sqlite3_reset: the last Step's error, which that
  // Step returned already.
  int Reset();

  int ColumnCount() const { return sqlite3_column_count(m_stmt); }
  bool ColumnIsNull(int col) const { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }
  // NULL reads as the empty string.
  std::string ColumnText(int col) const;
  int64_t ColumnInt64(int col) const { return sqlite3_column_int64(m_stmt, col); }
  // Reads what BindU64 wrote, and tolerates the other ways a number can be
  // stored (decimal text, a real); see ValueToU64.
  uint64_t ColumnU64(int col) const;

 private:
  sqlite3_stmt* m_stmt = nullptr;
  Db* m_home = nullptr;  // the cache m_stmt goes back to, when it came from one
  std::string m_key;
};

// Runs BEGIN IMMEDIATE on construction (check ok()) and ROLLBACK on
// destruction unless Commit() succeeded, so a failed batch never leaves the
// connection inside an open transaction. Every transaction here writes: taking
// the write lock first lets the busy timeout wait out another connection's
// writer, where a read turned into a write would fail at once ("database is
// locked") once that writer has committed.
class Transaction {
 public:
  explicit Transaction(Db& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool ok() const { return m_rc == SQLITE_OK; }
  int rc() const { return m_rc; }
  // Returns the SQLite result code of COMMIT.
  [[nodiscard]] int Commit();

 private:
  Db& m_db;
  int m_rc;
  bool m_open;
};

// Unsigned 64-bit values in NUMERIC columns. SQLite integers are signed, and a
// decimal literal above 2^63-1 turns into a lossy real. Values that fit are
// stored as plain integers (what every other reader expects); larger ones as
// an 8-byte big-endian blob. SQLite orders every integer before every blob and
// blobs by memcmp, so comparisons, max() and ORDER BY keep numeric order over
// the whole unsigned range.
void BindU64(sqlite3_stmt* stmt, int idx, uint64_t v, int* rc = nullptr);
// Decodes an integer (negative values are taken as their two's complement
// bits), the 8-byte blob, decimal text, or a real (clamped to the range).
// NULL and anything unreadable give 0.
uint64_t ValueToU64(sqlite3_value* v);
uint64_t ColumnToU64(sqlite3_stmt* stmt, int col);
// Strict decimal parse of an unsigned 64-bit value (digits only, no sign, no
// blanks, no overflow). Returns false when `text` is not such a number.
[[nodiscard]] bool ParseU64(const std::string& text, uint64_t& out);

// Converts `in` to UTF-8 for a text field whose buffer holds `cap` bytes
// including the terminator. Returns false (and leaves `out` alone) when the
// text cannot be converted, holds a NUL (which would cut it short), or needs
// more than cap-1 bytes: an over-long value is refused, never truncated into
// a different value.
[[nodiscard]] bool ToUtf8Field(const std::wstring& in, size_t cap, std::string& out);

// Bounds of the rows strictly below `prefix` in a path column under SQLite's
// BINARY collation: every text that starts with prefix+sep is >= lo and < hi,
// and nothing else is. Names are compared byte for byte, so "[", "*", "%",
// "_" and quotes in names are ordinary characters here (unlike GLOB or LIKE).
// REQUIRES: sep is an ASCII character other than 0x7F.
struct SubtreeRange {
  std::string lo;
  std::string hi;
};
SubtreeRange BelowPrefix(const std::string& prefix, char sep);

}  // namespace sqlite_util
