#include "convert/svfconvert.h"

#include <gtest/gtest.h>

#include "formats/text.h"
#include "scratch_dir.h"

namespace {

using namespace std::string_literals;

// Every output starts with the standard's end states, whatever a file before left.
const std::string kStart = "ENDIR IDLE;\nENDDR IDLE;\n";

struct TConverted {
  bool ok = false;
  std::string text;   // the lines written, each ending in "\n"
  std::string error;  // "line N: why", one line for each error
  std::vector<std::string> warnings;
};

std::string Repeat(const std::string& text, int times) {
  std::string all;
  while (times-- > 0) all += text;
  return all;
}

TConverted Convert(const std::string& svf, std::optional<TSvfReal> tck_hz = {}) {
  ScratchDir dir;
  dir.Write("in.svf", svf);
  TConverted c;
  const TSvfConvertResult r =
      ConvertSvfFile(dir.Path() + "in.svf", TSvfConvertOptions{tck_hz}, [&c](std::string_view l) {
        c.text += std::string(l) + "\n";
        return true;
      });
  c.ok = r.Ok;
  for (const TSvfConvertNote& e : r.Errors)
    c.error += (c.error.empty() ? "" : "\n") + ("line " + std::to_string(e.Line)) + ": " + e.Text;
  for (const TSvfConvertNote& w : r.Warnings)
    c.warnings.push_back("line " + std::to_string(w.Line) + ": " + w.Text);
  return c;
}

TEST(SvfConvert, StatementsToEffectFileLines) {
  const std::pair<std::string, std::string> cases[] = {
      // Any case, statements over several lines and several on one, comments kept as "//".
      {"sir 8 tdi (fe);", kStart + "SIR 8 TDI (FE);\n"},
      {"! head\r\nSIR 8\r\n TDI (F\r\nE); SDR 8 TDI(0f) // tail\n;\n\n",
       "// head\n" + kStart + "SIR 8 TDI (FE);\n// tail\nSDR 8 TDI (0F);\n"},
      // A byte-order mark (older Notepad) is no part of the first statement.
      {"\xEF\xBB\xBFSIR 8 TDI (FE);", kStart + "SIR 8 TDI (FE);\n"},
      // Headers are shifted first, trailers last: HIR F, SIR 101, TIR 01 make 0 1101 1111.
      {"HIR 4 TDI (F); TIR 2 TDI (1); SIR 3 TDI (5);", kStart + "SIR 9 TDI (00DF);\n"},
      // TDO of the statement only: the header's bit and the padding are masked off.
      {"HDR 1 TDI (0); SDR 8 TDI (00) TDO (A5);",
       kStart + "SDR 9 TDI (0000) TDO (014A) MASK (01FE);\n"},
      // TDI, MASK and SMASK are kept at the same length; TDO is compared only where given;
      // a new length brings masks of all ones.
      {"SDR 8 TDI (12) MASK (0F) SMASK (F0); SDR 8 TDO (34); SDR 16 TDI (1234) TDO (5678);",
       kStart + "SDR 8 TDI (12) SMASK (F0);\nSDR 8 TDI (12) TDO (34) MASK (0F) SMASK (F0);\n" +
           "SDR 16 TDI (1234) TDO (5678);\n"},
      // Times are counted up at the file's rate; the run state and the end state carry over.
      {"FREQUENCY 1E6 HZ; RUNTEST 1E-3 SEC; RUNTEST DRPAUSE 5 TCK 2E-6 SEC;\n"
       "RUNTEST 1.5 TCK ENDSTATE IDLE; RUNTEST 0 TCK;",
       kStart + "// FREQUENCY 1E6 HZ dropped: the device clocks TCK at its own rate\n" +
           "RUNTEST IDLE 1000 TCK;\nRUNTEST DRPAUSE 5 TCK;\nRUNTEST DRPAUSE 2 TCK;\nSTATE IDLE;\n" +
           "RUNTEST DRPAUSE 0 TCK;\nSTATE IDLE;\n"},
      {"RUNTEST 3000000000 TCK;",
       kStart + "RUNTEST IDLE 2147483647 TCK;\nRUNTEST IDLE 852516353 TCK;\n"},
      // A scan of no bits still leaves the chain in its end state.
      {"TRST ABSENT; SDR 0; ENDDR DRPAUSE; endir irpause; STATE RESET IDLE; FREQUENCY; SDR 0;\n"
       "SIR 0; HIR 1 TDI (1); SIR 0;",
       kStart + "TRST ABSENT;\nSTATE IDLE;\nENDDR DRPAUSE;\nENDIR IRPAUSE;\nSTATE RESET IDLE;\n" +
           "// FREQUENCY dropped: the device clocks TCK at its own rate\n" +
           "STATE DRPAUSE;\nSTATE IRPAUSE;\nSIR 1 TDI (01);\n"},
      // Long scans are cut into statements of 512 bits, the first shifted first.
      {"SDR 1030 TDI (3" + std::string(256, '0') + "1) SMASK (3" + std::string(257, 'F') + ");",
       kStart + "SDRS 512 TDI (" + std::string(126, '0') + "01);\nSDRC 512 TDI (" +
           std::string(128, '0') + ");\nSDRE 6 TDI (30);\n"},
  };
  for (const auto& [svf, effect] : cases) {
    const TConverted c = Convert(svf);
    EXPECT_TRUE(c.ok) << svf << ": " << c.error;
    EXPECT_EQ(c.text, effect) << svf;
  }
  EXPECT_EQ(Convert("RUNTEST 1E-3 SEC;", ParseSvfReal("2.5e6")).text,
            kStart + "RUNTEST IDLE 2500 TCK;\n");
  EXPECT_EQ(Convert("FREQUENCY 1E9 HZ; RUNTEST 1E-3 SEC;", ParseSvfReal("1000")).text,
            kStart + "// FREQUENCY 1E9 HZ dropped: the device clocks TCK at its own rate\n" +
                "RUNTEST IDLE 1 TCK;\n")
      << "the device's rate wins over the file's";
}

TEST(SvfConvert, ErrorsNameTheLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"PIO (HLX);", "line 1: PIO: the device drives no parallel pins; it cannot play this file"},
      {"\nPIOMAP (IN A);", "line 2: PIOMAP: the device drives no parallel pins"},
      {"RUNTEST 1E-3 SEC;", "line 1: RUNTEST 1E-3 SEC: no FREQUENCY gives the TCK rate"},
      {"RUNTEST IDLE 10 SCK;", "line 1: RUNTEST counts SCK"},
      {"SDR 8 TDI (00);\nSDR 16;",
       "line 2: SDR: TDI must be given when the length changes (from 8 to 16 bits)"},
      {"SIR 4 TDI (1F);", "line 1: SIR: TDI: the value has more than 4 bits"},
      {"SIR 8 TDI (0G);", "line 1: SIR: TDI: \"G\" is not a hex digit"},
      {"SDR 8 TDI (00) TDO (A5) MASK (0X);", "line 1: SDR: MASK: \"X\" is not a hex digit"},
      {"SIR 8 TDI (00) SMASK (1FF);", "line 1: SIR: SMASK: the value has more than 8 bits"},
      {"SDR 8 TDI (00) TDI (01);", "line 1: SDR: TDI given twice"},
      {"SDR 8 TDI (00) TDO;", "line 1: SDR: TDO without its value in parentheses"},
      {"SIR x TDI (00);", "line 1: SIR: the bit length must follow as a whole number"},
      {"ENDIR DRSHIFT;", "line 1: ENDIR DRSHIFT: not a stable state"},
      {"ENDIR WHATEVER;", "line 1: ENDIR: \"WHATEVER\" is no TAP state"},
      {"STATE IDLE DRSELECT;", "line 1: STATE path ending in DRSELECT: not a stable state"},
      {"FREQUENCY 0 HZ;", "line 1: FREQUENCY needs a rate above 0 in HZ"},
      {"TRST MAYBE;", "line 1: TRST needs one of ON, OFF, Z or ABSENT"},
      {"\n\nFOO 1;", "line 3: unknown statement \"FOO\""},
      {std::string(5000, 'F') + " 1;",
       "line 1: unknown statement \"" + Excerpt(std::string(5000, 'F')) + "\""},
      {"SIR 8\nTDI (FE)", "line 1: statement not ended by \";\""},
      {"SIR 8 TDI (FE;", "line 1: value not closed by \")\""},
      {"SIR 8 TDI FE);", "line 1: \")\" without \"(\""},
      // The line of the bad token, not of the statement it stands in.
      {"SDR 24 TDI (\n0000\n\n0G\n00);", "line 4: SDR: TDI: \"G\" is not a hex digit"},
      {"SIR 4\nTDI (\nF\n1F);", "line 4: SIR: TDI: the value has more than 4 bits"},
      {"SIR 8\n\nTDI (FE)\nFOO;", "line 4: SIR: unexpected \"FOO\""},
      {"RUNTEST\nIDLE\n1E-3 SEC;", "line 3: RUNTEST 1E-3 SEC: no FREQUENCY"},
      {"FREQUENCY\n0\nHZ;", "line 2: FREQUENCY needs a rate above 0 in HZ"},
      {"RUNTEST 10 TCK ENDSTATE IDLE\nNOW;", "line 2: RUNTEST: unexpected \"NOW\""},
      {"SDR 8 TDI (00\n\n", "line 1: value not closed by \")\""},
      // No real part needs a longer scan; a few bytes must not ask for gigabytes.
      {"SDR 67108865 TDI (0);",
       "line 1: SDR: 67108865 bits, more than the longest scan converted (67108864 bits)"},
      {"SDR 99999999999999999999 TDI (0);", "line 1: SDR: the bit length must follow"},
      {"\nHDR 65537 TDI (0);",
       "line 2: HDR: 65537 bits, more than the longest header or trailer converted (65536 bits)"},
      {"HIR 8 TDI (0);\nSIR 67108860 TDI (0);",
       "line 2: SIR: 67108868 bits with header and trailer, more than the longest scan converted "
       "(67108864 bits)"},
      {"\xFF\xFES\0I\0R\0 \08\0;\0"s,
       "line 0: UTF-16 text, which SVF is not: save the file as ASCII or UTF-8 text"},
      {"\xFE\xFF\0S\0I\0R\0 \08\0;"s,
       "line 0: UTF-16 text, which SVF is not: save the file as ASCII or UTF-8 text"},
      {"\0S\0I\0R"s, "line 0: UTF-16 text"},
      // A few bytes that would expand to more than 1 GiB are refused unwritten, at once.
      {Repeat("SDR 67108864 TDI (0);\n", 60),
       "line 58: the effect file would grow beyond 1073741824 bytes"},
  };
  for (const auto& [svf, error] : cases) {
    const TConverted c = Convert(svf);
    EXPECT_FALSE(c.ok) << svf;
    EXPECT_EQ(c.text, "") << svf;
    EXPECT_EQ(c.error.substr(0, error.size()), error) << svf;
  }
  ScratchDir dir;
  const TSvfConvertResult missing =
      ConvertSvfFile(dir.Path() + "none.svf", {}, [](std::string_view) { return true; });
  EXPECT_FALSE(missing.Ok);
  ASSERT_EQ(missing.Errors.size(), 1u);
  EXPECT_EQ(missing.Errors[0].Line, 0);
  EXPECT_EQ(missing.Errors[0].Text, "cannot be read (No such file or directory)");
  dir.Write("in.svf", "SIR 8 TDI (FE);\nSIR 8 TDI (FF);\n");
  int writes = 0;
  const TSvfConvertResult unwritable = ConvertSvfFile(dir.Path() + "in.svf", {}, [&](auto) {
    ++writes;
    return false;
  });
  ASSERT_EQ(unwritable.Errors.size(), 1u);
  EXPECT_EQ(unwritable.Errors[0].Text, "the effect file could not be written");
  EXPECT_EQ(writes, 1) << "nothing more is tried once the output failed";
  TSvfConvertOptions small;
  small.MaxOutputBytes = 50;  // the start and the first SIR, not the second
  const TSvfConvertResult big =
      ConvertSvfFile(dir.Path() + "in.svf", small, [](auto) { return true; });
  ASSERT_EQ(big.Errors.size(), 1u);
  EXPECT_EQ(big.Errors[0].Line, 2);
  EXPECT_EQ(big.Errors[0].Text,
            "the effect file would grow beyond 50 bytes, more than any real part needs");
}

