#pragma once

#include <cstddef>

// Whether `fd` is a terminal.
bool IsTerminal(int fd);
// The size of the terminal on `fd`; false when it is none.
bool TerminalSize(int fd, size_t& columns, size_t& rows);
