#include "sim_device.h"

#include <algorithm>
#include <optional>

#include "formats/constante.h"
#include "formats/hex.h"

namespace {

constexpr char kEsc = '\x1B';
constexpr size_t kMaxLine = 1024;  // longer without a line end: garbage, refused
constexpr int kMaxScanBits = 512;
constexpr uint32_t kJtagIds[3] = {0x0C0DE801, 0x0C0DE901, 0x0C0DEA01};

bool IsBankDigit(char c) {
  return c >= '0' && c <= '7';
}
bool IsJtagTarget(char c) {
  return c == '8' || c == '9' || c == 'A';
}
bool IsComponent(char c) {
  return std::find(ComponentLetters.begin(), ComponentLetters.end(), c) != ComponentLetters.end();
}

std::string Printable(std::string_view s) {
  std::string r;
  for (char c : s) {
    if (c == '\r')
      r += "<CR>";
    else if (c == '\n')
      r += "<LF>";
    else if (c == kEsc)
      r += "<ESC>";
    else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
      r += "<" + ByteToHex(static_cast<unsigned char>(c)) + ">";
    else
      r += c;
  }
  return r;
}

std::string HexOf(const std::string& bytes) {
  std::string r;
  for (char c : bytes) r += ByteToHex(static_cast<unsigned char>(c));
  return r;
}

// Captured bytes as the device sends them: hex digits, their 8-bit sum, ESC ".". The byte 00
// goes out as ESC "0" and 1B as ESC ESC.
std::string TdoReply(const std::string& capture, int sum_delta) {
  unsigned sum = 0;
  for (char c : capture) sum += static_cast<unsigned char>(c);
  std::string bytes = capture;
  bytes += static_cast<char>((sum + sum_delta) & 0xFF);
  std::string r;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b == 0x00)
      r += {kEsc, '0'};
    else if (b == 0x1B)
      r += {kEsc, kEsc};
    else
      r += ByteToHex(b);
  }
  return r + kEsc + '.';
}

bool IsUpperHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

}  // namespace

TSimDevice::TSimDevice(const TSimConfig& config)
    : config_(config),
      rng_(config.seed),
      boot_(kBootLast - kBootFirst + 1, '\xFF'),
      edid_(kEdidSize, '\xFF'),
      chains_{MakeChain(config, '8'), MakeChain(config, '9'), MakeChain(config, 'A')} {
  for (auto& bank : banks_) bank.assign(kBankSize, '\xFF');
  for (char c : ComponentLetters) versions_[c] = "0000";
  versions_['u'] = versions_['o'] = "0000";
  for (const auto& [letter, text] : config.versions) versions_[letter] = text;
  PowerOn();
}

size_t TSimDevice::JtagIndex(char target) {
  return target == '8' ? 0 : target == '9' ? 1 : 2;
}

TJtagChain TSimDevice::MakeChain(const TSimConfig& config, char target) {
  const uint32_t idcode = kJtagIds[JtagIndex(target)];
  const auto it = config.jtag_chains.find(target);
  if (it == config.jtag_chains.end()) return TJtagChain(idcode);
  std::vector<TJtagPart> parts = it->second;
  for (TJtagPart& p : parts)
    if (p.modelled && p.idcode == 0) p.idcode = idcode;
  return TJtagChain(std::move(parts));
}

void TSimDevice::PowerOn() {
  if (mode_ == Mode::kHungUp) return;
  for (TJtagChain& chain : chains_) chain.Reset();
  mode_ = config_.off ? Mode::kSync : Mode::kVariable;
  DropAll();
  var_digits_.clear();
  last_updater_ = 0;
}

bool TSimDevice::MidInstruction() const {
  return mode_ == Mode::kVersionText || mode_ == Mode::kUpload || InJtag();
}

bool TSimDevice::InJtag() const {
  return mode_ == Mode::kJtag || mode_ == Mode::kJtagBlock || mode_ == Mode::kJtagTdo;
}

void TSimDevice::Abort() {
  if (!MidInstruction()) return;
  Log("instruction abandoned: the link went quiet");
  if (InJtag()) chains_[JtagIndex(jtag_target_)].Reset();
  mode_ = Mode::kCommand;
  DropAll();
}

std::string TSimDevice::Version(char letter) const {
  auto it = versions_.find(letter);
  return it == versions_.end() ? std::string() : it->second;
}

