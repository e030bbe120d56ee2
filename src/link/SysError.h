#pragma once

#include <stdexcept>
#include <string>

#include "sys/SysError.h"

// Socket errors in the words the device link reports them.

// "Socket Error # <err>" CR LF and the description of `err`.
std::string SocketErrorText(int err);

// A failed socket call, carrying the error number.
class ESocketError : public std::runtime_error {
 public:
  explicit ESocketError(int err) : std::runtime_error(SocketErrorText(err)), code_(err) {}
  int Code() const { return code_; }

 private:
  int code_;
};

// Any other network failure, with a text of its own ("Package Size Too Big.", ...).
class ENetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
