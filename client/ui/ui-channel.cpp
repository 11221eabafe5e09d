#include "client/ui/ui-channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"
#include "lib/net/tcp-owner.h"

namespace {

constexpr wchar_t kLogComponent[] = L"channel_ui_debug";

const wchar_t* ErrText(int rc) {
  return GetErrorStringW(rc);
}

}  // namespace

using namespace MessageFormat;

Mutex IPC_Channel::m_mutex;
LocalChannel IPC_Channel::m_event_ipc(Channel::kDefaultCapacity);
std::string IPC_Channel::m_ip;
int IPC_Channel::m_port = -1;
std::string IPC_Channel::m_session;
std::chrono::steady_clock::time_point IPC_Channel::m_retry_at;
bool IPC_Channel::m_open_logged = false;
bool IPC_Channel::m_owner_logged = false;

// ---- LocalChannel ------------------------------------------------------------------

int LocalChannel::Open(const char* ip, int port, bool /*isSSL*/) {
  if (ip == nullptr || port < 0) return ERR_INVAL;
  Close();
  int sock = CreateSock();
  if (sock < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): local sock create failed\n");
    return ERR_SYS;
  }
  m_fd.reset(sock);
  SF_LOG(L_INFO, L"[INFO] channel-ui-common(%d): LocalChannel Open\n");
  int rc = ConnectWithoutTimeout(ip, port);
  if (rc < 0) {
    m_fd.reset();
    return rc;
  }
  ClearRead();
  ClearWrite();
  SetTimeout(kStallTimeoutSeconds);
  return 0;
}

int LocalChannel::ConnectWithoutTimeout(const char* ip, int port) {
  struct sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (ip == nullptr || port > 65535 || ::inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): connect error: %d\n", EINVAL);
    return ERR_SYS;
  }
  // A listener whose queue is full drops the hand-shake, and the kernel
  // would retry it for minutes while the caller (maybe holding the task
  // manager's lock) waits. The send time-out bounds a blocking connect.
  struct timeval limit = {static_cast<time_t>(kStallTimeoutSeconds), 0};
  (void)::setsockopt(m_fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  int rc;
  do {
    rc = ::connect(m_fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    if (m_quiet)
      SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): connect error: %d\n", errno);
    else
      SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): connect error: %d\n", errno);
    return ERR_SYS;
  }
  limit = {0, 0};
  (void)::setsockopt(m_fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  return 0;
}

// ---- IPC_Channel --------------------------------------------------------------------

// A message that failed half-way leaves the stream at a point the interface
// cannot resynchronise from, so the connection is given up (as if the
// interface had gone away) instead of sending the rest after it.
void IPC_Channel::AbandonLocked() {
  if (m_event_ipc.IsClosed()) return;
  SF_LOG(L_ERR,
         L"[ERROR] channel-ui-common(%d): connection to the interface given up after a failed "
         L"message\n");
  m_event_ipc.ClearWrite();
  m_event_ipc.Close();
  m_retry_at = std::chrono::steady_clock::now() + std::chrono::seconds(kRetrySeconds);
}

// Whoever listens on the port gets the session, which is all the server asks
// for: only a listener of our own user may have it. The check is made on the
// connection itself, so a listener replaced between a check and the connect
// cannot slip in.
int IPC_Channel::CheckListenerLocked() {
  uid_t owner = 0;
  const int rc = TcpPeerOwner(m_event_ipc.GetFd(), owner);
  if (rc == 0 && owner == ::geteuid()) {
    m_owner_logged = false;
    return 0;
  }
  if (!m_owner_logged) {
    m_owner_logged = true;
    if (rc == 0) {
      SF_LOG(L_ERR,
             L"[ERROR] channel-ui-common(%d): the UI port %d is held by a program of another "
             L"user (uid %u); nothing is sent to it, and the port is tried again later\n",
             m_port, static_cast<unsigned>(owner));
    } else {
      SF_LOG(L_ERR,
             L"[ERROR] channel-ui-common(%d): cannot tell which user holds the UI port %d (%s); "
             L"nothing is sent to it, and the port is tried again later\n",
             m_port, ErrText(rc));
    }
  }
  m_event_ipc.Close();
  return rc == 0 ? ERR_AUTH : rc;
}

