#include "convert/svfscan.h"

#include <utility>

#include "formats/hex.h"

namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Quoted(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u > ' ' && u < 0x7F) return "\"" + std::string(1, c) + "\"";
  return "byte " + ByteToHex(u);
}

bool ReadValue(const std::optional<std::string>& text, int value, uint64_t length, TSvfBits& out,
               std::string& why, TSvfValueFault* fault) {
  static const char* const kNames[] = {"TDI", "TDO", "MASK", "SMASK"};
  std::string reason;
  size_t at = 0;
  std::optional<TSvfBits> bits = HexToBits(*text, length, reason, &at);
  if (!bits) {
    why = std::string(kNames[value]) + ": " + reason;
    if (fault) *fault = {value, at};
    return false;
  }
  out = std::move(*bits);
  return true;
}

}  // namespace

bool TSvfBits::Bit(uint64_t i) const {
  const uint64_t byte = i / 8;
  if (byte >= Bytes.size()) return Fill;
  return (Bytes[byte] >> (i % 8)) & 1;
}

std::optional<TSvfBits> HexToBits(std::string_view hex, uint64_t length, std::string& why,
                                  size_t* at) {
  TSvfBits bits;
  bits.Length = length;
  const size_t n = hex.size();
  for (size_t k = 0; k < n; ++k) {
    const char c = hex[n - 1 - k];
    const int v = DigitValue(c);
    if (v < 0) {
      why = Quoted(c) + " is not a hex digit";
      if (at) *at = n - 1 - k;
      return std::nullopt;
    }
    for (int b = 0; b < 4; ++b) {
      if (!((v >> b) & 1)) continue;
      const uint64_t i = 4 * static_cast<uint64_t>(k) + b;
      if (i >= length) {
        why = "the value has more than " + std::to_string(length) + " bits";
        if (at) *at = n - 1 - k;
        return std::nullopt;
      }
      if (bits.Bytes.size() <= i / 8) bits.Bytes.resize(i / 8 + 1, 0);
      bits.Bytes[i / 8] |= static_cast<uint8_t>(1 << (i % 8));
    }
  }
  return bits;
}

bool ApplyPatternArgs(TSvfPattern& pattern, const TSvfPatternArgs& args, std::string& why,
                      TSvfValueFault* fault) {
  const bool same = args.Length == pattern.Length;
  const TSvfBits ones{args.Length, {}, true};
  TSvfPattern next;
  next.Length = args.Length;
  if (args.Tdi) {
    if (!ReadValue(args.Tdi, 0, args.Length, next.Tdi, why, fault)) return false;
  } else if (same) {
    next.Tdi = std::move(pattern.Tdi);
  } else if (args.Length == 0) {
    next.Tdi = TSvfBits{};
  } else {
    why = "TDI must be given when the length changes (from " + std::to_string(pattern.Length) +
          " to " + std::to_string(args.Length) + " bits)";
    return false;
  }
  next.HasTdo = args.Tdo.has_value();
  if (args.Tdo && !ReadValue(args.Tdo, 1, args.Length, next.Tdo, why, fault)) return false;
  if (args.Mask) {
    if (!ReadValue(args.Mask, 2, args.Length, next.Mask, why, fault)) return false;
  } else {
    next.Mask = same ? std::move(pattern.Mask) : ones;
  }
  if (args.Smask) {
    if (!ReadValue(args.Smask, 3, args.Length, next.Smask, why, fault)) return false;
  } else {
    next.Smask = same ? std::move(pattern.Smask) : ones;
  }
  pattern = std::move(next);
  return true;
}

TSvfScan::TSvfScan(const TSvfPattern& header, const TSvfPattern& body, const TSvfPattern& trailer)
    : parts_{&header, &body, &trailer}, length_(header.Length + body.Length + trailer.Length) {}

bool TSvfScan::Get(TWhat what, uint64_t i) const {
  for (const TSvfPattern* p : parts_) {
    if (i >= p->Length) {
      i -= p->Length;
      continue;
    }
    switch (what) {
      case swTDI:
        return p->Tdi.Bit(i);
      case swTDO:
        return p->HasTdo && p->Tdo.Bit(i);
      case swMASK:
        return p->HasTdo && p->Mask.Bit(i);
      case swSMASK:
        return p->Smask.Bit(i);
    }
  }
  return false;
}

bool TSvfScan::Any(TWhat what, bool value, uint64_t first, uint64_t bits) const {
  for (uint64_t k = 0; k < bits; ++k)
    if (Get(what, first + k) == value) return true;
  return false;
}

std::string TSvfScan::Hex(TWhat what, uint64_t first, uint64_t bits) const {
  std::string hex;
  for (uint64_t byte = (bits + 7) / 8; byte-- > 0;) {
    int v = 0;
    for (uint64_t b = 0; b < 8; ++b) {
      const uint64_t k = 8 * byte + b;
      if (k < bits && Get(what, first + k)) v |= 1 << b;
    }
    hex += ByteToHex(v);
  }
  return hex;
}

std::string TSvfScan::Line(const char* keyword, char flag, uint64_t first, uint64_t bits) const {
  std::string line = keyword;
  if (flag != ' ') line += flag;
  line += " " + std::to_string(bits) + " TDI (" + Hex(swTDI, first, bits) + ")";
  if (Any(swMASK, true, first, bits)) {
    line += " TDO (" + Hex(swTDO, first, bits) + ")";
    // The device returns whole bytes: bits past the scan must be masked off as well.
    if (bits % 8 != 0 || Any(swMASK, false, first, bits))
      line += " MASK (" + Hex(swMASK, first, bits) + ")";
  }
  if (Any(swSMASK, false, first, bits)) line += " SMASK (" + Hex(swSMASK, first, bits) + ")";
  return line + ";";
}
