#include "engines/svf.h"

#include <gtest/gtest.h>

#include <random>

#include "formats/hex.h"

namespace {

struct Row {
  const char* line;
  const char* result;
};

std::string Encode(const std::string& line) {
  TSvfStatement st;
  return EncodeStatement(line, st);
}

}  // namespace

TEST(Svf, EncodesStatementsToTheCharacter) {
  const std::string zeros128(128, '0');
  const Row rows[] = {
      // The reference examples.
      {"ENDIR IDLE;", ":0100000601F8"},
      {"ENDDR IDLE;", ":0100000701F7"},
      {"STATE RESET IDLE;", ":020000050001F8"},
      {"RUNTEST IDLE 100 TCK;", ":05000004000000640192"},
      {"SIR 8 TDI (FE);", ":01000862FE97"},
      {"SDR 32 TDI (00000000);", ":010020E300FC"},
      {"SDR 8 TDI (00) TDO (A5);", ":010008F30004"},
      {"SDR 16 TDI (1234);", ":010010630686"},
      {"// any text", ""},
      {"TRST OFF;", ""},
      {"", "Error"},
      {"HDR 0;", "Error"},
      // Flag characters after the keyword.
      {"SIRC 8 TDI (FE);", ":01000802FEF7"},
      {"SIRE 8 TDI (FE);", ":01000842FEB7"},
      {"SDRS 8 TDI (12);", ":0100082304D0"},
      {"SDRE 8 TDI (12);", ":0100084304B0"},
      {"SIR\t8\tTDI\t(FE);", ":01000862FE97"},
      // One repeated digit: one byte on SDR, in full on SIR.
      {"SDR 8 TDI (FF);", ":010008E3FF15"},
      {"SIR 16 TDI (FFFF);", ":02001062FFFF8E"},
      {"SIR 16 TDI (1234) SMASK (00FF);", ":02001062340058"},
      {"SDR 32 TDI (12345678);", ":010020630A72"},
      {"SDR 16 TDI (0000) TDO (ABCD) MASK (0FF0);", ":010010F300FC"},
      {"SIR 8 TDI (fe);", ":01000862FE97"},
      {"  SIR 8 TDI (FE); // x", ":01000862FE97"},
      {"SIR 8 TDI (00) TDI (FE);", ":01000862FE97"},
      // Other statements.
      {"ENDDR DRPAUSE;", ":0100000706F2"},
      {"STATE DRPAUSE IRUPDATE ;", ":02000005060FE4"},
      {"STATE;", ":00000005FB"},
      {"RUNTEST 100 TCK;", ":05000004000000640192"},
      {"RUNTEST DRPAUSE $10 TCK ;", ":050000040000001006E1"},
      {"RUNTEST 0x7FFFFFFF TCK;", ":050000047FFFFFFF017A"},
      // Incomplete statements are skipped; broken ones are errors.
      {"STATE IDLE", ""},
      {"SDR 8 TDI (00)", ""},
      {"ENDIR IDLE", "Error"},
      {"ENDIR;", "Error"},
      {"ENDDR BOGUS;", "Error"},
      {"STATE IDLE BOGUS;", "Error"},
      {"RUNTEST 100;", "Error"},
      {"RUNTEST 100 TCK", "Error"},
      {"RUNTEST IDLE 100 SCK;", "Error"},
      {"RUNTEST 1E-3 SEC;", "Error"},
      {"SIR8 TDI (FE);", "Error"},
      {"SDR 513 TDI (00);", "Error"},
      {"SDR 0X10 TDI (00);", "Error"},
      {"RUNTEST 0X10 TCK;", "Error"},
      {"SDR 8 TDI (00;", "Error"},
      {"SDR 8 TDI (TDI (TDI (00;", "Error"},
      {"SDR 8 TDI (00) TDO (A5 MASK (FF;", "Error"},
      {"SDR 8 XYZ (00);", "Error"},
      {"SDR 8;", "Error"},
      {"   ", "Error"},
      {"! comment", "Error"},
      {"FREQUENCY 1E6 HZ;", "Error"},
      {"sir 8 TDI (FE);", "Error"},
  };
  for (const Row& r : rows) EXPECT_EQ(Encode(r.line), r.result) << r.line;

  EXPECT_EQ(Encode("SDR 512 TDI (" + zeros128 + ");"), ":010200E3001A");
  EXPECT_EQ(Encode("SIRS 512 TDI (" + zeros128 + ");"), ":40020022" + zeros128 + "9C");
}

