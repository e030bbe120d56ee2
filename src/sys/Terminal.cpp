#include "sys/Terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

bool IsTerminal(int fd) {
  return ::isatty(fd) == 1;
}

bool TerminalSize(int fd, size_t& columns, size_t& rows) {
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) != 0) return false;
  columns = ws.ws_col;
  rows = ws.ws_row;
  return true;
}