// Every error of the file is listed at once, up to a limit; nothing is written after the first.
TEST(SvfConvert, ErrorsAreAllListed) {
  const TConverted c = Convert(
      "SIR 8 TDI (FE);\nPIO (HL);\nSIR 8 TDI FE);\nSDR 8\nTDI (0G);\nSIR 8 TDI (01);\nFOO;");
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.error,
            "line 2: PIO: the device drives no parallel pins; it cannot play this file\n"
            "line 3: \")\" without \"(\"\n"
            "line 5: SDR: TDI: \"G\" is not a hex digit\n"
            "line 7: unknown statement \"FOO\"");
  EXPECT_EQ(c.text, "");
  std::string many;
  for (int i = 0; i < 30; ++i) many += "FOO;\n";
  const TConverted capped = Convert(many);
  const std::vector<std::string> lines = SplitLines(capped.error);
  ASSERT_EQ(lines.size(), kSvfMaxErrors + 1);
  EXPECT_EQ(lines[kSvfMaxErrors - 1], "line 20: unknown statement \"FOO\"");
  EXPECT_EQ(lines.back(), "line 0: stopped after 20 errors");
}

TEST(SvfConvert, WarningsForWhatTheDeviceDoesNotDo) {
  const TConverted c = Convert("TRST ON;\n\nTRST z; FREQUENCY 1E6 HZ;\nRUNTEST 10 SCK 1E-5 SEC;");
  EXPECT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.warnings,
            (std::vector<std::string>{
                "line 1: TRST ON: the device does not drive TRST, the chain is not reset",
                "line 3: TRST Z: the device does not drive TRST, the chain is not reset",
                "line 4: RUNTEST: the SCK count is dropped, the time is kept"}));
  EXPECT_NE(c.text.find("TRST ON;\nTRST Z;\n"), std::string::npos);
  EXPECT_NE(c.text.find("RUNTEST IDLE 10 TCK;"), std::string::npos);
}

