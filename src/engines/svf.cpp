#include "engines/svf.h"

#include <utility>

#include "formats/hex.h"
#include "formats/text.h"

namespace {

// Order matters only for names that begin alike; the first match wins.
constexpr std::pair<std::string_view, const char*> kTapStates[] = {
    {"RESET", "00"},    {"IDLE", "01"},     {"DRSELECT", "02"},  {"DRCAPTURE", "03"},
    {"DRSHIFT", "04"},  {"DREXIT1", "05"},  {"DRPAUSE", "06"},   {"DREXIT2", "07"},
    {"DRUPDATE", "08"}, {"IRSELECT", "09"}, {"IRCAPTURE", "0A"}, {"IRSHIFT", "0B"},
    {"IREXIT1", "0C"},  {"IRPAUSE", "0D"},  {"IREXIT2", "0E"},   {"IRUPDATE", "0F"},
};

// The record's byte count is one byte.
constexpr size_t kMaxRecordDigits = 2 * 255;

void SkipBlanks(std::string_view& t) {
  while (!t.empty() && IsSvfBlank(t.front())) t.remove_prefix(1);
}

bool TakePrefix(std::string_view& t, std::string_view prefix) {
  if (!t.starts_with(prefix)) return false;
  t.remove_prefix(prefix.size());
  return true;
}

bool StartsWithSemicolon(std::string_view t) {
  return !t.empty() && t.front() == ';';
}

// The text up to the first blank, cut off and leaving the blank; a word that no blank follows
// is read as empty and nothing is cut.
std::string_view TakeWord(std::string_view& t) {
  size_t i = 0;
  while (i < t.size() && !IsSvfBlank(t[i])) ++i;
  if (i == t.size()) return {};
  std::string_view word = t.substr(0, i);
  t.remove_prefix(i);
  return word;
}

TSvfEncoding Skip() {
  return {};
}
TSvfEncoding Record(std::string record) {
  return {esRECORD, std::move(record), {}};
}
TSvfEncoding Fail(std::string reason) {
  return {esERROR, {}, std::move(reason)};
}

TSvfEncoding EncodeEndState(std::string_view t, int type, const char* keyword) {
  SkipBlanks(t);
  std::string code = ParseTapState(t);
  if (code.empty()) return Fail(std::string("no TAP state after ") + keyword);
  SkipBlanks(t);
  if (!StartsWithSemicolon(t)) return Fail(std::string("missing ';' after ") + keyword);
  return Record(MakeHexRecord(type, 0, code));
}

TSvfEncoding EncodeState(std::string_view t) {
  SkipBlanks(t);
  std::string path;
  while (!t.empty()) {
    std::string code = ParseTapState(t);
    if (!code.empty()) {
      path += code;
      SkipBlanks(t);
      continue;
    }
    if (!StartsWithSemicolon(t)) return Fail("unknown TAP state in STATE");
    if (path.size() > kMaxRecordDigits) return Fail("STATE path longer than 255 states");
    return Record(MakeHexRecord(0x05, 0, path));
  }
  return Skip();  // no ';' yet: the statement is not complete
}

TSvfEncoding EncodeRunTest(std::string_view t) {
  SkipBlanks(t);
  std::string code = ParseTapState(t);
  if (code.empty()) code = "01";
  SkipBlanks(t);
  std::optional<int64_t> count = StrToInt(TakeWord(t));
  if (!count) return Fail("RUNTEST count is not a number followed by a blank");
  if (*count < 0) return Fail("negative RUNTEST count");
  SkipBlanks(t);
  if (!TakePrefix(t, "TCK")) return Fail("RUNTEST without TCK");
  SkipBlanks(t);
  if (!StartsWithSemicolon(t)) return Fail("missing ';' after RUNTEST");
  return Record(MakeHexRecord(0x04, 0, DWordToHex(static_cast<uint32_t>(*count)) + code));
}

// Whole bytes, upper case, least significant byte first. SVF writes the most significant digit
// first, so an odd count is short of a leading zero.
void PrepareValue(std::string& v) {
  if (v.size() % 2 != 0) v.insert(v.begin(), '0');
  for (char& c : v)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  v = ReverseHexBytes(v);
}

TSvfEncoding FinishScan(TSvfStatement& st) {
  for (std::string* v : {&st.TdiData, &st.TdoData, &st.MaskData, &st.SmaskData}) PrepareValue(*v);
  if (!st.SmaskData.empty()) AndHexDigits(st.SmaskData, st.TdiData);
  if (!st.TdoData.empty()) st.StatementType |= kSvfFlagTdo;
  if ((st.StatementType & 0x0F) != kSvfTypeSdr) {
    if (st.TdiData.size() > kMaxRecordDigits) return Fail("SIR TDI longer than 255 bytes");
    return Record(MakeHexRecord(static_cast<int>(st.StatementType), st.ScanLength, st.TdiData));
  }
  if (st.TdiData.empty()) return Fail("SDR without TDI value");
  char d;
  if (UniformHexDigit(st.TdiData, d)) {
    st.StatementType |= kSvfFlagUniform;
    return Record(
        MakeHexRecord(static_cast<int>(st.StatementType), st.ScanLength, std::string{d, d}));
  }
  AppendHexSum(st.TdiData);
  if (st.TdiData.size() > 255) return Fail("SDR data block longer than 255 characters");
  st.BlockPending = true;
  return Record(MakeHexRecord(static_cast<int>(st.StatementType), st.ScanLength,
                              ByteToHex(static_cast<int>(st.TdiData.size()))));
}

TSvfEncoding EncodeScan(std::string_view t, TSvfStatement& st, bool sdr) {
  const char* keyword = sdr ? "SDR" : "SIR";
  if (t.empty()) return Fail(std::string("line ends after ") + keyword);
  // The character right after the keyword marks start, continuation or end of a split scan.
  uint32_t flags = kSvfFlagStart | kSvfFlagEnd;
  if (t.front() == 'C') flags = 0;
  if (t.front() == 'S') flags = kSvfFlagStart;
  if (t.front() == 'E') flags = kSvfFlagEnd;
  st.StatementType = (sdr ? kSvfTypeSdr : kSvfTypeSir) | flags;
  t.remove_prefix(1);

  SkipBlanks(t);
  std::optional<int64_t> length = StrToInt(TakeWord(t));
  if (!length) return Fail(std::string(keyword) + " bit length is not a number");
  if (*length < 0) return Fail(std::string("negative ") + keyword + " bit length");
  if (*length > kSvfMaxScanLength) return Fail(std::string(keyword) + " bit length over 512");
  st.ScanLength = static_cast<int32_t>(*length);

  SkipBlanks(t);
  // The text only ever loses its front: once no ")" is left, none will come back, and searching
  // again for every later keyword would make a long broken line quadratic.
  bool no_close = false;
  while (!t.empty()) {
    std::string* value = nullptr;
    if (TakePrefix(t, "TDI"))
      value = &st.TdiData;
    else if (TakePrefix(t, "TDO"))
      value = &st.TdoData;
    else if (TakePrefix(t, "MASK"))
      value = &st.MaskData;
    else if (TakePrefix(t, "SMASK"))
      value = &st.SmaskData;
    else if (StartsWithSemicolon(t))
      return FinishScan(st);
    else
      return Fail(std::string("unexpected text in ") + keyword);
    SkipBlanks(t);
    if (!t.empty()) t.remove_prefix(1);  // the opening parenthesis, whatever stands there
    const size_t close = no_close ? std::string_view::npos : t.find(')');
    if (close == std::string_view::npos) {
      no_close = true;
      value->clear();  // the digits stay in the text and fail as unexpected text
    } else {
      value->assign(t.substr(0, close));
      t.remove_prefix(close + 1);
    }
    SkipBlanks(t);
  }
  return Skip();  // no ';' yet: the statement is not complete
}

}  // namespace

