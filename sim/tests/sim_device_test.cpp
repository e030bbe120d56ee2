#include "sim_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "formats/hex.h"

namespace {

const std::string kEsc = "\x1B";
const std::string kCrLf = "\r\n";

// A device taken through the variable-mode handshake, synchronised and type-checked.
struct Booted {
  explicit Booted(TSimConfig config = {}) : dev(config) {
    dev.OnComplete = [this](const std::string& name) { completed.push_back(name); };
    EXPECT_EQ(dev.Feed("?"), "DEV" + std::to_string(config.type) + kCrLf);
    EXPECT_EQ(dev.Feed("1yU254yU"), "");
    EXPECT_EQ(dev.Feed("%"), ".");
    dev.Feed(std::to_string(config.type));
  }
  TSimDevice dev;
  std::vector<std::string> completed;
};

// Sends a HEX file the way the boot and PSD engines do: line 0 twice, then the others, each
// with CR LF; returns the replies, one per line.
std::string Upload(TSimDevice& dev, const std::vector<std::string>& lines) {
  std::string replies = dev.Feed(lines[0] + kCrLf);
  for (const auto& line : lines) replies += dev.Feed(line + kCrLf);
  return replies;
}

std::string ChecksumRecord(uint16_t sum) {
  return MakeHexRecord(0x0C, 0, WordToHex(sum)) + kCrLf;
}

const std::vector<std::string> kBootFile = {
    ":020000040000FA",
    MakeHexRecord(0x00, 0x4000, "0102030405060708"),
    "",
    MakeHexRecord(0x00, 0x5FFC, "DEADBEEF"),
    ":00000001FF",
    MakeHexRecord(0x00, 0x4100, "55"),  // after the end record: not written
};

TEST(SimDeviceTest, VariableModeAnswersAndSwitchesToBootLoader) {
  for (int type : {30, 35}) {
    TSimConfig config;
    config.type = type;
    TSimDevice dev(config);
    EXPECT_EQ(dev.Feed("?"), "DEV" + std::to_string(type) + kCrLf);
    EXPECT_EQ(dev.Feed("%"), "") << "not in the boot loader yet";
    EXPECT_EQ(dev.Feed("254yU"), "") << "254 alone does not switch";
    EXPECT_EQ(dev.Feed("%"), "");
    EXPECT_EQ(dev.Feed("1yU"), "");
    EXPECT_EQ(dev.Feed("254y"), "");
    EXPECT_EQ(dev.Feed("U%%"), ".") << "one answer per synchronisation";
  }
  // Values are read to ten digits, and the switch is told in the log.
  TSimDevice dev({});
  std::vector<std::string> log;
  dev.OnLog = [&](const std::string& text) { log.push_back(text); };
  EXPECT_EQ(dev.Feed("0000000001yU0000000254yU%"), ".");
  EXPECT_NE(std::find(log.begin(), log.end(), "boot loader waits for \"%\""), log.end());
}

TEST(SimDeviceTest, OffDeviceIgnoresVariableModeAndAnswersSync) {
  TSimConfig config;
  config.off = true;
  TSimDevice dev(config);
  EXPECT_EQ(dev.Feed("?1yU254yU"), "");
  EXPECT_EQ(dev.Feed("%"), ".");
}

TEST(SimDeviceTest, TypeCheckAndIdentity) {
  struct Case {
    int type;
    std::string id, asked, reply;
  };
  // Erased boot area: 8192 x FF sums to E000; the device reports it plus 6000.
  const std::vector<Case> cases = {
      {30, "0001", "30", ".40000001."},
      {35, "ABCD", "30", "X"},
      {35, "ABCD", "3035", "X.4000ABCD."},
      {30, "0001", "%%30", ".40000001."},  // late "%" requests are dropped
  };
  for (const auto& c : cases) {
    TSimConfig config;
    config.type = c.type;
    config.id = c.id;
    TSimDevice dev(config);
    dev.Feed("?1yU254yU%");
    EXPECT_EQ(dev.Feed(c.asked), c.reply) << c.type << " " << c.asked;
  }
}

TEST(SimDeviceTest, BootChecksumIsReportedOffsetBySixThousand) {
  Booted b;
  ASSERT_EQ(b.dev.Feed("PB"), "..");
  ASSERT_EQ(Upload(b.dev, kBootFile), std::string(kBootFile.size() + 1, '.'));
  const uint16_t sum = HexImageChecksum(kBootFile, 0x4000, 0x5FFF);
  ASSERT_EQ(b.dev.Feed(ChecksumRecord(sum)), ".");
  EXPECT_EQ(b.dev.Feed("%"), ".");
  const std::string identity = b.dev.Feed("30");
  ASSERT_EQ(identity.size(), 10u);
  // What the boot engine shows: the reported value plus A000.
  EXPECT_EQ(WordToHex(HexToWord(identity.substr(1)) + 0xA000), WordToHex(sum));
}

TEST(SimDeviceTest, BootUploadLandsTheImageAndVerifiesTheChecksum) {
  Booted b;
  ASSERT_EQ(b.dev.Feed("PB"), "..");
  ASSERT_EQ(Upload(b.dev, kBootFile), std::string(kBootFile.size() + 1, '.'));
  const auto image = HexImage(kBootFile);
  const std::string expected(image.begin() + 0x4000, image.begin() + 0x6000);
  EXPECT_EQ(b.dev.BootArea(), expected);
  EXPECT_EQ(b.dev.Feed(ChecksumRecord(HexImageChecksum(kBootFile, 0x4000, 0x5FFF) + 1)), "X");
  EXPECT_TRUE(b.completed.empty());
  ASSERT_EQ(b.dev.Feed("PB"), "..");
  Upload(b.dev, kBootFile);
  EXPECT_EQ(b.dev.Feed(ChecksumRecord(HexImageChecksum(kBootFile, 0x4000, 0x5FFF))), ".");
  EXPECT_EQ(b.completed, std::vector<std::string>{"boot.bin"});
}

TEST(SimDeviceTest, RefusedLinesEndTheUpload) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {":0440000001020304F1", "record checksum wrong"},
      {MakeHexRecord(0x00, 0x3FFF, "0102"), "starts below the boot area"},
      {MakeHexRecord(0x00, 0x5FFF, "0102"), "runs past the boot area"},
      {":10400000", "truncated record"},
  };
  for (const auto& [line, why] : cases) {
    Booted b;
    ASSERT_EQ(b.dev.Feed("PB"), "..");
    EXPECT_EQ(b.dev.Feed(line + kCrLf), "X") << why;
    EXPECT_EQ(b.dev.Feed("RS"), ".") << why << ": back to commands";
  }
}

