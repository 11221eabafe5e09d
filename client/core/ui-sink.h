// Where the task manager sends what the user interface shows: status
// changes, errors and per-file results. The UI channel (client/ui) is the
// real one; the daemon's start-up hands it to the task manager, which keeps
// the core free of the transport.
#pragma once

#include <cstdint>

class Event;

class UiSink {
 public:
  virtual ~UiSink() = default;
  // A status value (TaskManager::Status) or a negative error code. Returns
  // 0 or a negative ERR_ code; failures are the sink's to log.
  virtual int WriteEvent(int32_t value) = 0;
  // A finished file: its event type and path.
  virtual int WriteFileEvent(const Event& e) = 0;
};
