#include "lib/net/channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <utility>

#include "lib/base/byte-order.h"
#include "lib/base/errors.h"
#include "lib/base/log.h"

namespace {

// The socket had nothing (or no room) this time; waiting may help.
bool NotReady(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

constexpr wchar_t kLogComponent[] = L"channel_debug";

// The channel coalesces writes itself and flushes when a message or block is
// complete; the kernel's small-segment delay would only hold back the tail of
// each flush until the peer acknowledges the previous one. Best effort: not
// every socket is TCP.
void DisableSendDelay(int sock) {
  int one = 1;
  (void)::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

}  // namespace

Channel::Channel(size_t cap) : capacity(cap == 0 ? 1 : cap) {
  // The second half is room for a Write that overflows: see Write.
  w_buf.reset(new char[2 * capacity]);
  r_buf.reset(new char[capacity]);
  m_timeout.tv_sec = kWaitSeconds;
  m_timeout.tv_usec = 0;
}

Channel::~Channel() {
  Channel::Close();
}

int Channel::Open(const char* /*path*/) {
  return 0;
}

int Channel::Open(int fd, bool isSSL, bool nonblock) {
  if (m_fd.valid()) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Open: Channel already opened [%d]\n", m_fd.get());
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Open: %s\n", L"Invalid argument");
    return ERR_INVAL;
  }
  if (fd < 0) return ERR_INVAL;
  m_fd.reset(fd);
  if (nonblock) {
    if (SetLinger(fd, 1) < 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): Open: SetLinger to socket [%d] failed, %s\n", fd,
             ErrnoMessage(errno));
      Close();
      return ERR_SYS;
    }
    if (SetNonBlock(fd) < 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): Open: SetNonBlock to socket [%d] failed, %s\n", fd,
             ErrnoMessage(errno));
      Close();
      return ERR_SYS;
    }
  }
  DisableSendDelay(fd);
  m_isSSL = isSSL;
  ClearRead();
  ClearWrite();
  SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): Channel: opening socket %d\n", fd);
  return 0;
}

int Channel::Open(const char* ip, int port, bool isSSL) {
  Close();
  if (ip == nullptr || port < 0) return ERR_INVAL;
  m_isSSL = isSSL;
  UniqueFd sock(CreateSock());
  if (!sock.valid()) return ERR_IO;
  int rc = 0;
  if (SetLinger(sock.get(), 1) < 0 || SetNonBlock(sock.get()) < 0) {
    rc = ERR_SYS;
  } else {
    rc = ConnectWithTimeout(sock.get(), ip, port);
    // A stop request and a malformed address keep their own meaning; every
    // other connect failure is an I/O failure to the caller.
    if (rc < 0 && rc != ERR_INT && rc != ERR_INVAL) rc = ERR_IO;
  }
  if (rc < 0) return rc;
  m_fd = std::move(sock);
  DisableSendDelay(m_fd.get());
  ClearRead();
  ClearWrite();
  return 0;
}

int Channel::FinishOpen(int rc) {
  if (rc != 0) {
    Close();
    return rc;
  }
  ClearRead();
  ClearWrite();
  return 0;
}

void Channel::Close() {
  if (!m_fd.valid()) return;
  (void)FlushWrite(0);
  ClearRead();
  ClearWrite();
  // A peer that has already gone is the normal end of many connections.
  if (::shutdown(m_fd.get(), SHUT_RDWR) < 0 && errno != ENOTCONN) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Channel: shutdown: %s\n", ErrnoMessage(errno));
  }
  const int fd = m_fd.get();
  m_fd.reset();
  SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): Channel: socket %d closed\n", fd);
}

void Channel::SetTimeout(uint32_t seconds) {
  channel_timeout = seconds;
}

void Channel::SetFlag(int* f) {
  flag = f;
  m_atomicFlag = nullptr;
}

void Channel::SetFlag(std::atomic<int>* f) {
  m_atomicFlag = f;
  flag = nullptr;
}

