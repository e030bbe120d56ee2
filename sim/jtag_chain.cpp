#include "jtag_chain.h"

#include <algorithm>

namespace {

std::string Fit(std::string data, int bits) {
  data.resize(static_cast<size_t>(bits + 7) / 8, '\0');
  return data;
}

}  // namespace

std::optional<std::string> TJtagChain::ScanIr(int bits, std::string tdi, bool start, bool end) {
  tdi = Fit(std::move(tdi), bits);
  if (start) ir_bits_ = 0;
  std::string capture(tdi.size(), '\0');
  if (ir_bits_ == 0 && !capture.empty()) {
    capture[0] = static_cast<char>(kIrCapture);
    ir_first_ = static_cast<uint8_t>(tdi[0]);
  }
  // Saturates: a scan that long is refused whatever its exact length.
  const auto add = static_cast<uint64_t>(std::max(bits, 0));
  ir_bits_ = ir_bits_ > UINT64_MAX - add ? UINT64_MAX : ir_bits_ + add;
  if (!end) return capture;
  const bool ok = ir_bits_ == kIrLength;
  if (ok) {
    ir_ = ir_first_;
    if (ir_ == kProgram || ir_ == kVerify) pointer_ = 0;
  }
  ir_bits_ = 0;
  if (!ok) return std::nullopt;
  return capture;
}

std::optional<std::string> TJtagChain::ScanDr(int bits, std::string tdi, bool start, bool end) {
  (void)end;
  tdi = Fit(std::move(tdi), bits);
  if (start) {
    dr_offset_ = 0;
    bypass_carry_ = 0;
  }
  std::string capture(tdi.size(), '\0');
  switch (ir_) {
    case kIdcode:
      for (size_t i = 0; i < tdi.size(); ++i) {
        const size_t byte = dr_offset_ + i;
        if (byte < 4) capture[i] = static_cast<char>(idcode_ >> (8 * byte));
      }
      break;
    case kProgram:
      if (pointer_ + tdi.size() > kStorageMax) return std::nullopt;
      if (storage_.size() < pointer_ + tdi.size()) storage_.resize(pointer_ + tdi.size(), '\xFF');
      for (size_t i = 0; i < tdi.size(); ++i) {
        capture[i] = storage_[pointer_ + i];
        storage_[pointer_ + i] = tdi[i];
      }
      pointer_ += tdi.size();
      break;
    case kVerify:
      for (size_t i = 0; i < tdi.size(); ++i) {
        const size_t at = pointer_ + i;
        capture[i] = at < storage_.size() ? storage_[at] : '\xFF';
      }
      pointer_ += tdi.size();
      break;
    default:
      capture = ShiftBypass(tdi);
      break;
  }
  dr_offset_ += tdi.size();
  return capture;
}

void TJtagChain::RunTest(uint32_t count) {
  if (ir_ == kErase && count > 0) storage_.assign(storage_.size(), '\xFF');
}

// The bypass bit delays the stream by one clock: its capture value 0 comes out first.
std::string TJtagChain::ShiftBypass(const std::string& tdi) {
  std::string out(tdi.size(), '\0');
  for (size_t i = 0; i < tdi.size(); ++i) {
    const auto in = static_cast<uint8_t>(tdi[i]);
    out[i] = static_cast<char>(static_cast<uint8_t>(in << 1) | bypass_carry_);
    bypass_carry_ = in >> 7;
  }
  return out;
}
