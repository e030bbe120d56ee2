#include "demo_gen.h"

#include <algorithm>

#include "formats/hex.h"
#include "jtag_chain.h"
#include "sim_device.h"

namespace {

constexpr size_t kRecordBytes = 32;
constexpr size_t kScanBytes = 64;  // 512 bits, the longest statement
const std::string kEol = "\r\n";
constexpr uint32_t kIds[3] = {0x0C0DE801, 0x0C0DE901, 0x0C0DEA01};

std::string Bytes(std::mt19937& rng, size_t n) {
  std::string r(n, '\0');
  for (char& c : r) c = static_cast<char>(rng() & 0xFF);
  return r;
}

std::string Hex(const std::string& bytes) {
  std::string r;
  for (char c : bytes) r += ByteToHex(static_cast<unsigned char>(c));
  return r;
}

// An SVF value is written most significant byte first; the part sees the bytes in storage order.
std::string SvfValue(const std::string& bytes) {
  return Hex(std::string(bytes.rbegin(), bytes.rend()));
}

std::string DataRecords(uint16_t first, const std::string& bytes, size_t per_record, size_t hole) {
  std::string r;
  for (size_t at = 0, n = 0; at < bytes.size(); at += per_record, ++n) {
    if (n == hole) continue;
    r +=
        MakeHexRecord(0x00, first + static_cast<int>(at), Hex(bytes.substr(at, per_record))) + kEol;
  }
  return r;
}

void Checksum128(std::string& block) {
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < block.size(); ++i) sum += static_cast<unsigned char>(block[i]);
  block.back() = static_cast<char>((256 - sum % 256) % 256);
}

}  // namespace

std::string MakeDemoHex(std::mt19937& rng, uint16_t first, size_t size) {
  const std::string data = Bytes(rng, size);
  const size_t records = (size + kRecordBytes - 1) / kRecordBytes;
  const size_t hole = records >= 4 ? records / 2 : SIZE_MAX;
  return MakeHexRecord(0x04, 0, "0000") + kEol + DataRecords(first, data, kRecordBytes, hole) +
         MakeHexRecord(0x01, 0, "") + kEol;
}

std::string MakeDemoEdid(std::mt19937& rng) {
  std::string base = std::string("\x00\xFF\xFF\xFF\xFF\xFF\xFF\x00", 8) + Bytes(rng, 120);
  std::string ext = "\x02\x03" + Bytes(rng, 126);
  Checksum128(base);
  Checksum128(ext);
  return DataRecords(0, base + ext, 16, SIZE_MAX) + MakeHexRecord(0x01, 0, "") + kEol;
}

std::string MakeDemoEffect(std::mt19937& rng, const std::string& title, uint32_t idcode,
                           size_t size) {
  const std::string data = Bytes(rng, size);
  std::vector<std::string> chunks;
  for (size_t at = 0; at < data.size(); at += kScanBytes)
    chunks.push_back(data.substr(at, kScanBytes));
  // One run of equal bytes, so the short form of a data scan is used as well.
  if (chunks.size() >= 3) chunks[1].assign(chunks[1].size(), '\0');

  const auto sir = [](uint8_t ir) { return "SIR 8 TDI (" + ByteToHex(ir) + ");" + kEol; };
  std::string r = "// Qubra demo effect file: " + title + ", " + std::to_string(size) + " bytes" +
                  kEol + "// Program, then verify every byte." + kEol;
  r +=
      "TRST OFF;" + kEol + "ENDIR IDLE;" + kEol + "ENDDR IDLE;" + kEol + "STATE RESET IDLE;" + kEol;
  r += "// Identification; the version nibble is masked." + kEol + sir(TJtagChain::kIdcode);
  r += "SDR 32 TDI (00000000) TDO (" + DWordToHex(idcode) + ") MASK (0FFFFFFF);" + kEol;
  r += "// Erase." + kEol + sir(TJtagChain::kErase) + "RUNTEST IDLE 1000 TCK;" + kEol;
  r += "// Program as one long scan, at most 512 bits per statement." + kEol +
       sir(TJtagChain::kProgram);
  for (size_t i = 0; i < chunks.size(); ++i) {
    const char* kind = chunks.size() == 1       ? "SDR "
                       : i == 0                 ? "SDRS "
                       : i + 1 == chunks.size() ? "SDRE "
                                                : "SDRC ";
    r += kind + std::to_string(chunks[i].size() * 8) + " TDI (" + SvfValue(chunks[i]) + ");" + kEol;
  }
  r += "RUNTEST IDLE 100 TCK;" + kEol + "// Verify." + kEol + sir(TJtagChain::kVerify);
  for (const std::string& chunk : chunks) {
    r += "SDR " + std::to_string(chunk.size() * 8) + " TDI (" + std::string(chunk.size() * 2, '0') +
         ") TDO (" + SvfValue(chunk) + ") MASK (" + std::string(chunk.size() * 2, 'F') + ");" +
         kEol;
  }
  return r + "STATE RESET;" + kEol;
}

std::vector<std::pair<std::string, std::string>> MakeDemoFiles(const TDemoParams& params) {
  std::mt19937 rng(params.seed);
  const auto hex_size = [&](size_t region) { return std::clamp<size_t>(params.size, 1, region); };
  const size_t effect_size = std::clamp<size_t>(params.size, 1, kDemoMaxEffectBytes);
  std::vector<std::pair<std::string, std::string>> files;
  files.emplace_back("BOOT_EXT_OPTION.HEX",
                     MakeDemoHex(rng, TSimDevice::kBootFirst,
                                 hex_size(TSimDevice::kBootLast - TSimDevice::kBootFirst + 1)));
  for (const std::string board : {"Qubra", "UQubra"}) {
    for (int bank = 0; bank < 8; ++bank) {
      files.emplace_back(
          board + "/BANK" + std::to_string(bank) + ".HEX",
          MakeDemoHex(rng, bank == 0 ? 0x0000 : 0x8000, hex_size(TSimDevice::kBankSize)));
    }
    files.emplace_back(board + "/PROM1.SVF", MakeDemoEffect(rng, "PROM 1", kIds[0], effect_size));
    files.emplace_back(board + "/PROM2.SVF", MakeDemoEffect(rng, "PROM 2", kIds[1], effect_size));
    files.emplace_back(board + "/CPLD.SVF", MakeDemoEffect(rng, "CPLD", kIds[2], effect_size));
  }
  files.emplace_back("DVI/EDID.HEX", MakeDemoEdid(rng));
  return files;
}
