#include <cstdio>
#include <cstring>

#include "version.h"

namespace {

void PrintHelp() {
  std::printf(
      "Usage: qubra-updater [SCRIPT]\n"
      "       qubra-updater --version | --help\n"
      "\n"
      "Updates the firmware and programmable parts of a Qubra device.\n"
      "  SCRIPT     update script to run (default: script.ini in the program folder)\n"
      "  --version  print the program version\n"
      "  --help     print this help\n");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", QUBRA_PRODUCT, QUBRA_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintHelp();
      return 0;
    }
  }
  std::fprintf(stderr, "qubra-updater: the main window is not built yet; try --help\n");
  return 2;
}
