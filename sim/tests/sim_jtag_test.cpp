// The JTAG exchanges of the device: statement records, data blocks and TDO replies.
#include <gtest/gtest.h>

#include <random>

#include "engines/progjtag.h"
#include "engines/svf.h"
#include "formats/hex.h"
#include "jtag_chain.h"
#include "sim_device.h"
#include "sim_options.h"

namespace {

const std::string kEsc = "\x1B";
const std::string kAck = kEsc + ".";

std::string Line(const std::string& record) {
  return record + "\r\n";
}

// The record of an effect-file line without a data block, with its line end.
std::string Record(const std::string& line) {
  TSvfStatement st;
  return Line(EncodeStatement(line, st));
}

struct JtagSession {
  explicit JtagSession(TSimConfig config = {}, char target = '8') : dev(config) {
    dev.OnComplete = [this](const std::string& name) { completed.push_back(name); };
    dev.Feed("?1yU254yU%30");
    EXPECT_EQ(dev.Feed(std::string("P") + target), ".");
  }
  TSimDevice dev;
  std::vector<std::string> completed;
};

TEST(SimJtagTest, PlainStatementsAreAcknowledged) {
  JtagSession s;
  for (const char* record :
       {":0100000601F8", ":0100000701F7", ":020000050001F8", ":05000004000000640192",
        ":01000862FE97", ":010020E300FC", ":00000005FB"}) {
    EXPECT_EQ(s.dev.Feed(Line(record)), ".") << record;
  }
  EXPECT_EQ(s.dev.Feed(Line(":00000001FF")), ".");
  EXPECT_EQ(s.completed, std::vector<std::string>{"jtag8.bin"});
  EXPECT_EQ(s.dev.Feed("RS"), ".") << "back to commands after the end record";
}

TEST(SimJtagTest, IdentificationWithTdo) {
  JtagSession s({}, '9');
  EXPECT_EQ(s.dev.Feed(Line(":01000862FE97")), ".");
  // SDR 32 TDI (00000000) TDO (...): bytes 01 E9 0D 0C, sum 03.
  EXPECT_EQ(s.dev.Feed(Line(MakeHexRecord(0xF3, 32, "00"))), "01E90D0C03" + kAck);
  EXPECT_EQ(s.dev.Feed("R"), "01E90D0C03" + kAck) << "sent again on request";
  EXPECT_EQ(s.dev.Feed("."), ".");
}

TEST(SimJtagTest, ProgramThenVerify) {
  JtagSession s;
  EXPECT_EQ(
      s.dev.Feed(Line(":01000862EA" + ByteToHex((0x100 - (1 + 8 + 0x62 + 0xEA) % 256) % 256))),
      ".");
  // SDR 16 TDI (1234): block "341246" announced by its length 6.
  EXPECT_EQ(s.dev.Feed(Line(":010010630686")), kAck);
  EXPECT_EQ(s.dev.Feed("341246"), ".");
  EXPECT_EQ(s.dev.Feed(Line(MakeHexRecord(0x62, 8, "EE"))), ".");
  EXPECT_EQ(s.dev.Feed(Line(MakeHexRecord(0xF3, 16, "00"))), "341246" + kAck);
  EXPECT_EQ(s.dev.Feed("."), ".");
  EXPECT_EQ(s.dev.Feed(Line(":00000001FF")), ".");
  EXPECT_EQ(s.dev.Jtag('8').Storage(), "\x34\x12");
}

TEST(SimJtagTest, TdoRepliesEscapeZeroAndEscBytes) {
  JtagSession s;
  s.dev.Feed(Line(MakeHexRecord(0x62, 8, "EA")));
  // Bytes 00 1B A5, sum C0.
  EXPECT_EQ(s.dev.Feed(Line(MakeHexRecord(0x63, 24, "08"))), kAck);
  EXPECT_EQ(s.dev.Feed("001BA5C0"), ".");
  s.dev.Feed(Line(MakeHexRecord(0x62, 8, "EE")));
  EXPECT_EQ(s.dev.Feed(Line(MakeHexRecord(0xF3, 24, "00"))),
            kEsc + "0" + kEsc + kEsc + "A5C0" + kAck);
}

TEST(SimJtagTest, SplitScanContinuesThroughStatements) {
  JtagSession s;
  s.dev.Feed(Line(MakeHexRecord(0x62, 8, "EA")));
  EXPECT_EQ(s.dev.Feed(Line(MakeHexRecord(0x23, 16, "06"))), kAck);  // SDRS
  EXPECT_EQ(s.dev.Feed("0102" + ByteToHex(3)), ".");
  EXPECT_EQ(s.dev.Feed(Line(MakeHexRecord(0x83, 16, "77"))), ".");  // SDRC, uniform
  EXPECT_EQ(s.dev.Feed(Line(MakeHexRecord(0x43, 8, "04"))), kAck);  // SDRE
  EXPECT_EQ(s.dev.Feed("0909"), ".");
  EXPECT_EQ(s.dev.Jtag('8').Storage(), "\x01\x02\x77\x77\x09");
}

TEST(SimJtagTest, RefusedStatements) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Line(":01000862FE98"), "record checksum wrong"},
      {Line(MakeHexRecord(0x62, 16, "FEFF")), "instruction register is 8 bits"},
      {Line(MakeHexRecord(0x63, 513, "04")), "longer than 512 bits"},
      {Line(MakeHexRecord(0x08, 0, "")), "unknown statement"},
      {Line(MakeHexRecord(0x05, 0, "0010")), "state code out of range"},
      {Line(MakeHexRecord(0x63, 16, "06")) + "341247", "data block sum wrong"},
      {Line(MakeHexRecord(0x63, 16, "06")) + "34124g", "data block not hex"},
      {Line(MakeHexRecord(0x63, 16, "05")) + "34124", "odd data block"},
      {Record("ENDIR IREXIT1;"), "ENDIR in a state the TAP passes"},
      {Record("ENDDR DRSHIFT;"), "ENDDR in a shift state"},
      {Record("RUNTEST DRUPDATE 10 TCK;"), "RUNTEST in a state the TAP passes"},
      {Record("STATE IDLE IRSELECT;"), "a path that skips DRSELECT"},
      {Record("STATE IDLE DRSELECT DRCAPTURE DRSHIFT DREXIT1 DRPAUSE;"), "a path that shifts"},
      {Record("STATE IDLE DRSELECT DRCAPTURE;"), "a path ending in a capture state"},
      {Record("SDRC 8 TDI (00);"), "a continuation with no scan open"},
      {Record("SIRS 8 TDI (EA);") + Record("SIRE 8 TDI (EA);"), "an instruction scan too long"},
      {Record("SIRS 4 TDI (0A);") + Record("SDR 8 TDI (00);"), "a scan while another is open"},
      {Record("SDRS 8 TDI (00);") + Record("ENDDR IDLE;"), "ENDDR within a scan"},
      {Record("SDRS 8 TDI (00);") + Line(":00000001FF"), "a file ending within a scan"},
  };
  for (const auto& [sent, why] : cases) {
    JtagSession s;
    const std::string reply = s.dev.Feed(sent);
    EXPECT_EQ(reply.find('X'), reply.size() - 1) << why << ": only the last statement is refused";
    EXPECT_EQ(s.dev.Feed("RS"), ".") << why;
    EXPECT_EQ(s.dev.Jtag('8').Tap(), tsRESET) << why << ": the chain is reset";
    EXPECT_EQ(s.dev.Feed("P8"), ".");
    EXPECT_EQ(s.dev.Feed(Record("SDR 8 TDI (00);")), ".") << why << ": the next file plays";
  }
}

