// The TLS variant of Channel. It keeps the buffering, integer encoding and
// timeout rules of Channel and replaces connection set-up, the two raw
// socket operations and Close. Before the hand-shake it announces itself
// with the 8-byte TLS request header, sent raw, so the server can switch the
// same port to TLS.
//
// By default any server certificate is accepted and no client certificate
// is presented; SetPeerCheck adds the optional check of tls-peer-check.h.
// Accept serves the other end (the reference server, the relay).
//
// Thread-safety: as Channel (one thread at a time; the stop flag is the only
// cross-thread input).
#pragma once

#include <string>

#include "lib/net/channel.h"
#include "lib/net/tls-peer-check.h"
#include "lib/net/tls.h"

// The TLS request: protocol magic 0x25521814, version byte 0x28 (always 40,
// whatever protocol version is configured), command 20 (SCMD_REQUEST_SSL),
// payload length 0.
constexpr unsigned char kTlsRequestHeader[8] = {0x25, 0x52, 0x18, 0x14, 0x28, 0x14, 0x00, 0x00};

class SSLChannel : public Channel {
 public:
  // Where a client certificate and key would be looked for; the client never
  // installs them by default, so missing files are harmless.
  static constexpr char kDefaultCertPath[] = "/usr/zent/etc/ssl/ssl.crt/server.crt";
  static constexpr char kDefaultKeyPath[] = "/usr/zent/etc/ssl/ssl.key/server.key";

  explicit SSLChannel(size_t capacity = kDefaultCapacity, std::string cert_path = kDefaultCertPath,
                      std::string key_path = kDefaultKeyPath);
  ~SSLChannel() override;  // Close()

  using Channel::Open;
  // An adopted socket cannot be made a TLS client: logged, ERR_INVAL, and the
  // caller keeps the fd. (Accept serves the accepting side.)
  [[nodiscard]] int Open(int fd, bool isSSL, bool nonblock) override;
  // Connects, sends the TLS request header (unless `isSSL`: the peer expects
  // TLS straight away), and runs the hand-shake within channel_timeout.
  // Returns 0; ERR_INVAL (bad address); ERR_IO (connect, header or hand-shake
  // failed or timed out); ERR_SYS (TLS objects); ERR_AUTH (the configured
  // peer check refused the server); ERR_INT (stopped). A failure leaves the
  // channel closed.
  [[nodiscard]] int Open(const char* ip, int port, bool isSSL) override;
  // Flushes, sends close-notify and waits at most one wait period for the
  // peer's, frees the TLS objects and closes the socket.
  void Close() override;

  // One TLS read / write. Decrypted bytes already held are returned without
  // waiting. Results as Channel's; a "want read/write" is ERR_TIMEOUT so the
  // buffered loops retry within their no-progress limit. Without a TLS
  // session (after DropTls) these are Channel's raw operations.
  [[nodiscard]] int ReadFd(void* buf, size_t len) override;
  [[nodiscard]] int WriteFd(const void* buf, size_t len) override;

  // Load m_cert_path / m_key_path (PEM) into the connection. 0, or -1 with
  // the TLS errors logged (also when no connection exists yet).
  [[nodiscard]] virtual int InstallCERT();
  [[nodiscard]] virtual int InstallPriKey();
  virtual void SetCERTPath(const std::string& path);
  virtual void SetPriKeyPath(const std::string& path);

  void SetPeerCheck(const TlsPeerCheck& check) { m_check = check; }
  const TlsPeerCheck& PeerCheck() const { return m_check; }

  // Accepting side: adopts the accepted socket `fd` (the TLS request header,
  // if any, already consumed) and runs the server hand-shake with `ctx`
  // (shared; a reference is taken) within channel_timeout. 0; ERR_INVAL (the
  // channel is open or fd is -1: the caller keeps the fd); ERR_SYS / ERR_IO
  // (the fd is then closed).
  [[nodiscard]] int Accept(int fd, SSL_CTX* ctx);
  // Ends the TLS layer without a shutdown exchange: the socket carries plain
  // bytes from here on (a relay after its hand-shake).
  void DropTls();
  // The TLS connection, for the relay's hand-shake functions; may be null.
  SSL* ssl() const { return m_ssl.get(); }

 protected:
  // On the connected socket: fresh TLS objects with the peer check prepared
  // for `ip`, the TLS request header when `send_request`, the hand-shake
  // and the pin check. 0; ERR_SYS (TLS objects); ERR_IO (header or
  // hand-shake); ERR_AUTH (peer check); ERR_INT. The caller closes on
  // failure.
  [[nodiscard]] int HandshakeWithServer(const char* ip, int port, bool send_request);
  StopFn StopPredicate() const;

 private:
  // One SSL_write or SSL_read: a count, ERR_TIMEOUT, a wait's error, or a
  // private failure code with SSL_get_error's value in `err`.
  [[nodiscard]] int TlsOnce(bool write, void* buf, int want, int& err);
  [[nodiscard]] int InitSSL(bool check_peer, const char* ip);
  [[nodiscard]] int SendTlsRequest();
  [[nodiscard]] int StartTls(const char* ip, bool check_peer);
  // All of `data` raw on the socket within channel_timeout.
  [[nodiscard]] int WriteAllRaw(const unsigned char* data, size_t len);

 protected:
  SslPtr m_ssl;
  SslCtxPtr m_ssl_ctx;
  std::string m_cert_path;
  std::string m_key_path;
  TlsPeerCheck m_check;
};
