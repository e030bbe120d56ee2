#pragma once

#include <csignal>

// What the program returns to whoever started it, the same in every mode.
inline constexpr int kExitCompleted = 0;  // done: run completed, check sound, file written
inline constexpr int kExitFailed = 1;     // the work failed; the reason is on stderr
inline constexpr int kExitUsage = 2;      // refused before any work: the command line or its files

// Stopped by a signal: 128 + its number, as a shell reports a program the signal killed.
inline constexpr int kExitHangup = 128 + SIGHUP;       // 129
inline constexpr int kExitInterrupted = 128 + SIGINT;  // 130
inline constexpr int kExitBrokenPipe = 128 + SIGPIPE;  // 141
inline constexpr int kExitTerminated = 128 + SIGTERM;  // 143

// The status of a program that `signal_number` stopped; one of the four above for the signals
// the program stops on.
constexpr int ExitStatusOfStop(int signal_number) {
  return 128 + signal_number;
}
