#include "fakes/scripted-peer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "fakes/test-util.h"
#include "lib/base/byte-order.h"
#include "lib/base/errors.h"
#include "lib/base/log.h"
#include "lib/base/utility.h"

#ifndef SF_SOURCE_DIR
#define SF_SOURCE_DIR "."
#endif

namespace sftest {

std::string Unhex(const std::string& hex) {
  std::string out;
  int nibble = -1;
  bool comment = false;
  for (char c : hex) {
    if (comment) {
      if (c == '\n') comment = false;
      continue;
    }
    if (c == '#') {
      comment = true;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      throw std::invalid_argument(std::string("bad hex character ") + c);
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<char>(nibble * 16 + v));
      nibble = -1;
    }
  }
  if (nibble >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out.push_back(' ');
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

std::string Golden(const std::string& name) {
  std::string path = std::string(SF_SOURCE_DIR) + "/tests/golden/" + name;
  std::ifstream f(path);
  if (!f) throw std::runtime_error("missing golden file " + path);
  std::stringstream s;
  s << f.rdbuf();
  return Unhex(s.str());
}

Bytes& Bytes::u8(uint8_t v) {
  m_b.push_back(static_cast<char>(v));
  return *this;
}
Bytes& Bytes::u16(uint16_t v) {
  return u8(static_cast<uint8_t>(v >> 8)).u8(static_cast<uint8_t>(v));
}
Bytes& Bytes::u32(uint32_t v) {
  return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v));
}
Bytes& Bytes::u64(uint64_t v) {
  return u32(static_cast<uint32_t>(v >> 32)).u32(static_cast<uint32_t>(v));
}
Bytes& Bytes::raw(const std::string& s) {
  m_b += s;
  return *this;
}
Bytes& Bytes::var(const std::string& s) {
  return u16(static_cast<uint16_t>(s.size())).raw(s);
}
Bytes& Bytes::header(uint8_t version, uint8_t cmd) {
  return u32(0x25521814).u8(version).u8(cmd).u16(0);
}

// ---------------------------------------------------------------------------

ScriptedPeer::ScriptedPeer(int port) {
  if (::pipe(m_wake) < 0) throw std::runtime_error("pipe failed");
  // Non-blocking: a connection that is gone again between the poll and the
  // accept must send the thread back to its poll (where the destructor can
  // wake it), not leave it blocked in accept for good.
  m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_listen < 0) throw std::runtime_error("socket failed");
  int one = 1;
  ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  struct sockaddr_in a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0 ||
      ::listen(m_listen, 8) < 0) {
    ::close(m_listen);
    m_listen = -1;
    return;
  }
  socklen_t len = sizeof(a);
  ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
  m_port = ntohs(a.sin_port);
}

ScriptedPeer::~ScriptedPeer() {
  m_stop = true;
  m_released = true;
  if (m_wake[1] >= 0) {
    char c = 1;
    (void)!::write(m_wake[1], &c, 1);
  }
  if (m_thread.joinable()) m_thread.join();
  if (m_conn >= 0) ::close(m_conn);
  if (m_listen >= 0) ::close(m_listen);
  for (int fd : m_wake)
    if (fd >= 0) ::close(fd);
}

ScriptedPeer& ScriptedPeer::Send(const std::string& bytes) {
  Step s(Step::kSend);
  s.bytes = bytes;
  m_steps.push_back(s);
  return *this;
}
ScriptedPeer& ScriptedPeer::Expect(size_t n) {
  Step s(Step::kExpect);
  s.n = n;
  m_steps.push_back(s);
  return *this;
}
ScriptedPeer& ScriptedPeer::Hold() {
  m_steps.push_back(Step(Step::kHold));
  return *this;
}
ScriptedPeer& ScriptedPeer::Trickle(const std::string& bytes, std::chrono::milliseconds gap) {
  Step s(Step::kTrickle);
  s.bytes = bytes;
  s.gap = gap;
  m_steps.push_back(s);
  return *this;
}
ScriptedPeer& ScriptedPeer::Close() {
  m_steps.push_back(Step(Step::kClose));
  return *this;
}
ScriptedPeer& ScriptedPeer::Reset() {
  m_steps.push_back(Step(Step::kReset));
  return *this;
}

