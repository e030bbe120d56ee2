#include "sys/SysError.h"

#include <cstring>

std::string SysErrorText(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : "Unknown error " + std::to_string(err);
}
