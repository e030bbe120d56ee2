#include "convert/svfconvert.h"

#include <algorithm>
#include <utility>

#include "convert/svfreader.h"
#include "convert/svfscan.h"
#include "engines/svf.h"
#include "formats/text.h"

namespace {

using TTokens = std::vector<TSvfToken>;

enum TKeyword : uint8_t {
  kwSIR,
  kwSDR,
  kwHIR,
  kwHDR,
  kwTIR,
  kwTDR,
  kwENDIR,
  kwENDDR,
  kwSTATE,
  kwRUNTEST,
  kwFREQUENCY,
  kwTRST,
  kwPIO,
  kwPIOMAP,
  kwUNKNOWN
};

constexpr std::pair<std::string_view, TKeyword> kKeywords[] = {
    {"SIR", kwSIR},
    {"SDR", kwSDR},
    {"HIR", kwHIR},
    {"HDR", kwHDR},
    {"TIR", kwTIR},
    {"TDR", kwTDR},
    {"ENDIR", kwENDIR},
    {"ENDDR", kwENDDR},
    {"STATE", kwSTATE},
    {"RUNTEST", kwRUNTEST},
    {"FREQUENCY", kwFREQUENCY},
    {"TRST", kwTRST},
    {"PIO", kwPIO},
    {"PIOMAP", kwPIOMAP},
};

TKeyword KeywordOf(const TSvfToken& t) {
  for (const auto& [name, keyword] : kKeywords)
    if (!t.Value && t.Text == name) return keyword;
  return kwUNKNOWN;
}

// The whole word must be one TAP state name; its two-digit code, or empty.
std::string TapStateCode(const TSvfToken& t) {
  if (t.Value) return {};
  std::string_view rest = t.Text;
  std::string code = ParseTapState(rest);
  return rest.empty() ? code : std::string();
}

// RESET, IDLE, DRPAUSE and IRPAUSE: the states the chain may rest in.
bool IsStableCode(const std::string& code) {
  return code == "00" || code == "01" || code == "06" || code == "0D";
}

bool IsWord(const TTokens& t, size_t i, std::string_view word) {
  return i < t.size() && !t[i].Value && t[i].Text == word;
}

// The fewest bytes the lines of a scan of `bits` take: its TDI hex digits, and for each line of
// at most kSvfSegmentBits its keyword, a length digit, " TDI ()", ";" and CR LF.
uint64_t ScanBytesAtLeast(uint64_t bits, size_t keyword) {
  const uint64_t lines = (bits + kSvfSegmentBits - 1) / kSvfSegmentBits;
  return (bits + 7) / 8 * 2 + lines * (keyword + 11);
}

// The most clocks one RUNTEST statement of an effect file carries (a 32-bit signed count).
constexpr uint64_t kMaxRunCount = 0x7FFFFFFF;

class TConverter {
 public:
  TConverter(const TSvfConvertOptions& options, const std::function<bool(std::string_view)>& write)
      : options_(options), write_(write) {}

  TSvfConvertResult Run(const std::string& path);

 private:
  bool Statement(const TSvfSourceStatement& st);
  bool Pattern(TSvfPattern& pattern, const TTokens& t, uint64_t max_bits, const char* longest);
  bool Pad(TSvfPattern& pattern, const TTokens& t);
  bool Scan(TSvfPattern& body, const TSvfPattern& header, const TSvfPattern& trailer,
            const TTokens& t);
  bool EndState(const TTokens& t);
  bool State(const TTokens& t);
  bool RunTest(const TTokens& t);
  bool RunTestClocks(const TTokens& t, size_t& i, uint64_t& clocks);
  bool Frequency(const TTokens& t);
  bool Trst(const TTokens& t);
  bool StableState(const TTokens& t, size_t i, const char* what, std::string& code);
  bool Emit(const std::string& line);
  bool Grow(uint64_t bytes);
  // Notes the error at the token's line (the statement's without one) and stops the output.
  bool Fail(const std::string& why, const TSvfToken* at = nullptr);
  bool FailAt(int64_t line, const std::string& why);