TEST(SimJtagTest, RetryRateAlsoGarblesTdoSums) {
  TSimConfig config;
  config.retry_rate = 0.5;
  config.seed = 3;
  JtagSession s(config);
  int garbled = 0, retried = 0;
  for (int i = 0; i < 200; ++i) {
    std::string r = s.dev.Feed(Line(MakeHexRecord(0xF3, 32, "00")));
    if (r == "R") {
      ++retried;
      continue;
    }
    if (r != "01E80D0C02" + kAck) {
      ++garbled;
      EXPECT_EQ(r, "01E80D0C03" + kAck);
      EXPECT_EQ(s.dev.Feed("R"), "01E80D0C02" + kAck) << "the resent reply is correct";
    }
    EXPECT_EQ(s.dev.Feed("."), ".");
  }
  EXPECT_GT(garbled, 0);
  EXPECT_GT(retried, 0);
}

TEST(SimJtagTest, RetryRateNeverRefusesTheEndRecord) {
  TSimConfig config;
  config.retry_rate = 0.999999;
  JtagSession s(config);
  EXPECT_EQ(s.dev.Feed(Line(MakeHexRecord(0xF3, 32, "00"))), "R") << "statements are retried";
  EXPECT_EQ(s.dev.Feed(Line(":00000001FF")), ".");
}

