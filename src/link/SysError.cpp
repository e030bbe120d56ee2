#include "link/SysError.h"

std::string SocketErrorText(int err) {
  return "Socket Error # " + std::to_string(err) + "\r\n" + SysErrorText(err);
}