  const TSvfConvertOptions& options_;
  const std::function<bool(std::string_view)>& write_;
  TSvfConvertResult result_;
  int64_t line_ = 0;      // of the statement being converted
  uint64_t written_ = 0;  // bytes of the effect file, CR LF line ends included
  bool writing_ = true;   // no error yet
  bool stop_ = false;     // the output failed, or enough errors are listed
  bool started_ = false;  // the end states are set
  TSvfPattern hir_, hdr_, tir_, tdr_, sir_, sdr_;
  std::optional<TSvfReal> frequency_;
  std::string run_state_ = "IDLE", end_state_ = "IDLE";
  std::string end_ir_ = "IDLE", end_dr_ = "IDLE";
};

TSvfConvertResult TConverter::Run(const std::string& path) {
  TSvfReader reader;
  if (!reader.Open(path)) {
    FailAt(0, "cannot be read (" + reader.Error() + ")");
    return result_;
  }
  TSvfSourceStatement st;
  std::string comment;
  while (!stop_) {
    switch (reader.Next(st, comment, line_)) {
      case TSvfReader::riCOMMENT:
        Emit("//" + comment);
        break;
      case TSvfReader::riSTATEMENT:
        line_ = st.Line;
        ++result_.Statements;
        // The device keeps the end states a file before set: the standard's are made plain.
        if (!started_) started_ = Emit("ENDIR IDLE;") && Emit("ENDDR IDLE;");
        if (!st.Tokens.empty()) Statement(st);
        break;
      case TSvfReader::riEND:
        result_.Ok = result_.Errors.empty();
        return result_;
      case TSvfReader::riERROR:
        FailAt(reader.ErrorLine(), reader.Error());
        break;
    }
  }
  return result_;
}

bool TConverter::Statement(const TSvfSourceStatement& st) {
  const TTokens& t = st.Tokens;
  switch (KeywordOf(t[0])) {
    case kwSIR:
      return Scan(sir_, hir_, tir_, t);
    case kwSDR:
      return Scan(sdr_, hdr_, tdr_, t);
    case kwHIR:
      return Pad(hir_, t);
    case kwHDR:
      return Pad(hdr_, t);
    case kwTIR:
      return Pad(tir_, t);
    case kwTDR:
      return Pad(tdr_, t);
    case kwENDIR:
    case kwENDDR:
      return EndState(t);
    case kwSTATE:
      return State(t);
    case kwRUNTEST:
      return RunTest(t);
    case kwFREQUENCY:
      return Frequency(t);
    case kwTRST:
      return Trst(t);
    case kwPIO:
    case kwPIOMAP:
      return Fail(t[0].Text + ": the device drives no parallel pins; it cannot play this file");
    case kwUNKNOWN:
      break;
  }
  return Fail("unknown statement \"" + EscapeControls(Excerpt(t[0].Text)) + "\"");
}

// "length [TDI (v)] [TDO (v)] [MASK (v)] [SMASK (v)]", each at most once, in any order.
bool TConverter::Pattern(TSvfPattern& pattern, const TTokens& t, uint64_t max_bits,
                         const char* longest) {
  const std::string& keyword = t[0].Text;
  std::optional<int64_t> length;
  if (t.size() >= 2 && !t[1].Value) length = StrToInt(t[1].Text, 0, INT64_MAX);
  if (!length)
    return Fail(keyword + ": the bit length must follow as a whole number",
                &t[t.size() > 1 ? 1 : 0]);
  if (static_cast<uint64_t>(*length) > max_bits)
    return Fail(keyword + ": " + t[1].Text + " bits, more than the longest " + longest +
                    " converted (" + std::to_string(max_bits) + " bits)",
                &t[1]);
  TSvfPatternArgs args;
  args.Length = static_cast<uint64_t>(*length);
  const TSvfToken* values[4] = {};  // where TDI, TDO, MASK and SMASK stand
  for (size_t i = 2; i < t.size(); i += 2) {
    static const char* const kNames[] = {"TDI", "TDO", "MASK", "SMASK"};
    std::optional<std::string>* fields[] = {&args.Tdi, &args.Tdo, &args.Mask, &args.Smask};
    int k = 0;
    while (k < 4 && !IsWord(t, i, kNames[k])) ++k;
    if (k == 4) return Fail(keyword + ": unexpected \"" + Excerpt(t[i].Text) + "\"", &t[i]);
    if (i + 1 >= t.size() || !t[i + 1].Value)
      return Fail(keyword + ": " + t[i].Text + " without its value in parentheses", &t[i]);
    if (values[k]) return Fail(keyword + ": " + t[i].Text + " given twice", &t[i]);
    *fields[k] = t[i + 1].Text;
    values[k] = &t[i + 1];
  }
  std::string why;
  TSvfValueFault fault;
  if (ApplyPatternArgs(pattern, args, why, &fault)) return true;
  if (fault.Value < 0) return Fail(keyword + ": " + why);
  return FailAt(values[fault.Value]->LineOf(fault.Offset), keyword + ": " + why);
}

bool TConverter::Scan(TSvfPattern& body, const TSvfPattern& header, const TSvfPattern& trailer,
                      const TTokens& t) {
  if (!Pattern(body, t, options_.MaxScanBits, "scan")) return false;
  const TSvfScan scan(header, body, trailer);
  if (scan.Length() > options_.MaxScanBits)
    return Fail(t[0].Text + ": " + std::to_string(scan.Length()) +
                " bits with header and trailer, more than the longest scan converted (" +
                std::to_string(options_.MaxScanBits) + " bits)");
  // A scan of no bits still takes the chain to its end state.
  if (scan.Length() == 0) return Emit("STATE " + (t[0].Text == "SIR" ? end_ir_ : end_dr_) + ";");
  if (!writing_) return true;  // the lines would not be written
  if (!write_) return Grow(ScanBytesAtLeast(scan.Length(), t[0].Text.size()));
  return scan.Statements(t[0].Text.c_str(), [this](const std::string& line) { return Emit(line); });
}

bool TConverter::Pad(TSvfPattern& pattern, const TTokens& t) {
  return Pattern(pattern, t, kSvfMaxHeaderBits, "header or trailer");
}

bool TConverter::StableState(const TTokens& t, size_t i, const char* what, std::string& code) {
  code = i < t.size() ? TapStateCode(t[i]) : std::string();
  if (i >= t.size()) return Fail(std::string(what) + " needs a TAP state name");
  if (code.empty())
    return Fail(std::string(what) + ": \"" + Excerpt(t[i].Text) + "\" is no TAP state", &t[i]);
  if (!IsStableCode(code))
    return Fail(std::string(what) + " " + t[i].Text +
                    ": not a stable state (RESET, IDLE, DRPAUSE or IRPAUSE)",
                &t[i]);
  return true;
}

bool TConverter::EndState(const TTokens& t) {
  std::string code;
  if (!StableState(t, 1, t[0].Text.c_str(), code)) return false;
  if (t.size() > 2) return Fail(t[0].Text + ": unexpected \"" + Excerpt(t[2].Text) + "\"", &t[2]);
  (t[0].Text == "ENDIR" ? end_ir_ : end_dr_) = t[1].Text;
  return Emit(t[0].Text + " " + t[1].Text + ";");
}

bool TConverter::State(const TTokens& t) {
  if (t.size() < 2) return Fail("STATE needs at least one TAP state");
  std::string line = "STATE";
  for (size_t i = 1; i < t.size(); ++i) {
    if (TapStateCode(t[i]).empty())
      return Fail("STATE: \"" + Excerpt(t[i].Text) + "\" is no TAP state", &t[i]);
    line += " " + t[i].Text;
  }
  std::string code;
  if (!StableState(t, t.size() - 1, "STATE path ending in", code)) return false;
  return Emit(line + ";");
}

// "[run_state] count TCK|SCK [time SEC [MAXIMUM time SEC]] [ENDSTATE end_state]" or
// "[run_state] time SEC [MAXIMUM time SEC] [ENDSTATE end_state]".
bool TConverter::RunTest(const TTokens& t) {
  size_t i = 1;
  std::string code;
  if (i < t.size() && !TapStateCode(t[i]).empty()) {
    if (!StableState(t, i, "RUNTEST in", code)) return false;
    // A run state named here is also where the chain is left, unless ENDSTATE says otherwise.
    run_state_ = end_state_ = t[i++].Text;
  }
  uint64_t clocks = 0;
  if (!RunTestClocks(t, i, clocks)) return false;
  if (IsWord(t, i, "MAXIMUM")) {
    if (i + 2 >= t.size() || !ParseSvfReal(t[i + 1].Text) || !IsWord(t, i + 2, "SEC"))
      return Fail("RUNTEST: MAXIMUM needs a time in SEC", &t[i]);
    i += 3;  // the device never runs longer than the clocks asked
  }
  if (IsWord(t, i, "ENDSTATE")) {
    if (!StableState(t, i + 1, "RUNTEST ENDSTATE", code)) return false;
    end_state_ = t[i + 1].Text;
    i += 2;
  }
  if (i < t.size()) return Fail("RUNTEST: unexpected \"" + Excerpt(t[i].Text) + "\"", &t[i]);
  // The device's RUNTEST carries a 32-bit count; a longer wait is several in a row.
  do {
    const uint64_t n = std::min(clocks, kMaxRunCount);
    if (!Emit("RUNTEST " + run_state_ + " " + std::to_string(n) + " TCK;")) return false;
    clocks -= n;
  } while (clocks > 0);
  return end_state_ == run_state_ || Emit("STATE " + end_state_ + ";");
}

bool TConverter::RunTestClocks(const TTokens& t, size_t& i, uint64_t& clocks) {
  std::optional<TSvfReal> count, time;
  bool sck = false;
  if (i + 1 < t.size() && (IsWord(t, i + 1, "TCK") || IsWord(t, i + 1, "SCK"))) {
    count = ParseSvfReal(t[i].Text);
    if (!count || t[i].Value)
      return Fail("RUNTEST: \"" + Excerpt(t[i].Text) + "\" is not a clock count", &t[i]);
    sck = IsWord(t, i + 1, "SCK");
    i += 2;
  }
  if (i + 1 < t.size() && IsWord(t, i + 1, "SEC")) {
    time = ParseSvfReal(t[i].Text);
    if (!time || t[i].Value)
      return Fail("RUNTEST: \"" + Excerpt(t[i].Text) + "\" is not a time", &t[i]);
    i += 2;
  }
  if (!count && !time) return Fail("RUNTEST needs a clock count or a time");
  if (sck && !time) return Fail("RUNTEST counts SCK, a clock the device does not run; give a time");
  if (sck)
    result_.Warnings.push_back({line_, "RUNTEST: the SCK count is dropped, the time is kept"});
  if (count && !sck) {
    const std::optional<uint64_t> n = ClocksFor(*count, TSvfReal{1, 0});
    if (!n) return Fail("RUNTEST: more than 2^40 clocks");
    clocks = *n;
  }
  if (!time) return true;
  const std::optional<TSvfReal> hz = options_.TckHz ? options_.TckHz : frequency_;
  if (!hz)
    return Fail("RUNTEST " + Excerpt(t[i - 2].Text) +
                    " SEC: no FREQUENCY gives the TCK rate; name it with --tck-hz",
                &t[i - 2]);
  const std::optional<uint64_t> n = ClocksFor(*time, *hz);
  if (!n) return Fail("RUNTEST: more than 2^40 clocks");
  clocks = std::max(clocks, *n);
  return true;
}

bool TConverter::Frequency(const TTokens& t) {
  if (t.size() == 1) {
    frequency_.reset();
    return Emit("// FREQUENCY dropped: the device clocks TCK at its own rate");
  }
  const std::optional<TSvfReal> hz = ParseSvfReal(t[1].Text);
  if (t.size() != 3 || t[1].Value || !hz || hz->Mantissa == 0 || !IsWord(t, 2, "HZ"))
    return Fail("FREQUENCY needs a rate above 0 in HZ", &t[1]);
  frequency_ = hz;
  return Emit("// FREQUENCY " + t[1].Text + " HZ dropped: the device clocks TCK at its own rate");
}

bool TConverter::Trst(const TTokens& t) {
  const bool known = t.size() == 2 && (IsWord(t, 1, "ON") || IsWord(t, 1, "OFF") ||
                                       IsWord(t, 1, "Z") || IsWord(t, 1, "ABSENT"));
  if (!known) return Fail("TRST needs one of ON, OFF, Z or ABSENT", &t.back());
  if (IsWord(t, 1, "ON") || IsWord(t, 1, "Z"))
    result_.Warnings.push_back(
        {line_, "TRST " + t[1].Text + ": the device does not drive TRST, the chain is not reset"});
  return Emit("TRST " + t[1].Text + ";");
}

// Every line goes through the engine's own encoder first, so nothing is written that the device
// would refuse to play.
bool TConverter::Emit(const std::string& line) {
  TSvfStatement st;
  const TSvfEncoding e = EncodeSvfLine(line, st);
  const bool silent = line.starts_with("//") || line.starts_with("TRST");
  if (e.Outcome == esERROR || (e.Outcome == esSKIP) != silent)
    return Fail("converted to \"" + line.substr(0, 80) + "\", which does not encode (" + e.Reason +
                ")");
  if (!writing_) return true;
  if (!Grow(line.size() + 2)) return false;
  if (!write_) return true;
  if (!write_(line)) {
    stop_ = true;
    return Fail("the effect file could not be written");
  }
  ++result_.Lines;
  return true;
}

bool TConverter::Grow(uint64_t bytes) {
  written_ += bytes;
  if (written_ <= options_.MaxOutputBytes) return true;
  return Fail("the effect file would grow beyond " + std::to_string(options_.MaxOutputBytes) +
              " bytes, more than any real part needs");
}

bool TConverter::Fail(const std::string& why, const TSvfToken* at) {
  return FailAt(at ? at->Line : line_, why);
}

bool TConverter::FailAt(int64_t line, const std::string& why) {
  writing_ = false;
  if (result_.Errors.size() == kSvfMaxErrors) {
    result_.Errors.push_back({0, "stopped after " + std::to_string(kSvfMaxErrors) + " errors"});
    stop_ = true;
  } else if (result_.Errors.size() < kSvfMaxErrors) {
    result_.Errors.push_back({line, why});
  }
  return false;
}

}  // namespace

