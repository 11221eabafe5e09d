// What an error code from the daemon means for the user and what to change,
// in one line, filled in with the configuration's own values (server, port,
// session, folder, file path).
#pragma once

#include <cstdint>
#include <string>

#include "monitor/monitor-config.h"

namespace monitor {

// The daemon's text for the code ("Authentication failure").
std::string ErrorName(int32_t code);
// The advice for the code; empty when there is nothing to add (0, an
// interruption during shutdown). `steering`: the monitor started the daemon
// and can pass it the reload key.
std::string ErrorHint(int32_t code, const MonitorConfig& cfg, bool steering);
// "HOST:PORT" of the first hop the daemon connects to (proxy, relay or
// server); empty when the configuration names none.
std::string FirstHop(const MonitorConfig& cfg, std::string* host = nullptr, int* port = nullptr);

}  // namespace monitor
