#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Scan patterns of standard SVF files and the statements of at most 512 bits that the device
// plays in their place. Bit 0 of a pattern is the first shifted, the last hex digit of its value.

// A pattern of Length bits. Bits past the stored bytes read as Fill, so a short value and a
// default mask of all ones take no room.
struct TSvfBits {
  uint64_t Length = 0;
  std::vector<uint8_t> Bytes;  // bit i is bit i % 8 of Bytes[i / 8]
  bool Fill = false;

  bool Bit(uint64_t i) const;
};

// Reads a value written most significant digit first as `length` bits; missing leading digits
// are zeros. Nothing, with the reason in `why` and the offending character's offset in `at`,
// for a character that is not a hex digit or for a value with bits set at or past `length`.
std::optional<TSvfBits> HexToBits(std::string_view hex, uint64_t length, std::string& why,
                                  size_t* at = nullptr);

// One of the six scan patterns of SVF (SIR, SDR and their headers and trailers), as the
// statements so far leave it.
struct TSvfPattern {
  uint64_t Length = 0;
  TSvfBits Tdi, Tdo, Mask, Smask;
  bool HasTdo = false;  // TDO is compared: given by the last statement of this kind
};

// What one SIR, SDR, HIR, HDR, TIR or TDR statement gives; values as written.
struct TSvfPatternArgs {
  uint64_t Length = 0;
  std::optional<std::string> Tdi, Tdo, Mask, Smask;
};

// Where ApplyPatternArgs found a value at fault: Value 0 to 3 for TDI, TDO, MASK and SMASK, -1
// for none (TDI missing); Offset of the offending character in it.
struct TSvfValueFault {
  int Value = -1;
  size_t Offset = 0;
};

// Applies one statement to the pattern by the rules of SVF: TDI, MASK and SMASK left out are kept
// from the previous statement of the same kind when the length is the same; otherwise TDI must
// be given and MASK and SMASK become all ones. TDO is compared only when given. False, with the
// reason in `why` and the place in `fault`, when a value does not fit or TDI is missing.
bool ApplyPatternArgs(TSvfPattern& pattern, const TSvfPatternArgs& args, std::string& why,
                      TSvfValueFault* fault = nullptr);

// One scan as the chain sees it: the header shifted first, then the statement's own bits, then
// the trailer.
class TSvfScan {
 public:
  TSvfScan(const TSvfPattern& header, const TSvfPattern& body, const TSvfPattern& trailer);

  uint64_t Length() const { return length_; }
  // The effect-file statements of the scan, each of at most 512 bits: "SIR"/"SDR" for a short
  // scan, else the start, continuation and end forms ("SDRS", "SDRC", "SDRE"). `keyword` is
  // "SIR" or "SDR"; `emit` receives each line without its end and returns false to stop.
  template <typename Emit>
  bool Statements(const char* keyword, Emit&& emit) const;

  // Hex digits, most significant first, of bits first .. first + bits - 1 padded to whole bytes;
  // TDO and MASK are 0 where nothing is compared, MASK also in the padding.
  enum TWhat : uint8_t { swTDI, swTDO, swMASK, swSMASK };
  std::string Hex(TWhat what, uint64_t first, uint64_t bits) const;
  // The line for bits first .. first + bits - 1 (see Statements).
  std::string Line(const char* keyword, char flag, uint64_t first, uint64_t bits) const;

 private:
  bool Get(TWhat what, uint64_t i) const;
  bool Any(TWhat what, bool value, uint64_t first, uint64_t bits) const;

  const TSvfPattern* parts_[3];
  uint64_t length_ = 0;
};

inline constexpr uint64_t kSvfSegmentBits = 512;

template <typename Emit>
bool TSvfScan::Statements(const char* keyword, Emit&& emit) const {
  if (length_ <= kSvfSegmentBits) return length_ == 0 || emit(Line(keyword, ' ', 0, length_));
  for (uint64_t first = 0; first < length_; first += kSvfSegmentBits) {
    const uint64_t bits = std::min(kSvfSegmentBits, length_ - first);
    const char flag = first == 0 ? 'S' : first + bits == length_ ? 'E' : 'C';
    if (!emit(Line(keyword, flag, first, bits))) return false;
  }
  return true;
}
