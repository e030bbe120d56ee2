#pragma once

#include <sys/resource.h>

#include <csignal>
#include <functional>

// Runs `write` with files limited to `bytes`, as a full disk would stop it: a write past the
// limit fails with EFBIG (the signal it would raise is ignored meanwhile). False when the limit
// could not be set.
inline bool WithFileSizeLimit(rlim_t bytes, const std::function<void()>& write) {
  rlimit old{};
  if (getrlimit(RLIMIT_FSIZE, &old) != 0) return false;
  const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = bytes;
  const bool set = setrlimit(RLIMIT_FSIZE, &small) == 0;
  if (set) write();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  return set;
}