std::optional<TSvfReal> ParseSvfReal(std::string_view text) {
  size_t i = 0;
  uint64_t mantissa = 0;
  int64_t exponent = 0;
  int significant = 0;
  bool digits = false, dropped = false;
  const auto take = [&](char c, bool fraction) {
    digits = true;
    if (mantissa == 0 && c == '0') {
      exponent -= fraction;
    } else if (significant < 19) {
      mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
      ++significant;
      exponent -= fraction;
    } else {
      dropped |= c != '0';
      exponent += !fraction;
    }
  };
  const auto is_digit = [&](size_t k) {
    return k < text.size() && text[k] >= '0' && text[k] <= '9';
  };
  for (; is_digit(i); ++i) take(text[i], false);
  if (i < text.size() && text[i] == '.')
    for (++i; is_digit(i); ++i) take(text[i], true);
  if (!digits) return std::nullopt;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    if (!is_digit(i)) return std::nullopt;
    int64_t e = 0;
    for (; is_digit(i); ++i) e = std::min<int64_t>(e * 10 + (text[i] - '0'), 1000000);
    exponent += negative ? -e : e;
  }
  if (i != text.size()) return std::nullopt;
  if (dropped) ++mantissa;
  exponent = std::clamp<int64_t>(exponent, -2000000, 2000000);
  return TSvfReal{mantissa, static_cast<int32_t>(exponent)};
}