int IPC_Channel::ConnectLocked() {
  m_event_ipc.SetQuiet(m_open_logged);
  int rc = m_event_ipc.Open(m_ip.c_str(), m_port, false);
  if (rc != 0) {
    if (!m_open_logged)
      SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): Could not open local channel\n");
    m_open_logged = true;
  } else {
    SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): connect OK\n");
    rc = CheckListenerLocked();
    if (rc == 0) {
      rc = RegisterSessionLocked(m_session);
      if (rc < 0) SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): Register failed\n");
    }
  }
  if (rc == 0) {
    m_open_logged = false;
  } else {
    m_event_ipc.Close();
    m_retry_at = std::chrono::steady_clock::now() + std::chrono::seconds(kRetrySeconds);
  }
  return rc;
}

void IPC_Channel::ReconnectIfDueLocked() {
  if (!m_event_ipc.IsClosed() || m_port < 0 || std::chrono::steady_clock::now() < m_retry_at)
    return;
  if (ConnectLocked() == 0)
    SF_LOG(L_INFO, L"[INFO] channel-ui-common(%d): connected to the interface on port %d\n",
           m_port);
}

int IPC_Channel::Initialize(const std::string& session) {
  return InitializeAt(kAddress, PortFromEnvironment(), session);
}

// The interface's port is fixed; SYNCFOLDER_UI_PORT moves it only so that
// tests and side-by-side development instances do not share one listener.
int IPC_Channel::PortFromEnvironment() {
  const char* v = std::getenv("SYNCFOLDER_UI_PORT");
  if (v == nullptr || *v == '\0') return kPort;
  char* end = nullptr;
  long port = std::strtol(v, &end, 10);
  if (*end != '\0' || port < 1 || port > 65535) {
    SF_LOG(L_WARNING, L"[WARNING] channel-ui-common(%d): ignoring SYNCFOLDER_UI_PORT '%s'\n", v);
    return kPort;
  }
  return static_cast<int>(port);
}

int IPC_Channel::Initialize(const std::wstring& session) {
  std::string utf8;
  if (NativeStrToUTF8(session, utf8) < 0) utf8 = WideToUtf8Lossy(session);
  return Initialize(utf8);
}

int IPC_Channel::InitializeAt(const char* ip, int port, const std::string& session) {
  MutexLock g(m_mutex);
  m_event_ipc.Close();
  m_ip = ip == nullptr ? "" : ip;
  m_port = ip == nullptr ? -1 : port;
  m_session = session;
  m_open_logged = false;
  m_owner_logged = false;
  (void)ConnectLocked();
  SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): Initialize Local Port: connect success\n");
  return 0;
}

bool IPC_Channel::IsConnected() {
  MutexLock g(m_mutex);
  return !m_event_ipc.IsClosed();
}

int IPC_Channel::RegisterSession(const std::string& session) {
  MutexLock g(m_mutex);
  return RegisterSessionLocked(session);
}

int IPC_Channel::RegisterSessionLocked(const std::string& session) {
  if (session.size() > kFieldValueMax) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): Write session string error: %d\n", ERR_INVAL);
    return ERR_INVAL;
  }
  int rc = WriteMsgType(SESSION_ID_REPORT);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): Write session header error: %d\n", rc);
    AbandonLocked();
    return rc;
  }
  rc = WriteMsgValue(session.data(), static_cast<uint16_t>(session.size()));
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): Write session string error: %d\n", rc);
    AbandonLocked();
    return rc;
  }
  rc = m_event_ipc.FlushWrite(0);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): RegisterSession: Failed to send data. %s\n",
           ErrText(rc));
    AbandonLocked();
    return rc;
  }
  return 0;
}

