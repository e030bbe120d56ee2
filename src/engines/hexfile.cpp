#include "engines/hexfile.h"

#include "formats/text.h"

namespace {

bool IsBinaryByte(unsigned char c) {
  return (c < ' ' && c != '\t' && c != 0x1A) || c == 0x7F;
}

}  // namespace

std::string HexFileFault(const std::string& path, const std::vector<std::string>& lines) {
  bool has_record = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    for (unsigned char c : lines[i])
      if (IsBinaryByte(c))
        return Excerpt(path) + " line " + std::to_string(i + 1) +
               ": binary data, not a HEX file !!!";
    if (!lines[i].empty() && lines[i][0] == ':') has_record = true;
  }
  if (!lines.empty() && !has_record) return Excerpt(path) + ": no HEX record, not a HEX file !!!";
  return {};
}