TEST(JtagChainTest, BypassDelaysByOneBit) {
  TJtagChain chain(0x12345679);
  ASSERT_TRUE(chain.ScanIr(8, "\xFF", true, true));
  EXPECT_EQ(*chain.ScanDr(16, "\x81\x80", true, true), std::string("\x02\x01", 2));
}

TEST(JtagChainTest, IdcodeAcrossSplitScanAndEraseAfterProgram) {
  TJtagChain chain(0x12345679);
  EXPECT_EQ(*chain.ScanDr(16, std::string(2, '\0'), true, false), "\x79\x56");
  EXPECT_EQ(*chain.ScanDr(24, std::string(3, '\0'), false, true), std::string("\x34\x12\x00", 3));
  ASSERT_TRUE(chain.ScanIr(8, "\xEA", true, true));
  EXPECT_EQ(*chain.ScanDr(16, "\x10\x20", true, true), "\xFF\xFF") << "captures what was there";
  ASSERT_TRUE(chain.ScanIr(8, "\xEA", true, true));
  EXPECT_EQ(*chain.ScanDr(8, "\x30", true, true), "\x10");
  EXPECT_EQ(chain.Storage(), "\x30\x20");
  ASSERT_TRUE(chain.ScanIr(8, "\xEC", true, true));
  chain.RunTest(0);
  EXPECT_EQ(chain.Storage(), "\x30\x20");
  chain.RunTest(100);
  EXPECT_EQ(chain.Storage(), "\xFF\xFF");
  EXPECT_FALSE(chain.ScanIr(4, "\x0E", true, true));
  EXPECT_EQ(chain.Instruction(), TJtagChain::kErase) << "a refused scan keeps the instruction";
}

// Four gigabits of continuation scans (four million statements of 512 bits) are more than a
// 32-bit count holds: the scan must still be refused as too long, not taken for an 8-bit one when
// the count wraps. Scans of a megabit each get there sooner.
TEST(JtagChainTest, InstructionScanLengthNeverWraps) {
  TJtagChain chain(0x12345679);
  constexpr int kBits = 1 << 20;
  const std::string zeros(kBits / 8, '\0');
  ASSERT_TRUE(chain.ScanIr(8, "\xEA", true, false));
  for (int i = 0; i < (1 << 12) - 1; ++i) ASSERT_TRUE(chain.ScanIr(kBits, zeros, false, false));
  EXPECT_FALSE(chain.ScanIr(kBits, zeros, false, true)) << "8 + 2^32 bits";
  EXPECT_EQ(chain.Instruction(), TJtagChain::kIdcode);
}

