// Vendor SVF files converted into effect files: every line written is one the engine plays.
#include <fstream>

#include "convert/svfconvert.h"
#include "engines/svf.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = FreshFolder() + "in.svf";
  std::ofstream(path, std::ios::binary) << AsText(data, size);
  TSvfStatement st;
  int64_t written = 0;
  // Long scans are cut the same way at any length: a short limit keeps every input fast.
  TSvfConvertOptions options;
  options.MaxScanBits = 1 << 14;
  const TSvfConvertResult r = ConvertSvfFile(path, options, [&](std::string_view line) {
    FUZZ_REQUIRE(line.find_first_of("\r\n") == std::string_view::npos);
    FUZZ_REQUIRE(EncodeSvfLine(line, st).Outcome != esERROR);
    ++written;
    return true;
  });
  FUZZ_REQUIRE(r.Lines == written);
  FUZZ_REQUIRE(r.Ok == r.Errors.empty());
  FUZZ_REQUIRE(r.Errors.size() <= kSvfMaxErrors + 1);
  for (const TSvfConvertNote& e : r.Errors) FUZZ_REQUIRE(!e.Text.empty() && e.Line >= 0);
  return 0;
}
