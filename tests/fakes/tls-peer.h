// A loopback TLS peer for the TLS, relay and proxy tests: accepts one
// connection, optionally records the raw bytes before the hand-shake (the
// TLS request header a server would take), runs the server hand-shake with a
// certificate of its own, then plays a script of TLS reads and writes.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakes/test-util.h"

namespace sftest {

// A self-signed certificate and key made into a temporary folder (naming
// 127.0.0.1), and its SHA-256 fingerprint.
struct TestCert {
  TestCert();
  TempDir dir;
  std::string cert;
  std::string key;
  std::string fingerprint;
};

class TlsScriptedPeer {
 public:
  // `raw_prefix`: bytes read raw before the hand-shake (8 for a client that
  // sends the TLS request header, 0 for one that starts TLS at once).
  explicit TlsScriptedPeer(size_t raw_prefix = 0);
  ~TlsScriptedPeer();  // ends the script, closes, joins
  TlsScriptedPeer(const TlsScriptedPeer&) = delete;
  TlsScriptedPeer& operator=(const TlsScriptedPeer&) = delete;

  int port() const { return m_port; }
  const TestCert& cert() const { return m_cert; }

  // Script steps after the hand-shake.
  TlsScriptedPeer& ReadHead();  // reads up to an empty line (CR LF CR LF)
  TlsScriptedPeer& Send(const std::string& bytes);
  TlsScriptedPeer& SendForever(const std::string& chunk);  // until the other side goes
  TlsScriptedPeer& Hold();   // until destroyed; never reads, never answers close-notify
  TlsScriptedPeer& Close();  // closes the socket without a TLS shutdown
  void Start();

  std::string RawPrefix() const;
  std::string Received() const;  // decrypted bytes read by ReadHead
  bool HandshakeDone() const { return m_handshake.load(); }
  bool Finished() const { return m_finished.load(); }

 private:
  struct Step {
    enum Kind { kReadHead, kSend, kSendForever, kHold, kClose } kind;
    std::string bytes;
  };
  void Run();

  TestCert m_cert;
  size_t m_rawPrefix;
  int m_listen = -1;
  int m_port = 0;
  std::vector<Step> m_steps;
  std::thread m_thread;
  std::atomic<int> m_stop{0};
  std::atomic<bool> m_handshake{false};
  std::atomic<bool> m_finished{false};
  mutable std::mutex m_mu;
  std::string m_raw;       // guarded by m_mu
  std::string m_received;  // guarded by m_mu
};

}  // namespace sftest
