// Encodes a generated effect file of 500,000 statements line by line, as the JTAG engine reads
// PROM files, and prints the rate. A figure to watch, not a pass/fail check.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "engines/svf.h"
#include "formats/text.h"

namespace {

constexpr int kStatements = 500000;

// A PROM-like mix: mostly long SDR data blocks, with the instructions and waits around them.
void WriteEffectFile(const std::string& path) {
  std::ofstream f(path, std::ios::binary);
  const char* hex = "0123456789ABCDEF";
  for (int i = 0; i < kStatements; ++i) {
    switch (i % 8) {
      case 0:
        f << "// block " << i << "\r\n";
        break;
      case 1:
        f << "SIR 8 TDI (E8);\r\n";
        break;
      case 2:
        f << "RUNTEST IDLE 100 TCK;\r\n";
        break;
      case 3:
        f << "SDR 32 TDI (00000000) TDO (F5046093) MASK (0FFFFFFF);\r\n";
        break;
      case 4:
        f << "SDR 512 TDI (" << std::string(128, 'F') << ");\r\n";
        break;
      default: {
        std::string tdi;
        for (int k = 0; k < 128; ++k) tdi.push_back(hex[(i * 7 + k * 13) % 16]);
        f << "SDR 512 TDI (" << tdi << ");\r\n";
      }
    }
  }
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("svf_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string path = (dir / "bench.svf").string();
  WriteEffectFile(path);
  const double megabytes = static_cast<double>(fs::file_size(path)) / 1e6;

  auto t0 = std::chrono::steady_clock::now();
  const int64_t lines = CountTextLines(path).value_or(0);
  const double count_s = Seconds(t0);

  t0 = std::chrono::steady_clock::now();
  LineReader reader;
  reader.Open(path);
  TSvfStatement st;
  std::string line;
  int64_t records = 0, errors = 0;
  size_t bytes = 0;
  while (reader.Next(line)) {
    TSvfEncoding e = EncodeSvfLine(line, st);
    records += e.Outcome == esRECORD;
    errors += e.Outcome == esERROR;
    bytes += e.Record.size() + (st.BlockPending ? st.TdiData.size() : 0);
  }
  const double encode_s = Seconds(t0);
  reader.Close();
  fs::remove_all(dir);

  std::printf("effect file: %lld lines, %.1f MB, counted in %.3f s\n",
              static_cast<long long>(lines), megabytes, count_s);
  std::printf("encoded %lld lines (%lld records, %lld errors, %zu bytes to send) in %.3f s\n",
              static_cast<long long>(lines), static_cast<long long>(records),
              static_cast<long long>(errors), bytes, encode_s);
  std::printf("%.0f statements per second\n", lines / encode_s);
  return errors == 0 && lines == kStatements ? 0 : 1;
}
