#include "jtag_chain.h"

#include <algorithm>
#include <array>

#include "formats/hex.h"

namespace {

constexpr int kMaxIrLength = 32;
constexpr int kPartIrMin = 8;  // the modelled part's codes take eight bits

constexpr const char* kTapNames[16] = {
    "RESET",    "IDLE",     "DRSELECT",  "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT",   "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE",
};

// The state after one clock, by TMS.
constexpr TTapState kNext[16][2] = {
    {tsIDLE, tsRESET},       {tsIDLE, tsDRSELECT},    {tsDRCAPTURE, tsIRSELECT},
    {tsDRSHIFT, tsDREXIT1},  {tsDRSHIFT, tsDREXIT1},  {tsDRPAUSE, tsDRUPDATE},
    {tsDRPAUSE, tsDREXIT2},  {tsDRSHIFT, tsDRUPDATE}, {tsIDLE, tsDRSELECT},
    {tsIRCAPTURE, tsRESET},  {tsIRSHIFT, tsIREXIT1},  {tsIRSHIFT, tsIREXIT1},
    {tsIRPAUSE, tsIRUPDATE}, {tsIRPAUSE, tsIREXIT2},  {tsIRSHIFT, tsIRUPDATE},
    {tsIDLE, tsDRSELECT},
};

bool IsStable(TTapState s) {
  return s == tsRESET || s == tsIDLE || s == tsDRPAUSE || s == tsIRPAUSE;
}

bool IsStableCode(uint8_t code) {
  return code < 16 && IsStable(static_cast<TTapState>(code));
}

bool IsShift(TTapState s) {
  return s == tsDRSHIFT || s == tsIRSHIFT;
}

std::string NameOf(uint8_t code) {
  return code < 16 ? kTapNames[code] : "state code " + ByteToHex(code);
}

// The shortest walk from `from` to `to` that shifts nothing, without `from` itself; none when
// they are the same or `to` is a shift state. Between stable states and towards a capture
// state there is only one.
std::vector<TTapState> DefaultPath(TTapState from, TTapState to) {
  std::array<int, 16> prev;
  prev.fill(-1);
  std::array<TTapState, 16> queue{};
  size_t head = 0, tail = 0;
  queue[tail++] = from;
  prev[from] = from;
  while (head < tail && prev[to] < 0) {
    const TTapState s = queue[head++];
    for (TTapState n : kNext[s]) {
      if (prev[n] >= 0 || IsShift(n)) continue;
      prev[n] = s;
      queue[tail++] = n;
    }
  }
  std::vector<TTapState> path;
  if (prev[to] < 0) return path;
  for (TTapState s = to; s != from; s = static_cast<TTapState>(prev[s])) path.push_back(s);
  std::reverse(path.begin(), path.end());
  return path;
}

std::string Fit(std::string data, int bits) {
  data.resize(static_cast<size_t>(std::max(bits, 0) + 7) / 8, '\0');
  return data;
}

bool BitOf(const std::string& bytes, uint64_t i) {
  return (static_cast<uint8_t>(bytes[i / 8]) >> (i % 8)) & 1;
}

void SetBit(std::string& bytes, uint64_t i) {
  bytes[i / 8] = static_cast<char>(static_cast<uint8_t>(bytes[i / 8]) | (1 << (i % 8)));
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

}  // namespace

std::string TJtagChain::Check(const std::vector<TJtagPart>& parts) {
  if (parts.empty() || parts.size() > kMaxParts)
    return "a chain has 1 to " + std::to_string(kMaxParts) + " parts";
  size_t modelled = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const TJtagPart& p = parts[i];
    const std::string part = "part " + std::to_string(i + 1) + ": ";
    const int min = p.modelled ? kPartIrMin : 2;
    if (p.ir_length < min || p.ir_length > kMaxIrLength)
      return part + (p.modelled ? "the modelled part's" : "an") + " instruction register has " +
             std::to_string(min) + " to " + std::to_string(kMaxIrLength) + " bits";
    if (p.idcode != 0 && !(p.idcode & 1)) return part + "an IDCODE has bit 0 set";
    modelled += p.modelled;
  }
  if (modelled != 1) return "mark exactly one part, the modelled one, with *";
  return "";
}