int IPC_Channel::WriteControlLocked(uint8_t type, int32_t value) {
  int rc = WriteMsgType(type);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): WriteEvent: Failed to write event: %s\n",
           ErrText(rc));
    AbandonLocked();
    return rc;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): WriteEvent: Try write length %d\n", 4);
  rc = WriteMsgLength(4);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): WriteEvent: Failed to write length: %s\n",
           ErrText(rc));
    AbandonLocked();
    return rc;
  }
  if (type == CONNECTION_CONTROL)
    SF_LOG(L_DEBUG,
           L"[DEBUG] channel-ui-common(%d): WriteEvent: Try write event : connection terminate\n");
  else
    SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): WriteEvent: Try write event %d\n", value);
  rc = WriteMsgEvent(value);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): WriteEvent: Failed to write event: %s\n",
           ErrText(rc));
    AbandonLocked();
    return rc;
  }
  rc = m_event_ipc.FlushWrite(0);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): WriteEvent: Failed to send data. %s\n",
           ErrText(rc));
    AbandonLocked();
    return rc;
  }
  return 0;
}

int IPC_Channel::WriteEvent(int32_t value) {
  uint8_t type;
  if (value <= 0) {
    type = ERR;
  } else if (value == SYNCING || value == IDLE || value == PAUSE) {
    type = STATUS;
  } else {
    SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): Undefined status: %d\n", value);
    return ERR_INVAL;
  }
  MutexLock g(m_mutex);
  ReconnectIfDueLocked();
  SF_LOG(L_INFO, L"[INFO] channel-ui-common(%d): WriteEvent: Try write type %d\n", type);
  int rc = WriteControlLocked(type, value);
  if (rc == 0)
    SF_LOG(L_INFO, L"[INFO] channel-ui-common(%d): Status message sent to UI: %d\n", value);
  return rc;
}

int IPC_Channel::Terminate_connection() {
  MutexLock g(m_mutex);
  SF_LOG(L_DEBUG,
         L"[DEBUG] channel-ui-common(%d): WriteEvent: Try write connection termintate msg\n");
  int rc = WriteControlLocked(CONNECTION_CONTROL, CONNECTION_TERMINATE);
  if (rc == 0)
    SF_LOG(L_DEBUG,
           L"[DEBUG] channel-ui-common(%d): Status message sent to UI: connection terminate\n");
  // The interface was told goodbye: a connection lost from here on is not
  // made again, or a new one would begin with the session after it.
  m_port = -1;
  return rc;
}

int IPC_Channel::WriteFileEvent(const Event& e) {
  std::string path;
  if (NativeStrToUTF8(e.m_path, path) < 0 || path.size() > kFieldValueMax) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): WriteFileEvent: write file event failed: %s\n",
           ErrText(ERR_INVAL));
    return ERR_INVAL;
  }
  SF_LOG(L_INFO, L"[INFO] channel-ui-common(%d): WriteFileEvent: file:%s, length:%d, type:%d\n",
         e.m_path, e.m_path.size(), static_cast<int>(e.m_type));

  // Three fields of up to 8 KiB each: too large for a thread's stack frame
  // to be comfortable, so they live on the heap for the call.
  auto fields = std::make_unique<FileFieldHdr[]>(3);
  const int32_t action = static_cast<int32_t>(e.m_type);
  const int32_t ftype = T_FILE;
  fields[0].id = FILE_ACTION;
  fields[0].len = 4;
  fields[1].id = FILE_TYPE;
  fields[1].len = 4;
  for (int i = 0; i < 4; ++i) {
    fields[0].value[i] = static_cast<char>((static_cast<uint32_t>(action) >> (24 - 8 * i)) & 0xff);
    fields[1].value[i] = static_cast<char>((static_cast<uint32_t>(ftype) >> (24 - 8 * i)) & 0xff);
  }
  fields[2].id = FILE_PATH;
  fields[2].len = static_cast<uint16_t>(path.size());
  std::memcpy(fields[2].value, path.data(), path.size());

  MutexLock g(m_mutex);
  ReconnectIfDueLocked();
  int rc = WriteFileEventHdr(3, fields.get());
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): WriteFileEvent: write file event failed: %s\n",
           ErrText(rc));
    AbandonLocked();
    return rc;
  }
  rc = m_event_ipc.FlushWrite(0);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): WriteFileEvent: Failed to send data. %s\n",
           ErrText(rc));
    AbandonLocked();
    return rc;
  }
  SF_LOG(L_INFO,
         L"[INFO] channel-ui-common(%d): WriteFile done bytes written : type = %d, length = %d\n",
         static_cast<int>(e.m_type), path.size());
  SF_LOG(L_INFO, L"[INFO] channel-ui-common(%d): WriteFileEventMsg to UI done, type %d, path: %s\n",
         static_cast<int>(e.m_type), e.m_path);
  return 0;
}

