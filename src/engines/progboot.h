#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engines/gestionnaire.h"

// The boot engine's states, numbered as they always were.
enum class TBootState : uint8_t {
  Idle = 0,          // recognises "SYN" and "PB"
  SendSync = 2,      // "%"
  WaitSync = 3,      // the boot loader's "."
  WaitType30 = 4,    // the answer to device type 30
  WaitType35 = 5,    // the answer to device type 35
  WaitIdentity = 6,  // boot checksum and device identifier
  LoadFile = 7,      // reads and checks the HEX file, then "PB"
  WaitProgramCommand = 8,
  WaitErase = 9,
  UploadLine = 10,  // one acknowledgement per line
  SendChecksum = 11,
  WaitChecksum = 12,
  Done = 13,
  Error = 14,  // left only by Reset
};

// Talks to the device's boot loader: "SYN" synchronises, checks the device type and reads the
// boot checksum and device identifier; "PB file [checksum]" erases the extended boot area,
// uploads an Intel HEX file into it line by line and has the device verify the area.
class TProgBoot : public TGestionnaire {
 public:
  TProgBoot() = default;

  void Step();
  TBootState GetState() const { return State; }

  void ReportError(const std::string& text) override;
  void Reset() override;

  TBootState State = TBootState::Idle;

  // The arguments of "PB" as Step takes them from Instruction, which holds "B" and the rest of
  // the line: Rest is the file name and all after it, Name the text up to the first blank,
  // Checksum the trimmed remainder. Shared with the script checker.
  struct TPbArguments {
    std::string Rest;
    std::string Name;
    std::string Checksum;
  };
  static TPbArguments PbArguments(const std::string& instruction);
  // The text the engine stops with for a checksum text that could never verify, or "".
  static std::string ChecksumFault(const std::string& line, const std::string& checksum);

 private:
  void Recognize();
  void Synchronise();
  void CheckDeviceType();
  void ReadIdentity();
  bool LoadFile();
  void CheckProgramCommand();
  void CheckErase();
  void CheckLine();
  void SendChecksum();
  void CheckChecksum();
  void SendLine(size_t index);

  std::string ExpectedChecksum;
  std::vector<std::string> Lines;
  int32_t LineIndex = 0;
  std::string Line;  // the instruction as offered, for error texts
};