// Plays `bits` of `tdi` as one scan cut into pieces at `cuts`; returns what came out, bit by bit.
std::vector<bool> SplitScan(TJtagChain& chain, bool ir, const std::string& tdi, size_t bits,
                            std::vector<size_t> cuts) {
  cuts.push_back(bits);
  std::vector<bool> out;
  size_t from = 0;
  for (size_t cut : cuts) {
    std::string piece((cut - from + 7) / 8, '\0');
    for (size_t i = from; i < cut; ++i)
      if (static_cast<uint8_t>(tdi[i / 8]) >> (i % 8) & 1)
        piece[(i - from) / 8] = static_cast<char>(piece[(i - from) / 8] | 1 << ((i - from) % 8));
    const int n = static_cast<int>(cut - from);
    const bool start = from == 0, end = cut == bits;
    const auto got = ir ? chain.ScanIr(n, piece, start, end) : chain.ScanDr(n, piece, start, end);
    EXPECT_TRUE(got) << "piece " << from << ".." << cut;
    for (size_t i = 0; got && i < cut - from; ++i)
      out.push_back(static_cast<uint8_t>((*got)[i / 8]) >> (i % 8) & 1);
    from = cut;
  }
  return out;
}

// A scan cut anywhere, not only at whole bytes, does what the whole scan does: the same bits come
// out and the part ends the same, also with other parts around it.
TEST(JtagChainTest, SplitScansAtAnyBitDoWhatTheWholeScanDoes) {
  std::mt19937 rng(5);
  for (const auto& [tdi_side, tdo_side] : {std::pair{0, 0}, std::pair{1, 2}}) {
    TJtagChain whole(0x12345679, tdi_side, tdo_side), split(0x12345679, tdi_side, tdo_side);
    const size_t ir_bits = 8 * static_cast<size_t>(1 + tdi_side + tdo_side);
    for (uint8_t instruction :
         {TJtagChain::kIdcode, TJtagChain::kProgram, TJtagChain::kBypass, TJtagChain::kVerify}) {
      std::string ir(ir_bits / 8, '\xFF');
      ir[static_cast<size_t>(tdo_side)] = static_cast<char>(instruction);
      EXPECT_EQ(SplitScan(whole, true, ir, ir_bits, {}), SplitScan(split, true, ir, ir_bits, {3}));
      EXPECT_EQ(split.Instruction(), instruction);
      std::string data(125, '\0');
      for (char& c : data) c = static_cast<char>(rng());
      EXPECT_EQ(SplitScan(whole, false, data, 997, {}),
                SplitScan(split, false, data, 997, {1, 9, 512, 700}))
          << "instruction " << int{instruction} << ", parts " << tdi_side << "," << tdo_side;
    }
    EXPECT_EQ(split.Storage(), whole.Storage());
    EXPECT_EQ(split.Storage().size(), (997 - static_cast<size_t>(tdi_side + tdo_side) + 7) / 8);
  }
}

// Parts in bypass around the part: every instruction register captures 01, and each bypass
// bit delays the data by one clock.
TEST(JtagChainTest, PartsAroundThePart) {
  TJtagChain chain(0x12345679, 1, 2);
  EXPECT_EQ(*chain.ScanIr(32, std::string("\xFF\xFF\xEA\xFF", 4), true, true),
            std::string("\x01\x01\x01\x01", 4));
  EXPECT_EQ(chain.Instruction(), TJtagChain::kProgram);
  // 2 bypass bits, 8 bits for the part, 1 bypass bit: the part keeps bits 2..9.
  EXPECT_TRUE(chain.ScanDr(11, std::string("\x54\x06", 2), true, true));
  EXPECT_EQ(chain.Storage(), "\x95");
  chain.RunTest(7);
  chain.RunTest(UINT32_MAX);
  EXPECT_EQ(chain.RunClocks(), uint64_t{7} + UINT32_MAX);
  EXPECT_FALSE(chain.ScanIr(8, "\xFE", true, true)) << "8 bits do not reach the part";
  EXPECT_EQ(chain.Instruction(), TJtagChain::kProgram);
  chain.Reset();
  EXPECT_EQ(chain.Instruction(), TJtagChain::kIdcode);
  ASSERT_TRUE(chain.EndIr(tsIRPAUSE));
  EXPECT_TRUE(chain.ScanIr(32, std::string("\xFF\xFF\xEE\xFF", 4), true, true));
  EXPECT_EQ(chain.Tap(), tsIRPAUSE);
  EXPECT_EQ(chain.Instruction(), TJtagChain::kIdcode) << "not before IRUPDATE";
  EXPECT_TRUE(chain.State(std::string(1, tsIRPAUSE)));
  EXPECT_EQ(chain.Instruction(), TJtagChain::kVerify) << "IRPAUSE named again goes round";
}

