#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The parts behind one JTAG target of the device, modelled bit by bit. One part is modelled in
// full: an 8-bit instruction register, a 32-bit identification register, a bypass bit and a
// storage reached through the data register. PROGRAM stores what is shifted in and captures what
// was stored there before; VERIFY captures the stored bits and leaves them alone; ERASE empties
// the storage while the clock runs. Other parts may stand between TDI and that part and between
// it and TDO: each has an 8-bit instruction register and is always in BYPASS.
// Scan data is a byte string, least significant byte first, as the statement records carry it;
// bit 0 is shifted first.
class TJtagChain {
 public:
  static constexpr int kIrLength = 8;
  static constexpr uint8_t kIrCapture = 0x01;
  static constexpr uint8_t kIdcode = 0xFE;
  static constexpr uint8_t kBypass = 0xFF;
  static constexpr uint8_t kErase = 0xEC;
  static constexpr uint8_t kProgram = 0xEA;
  static constexpr uint8_t kVerify = 0xEE;
  static constexpr size_t kStorageMax = 1 << 20;

  explicit TJtagChain(uint32_t idcode, int parts_tdi_side = 0, int parts_tdo_side = 0);

  uint32_t IdCode() const { return idcode_; }
  uint8_t Instruction() const { return ir_; }
  // What the part holds: every bit PROGRAM wrote, 0xFF where ERASE left it empty.
  const std::string& Storage() const { return storage_; }
  // Clock cycles of every RUNTEST so far (saturating).
  uint64_t RunClocks() const { return run_clocks_; }

  // One scan statement of `bits` bits; `start` and `end` mark the first and the last statement
  // of a scan split over several. Returns the captured bytes ((bits + 7) / 8 of them), or
  // nullopt when the chain refuses the scan (an instruction scan that is not as long as the
  // instruction registers together, storage full).
  std::optional<std::string> ScanIr(int bits, std::string tdi, bool start, bool end);
  std::optional<std::string> ScanDr(int bits, std::string tdi, bool start, bool end);
  // Clock cycles in the run state: ERASE empties the storage.
  void RunTest(uint32_t count);

 private:
  // A row of bypass bits: each bit in pushes the oldest out.
  struct TDelay {
    std::vector<uint8_t> bits;
    size_t head = 0;
    bool Shift(bool in);
  };
  std::optional<bool> ShiftPart(bool in);
  bool StorageBit(uint64_t i) const;
  bool SetStorageBit(uint64_t i, bool v);

  uint32_t idcode_;
  uint64_t ir_length_;    // of the whole chain
  uint64_t ir_first_;     // where the part's instruction lies in an instruction scan
  uint64_t others_;       // bypass bits in a data scan: the other parts together
  uint8_t ir_ = kIdcode;  // IDCODE after a test-logic reset
  uint64_t ir_bits_ = 0;  // bits shifted in during the current instruction scan (saturating)
  uint8_t ir_next_ = 0;   // the part's instruction as shifted in so far
  uint64_t dr_bits_ = 0;  // bits shifted in during the current data scan
  TDelay tdi_side_, tdo_side_;
  uint32_t shift_ = 0;    // the part's identification or bypass register while shifting
  uint64_t pointer_ = 0;  // next storage bit for PROGRAM and VERIFY
  uint64_t run_clocks_ = 0;
  std::string storage_;
};
