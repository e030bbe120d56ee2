#pragma once

#include <string>

#include "sys/SysError.h"

// Socket errors in the words the device link reports them.

// "Socket Error # <err>" CR LF and the description of `err`.
std::string SocketErrorText(int err);
