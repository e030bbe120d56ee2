#include "engines/progboot.h"

#include <gtest/gtest.h>

#include "engines/engine_harness.h"
#include "formats/text.h"
#include "scratch_dir.h"

namespace {

using Texts = std::vector<std::string>;

const std::string kL0 = ":020000040000FA";
const std::string kL1 = ":02400000ABCD46";  // two bytes inside the boot area
const std::string kL2 = ":00000001FF";
// 8190 bytes of 0xFF plus 0xAB and 0xCD over 0x4000..0x5FFF is 0xDF7A.
const std::string kComputedRecord = ":0200000CDF7A99\r\n";

// The boot loader when every step goes well; "12345678" is its identity reply, and "PB" is
// answered twice: command taken, then erase done.
std::string GoodDevice(const std::string& sent) {
  if (sent == "30") return ".12345678.";
  if (sent == "PB") return "..";
  return ".";
}

struct BootFixture : ::testing::Test {
  BootFixture() : h(e) {
    dir.Write("BOOT.HEX", kL0 + "\r\n" + kL1 + "\r\n" + kL2 + "\r\n");
    e.SetCardDir(dir.Path());
  }
  ScratchDir dir;
  TProgBoot e;
  EngineHarness<TProgBoot> h;
};

TEST_F(BootFixture, SilentDeviceGetsPercentEverySecondStep) {
  ASSERT_TRUE(h.Offer("SYN"));
  h.Step(8);
  EXPECT_EQ(h.sent, (Texts{"%", "%", "%", "%"}));
  EXPECT_TRUE(e.IsBusy());
}

TEST_F(BootFixture, SynchroniseDropsNoiseAndAnswersEveryDot) {
  ASSERT_TRUE(h.Offer("SYN"));
  h.Step();  // "%"
  h.Reply("a.b.");
  h.Step();
  EXPECT_EQ(h.sent, (Texts{"%", "30", "30"}));
  EXPECT_EQ(h.statuses, (Texts{"Verify Device Type", "Verify Device Type"}));
  EXPECT_EQ(h.buffer, "");
  EXPECT_EQ(e.GetState(), TBootState::WaitType30);
}

TEST_F(BootFixture, SynReadsTypeChecksumAndIdentity) {
  h.device = GoodDevice;
  ASSERT_TRUE(h.Offer("SYN"));
  h.RunUntilIdle();
  EXPECT_EQ(h.log, (Texts{"busy:1", "send:%", "status:Verify Device Type", "send:30", "variant:0",
                          "status:Boot Checksum : B234", "status:Device ID : 5678", "devid:22136",
                          "busy:0"}));
  EXPECT_EQ(e.GetBootChecksum(), "B234");
  EXPECT_EQ(e.GetDeviceIdText(), "5678");
  EXPECT_EQ(h.buffer, "");
  EXPECT_EQ(e.GetState(), TBootState::Idle);
}

// An identifier that is not four upper-case hex digits is read as another one: said, and kept
// as sent.
TEST_F(BootFixture, IdentityThatIsNotHexIsSaid) {
  for (const std::string id : {"ab12", " 2 0", "\x1b[2J"}) {
    TProgBoot e;
    EngineHarness<TProgBoot> h(e);
    h.device = [&](const std::string& s) { return s == "30" ? ".1234" + id + "." : "."; };
    ASSERT_TRUE(h.Offer("SYN"));
    h.RunUntilIdle();
    EXPECT_EQ(
        h.Only("status:"),
        (Texts{"Verify Device Type", "Boot Checksum : B234", "Device ID : " + id,
               "Device ID \"" + id + "\" is not a valid identifier: four hex digits expected"}))
        << id;
    EXPECT_EQ(e.GetDeviceIdText(), id);
    EXPECT_FALSE(e.IsBusy()) << "the run goes on";
  }
}

TEST_F(BootFixture, DeviceTypeChecks) {
  struct Case {
    std::string reply30, reply35;
    Texts sent;
    std::string error;
    bool variant;
  };
  const Case cases[] = {
      {".", "", {"%", "30"}, "", false},
      {"X", ".", {"%", "30", "35"}, "", true},
      {"X", "X", {"%", "30", "35"}, "Bad type of device !!!", false},
  };
  for (const Case& c : cases) {
    TProgBoot e;
    EngineHarness<TProgBoot> h(e);
    h.device = [&](const std::string& s) {
      if (s == "%") return std::string(".");
      return s == "30" ? c.reply30 : c.reply35;
    };
    ASSERT_TRUE(h.Offer("SYN"));
    h.RunUntilIdle(20);
    EXPECT_EQ(h.sent, c.sent) << c.reply30 << c.reply35;
    if (c.error.empty()) {
      EXPECT_EQ(e.GetDeviceVariant(), c.variant);
      EXPECT_EQ(e.GetState(), TBootState::WaitIdentity);
    } else {
      EXPECT_EQ(h.errors, Texts{c.error});
      EXPECT_EQ(h.Only("variant:"), Texts{});
      EXPECT_FALSE(e.IsBusy());
    }
  }
}

TEST_F(BootFixture, IdentityNeedsItsDotAtPositionNine) {
  for (std::string reply : {"1234567.", "123456789.", "1234.678."}) {
    TProgBoot e;
    EngineHarness<TProgBoot> h(e);
    h.device = [&](const std::string& s) { return s == "30" ? "." + reply : "."; };
    ASSERT_TRUE(h.Offer("SYN"));
    h.RunUntilIdle(50);
    EXPECT_TRUE(e.IsBusy()) << reply;
    EXPECT_EQ(e.GetState(), TBootState::WaitIdentity) << reply;
    EXPECT_EQ(h.Only("devid:"), Texts{}) << reply;
  }
}

TEST_F(BootFixture, ProgramsThreeLinesInOrder) {
  h.device = GoodDevice;
  ASSERT_TRUE(h.Offer("PB BOOT.HEX"));
  h.RunUntilIdle();
  EXPECT_EQ(h.sent,
            (Texts{"PB", kL0 + "\r\n", kL0 + "\r\n", kL1 + "\r\n", kL2 + "\r\n", kComputedRecord}));
  // The maximum is set before "PB" goes out; the erase acknowledgement is the first step.
  EXPECT_EQ(h.log, (Texts{"busy:1", "pmax:5", "send:PB", "status:Erase Extended Boot", "pstep",
                          "status:Upload Extended Boot", "send:" + kL0 + "\r\n", "pstep",
                          "send:" + kL0 + "\r\n", "pstep", "send:" + kL1 + "\r\n", "pstep",
                          "send:" + kL2 + "\r\n", "pstep", "status:Verify Checksum",
                          "send:" + kComputedRecord, "busy:0"}));
  EXPECT_TRUE(h.errors.empty());
  EXPECT_EQ(e.GetState(), TBootState::Idle);
}

// Blanks and tabs alike separate the arguments.
TEST_F(BootFixture, GivenChecksumReplacesTheComputedOne) {
  for (const char* line : {"PB  BOOT.HEX   1A2B", "PB\tBOOT.HEX\t1A2B", "PB \t BOOT.HEX \t1A2B"}) {
    TProgBoot e;
    EngineHarness<TProgBoot> h(e);
    e.SetCardDir(dir.Path());
    h.device = GoodDevice;
    ASSERT_TRUE(h.Offer(line));
    h.RunUntilIdle();
    ASSERT_FALSE(h.sent.empty());
    EXPECT_EQ(h.sent.back(), ":0200000C1A2BAD\r\n") << line;
    EXPECT_TRUE(h.errors.empty()) << line;
  }
}

// "R" n times at the first transmission of line 0 and m times at the checksum record.
TEST_F(BootFixture, RetransmissionLimitCountsTheWholeInstruction) {
  struct Case {
    int line_r, record_r;
    bool fails;
  };
  for (const Case& c : {Case{300, 0, false}, Case{301, 0, true}, Case{150, 150, false},
                        Case{150, 151, true}, Case{0, 301, true}}) {
    TProgBoot e;
    EngineHarness<TProgBoot> h(e);
    e.SetCardDir(dir.Path());
    int line_left = c.line_r, record_left = c.record_r, zero_sends = 0;
    h.device = [&](const std::string& s) -> std::string {
      if (s == kL0 + "\r\n") ++zero_sends;
      if (s == kL0 + "\r\n" && line_left > 0) {
        --line_left;
        return "R";
      }
      if (s == kComputedRecord && record_left > 0) {
        --record_left;
        return "R";
      }
      return s == "PB" ? ".." : ".";
    };
    ASSERT_TRUE(h.Offer("PB BOOT.HEX"));
    h.RunUntilIdle();
    std::string what = std::to_string(c.line_r) + "/" + std::to_string(c.record_r);
    EXPECT_EQ(h.retries, c.line_r + c.record_r) << what;
    EXPECT_EQ(h.files, Texts{dir.Path() + "BOOT.HEX"});
    if (c.fails) {
      EXPECT_EQ(h.errors, Texts{"Too Many Transmission Error !!!"}) << what;
      EXPECT_EQ(e.GetState(), TBootState::Error) << what;
    } else {
      EXPECT_TRUE(h.errors.empty()) << what;
      // Every "R" repeats the text just sent: line 0 stays line 0.
      EXPECT_EQ(zero_sends, 2 + c.line_r) << what;
      EXPECT_EQ(h.sent.size(), 6u + c.line_r + c.record_r) << what;
      EXPECT_EQ(h.statuses.back(), "Verify Checksum") << what;
    }
  }
}

// "R" to the second transmission of line 0 (the index has moved on by then) and to line 1.
TEST_F(BootFixture, RetransmitsTheLineSentLast) {
  bool asked = false;
  int zero_sends = 0;
  h.device = [&](const std::string& s) {
    if (s == kL0 + "\r\n" && ++zero_sends == 2) return "R";
    if (s == kL1 + "\r\n" && !asked) {
      asked = true;
      return "R";
    }
    return s == "PB" ? ".." : ".";
  };
  ASSERT_TRUE(h.Offer("PB BOOT.HEX"));
  h.RunUntilIdle();
  EXPECT_EQ(h.sent, (Texts{"PB", kL0 + "\r\n", kL0 + "\r\n", kL0 + "\r\n", kL1 + "\r\n",
                           kL1 + "\r\n", kL2 + "\r\n", kComputedRecord}));
  EXPECT_EQ(h.progress_steps, 5);
}

TEST_F(BootFixture, DeviceRefusals) {
  struct Case {
    std::string refused_text;
    std::string reply;
    std::string error;
  };
  const Case cases[] = {
      {"PB", "I", "Instruction unknown"},
      {"erase", "X", "Error while erasing !!!"},
      {kL1 + "\r\n", "X", "Error while writing!!!"},
      {kComputedRecord, "X", "Checksum Error"},
  };
  for (const Case& c : cases) {
    TProgBoot e;
    EngineHarness<TProgBoot> h(e);
    e.SetCardDir(dir.Path());
    h.device = [&](const std::string& s) {
      if (s == "PB" && c.refused_text == "erase") return std::string(".X");
      if (s == c.refused_text) return c.reply;
      return std::string(s == "PB" ? ".." : ".");
    };
    ASSERT_TRUE(h.Offer("PB BOOT.HEX"));
    h.RunUntilIdle();
    EXPECT_EQ(h.errors, Texts{c.error});
    ASSERT_GE(h.log.size(), 2u);
    EXPECT_EQ(h.log[h.log.size() - 2], "busy:0");  // busy ends first, then the error
    EXPECT_EQ(h.log.back(), "error:" + c.error);
    EXPECT_EQ(e.GetState(), TBootState::Error);
    EXPECT_EQ(h.buffer, "");
    size_t sent = h.sent.size();
    h.Step(3);  // the error state does nothing
    EXPECT_EQ(h.sent.size(), sent);
    e.Reset();
    EXPECT_EQ(e.GetState(), TBootState::Idle);
    EXPECT_EQ(e.GetErrorText(), "");
  }
}

// Nothing may go out before the file is known to be good: "PB" erases the boot area at once.
TEST_F(BootFixture, BadFilesAreRefusedBeforeAnythingIsSent) {
  dir.Write("EMPTY.HEX", "");
  dir.Write("BIN.HEX", std::string("\x7F"
                                   "ELF\x02\x01\x00\x00",
                                   8) +
                           "\n:00000001FF\n");
  dir.Write("TEXT.HEX", "hello\r\nworld\r\n");
  const std::string d = dir.Path();
  const std::string runaway(100000, 'n');
  const std::pair<std::string, std::string> cases[] = {
      {"PB NOPE.HEX", d + "NOPE.HEX File not found !!!"},
      {"PB " + runaway, Excerpt(d + runaway) + " File not found !!!"},
      {"PB BOOT.HEX " + runaway, "Bad checksum \"" + Excerpt(runaway) + "\" in \"" +
                                     Excerpt("PB BOOT.HEX " + runaway) +
                                     "\": four hex digits expected !!!"},
      {"PB NOPE.HEX 1A2B", d + "NOPE.HEX 1A2B File not found !!!"},
      {"PB", d + " File not found !!!"},
      {"PB EMPTY.HEX", "Boot File Empty !!!"},
      {"PB BIN.HEX", d + "BIN.HEX line 1: binary data, not a HEX file !!!"},
      {"PB TEXT.HEX", d + "TEXT.HEX: no HEX record, not a HEX file !!!"},
      {"PB BOOT.HEX 1a2b",
       "Bad checksum \"1a2b\" in \"PB BOOT.HEX 1a2b\": four hex digits expected !!!"},
      {"PB BOOT.HEX 1A2B3",
       "Bad checksum \"1A2B3\" in \"PB BOOT.HEX 1A2B3\": four hex digits expected !!!"},
  };
  for (const auto& [line, error] : cases) {
    TProgBoot e;
    EngineHarness<TProgBoot> h(e);
    e.SetCardDir(d);
    h.device = GoodDevice;
    ASSERT_TRUE(h.Offer(line)) << line;
    h.RunUntilIdle();
    EXPECT_EQ(h.errors, Texts{error}) << line;
    EXPECT_EQ(h.sent, Texts{}) << line;
    EXPECT_EQ(e.GetState(), TBootState::Error) << line;
  }
}

TEST_F(BootFixture, OtherInstructionsAreLeftAlone) {
  for (std::string line : {"P3 BANK.HEX", "P8 X.SVF", "SY", "M3", "prompt PB", "PE KEYB.HEX"}) {
    EXPECT_FALSE(h.Offer(line)) << line;
    EXPECT_EQ(e.GetState(), TBootState::Idle) << line;
  }
  EXPECT_TRUE(h.log.empty());
}

}  // namespace