std::optional<uint64_t> ClocksFor(TSvfReal seconds, TSvfReal hz) {
  using u128 = unsigned __int128;
  if (seconds.Mantissa == 0 || hz.Mantissa == 0) return 0;
  u128 p = static_cast<u128>(seconds.Mantissa) * hz.Mantissa;  // below 10^38
  int64_t e = static_cast<int64_t>(seconds.Exponent) + hz.Exponent;
  if (e < -38) return 1;  // a positive product below one cycle
  for (; e > 0; --e) {
    if (p > kSvfMaxClocks) return std::nullopt;
    p *= 10;
  }
  u128 divisor = 1;
  for (; e < 0; ++e) divisor *= 10;
  p = p / divisor + (p % divisor != 0);
  if (p > kSvfMaxClocks) return std::nullopt;
  return static_cast<uint64_t>(p);
}

TSvfConvertResult ConvertSvfFile(const std::string& path, const TSvfConvertOptions& options,
                                 const std::function<bool(std::string_view)>& write) {
  // Sized first without writing, so a few bytes of input that would expand past the bound, or
  // a file with an error, cost no time and leave no partial output.
  const std::function<bool(std::string_view)> sizing;
  TSvfConvertResult sized = TConverter(options, sizing).Run(path);
  if (!sized.Ok) return sized;
  return TConverter(options, write).Run(path);
}
