// Decoding of the device's TDO replies.
#include "engines/progjtag.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw = AsText(data, size);
  // Arbitrary bytes: never more than two digits per byte, never past the end.
  FUZZ_REQUIRE(TProgJtag::DecodeTdoReply(raw).size() <= 2 * size);

  // Round trip: digits sent plainly or escaped come back as the digits.
  std::string reply, digits;
  for (uint8_t b : raw) {
    switch (b % 4) {
      case 0:
        reply += "\x1b\x1b";
        digits += "1B";
        break;
      case 1:
        reply +=
            "\x1b"
            "0";
        digits += "00";
        break;
      default: {
        const char c = "0123456789ABCDEF"[b >> 4];
        reply += c;
        digits += c;
      }
    }
  }
  FUZZ_REQUIRE(TProgJtag::DecodeTdoReply(reply + "\x1b.") == digits);
  FUZZ_REQUIRE(TProgJtag::DecodeTdoReply(reply + "\x1b.trailing" + reply) == digits);
  return 0;
}
