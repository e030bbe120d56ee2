// Text-to-number conversion and line splitting.
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "formats/text.h"
#include "fuzz_util.h"

namespace {

// The same rules by another road: the C library reads the digits after the sign and prefix.
std::optional<int64_t> Reference(std::string_view text) {
  size_t i = text.find_first_not_of(' ');
  if (i == std::string_view::npos) return std::nullopt;
  bool neg = false;
  if (text[i] == '+' || text[i] == '-') neg = text[i++] == '-';
  int base = 10;
  if (text.substr(i, 1) == "$") {
    base = 16;
    i += 1;
  } else if (text.substr(i, 2) == "0x") {
    base = 16;
    i += 2;
  }
  const std::string digits(text.substr(i));
  // Leading zeros are no limit: strtoull reads any number of them and says when the value is
  // out of range.
  if (digits.empty()) return std::nullopt;
  for (char c : digits)
    if (!(c >= '0' && c <= '9') && !(base == 16 && std::isxdigit(static_cast<unsigned char>(c))))
      return std::nullopt;
  errno = 0;
  const unsigned long long v = std::strtoull(digits.c_str(), nullptr, base);
  if (errno == ERANGE) return std::nullopt;
  const long double value = neg ? -static_cast<long double>(v) : static_cast<long double>(v);
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int64_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = AsText(data, size);
  if (size <= 64) FUZZ_REQUIRE(StrToInt(text) == Reference(text));

  // Lines hold no line ends; joined with LF they split back into themselves.
  const std::vector<std::string> lines = SplitLines(text);
  std::string joined;
  size_t ends = 0;
  for (const std::string& line : lines) {
    FUZZ_REQUIRE(line.find_first_of("\r\n") == std::string::npos);
    joined += line + "\n";
  }
  for (size_t i = 0; i < size; ++i)
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == size || text[i + 1] != '\n'))) ++ends;
  const bool open_last = size > 0 && text.back() != '\n' && text.back() != '\r';
  FUZZ_REQUIRE(lines.size() == ends + (open_last ? 1 : 0));
  FUZZ_REQUIRE(SplitLines(joined) == lines);
  const std::string trimmed = Trim(text);
  FUZZ_REQUIRE(Trim(trimmed) == trimmed);
  return 0;
}
