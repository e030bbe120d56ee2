// Effect files as FPGA, PROM and CPLD tools write them, converted and played by the JTAG engine
// into the simulated device, against a plain step-by-step reading of the original file.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <sstream>

#include "convert/svfconvert.h"
#include "engines/engine_harness.h"
#include "engines/progjtag.h"
#include "engines/svf.h"
#include "formats/hex.h"
#include "formats/text.h"
#include "jtag_chain.h"
#include "scratch_dir.h"
#include "sim_device.h"

namespace {

using TBits = std::vector<bool>;  // bit 0 shifted first

TBits Bits(const std::string& hex, size_t length) {
  TBits b(length, false);
  for (size_t i = 0; i < 4 * hex.size(); ++i)
    if (i < length && (HexValue(hex[hex.size() - 1 - i / 4]) >> (i % 4) & 1)) b[i] = true;
  return b;
}

std::string Bytes(const TBits& b) {
  std::string r((b.size() + 7) / 8, '\0');
  for (size_t i = 0; i < b.size(); ++i)
    if (b[i]) r[i / 8] = static_cast<char>(r[i / 8] | 1 << (i % 8));
  return r;
}

uint8_t TapCode(const std::string& name) {
  std::string_view rest = name;
  const std::string code = ParseTapState(rest);
  EXPECT_TRUE(!code.empty() && rest.empty()) << name;
  return code.empty() ? 0 : static_cast<uint8_t>(HexValue(code[0]) * 16 + HexValue(code[1]));
}

// The original read one statement at a time, as a JTAG player reads it: headers and trailers
// around every scan, whole scans into a chain of the simulator's model, TDO compared where the
// mask says, waits counted in clocks, and the end, run and path states handed to the chain.
struct TReference {
  struct TPattern {
    size_t length = 0;
    TBits tdi, tdo, mask, smask;
    bool has_tdo = false;
  };
  explicit TReference(TJtagChain c, double tck_hz = 0) : chain(std::move(c)), hz(tck_hz) {}

  void Play(const std::string& svf) {
    std::string text;
    std::istringstream lines(svf);
    for (std::string line; std::getline(lines, line);) {
      line = line.substr(0, std::min(line.find('!'), line.find("//")));
      for (char c : line)
        text += c == '(' || c == ')' ? std::string(" ") + c + " "
                                     : std::string(1, static_cast<char>(std::toupper(c)));
      text += ' ';
    }
    std::istringstream statements(text);
    for (std::string st; std::getline(statements, st, ';') && failed == 0;) Statement(st);
  }

  void Statement(const std::string& st) {
    std::istringstream in(st);
    std::vector<std::string> w;
    for (std::string t; in >> t;) {
      if (t == "(") {
        std::string v;
        for (in >> t; t != ")"; in >> t) v += t;
        w.back() += "=" + v;
      } else {
        w.push_back(t);
      }
    }
    if (w.empty()) return;
    if (w[0] == "HIR" || w[0] == "SIR") Apply(w[0] == "HIR" ? hir : sir, w);
    if (w[0] == "HDR" || w[0] == "SDR") Apply(w[0] == "HDR" ? hdr : sdr, w);
    if (w[0] == "TIR") Apply(tir, w);
    if (w[0] == "TDR") Apply(tdr, w);
    if (w[0] == "SIR" || w[0] == "SDR") Scan(w[0] == "SIR");
    if (w[0] == "FREQUENCY" && w.size() > 1 && hz == 0) file_hz = std::stod(w[1]);
    if (w[0] == "RUNTEST") RunTest(w);
    if (w[0] == "ENDIR") {
      EXPECT_TRUE(chain.EndIr(TapCode(w[1])));
    }
    if (w[0] == "ENDDR") {
      EXPECT_TRUE(chain.EndDr(TapCode(w[1])));
    }
    if (w[0] == "STATE") {
      std::string path;
      for (size_t i = 1; i < w.size(); ++i) path += static_cast<char>(TapCode(w[i]));
      EXPECT_TRUE(chain.State(path)) << chain.Refusal();
    }
  }

  void Apply(TPattern& p, const std::vector<std::string>& w) {
    const size_t length = std::stoul(w[1]);
    std::map<std::string, std::string> v;
    for (size_t i = 2; i < w.size(); ++i)
      v[w[i].substr(0, w[i].find('='))] = w[i].substr(w[i].find('=') + 1);
    const bool same = length == p.length;
    p.length = length;
    if (v.count("TDI") || !same) p.tdi = Bits(v["TDI"], length);
    p.has_tdo = v.count("TDO");
    p.tdo = Bits(v["TDO"], length);
    if (v.count("MASK") || !same)
      p.mask = v.count("MASK") ? Bits(v["MASK"], length) : TBits(length, true);
    if (v.count("SMASK") || !same)
      p.smask = v.count("SMASK") ? Bits(v["SMASK"], length) : TBits(length, true);
  }