TJtagChain::TJtagChain(std::vector<TJtagPart> parts) : parts_(std::move(parts)) {
  // Outside the rules of Check the chain still behaves, if not as asked.
  if (parts_.empty()) parts_.push_back({8, 0, true});
  for (TJtagPart& p : parts_) p.ir_length = std::clamp(p.ir_length, 1, kMaxIrLength);
  const auto m = std::find_if(parts_.begin(), parts_.end(), [](auto& p) { return p.modelled; });
  modelled_ = m == parts_.end() ? 0 : static_cast<size_t>(m - parts_.begin());
  // Scan order starts at TDO: the last part's register comes out first.
  for (size_t i = parts_.size(); i-- > 0;) {
    if (i == modelled_) ir_first_ = ir_capture_.size();
    ir_capture_.push_back(1);
    ir_capture_.resize(ir_capture_.size() + static_cast<size_t>(parts_[i].ir_length) - 1, 0);
  }
  ir_length_ = ir_capture_.size();
  Reset();
}

TJtagChain::TJtagChain(uint32_t idcode, int parts_tdi_side, int parts_tdo_side)
    : TJtagChain([&] {
        std::vector<TJtagPart> parts(static_cast<size_t>(parts_tdi_side), TJtagPart{});
        parts.push_back({8, idcode, true});
        parts.resize(parts.size() + static_cast<size_t>(parts_tdo_side), TJtagPart{});
        return parts;
      }()) {}

uint32_t TJtagChain::Code(uint8_t instruction) const {
  const int n = parts_[modelled_].ir_length;
  const uint32_t mask = n >= 32 ? UINT32_MAX : (uint32_t{1} << n) - 1;
  return (instruction | ~uint32_t{0xFF}) & mask;
}

bool TJtagChain::Refuse(std::string why) {
  refusal_ = std::move(why);
  return false;
}

bool TJtagChain::TDelay::Shift(bool in) {
  if (bits.empty()) return in;
  const bool out = bits[head];
  bits[head] = in;
  head = (head + 1) % bits.size();
  return out;
}

std::optional<std::string> TJtagChain::ScanIr(int bits, std::string tdi, bool start, bool end) {
  return Scan(true, bits, std::move(tdi), start, end);
}

std::optional<std::string> TJtagChain::ScanDr(int bits, std::string tdi, bool start, bool end) {
  return Scan(false, bits, std::move(tdi), start, end);
}

std::optional<std::string> TJtagChain::Scan(bool ir, int bits, std::string tdi, bool start,
                                            bool end) {
  const TTapState shift = ir ? tsIRSHIFT : tsDRSHIFT;
  const std::string kind = ir ? "instruction scan" : "data scan";
  if (start && IsShift(tap_)) {
    Refuse(std::string(tap_ == tsIRSHIFT ? "an instruction" : "a data") +
           " scan is open: only its continuation may follow");
    return std::nullopt;
  }
  if (!start && tap_ != shift) {
    Refuse("no " + kind + " is open to continue");
    return std::nullopt;
  }
  if (start) {
    MoveTo(ir ? tsIRCAPTURE : tsDRCAPTURE);
    Enter(shift);
  }
  tdi = Fit(std::move(tdi), bits);
  std::string capture(tdi.size(), '\0');
  const uint64_t n = static_cast<uint64_t>(std::max(bits, 0));
  if (!(ir ? ShiftIr(n, tdi, capture) : ShiftDr(n, tdi, capture))) return std::nullopt;
  if (!end) return capture;
  if (ir && ir_bits_ != ir_length_) {
    Refuse("the instruction registers take " + std::to_string(ir_length_) + " bits together");
    return std::nullopt;
  }
  Enter(ir ? tsIREXIT1 : tsDREXIT1);
  MoveTo(ir ? end_ir_ : end_dr_);
  return capture;
}

