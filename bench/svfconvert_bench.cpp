// Converts generated vendor-style SVF files of 1, 2, 4 and 8 MB, once written one statement over
// several lines and once all on one line, and prints the time, its growth per doubling (about 2
// means linear) and the peak memory, which must not grow with the file. Figures to watch, not a
// pass/fail check.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "convert/svfconvert.h"

namespace {

// A PROM program file: erase, then program pages of 4096 bits, 64 digits per line.
void WriteSvf(const std::string& path, size_t bytes, bool one_line) {
  const char* eol = one_line ? " " : "\n";
  std::ofstream f(path, std::ios::binary);
  f << "FREQUENCY 1E6 HZ;" << eol << "SIR 8 TDI (ec);" << eol << "RUNTEST 1E-2 SEC;" << eol;
  const char* hex = "0123456789abcdef";
  for (size_t written = 0, page = 0; written < bytes; ++page) {
    f << "SIR 8 TDI (ea);" << eol << "SDR 4096 TDI (";
    for (int line = 0; line < 16; ++line) {
      f << eol << "  ";
      for (int k = 0; k < 64; ++k) f << hex[(page * 7 + line * 13 + k) % 16];
    }
    f << ") SMASK (" << std::string(1024, 'f') << ");" << eol;
    written = static_cast<size_t>(f.tellp());
  }
}

long PeakKilobytes() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("svfconvert_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  int status = 0;
  for (bool one_line : {false, true}) {
    double previous = 0;
    for (size_t mb : {1, 2, 4, 8}) {
      const std::string path = (dir / "in.svf").string();
      WriteSvf(path, mb << 20, one_line);
      size_t out_bytes = 0;
      const auto t0 = std::chrono::steady_clock::now();
      const TSvfConvertResult r = ConvertSvfFile(path, {}, [&](std::string_view line) {
        out_bytes += line.size() + 2;
        return true;
      });
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (!r.Ok) status = 1;
      std::printf(
          "%s %zu MB: %lld statements, %zu bytes out in %.3f s%s, peak %ld KiB\n",
          one_line ? "one line " : "multiline", mb, static_cast<long long>(r.Statements), out_bytes,
          s, previous > 0 ? (" (x" + std::to_string(s / previous).substr(0, 4) + ")").c_str() : "",
          PeakKilobytes());
      previous = s;
    }
  }
  fs::remove_all(dir);
  return status;
}
