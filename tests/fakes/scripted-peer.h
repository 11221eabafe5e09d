// Test peers for the channel and protocol layers:
//  - ScriptedPeer: a loopback TCP listener that accepts one connection, plays
//    a script of sends and receives on its own thread, and records every byte
//    it receives.
//  - FaultChannel: a Channel whose raw receive and send are served from
//    memory, with fault injection (tiny reads, short writes, EOF, refusals)
//    and a controllable clock for the no-progress limits.
//  - Hex helpers and golden-file loading.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/net/channel.h"

namespace sftest {

// "25 52 18 14" (spaces, newlines and '#' comments ignored) to bytes.
// Throws std::invalid_argument on an odd digit count or a non-hex character.
std::string Unhex(const std::string& hex);
// Bytes to "25 52 18 14".
std::string Hex(const std::string& bytes);
// Loads tests/golden/<name> (hex text) as bytes.
std::string Golden(const std::string& name);

// Builds raw wire bytes by hand (independent of the encoder under test).
class Bytes {
 public:
  Bytes& u8(uint8_t v);
  Bytes& u16(uint16_t v);
  Bytes& u32(uint32_t v);
  Bytes& u64(uint64_t v);
  Bytes& raw(const std::string& s);
  // A var-data body: 16-bit length then the bytes.
  Bytes& var(const std::string& s);
  // Header with magic, version, command and payload length 0.
  Bytes& header(uint8_t version, uint8_t cmd);
  // Section helpers: id byte followed by the value.
  Bytes& sec8(uint8_t id, uint8_t v) { return u8(id).u8(v); }
  Bytes& sec32(uint8_t id, uint32_t v) { return u8(id).u32(v); }
  Bytes& sec64(uint8_t id, uint64_t v) { return u8(id).u64(v); }
  Bytes& secvar(uint8_t id, const std::string& s) { return u8(id).var(s); }
  // A wide-string section: UTF-8 bytes plus the terminating zero.
  Bytes& secstr(uint8_t id, const std::string& utf8) {
    return secvar(id, utf8 + std::string(1, '\0'));
  }
  const std::string& str() const { return m_b; }
  operator const std::string&() const { return m_b; }

 private:
  std::string m_b;
};

class ScriptedPeer {
 public:
  // Binds 127.0.0.1 on a free port and listens. `port` 0 picks a free one; a
  // fixed port that is taken makes ok() false.
  explicit ScriptedPeer(int port = 0);
  // Ends the script, closes the sockets and joins the thread.
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  bool ok() const { return m_listen >= 0; }
  int port() const { return m_port; }

  // Script steps, played in order after the connection is accepted. After
  // the last step the peer keeps receiving (and recording) until the other
  // side closes or the peer is destroyed, unless the script closed.
  ScriptedPeer& Send(const std::string& bytes);
  // Waits until `n` more bytes have been received (recorded like all others).
  ScriptedPeer& Expect(size_t n);
  // Waits until Release() is called.
  ScriptedPeer& Hold();
  // Sends `bytes` one byte at a time, each after a pause of `gap`.
  ScriptedPeer& Trickle(const std::string& bytes, std::chrono::milliseconds gap);
  // Closes the connection (both directions).
  ScriptedPeer& Close();
  // Resets the connection (RST instead of FIN).
  ScriptedPeer& Reset();

  // Starts accepting. Call once, after the script is built.
  void Start();
  void Release();

  // Every byte received so far. Thread-safe.
  std::string Received() const;
  // Polls until at least n bytes were received (default 20 s).
  bool WaitReceived(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // True once a connection was accepted / once the script ended.
  bool Accepted() const { return m_accepted.load(); }
  bool Finished() const { return m_finished.load(); }
  // True once the other side closed its end (EOF seen while receiving).
  bool PeerClosed() const { return m_peerClosed.load(); }

 private:
  struct Step {
    enum Kind { kSend, kExpect, kHold, kTrickle, kClose, kReset };
    explicit Step(Kind k) : kind(k) {}
    Kind kind;
    std::string bytes;
    size_t n = 0;
    std::chrono::milliseconds gap{0};
  };
  void Run();
  bool RecvSome(int timeout_ms);
  bool SendAll(const std::string& b);

  int m_listen = -1;
  int m_conn = -1;
  int m_port = 0;
  int m_wake[2] = {-1, -1};  // pipe that ends blocking waits on destruction
  std::vector<Step> m_steps;
  std::thread m_thread;
  std::atomic<bool> m_accepted{false};
  std::atomic<bool> m_finished{false};
  std::atomic<bool> m_peerClosed{false};
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_released{false};
  mutable std::mutex m_mu;
  std::string m_received;  // guarded by m_mu
};

// A Channel with in-memory raw I/O. It holds one end of a socketpair so that
// the channel counts as open; nothing travels through it.
class FaultChannel : public Channel {
 public:
  explicit FaultChannel(size_t capacity = Channel::kDefaultCapacity);
  ~FaultChannel() override;