  void Scan(bool ir) {
    TBits tdi, tdo, care;
    for (const TPattern* p : ir ? std::vector{&hir, &sir, &tir} : std::vector{&hdr, &sdr, &tdr}) {
      for (size_t i = 0; i < p->length; ++i) {
        tdi.push_back(p->tdi[i] && p->smask[i]);  // a don't-care TDI bit is sent as 0
        tdo.push_back(p->tdo[i]);
        care.push_back(p->has_tdo && p->mask[i]);
      }
    }
    const int n = static_cast<int>(tdi.size());
    const auto got =
        ir ? chain.ScanIr(n, Bytes(tdi), true, true) : chain.ScanDr(n, Bytes(tdi), true, true);
    ASSERT_TRUE(got) << "scan refused by the chain";
    if (std::find(care.begin(), care.end(), true) == care.end()) return;
    ++checks;
    for (size_t i = 0; i < tdi.size(); ++i)
      if (care[i] && ((static_cast<uint8_t>((*got)[i / 8]) >> (i % 8) & 1) != tdo[i])) ++failed;
  }

  // A run state named is also the end state, unless ENDSTATE names another; both are kept for
  // the RUNTEST statements that name none.
  void RunTest(const std::vector<std::string>& w) {
    size_t i = 1;
    if (i < w.size() && std::isalpha(static_cast<unsigned char>(w[i][0])))
      run_state = end_state = w[i++];
    double clocks = 0;
    if (i + 1 < w.size() && w[i + 1] == "TCK") clocks = std::ceil(std::stod(w[i])), i += 2;
    if (i + 1 < w.size() && w[i + 1] == "SEC") {
      const double rate = hz > 0 ? hz : file_hz;
      clocks = std::max(clocks, std::ceil(std::stod(w[i]) * rate * (1 - 1e-12)));
    }
    const auto end = std::find(w.begin(), w.end(), "ENDSTATE");
    if (end != w.end() && end + 1 != w.end()) end_state = end[1];
    EXPECT_TRUE(chain.RunTest(static_cast<uint32_t>(clocks), TapCode(run_state)));
    if (end_state != run_state) {
      EXPECT_TRUE(chain.State(std::string(1, static_cast<char>(TapCode(end_state)))));
    }
  }

