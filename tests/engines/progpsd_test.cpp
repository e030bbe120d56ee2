#include "engines/progpsd.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engines/engine_harness.h"
#include "formats/text.h"
#include "scratch_dir.h"

namespace {

using Texts = std::vector<std::string>;

const std::string kL0 = ":0100000012ED";    // one byte in the lower half
const std::string kL1 = ":02800000ABCD06";  // two bytes in the upper half
const std::string kL2 = ":00000001FF";
const std::string kUpperRecord = ":0200000C7F7AF9\r\n";  // 0x8000..0xFFFF sums to 0x7F7A
const std::string kLowerRecord = ":0200000C7F1360\r\n";  // 0x0000..0x7FFF sums to 0x7F13

// The device when every step goes well: "P" and a digit is answered twice, command taken and
// erase done; the identification is "1A".
std::string GoodDevice(const std::string& sent) {
  if (sent.size() == 2 && sent[0] == 'P' && sent[1] >= '0' && sent[1] <= '7') return "..";
  if (sent.size() == 2 && sent[0] == 'D') return ".1A.";
  return ".";
}

struct PsdFixture : ::testing::Test {
  PsdFixture() : h(e) {
    dir.Write("BANK.HEX", kL0 + "\r\n" + kL1 + "\r\n" + kL2 + "\r\n");
    dir.Write("MY BANK.HEX", kL0 + "\n" + kL1 + "\n" + kL2);
    dir.Write("EOF.HEX", kL2 + "\r\n");
    e.SetCardDir(dir.Path());
    e.SetUpdateAllowed(true);
    h.device = GoodDevice;
  }
  ScratchDir dir;
  TProgPsd e;
  EngineHarness<TProgPsd> h;
};

TEST_F(PsdFixture, ProgramsABankInOrder) {
  ASSERT_TRUE(h.Offer("P3 BANK.HEX"));
  h.RunUntilIdle();
  EXPECT_EQ(h.log,
            (Texts{"busy:1", "send:P3", "status:Erase Bank3", "pmax:4", "status:Upload Bank3",
                   "send:" + kL0 + "\r\n", "pstep", "send:" + kL0 + "\r\n", "pstep",
                   "send:" + kL1 + "\r\n", "pstep", "send:" + kL2 + "\r\n", "pstep",
                   "status:Verify Bank3", "send:" + kUpperRecord, "busy:0"}));
  EXPECT_EQ(e.GetState(), TPsdState::Idle);
}

TEST_F(PsdFixture, ChecksumCoversTheBanksHalfOfTheImage) {
  const std::pair<std::string, std::string> cases[] = {
      {"P0 BANK.HEX", kLowerRecord},
      {"P7 BANK.HEX", kUpperRecord},
      {"P5 EOF.HEX", ":0200000C800072\r\n"},  // 32768 bytes of 0xFF
      {"P0 EOF.HEX", ":0200000C800072\r\n"},
      {"P 1   MY BANK.HEX ", kUpperRecord},  // blanks inside the name belong to it
  };
  for (const auto& [line, record] : cases) {
    TProgPsd e;
    EngineHarness<TProgPsd> h(e);
    e.SetCardDir(dir.Path());
    e.SetUpdateAllowed(true);
    h.device = GoodDevice;
    ASSERT_TRUE(h.Offer(line)) << line;
    h.RunUntilIdle();
    ASSERT_FALSE(h.sent.empty());
    EXPECT_EQ(h.sent.back(), record) << line;
    EXPECT_TRUE(h.errors.empty()) << line;
  }
}

// "R" n times at the first transmission of line 0 and m times at the checksum record.
TEST_F(PsdFixture, RetransmissionLimitCountsTheWholeInstruction) {
  struct Case {
    int line_r, record_r;
    bool fails;
  };
  for (const Case& c :
       {Case{300, 0, false}, Case{301, 0, true}, Case{100, 200, false}, Case{100, 201, true}}) {
    TProgPsd e;
    EngineHarness<TProgPsd> h(e);
    e.SetCardDir(dir.Path());
    e.SetUpdateAllowed(true);
    int line_left = c.line_r, record_left = c.record_r;
    h.device = [&](const std::string& s) -> std::string {
      if (s == kL0 + "\r\n" && line_left > 0) {
        --line_left;
        return "R";
      }
      if (s == kUpperRecord && record_left > 0) {
        --record_left;
        return "R";
      }
      return GoodDevice(s);
    };
    ASSERT_TRUE(h.Offer("P3 BANK.HEX"));
    h.RunUntilIdle();
    std::string what = std::to_string(c.line_r) + "/" + std::to_string(c.record_r);
    EXPECT_EQ(h.retries, c.line_r + c.record_r) << what;
    EXPECT_EQ(h.files, Texts{dir.Path() + "BANK.HEX"});
    if (c.fails) {
      EXPECT_EQ(h.errors, Texts{"Too Many Transmission Error !!!"}) << what;
      EXPECT_EQ(e.GetState(), TPsdState::Error) << what;
      continue;
    }
    EXPECT_TRUE(h.errors.empty()) << what;
    EXPECT_EQ(h.sent.size(), 6u + c.line_r + c.record_r) << what;
    // Line 0 once before its first acknowledgement, the rest resends of it.
    EXPECT_EQ(std::count(h.sent.begin(), h.sent.end(), kL0 + "\r\n"), 2 + c.line_r) << what;
    // Every resent record is announced again.
    EXPECT_EQ(std::count(h.statuses.begin(), h.statuses.end(), "Verify Bank3"), 1 + c.record_r);
  }
}

// "R" to the second transmission of line 0 (the index has moved on by then) and to line 2.
TEST_F(PsdFixture, RetransmitsTheLineSentLast) {
  int zero_sends = 0;
  bool asked_two = false;
  h.device = [&](const std::string& s) -> std::string {
    if (s == kL0 + "\r\n" && ++zero_sends == 2) return "R";
    if (s == kL2 + "\r\n" && !asked_two) {
      asked_two = true;
      return "R";
    }
    return GoodDevice(s);
  };
  ASSERT_TRUE(h.Offer("P3 BANK.HEX"));
  h.RunUntilIdle();
  EXPECT_EQ(h.sent, (Texts{"P3", kL0 + "\r\n", kL0 + "\r\n", kL0 + "\r\n", kL1 + "\r\n",
                           kL2 + "\r\n", kL2 + "\r\n", kUpperRecord}));
  EXPECT_EQ(h.progress_steps, 4);
}

TEST_F(PsdFixture, ProgrammingNeedsTheUpdateToBeAllowed) {
  e.SetUpdateAllowed(false);
  ASSERT_TRUE(h.Offer("P3 NOPE.HEX"));
  h.RunUntilIdle();
  EXPECT_EQ(h.log, (Texts{"busy:1", "busy:0", "error:Update Not Allowed !!!"}));
  EXPECT_EQ(e.GetState(), TPsdState::Done);
}

TEST_F(PsdFixture, UploadWithPE) {
  e.SetUpdateAllowed(false);  // "PE" does not ask
  ASSERT_TRUE(h.Offer("PE  MY BANK.HEX"));
  h.RunUntilIdle();
  EXPECT_EQ(h.sent, (Texts{"PE", kL0 + "\r\n", kL0 + "\r\n", kL1 + "\r\n", kL2 + "\r\n"}));
  EXPECT_TRUE(h.statuses.empty());
  EXPECT_EQ(h.Only("pmax:"), Texts{"4"});
  EXPECT_EQ(h.progress_steps, 4);
  EXPECT_TRUE(h.errors.empty());
  EXPECT_EQ(e.GetState(), TPsdState::Idle);
}

TEST_F(PsdFixture, ReadsTheMcuIdentification) {
  ASSERT_TRUE(h.Offer("D2"));
  h.RunUntilIdle();
  EXPECT_EQ(h.log, (Texts{"busy:1", "send:D2", "status:Extract MCU ID", "status:ID Number : 1A",
                          "busy:0"}));
  EXPECT_EQ(h.buffer, "");

  for (std::string reply : {"1AB.", "1.", ".", "1A"}) {
    TProgPsd e;
    EngineHarness<TProgPsd> h(e);
    h.device = [&](const std::string&) { return "." + reply; };
    ASSERT_TRUE(h.Offer("D2"));
    h.RunUntilIdle(20);
    EXPECT_TRUE(e.IsBusy()) << reply;
    EXPECT_EQ(h.statuses, Texts{"Extract MCU ID"}) << reply;
  }
}

TEST_F(PsdFixture, FCommand) {
  ASSERT_TRUE(h.Offer("F 3"));
  h.RunUntilIdle();
  EXPECT_EQ(h.log, (Texts{"busy:1", "send:F3", "busy:0"}));
}

// Only programming a bank asks for the device identifier first.
TEST_F(PsdFixture, OnlyProgramBankNeedsTheUpdateAllowed) {
  const std::pair<std::string, Texts> cases[] = {
      {"D2", {"D2"}},
      {"F3", {"F3"}},
      {"PE BANK.HEX", {"PE", kL0 + "\r\n", kL0 + "\r\n", kL1 + "\r\n", kL2 + "\r\n"}},
  };
  for (const auto& [line, sent] : cases) {
    TProgPsd e;
    EngineHarness<TProgPsd> h(e);
    e.SetCardDir(dir.Path());
    h.device = GoodDevice;
    ASSERT_TRUE(h.Offer(line)) << line;
    h.RunUntilIdle();
    EXPECT_EQ(h.sent, sent) << line;
    EXPECT_TRUE(h.errors.empty()) << line;
    EXPECT_EQ(e.GetState(), TPsdState::Idle) << line;
  }
}

TEST_F(PsdFixture, DeviceRefusals) {
  struct Case {
    std::string line, refused, reply, error;
  };
  const Case cases[] = {
      {"P3 BANK.HEX", "P3", "I", "Instruction unknown"},
      {"P3 BANK.HEX", "P3", ".X", "Error while erasing !!!"},
      {"P3 BANK.HEX", kL1 + "\r\n", "X", "Error while writing!!!"},
      {"P3 BANK.HEX", kUpperRecord, "X", "Checksum Error"},
      {"PE BANK.HEX", "PE", "I", "Instruction unknown"},
      {"PE BANK.HEX", kL2 + "\r\n", "X", "Error while writing!!!"},
      {"D2", "D2", "I", "Instruction unknown"},
      {"F2", "F2", "I", "Instruction unknown"},
  };
  for (const Case& c : cases) {
    TProgPsd e;
    EngineHarness<TProgPsd> h(e);
    e.SetCardDir(dir.Path());
    e.SetUpdateAllowed(true);
    h.device = [&](const std::string& s) { return s == c.refused ? c.reply : GoodDevice(s); };
    ASSERT_TRUE(h.Offer(c.line));
    h.RunUntilIdle();
    EXPECT_EQ(h.errors, Texts{c.error}) << c.line << " / " << c.refused;
    EXPECT_EQ(h.sent.back(), c.refused) << c.line;  // nothing after the refused text
    EXPECT_EQ(e.GetState(), TPsdState::Error);
    EXPECT_EQ(h.buffer, "");
  }
}

// Nothing may go out before the file is known to be good: the device erases on "P" and a digit.
TEST_F(PsdFixture, BadFilesAreRefusedBeforeAnythingIsSent) {
  dir.Write("EMPTY.HEX", "");
  dir.Write("BIN.HEX", ":00000001FF\n" + std::string("\x00\x01\x02\xFF", 4));
  dir.Write("TEXT.HEX", "\r\nnot hex\r\n");
  const std::string d = dir.Path();
  const std::string runaway(100000, 'n');
  const std::pair<std::string, std::string> cases[] = {
      {"P3 NOPE.HEX", d + "NOPE.HEX File not found !!!"},
      {"PE " + runaway, Excerpt(d + runaway) + " File not found !!!"},
      {"PE NOPE.HEX", d + "NOPE.HEX File not found !!!"},
      {"P3", d + " File not found !!!"},
      {"P3 EMPTY.HEX", "Keyb File Empty !!!"},
      {"PE EMPTY.HEX", "Keyb File Empty !!!"},
      {"P3 BIN.HEX", d + "BIN.HEX line 2: binary data, not a HEX file !!!"},
      {"PE TEXT.HEX", d + "TEXT.HEX: no HEX record, not a HEX file !!!"},
  };
  for (const auto& [line, error] : cases) {
    TProgPsd e;
    EngineHarness<TProgPsd> h(e);
    e.SetCardDir(d);
    e.SetUpdateAllowed(true);
    h.device = GoodDevice;
    ASSERT_TRUE(h.Offer(line)) << line;
    h.RunUntilIdle();
    EXPECT_EQ(h.errors, Texts{error}) << line;
    EXPECT_TRUE(h.sent.empty()) << line;
    EXPECT_EQ(e.GetState(), TPsdState::Error) << line;
  }
}

TEST_F(PsdFixture, OtherInstructionsAreLeftAlone) {
  for (std::string line : {"P8 X.SVF", "P9 X.SVF", "PA X.SVF", "PB BOOT.HEX", "P", "PX", "D8", "DA",
                           "F9", "FI", "FY", "PD3", "PF1", "SYN", "M3", "prompt P3"}) {
    EXPECT_FALSE(h.Offer(line)) << line;
    EXPECT_EQ(e.GetState(), TPsdState::Idle) << line;
  }
  EXPECT_TRUE(h.log.empty());
}

TEST_F(PsdFixture, ResetDropsTheErrorState) {
  ASSERT_TRUE(h.Offer("P3 NOPE.HEX"));
  h.RunUntilIdle();
  ASSERT_EQ(e.GetState(), TPsdState::Error);
  EXPECT_FALSE(h.Offer("F3"));
  e.Reset();
  EXPECT_EQ(e.GetErrorText(), "");
  EXPECT_TRUE(h.Offer("F3"));
}

}  // namespace
