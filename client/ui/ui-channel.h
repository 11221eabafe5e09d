// Notification channel to the desktop user interface: one TCP connection to
// 127.0.0.1:6695 on which the client only writes (session registration,
// status changes, errors, per-file results, terminate notice).
//
// The session is the credential the server accepts, so it goes only to a
// listener of the daemon's own user: after each connect, before anything is
// sent, the owner of the accepting socket is looked up (lib/net/tcp-owner.h)
// and a stranger's connection is closed unused. When nobody (or a stranger)
// listens at start-up, or the interface goes away, the client runs on and
// tries again with the next message, at most every kRetrySeconds; a new
// connection registers the session first.
//
// Threads: any task thread and the main thread write messages; m_mutex
// serialises whole messages (and reconnections) so they never interleave.
// Start-up calls Initialize before any task exists; Destroy runs in the
// global tear-down.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/core/event-list.h"
#include "client/core/ui-sink.h"
#include "lib/base/mutex.h"
#include "lib/net/channel.h"

namespace MessageFormat {

enum MessageType : uint8_t {
  STATUS = 1,
  ERR = 2,
  FILE_EVENT = 3,
  SESSION_ID_REPORT = 100,
  CONNECTION_CONTROL = 101,
};

enum StatusValue : int32_t { SYNCING = 10, IDLE = 11, PAUSE = 12, STATUS_MAX = 13 };
enum ConnValue : int32_t { CONNECTION_TERMINATE = 10 };
enum FileFieldID : uint8_t { FILE_ACTION = 0, FILE_TYPE = 1, FILE_PATH = 2 };
enum FileTypeValue : int32_t { T_FILE = 0, T_FOLDER = 1 };

// Largest value of one file-event field (a path's UTF-8 bytes).
constexpr size_t kFieldValueMax = 8192;

// In-memory form of one file-event field: id byte, 16-bit length, value.
struct FileFieldHdr {
  FileFieldID id = FILE_ACTION;
  uint16_t len = 0;
  char value[kFieldValueMax] = {};
};

}  // namespace MessageFormat

// A Channel that connects with a plain blocking connect (the peer is on the
// loopback address, where a refusal is immediate).
class LocalChannel : public Channel {
 public:
  explicit LocalChannel(size_t capacity = Channel::kDefaultCapacity) : Channel(capacity) {}

  // How long a message may wait for the interface to read. Messages are sent
  // from the main thread's command handling and while other threads hold the
  // task manager's lock, so an interface that stops reading would otherwise
  // hold up commands and shutdown for the whole network timeout.
  static constexpr uint32_t kStallTimeoutSeconds = 3;
  ~LocalChannel() override { Close(); }

  using Channel::Open;
  // Closes any previous socket and connects to a dotted IPv4 address. 0;
  // ERR_INVAL for a null ip or a negative port; ERR_SYS when the socket
  // cannot be created or the connection fails. `isSSL` is not used.
  [[nodiscard]] int Open(const char* ip, int port, bool isSSL) override;
  // Blocking connect of the current socket, given up after
  // kStallTimeoutSeconds (a listener whose queue is full never answers). 0
  // or ERR_SYS.
  [[nodiscard]] int ConnectWithoutTimeout(const char* ip, int port);
  // Quiet: a failing connect is logged at debug level only (repeated
  // attempts while no interface runs).
  void SetQuiet(bool quiet) { m_quiet = quiet; }

 private:
  bool m_quiet = false;
};

class IPC_Channel {
 public:
  static constexpr const char* kAddress = "127.0.0.1";
  static constexpr int kPort = 6695;
  // kPort, or the port in the environment variable SYNCFOLDER_UI_PORT when it
  // holds a valid one (for tests and parallel development instances).
  static int PortFromEnvironment();

  // Minimum time between two attempts to reach the interface.
  static constexpr int kRetrySeconds = 10;

  // Connects to 127.0.0.1:6695, checks that the listener is the daemon's own
  // user's and registers the session (UTF-8). Always 0: failures are logged
  // and the client runs without an interface until a later message finds
  // one.
  static int Initialize(const std::string& session);
  static int Initialize(const std::wstring& session);
  // The same against another address; for tests, which cannot own the fixed
  // port.
  static int InitializeAt(const char* ip, int port, const std::string& session);

  // Each sends one whole message and flushes it. 0 or the first failure's
  // code (ERR_IO when not connected). A message that fails part-way gives
  // the connection up (the stream could not be resynchronised). WriteEvent
  // and WriteFileEvent first reconnect when kRetrySeconds have passed since
  // the last attempt; until then they fail with ERR_IO. Thread-safe.
  static int RegisterSession(const std::string& session);
  // A status (SYNCING, IDLE, PAUSE) or an error (value <= 0); ERR_INVAL and
  // nothing sent for any other value.
  static int WriteEvent(int32_t value);
  // The event's type and path (UTF-8); the file type field is always T_FILE.
  // ERR_INVAL and nothing sent when the path cannot be converted or is
  // longer than MessageFormat::kFieldValueMax bytes.
  static int WriteFileEvent(const Event& e);
  static int Terminate_connection();
  // Closes the connection for good. Thread-safe; later messages fail with
  // ERR_IO until the next Initialize.
  static void Destroy();
  static bool IsConnected();
  // The channel as the task manager's UiSink (WriteEvent, WriteFileEvent).
  // Static storage; valid for the life of the process.
  static UiSink* Sink();

  // Building blocks; each queues bytes without flushing.
  static int WriteMsgType(uint8_t type) REQUIRES(m_mutex);
  static int WriteMsgFileFieldNumber(uint8_t count) REQUIRES(m_mutex);
  static int WriteMsgLength(uint16_t len) REQUIRES(m_mutex);
  static int WriteMsgEvent(int32_t value) REQUIRES(m_mutex);
  // A 16-bit length then `len` bytes.
  static int WriteMsgValue(const char* value, uint16_t len) REQUIRES(m_mutex);
  static int WriteOneMsgFileFieldHdr(const MessageFormat::FileFieldHdr& field) REQUIRES(m_mutex);
  // Type byte 3, the count, then the fields.
  static int WriteFileEventHdr(uint8_t count, const MessageFormat::FileFieldHdr* fields)
      REQUIRES(m_mutex);

 private:
  static int RegisterSessionLocked(const std::string& session) REQUIRES(m_mutex);
  static int WriteControlLocked(uint8_t type, int32_t value) REQUIRES(m_mutex);
  static void AbandonLocked() REQUIRES(m_mutex);
  // Opens the connection to the interface, checks whose it is and registers
  // the session. 0, or the failure's code with the channel closed.
  static int ConnectLocked() REQUIRES(m_mutex);
  // ConnectLocked when closed, set up and due.
  static void ReconnectIfDueLocked() REQUIRES(m_mutex);
  // 0 when the connection's other end is held by this process's user; else
  // ERR_AUTH (a stranger) or the lookup's failure, logged once in a row.
  static int CheckListenerLocked() REQUIRES(m_mutex);

  static Mutex m_mutex;
  static LocalChannel m_event_ipc GUARDED_BY(m_mutex);
  // Where and what to register; port -1 before Initialize and after Destroy.
  static std::string m_ip GUARDED_BY(m_mutex);
  static int m_port GUARDED_BY(m_mutex);
  static std::string m_session GUARDED_BY(m_mutex);
  static std::chrono::steady_clock::time_point m_retry_at GUARDED_BY(m_mutex);
  // A failed attempt has been logged; later ones are quiet until one works.
  static bool m_open_logged GUARDED_BY(m_mutex);
  static bool m_owner_logged GUARDED_BY(m_mutex);
};