  TJtagChain chain;
  std::string run_state = "IDLE", end_state = "IDLE";
  double hz = 0, file_hz = 0;
  TPattern hir, hdr, tir, tdr, sir, sdr;
  int checks = 0, failed = 0;
};

struct TPlayed {
  std::string effect;  // the converted file
  std::vector<std::string> errors;
  std::string storage;
  uint64_t clocks = 0;
};

// Converts `svf`, checks that every line encodes, and plays the result through the JTAG engine
// into the simulated device, as a "P" instruction of a run does.
TPlayed ConvertAndPlay(TSimDevice& dev, char target, const std::string& svf,
                       std::optional<TSvfReal> tck_hz = {}) {
  ScratchDir dir;
  dir.Write("vendor.svf", svf);
  TPlayed p;
  const TSvfConvertResult r =
      ConvertSvfFile(dir.Path() + "vendor.svf", {tck_hz}, [&p](std::string_view line) {
        p.effect += std::string(line) + "\r\n";
        return true;
      });
  for (const TSvfConvertNote& e : r.Errors) ADD_FAILURE() << e.Line << ": " << e.Text;
  for (const std::string& line : SplitLines(p.effect)) {
    TSvfStatement st;
    EXPECT_NE(EncodeSvfLine(line, st).Outcome, esERROR) << line;
  }
  dir.Write("effect.svf", p.effect);
  dev.Feed("?1yU254yU%30");
  TProgJtag engine;
  EngineHarness<TProgJtag> h(engine);
  engine.SetCardDir(dir.Path());
  engine.SetUpdateAllowed(true);
  engine.Pause = [](int) {};
  h.device = [&dev](const std::string& sent) { return dev.Feed(sent); };
  EXPECT_TRUE(h.Offer(std::string("P") + target + " effect.svf"));
  h.RunUntilIdle(1 << 24);
  p.errors = h.errors;
  p.storage = dev.Jtag(target).Storage();
  p.clocks = dev.Jtag(target).RunClocks();
  return p;
}

// Played both ways, the chain ends the same, the same checks fail and no wait is shorter.
TPlayed ExpectSameEffect(const std::string& svf, char target, TSimConfig config = {},
                         double tck_hz = 0) {
  TSimDevice dev(config);
  TReference ref(dev.Jtag(target), tck_hz);
  ref.Play(svf);
  const TPlayed p = ConvertAndPlay(
      dev, target, svf, tck_hz > 0 ? ParseSvfReal(std::to_string(tck_hz)) : std::nullopt);
  EXPECT_GT(ref.checks + ref.chain.RunClocks(), 0u) << "the file must do something";
  EXPECT_EQ(p.storage, ref.chain.Storage());
  EXPECT_EQ(p.errors.empty(), ref.failed == 0) << (p.errors.empty() ? "" : p.errors[0]);
  for (const std::string& e : p.errors)
    EXPECT_EQ(e.rfind("Error while executing Effect file line : ", 0), 0u) << e;
  EXPECT_GE(p.clocks, ref.chain.RunClocks());
  return p;
}

std::string RandomHex(std::mt19937& rng, size_t digits) {
  std::string r;
  while (r.size() < digits) r += HexDigit(static_cast<int>(rng()));
  return r;
}

// Long values over several lines of 64 digits, as the tools print them.
std::string Wrapped(const std::string& hex) {
  std::string r;
  for (size_t at = 0; at < hex.size(); at += 64) r += "\n        " + hex.substr(at, 64);
  return r;
}

std::string PromFile(const std::string& data, const std::string& expected) {
  const std::string ones(data.size(), 'F');
  return "// Programming file for PROM 1, as a PROM tool writes it\n"
         "TRST OFF;\nENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\nFREQUENCY 1E6 HZ;\n"
         "// Check the identification\nSIR 8 TDI (fe) SMASK (ff);\n"
         "SDR 32 TDI (00000000) SMASK (ffffffff) TDO (0c0de801) MASK (0fffffff);\n"
         "// Erase, program, verify\nSIR 8 TDI (ec);\nRUNTEST 2000 TCK;\nSIR 8 TDI (ea);\nSDR " +
         std::to_string(4 * data.size()) + " TDI (" + Wrapped(data) + ") SMASK (" + Wrapped(ones) +
         ");\nRUNTEST 1.00E-03 SEC;\nSIR 8 TDI (ee);\nSDR " + std::to_string(4 * data.size()) +
         " TDI (0)\n    TDO (" + Wrapped(expected) + ")\n    MASK (" + Wrapped(ones) + ");\n";
}

TEST(SvfVendorTest, PromProgramAndVerifyWithLongScans) {
  std::mt19937 rng(7);
  const std::string data = RandomHex(rng, 1024);  // 4096 bits, eight statements each way
  const TPlayed p = ExpectSameEffect(PromFile(data, data), '8');
  EXPECT_TRUE(p.errors.empty());
  EXPECT_EQ(p.storage.size(), 512u);
  EXPECT_EQ(ByteToHex(static_cast<uint8_t>(p.storage[0])), data.substr(1022)) << "bit 0 first";
  EXPECT_NE(p.effect.find("SDRS 512 TDI"), std::string::npos);
  EXPECT_NE(p.effect.find("SDRE 512 TDI"), std::string::npos);

  std::string wrong = data;
  wrong[700] = wrong[700] == '0' ? '1' : '0';
  EXPECT_FALSE(ExpectSameEffect(PromFile(data, wrong), '8').errors.empty());
}

TEST(SvfVendorTest, CpldBehindOtherPartsWithHeadersAndTrailers) {
  std::mt19937 rng(11);
  const std::string page1 = RandomHex(rng, 250), page2 = RandomHex(rng, 250);
  const std::string cpld =
      "! CPLD with two parts between it and TDO, one between TDI and it\n"
      "hir 16 tdi (ffff); tir 8 tdi (ff);\nhdr 2 tdi (0); tdr 1 tdi (1);\n"
      "endir idle; enddr idle; state reset idle;\n"
      "sir 8 tdi (fe); sdr 32 tdi (00000000) tdo (0c0dea01) mask (0fffffff);\n"
      "sir 8 tdi (ec); runtest idle 100 tck;\n"
      "sir 8 tdi (ea);\nsdr 1000 tdi (" +
      Wrapped(page1) + ");\nsdr 1000 tdi (" + Wrapped(page2) +
      "); ! same length, new value\nruntest 50 tck;\n"
      "sir 8 tdi (ee);\nsdr 1000 tdi (0) tdo (" +
      Wrapped(page1) + ");\nsdr 1000 tdo (" + Wrapped(page2) +
      "); ! TDI kept from the statement before\nhir 0; tir 0; hdr 0; tdr 0;\n";
  TSimConfig config;
  config.jtag_chains['A'] = {{}, {8, 0, true}, {}, {}};
  const TPlayed p = ExpectSameEffect(cpld, 'A', config);
  EXPECT_TRUE(p.errors.empty()) << p.errors[0];
  EXPECT_EQ(p.storage.size(), 250u);
  EXPECT_NE(p.effect.find("SIR 32 TDI (FFFEFFFF);"), std::string::npos)
      << "trailer, instruction, header";
}

TEST(SvfVendorTest, WaitsGivenAsTimes) {
  const std::string fpga =
      "// Waits as times, no FREQUENCY: the TCK rate comes from --tck-hz\n"
      "ENDIR IDLE;\nENDDR IDLE;\nSIR 8 TDI (EA);\nSDR 16 TDI (BEEF);\nSIR 8 TDI (EC);\n"
      "RUNTEST IDLE 5.0E-3 SEC MAXIMUM 1.0E-2 SEC ENDSTATE IDLE;\n"
      "RUNTEST DRPAUSE 100 TCK 2.5E-4 SEC;\nRUNTEST 1E-6 SEC ENDSTATE RESET;\nRUNTEST IDLE 3 "
      "TCK;\n";
  const TPlayed p = ExpectSameEffect(fpga, '9', {}, 1.2e6);
  EXPECT_EQ(p.storage, "\xFF\xFF") << "erased while the clock ran";
  EXPECT_EQ(p.clocks, 6000u + 300u + 2u + 3u);
}

// A part with a 10-bit instruction register between two others, one with an IDCODE: after a
// reset every IDCODE shows in one scan; the file then checks the part's own, and programs and
// verifies it with scans that rest in the pause states between statements.
std::string TenBitFile(const std::string& data, const std::string& ids) {
  const std::string ones(data.size(), 'F');
  return "! Exported by an FPGA tool: an 8-bit part before the FPGA, a 6-bit one after it\n"
         "TRST ABSENT;\nENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nFREQUENCY 2.5E6 HZ;\n"
         "SDR 65 TDI (0) TDO (" +
         ids +
         ") MASK (00FFFFFFFFFFFFFFF);\n"
         "HIR 6 TDI (3F);\nTIR 8 TDI (FF);\nHDR 1 TDI (0);\nTDR 1 TDI (0);\n"
         "SIR 10 TDI (3FE);\nSDR 32 TDI (00000000) TDO (4D0A5E31) MASK (0FFFFFFF);\n"
         "SIR 10 TDI (3EC);\nRUNTEST IDLE 4.0E-3 SEC;\n"
         "ENDIR IRPAUSE;\nENDDR DRPAUSE;\nSIR 10 TDI (3EA);\n"
         "SDR " +
         std::to_string(4 * data.size()) + " TDI (" + Wrapped(data) +
         ");\n"
         "ENDIR IDLE;\nENDDR IDLE;\nRUNTEST IDLE 100 TCK;\nSIR 10 TDI (3EE);\n"
         "SDR " +
         std::to_string(4 * data.size()) + " TDI (0) TDO (" + Wrapped(data) + ") MASK (" +
         Wrapped(ones) + ");\nSTATE RESET;\n";
}

TEST(SvfVendorTest, TenBitPartAmongOthersChecksItsOwnIdcode) {
  TSimConfig config;
  config.jtag_chains['9'] = {{8}, {10, 0x4D0A5E31, true}, {6, 0x3F00C0DB}};
  std::mt19937 rng(13);
  const std::string data = RandomHex(rng, 300);  // 1200 bits: three statements
  // Bypass bit of the 8-bit part, then the part's IDCODE, then the 6-bit part's, shifted first.
  const std::string ids = "04D0A5E313F00C0DB";
  const TPlayed p = ExpectSameEffect(TenBitFile(data, ids), '9', config);
  EXPECT_TRUE(p.errors.empty()) << p.errors[0];
  EXPECT_EQ(p.storage.size(), 150u);
  EXPECT_NE(p.effect.find("SIR 24 TDI (FFFFBF);"), std::string::npos) << "trailer, IR, header";
  EXPECT_EQ(p.clocks, 10000u + 100u);

  std::string other = ids;
  other[9] = '5';  // the 6-bit part answers another IDCODE
  const TPlayed q = ExpectSameEffect(TenBitFile(data, other), '9', config);
  const std::vector<std::string> lines = SplitLines(q.effect);
  const auto id_scan = std::find_if(lines.begin(), lines.end(),
                                    [](const std::string& l) { return l.starts_with("SDR 65"); });
  EXPECT_EQ(q.errors, std::vector<std::string>{"Error while executing Effect file line : " +
                                               std::to_string(id_scan - lines.begin() + 1)});
}

}  // namespace
