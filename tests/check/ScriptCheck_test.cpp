#include "check/ScriptCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/package.h"
#include "formats/hex.h"
#include "formats/text.h"

namespace {

using Texts = std::vector<std::string>;

// The findings as "path:line: message" with the package folder cut off the paths.
Texts Report(const TScriptCheck& check, const std::string& dir) {
  Texts out;
  for (TCheckFinding f : check.Findings()) {
    if (f.Path.rfind(dir, 0) == 0) f.Path.erase(0, dir.size());
    std::string text = FormatFinding(f);
    for (size_t p; (p = text.find(dir)) != std::string::npos;) text.erase(p, dir.size());
    out.push_back(text);
  }
  return out;
}

TEST(ScriptCheck, SoundPackageHasNoFinding) {
  TPackage pkg;
  pkg.WriteSound();
  TScriptCheck check(pkg.Path());
  check.Run(pkg.Path() + "script.ini");
  EXPECT_EQ(Report(check, pkg.Path()), Texts{});
  EXPECT_EQ(check.FilesChecked(), 10);
  EXPECT_EQ(FormatSummary(check.Findings(), check.FilesChecked()), "no findings, 10 files checked");
}

// One fault of each kind; every one is reported with the file and the line it is in.
TEST(ScriptCheck, EachFaultWithItsPathAndLine) {
  TPackage pkg;
  pkg.WriteSound();
  pkg.Remove("BOOT_EXT_OPTION.HEX");
  pkg.Remove("DVI/script.ini");
  pkg.Write("script.ini", "rem faults\r\nX1\r\nwait x\r\nCM\r\nC0\r\nC3\r\nREM x\r\nC\r\n");
  const std::string end = ":00000001FF\n";
  pkg.Write("Qubra/badsum.hex", MakeHexRecord(0, 0, "11") + "\n:0100010022DD\n" + end);
  pkg.Write("Qubra/noend.hex", MakeHexRecord(0, 0, "11") + "\n");
  // Data ending exactly at 0xFFFF and record type 5 are sound; one byte further and type 6 not.
  pkg.Write("Qubra/past.hex",
            MakeHexRecord(0, 0xFFFE, "1122") + "\n" + MakeHexRecord(0, 0xFFFF, "1122") + "\n" +
                MakeHexRecord(5, 0, "00004000") + "\n" + MakeHexRecord(6, 0, "") + "\n" + end);
  pkg.Write("Qubra/lower.hex", ":0100000011ee\nnot hex\n:0300000011\n" + end);
  pkg.Write("Qubra/bad.svf", "STATE IDLE;\nSIR 8 TDI FE;\n// ok\nHDR 0;\n");
  pkg.Write("Qubra/script.ini",
            "P0 missing.hex\r\nrem\r\nP1 badsum.hex\r\nP2 noend.hex\r\nP3 past.hex\r\n"
            "P8 missing.svf\r\nP9 bad.svf\r\nV\r\nV1\r\nT2\r\nM\r\nMx\r\nCM\r\nPE lower.hex\r\n"
            "PB gone.hex 12\r\nP4 noend.hex\r\nUV\r\nP5 kernel.hex\r\nPA kernel.svf\r\n");
  // The kernel's endless files, reached through links, are never read.
  for (const char* name : {"Qubra/kernel.hex", "Qubra/kernel.svf"})
    std::filesystem::create_symlink("/proc/self/pagemap", pkg.Path() + name);
  TScriptCheck check(pkg.Path());
  check.Run(pkg.Path() + "script.ini");
  const Texts expected = {
      "script.ini:2: Syntax Error in script file line : 2",
      "script.ini:3: Bad wait time in \"wait x\": a number of milliseconds expected !!!",
      "Qubra/script.ini:1: Qubra/missing.hex File not found !!!",
      "Qubra/badsum.hex:2: bad record checksum",
      "Qubra/noend.hex: no end record",
      "Qubra/past.hex:2: data past 0xFFFF",
      "Qubra/past.hex:4: unknown record type 06",
      "Qubra/script.ini:6: Qubra/missing.svf File not found !!!",
      "Qubra/bad.svf:2: Error in Effect file line : 2 (unexpected text in SIR)",
      "Qubra/bad.svf:4: Error in Effect file line : 4 (unknown statement)",
      "Qubra/script.ini:8: Component letter missing in \"V\" !!!",
      "Qubra/script.ini:9: Version text missing in \"V1\" !!!",
      "Qubra/script.ini:10: Version text missing in \"T2\" !!!",
      "Qubra/script.ini:11: Card number missing in \"M\" !!!",
      "Qubra/script.ini:12: Card number must be one digit 0 to 9 in \"Mx\" !!!",
      "Qubra/script.ini:13: Syntax Error in script file line : 13",
      "Qubra/lower.hex:1: character 12 is not an upper-case hex digit",
      "Qubra/lower.hex:2: not an Intel HEX record",
      "Qubra/lower.hex:3: record length does not match its byte count",
      "Qubra/script.ini:15: Qubra/gone.hex 12 File not found !!!",
      "Qubra/script.ini:15: Bad checksum \"12\" in \"PB gone.hex 12\": four hex digits expected "
      "!!!",
      "Qubra/script.ini:17: Version text missing in \"UV\" !!!",
      "Qubra/script.ini:18: Qubra/kernel.hex File not found !!!",
      "Qubra/script.ini:19: Qubra/kernel.svf File not found !!!",
      "script.ini:5: DVI/script.ini File not found !!!",
      "script.ini:6: Syntax Error in script file line : 6",
      "script.ini:7: Syntax Error in script file line : 7",
      "script.ini:8: Syntax Error in script file line : 8",
      "script.ini: closing \"PB BOOT_EXT_OPTION.HEX\": BOOT_EXT_OPTION.HEX File not found !!!",
  };
  EXPECT_EQ(Report(check, pkg.Path()), expected);
  EXPECT_EQ(FormatSummary(check.Findings(), check.FilesChecked()),
            "29 findings in 7 files (8 files checked)");
}

// "CM" selects Qubra/ for a device of type 30 and UQubra/ for type 35: both are walked, and a
// run stops at a folder that is missing or cannot be read.
TEST(ScriptCheck, MotherboardFolders) {
  enum TFolder { kSound, kFaulty, kMissing, kLoop };
  struct Case {
    TFolder qubra, uqubra;
    Texts findings;
  };
  const Case cases[] = {
      {kSound, kSound, {}},
      {kSound, kFaulty, {"UQubra/other.ini:2: Syntax Error in script file line : 2"}},
      {kSound,
       kMissing,
       {"other.ini:1: UQubra/other.ini File not found !!! (a device of type 35 stops here)"}},
      {kMissing,
       kSound,
       {"other.ini:1: Qubra/other.ini File not found !!! (a device of type 30 stops here)"}},
      {kLoop,
       kSound,
       {"other.ini:1: Qubra/other.ini File not found !!! (Too many levels of symbolic links; a "
        "device of type 30 stops here)"}},
      {kMissing,
       kMissing,
       {"other.ini:1: Qubra/other.ini File not found !!! (nor is there UQubra/other.ini)"}},
  };
  for (const Case& c : cases) {
    TPackage pkg;
    pkg.Write("other.ini", "CM\n");
    for (const auto& [folder, state] : {std::pair{"Qubra", c.qubra}, {"UQubra", c.uqubra}}) {
      if (state == kSound) pkg.Write(std::string(folder) + "/other.ini", "rem\nRS\n");
      if (state == kFaulty) pkg.Write(std::string(folder) + "/other.ini", "rem\nX\n");
      // A folder that even root cannot look into.
      if (state == kLoop) std::filesystem::create_symlink(folder, pkg.Path() + folder);
    }
    TScriptCheck check(pkg.Path());
    check.Run(pkg.Path() + "other.ini");  // not script.ini: no closing boot file
    EXPECT_EQ(Report(check, pkg.Path()), c.findings) << c.qubra << c.uqubra;
  }
}

// The card character goes through HexValue as in a run: anything that converts to 0 is DVI.
TEST(ScriptCheck, DaughterCardLines) {
  const std::pair<std::string, bool> cases[] = {
      {"C0", true},  {"C 0", true}, {"Cx", true},  {"Cz", true}, {"C1", false},
      {"C9", false}, {"CA", false}, {"CF", false}, {"C", false}, {"cm", false},
  };
  for (const auto& [line, dvi] : cases) {
    TPackage pkg;
    pkg.Write("readid.ini", "rem\n" + line + "\n");
    pkg.Write("DVI/readid.ini", "FI\n");
    TScriptCheck check(pkg.Path());
    check.Run(pkg.Path() + "readid.ini");
    const Texts expected =
        dvi ? Texts{} : Texts{"readid.ini:2: Syntax Error in script file line : 2"};
    EXPECT_EQ(Report(check, pkg.Path()), expected) << line;
    EXPECT_EQ(check.FilesChecked(), dvi ? 2 : 1) << line;
  }
}

TEST(ScriptCheck, MissingMainScriptAndEmptyFiles) {
  TPackage pkg;
  TScriptCheck missing(pkg.Path());
  missing.Run(pkg.Path() + "script.ini");
  EXPECT_EQ(Report(missing, pkg.Path()), Texts{"script.ini: script.ini File not found !!!"});

  pkg.Write("main.ini", "P5 empty.hex\nPA empty.svf\nPE empty.hex\nPB boot.hex\n");
  pkg.Write("empty.hex", "");
  pkg.Write("empty.svf", "");
  pkg.Write("boot.hex", "");
  TScriptCheck check(pkg.Path());
  check.Run(pkg.Path() + "main.ini");
  EXPECT_EQ(Report(check, pkg.Path()),
            (Texts{"empty.hex: Keyb File Empty !!!", "empty.svf: Effect File Empty !!!",
                   "boot.hex: Boot File Empty !!!"}));
}

// A file of garbage gives a bounded report, not one line per line.
TEST(ScriptCheck, BadLinesPerFileAreCapped) {
  TPackage pkg;
  std::string garbage;
  for (int i = 0; i < 50; ++i) garbage += "garbage\n";
  pkg.Write("main.ini", "P0 junk.hex\n");
  pkg.Write("junk.hex", garbage);
  TScriptCheck check(pkg.Path());
  check.Run(pkg.Path() + "main.ini");
  const Texts report = Report(check, pkg.Path());
  ASSERT_EQ(report.size(), 12u);
  EXPECT_EQ(report[9], "junk.hex:10: not an Intel HEX record");
  EXPECT_EQ(report[10], "junk.hex:11: more bad lines from here on are not listed");
  EXPECT_EQ(report[11], "junk.hex: no end record");
}

// Effect files exported by vendor tools do not encode line by line; where the converter takes
// them, the report says so once per file.
TEST(ScriptCheck, VendorSvfFilesPointToTheConverter) {
  TPackage pkg;
  pkg.Write("main.ini", "P8 a.svf\nP9 b.svf\nPA c.svf\n");
  pkg.Write("a.svf", "! vendor\nsir 8 tdi (fe);\n");
  pkg.Write("b.svf", "RUNTEST 1E-3 SEC;\n");
  pkg.Write("c.svf", "PIO (HLX);\n");
  TScriptCheck check(pkg.Path());
  check.Run(pkg.Path() + "main.ini");
  const std::string converts = "standard SVF: \"qubra-updater --convert-svf\" ";
  EXPECT_EQ(Report(check, pkg.Path()),
            (Texts{"a.svf:1: Error in Effect file line : 1 (unknown statement)",
                   "a.svf:2: Error in Effect file line : 2 (unknown statement)",
                   "a.svf: " + converts + "converts it into an effect file the device plays",
                   "b.svf:1: Error in Effect file line : 1 (RUNTEST count is not a number "
                   "followed by a blank)",
                   "b.svf: " + converts +
                       "with --tck-hz, the device's TCK rate, converts it into an effect file the "
                       "device plays",
                   "c.svf:1: Error in Effect file line : 1 (unknown statement)"}));
}

TEST(ScriptCheck, Formatting) {
  EXPECT_EQ(FormatFinding({"a/b.ini", 7, "oops"}), "a/b.ini:7: oops");
  EXPECT_EQ(FormatFinding({"a/b.ini", 0, "oops"}), "a/b.ini: oops");
  EXPECT_EQ(FormatSummary({{"x", 1, "m"}}, 1), "1 finding in 1 file (1 file checked)");

  // Runaway names are quoted cut, in the message and in the path before it.
  const std::string runaway(5000, 'n');
  EXPECT_EQ(FormatFinding({runaway, 7, "oops"}), Excerpt(runaway) + ":7: oops");
  TPackage pkg;
  pkg.Write("x.ini", "PE " + runaway + "\r\nM" + runaway + "\r\n");
  TScriptCheck check(pkg.Path());
  check.Run(pkg.Path() + "x.ini");
  ASSERT_EQ(check.Findings().size(), 2u);
  EXPECT_EQ(check.Findings()[0].Message, Excerpt(pkg.Path() + runaway) + " File not found !!!");
  EXPECT_EQ(check.Findings()[1].Message,
            "Card number must be one digit 0 to 9 in \"" + Excerpt("M" + runaway) + "\" !!!");
}

}  // namespace