bool Channel::Stopped() const {
  if (m_atomicFlag != nullptr) return m_atomicFlag->load(std::memory_order_relaxed) != 0;
  if (flag != nullptr) return __atomic_load_n(flag, __ATOMIC_RELAXED) != 0;
  return false;
}

// The limits count whole seconds, so the coarse form of the same monotonic
// clock (steady_clock's) is precise enough, and it is a plain memory read
// where the fine one reads the time source: in a busy transfer that read was
// a few per cent of the CPU.
std::chrono::steady_clock::time_point Channel::Now() const {
  struct timespec ts;
  if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0) return std::chrono::steady_clock::now();
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
}

void Channel::SetWaitPeriod(std::chrono::milliseconds period) {
  if (period.count() < 0) period = std::chrono::milliseconds(0);
  m_timeout.tv_sec = static_cast<time_t>(period.count() / 1000);
  m_timeout.tv_usec = static_cast<suseconds_t>((period.count() % 1000) * 1000);
}

int Channel::WaitPeriodMs() const {
  long long ms = static_cast<long long>(m_timeout.tv_sec) * 1000 + m_timeout.tv_usec / 1000;
  if (ms < 0) ms = 0;
  if (ms > INT_MAX) ms = INT_MAX;
  return static_cast<int>(ms);
}

// poll rather than select: select's fd_set cannot hold descriptors at or
// above FD_SETSIZE, and a busy process (many workers, databases, inotify)
// can reach that.
int Channel::WaitReady(short events, const wchar_t* who) {
  struct pollfd p;
  p.fd = m_fd.get();
  p.events = events;
  p.revents = 0;
  int rc = ::poll(&p, 1, WaitPeriodMs());
  if (rc < 0) {
    if (errno == EINTR) return ERR_TIMEOUT;  // a signal is no progress, not a failure
    int err = errno;
    if (events & POLLIN)
      SF_LOG(L_ERR, L"[ERROR] channel(%d): select: [%d] %s\n", err, ErrnoMessage(err));
    else
      SF_LOG(L_ERR, L"[ERROR] channel(%d): select: %s\n", ErrnoMessage(err));
    return ERR_IO;
  }
  if (rc == 0) {
    SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): select: timeout\n");
    return ERR_TIMEOUT;
  }
  // A hang-up or error counts as ready: the following receive or send
  // reports what happened.
  if ((p.revents & (events | POLLHUP | POLLERR)) == 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): %s: select but fd [%d] not ready\n", who, m_fd.get());
    return ERR_SYS;
  }
  return 0;
}

int Channel::ReadFd(void* buf, size_t len) {
  if (len == 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): ReadFd: request 0\n");
    return ERR_INVAL;
  }
  if (!m_fd.valid()) return ERR_IO;
  if (len > static_cast<size_t>(INT_MAX)) len = INT_MAX;
  // Try before waiting: in a busy transfer the data is usually there, and
  // skipping the wait halves the system calls. The wait follows only when
  // nothing was ready, so timeouts and the stop flag behave the same.
  ssize_t n = ::recv(m_fd.get(), buf, len, MSG_DONTWAIT);
  if (n < 0 && (NotReady(errno))) {
    int rc = WaitReady(POLLIN, L"ReadFd");
    if (rc < 0) return rc;
    n = ::recv(m_fd.get(), buf, len, MSG_DONTWAIT);
  }
  if (n < 0) {
    if (NotReady(errno)) return ERR_TIMEOUT;
    SF_LOG(L_ERR, L"[ERROR] channel(%d): read: %s\n", ErrnoMessage(errno));
    return ERR_IO;
  }
  if (n == 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): read: %s\n", L"connection closed by peer");
    SF_LOG(L_ERR,
           L"[ERROR] channel(%d): Diagnose: select says the socket is readable but actually we "
           L"can't read ... connection closed?\n");
    return ERR_IO;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): ReadFd: read %d bytes\n", n);
  return static_cast<int>(n);
}

