// The effect-file encoder, one line at a time.
#include "engines/svf.h"
#include "formats/hex.h"
#include "formats/text.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TSvfStatement st;
  for (const std::string& line : SplitLines(AsText(data, size))) {
    const TSvfEncoding e = EncodeSvfLine(line, st);
    TSvfStatement again;
    const std::string text = EncodeStatement(line, again);
    FUZZ_REQUIRE(text == (e.Outcome == esERROR ? std::string(kSvfError) : e.Record));
    FUZZ_REQUIRE((e.Outcome == esERROR) == !e.Reason.empty());
    if (e.Outcome != esRECORD) continue;
    // Every record is a sound Intel HEX-style record of the statement.
    const HexRecord r = ParseHexRecord(e.Record);
    FUZZ_REQUIRE(HexRecordChecksumOk(e.Record));
    FUZZ_REQUIRE(e.Record.size() == 11 + 2 * size_t{r.count});
    const uint32_t kind = st.StatementType & 0x0F;
    if (kind == kSvfTypeSir || kind == kSvfTypeSdr) {
      FUZZ_REQUIRE(r.type == st.StatementType && r.address == st.ScanLength);
      FUZZ_REQUIRE(st.ScanLength >= 0 && st.ScanLength <= kSvfMaxScanLength);
      FUZZ_REQUIRE(((st.StatementType & kSvfFlagTdo) != 0) == !st.TdoData.empty());
    }
    // A data block ends with the 8-bit sum of its bytes and is announced by its length.
    if (st.BlockPending) {
      FUZZ_REQUIRE(r.count == 1 && static_cast<uint8_t>(r.data[0]) == st.TdiData.size());
      std::string body = st.TdiData.substr(0, st.TdiData.size() - 2);
      AppendHexSum(body);
      FUZZ_REQUIRE(body == st.TdiData);
    }
  }
  return 0;
}
