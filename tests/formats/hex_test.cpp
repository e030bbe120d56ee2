#include "formats/hex.h"

#include <gtest/gtest.h>

#include <cctype>

TEST(Hex, DigitsAndWords) {
  EXPECT_EQ(HexDigit(0x1F), 'F');
  EXPECT_EQ(HexValue('A'), 10);
  EXPECT_EQ(HexValue('9'), 9);
  for (char c : std::string("afgx :\0", 7)) EXPECT_EQ(HexValue(c), 0) << int(c);
  for (char c : std::string("/09:@AFGaf"))
    EXPECT_EQ(IsHexDigit(c), std::isxdigit(c) && !std::islower(c)) << c;
  EXPECT_EQ(ByteToHex(0x1AB), "AB");
  EXPECT_EQ(WordToHex(0x00AF), "00AF");
  EXPECT_EQ(WordToHex(-1), "FFFF");
  EXPECT_EQ(DWordToHex(0x12AB), "000012AB");
  EXPECT_EQ(DWordToHex(0xDEADBEEF), "DEADBEEF");
  EXPECT_EQ(HexToWord("7FFF"), 32767);
  EXPECT_EQ(HexToWord("1A2B99"), 0x1A2B);
  EXPECT_EQ(HexToWord("1a2B"), 0x102B);  // lower case counts as 0
  // Shorter than four characters: the digits present, never past the end.
  EXPECT_EQ(HexToWord("7F"), 0x7F);
  EXPECT_EQ(HexToWord(""), 0);
}

TEST(Hex, ParseRecord) {
  HexRecord r = ParseHexRecord(":0312340001A2FF47");
  EXPECT_EQ(r.count, 3);
  EXPECT_EQ(r.address, 0x1234);
  EXPECT_EQ(r.type, 0);
  EXPECT_EQ(r.data, std::string("\x01\xA2\xFF", 3));
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(HexRecordChecksumOk(":0312340001A2FF15"));
  EXPECT_FALSE(HexRecordChecksumOk(":0312340001A2FF16"));
  EXPECT_TRUE(HexRecordChecksumOk(":00000001FF"));

  // Truncated lines: every prefix parses without reading past the end; a record is complete
  // once its data is there, but its checksum verifies only when present.
  const std::string full = ":0312340001A2FF15";
  for (size_t n = 0; n < full.size(); ++n) {
    HexRecord p = ParseHexRecord(full.substr(0, n));
    EXPECT_EQ(p.data.size(), n >= 3 ? 3u : 0u) << n;
    EXPECT_EQ(p.complete, n >= 15) << n;
    EXPECT_FALSE(HexRecordChecksumOk(full.substr(0, n))) << n;
  }
  EXPECT_TRUE(ParseHexRecord(":00000001").complete);
}

TEST(Hex, ImageChecksum) {
  EXPECT_EQ(HexImageChecksum({":00000001FF"}, 0x4000, 0x5FFF), 0xE000);
  EXPECT_EQ(HexImageChecksum({}, 0x4000, 0x5FFF), 0xE000);  // no end record: all lines read
  EXPECT_EQ(HexImageChecksum({":00000001FF"}, 0x10, 0x0F), 0);
  EXPECT_EQ(HexImageChecksum({":00000001FF"}, 0, 0xFFFF), static_cast<uint16_t>(65536 * 0xFF));
  EXPECT_EQ(HexImage({}), std::vector<uint8_t>(65536, 0xFF));

  // One data byte 0x01 at 0x4000 replaces one 0xFF.
  std::vector<std::string> lines = {
      ":01400000"
      "01"
      "BE",
      ":00000001FF"};
  EXPECT_EQ(HexImageChecksum(lines, 0x4000, 0x5FFF), 0xE000 - 0xFF + 1);
  // Data after the end record does not count.
  std::vector<std::string> after = {":00000001FF", ":0140000001BE"};
  EXPECT_EQ(HexImageChecksum(after, 0x4000, 0x5FFF), 0xE000);
  // Extended address records are skipped; following data lands at its 16-bit address.
  std::vector<std::string> ext = {":020000040001F9", ":020000021000EC", ":0140000001BE"};
  EXPECT_EQ(HexImageChecksum(ext, 0x4000, 0x4000), 1);
  // Lower-case digits read as 0; non-record lines are skipped.
  std::vector<std::string> lower = {"", "garbage", ":01400000aB00"};
  EXPECT_EQ(HexImageChecksum(lower, 0x4000, 0x4000), 0x0B);
  // A record short of its data writes nothing; one short of its checksum only counts in full.
  EXPECT_EQ(HexImageChecksum({":044000000102"}, 0x4000, 0x4000), 0xFF);
  EXPECT_EQ(HexImageChecksum({":0100000012", ":00000001FF"}, 0, 0x7FFF), 0x7F13);
  EXPECT_EQ(MakeHexRecord(0x0C, 0, WordToHex(0x7F13)), ":0200000C7F1360");
  // An end record without its checksum still ends the file.
  EXPECT_EQ(HexImageChecksum({":00000001", ":0140000001BE"}, 0x4000, 0x5FFF), 0xE000);
  // Bytes past 0xFFFF are dropped, never wrapped to address 0.
  std::vector<std::string> wrap = {":04FFFE00010203040000"};
  EXPECT_EQ(HexImageChecksum(wrap, 0xFFFE, 0xFFFF), 3);
  EXPECT_EQ(HexImageChecksum(wrap, 0, 1), 0x1FE);
}

TEST(Hex, MakeRecord) {
  EXPECT_EQ(MakeHexRecord(0x0C, 0, "1234"), ":0200000C1234AC");
  EXPECT_EQ(MakeHexRecord(1, 0, ""), ":00000001FF");
  EXPECT_EQ(MakeHexRecord(0x63, 0x0010, "").size(), 11u);
  for (int len : {0, 2, 10, 200}) {
    std::string rec = MakeHexRecord(0x62, 0xABCD, std::string(len, '7'));
    EXPECT_TRUE(HexRecordChecksumOk(rec)) << rec;
  }
  // 300 digits: the count keeps only its low 8 bits.
  EXPECT_EQ(MakeHexRecord(0, 0, std::string(300, '0')).substr(1, 2), "96");
  // An unpaired last digit is copied but left out of the checksum.
  EXPECT_EQ(MakeHexRecord(0x0C, 0, "123"),
            ":0100000C123" + ByteToHex((256 - 0x01 - 0x0C - 0x12) & 0xFF));
}
