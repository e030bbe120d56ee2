#include <cstdio>
#include <optional>

#include "app/CommandLine.h"

int main(int argc, char** argv) {
  // --check, --help, --version and usage errors need no display: done before any window.
  Options options;
  if (std::optional<int> status = RunWithoutWindow(argc, argv, options)) return *status;
  std::fprintf(stderr, "qubra-updater: the main window is not built yet; try --help\n");
  return 2;
}
