#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Conversion of a complete standard SVF file, as vendor tools export them, into an effect file
// that the JTAG engine plays with the same effect on the chain: one statement per line, in the
// forms EncodeSvfLine accepts, comments as "//".

// A decimal number as SVF writes it ("100", "1.5E-3", ".5E6"): Mantissa x 10^Exponent.
struct TSvfReal {
  uint64_t Mantissa = 0;
  int32_t Exponent = 0;
};

// Nothing for a text that is not such a number (a sign is not allowed). Digits beyond the
// nineteenth round the mantissa up, so times and rates are never taken smaller than written.
std::optional<TSvfReal> ParseSvfReal(std::string_view text);

// The most clock cycles one converted RUNTEST may come to (a few hundred statements).
inline constexpr uint64_t kSvfMaxClocks = uint64_t{1} << 40;

// The fewest whole cycles at `hz` that last at least `seconds`; nothing beyond kSvfMaxClocks.
std::optional<uint64_t> ClocksFor(TSvfReal seconds, TSvfReal hz);

// The longest scan converted, header and trailer included: far beyond any real part (the
// largest vendor file seen shifts 5.7 Mbit at once), yet a few bytes of input can no longer
// ask for gigabytes of output.
inline constexpr uint64_t kSvfMaxScanBits = uint64_t{1} << 26;

// The longest header or trailer (HIR, HDR, TIR, TDR): real ones pad a few parts of a chain,
// under a thousand bits.
inline constexpr uint64_t kSvfMaxHeaderBits = uint64_t{1} << 16;

// The largest effect file written, line ends included: far beyond any real part's, so that
// many scans of a few bytes each cannot fill the disk either.
inline constexpr uint64_t kSvfMaxOutputBytes = uint64_t{1} << 30;

// Errors listed before the conversion gives up.
inline constexpr size_t kSvfMaxErrors = 20;

struct TSvfConvertOptions {
  std::optional<TSvfReal> TckHz;  // the device's TCK rate; wins over FREQUENCY in the file
  uint64_t MaxScanBits = kSvfMaxScanBits;
  uint64_t MaxOutputBytes = kSvfMaxOutputBytes;
};

// Something said about the input: Line counts from 1, 0 for the file as a whole.
struct TSvfConvertNote {
  int64_t Line = 0;
  std::string Text;
};

struct TSvfConvertResult {
  bool Ok = false;
  // Why the conversion failed, in the order of the file; after kSvfMaxErrors, a last note says
  // that it stopped there.
  std::vector<TSvfConvertNote> Errors;
  std::vector<TSvfConvertNote> Warnings;
  int64_t Statements = 0;  // SVF statements read
  int64_t Lines = 0;       // effect-file lines written
};

// Reads the SVF file at `path` and hands each effect-file line, without its end, to `write`;
// `write` returns false to stop the conversion (the output could not be written). The output
// starts with the standard's end states (IDLE), not those a file before left in the device.
// The file is read twice: first only to check it and size the output (each scan at its fewest
// bytes), so `write` is not called at all for a file with an error or whose output would pass
// MaxOutputBytes. Every error is listed, not only the first.
TSvfConvertResult ConvertSvfFile(const std::string& path, const TSvfConvertOptions& options,
                                 const std::function<bool(std::string_view)>& write);
