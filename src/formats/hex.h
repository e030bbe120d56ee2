#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Hexadecimal text helpers and Intel HEX records (16-bit addressing). Output is upper case;
// characters that are not hex digits count as 0. Nothing here reads past the end of its input.

char HexDigit(int v);                // digit of the low four bits
int HexValue(char c);                // "0"-"9", "A"-"F" -> 0..15; anything else -> 0
bool IsHexDigit(char c);             // one of "0"-"9", "A"-"F"
std::string ByteToHex(int v);        // low 8 bits, two digits
std::string WordToHex(int v);        // low 16 bits, four digits
std::string DWordToHex(uint32_t v);  // eight digits
// Value of the first four characters. A shorter text is read as the number its digits spell
// ("7F" -> 0x007F), never past its end.
uint16_t HexToWord(std::string_view text);

struct HexRecord {
  uint8_t count = 0;
  uint8_t type = 0;
  uint16_t address = 0;
  std::string data;       // exactly `count` bytes
  bool complete = false;  // the line holds every data position; the checksum may be missing
};

// Positions missing from a short line read as "0"; `complete` tells whether any data position
// was missing. The record checksum is neither read nor verified (see HexRecordChecksumOk).
HexRecord ParseHexRecord(std::string_view line);

// True when the line is a complete record whose bytes, checksum included, sum to 0 mod 256.
bool HexRecordChecksumOk(std::string_view line);

// 16-bit wrap-around sum of the image bytes first..last of the 64 KiB image that the lines
// describe (0xFF where no data record wrote). Records short of their data and bytes past 0xFFFF
// are dropped; an end record stops reading, with or without its checksum.
uint16_t HexImageChecksum(const std::vector<std::string>& lines, uint16_t first, uint16_t last);

// The 64 KiB image itself, built by the same rules as HexImageChecksum.
std::vector<uint8_t> HexImage(const std::vector<std::string>& lines);

// ":" + count + address + type + data + checksum. An unpaired last data digit is copied but
// left out of the checksum.
std::string MakeHexRecord(int type, int address, std::string_view data);
