#pragma once

#include <signal.h>

#include <string>
#include <vector>

// The signals that ask the program to stop, and the ones it must survive.

// "SIGINT" for 2; the number as text for a signal that has no name.
std::string SignalName(int signal_number);

// A write to a closed pipe or past the file-size limit fails with EPIPE or EFBIG, which its
// writer reports, instead of ending the program before it has said or recorded anything.
void IgnoreWriteSignals();

// While it lives, SIGINT, SIGTERM, SIGHUP and SIGPIPE (and SIGWINCH when `resize`) are caught
// by a handler that only writes their number to a pipe, for an event loop to read. The old
// handlers come back at its end.
class TSignalPipe {
 public:
  explicit TSignalPipe(bool resize);
  ~TSignalPipe();
  TSignalPipe(const TSignalPipe&) = delete;
  TSignalPipe& operator=(const TSignalPipe&) = delete;

  // False, with the reason in Error(), when no pipe could be made: nothing is caught then.
  bool Ok() const { return ReadEnd >= 0; }
  const std::string& Error() const { return Why; }
  // The end to watch for reading.
  int Fd() const { return ReadEnd; }
  // The next signal caught, 0 when none is waiting.
  int Next();
  static bool IsResize(int signal_number) { return signal_number == SIGWINCH; }

 private:
  int ReadEnd = -1;
  std::string Why;
  std::vector<std::pair<int, struct sigaction>> Old;
};

// While it lives, SIGINT, SIGTERM and SIGHUP first remove the file at `path`, then end the
// process as they would have; a signal the process ignores stays ignored. One at a time.
class TRemoveOnSignal {
 public:
  explicit TRemoveOnSignal(const std::string& path);
  ~TRemoveOnSignal();
  TRemoveOnSignal(const TRemoveOnSignal&) = delete;
  TRemoveOnSignal& operator=(const TRemoveOnSignal&) = delete;

 private:
  struct sigaction Old[3] = {};
};
