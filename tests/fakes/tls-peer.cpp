#include "fakes/tls-peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "lib/net/ssl-channel.h"
#include "lib/net/tls-cert.h"

namespace sftest {

namespace {
constexpr int kWaitMs = 50;
}  // namespace

TestCert::TestCert() {
  cert = dir.Sub("peer.crt");
  key = dir.Sub("peer.key");
  if (GenerateSelfSignedCert(cert, key, "test peer", {"127.0.0.1"}) != 0) {
    throw std::runtime_error("cannot make a test certificate");
  }
  fingerprint = CertFileFingerprint(cert);
}

TlsScriptedPeer::TlsScriptedPeer(size_t raw_prefix) : m_rawPrefix(raw_prefix) {
  m_listen = ListenLoopback(m_port, 4);
}

TlsScriptedPeer::~TlsScriptedPeer() {
  m_stop.store(1);
  if (m_thread.joinable()) m_thread.join();
  if (m_listen >= 0) ::close(m_listen);
}

TlsScriptedPeer& TlsScriptedPeer::ReadHead() {
  m_steps.push_back({Step::kReadHead, ""});
  return *this;
}
TlsScriptedPeer& TlsScriptedPeer::Send(const std::string& bytes) {
  m_steps.push_back({Step::kSend, bytes});
  return *this;
}
TlsScriptedPeer& TlsScriptedPeer::SendForever(const std::string& chunk) {
  m_steps.push_back({Step::kSendForever, chunk});
  return *this;
}
TlsScriptedPeer& TlsScriptedPeer::Hold() {
  m_steps.push_back({Step::kHold, ""});
  return *this;
}
TlsScriptedPeer& TlsScriptedPeer::Close() {
  m_steps.push_back({Step::kClose, ""});
  return *this;
}

void TlsScriptedPeer::Start() {
  m_thread = std::thread(&TlsScriptedPeer::Run, this);
}

std::string TlsScriptedPeer::RawPrefix() const {
  std::lock_guard<std::mutex> g(m_mu);
  return m_raw;
}

std::string TlsScriptedPeer::Received() const {
  std::lock_guard<std::mutex> g(m_mu);
  return m_received;
}

void TlsScriptedPeer::Run() {
  int fd = -1;
  while (fd < 0 && m_stop.load() == 0) {
    pollfd p = {m_listen, POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) > 0) fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
  }
  std::string raw;
  while (fd >= 0 && raw.size() < m_rawPrefix && m_stop.load() == 0) {
    pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) <= 0) continue;
    char c;
    if (::recv(fd, &c, 1, 0) != 1) break;
    raw.push_back(c);
    std::lock_guard<std::mutex> g(m_mu);
    m_raw = raw;
  }
  SslCtxPtr ctx = NewServerContext(m_cert.cert, m_cert.key);
  SSLChannel ch;
  ch.SetFlag(&m_stop);
  ch.SetWaitPeriod(std::chrono::milliseconds(kWaitMs));
  ch.SetTimeout(30);
  if (fd < 0 || !ctx || raw.size() < m_rawPrefix || ch.Accept(fd, ctx.get()) != 0) {
    if (fd >= 0 && ch.IsClosed()) ::close(fd);
    m_finished.store(true);
    return;
  }
  m_handshake.store(true);
  for (const Step& s : m_steps) {
    if (s.kind == Step::kReadHead) {
      std::string head;
      char c;
      while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (ch.Read(&c, 1) != 0) break;
        head.push_back(c);
      }
      std::lock_guard<std::mutex> g(m_mu);
      m_received += head;
    } else if (s.kind == Step::kSend) {
      for (size_t i = 0; i < s.bytes.size(); i += Channel::kDefaultCapacity) {
        size_t n = std::min(Channel::kDefaultCapacity, s.bytes.size() - i);
        if (ch.Write(s.bytes.data() + i, n) != 0) break;
      }
      (void)ch.FlushWrite(0);
    } else if (s.kind == Step::kSendForever) {
      while (m_stop.load() == 0 && ch.Write(s.bytes.data(), s.bytes.size()) == 0 &&
             ch.FlushWrite(0) == 0) {
      }
    } else if (s.kind == Step::kHold) {
      while (m_stop.load() == 0) {
        pollfd p = {-1, 0, 0};
        ::poll(&p, 0, kWaitMs);
      }
    } else if (s.kind == Step::kClose) {
      ch.DropTls();
      ch.Close();
    }
  }
  m_finished.store(true);
  // Destroying the channel sends close-notify unless the script dropped TLS.
}

}  // namespace sftest
