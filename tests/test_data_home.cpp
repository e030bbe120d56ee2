#include <cstdlib>

// Every program a test runs keeps its history in the build folder, never in the user's home.
namespace {
[[maybe_unused]] const int kDataHome = setenv("XDG_DATA_HOME", QUBRA_BINARY_DIR "/test-data", 1);
}  // namespace