int Channel::WriteFd(const void* buf, size_t len) {
  if (len == 0) return ERR_INVAL;
  if (!m_fd.valid()) return ERR_IO;
  if (len > static_cast<size_t>(INT_MAX)) len = INT_MAX;
  // MSG_NOSIGNAL: a vanished peer must be an error code, never SIGPIPE.
  // MSG_DONTWAIT: an adopted blocking socket must not block past the wait.
  // As for reads, the wait happens only when the socket has no room.
  ssize_t n = ::send(m_fd.get(), buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && (NotReady(errno))) {
    int rc = WaitReady(POLLOUT, L"WriteFd");
    if (rc < 0) return rc;
    n = ::send(m_fd.get(), buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  if (n < 0) {
    if (NotReady(errno)) return ERR_TIMEOUT;
    SF_LOG(L_ERR, L"[ERROR] channel(%d): write: %s\n", ErrnoMessage(errno));
    return ERR_IO;
  }
  if (n == 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): write: %s\n", L"nothing written");
    SF_LOG(L_ERR,
           L"[ERROR] channel(%d): Diagnose: select says the socket is writeable but actually we "
           L"can't write ... connection closed?\n");
    return ERR_IO;
  }
  SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): WriteFd: write %d bytes\n", n);
  return static_cast<int>(n);
}

int Channel::ReadMore(int want) {
  if (want <= 0) return 0;
  auto last = Now();
  size_t received = 0;
  while (true) {
    if (Stopped()) return ERR_INT;
    size_t end = r_head + r_size;
    size_t idx, room;
    if (end < capacity) {
      idx = end;
      room = capacity - end;
    } else {
      idx = end - capacity;
      room = capacity - r_size;
    }
    SF_LOG(L_DEBUG,
           L"[DEBUG] channel(%d): ReadMore: want = %d, total = %d, len = %d, r_head = %d, r_size = "
           L"%d\n",
           want, received, room, r_head, r_size);
    int n = ReadFd(r_buf.get() + idx, room);
    if (n == ERR_TIMEOUT || n == 0) {
      if (Now() - last < std::chrono::seconds(channel_timeout)) continue;
      SF_LOG(L_ERR, L"[ERROR] channel(%d): ReadMore: Channel timeout for %u seconed\n",
             channel_timeout);
      return ERR_TIMEOUT;
    }
    if (n < 0) return n;
    if (static_cast<size_t>(n) > room) return ERR_SYS;  // a transport claiming more than asked
    received += static_cast<size_t>(n);
    r_size += static_cast<size_t>(n);
    if (received >= static_cast<size_t>(want)) break;
    last = Now();
  }
  SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): ReadMore: read at least %d bytes\n", want);
  return 0;
}

size_t Channel::TakeRead(char* dst, size_t n) {
  n = std::min(n, r_size);
  size_t first = std::min(n, capacity - r_head);
  std::memcpy(dst, r_buf.get() + r_head, first);
  std::memcpy(dst + first, r_buf.get(), n - first);
  r_head += n;
  if (r_head >= capacity) r_head -= capacity;
  r_size -= n;
  if (r_size == 0) r_head = 0;
  return n;
}

int Channel::Read(char* buf, size_t len) {
  size_t got = 0;
  return Read(buf, len, got);
}

int Channel::Read(char* buf, size_t len, size_t& got) {
  got = 0;
  if (!m_fd.valid()) return ERR_IO;
  if (len == 0) return 0;
  if (buf == nullptr) return ERR_INVAL;
  got = TakeRead(buf, len);
  while (got < len) {
    // The buffer is empty here, so a refill lands at its start and a large
    // read costs one receive per buffer's worth.
    size_t want = std::min(len - got, capacity);
    SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): want = %d, len = %d, total = %d, capacity = %d\n", want,
           len, got, capacity);
    int rc = ReadMore(static_cast<int>(want));
    if (rc < 0) {
      got += TakeRead(buf + got, len - got);
      return rc;
    }
    got += TakeRead(buf + got, want);
  }
  SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): Read: read %d bytes, head = %d, size = %d\n", len, r_head,
         r_size);
  return 0;
}