void IPC_Channel::Destroy() {
  MutexLock g(m_mutex);
  SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): IPC_Channel Destroy\n");
  m_event_ipc.Close();
  m_port = -1;
}

// ---- building blocks ------------------------------------------------------------------

int IPC_Channel::WriteMsgType(uint8_t type) {
  return m_event_ipc.WriteByte(type);
}

int IPC_Channel::WriteMsgFileFieldNumber(uint8_t count) {
  return m_event_ipc.WriteByte(count);
}

int IPC_Channel::WriteMsgLength(uint16_t len) {
  return m_event_ipc.WriteInt16(len);
}

int IPC_Channel::WriteMsgEvent(int32_t value) {
  return m_event_ipc.WriteInt32(static_cast<uint32_t>(value));
}

int IPC_Channel::WriteMsgValue(const char* value, uint16_t len) {
  int rc = WriteMsgLength(len);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): Write length failed: %d\n", rc);
    return rc;
  }
  if (len == 0) return 0;
  rc = m_event_ipc.Write(value, len);
  if (rc < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel-ui-common(%d): Write session failed: %d\n", rc);
    return rc;
  }
  return 0;
}

int IPC_Channel::WriteOneMsgFileFieldHdr(const FileFieldHdr& field) {
  int rc = m_event_ipc.WriteByte(field.id);
  if (rc < 0) {
    SF_LOG(L_ERR,
           L"[ERROR] channel-ui-common(%d): WriteMsgFileFieldValue: write file id failed: %d\n",
           rc);
    return rc;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): WriteOneMsgFileFieldHdr: Write id = %d\n",
         field.id);
  if (field.len > kFieldValueMax) return ERR_INVAL;
  rc = WriteMsgValue(field.value, field.len);
  SF_RETURN_ON_FAILURE(
      rc,
      L"[ERROR] channel-ui-common(%d): WriteMsgFileFieldValue: Failed to write file value: %s\n");
  return 0;
}

int IPC_Channel::WriteFileEventHdr(uint8_t count, const FileFieldHdr* fields) {
  int rc = WriteMsgType(FILE_EVENT);
  SF_RETURN_ON_FAILURE(
      rc, L"[ERROR] channel-ui-common(%d): WriteFileEvent: Failed to write msg type: %s\n");
  SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): WriteFileEventHdr: type = %d\n", FILE_EVENT);
  rc = WriteMsgFileFieldNumber(count);
  if (rc < 0) {
    SF_LOG(L_ERR,
           L"[ERROR] channel-ui-common(%d): WriteFileEvent: Failed to write field number %d\n",
           count);
    return rc;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] channel-ui-common(%d): WriteFileEventHdr: field number = %d\n", count);
  for (uint8_t i = 0; i < count; ++i) {
    rc = WriteOneMsgFileFieldHdr(fields[i]);
    SF_RETURN_ON_FAILURE(
        rc, L"[ERROR] channel-ui-common(%d): WriteFileEvent: write file field error: %s\n");
  }
  return 0;
}

namespace {

class ChannelSink : public UiSink {
 public:
  int WriteEvent(int32_t value) override { return IPC_Channel::WriteEvent(value); }
  int WriteFileEvent(const Event& e) override { return IPC_Channel::WriteFileEvent(e); }
};

}  // namespace

UiSink* IPC_Channel::Sink() {
  static ChannelSink sink;
  return &sink;
}
