#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The part behind one JTAG target of the device: an 8-bit instruction register, a 32-bit
// identification register, a bypass bit and a storage reached through the data register.
// PROGRAM stores what is shifted in and captures what was stored there before; VERIFY captures
// the stored bytes and leaves them alone; ERASE empties the storage while the clock runs.
// Scan data is a byte string, least significant byte first, as the statement records carry it.
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

  explicit TJtagChain(uint32_t idcode) : idcode_(idcode) {}

  uint32_t IdCode() const { return idcode_; }
  uint8_t Instruction() const { return ir_; }
  // What the part holds: every byte PROGRAM wrote, 0xFF where ERASE left it empty.
  const std::string& Storage() const { return storage_; }

  // One scan statement of `bits` bits; `start` and `end` mark the first and the last statement
  // of a scan split over several. Returns the captured bytes ((bits + 7) / 8 of them), or
  // nullopt when the part refuses the scan (instruction scan of the wrong length, storage full).
  std::optional<std::string> ScanIr(int bits, std::string tdi, bool start, bool end);
  std::optional<std::string> ScanDr(int bits, std::string tdi, bool start, bool end);
  // Clock cycles in the run state: ERASE empties the storage.
  void RunTest(uint32_t count);

 private:
  std::string ShiftBypass(const std::string& tdi);

  uint32_t idcode_;
  uint8_t ir_ = kIdcode;  // IDCODE after a test-logic reset
  uint64_t ir_bits_ = 0;  // bits shifted in during the current instruction scan
  uint8_t ir_first_ = 0;  // its first byte, the instruction when the scan is 8 bits long
  size_t dr_offset_ = 0;  // byte offset into the current data scan
  size_t pointer_ = 0;    // next storage byte for PROGRAM and VERIFY
  uint8_t bypass_carry_ = 0;
  std::string storage_;
};