// Plays effect-file lines into target 8 as the engine sends them. One word per line: "." when
// the statement is acknowledged, the captured hex digits of a scan with TDO, "X" when refused
// (and nothing after it).
std::string Play(TSimDevice& dev, const std::vector<std::string>& lines) {
  std::string words;
  for (const std::string& line : lines) {
    TSvfStatement st;
    const TSvfEncoding e = EncodeSvfLine(line, st);
    EXPECT_EQ(e.Outcome, esRECORD) << line;
    std::string reply = dev.Feed(Line(e.Record));
    if (st.BlockPending && reply == kAck) reply = dev.Feed(st.TdiData);
    if (!words.empty()) words += ' ';
    if (reply.size() > 2 && reply.ends_with(kAck)) {
      const std::string digits = TProgJtag::DecodeTdoReply(reply);
      words += digits.substr(0, digits.size() - 2);
      reply = dev.Feed(".");
    }
    if (reply != ".") return words + reply;
    if (!(st.StatementType & kSvfFlagTdo)) words += '.';
  }
  return words;
}

// The TAP controller moves as the statements say: an instruction takes effect in IRUPDATE, a
// reset selects IDCODE, ERASE needs the clock in IDLE, a data scan moves the storage on in
// DRUPDATE, and the other parts show their IDCODEs until the first instruction.
TEST(JtagChainTest, TapFollowsTheStatements) {
  struct Case {
    const char* what;
    std::string chain;  // as --jtag-chain gives it, "" for the default
    std::vector<std::string> lines;
    std::string words;
  };
  const std::vector<std::string> program12 = {"SIR 8 TDI (EA);", "SDR 8 TDI (12);"};
  const auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<std::string> verify = {"SIR 8 TDI (EE);", "SDR 8 TDI (00) TDO (00);"};
  const std::vector<Case> cases = {
      {"ERASE ended in IRPAUSE is in force once RUNTEST IDLE passes IRUPDATE", "",
       with(with(program12, {"ENDIR IRPAUSE;", "SIR 8 TDI (EC);", "RUNTEST IDLE 100 TCK;"}),
            verify),
       ". . . . . . FF"},
      {"ERASE clocked in DRPAUSE", "",
       with(with(program12, {"SIR 8 TDI (EC);", "RUNTEST DRPAUSE 100 TCK;"}), verify),
       ". . . . . 12"},
      {"a scan from DRPAUSE passes DRUPDATE first",
       "",
       {"SIR 8 TDI (EA);", "ENDDR DRPAUSE;", "SDR 8 TDI (12);", "SDR 8 TDI (34);",
        "SIR 8 TDI (EE);", "SDR 16 TDI (0000) TDO (0000);"},
       ". . . . . 1234"},
      {"STATE RESET selects IDCODE",
       "",
       {"SIR 8 TDI (EE);", "STATE IDLE DRSELECT IRSELECT RESET;", "SDR 32 TDI (0) TDO (0);"},
       ". . 01E80D0C"},
      {"every IDCODE after a reset, bypass bits after an instruction",
       "8=8,10*,6:3F00C0DB",
       {"SDR 65 TDI (0) TDO (0);", "SIR 24 TDI (FFFFBF) TDO (0);", "SDR 34 TDI (0) TDO (0);"},
       "DBC0003F01E80D0C00 410001 02D01B1800"},
  };
  for (const Case& c : cases) {
    TSimOptions o;
    std::string error;
    std::vector<std::string> args = {"--tcp", "0"};
    if (!c.chain.empty()) args.insert(args.end(), {"--jtag-chain", c.chain});
    ASSERT_TRUE(ParseSimOptions(args, o, error)) << error;
    JtagSession s(o.device);
    EXPECT_EQ(Play(s.dev, c.lines), c.words) << c.what;
  }
}

}  // namespace
