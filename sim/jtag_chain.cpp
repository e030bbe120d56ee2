#include "jtag_chain.h"

#include <algorithm>

namespace {

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

TJtagChain::TJtagChain(uint32_t idcode, int parts_tdi_side, int parts_tdo_side)
    : idcode_(idcode),
      ir_length_(static_cast<uint64_t>(kIrLength) * (1 + parts_tdi_side + parts_tdo_side)),
      ir_first_(static_cast<uint64_t>(kIrLength) * parts_tdo_side),
      others_(static_cast<uint64_t>(parts_tdi_side + parts_tdo_side)) {
  tdi_side_.bits.assign(static_cast<size_t>(parts_tdi_side), 0);
  tdo_side_.bits.assign(static_cast<size_t>(parts_tdo_side), 0);
}

bool TJtagChain::TDelay::Shift(bool in) {
  if (bits.empty()) return in;
  const bool out = bits[head];
  bits[head] = in;
  head = (head + 1) % bits.size();
  return out;
}

// The first bits in travel furthest: the parts on the TDO side hold the start of the scan.
std::optional<std::string> TJtagChain::ScanIr(int bits, std::string tdi, bool start, bool end) {
  tdi = Fit(std::move(tdi), bits);
  if (start) {
    ir_bits_ = 0;
    ir_next_ = 0;
  }
  std::string capture(tdi.size(), '\0');
  // Only the bits within the registers matter; a longer scan is refused at its end.
  const uint64_t n = ir_bits_ >= ir_length_ ? 0 : std::min<uint64_t>(bits, ir_length_ - ir_bits_);
  for (uint64_t k = 0; k < n; ++k) {
    const uint64_t p = ir_bits_ + k;
    if (p % kIrLength == 0) SetBit(capture, k);  // every part captures 01
    if (p >= ir_first_ && p < ir_first_ + kIrLength && BitOf(tdi, k))
      ir_next_ = static_cast<uint8_t>(ir_next_ | 1 << (p - ir_first_));
  }
  ir_bits_ = SaturatingAdd(ir_bits_, static_cast<uint64_t>(std::max(bits, 0)));
  if (!end) return capture;
  const bool ok = ir_bits_ == ir_length_;
  if (ok) {
    ir_ = ir_next_;
    if (ir_ == kProgram || ir_ == kVerify) pointer_ = 0;
  }
  ir_bits_ = 0;
  if (!ok) return std::nullopt;
  return capture;
}

std::optional<std::string> TJtagChain::ScanDr(int bits, std::string tdi, bool start, bool end) {
  tdi = Fit(std::move(tdi), bits);
  if (start) {
    dr_bits_ = 0;
    std::fill(tdi_side_.bits.begin(), tdi_side_.bits.end(), 0);
    std::fill(tdo_side_.bits.begin(), tdo_side_.bits.end(), 0);
    shift_ = ir_ == kIdcode ? idcode_ : 0;
  }
  std::string capture(tdi.size(), '\0');
  for (uint64_t k = 0; k < static_cast<uint64_t>(std::max(bits, 0)); ++k) {
    const std::optional<bool> out = ShiftPart(tdi_side_.Shift(BitOf(tdi, k)));
    if (!out) return std::nullopt;
    if (tdo_side_.Shift(*out)) SetBit(capture, k);
    ++dr_bits_;
  }
  // The storage register is as long as the scan leaves it once the bypass bits are taken off.
  if (end && (ir_ == kProgram || ir_ == kVerify) && dr_bits_ > others_)
    pointer_ += dr_bits_ - others_;
  return capture;
}

// One clock of the part's data register: `in` enters, the result leaves towards TDO.
std::optional<bool> TJtagChain::ShiftPart(bool in) {
  switch (ir_) {
    case kIdcode: {
      const bool out = shift_ & 1;
      shift_ = (shift_ >> 1) | static_cast<uint32_t>(in) << 31;
      return out;
    }
    case kProgram: {
      // What enters first is the bypass bits' captures and the bits bound for the parts on the
      // TDO side: the storage takes what follows them.
      const bool out = StorageBit(pointer_ + dr_bits_);
      if (dr_bits_ >= others_ && !SetStorageBit(pointer_ + dr_bits_ - others_, in))
        return std::nullopt;
      return out;
    }
    case kVerify:
      return StorageBit(pointer_ + dr_bits_);
    default: {
      const bool out = shift_ & 1;
      shift_ = in;
      return out;
    }
  }
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

void TJtagChain::RunTest(uint32_t count) {
  run_clocks_ = SaturatingAdd(run_clocks_, count);
  if (ir_ == kErase && count > 0) storage_.assign(storage_.size(), '\xFF');
}