TEST(Svf, StatementFieldsAndDataBlock) {
  TSvfStatement st;
  EXPECT_EQ(EncodeStatement("SDR 16 TDI (1234);", st), ":010010630686");
  EXPECT_TRUE(st.BlockPending);
  EXPECT_EQ(st.TdiData, "341246");  // least significant byte first, then the plain sum
  EXPECT_EQ(st.ScanLength, 16);
  EXPECT_EQ(st.StatementType, 0x63u);

  EXPECT_EQ(EncodeStatement("SDR 8 TDI (00) TDO (a5);", st), ":010008F30004");
  EXPECT_FALSE(st.BlockPending);
  EXPECT_EQ(st.TdoData, "A5");
  EXPECT_EQ(st.StatementType, 0xF3u);

  EXPECT_EQ(EncodeStatement("SDR 16 TDI (0000) TDO (ABCD) MASK (0ff0) SMASK (FFFF);", st),
            ":010010F300FC");
  EXPECT_EQ(st.TdoData, "CDAB");
  EXPECT_EQ(st.MaskData, "F00F");
  EXPECT_EQ(st.SmaskData, "FFFF");

  // Every line starts from a clean statement.
  EXPECT_EQ(EncodeStatement("ENDIR IDLE;", st), ":0100000601F8");
  EXPECT_FALSE(st.BlockPending);
  EXPECT_EQ(st.ScanLength, 0);
  EXPECT_EQ(st.StatementType, 0u);
  EXPECT_EQ(st.TdiData + st.TdoData + st.MaskData + st.SmaskData, "");
}

TEST(Svf, DecidedCases) {
  TSvfStatement st;
  // Odd digit counts get a leading zero: the value is unchanged, bytes stay whole.
  EXPECT_EQ(EncodeStatement("SIR 4 TDI (F);", st), ":010004620F8A");
  EXPECT_EQ(EncodeStatement("SDR 12 TDI (123);", st), ":01000C63068A");
  EXPECT_EQ(st.TdiData, "230124");
  EXPECT_EQ(EncodeStatement("SDR 4 TDI (0) TDO (5);", st), ":010004F30008");
  EXPECT_EQ(st.TdoData, "05");

  struct ErrorRow {
    std::string line;
    std::string reason;
  };
  const ErrorRow errors[] = {
      {"SDR 8 TDI ();", "SDR without TDI value"},
      {"SDR 8 TDO (00);", "SDR without TDI value"},
      {"SDR -8 TDI (00);", "negative SDR bit length"},
      {"SIR -1 TDI (00);", "negative SIR bit length"},
      {"RUNTEST -1 TCK;", "negative RUNTEST count"},
      {"SIR", "line ends after SIR"},
      {"SDR", "line ends after SDR"},
      {"SDR 512 TDI (" + std::string("1") + std::string(253, '0') + ");",
       "SDR data block longer than 255 characters"},
  };
  for (const ErrorRow& r : errors) {
    TSvfEncoding e = EncodeSvfLine(r.line, st);
    EXPECT_EQ(e.Outcome, esERROR) << r.line;
    EXPECT_EQ(e.Reason, r.reason) << r.line;
    EXPECT_EQ(EncodeStatement(r.line, st), "Error") << r.line;
  }
  // A record announces at most 255 bytes: the longest SIR value and the longest STATE path.
  EXPECT_EQ(EncodeStatement("SIR 512 TDI (" + std::string(510, 'F') + ");", st),
            MakeHexRecord(0x62, 512, std::string(510, 'F')));
  EXPECT_EQ(EncodeStatement("SIR 512 TDI (" + std::string(512, 'F') + ");", st), "Error");
  std::string path, codes;
  for (int i = 0; i < 255; ++i) path += " IDLE", codes += "01";
  EXPECT_EQ(EncodeStatement("STATE" + path + ";", st), MakeHexRecord(0x05, 0, codes));
  EXPECT_EQ(EncodeStatement("STATE" + path + " IDLE;", st), "Error");
  // The longest block that its one-byte length can announce.
  EXPECT_EQ(EncodeStatement("SDR 512 TDI (1" + std::string(251, '0') + ");", st), ":01020063FE9C");
  EXPECT_EQ(st.TdiData.size(), 254u);
}

