// The settings reader and the device address check.
#include "app/Settings.h"
#include "formats/text.h"
#include "fuzz_util.h"

namespace {

bool Same(const TConnectionSettings& a, const TConnectionSettings& b) {
  return a.Port.ComPort == b.Port.ComPort && a.Port.Lan == b.Port.Lan &&
         a.Lan.ConnectionKind == b.Lan.ConnectionKind &&
         a.Lan.RemoteAddress == b.Lan.RemoteAddress && a.Lan.RemotePort == b.Lan.RemotePort &&
         a.Lan.LocalPort == b.Lan.LocalPort;
}

std::string Dotted(const uint8_t p[4]) {
  return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
         std::to_string(p[3]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = AsText(data, size);
  TSettingsLines lines = SplitLines(text);
  const TConnectionSettings read = SettingsFromLines(lines);
  FUZZ_REQUIRE(read.Port.ComPort >= 1 && read.Port.ComPort <= 9);
  FUZZ_REQUIRE(read.Lan.RemotePort >= 0 && read.Lan.LocalPort >= 0);
  // What is written back reads back the same, and no other line is lost.
  const size_t before = lines.size();
  SettingsToLines(lines, read.Port, read.Lan);
  FUZZ_REQUIRE(lines.size() >= before && lines.size() <= before + 5);
  FUZZ_REQUIRE(Same(SettingsFromLines(lines), read));

  // A valid address says its four numbers; written plainly they are valid again.
  uint8_t parts[4];
  const std::string address(text.substr(0, text.find('\n')));
  if (IsValidIpAddress(address, parts)) {
    uint8_t again[4];
    FUZZ_REQUIRE(IsValidIpAddress(Dotted(parts), again));
    FUZZ_REQUIRE(std::equal(parts, parts + 4, again));
  } else {
    FUZZ_REQUIRE(parts[0] == 0 && parts[1] == 0 && parts[2] == 0 && parts[3] == 0);
  }
  if (size >= 4) {
    FUZZ_REQUIRE(IsValidIpAddress(Dotted(data), parts));
    FUZZ_REQUIRE(std::equal(parts, parts + 4, data));
  }
  return 0;
}
