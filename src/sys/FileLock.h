#pragma once

#include <string>

// An exclusive lock on a file, held while the object lives: one holder at a time across
// processes. A holder that dies lets go with its descriptors.
class TFileLock {
 public:
  TFileLock() = default;
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

  // Creates the file (owner-only) when needed and takes the lock, waiting up to `wait_ms`
  // (0: not at all). False with `error`; Busy() then says whether another held it.
  [[nodiscard]] bool Take(const std::string& path, int wait_ms, std::string& error);
  bool Busy() const { return Held; }

 private:
  int Fd = -1;
  bool Held = false;  // by another, when Take gave up
};
