// The controlling terminal: single-key input without echo while the monitor
// runs, restored on every way out, and the window size.
#pragma once

#include <termios.h>

namespace monitor {

class KeyboardMode {
 public:
  KeyboardMode() = default;
  ~KeyboardMode() { Restore(); }
  KeyboardMode(const KeyboardMode&) = delete;
  KeyboardMode& operator=(const KeyboardMode&) = delete;

  // Turns off line buffering and echo on `fd` when it is a terminal and this
  // process is in its foreground (changing a background terminal would stop
  // the process). Ctrl-C still raises SIGINT. Returns whether keys can be read.
  [[nodiscard]] bool Enable(int fd);
  void Restore();

 private:
  int m_fd = -1;
  struct termios m_saved {};
};

// The size of the terminal on `fd`; false when it is none.
[[nodiscard]] bool TerminalSize(int fd, int& width, int& height);

}  // namespace monitor