uint16_t TSimDevice::BootSum() const {
  uint16_t sum = 0;
  for (char c : boot_) sum = static_cast<uint16_t>(sum + static_cast<unsigned char>(c));
  return sum;
}

std::vector<std::pair<std::string, std::string>> TSimDevice::Images() const {
  std::vector<std::pair<std::string, std::string>> r;
  r.emplace_back("boot.bin", boot_);
  for (int i = 0; i < 8; ++i) r.emplace_back("bank" + std::to_string(i) + ".bin", banks_[i]);
  r.emplace_back("edid.bin", edid_);
  for (char t : {'8', '9', 'A'})
    r.emplace_back(std::string("jtag") + t + ".bin", Jtag(t).Storage());
  return r;
}

std::string TSimDevice::VersionTable() const {
  std::string r;
  for (char c : ComponentLetters) r += std::string(1, c) + "=" + Version(c) + "\n";
  return r + "UV=" + Version('u') + "\nOP=" + Version('o') + "\n";
}

std::string TSimDevice::Feed(std::string_view bytes) {
  out_.clear();
  if (mode_ == Mode::kHungUp) return out_;
  // What the last Feed left unread moves to the front once, so a read costs time in its length.
  in_.erase(0, in_pos_);
  in_pos_ = 0;
  in_.append(bytes);
  while (mode_ != Mode::kHungUp && !Input().empty() && Step()) {
  }
  return std::move(out_);
}

// One token from the front of the input; false when more bytes are needed.
bool TSimDevice::Step() {
  switch (mode_) {
    case Mode::kVariable:
      return StepVariable();
    case Mode::kSync:
      return StepSync();
    case Mode::kType:
      return StepType();
    case Mode::kCommand:
      return StepCommand();
    case Mode::kVersionText:
      return StepVersionText();
    case Mode::kUpload:
      return StepUpload();
    case Mode::kJtag:
      return StepJtag();
    case Mode::kJtagBlock:
      return StepJtagBlock();
    case Mode::kJtagTdo:
      return StepJtagTdo();
    case Mode::kHungUp:
      return false;
  }
  return false;
}

// Commands: optional decimal digits, then "?", "@", ">", "$", "#" or "yU".
bool TSimDevice::StepVariable() {
  const char c = Input()[0];
  if (c >= '0' && c <= '9') {
    if (var_digits_.size() < 10) var_digits_ += c;
    Drop(1);
    return true;
  }
  if (c == 'y') {
    if (Input().size() < 2) return false;
    if (Input()[1] == 'U') {
      const uint32_t value =
          var_digits_.empty() ? 0 : static_cast<uint32_t>(std::stoull(var_digits_));
      Log("<- " + var_digits_ + "yU");
      if (value == 254 && last_updater_ == 1) {
        Log("boot loader waits for \"%\"");
        mode_ = Mode::kSync;
      }
      last_updater_ = value;
      Drop(2);
    } else {
      Drop(1);
    }
    var_digits_.clear();
    return true;
  }
  if (c == '?') {
    Log("<- ?");
    Reply("DEV" + std::to_string(config_.type) + "\r\n");
  }
  var_digits_.clear();
  Drop(1);
  return true;
}

bool TSimDevice::StepSync() {
  if (Input()[0] == '%') {
    Log("<- %");
    Reply(".");
    mode_ = Mode::kType;
  }
  Drop(1);
  return true;
}

// Further "%" sent while the first "." was on its way are dropped.
bool TSimDevice::StepType() {
  if (Input()[0] != '3') {
    Drop(1);
    return true;
  }
  if (Input().size() < 2) return false;
  const std::string asked(Input().substr(0, 2));
  Drop(2);
  Log("<- " + asked);
  if (asked != std::to_string(config_.type)) {
    Reply("X");
    return true;
  }
  Reply("." + WordToHex(BootSum() + 0x6000) + config_.id + ".");
  mode_ = Mode::kCommand;
  return true;
}

bool TSimDevice::StepCommand() {
  const char c0 = Input()[0];
  if (c0 == '\r' || c0 == '\n') {
    Drop(1);
    return true;
  }
  if (c0 == '%') {
    Drop(1);
    Log("<- % (synchronise again)");
    Reply(".");
    mode_ = Mode::kType;
    return true;
  }
  if (std::string_view("PDFRNMVTUO").find(c0) == std::string_view::npos) {
    Drop(1);
    Log("<- " + Printable(std::string(1, c0)));
    Reply("I");
    return true;
  }
  if (Input().size() < 2) return false;
  const char c1 = Input()[1];
  Drop(2);
  Log("<- " + Printable(std::string{c0, c1}));
  Command(c0, c1);
  return true;
}