TSvfEncoding EncodeSvfLine(std::string_view line, TSvfStatement& st) {
  st = TSvfStatement{};
  SkipBlanks(line);
  std::string_view t = line;
  if (t.starts_with("//") || t.starts_with("TRST")) return Skip();
  if (TakePrefix(t, "ENDIR")) return EncodeEndState(t, 0x06, "ENDIR");
  if (TakePrefix(t, "ENDDR")) return EncodeEndState(t, 0x07, "ENDDR");
  if (TakePrefix(t, "STATE")) return EncodeState(t);
  if (TakePrefix(t, "RUNTEST")) return EncodeRunTest(t);
  if (TakePrefix(t, "SIR")) return EncodeScan(t, st, false);
  if (TakePrefix(t, "SDR")) return EncodeScan(t, st, true);
  return Fail(line.empty() ? "empty line" : "unknown statement");
}

std::string EncodeStatement(std::string_view line, TSvfStatement& st) {
  TSvfEncoding e = EncodeSvfLine(line, st);
  if (e.Outcome == esERROR) return kSvfError;
  return std::move(e.Record);
}

std::string ParseTapState(std::string_view& text) {
  SkipBlanks(text);
  for (const auto& [name, code] : kTapStates)
    if (TakePrefix(text, name)) return code;
  return {};
}

std::string ReverseHexBytes(std::string_view text) {
  std::string s(text);
  const size_t n = s.size();
  // 0-based form of: for i = 1, 3, 5, ... while i < n div 2, swap i with n-i and i+1 with n-i+1.
  for (size_t i = 0; i + 1 < n / 2; i += 2) {
    std::swap(s[i], s[n - i - 2]);
    std::swap(s[i + 1], s[n - i - 1]);
  }
  return s;
}

void AndHexDigits(std::string_view mask, std::string& target) {
  if (mask.size() != target.size()) return;
  for (size_t i = 0; i < target.size(); ++i)
    target[i] = HexDigit(HexValue(mask[i]) & HexValue(target[i]));
}

bool UniformHexDigit(std::string_view text, char& digit) {
  if (text.empty()) return false;
  for (char c : text.substr(1))
    if (c != text.front()) return false;
  digit = text.front();
  return true;
}

void AppendHexSum(std::string& text) {
  int sum = 0;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    sum += HexValue(text[i]) * 16 + HexValue(text[i + 1]);
  text += ByteToHex(sum & 0xFF);
}
