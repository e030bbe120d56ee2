#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <unistd.h>

// Invariants of the harnesses: a broken one stops the run with the input saved by the fuzzer.
#define FUZZ_REQUIRE(cond)                                                              \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// One folder per fuzzing process, emptied for every input; ends with the separator.
inline std::string FreshFolder() {
  namespace fs = std::filesystem;
  static const fs::path dir =
      fs::temp_directory_path() / ("qubra-fuzz-" + std::to_string(::getpid()));
  static const bool cleanup = std::atexit([] {
                                std::error_code ec;
                                fs::remove_all(dir, ec);
                              }) == 0;
  (void)cleanup;
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  return dir.string() + "/";
}
