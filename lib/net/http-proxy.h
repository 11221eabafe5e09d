// HTTP proxy traversal: a TCP connection to a proxy that has been asked,
// with CONNECT host:port (RFC 9110), to open a tunnel to the target, so that
// the returned socket's byte stream reaches the target.
//
// Authentication: PROXY_AUTO_AUTH first asks without credentials; when the
// proxy answers 407 and offers Basic, it asks once more, on a fresh
// connection, with "Proxy-Authorization: Basic" and the given user and
// password. PROXY_BASIC_AUTH sends them at once, PROXY_NO_AUTH never. NTLM is
// not supported: a proxy that offers only NTLM (or Negotiate) is refused
// with a log line saying so.
//
// The answer's head (status line and headers) is read within the deadline
// and within fixed bounds (kProxyHeadMax bytes, kProxyLineMax per line,
// kProxyMaxHeaderLines lines), and nothing behind it is consumed: those
// bytes already belong to the target.
//
// Thread-safety: reentrant; keeps no state.
#pragma once

#include <cstdint>
#include <string>

#include "lib/net/tls.h"

enum PROXY_AUTH_TYPE {
  PROXY_NO_AUTH = 0,
  PROXY_BASIC_AUTH = 1,
  PROXY_NTLM_AUTH = 2,
  PROXY_NTLMv2_AUTH = 3,
  PROXY_AUTO_AUTH = 4,
};

struct PROXY_SERVER_INFO {
  std::string szProxyAddress;  // dotted IPv4 address or host name
  uint16_t ProxyPort = 0;
};

struct PROXY_TARGET_INFO {
  std::string szTargetAddress;  // what the proxy is asked to connect to
  uint16_t TargetPort = 0;
};

struct PROXY_AUTH_INFO {
  std::string szUserName;
  std::string szUserPasswd;  // plain text
  std::string szUserDomain;  // for NTLM only, which is not supported
  std::string szUserHost;    // likewise
  PROXY_AUTH_TYPE AuthType = PROXY_AUTO_AUTH;
};

// Time limits and the stop predicate of one traversal.
struct PROXY_OPEN_LIMITS {
  int wait_ms = 3000;             // longest single wait
  uint32_t timeout_seconds = 60;  // the whole traversal (connects and answers)
  StopFn stopped;
};

constexpr size_t kProxyHeadMax = 16384;
constexpr size_t kProxyLineMax = 4096;
constexpr int kProxyMaxHeaderLines = 100;

// Returns a connected non-blocking socket whose stream reaches the target,
// or -1. `error` (may be null) then tells why: ERR_INVAL (bad arguments),
// ERR_IO (unreachable proxy, refused CONNECT, broken or oversized answer,
// timeout), ERR_AUTH (credentials missing or refused, only NTLM offered),
// ERR_INT (stopped). Every failure is logged. The caller owns the socket and
// closes it (Channel::Close or ZENTProxyTunnelClose).
[[nodiscard]] int ZENTProxyTunnelOpen(const PROXY_SERVER_INFO* server,
                                      const PROXY_TARGET_INFO* target, const PROXY_AUTH_INFO* auth,
                                      const PROXY_OPEN_LIMITS* limits = nullptr,
                                      int* error = nullptr);
// Shuts down and closes a socket ZENTProxyTunnelOpen returned.
void ZENTProxyTunnelClose(int sock);
