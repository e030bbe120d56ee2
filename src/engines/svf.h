#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Encoding of effect-file lines (a small subset of SVF, one statement per line) into the
// statement records and data blocks that the device plays into its JTAG chain. No file, device
// or event is touched here, so the engine, the script checker and the device simulator share it.

// The statement last encoded. Hex values are held as sent: upper case, least significant byte
// first, padded to whole bytes.
struct TSvfStatement {
  int32_t ScanLength = 0;      // bit length of an SIR or SDR; 0 otherwise
  uint32_t StatementType = 0;  // record type of an SIR or SDR with its flag bits; 0 otherwise
  std::string TdiData;         // TDI; after a long SDR, the data block to send after the record
  std::string TdoData;         // expected TDO, empty when none
  std::string MaskData;        // MASK, empty when none
  std::string SmaskData;       // SMASK, empty when none
  bool BlockPending = false;   // the record must be followed by TdiData once the device accepts it
};

// Record type bits of SIR and SDR.
inline constexpr uint32_t kSvfTypeSir = 0x02;
inline constexpr uint32_t kSvfTypeSdr = 0x03;
inline constexpr uint32_t kSvfFlagTdo = 0x10;
inline constexpr uint32_t kSvfFlagStart = 0x20;
inline constexpr uint32_t kSvfFlagEnd = 0x40;
inline constexpr uint32_t kSvfFlagUniform = 0x80;
inline constexpr int32_t kSvfMaxScanLength = 512;

// What the engine sends after the last statement of an effect file (without line end).
inline constexpr char kSvfEndRecord[] = ":00000001FF";
// The answer of EncodeStatement for a line that must stop the effect file.
inline constexpr char kSvfError[] = "Error";

enum TSvfOutcome : uint8_t { esSKIP, esRECORD, esERROR };

struct TSvfEncoding {
  TSvfOutcome Outcome = esSKIP;
  std::string Record;  // esRECORD: the statement record, without line end
  std::string Reason;  // esERROR: what is wrong with the line, for checkers and logs
};

// Encodes one line (without its line end) and rewrites `st` from scratch. Never throws; any
// content and length is safe.
TSvfEncoding EncodeSvfLine(std::string_view line, TSvfStatement& st);

// The same as one text: empty (nothing to send), "Error", or the record.
std::string EncodeStatement(std::string_view line, TSvfStatement& st);

// Takes a TAP state name from the front of `text` (leading blanks skipped first) and gives its
// two-digit code; on failure `text` only loses its leading blanks and the result is empty.
std::string ParseTapState(std::string_view& text);

// Reverses the order of the two-digit groups: "1234ABCD" -> "CDAB3412".
std::string ReverseHexBytes(std::string_view text);

// When both have the same length, each target digit becomes the AND of it and the mask digit.
void AndHexDigits(std::string_view mask, std::string& target);

// True, with the digit, when every character of `text` equals the first; false for "".
bool UniformHexDigit(std::string_view text, char& digit);

// Appends the 8-bit sum of the bytes of the whole two-digit groups as two digits.
void AppendHexSum(std::string& text);

// Blanks are every byte up to and including the space, as for trimmed script lines.
inline bool IsSvfBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}
