// The relay's side of the hand-shake (see lib/net/tunnel-handshake.h): read
// and check the upgrade request, and the answer for each outcome.
#pragma once

#include <string>

#include "lib/net/tls.h"

// X-Target-Status values the relay answers.
enum RelayStatus {
  RELAY_OK = 0,
  RELAY_BAD_REQUEST = 1,  // not our upgrade request, or malformed
  RELAY_BAD_TOKEN = 2,    // the token does not decrypt to the target
  RELAY_NOT_ALLOWED = 3,  // the target is not on the allow list
  RELAY_UNREACHABLE = 4,  // the target could not be connected
};

struct RelayRequest {
  std::string target_host;
  int target_port = 0;
  std::string token;
};

// Reads the request head through `ssl` until its empty line. Returns
// RELAY_OK with `req` filled and the token checked; RELAY_BAD_REQUEST or
// RELAY_BAD_TOKEN (the answer can still be sent); or a negative wait code
// (kTlsWaitError, kTlsWaitTimeout, ERR_INT) when the client broke the
// connection or stalled, so nothing can be answered. `why` describes a
// refusal for the log.
[[nodiscard]] int ReadRelayRequest(SSL* ssl, int wait_ms, TlsClock::time_point deadline,
                                   const StopFn& stopped, RelayRequest& req, std::string& why);

// The answer head for a status: status line, headers, empty line.
std::string RelayAnswer(int status);
