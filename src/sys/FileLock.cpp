#include "sys/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sys/Files.h"
#include "sys/SysError.h"

TFileLock::~TFileLock() {
  if (Fd >= 0) ::close(Fd);  // and the lock with it
}

bool TFileLock::Take(const std::string& path, int wait_ms, std::string& error) {
  Fd = RetryOnSignal(
      [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600); });
  if (Fd < 0) {
    error = "cannot open " + path + ": " + SysErrorText(errno);
    return false;
  }
  // Polled rather than blocking, so that the wait has an end.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (::flock(Fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error = "cannot lock " + path + ": " + SysErrorText(errno);
      return false;
    }
    if (std::chrono::steady_clock::now() >= until) {
      Held = true;
      error = path + " is locked by another process";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
