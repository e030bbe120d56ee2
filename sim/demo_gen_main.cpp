// qubra-demo-gen: writes the data files of the demo update package.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "demo_gen.h"
#include "formats/text.h"
#include "image_dump.h"

namespace {

const char* kUsage =
    R"(Usage: qubra-demo-gen [--seed N] [--size BYTES] --out DIR

Writes the HEX and effect files of the demo update package into DIR (BOOT_EXT_OPTION.HEX,
Qubra/ and UQubra/ BANK0.HEX..BANK7.HEX, PROM1.SVF, PROM2.SVF, CPLD.SVF, DVI/EDID.HEX).
The same seed and size always give the same files. The scripts are not written: copy them
from the repository's demo folder.

  --seed N      seed of the contents (default 1)
  --size BYTES  bytes per HEX file, up to its region (boot area 8192, banks 32768), and bytes
                programmed per effect file, up to 1048576 (default 1024); EDID is always 256
  --out DIR     folder to write into (created when missing)
)";

int Fail(const std::string& text) {
  std::cerr << "qubra-demo-gen: " << text << "\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  TDemoParams params;
  std::string out;
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= args.size()) return Fail(a + ": missing value (see --help)");
    const std::string& v = args[++i];
    if (a == "--seed") {
      const auto n = StrToInt(v, 0, UINT32_MAX);
      if (!n) return Fail("--seed: expected a whole number from 0 to 4294967295, got '" + v + "'");
      params.seed = static_cast<uint32_t>(*n);
    } else if (a == "--size") {
      const auto n = StrToInt(v, 1, kDemoMaxEffectBytes);
      if (!n) return Fail("--size: expected a whole number from 1 to 1048576, got '" + v + "'");
      params.size = static_cast<size_t>(*n);
    } else if (a == "--out") {
      out = v;
    } else {
      return Fail(a + ": unknown option (see --help)");
    }
  }
  if (out.empty()) return Fail("--out DIR is required (see --help)");
  for (const auto& [path, text] : MakeDemoFiles(params)) {
    const std::filesystem::path full = std::filesystem::path(out) / path;
    std::error_code ec;
    std::filesystem::create_directories(full.parent_path(), ec);
    std::string error;
    if (ec) return Fail("cannot create " + full.parent_path().string() + ": " + ec.message());
    if (!WriteFileAtomic(full.parent_path().string(), full.filename().string(), text, error))
      return Fail(error);
  }
  return 0;
}
