#include "formats/hex.h"

namespace {

const char kDigits[] = "0123456789ABCDEF";

// Two digits at 1-based position pos; missing characters count as "0".
int ByteAt(std::string_view s, size_t pos) {
  int hi = pos - 1 < s.size() ? HexValue(s[pos - 1]) : 0;
  int lo = pos < s.size() ? HexValue(s[pos]) : 0;
  return hi * 16 + lo;
}

}  // namespace

char HexDigit(int v) {
  return kDigits[v & 0xF];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

std::string ByteToHex(int v) {
  return {HexDigit(v >> 4), HexDigit(v)};
}

std::string WordToHex(int v) {
  return ByteToHex(v >> 8) + ByteToHex(v);
}

std::string DWordToHex(uint32_t v) {
  return WordToHex(static_cast<int>(v >> 16)) + WordToHex(static_cast<int>(v & 0xFFFF));
}

uint16_t HexToWord(std::string_view text) {
  uint16_t v = 0;
  for (size_t i = 0; i < 4 && i < text.size(); ++i)
    v = static_cast<uint16_t>(v * 16 + HexValue(text[i]));
  return v;
}

HexRecord ParseHexRecord(std::string_view line) {
  HexRecord r;
  r.count = static_cast<uint8_t>(ByteAt(line, 2));
  r.address = static_cast<uint16_t>(ByteAt(line, 4) * 256 + ByteAt(line, 6));
  r.type = static_cast<uint8_t>(ByteAt(line, 8));
  r.data.reserve(r.count);
  for (size_t i = 1; i <= r.count; ++i)
    r.data.push_back(static_cast<char>(ByteAt(line, 8 + 2 * i)));
  r.complete = line.size() >= 9 + 2 * static_cast<size_t>(r.count);
  return r;
}

bool HexRecordChecksumOk(std::string_view line) {
  if (line.empty() || line[0] != ':') return false;
  HexRecord r = ParseHexRecord(line);
  if (line.size() < 11 + 2 * static_cast<size_t>(r.count)) return false;
  int sum = 0;
  for (size_t pos = 2; pos <= 10 + 2 * static_cast<size_t>(r.count); pos += 2)
    sum += ByteAt(line, pos);
  return (sum & 0xFF) == 0;
}

std::vector<uint8_t> HexImage(const std::vector<std::string>& lines) {
  std::vector<uint8_t> image(65536, 0xFF);
  for (const std::string& line : lines) {
    if (line.empty() || line[0] != ':') continue;
    HexRecord r = ParseHexRecord(line);
    if (!r.complete) continue;
    if (r.type == 1) break;
    if (r.type != 0) continue;
    for (size_t i = 0; i < r.data.size() && r.address + i <= 0xFFFF; ++i)
      image[r.address + i] = static_cast<uint8_t>(r.data[i]);
  }
  return image;
}

uint16_t HexImageChecksum(const std::vector<std::string>& lines, uint16_t first, uint16_t last) {
  if (first > last) return 0;
  std::vector<uint8_t> image = HexImage(lines);
  uint16_t sum = 0;
  for (uint32_t a = first; a <= last; ++a) sum = static_cast<uint16_t>(sum + image[a]);
  return sum;
}

std::string MakeHexRecord(int type, int address, std::string_view data) {
  std::string rec =
      ":" + ByteToHex(static_cast<int>(data.size() / 2)) + WordToHex(address) + ByteToHex(type);
  rec.append(data);
  int sum = 0;
  size_t paired = 9 + 2 * (data.size() / 2);  // last 1-based position of a whole pair
  for (size_t pos = 2; pos + 1 <= paired; pos += 2) sum += ByteAt(rec, pos);
  rec += ByteToHex((256 - (sum & 0xFF)) & 0xFF);
  return rec;
}
