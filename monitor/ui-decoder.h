// Decoder for the byte stream a daemon writes on the UI port: status, error,
// file event, session and connection-control messages. The stream has no
// resynchronisation point, so the first malformed byte ends it: the decoder
// reports why and the caller drops the connection.
//
// Every length is checked against a named bound before anything is buffered,
// so a hostile peer can make the decoder hold at most one message's worth of
// bytes (kMaxMessageBytes). Not thread-safe; one decoder per connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace monitor {

// Message type bytes.
enum : uint8_t {
  kMsgStatus = 1,
  kMsgError = 2,
  kMsgFileEvent = 3,
  kMsgSession = 100,
  kMsgControl = 101,
};

// Status values, control values and file event fields.
enum : int32_t { kStatusSyncing = 10, kStatusIdle = 11, kStatusPause = 12 };
enum : int32_t { kControlTerminate = 10 };
// kActionTrash: a change from the server put the old content of the path
// into the daemon's local trash.
enum : int32_t {
  kActionCreate = 1,
  kActionRemove = 2,
  kActionModify = 3,
  kActionRename = 4,
  kActionTrash = 5,
};
enum : uint8_t { kFieldAction = 0, kFieldType = 1, kFieldPath = 2 };

// The daemon never sends a path or session longer than this (its field
// buffer); anything longer is a stream we did not come from.
constexpr size_t kMaxValueBytes = 8192;
// A file event is the type byte, the field count and three fields.
constexpr size_t kMaxMessageBytes = 2 + 3 * 3 + 4 + 4 + kMaxValueBytes;

struct UiMessage {
  uint8_t type = 0;
  // Status, error code or control value; for a file event the action.
  int32_t value = 0;
  // File events only: the FILE_TYPE field.
  int32_t file_type = 0;
  // Session (type 100) or path (type 3): raw bytes, meant to be UTF-8 but
  // unchecked; the caller sanitises them for display.
  std::string text;
};

class UiDecoder {
 public:
  enum Result { kMessage, kNeedMore, kMalformed };

  // Appends received bytes. The caller drains Next() after each Feed, so the
  // buffer stays below kMaxMessageBytes plus one read.
  void Feed(const char* data, size_t n);
  // Takes the next complete message out of the buffer. After kMalformed the
  // decoder stays failed and Error() says why (with the stream offset).
  [[nodiscard]] Result Next(UiMessage& out);
  // True when bytes of an incomplete message are buffered: a stream that
  // ends now was cut inside a message.
  bool HasPartial() const { return m_pos < m_buf.size(); }
  const std::string& Error() const { return m_error; }
  // Bytes consumed as complete messages so far.
  uint64_t Offset() const { return m_offset; }

 private:
  Result Fail(const std::string& why);
  Result TryParse(UiMessage& out, size_t& used);

  std::string m_buf;
  size_t m_pos = 0;
  uint64_t m_offset = 0;
  bool m_failed = false;
  std::string m_error;
};

// "syncing", "idle", "paused"; "unknown (N)" for a value outside the table.
std::string StatusName(int32_t status);
// "created", "removed", "modified", "renamed", "trashed"; "action N"
// otherwise.
std::string ActionName(int32_t action);

}  // namespace monitor