TEST(SimDeviceTest, BanksVerifyTheirOwnHalf) {
  struct Case {
    char digit;
    std::vector<std::string> lines;
    std::string checksum_record;
  };
  const std::vector<Case> cases = {
      {'5', {":00000001FF"}, ":0200000C800072"},
      {'0',
       {MakeHexRecord(0, 0x0000, "00"), ":00000001FF"},
       MakeHexRecord(0x0C, 0, WordToHex(0x8000 - 0xFF)) + ""},
      {'3',
       {MakeHexRecord(0, 0x8000, "1122"), MakeHexRecord(0, 0xFFFE, "3344"), ":00000001FF"},
       MakeHexRecord(0x0C, 0,
                     WordToHex(HexImageChecksum(
                         {MakeHexRecord(0, 0x8000, "1122"), MakeHexRecord(0, 0xFFFE, "3344")},
                         0x8000, 0xFFFF)))},
  };
  for (const auto& c : cases) {
    Booted b;
    ASSERT_EQ(b.dev.Feed(std::string("P") + c.digit), "..");
    EXPECT_EQ(Upload(b.dev, c.lines), std::string(c.lines.size() + 1, '.')) << c.digit;
    EXPECT_EQ(b.dev.Feed(c.checksum_record + kCrLf), ".") << c.digit;
    const auto image = HexImage(c.lines);
    const size_t base = c.digit == '0' ? 0 : 0x8000;
    EXPECT_EQ(b.dev.Bank(c.digit - '0'),
              std::string(image.begin() + base, image.begin() + base + 0x8000));
    EXPECT_EQ(b.completed, std::vector<std::string>{std::string("bank") + c.digit + ".bin"});
  }
  Booted b;
  b.dev.Feed("P1");
  EXPECT_EQ(b.dev.Feed(MakeHexRecord(0, 0x7FFF, "00") + kCrLf), "X") << "outside banks 1-7";
}

