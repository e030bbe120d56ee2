#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// TAP controller states, numbered as the statement records carry them.
enum TTapState : uint8_t {
  tsRESET,
  tsIDLE,
  tsDRSELECT,
  tsDRCAPTURE,
  tsDRSHIFT,
  tsDREXIT1,
  tsDRPAUSE,
  tsDREXIT2,
  tsDRUPDATE,
  tsIRSELECT,
  tsIRCAPTURE,
  tsIRSHIFT,
  tsIREXIT1,
  tsIRPAUSE,
  tsIREXIT2,
  tsIRUPDATE,
};

// One part of a chain.
struct TJtagPart {
  int ir_length = 8;    // bits of its instruction register
  uint32_t idcode = 0;  // 0: no identification register
  bool modelled = false;
  bool operator==(const TJtagPart&) const = default;
};

// The parts behind one JTAG target of the device, modelled bit by bit, and the TAP controller
// they share. One part is modelled in full: an instruction register of 8 to 32 bits, a 32-bit
// identification register, a bypass bit and a storage reached through the data register. Its
// instructions are the 8-bit codes below with every bit above the eighth set (BYPASS is all
// ones; any other code selects the bypass bit too). PROGRAM stores what is shifted in and captures
// what was stored there before; VERIFY captures the stored bits and leaves them alone; ERASE
// empties the storage while the clock runs in IDLE. The other parts, with instruction registers
// of 2 to 32 bits, hold IDCODE after a reset (BYPASS when they have none) and BYPASS after any
// instruction. Every instruction register captures 01 in its lowest bits.
//
// Scans, STATE, ENDIR, ENDDR and RUNTEST move the TAP controller along the paths SVF gives them:
// between statements it rests in RESET, IDLE, DRPAUSE or IRPAUSE, or in a shift state while a
// scan split over several statements is open. An instruction takes effect in IRUPDATE, a data
// scan moves the storage on in DRUPDATE, and RESET selects IDCODE again.
// Scan data is a byte string, least significant byte first, as the statement records carry it;
// bit 0 is shifted first.
class TJtagChain {
 public:
  static constexpr uint8_t kIdcode = 0xFE;
  static constexpr uint8_t kBypass = 0xFF;
  static constexpr uint8_t kErase = 0xEC;
  static constexpr uint8_t kProgram = 0xEA;
  static constexpr uint8_t kVerify = 0xEE;
  static constexpr size_t kStorageMax = 1 << 20;
  static constexpr size_t kMaxParts = 32;

  // What is wrong with `parts` (from TDI to TDO) as a chain, or "" when it can be built: at most
  // kMaxParts, exactly one modelled part with 8 to 32 instruction bits, the others 2 to 32, and
  // every IDCODE with bit 0 set.
  static std::string Check(const std::vector<TJtagPart>& parts);
  // REQUIRES: Check(parts) is "" and the modelled part has an IDCODE.
  explicit TJtagChain(std::vector<TJtagPart> parts);
  // The modelled part with `idcode` and 8 instruction bits, between parts with 8 instruction bits
  // and no identification.
  explicit TJtagChain(uint32_t idcode, int parts_tdi_side = 0, int parts_tdo_side = 0);

  uint32_t IdCode() const { return parts_[modelled_].idcode; }
  uint32_t Instruction() const { return ir_; }
  // The modelled part's code for one of the instructions above.
  uint32_t Code(uint8_t instruction) const;
  TTapState Tap() const { return tap_; }
  // What the part holds: every bit PROGRAM wrote, 0xFF where ERASE left it empty.
  const std::string& Storage() const { return storage_; }
  // Clock cycles of every RUNTEST so far (saturating).
  uint64_t RunClocks() const { return run_clocks_; }
  // Why the last statement was refused.
  const std::string& Refusal() const { return refusal_; }

  // One scan statement of `bits` bits; `start` and `end` mark the first and the last statement
  // of a scan split over several. Returns the captured bytes ((bits + 7) / 8 of them), or
  // nullopt when the chain refuses the scan: a scan begun while one is open, a continuation
  // without one, an instruction scan that is not as long as the instruction registers
  // together, storage full.
  std::optional<std::string> ScanIr(int bits, std::string tdi, bool start, bool end);
  std::optional<std::string> ScanDr(int bits, std::string tdi, bool start, bool end);
  // ENDIR, ENDDR: the state later scans of that kind end in. False for one that is not stable.
  bool EndIr(uint8_t state);
  bool EndDr(uint8_t state);
  // STATE with the codes of `path`: one stable state, reached by the default path, or a walk of
  // the TAP diagram that ends in one and shifts nothing; a step to RESET is taken from anywhere.
  // Refused, nothing moves.
  bool State(std::string_view path);
  // RUNTEST: to `run_state` (stable) by the default path, then `count` clocks there.
  bool RunTest(uint32_t count, uint8_t run_state = tsIDLE);
  // The end of an effect file: false while a scan is open.
  bool EndOfFile();
  // Test-Logic-Reset, as at power-up; a scan left open is dropped.
  void Reset();

 private:
  // A row of data register bits: each bit in pushes the oldest out.
  struct TDelay {
    std::vector<uint8_t> bits;
    size_t head = 0;
    bool Shift(bool in);
  };
  bool Refuse(std::string why);
  bool SetEnd(TTapState& end, uint8_t state, const std::string& keyword);
  std::optional<std::string> Scan(bool ir, int bits, std::string tdi, bool start, bool end);
  bool ShiftIr(uint64_t bits, const std::string& tdi, std::string& capture);
  bool ShiftDr(uint64_t bits, const std::string& tdi, std::string& capture);
  void MoveTo(TTapState target);
  void Enter(TTapState state);
  void CaptureDr();
  void Load(TDelay& side, size_t first, size_t last);
  std::optional<bool> ShiftPart(bool in);
  bool StorageBit(uint64_t i) const;
  bool SetStorageBit(uint64_t i, bool v);

  std::vector<TJtagPart> parts_;  // from TDI to TDO
  size_t modelled_ = 0;
  uint64_t ir_length_ = 0;           // of the whole chain
  uint64_t ir_first_ = 0;            // where the part's instruction lies in an instruction scan
  std::vector<uint8_t> ir_capture_;  // the bits every instruction register captures, in scan order
  TTapState tap_ = tsRESET;
  TTapState end_ir_ = tsIDLE, end_dr_ = tsIDLE;
  uint32_t ir_ = 0;            // the part's instruction
  bool others_idcode_ = true;  // the other parts hold IDCODE (after a reset)
  uint64_t ir_bits_ = 0;       // bits shifted in since IRCAPTURE (saturating)
  uint32_t ir_next_ = 0;       // the part's instruction register as shifted so far
  uint64_t dr_bits_ = 0;       // bits shifted in since DRCAPTURE
  uint64_t others_ = 0;        // data bits of the other parts, as DRCAPTURE chose them
  TDelay tdi_side_, tdo_side_;
  uint32_t shift_ = 0;    // the part's identification or bypass register while shifting
  uint64_t pointer_ = 0;  // next storage bit for PROGRAM and VERIFY
  uint64_t run_clocks_ = 0;
  std::string storage_;
  std::string refusal_;
};
