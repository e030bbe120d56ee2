#pragma once

#include <signal.h>

#include <iostream>
#include <string>

#include "cli/Options.h"

// --convert-svf IN OUT [--tck-hz F]: converts a standard SVF file into an effect file the device
// plays. Errors and warnings go to `err` as "IN:line: text", a summary to `out`. Returns 0 when
// OUT was written, 1 when not (OUT is then left as it was), 2 when IN and OUT are one file.
int RunConvertSvf(const Options& options, std::ostream& out = std::cout,
                  std::ostream& err = std::cerr);

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
