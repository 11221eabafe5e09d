// Error codes shared by every subsystem: 0 is success, failures are negative.
#pragma once

#include <string>

enum {
  ERR_OK = 0,
  ERR_INT = -1,
  ERR_IO = -2,
  ERR_SYS = -3,
  ERR_INVAL = -4,
  ERR_PROTO = -5,
  ERR_AUTH = -6,
  ERR_SERVER = -7,
  ERR_CONFLICT = -8,
  ERR_TIMEOUT = -9,
  ERR_VERSION = -10,
  ERR_NOENT = -11,
  ERR_USER = -12,
  ERR_PASSWORD = -13,
  ERR_KELVODISABLE = -14,
  ERR_QUOTA = -15,
  ERR_DISKFULL = -16,
  ERR_SYNCFOLDER_MISS = -17,
  // Local removals that would empty much of the server wait for the user.
  ERR_REMOVALS_HELD = -18,
  // Changes may go unseen (watch limit, lost queue, lost root): rescans cover.
  ERR_WATCH_DEGRADED = -19,
  // The configuration, which holds the session, can be read by other users.
  ERR_CONFIG_EXPOSED = -20,
  // TLS without a check of the server's certificate: anyone on the path can
  // pose as the server and read the session.
  ERR_TLS_UNVERIFIED = -21,
};

// Text of an error code. The sign is ignored (2 and -2 are both "I/O error");
// magnitudes above 21 give "Unknown error". Thread-safe; the result is static.
const char* GetErrorString(int code);
// The same text as a wide string, for log formats.
const wchar_t* GetErrorStringW(int code);

// The C library's text for an errno value ("No such file or directory").
// Thread-safe: strerror(3) may hand two threads the same buffer.
std::string ErrnoMessage(int err);
