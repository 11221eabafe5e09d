#include "monitor/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace monitor {

bool KeyboardMode::Enable(int fd) {
  if (!::isatty(fd) || ::tcgetpgrp(fd) != ::getpgrp()) return false;
  struct termios t;
  if (::tcgetattr(fd, &t) != 0) return false;
  m_saved = t;
  t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
  m_fd = fd;
  return true;
}

void KeyboardMode::Restore() {
  if (m_fd < 0) return;
  (void)::tcsetattr(m_fd, TCSANOW, &m_saved);
  m_fd = -1;
}

[[nodiscard]] bool TerminalSize(int fd, int& width, int& height) {
  struct winsize ws {};
  if (::ioctl(fd, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 || ws.ws_row == 0) return false;
  width = ws.ws_col;
  height = ws.ws_row;
  return true;
}

}  // namespace monitor