// The first bits in travel furthest: the parts on the TDO side hold the start of the scan. Only
// the bits within the registers matter; a longer scan is refused at its end.
bool TJtagChain::ShiftIr(uint64_t bits, const std::string& tdi, std::string& capture) {
  const uint64_t n = ir_bits_ >= ir_length_ ? 0 : std::min(bits, ir_length_ - ir_bits_);
  const uint64_t part_bits = static_cast<uint64_t>(parts_[modelled_].ir_length);
  for (uint64_t k = 0; k < n; ++k) {
    const uint64_t p = ir_bits_ + k;
    if (ir_capture_[p]) SetBit(capture, k);
    if (p < ir_first_ || p >= ir_first_ + part_bits) continue;
    const uint32_t bit = uint32_t{1} << (p - ir_first_);
    ir_next_ = BitOf(tdi, k) ? (ir_next_ | bit) : (ir_next_ & ~bit);
  }
  ir_bits_ = SaturatingAdd(ir_bits_, bits);
  return true;
}

bool TJtagChain::ShiftDr(uint64_t bits, const std::string& tdi, std::string& capture) {
  for (uint64_t k = 0; k < bits; ++k) {
    const std::optional<bool> out = ShiftPart(tdi_side_.Shift(BitOf(tdi, k)));
    if (!out) return Refuse("the storage holds " + std::to_string(kStorageMax) + " bytes");
    if (tdo_side_.Shift(*out)) SetBit(capture, k);
    ++dr_bits_;
  }
  return true;
}

void TJtagChain::MoveTo(TTapState target) {
  for (TTapState s : DefaultPath(tap_, target)) Enter(s);
}

// What the parts do on entering a state.
void TJtagChain::Enter(TTapState state) {
  tap_ = state;
  switch (state) {
    case tsRESET:
      ir_ = Code(kIdcode);
      others_idcode_ = true;
      break;
    case tsIRCAPTURE:
      ir_bits_ = 0;
      ir_next_ = 1;
      break;
    case tsIRUPDATE:
      ir_ = ir_next_;
      others_idcode_ = false;
      if (ir_ == Code(kProgram) || ir_ == Code(kVerify)) pointer_ = 0;
      break;
    case tsDRCAPTURE:
      CaptureDr();
      break;
    case tsDRUPDATE:
      // The storage register is as long as the scan leaves it once the other parts' bits are
      // taken off.
      if ((ir_ == Code(kProgram) || ir_ == Code(kVerify)) && dr_bits_ > others_)
        pointer_ += dr_bits_ - others_;
      dr_bits_ = 0;
      break;
    default:
      break;
  }
}

void TJtagChain::CaptureDr() {
  dr_bits_ = 0;
  Load(tdi_side_, 0, modelled_);
  Load(tdo_side_, modelled_ + 1, parts_.size());
  others_ = tdi_side_.bits.size() + tdo_side_.bits.size();
  shift_ = ir_ == Code(kIdcode) ? IdCode() : 0;
}

// The data registers of parts first .. last - 1, the one nearest TDO shifted out first.
void TJtagChain::Load(TDelay& side, size_t first, size_t last) {
  side.bits.clear();
  side.head = 0;
  for (size_t i = last; i-- > first;) {
    const uint32_t id = parts_[i].idcode;
    if (!others_idcode_ || id == 0) {
      side.bits.push_back(0);
      continue;
    }
    for (int b = 0; b < 32; ++b) side.bits.push_back(id >> b & 1);
  }
}

