// Buffered byte stream over one TCP socket: the base of every network
// conversation (server protocol on the client and on the reference server, and
// the UI notification channel).
//
// A Channel owns one socket and two fixed ring buffers of `capacity` bytes.
// Reads are served from the read buffer and refill it from the socket; writes
// are copied into the write buffer and reach the socket only when it would
// overflow, on FlushWrite, or on Close. A Write that overflows offers the
// queued bytes and its own to the transport in one send where it can (the
// write buffer has a spare half for that); still only the overflow must go. Every wait on the
// socket lasts at most one wait period (m_timeout, 3 s by default) and is repeated until no
// progress was made for `channel_timeout` seconds (60 by default). A stop flag
// shared with the owning task ends any wait with ERR_INT within one period.
// Integers travel most significant byte first.
//
// Use on the connecting side: Open(ip, port, false). On the accepting side
// (a server): Open(accepted_fd, false, true) adopts the socket; the channel
// owns it from then on and closes it.
//
// Thread-safety: a channel is used by one thread at a time and has no lock.
// The only cross-thread input is the stop flag, read atomically at each turn
// of the waiting loops. Sends never raise SIGPIPE.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lib/base/handles.h"

class Channel {
 public:
  // Buffer size of every channel the client creates; also the largest single
  // Write.
  static constexpr size_t kDefaultCapacity = 8192;
  // Default no-progress limit in seconds.
  static constexpr uint32_t kDefaultChannelTimeout = 60;
  // Default length of one wait on the socket, in seconds.
  static constexpr int kWaitSeconds = 3;

  // Allocates both buffers. A capacity of 0 is raised to 1.
  explicit Channel(size_t capacity = kDefaultCapacity);
  // Calls Channel::Close (not a subclass's: subclasses close in their own
  // destructors) and frees the buffers.
  virtual ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Path form (a local socket path). The base class connects nothing and
  // returns 0, so the first read or write then fails with ERR_IO.
  [[nodiscard]] virtual int Open(const char* path);

  // Adopts an already connected socket (for example one returned by accept).
  // With `nonblock` the socket gets a 1-second linger and non-blocking mode.
  // Returns 0; ERR_INVAL when the channel already holds a socket or fd is -1
  // (the fd is then not adopted and the caller still owns it); ERR_SYS when
  // linger or non-blocking mode cannot be set (the fd is then owned and closed
  // by the channel).
  [[nodiscard]] virtual int Open(int fd, bool isSSL, bool nonblock);

  // Closes any socket held, then connects to a dotted IPv4 address (no name
  // resolution) within `channel_timeout` seconds. Returns 0; ERR_INVAL for a
  // null or malformed ip or a port outside 0..65535; ERR_IO when the socket
  // cannot be created or the connection fails or times out; ERR_SYS when
  // socket options cannot be set; ERR_INT when the stop flag ends the wait.
  [[nodiscard]] virtual int Open(const char* ip, int port, bool isSSL);

  // Flushes what is queued (result ignored), empties both buffers, shuts the
  // socket down and closes it. Does nothing on a closed channel.
  virtual void Close();

  // Sets the no-progress limit (seconds) of reads, flushes and connects.
  virtual void SetTimeout(uint32_t seconds);
  // Sets the stop flag. The pointee is owned by the caller and must outlive
  // the channel's use of it; null clears the flag. It is read atomically, so
  // the owner should set it with an atomic store (__atomic_store_n) or use
  // the std::atomic form below.
  virtual void SetFlag(int* flag);
  void SetFlag(std::atomic<int>* flag);

  // Integer reads: 1, 2, 4 or 8 bytes, most significant first. On failure
  // the output is untouched and the Read error is returned.
  [[nodiscard]] virtual int ReadByte(uint8_t* v);
  [[nodiscard]] virtual int ReadInt16(uint16_t* v);
  [[nodiscard]] virtual int ReadInt32(uint32_t* v);
  [[nodiscard]] virtual int ReadInt64(uint64_t* v);
  // Integer writes, most significant byte first; Write's results.
  [[nodiscard]] virtual int WriteByte(uint8_t v);
  [[nodiscard]] virtual int WriteInt16(uint16_t v);
  [[nodiscard]] virtual int WriteInt32(uint32_t v);
  [[nodiscard]] virtual int WriteInt64(uint64_t v);

