#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engines/gestionnaire.h"

// The bank engine's states, numbered as they always were.
enum class TPsdState : uint8_t {
  Idle = 0,         // recognises "P", "D" and "F" with a bank digit, and "PE"
  ProgramBank = 1,  // reads and checks the HEX file, then "P" and the digit
  WaitProgramCommand = 2,
  WaitErase = 3,
  Error = 4,       // left only by Reset
  UploadLine = 6,  // one acknowledgement per line
  SendChecksum = 7,
  WaitChecksum = 8,
  SendIdCommand = 9,
  WaitIdCommand = 10,
  WaitId = 11,  // the MCU identification and "."
  SendFCommand = 12,
  WaitFCommand = 13,
  UploadFile = 14,  // reads and checks the "PE" file, then "PE"
  WaitUploadCommand = 15,
  UploadFileLine = 16,  // as UploadLine, without a checksum after it
  Done = 17,
};

// Programs the microcontroller's memory banks "0" to "7" from Intel HEX files ("P" digit file:
// erase, upload, verify), uploads a file with "PE" file, reads the MCU identification ("D"
// digit) and sends the short "F" digit command.
class TProgPsd : public TGestionnaire {
 public:
  TProgPsd() = default;

  void Step();
  TPsdState GetState() const { return State; }

  void ReportError(const std::string& text) override;
  void Reset() override;

  TPsdState State = TPsdState::Idle;

  // The file name of a program-bank line, from Instruction as recognition leaves it (the bank
  // digit, then the name). Shared with the script checker.
  static std::string BankFileName(const std::string& instruction);

 private:
  void Recognize();
  bool LoadFile();
  void StartProgram();
  void CheckProgramCommand();
  void CheckErase();
  void CheckLine(TPsdState after_last);
  void SendChecksum();
  void CheckChecksum();
  void CheckIdCommand();
  void ReadId();
  void CheckDone();
  void CheckUploadCommand();
  void BeginUpload(const std::string& status, TPsdState next);
  void SendLine(size_t index);
  std::string BankDigit() const;

  std::vector<std::string> Lines;
  int32_t LineIndex = 0;
  int32_t Bank = 0;
};