void TSimDevice::Command(char c0, char c1) {
  switch (c0) {
    case 'P':
      if (c1 == 'B') {
        Reply("..");
        StartUpload(&boot_, kBootFirst, "boot.bin", true);
      } else if (IsBankDigit(c1)) {
        const int n = c1 - '0';
        Reply("..");
        StartUpload(&banks_[n], n == 0 ? 0x0000 : 0x8000, "bank" + std::string(1, c1) + ".bin",
                    true);
      } else if (c1 == 'E') {
        Reply(".");
        StartUpload(&edid_, 0, "edid.bin", false);
      } else if (IsJtagTarget(c1)) {
        Reply(".");
        jtag_target_ = c1;
        mode_ = Mode::kJtag;
      } else {
        Reply("I");
      }
      return;
    case 'D':
      if (IsBankDigit(c1)) {
        Reply("." + ByteToHex(0xA0 + (c1 - '0')) + ".");
      } else if (IsJtagTarget(c1)) {
        const uint32_t id = Jtag(c1).IdCode();
        std::string le;
        for (int i = 0; i < 4; ++i) le += ByteToHex(static_cast<int>(id >> (8 * i)));
        Reply("." + le + ".");
      } else {
        Reply("I");
      }
      return;
    case 'F':
      if (c1 == 'I') {
        Reply(".");
        Log("update finished: back to normal operation");
        mode_ = config_.off ? Mode::kSync : Mode::kVariable;
        var_digits_.clear();
        last_updater_ = 0;
      } else {
        Reply(c1 == 'Y' || IsBankDigit(c1) || IsJtagTarget(c1) ? "." : "I");
      }
      return;
    case 'R':
      Reply(c1 == 'S' ? "." : "I");
      return;
    case 'N':
      Reply(c1 == 'P' ? "." : "I");
      return;
    case 'M':
      if (c1 < '0' || c1 > '9')
        Reply("I");
      else
        Reply(config_.cards.find(c1) != std::string::npos ? "." : "X");
      return;
    case 'T':
      if (IsComponent(c1))
        Reply("." + Version(c1) + ".");
      else
        Reply("I");
      return;
    case 'V':
    case 'U':
    case 'O': {
      const bool ok = c0 == 'V' ? IsComponent(c1) : c0 == 'U' ? c1 == 'V' : c1 == 'P';
      if (!ok) {
        Reply("I");
        return;
      }
      version_key_ = c0 == 'V' ? c1 : c0 == 'U' ? 'u' : 'o';
      Reply(".");
      mode_ = Mode::kVersionText;
      return;
    }
  }
  Reply("I");
}

bool TSimDevice::StepVersionText() {
  if (Input().size() < 4) return false;
  versions_[version_key_] = std::string(Input().substr(0, 4));
  Log("<- " + Printable(Input().substr(0, 4)) + " (version)");
  Drop(4);
  Reply(".");
  mode_ = Mode::kCommand;
  return true;
}

void TSimDevice::StartUpload(std::string* memory, uint32_t base, const std::string& name,
                             bool checksum) {
  if (checksum) memory->assign(memory->size(), '\xFF');
  upload_ = Upload{memory, base, name, checksum, false};
  mode_ = Mode::kUpload;
}