TEST(Svf, TapStates) {
  const char* names[] = {"RESET",   "IDLE",    "DRSELECT", "DRCAPTURE", "DRSHIFT",   "DREXIT1",
                         "DRPAUSE", "DREXIT2", "DRUPDATE", "IRSELECT",  "IRCAPTURE", "IRSHIFT",
                         "IREXIT1", "IRPAUSE", "IREXIT2",  "IRUPDATE"};
  for (int i = 0; i < 16; ++i) {
    std::string text = std::string("  ") + names[i] + " x";
    std::string_view t = text;
    EXPECT_EQ(ParseTapState(t), ByteToHex(i)) << names[i];
    EXPECT_EQ(t, " x");
  }
  std::string_view t = "IDLE;";
  EXPECT_EQ(ParseTapState(t), "01");
  EXPECT_EQ(t, ";");
  t = "  idle;";
  EXPECT_EQ(ParseTapState(t), "");
  EXPECT_EQ(t, "idle;");
}

TEST(Svf, HexHelpers) {
  EXPECT_EQ(ReverseHexBytes("1234ABCD"), "CDAB3412");
  EXPECT_EQ(ReverseHexBytes("123456"), "563412");
  EXPECT_EQ(ReverseHexBytes("FE"), "FE");
  EXPECT_EQ(ReverseHexBytes(""), "");
  EXPECT_EQ(ReverseHexBytes("0123456789"), "8967452301");

  std::string target = "3412";
  AndHexDigits("FF00", target);
  EXPECT_EQ(target, "3400");
  AndHexDigits("0", target);  // another length: not applied
  EXPECT_EQ(target, "3400");
  target = "F7";
  AndHexDigits("3x", target);  // non-digits count as 0
  EXPECT_EQ(target, "30");

  char d = '?';
  EXPECT_TRUE(UniformHexDigit("FFFF", d));
  EXPECT_EQ(d, 'F');
  EXPECT_FALSE(UniformHexDigit("FFF0", d));
  EXPECT_FALSE(UniformHexDigit("", d));

  std::string s = "3412";
  AppendHexSum(s);
  EXPECT_EQ(s, "341246");
  s = "FFFF";
  AppendHexSum(s);
  EXPECT_EQ(s, "FFFFFE");  // plain sum modulo 256, not a two's complement
}

// Whatever the line, the answer is one of the three kinds and every record is well formed.
TEST(Svf, AnyLineIsSafe) {
  std::vector<std::string> lines;
  const std::string seeds[] = {
      "SDR 16 TDI (1234) TDO (ABCD) MASK (FFFF) SMASK (0F0F);",
      "RUNTEST DRPAUSE 100 TCK;",
      "STATE RESET IDLE DRPAUSE;",
      "ENDIR IRPAUSE;",
      "SIRS 8 TDI (FE);",
  };
  for (const std::string& s : seeds)
    for (size_t n = 0; n <= s.size(); ++n) lines.push_back(s.substr(0, n));
  std::mt19937 rng(4);
  const std::string alphabet = "SDRIMTAKCOUNE0123456789F ()$x;-\t\x1b";
  for (int i = 0; i < 3000; ++i) {
    std::string line = i % 2 ? "SDR " : "";
    size_t len = rng() % (i % 100 == 0 ? 2000 : 40);
    for (size_t k = 0; k < len; ++k)
      line.push_back(i % 3 ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng()));
    lines.push_back(line);
  }
  for (const std::string& line : lines) {
    TSvfStatement st;
    TSvfEncoding e = EncodeSvfLine(line, st);
    if (e.Outcome == esRECORD) {
      EXPECT_TRUE(HexRecordChecksumOk(e.Record)) << line;
      EXPECT_EQ(e.Record.size(), 11 + 2 * ParseHexRecord(e.Record).count) << line;
      if (st.BlockPending) {
        EXPECT_EQ(ParseHexRecord(e.Record).data[0], static_cast<char>(st.TdiData.size()));
      }
    } else {
      EXPECT_TRUE(e.Record.empty()) << line;
      EXPECT_EQ(e.Outcome == esERROR, !e.Reason.empty()) << line;
    }
  }
}