  // Bytes the raw receive will hand out, in order.
  void Feed(const std::string& bytes) { m_input += bytes; }
  // Largest count one raw receive / send hands out or takes (0: no limit).
  void SetReadChunk(size_t n) { m_readChunk = n; }
  void SetWriteChunk(size_t n) { m_writeChunk = n; }
  // When the input is exhausted: report a lost peer (default) or a timed-out
  // wait that advances the fake clock by `tick`.
  void TimeoutWhenDry(std::chrono::seconds tick) {
    m_dryTimeout = true;
    m_tick = tick;
  }
  // The next `n` raw receives report a timed-out wait (advancing the clock).
  void QueueReadTimeouts(int n) { m_pendingReadTimeouts = n; }
  // Raw sends report a timed-out wait from now on.
  void BlockWrites(bool on) { m_blockWrites = on; }
  // Sets the caller's stop flag on the n-th timed-out wait.
  void StopAfterTimeouts(int n, std::atomic<int>* f) {
    m_stopAfter = n;
    m_stopFlag = f;
  }

  const std::string& Output() const { return m_output; }
  void ClearOutput() { m_output.clear(); }
  size_t InputLeft() const { return m_input.size() - m_inPos; }
  // Bytes fed but not yet consumed by a reader (left in the input or in the
  // channel's read buffer).
  size_t Unconsumed() const { return InputLeft() + ReadPending(); }
  const std::vector<size_t>& WriteCalls() const { return m_writeCalls; }
  const std::vector<int>& FlushWants() const { return m_flushWants; }
  int ReadCalls() const { return m_readCalls; }
  int TimeoutsSeen() const { return m_timeouts; }

  int ReadFd(void* buf, size_t len) override;
  int WriteFd(const void* buf, size_t len) override;
  int FlushWrite(int want) override;

 protected:
  std::chrono::steady_clock::time_point Now() const override { return m_now; }

 private:
  int Tick();

  std::string m_input;
  size_t m_inPos = 0;
  std::string m_output;
  size_t m_readChunk = 0;
  size_t m_writeChunk = 0;
  bool m_dryTimeout = false;
  std::chrono::seconds m_tick{3};
  int m_pendingReadTimeouts = 0;
  bool m_blockWrites = false;
  int m_stopAfter = -1;
  std::atomic<int>* m_stopFlag = nullptr;
  int m_timeouts = 0;
  int m_readCalls = 0;
  std::vector<size_t> m_writeCalls;
  std::vector<int> m_flushWants;
  std::chrono::steady_clock::time_point m_now{};
  int m_other = -1;
};

// One message of the UI notification stream, decoded by the test's own
// reading of the layout.
struct UiMessage {
  int type = -1;
  int32_t value = 0;      // status, error and control messages
  std::string text;       // session string, or the path of a file event
  int32_t action = -1;    // file events
  int32_t fileType = -1;  // file events
};
// Decodes a whole stream; false (with `error` set) when it is malformed or
// ends inside a message.
bool ParseUiMessages(const std::string& bytes, std::vector<UiMessage>& out, std::string& error);

// Sends log lines to a file for the life of the object, with the given
// components at debug level; restores standard-error logging at warning level
// afterwards. Not thread-safe against concurrent captures.
class LogCapture {
 public:
  explicit LogCapture(const std::vector<std::wstring>& components);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string Text() const;
  bool Contains(const std::string& needle) const {
    return Text().find(needle) != std::string::npos;
  }

 private:
  std::string m_dir;
};

}  // namespace sftest