void ScriptedPeer::Start() {
  m_thread = std::thread([this] { Run(); });
}

void ScriptedPeer::Release() {
  m_released = true;
}

std::string ScriptedPeer::Received() const {
  std::lock_guard<std::mutex> g(m_mu);
  return m_received;
}

bool ScriptedPeer::WaitReceived(size_t n, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return Received().size() >= n; }, timeout);
}

// One wait for data (or the wake pipe); records what arrives. False when the
// connection ended or the peer is being destroyed.
bool ScriptedPeer::RecvSome(int timeout_ms) {
  struct pollfd p[2] = {{m_conn, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
  int rc = ::poll(p, 2, timeout_ms);
  if (rc < 0) return errno == EINTR;
  if (m_stop) return false;
  if (rc == 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR))) return true;
  char buf[65536];
  ssize_t n = ::recv(m_conn, buf, sizeof(buf), 0);
  if (n <= 0) {
    m_peerClosed = true;
    return false;
  }
  std::lock_guard<std::mutex> g(m_mu);
  m_received.append(buf, static_cast<size_t>(n));
  return true;
}

bool ScriptedPeer::SendAll(const std::string& b) {
  size_t off = 0;
  while (off < b.size()) {
    ssize_t n = ::send(m_conn, b.data() + off, b.size() - off, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

void ScriptedPeer::Run() {
  struct pollfd p[2] = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
  while (m_conn < 0) {
    int rc = ::poll(p, 2, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (m_stop || rc < 0) {
      m_finished = true;
      return;
    }
    if (!(p[0].revents & POLLIN)) continue;
    m_conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (m_conn < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED &&
        errno != EINTR) {
      m_finished = true;
      return;
    }
  }
  m_accepted = true;
  bool open = true;
  for (const Step& s : m_steps) {
    if (m_stop || !open) break;
    switch (s.kind) {
      case Step::kSend:
        SendAll(s.bytes);
        break;
      case Step::kExpect: {
        size_t target = Received().size() + s.n;
        while (!m_stop && Received().size() < target)
          if (!RecvSome(50)) break;
        break;
      }
      case Step::kHold:
        while (!m_stop && !m_released) RecvSome(20);
        break;
      case Step::kTrickle:
        for (char c : s.bytes) {
          auto until = std::chrono::steady_clock::now() + s.gap;
          while (!m_stop && std::chrono::steady_clock::now() < until) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            RecvSome(static_cast<int>(std::max<long long>(1, left.count())));
          }
          SendAll(std::string(1, c));
        }
        break;
      case Step::kClose:
        ::shutdown(m_conn, SHUT_RDWR);
        open = false;
        break;
      case Step::kReset: {
        struct linger l = {1, 0};
        ::setsockopt(m_conn, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        ::close(m_conn);
        m_conn = -1;
        open = false;
        break;
      }
    }
  }
  while (open && !m_stop && m_conn >= 0)
    if (!RecvSome(50)) break;
  m_finished = true;
}

// ---------------------------------------------------------------------------

FaultChannel::FaultChannel(size_t capacity) : Channel(capacity) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
    throw std::runtime_error("socketpair failed");
  m_other = sv[1];
  if (Open(sv[0], false, false) != 0) throw std::runtime_error("FaultChannel: Open failed");
}

FaultChannel::~FaultChannel() {
  // Close here so that it runs while the overrides still exist; queued bytes
  // then end in the output like on a real socket.
  Close();
  if (m_other >= 0) ::close(m_other);
}

int FaultChannel::Tick() {
  m_now += m_tick;
  ++m_timeouts;
  if (m_stopFlag != nullptr && m_timeouts == m_stopAfter) m_stopFlag->store(1);
  return ERR_TIMEOUT;
}

int FaultChannel::ReadFd(void* buf, size_t len) {
  ++m_readCalls;
  if (len == 0) return ERR_INVAL;
  if (m_pendingReadTimeouts > 0) {
    --m_pendingReadTimeouts;
    return Tick();
  }
  size_t left = m_input.size() - m_inPos;
  if (left == 0) return m_dryTimeout ? Tick() : ERR_IO;
  size_t n = std::min(len, left);
  if (m_readChunk) n = std::min(n, m_readChunk);
  std::memcpy(buf, m_input.data() + m_inPos, n);
  m_inPos += n;
  return static_cast<int>(n);
}

int FaultChannel::WriteFd(const void* buf, size_t len) {
  m_writeCalls.push_back(len);
  if (len == 0) return ERR_INVAL;
  if (m_blockWrites) return Tick();
  size_t n = len;
  if (m_writeChunk) n = std::min(n, m_writeChunk);
  m_output.append(static_cast<const char*>(buf), n);
  return static_cast<int>(n);
}

int FaultChannel::FlushWrite(int want) {
  m_flushWants.push_back(want);
  return Channel::FlushWrite(want);
}

// ---------------------------------------------------------------------------

bool ParseUiMessages(const std::string& bytes, std::vector<UiMessage>& out, std::string& error) {
  size_t pos = 0;
  auto need = [&](size_t n) {
    if (bytes.size() - pos < n) {
      error = "stream ends inside a message at offset " + std::to_string(pos);
      return false;
    }
    return true;
  };
  auto u8 = [&]() { return static_cast<uint8_t>(bytes[pos++]); };
  auto u16 = [&]() {
    const uint16_t v = LoadBe16(&bytes[pos]);
    pos += 2;
    return v;
  };
  auto i32 = [&]() {
    const auto v = static_cast<int32_t>(LoadBe32(&bytes[pos]));
    pos += 4;
    return v;
  };
  while (pos < bytes.size()) {
    UiMessage m;
    m.type = u8();
    if (m.type == 1 || m.type == 2 || m.type == 101) {
      if (!need(6)) return false;
      if (u16() != 4) {
        error = "value length is not 4";
        return false;
      }
      m.value = i32();
    } else if (m.type == 100) {
      if (!need(2)) return false;
      uint16_t n = u16();
      if (!need(n)) return false;
      m.text = bytes.substr(pos, n);
      pos += n;
    } else if (m.type == 3) {
      if (!need(1)) return false;
      int count = u8();
      if (count != 3) {
        error = "file event with " + std::to_string(count) + " fields";
        return false;
      }
      for (int f = 0; f < count; ++f) {
        if (!need(3)) return false;
        int id = u8();
        uint16_t n = u16();
        if (!need(n)) return false;
        if (id != f || (id < 2 && n != 4)) {
          error = "bad file event field";
          return false;
        }
        if (id == 2) {
          m.text = bytes.substr(pos, n);
          pos += n;
        } else {
          (id == 0 ? m.action : m.fileType) = i32();
        }
      }
    } else {
      error = "unknown message type " + std::to_string(m.type);
      return false;
    }
    out.push_back(m);
  }
  return true;
}

// ---------------------------------------------------------------------------

LogCapture::LogCapture(const std::vector<std::wstring>& components) {
  std::string tmpl = "/tmp/sflog.XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_dir = tmpl;
  std::string levels;
  for (const auto& c : components) levels += WideToUtf8Lossy(c) + " = 7\n";
  WriteFile(m_dir + "/levels", levels);
  EXPECT_EQ(Logger::Initialize(Logger::FILE_LOGGER, Utf8ToWideLossy(m_dir + "/log"),
                               Utf8ToWideLossy(m_dir + "/levels"), 1),
            0);
}

LogCapture::~LogCapture() {
  (void)Logger::Initialize(Logger::STDERR_LOGGER, L"", Utf8ToWideLossy(m_dir + "/none"), 1);
  RemoveTree(m_dir);
}

std::string LogCapture::Text() const {
  return ReadFile(m_dir + "/log");
}

}  // namespace sftest