// One clock of the part's data register: `in` enters, the result leaves towards TDO.
std::optional<bool> TJtagChain::ShiftPart(bool in) {
  if (ir_ == Code(kIdcode)) {
    const bool out = shift_ & 1;
    shift_ = (shift_ >> 1) | static_cast<uint32_t>(in) << 31;
    return out;
  }
  if (ir_ == Code(kProgram)) {
    // What enters first is the other parts' captures and the bits bound for the parts on the
    // TDO side: the storage takes what follows them.
    const bool out = StorageBit(pointer_ + dr_bits_);
    if (dr_bits_ >= others_ && !SetStorageBit(pointer_ + dr_bits_ - others_, in))
      return std::nullopt;
    return out;
  }
  if (ir_ == Code(kVerify)) return StorageBit(pointer_ + dr_bits_);
  const bool out = shift_ & 1;
  shift_ = in;
  return out;
}

bool TJtagChain::StorageBit(uint64_t i) const {
  return i / 8 >= storage_.size() || BitOf(storage_, i);
}

bool TJtagChain::SetStorageBit(uint64_t i, bool v) {
  if (i / 8 >= kStorageMax) return false;
  if (i / 8 >= storage_.size()) storage_.resize(i / 8 + 1, '\xFF');
  const auto mask = static_cast<uint8_t>(1 << (i % 8));
  auto& byte = reinterpret_cast<uint8_t&>(storage_[i / 8]);
  byte = v ? (byte | mask) : (byte & ~mask);
  return true;
}

bool TJtagChain::EndIr(uint8_t state) {
  return SetEnd(end_ir_, state, "ENDIR");
}

bool TJtagChain::EndDr(uint8_t state) {
  return SetEnd(end_dr_, state, "ENDDR");
}

bool TJtagChain::SetEnd(TTapState& end, uint8_t state, const std::string& keyword) {
  if (IsShift(tap_)) return Refuse(keyword + " within a scan");
  if (!IsStableCode(state)) return Refuse(keyword + " " + NameOf(state) + ": not a stable state");
  end = static_cast<TTapState>(state);
  return true;
}

bool TJtagChain::State(std::string_view path) {
  if (IsShift(tap_)) return Refuse("STATE within a scan");
  if (path.empty()) return true;
  TTapState at = tap_;
  for (size_t i = 0; i < path.size(); ++i) {
    const auto code = static_cast<uint8_t>(path[i]);
    if (code > 15) return Refuse("STATE: " + NameOf(code) + " is no TAP state");
    const auto s = static_cast<TTapState>(code);
    if (i + 1 < path.size() && IsShift(s))
      return Refuse(std::string("STATE through ") + kTapNames[s] + ": only scans shift");
    if (path.size() > 1 && s != tsRESET && kNext[at][0] != s && kNext[at][1] != s)
      return Refuse(std::string("STATE from ") + kTapNames[at] + " to " + kTapNames[s] +
                    ": not one clock apart");
    at = s;
  }
  if (!IsStable(at))
    return Refuse(std::string("STATE ends in ") + kTapNames[at] + ": not a stable state");
  if (path.size() == 1 && at == tap_ && (at == tsDRPAUSE || at == tsIRPAUSE)) {
    // A pause state named again goes once round through its update and capture states.
    Enter(kNext[at][1]);
    MoveTo(at);
    return true;
  }
  for (char c : path) {
    const auto s = static_cast<TTapState>(c);
    if (path.size() == 1 || s == tsRESET)
      MoveTo(s);
    else
      Enter(s);
  }
  return true;
}

bool TJtagChain::RunTest(uint32_t count, uint8_t run_state) {
  if (IsShift(tap_)) return Refuse("RUNTEST within a scan");
  if (!IsStableCode(run_state))
    return Refuse("RUNTEST in " + NameOf(run_state) + ": not a stable state");
  MoveTo(static_cast<TTapState>(run_state));
  run_clocks_ = SaturatingAdd(run_clocks_, count);
  if (tap_ == tsIDLE && ir_ == Code(kErase) && count > 0) storage_.assign(storage_.size(), '\xFF');
  return true;
}

bool TJtagChain::EndOfFile() {
  if (IsShift(tap_)) return Refuse("the effect file ends within a scan");
  return true;
}

void TJtagChain::Reset() {
  Enter(tsRESET);
  ir_bits_ = 0;
  dr_bits_ = 0;
}
