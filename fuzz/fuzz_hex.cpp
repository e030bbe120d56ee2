// Intel HEX records and the image they describe.
#include "formats/hex.h"
#include "formats/text.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> lines = SplitLines(AsText(data, size));
  for (const std::string& line : lines) {
    const HexRecord r = ParseHexRecord(line);
    FUZZ_REQUIRE(r.data.size() == r.count);
    FUZZ_REQUIRE(r.complete == (line.size() >= 9 + 2 * size_t{r.count}));
    // Building the record back gives a sound record of the same fields.
    std::string digits;
    for (char c : r.data) digits += ByteToHex(static_cast<unsigned char>(c));
    const std::string rebuilt = MakeHexRecord(r.type, r.address, digits);
    FUZZ_REQUIRE(HexRecordChecksumOk(rebuilt));
    const HexRecord back = ParseHexRecord(rebuilt);
    FUZZ_REQUIRE(back.count == r.count && back.type == r.type && back.address == r.address &&
                 back.data == r.data && back.complete);
    if (HexRecordChecksumOk(line)) FUZZ_REQUIRE(r.complete);
  }
  // The checksum is the plain 16-bit sum of the image over the range.
  const std::vector<uint8_t> image = HexImage(lines);
  FUZZ_REQUIRE(image.size() == 65536);
  const uint16_t first = size > 1 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0x4000;
  const uint16_t last = size > 3 ? static_cast<uint16_t>(data[2] << 8 | data[3]) : 0x5FFF;
  uint32_t sum = 0;
  for (uint32_t a = first; a <= last; ++a) sum += image[a];
  FUZZ_REQUIRE(HexImageChecksum(lines, first, last) == (first <= last ? sum & 0xFFFF : 0));
  return 0;
}