int Channel::Write(const char* buf, size_t len) {
  if (!m_fd.valid()) return ERR_IO;
  if (len > capacity) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Write: Exceed maximum data block size\n");
    return ERR_INVAL;
  }
  if (len == 0) return 0;
  if (buf == nullptr) return ERR_INVAL;
  if (w_size + len > capacity && w_head + w_size <= capacity) {
    // The queued bytes do not wrap: put the new ones right behind them, in
    // the buffer's spare half, so that the flush of the overflow can hand
    // both to the transport in one send (one segment, or one TLS record)
    // instead of a few header bytes alone and then the block.
    std::memcpy(w_buf.get() + w_head + w_size, buf, len);
    w_size += len;
    m_wLinear = true;
    int rc = FlushWrite(static_cast<int>(w_size - capacity));
    m_wLinear = false;
    if (rc < 0) {
      // The flush stopped short of the overflow, which is no more than what
      // was queued before: the new bytes are all still here, and a failed
      // Write queues nothing.
      w_size -= len;
      SF_LOG(L_ERR, L"[ERROR] channel(%d): Write: FlushWrite failed\n");
      return rc;
    }
    RewrapWrite();
    SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): Write: write %d bytes\n", len);
    return 0;
  }
  if (w_size + len > capacity) {
    int rc = FlushWrite(static_cast<int>(w_size + len - capacity));
    if (rc < 0) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): Write: FlushWrite failed\n");
      return rc;
    }
  }
  size_t tail = w_head + w_size;
  if (tail >= capacity) tail -= capacity;
  size_t first = std::min(len, capacity - tail);
  std::memcpy(w_buf.get() + tail, buf, first);
  std::memcpy(w_buf.get(), buf + first, len - first);
  w_size += len;
  SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): Write: write %d bytes\n", len);
  return 0;
}

void Channel::ClearRead() {
  r_size = 0;
  r_head = 0;
}

void Channel::ClearWrite() {
  w_size = 0;
  w_head = 0;
}

void Channel::RewrapWrite() {
  const size_t end = w_head + w_size;
  if (end <= capacity) return;
  if (w_head >= capacity) {
    // Everything left lies in the spare half.
    std::memcpy(w_buf.get() + w_head - capacity, w_buf.get() + w_head, w_size);
    w_head -= capacity;
  } else {
    // The part past the end continues at index 0; at most w_head bytes, so
    // it cannot reach the live bytes still at the head.
    std::memcpy(w_buf.get(), w_buf.get() + capacity, end - capacity);
  }
}

int Channel::FlushWrite(int want) {
  if (want == 0) want = static_cast<int>(w_size);
  // Asking for more than is queued would end in a zero-length send.
  if (static_cast<size_t>(std::max(want, 0)) > w_size) want = static_cast<int>(w_size);
  if (want > 0 && !m_fd.valid()) return ERR_IO;
  auto last = Now();
  size_t sent = 0;
  while (want > 0) {
    if (Stopped()) return ERR_INT;
    size_t len = w_size;
    if (w_head + w_size > capacity && !m_wLinear) len = capacity - w_head;
    SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): WriteFd: from %d, len %d\n", w_head, len);
    int n = WriteFd(w_buf.get() + w_head, len);
    if (n == ERR_TIMEOUT || n == 0) {
      if (Now() - last < std::chrono::seconds(channel_timeout)) continue;
      SF_LOG(L_ERR, L"[ERROR] channel(%d): FlushWrite: Channel timeout for %u seconds\n",
             channel_timeout);
      return ERR_TIMEOUT;
    }
    if (n < 0) return n;
    if (static_cast<size_t>(n) > len) return ERR_SYS;  // a transport claiming more than given
    sent += static_cast<size_t>(n);
    w_head += static_cast<size_t>(n);
    w_size -= static_cast<size_t>(n);
    if ((w_head == capacity && !m_wLinear) || w_size == 0) w_head = 0;
    if (sent >= static_cast<size_t>(want)) break;
    last = Now();
  }
  SF_LOG(L_DEBUG, L"[DEBUG] channel(%d): FlushWrite: flush at least %d bytes\n", want);
  return 0;
}