TEST(SimDeviceTest, EdidUploadEndsAtTheNextCommand) {
  Booted b;
  const std::vector<std::string> lines = {MakeHexRecord(0, 0, "00FFFFFFFFFFFF00"),
                                          MakeHexRecord(0, 0xF8, "0102030405060708"),
                                          ":00000001FF"};
  EXPECT_EQ(b.dev.Feed("PE"), ".");
  EXPECT_EQ(Upload(b.dev, lines), "....");
  EXPECT_TRUE(b.completed.empty());
  EXPECT_EQ(b.dev.Feed("TE"), ".0000.");
  EXPECT_EQ(b.completed, std::vector<std::string>{"edid.bin"});
  EXPECT_EQ(b.dev.Edid().substr(0, 8), std::string("\x00\xFF\xFF\xFF\xFF\xFF\xFF\x00", 8));
  EXPECT_EQ(b.dev.Edid().substr(0xF8), "\x01\x02\x03\x04\x05\x06\x07\x08");
  EXPECT_EQ(b.dev.Edid().substr(8, 8), std::string(8, '\xFF'));
}

TEST(SimDeviceTest, ShortCommands) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"D2", ".A2."}, {"D7", ".A7."},   {"D8", ".01E80D0C."}, {"DA", ".01EA0D0C."}, {"F3", "."},
      {"F9", "."},    {"FY", "."},      {"RS", "."},          {"NP", "."},          {"M0", "."},
      {"M1", "X"},    {"T0", ".0000."}, {"T8", ".0101."},     {"TX", "I"},          {"PZ", "I"},
      {"DB", "I"},    {"Z", "I"},       {"\r\nRS", "."},      {"MX", "I"},          {"RX", "I"},
      {"NQ", "I"},    {"V?", "I"},      {"UX", "I"},          {"OX", "I"},          {"FZ", "I"},
      {"ZRS", "I."},  {"rs", "II"},
  };
  TSimConfig config;
  config.versions['8'] = "0101";
  for (const auto& [sent, reply] : cases) {
    Booted b(config);
    EXPECT_EQ(b.dev.Feed(sent), reply) << sent;
  }
}

TEST(SimDeviceTest, VersionsAreWrittenAndReadBack) {
  Booted b;
  EXPECT_EQ(b.dev.Feed("V0"), ".");
  EXPECT_EQ(b.dev.Feed("01"), "");
  EXPECT_EQ(b.dev.Feed("30"), ".");
  EXPECT_EQ(b.dev.Feed("T0"), ".0130.");
  EXPECT_EQ(b.dev.Feed("T1"), ".0000.") << "components keep their own versions";
  EXPECT_EQ(b.dev.Feed("UV"), ".");
  EXPECT_EQ(b.dev.Feed("0200"), ".");
  EXPECT_EQ(b.dev.Feed("OP0000"), "..");
  EXPECT_EQ(b.dev.Version('0'), "0130");
  EXPECT_EQ(b.dev.Version('u'), "0200");
  EXPECT_NE(b.dev.VersionTable().find("0=0130\n"), std::string::npos);
}

TEST(SimDeviceTest, FinishReturnsToVariableModeKeepingMemory) {
  Booted b;
  b.dev.Feed("V8");
  b.dev.Feed("0101");
  EXPECT_EQ(b.dev.Feed("FI"), ".");
  EXPECT_EQ(b.dev.Feed("?"), "DEV30\r\n");
  b.dev.Feed("1yU254yU%30");
  EXPECT_EQ(b.dev.Feed("T8"), ".0101.");
}

TEST(SimDeviceTest, FragmentedInputGivesTheSameReplies) {
  const std::string session = "?1yU254yU%30PB" + kBootFile[1] + kCrLf + kBootFile[1] + kCrLf +
                              ChecksumRecord(HexImageChecksum({kBootFile[1]}, 0x4000, 0x5FFF)) +
                              "T0V10123FI";
  TSimDevice whole({}), bytewise({});
  std::string a = whole.Feed(session), b;
  for (char c : session) b += bytewise.Feed(std::string(1, c));
  EXPECT_EQ(a, "DEV30\r\n" + std::string(".") + ".40000001." + "....." + ".0000." + "...");
  EXPECT_EQ(a, b);
  EXPECT_EQ(whole.BootArea(), bytewise.BootArea());
}