  // Fills buf with exactly len bytes. Returns 0; ERR_IO on a closed channel
  // or a lost peer; ERR_TIMEOUT after channel_timeout seconds without data;
  // ERR_INT when stopped; ERR_INVAL for a null buf with len > 0.
  [[nodiscard]] virtual int Read(char* buf, size_t len);
  // The same; `got` tells how many bytes were delivered, also on failure.
  [[nodiscard]] virtual int Read(char* buf, size_t len, size_t& got);
  // Queues len bytes; 0 once they are in the write buffer (not yet sent).
  // ERR_IO on a closed channel, ERR_INVAL when len exceeds the capacity (a
  // single write is limited to it) or buf is null with len > 0; a needed
  // flush's error otherwise. When the bytes do not fit, exactly the overflow
  // is flushed first.
  [[nodiscard]] virtual int Write(const char* buf, size_t len);

  void ClearRead();
  void ClearWrite();
  // Sends at least `want` queued bytes (all of them when want is 0). Returns
  // 0; ERR_TIMEOUT, ERR_INT, ERR_IO as for Read.
  [[nodiscard]] virtual int FlushWrite(int want);

  // Base: ERR_SYS, fills nothing.
  [[nodiscard]] virtual int GetPeerInfo(std::wstring& host, int& port);
  bool IsClosed() const { return !m_fd.valid(); }

  // One raw receive / send after one wait period: a byte count (> 0), or
  // ERR_TIMEOUT (nothing happened in the period), ERR_IO (error or lost peer),
  // ERR_SYS, ERR_INVAL (len 0). Subclasses replace these for other transports.
  [[nodiscard]] virtual int ReadFd(void* buf, size_t len);
  [[nodiscard]] virtual int WriteFd(const void* buf, size_t len);
  // Receives at least `want` more bytes into the read buffer; 0 or an error.
  // REQUIRES: want <= free space of the read buffer.
  [[nodiscard]] virtual int ReadMore(int want);

  // Socket helpers: a new IPv4 stream socket (-1 on failure); linger; non-
  // blocking mode (ERR_INT on failure); a connect bounded by channel_timeout.
  [[nodiscard]] virtual int CreateSock();
  [[nodiscard]] virtual int SetLinger(int sock, int seconds);
  [[nodiscard]] virtual int SetNonBlock(int sock);
  // Returns 0; ERR_INVAL (bad socket, ip or port), ERR_SYS (refused or
  // failed), ERR_IO (no answer within channel_timeout), ERR_INT (stopped).
  [[nodiscard]] virtual int ConnectWithTimeout(int sock, const char* ip, int port);

  // Observers and knobs beyond the classic interface, for the server, tests
  // and benchmarks.
  int GetFd() const { return m_fd.get(); }
  uint32_t GetTimeout() const { return channel_timeout; }
  size_t GetCapacity() const { return capacity; }
  size_t ReadPending() const { return r_size; }
  size_t WritePending() const { return w_size; }
  // Length of one wait on the socket (3 s by default).
  void SetWaitPeriod(std::chrono::milliseconds period);

 protected:
  // The common end of the subclasses' Open: on failure (rc != 0) closes the
  // channel (virtually) and returns rc; on success empties both buffers and
  // returns 0.
  [[nodiscard]] int FinishOpen(int rc);
  // True when the stop flag is set and non-zero.
  bool Stopped() const;
  // Monotonic clock used by the no-progress limits; tests replace it.
  virtual std::chrono::steady_clock::time_point Now() const;
  // Waits one period for `events` (POLLIN or POLLOUT) on m_fd. Returns 0 when
  // ready, or ERR_TIMEOUT / ERR_IO / ERR_SYS with the wait's log line.
  [[nodiscard]] int WaitReady(short events, const wchar_t* who);
  int WaitPeriodMs() const;

  UniqueFd m_fd;  // the socket; closed by Close
  std::unique_ptr<char[]> w_buf;
  size_t w_head = 0;
  size_t w_size = 0;
  std::unique_ptr<char[]> r_buf;
  size_t r_head = 0;
  size_t r_size = 0;
  const size_t capacity;
  struct timeval m_timeout;
  uint32_t channel_timeout = kDefaultChannelTimeout;
  int* flag = nullptr;
  std::atomic<int>* m_atomicFlag = nullptr;
  bool m_isSSL = false;

 private:
  // Moves up to n bytes out of the read ring buffer; returns the count.
  size_t TakeRead(char* dst, size_t n);
  // After an overflowing Write's flush: moves queued bytes that lie past
  // `capacity` back into ring order.
  void RewrapWrite();

  // Set while an overflowing Write flushes: the queued bytes then run
  // contiguously from w_head into the write buffer's spare half (it holds
  // 2 * capacity bytes) and w_size may exceed capacity until the flush ends.
  bool m_wLinear = false;
};
