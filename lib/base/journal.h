// The daemon's log, copied to the systemd journal when the daemon runs as a
// systemd service, each line with the priority of its level. The log file
// stays the complete record; the journal is where `journalctl` and
// `systemctl status` look.
#pragma once

#include <sys/types.h>

#include <string>

namespace journal {

// True when this process runs as a systemd service. systemd names the
// journal stream it connected to standard output and error in
// JOURNAL_STREAM ("DEVICE:INODE"); the variable is inherited too (by the
// shell of a terminal that runs as a service), so it counts only when it
// names our own standard output or error. Without it, INVOCATION_ID (set
// for every service) counts when standard error is not a terminal. The
// arguments are the variables' values (nullptr when unset) and the device
// and inode of standard output and error (st_dev/st_ino; 0 and 0 when the
// descriptor is closed).
bool UnderSystemd(const char* journal_stream, const char* invocation_id, dev_t out_dev,
                  ino_t out_ino, dev_t err_dev, ino_t err_ino, bool err_is_terminal);

// The journal's priority (syslog's) for a log level: the same numbers, but
// never above "crit": emergency and alert make the journal write to every
// terminal, which is not for a user's sync daemon to do.
int PriorityOf(int level);

// Copies one log line to the journal when this process runs under systemd
// (decided once, from its environment and descriptors) and the build has
// libsystemd. `comp` is the line's component; `msg` is the line without the
// time stamp, its trailing newline dropped. Called by the logger, under its
// lock.
void Send(int level, const wchar_t* comp, const std::wstring& msg);

// For tests: lines go to `sink` instead of the journal, whether or not this
// process runs under systemd (nullptr goes back to the journal).
using Sink = void (*)(int priority, const std::string& component, const std::string& message);
void SetSinkForTest(Sink sink);

}  // namespace journal
