// What the relay's two ends read from strangers. The first byte picks:
//   0  the relay's answer to the upgrade request, read by the client's
//      hand-shake inside a real TLS session (one session over a socketpair
//      for the whole run: the test plays the relay and writes the input as
//      its answer, and the hand-shake is stopped when nothing is left);
//      every byte behind the answer's empty line must remain unread;
//   1  an X-AuthToken text, checked as the relay checks it;
//   2  raw token bytes, decrypted.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz-common.h"
#include "lib/net/relay-token.h"
#include "lib/net/tls-cert.h"
#include "lib/net/tunnel-handshake.h"

namespace {

struct TlsPair {
  SslCtxPtr client_ctx, server_ctx;
  SSL* client = nullptr;
  SSL* server = nullptr;
  int client_fd = -1;
};

// Reads whatever `ssl` has without waiting.
std::string Drain(SSL* ssl) {
  std::string out;
  char buf[16384];
  for (;;) {
    ERR_clear_error();
    int n = SSL_read(ssl, buf, sizeof(buf));
    if (n <= 0) {
      if (SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ) __builtin_trap();
      return out;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

TlsPair* MakePair() {
  sffuzz::Init();
  const std::string cert = sffuzz::ScratchDir() + "/relay.crt";
  const std::string key = sffuzz::ScratchDir() + "/relay.key";
  auto* p = new TlsPair;
  int sv[2];
  if (GenerateSelfSignedCert(cert, key, "relay", {"127.0.0.1"}) != 0 ||
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) {
    __builtin_trap();
  }
  // Room for the largest input as one burst.
  const int big = 1 << 20;
  ::setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
  ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
  p->client_fd = sv[0];
  p->client_ctx = NewClientContext();
  p->server_ctx = NewServerContext(cert, key);
  if (!p->client_ctx || !p->server_ctx) __builtin_trap();
  p->client = SSL_new(p->client_ctx.get());
  p->server = SSL_new(p->server_ctx.get());
  SSL_set_fd(p->client, sv[0]);
  SSL_set_fd(p->server, sv[1]);
  SSL_set_connect_state(p->client);
  SSL_set_accept_state(p->server);
  bool c_done = false, s_done = false;
  for (int i = 0; i < 1000 && !(c_done && s_done); ++i) {
    if (!c_done) {
      int r = SSL_do_handshake(p->client);
      c_done = r == 1;
      if (r <= 0 && SSL_get_error(p->client, r) != SSL_ERROR_WANT_READ) __builtin_trap();
    }
    if (!s_done) {
      int r = SSL_do_handshake(p->server);
      s_done = r == 1;
      if (r <= 0 && SSL_get_error(p->server, r) != SSL_ERROR_WANT_READ) __builtin_trap();
    }
  }
  if (!c_done || !s_done) __builtin_trap();
  // Session tickets and the like, sent after the hand-shake.
  (void)Drain(p->client);
  return p;
}

void RelayAnswer(const uint8_t* data, size_t size) {
  static TlsPair* pair = MakePair();
  if (size > 60000) return;
  size_t off = 0;
  while (off < size) {
    int n = SSL_write(pair->server, data + off, static_cast<int>(size - off));
    if (n <= 0) __builtin_trap();
    off += static_cast<size_t>(n);
  }
  // The relay has said all it will: stop once nothing is left to read.
  const StopFn nothing_left = [] {
    if (SSL_pending(pair->client) > 0) return false;
    struct pollfd p = {pair->client_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) <= 0;
  };
  const int status = ZENTTunnelClientHandshake(pair->client, "127.0.0.1", 6690, 1000,
                                               DeadlineIn(10), nothing_left);
  const std::string behind = Drain(pair->client);
  (void)Drain(pair->server);  // the request
  const std::string answer(reinterpret_cast<const char*>(data), size);
  if (behind.size() > answer.size() ||
      answer.compare(answer.size() - behind.size(), behind.size(), behind) != 0) {
    __builtin_trap();
  }
  if (status >= 0) {
    // The answer ended: at an LF, after a line that starts with CR or LF.
    const size_t used = answer.size() - behind.size();
    if (used == 0 || answer[used - 1] != '\n') __builtin_trap();
    const size_t start = used >= 2 ? answer.rfind('\n', used - 2) : std::string::npos;
    const char first = answer[start == std::string::npos ? 0 : start + 1];
    if (first != '\r' && first != '\n') __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sffuzz::Init();
  if (size < 1) return 0;
  const uint8_t* rest = data + 1;
  const size_t n = size - 1;
  switch (data[0] % 3) {
    case 0:
      RelayAnswer(rest, n);
      break;
    case 1: {
      const std::string text(reinterpret_cast<const char*>(rest), n);
      (void)RelayTokenMatches(text, "127.0.0.1", 6690);
      break;
    }
    case 2: {
      std::vector<unsigned char> out(n + 16);
      const int got = ZENTCryptoDecrypt(out.data(), out.size(), rest, n);
      if (got > static_cast<int>(out.size())) __builtin_trap();
      break;
    }
  }
  return 0;
}