// Every mode drops what it cannot use a byte or a line at a time; a read of megabytes of noise
// still ends with the answer to what follows it. How long that takes is the growth benchmark's
// business.
TEST(SimDeviceTest, MegabytesOfNoiseInOneReadAreDropped) {
  struct Case {
    const char* mode;
    std::string before, unit, after, reply;
  };
  const std::vector<Case> cases = {
      {"variable mode", "", "x", "?", "DEV30\r\n"},
      {"waiting for %", "1yU254yU", "x", "%", "."},
      {"commands", "1yU254yU%30", "\n", "RS", "."},
      {"EDID upload lines", "1yU254yU%30PE", "\r\n", "RS", ".."},
  };
  constexpr size_t kNoiseBytes = 2 << 20;
  for (const Case& c : cases) {
    TSimDevice dev({});
    dev.Feed(c.before);
    std::string noise;
    while (noise.size() < kNoiseBytes) noise += c.unit;
    EXPECT_TRUE(dev.Feed(noise + c.after).ends_with(c.reply)) << c.mode;
  }
  // A line may grow to 1024 bytes before its end; a longer one is garbage at once.
  TSimDevice dev({});
  dev.Feed("1yU254yU%30PE");
  EXPECT_EQ(dev.Feed(":" + std::string(1023, '0')), "");
  EXPECT_NE(dev.Feed("0"), "");
}

TEST(SimDeviceTest, FaultsOnLines) {
  const std::vector<std::string> lines = {MakeHexRecord(0, 0x8000, "01"), ":00000001FF"};
  {
    TSimConfig config;
    config.fail_line = 2;
    Booted b(config);
    b.dev.Feed("P1");
    EXPECT_EQ(b.dev.Feed(lines[0] + kCrLf), ".");
    EXPECT_EQ(b.dev.Feed(lines[0] + kCrLf), "X");
    EXPECT_EQ(b.dev.Feed("RS"), ".");
  }
  {
    TSimConfig config;
    config.retry_rate = 0.999999;
    Booted b(config);
    b.dev.Feed("P1");
    EXPECT_EQ(b.dev.Feed(lines[0] + kCrLf), "R");
    EXPECT_EQ(b.dev.Bank(1)[0], '\xFF') << "a line answered R is not written";
  }
  {
    TSimConfig config;
    config.hangup_after = 2;
    Booted b(config);
    b.dev.Feed("P1");
    EXPECT_EQ(b.dev.Feed(lines[0] + kCrLf), ".");
    EXPECT_FALSE(b.dev.HungUp());
    EXPECT_EQ(b.dev.Feed(lines[0] + kCrLf + lines[1] + kCrLf), "");
    EXPECT_TRUE(b.dev.HungUp());
    EXPECT_EQ(b.dev.Feed("RS"), "");
    EXPECT_EQ(b.dev.LinesReceived(), 2);
  }
}

TEST(SimDeviceTest, RetryDrawsRepeatWithTheSeed) {
  auto draws = [](uint32_t seed) {
    TSimConfig config;
    config.retry_rate = 0.5;
    config.seed = seed;
    Booted b(config);
    b.dev.Feed("P1");
    std::string r;
    for (int i = 0; i < 64; ++i) r += b.dev.Feed(MakeHexRecord(0, 0x8000, "01") + kCrLf);
    return r;
  };
  EXPECT_EQ(draws(7), draws(7));
  EXPECT_NE(draws(7), draws(8));
  EXPECT_NE(draws(7).find('R'), std::string::npos);
  EXPECT_NE(draws(7).find('.'), std::string::npos);
}

TEST(SimDeviceTest, AbortDropsAnInstructionWhoseTrafficStopped) {
  Booted b;
  b.dev.Feed("P2");
  b.dev.Feed(":10800000");
  EXPECT_TRUE(b.dev.MidInstruction());
  b.dev.Abort();
  EXPECT_FALSE(b.dev.MidInstruction());
  EXPECT_EQ(b.dev.Feed("%"), ".") << "a new run synchronises again";
  b.dev.Feed("30P8" + MakeHexRecord(0xA3, 8, "00") + kCrLf);  // the start of a split data scan
  EXPECT_EQ(b.dev.Jtag('8').Tap(), tsDRSHIFT);
  b.dev.Abort();
  EXPECT_EQ(b.dev.Jtag('8').Tap(), tsRESET) << "the chain is reset";
}

}  // namespace
