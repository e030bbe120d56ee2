#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

// The data files of the demo update package, made reproducibly from a seed and a size: Intel
// HEX files for the boot area, the banks and the EDID, and program-then-verify effect files for
// PROM 1, PROM 2 and the CPLD. The scripts that name them are kept in the repository.
struct TDemoParams {
  uint32_t seed = 1;
  size_t size = 1024;  // bytes per HEX file (up to its region) and per effect file
};

constexpr size_t kDemoMaxEffectBytes = 1 << 20;

// Relative path ("Qubra/BANK0.HEX") and contents of every generated file, lines ending CR LF.
std::vector<std::pair<std::string, std::string>> MakeDemoFiles(const TDemoParams& params);

// Data records of 32 bytes from `first` on, covering `size` bytes except for one 32-byte hole
// in the middle (when there are at least four records), then the end-of-file record. The first
// record lies at `first`, so an image made from the file starts there.
std::string MakeDemoHex(std::mt19937& rng, uint16_t first, size_t size);
// 256 bytes of EDID at address 0: a base block and one extension block, each with its checksum.
std::string MakeDemoEdid(std::mt19937& rng);
// Checks the part's identification, erases, programs `size` bytes as one long scan, then
// verifies every byte with TDO and MASK.
std::string MakeDemoEffect(std::mt19937& rng, const std::string& title, uint32_t idcode,
                           size_t size);