int Channel::GetPeerInfo(std::wstring& /*host*/, int& /*port*/) {
  return ERR_SYS;
}

int Channel::ReadByte(uint8_t* v) {
  char b;
  int rc = Read(&b, 1);
  if (rc < 0) return rc;
  *v = static_cast<uint8_t>(b);
  return 0;
}

int Channel::ReadInt16(uint16_t* v) {
  unsigned char b[2];
  int rc = Read(reinterpret_cast<char*>(b), 2);
  if (rc < 0) return rc;
  *v = static_cast<uint16_t>(LoadBigEndian(b, 2));
  return 0;
}

int Channel::ReadInt32(uint32_t* v) {
  unsigned char b[4];
  int rc = Read(reinterpret_cast<char*>(b), 4);
  if (rc < 0) return rc;
  *v = static_cast<uint32_t>(LoadBigEndian(b, 4));
  return 0;
}

int Channel::ReadInt64(uint64_t* v) {
  unsigned char b[8];
  int rc = Read(reinterpret_cast<char*>(b), 8);
  if (rc < 0) return rc;
  *v = LoadBigEndian(b, 8);
  return 0;
}

int Channel::WriteByte(uint8_t v) {
  char b = static_cast<char>(v);
  return Write(&b, 1);
}

int Channel::WriteInt16(uint16_t v) {
  unsigned char b[2];
  StoreBigEndian(v, b, 2);
  return Write(reinterpret_cast<char*>(b), 2);
}

int Channel::WriteInt32(uint32_t v) {
  unsigned char b[4];
  StoreBigEndian(v, b, 4);
  return Write(reinterpret_cast<char*>(b), 4);
}

int Channel::WriteInt64(uint64_t v) {
  unsigned char b[8];
  StoreBigEndian(v, b, 8);
  return Write(reinterpret_cast<char*>(b), 8);
}

int Channel::CreateSock() {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int Channel::SetLinger(int sock, int seconds) {
  struct linger l;
  l.l_onoff = 1;
  l.l_linger = seconds;
  if (::setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof(l)) < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): setsockopt: %s\n", ErrnoMessage(errno));
    return ERR_INT;
  }
  return 0;
}

int Channel::SetNonBlock(int sock) {
  int fl = ::fcntl(sock, F_GETFL, 0);
  if (fl < 0 || ::fcntl(sock, F_SETFL, fl | O_NONBLOCK) < 0) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): ioctl: Error code: %d\n", errno);
    return ERR_INT;
  }
  return 0;
}

int Channel::ConnectWithTimeout(int sock, const char* ip, int port) {
  struct sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  if (sock < 0 || ip == nullptr || port < 0 || port > 65535 ||
      ::inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): Invalid argumants (ip: %s, port: %d\n", ip ? ip : "(null)",
           port);
    return ERR_INVAL;
  }
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) {
    SF_LOG(L_ERR, L"[ERROR] channel(%d): connect: Error Code: %d\n", errno);
    return ERR_SYS;
  }
  const auto start = Now();
  while (true) {
    if (Stopped()) return ERR_INT;
    struct pollfd p;
    p.fd = sock;
    p.events = POLLOUT;
    p.revents = 0;
    int rc = ::poll(&p, 1, WaitPeriodMs());
    if (rc < 0 && errno != EINTR) {
      SF_LOG(L_ERR, L"[ERROR] channel(%d): select: Error Code: %d\n", errno);
      return ERR_SYS;
    }
    if (rc > 0) {
      // Writable also means "the attempt ended": a refused connection must
      // not be reported as a connected channel.
      int err = 0;
      socklen_t len = sizeof(err);
      if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
      if (err != 0) {
        SF_LOG(L_ERR, L"[ERROR] channel(%d): connect: Error Code: %d\n", err);
        return ERR_SYS;
      }
      return 0;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Now() - start).count();
    if (elapsed >= static_cast<long long>(channel_timeout)) {
      SF_LOG(L_ERR,
             L"[ERROR] channel(%d): Channel timed out during connect (%d seconds), abort anyway\n",
             elapsed);
      return ERR_IO;
    }
  }
}