// Takes one line ended by LF (its CR dropped); false while it is incomplete.
bool TSimDevice::TakeLine(std::string& line) {
  const std::string_view in = Input();
  const size_t lf = in.find('\n');
  if (lf == std::string_view::npos) {
    if (in.size() <= kMaxLine) return false;
    line = in;
    DropAll();
    return true;
  }
  line = in.substr(0, lf);
  Drop(lf + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

bool TSimDevice::StepUpload() {
  // The EDID upload has no closing record: the next command ends it.
  if (!upload_.checksum && Input()[0] != ':' && Input()[0] != '\r' && Input()[0] != '\n') {
    Complete(upload_.name);
    mode_ = Mode::kCommand;
    return true;
  }
  std::string line;
  if (!TakeLine(line)) return false;
  Log("<- " + Printable(line));
  if (std::optional<bool> faulted = ActOnFault(LineFault())) return *faulted;
  UploadLine(line);
  return true;
}

// Plays an injected fault on the line just taken: the result to return for it, or nothing when
// the line is to be handled as usual.
std::optional<bool> TSimDevice::ActOnFault(Fault fault) {
  switch (fault) {
    case Fault::kHangUp:
      return false;
    case Fault::kFail:
      Fail();
      return true;
    case Fault::kRetry:
      Reply("R");
      return true;
    case Fault::kNone:
      break;
  }
  return std::nullopt;
}

void TSimDevice::UploadLine(const std::string& line) {
  if (line.empty() || line[0] != ':') {
    Reply(".");
    return;
  }
  if (!HexRecordChecksumOk(line)) {
    Log("record checksum wrong");
    Fail();
    return;
  }
  const HexRecord rec = ParseHexRecord(line);
  if (rec.type == 0x0C && upload_.checksum) {
    UploadChecksum(rec.data);
    return;
  }
  if (rec.type != 0x00 || upload_.seen_eof) {
    if (rec.type == 0x01) upload_.seen_eof = true;
    Reply(".");
    return;
  }
  std::string& mem = *upload_.memory;
  if (rec.address < upload_.base || rec.address + rec.count > upload_.base + mem.size()) {
    Log("data outside " + upload_.name + " (" + WordToHex(upload_.base) + ".." +
        WordToHex(static_cast<int>(upload_.base + mem.size() - 1)) + ")");
    Fail();
    return;
  }
  std::copy(rec.data.begin(), rec.data.end(), mem.begin() + (rec.address - upload_.base));
  Reply(".");
}

void TSimDevice::UploadChecksum(const std::string& data) {
  uint16_t sum = 0;
  for (char c : *upload_.memory) sum = static_cast<uint16_t>(sum + static_cast<unsigned char>(c));
  const int asked = data.size() == 2 ? static_cast<unsigned char>(data[0]) * 256 +
                                           static_cast<unsigned char>(data[1])
                                     : -1;
  if (asked != sum) {
    Log("checksum " + (asked < 0 ? std::string("malformed") : WordToHex(asked)) + ", image sums " +
        WordToHex(sum));
    Fail();
    return;
  }
  Reply(".");
  Complete(upload_.name);
  mode_ = Mode::kCommand;
}

bool TSimDevice::StepJtag() {
  std::string line;
  if (!TakeLine(line)) return false;
  Log("<- " + Printable(line));
  Fault fault = LineFault();
  // "R" to the end record tells the updater that the device gave up on the file; a line error
  // the updater can mend is only ever drawn on a statement.
  if (fault == Fault::kRetry && line.rfind(":00000001", 0) == 0) fault = Fault::kNone;
  if (std::optional<bool> faulted = ActOnFault(fault)) return *faulted;
  JtagRecord(line);
  return true;
}

void TSimDevice::JtagRecord(const std::string& line) {
  if (line.empty() || line[0] != ':' || !HexRecordChecksumOk(line)) {
    Log("statement record malformed or checksum wrong");
    Fail();
    return;
  }
  const HexRecord rec = ParseHexRecord(line);
  TJtagChain& chain = chains_[JtagIndex(jtag_target_)];
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(rec.data[i]); };
  std::optional<bool> taken;  // nothing: the record is not understood
  switch (rec.type) {
    case 0x01:
      if (!chain.EndOfFile()) return ChainRefused();
      Reply(".");
      Complete(std::string("jtag") + jtag_target_ + ".bin");
      mode_ = Mode::kCommand;
      return;
    case 0x04:
      if (rec.count != 5) break;
      taken = chain.RunTest(
          static_cast<uint32_t>(byte(0)) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3), byte(4));
      break;
    case 0x05:
      taken = chain.State(rec.data);
      break;
    case 0x06:
    case 0x07:
      if (rec.count != 1) break;
      taken = rec.type == 0x06 ? chain.EndIr(byte(0)) : chain.EndDr(byte(0));
      break;
    default: {
      const int kind = rec.type & 0x0F;
      const int bits = rec.address;
      if ((kind != 2 && kind != 3) || bits == 0 || bits > kMaxScanBits) break;
      if (kind == 2 && (rec.type & 0x80)) break;
      if (kind == 2) {
        JtagScan(rec.type, bits, rec.data);
      } else if (rec.count != 1) {
        break;
      } else if (rec.type & 0x80) {
        JtagScan(rec.type, bits, std::string(static_cast<size_t>(bits + 7) / 8, rec.data[0]));
      } else {
        block_type_ = rec.type;
        block_bits_ = bits;
        block_length_ = byte(0);
        Reply(std::string{kEsc, '.'});
        mode_ = Mode::kJtagBlock;
      }
      return;
    }
  }
  if (!taken) {
    Log("statement record not understood");
    Fail();
  } else if (!*taken) {
    ChainRefused();
  } else {
    Reply(".");
  }
}