TEST(SvfConvert, NumbersAndClocks) {
  const auto clocks = [](const char* seconds, const char* hz) {
    return ClocksFor(*ParseSvfReal(seconds), *ParseSvfReal(hz));
  };
  EXPECT_EQ(clocks("1E-3", "1E6"), 1000u) << "exact, not one more";
  EXPECT_EQ(clocks("3.3E-3", "3E6"), 9900u);
  EXPECT_EQ(clocks("0.0000001", "1E6"), 1u) << "at least the time asked";
  EXPECT_EQ(clocks("1E-60", "1"), 1u);
  EXPECT_EQ(clocks("0", "1E6"), 0u);
  EXPECT_EQ(clocks("1099511627776", "1"), kSvfMaxClocks);
  EXPECT_EQ(clocks("1099511627777", "1"), std::nullopt);
  EXPECT_EQ(clocks("1E30", "1E30"), std::nullopt);
  // Digits past the nineteenth round up.
  EXPECT_EQ(clocks("0.00000000000000000011", "1E20"), 11u);
  EXPECT_EQ(clocks("1.0000000000000000000001", "1"), 2u);
  for (const char* bad : {"", ".", "-1", "1E", "1E+", "1.2.3", "0x10", "1 "})
    EXPECT_FALSE(ParseSvfReal(bad)) << bad;
}

}  // namespace