void TSimDevice::ChainRefused() {
  Log("statement refused by the chain: " + chains_[JtagIndex(jtag_target_)].Refusal());
  Fail();
}

// A data block: the TDI digits and the 8-bit sum of their bytes, as announced by the record.
bool TSimDevice::StepJtagBlock() {
  if (Input().size() < block_length_) return false;
  const std::string block(Input().substr(0, block_length_));
  Drop(block_length_);
  Log("<- " + Printable(block) + " (data block)");
  mode_ = Mode::kJtag;
  if (config_.retry_rate > 0 && std::uniform_real_distribution<>(0, 1)(rng_) < config_.retry_rate) {
    Reply("R");
    return true;
  }
  bool ok = block.size() >= 2 && block.size() % 2 == 0 &&
            std::all_of(block.begin(), block.end(), IsUpperHex);
  std::string tdi;
  unsigned sum = 0;
  for (size_t i = 0; ok && i + 2 < block.size(); i += 2) {
    const int b = HexValue(block[i]) * 16 + HexValue(block[i + 1]);
    tdi += static_cast<char>(b);
    sum += b;
  }
  if (ok)
    ok = (sum & 0xFF) ==
         static_cast<unsigned>(HexValue(block[block.size() - 2]) * 16 + HexValue(block.back()));
  if (!ok) {
    Log("data block malformed or sum wrong");
    Fail();
    return true;
  }
  JtagScan(block_type_, block_bits_, tdi);
  return true;
}

void TSimDevice::JtagScan(int type, int bits, std::string tdi) {
  TJtagChain& chain = chains_[JtagIndex(jtag_target_)];
  const bool start = type & 0x20, end = type & 0x40;
  const auto capture = (type & 0x0F) == 2 ? chain.ScanIr(bits, std::move(tdi), start, end)
                                          : chain.ScanDr(bits, std::move(tdi), start, end);
  if (!capture) return ChainRefused();
  if (!(type & 0x10)) {
    Reply(".");
    return;
  }
  tdo_reply_ = TdoReply(*capture, 0);
  const bool garble =
      config_.retry_rate > 0 && std::uniform_real_distribution<>(0, 1)(rng_) < config_.retry_rate;
  Log("captured " + HexOf(*capture) + (garble ? " (sent with a wrong sum)" : ""));
  Reply(garble ? TdoReply(*capture, 1) : tdo_reply_);
  mode_ = Mode::kJtagTdo;
}

// After a TDO reply: "." takes it (the statement is then acknowledged), "R" asks for it again.
bool TSimDevice::StepJtagTdo() {
  const char c = Input()[0];
  Drop(1);
  Log("<- " + Printable(std::string(1, c)));
  if (c == 'R') {
    Reply(tdo_reply_);
  } else if (c == '.') {
    Reply(".");
    mode_ = Mode::kJtag;
  }
  return true;
}

TSimDevice::Fault TSimDevice::LineFault() {
  ++lines_;
  if (config_.hangup_after > 0 && lines_ >= config_.hangup_after) {
    Log("hanging up after line " + std::to_string(lines_));
    mode_ = Mode::kHungUp;
    DropAll();
    return Fault::kHangUp;
  }
  if (lines_ == config_.fail_line) {
    Log("refusing line " + std::to_string(lines_) + " as asked");
    return Fault::kFail;
  }
  if (config_.retry_rate > 0 && std::uniform_real_distribution<>(0, 1)(rng_) < config_.retry_rate)
    return Fault::kRetry;
  return Fault::kNone;
}

void TSimDevice::Reply(const std::string& text) {
  out_ += text;
  Log("-> " + Printable(text));
}

// A refused line ends the instruction on the device as well: the updater stops there. The
// chain of an effect file so ended is reset, so the next file finds it in a known state.
void TSimDevice::Fail() {
  Reply("X");
  if (InJtag()) chains_[JtagIndex(jtag_target_)].Reset();
  mode_ = Mode::kCommand;
}

void TSimDevice::Complete(const std::string& name) {
  Log(name + " complete");
  if (OnComplete) OnComplete(name);
}

void TSimDevice::Log(const std::string& text) {
  if (OnLog) OnLog(text);
}
