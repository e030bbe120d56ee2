#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engines/gestionnaire.h"

// Programs the microcontroller's memory banks "0" to "7" from Intel HEX files ("P" digit file:
// erase, upload, verify), uploads a file with "PE" file, reads the MCU identification ("D"
// digit) and sends the short "F" digit command.
class TProgPsd : public TGestionnaire {
 public:
  TProgPsd() = default;

  void Step();
  uint8_t GetState() const { return State; }

  void ReportError(const std::string& text) override;
  void Reset() override;

  uint8_t State = 0;

  // The file name of a program-bank line, from Instruction as recognition leaves it (the bank
  // digit, then the name). Shared with the script checker.
  static std::string BankFileName(const std::string& instruction);

 private:
  void Recognize();
  bool LoadFile();
  void StartProgram();
  void CheckProgramCommand();
  void CheckErase();
  void CheckLine(uint8_t after_last);
  void SendChecksum();
  void CheckChecksum();
  void CheckIdCommand();
  void ReadId();
  void CheckDone();
  void CheckUploadCommand();
  void BeginUpload(const std::string& status, uint8_t next);
  void SendLine(size_t index);
  std::string BankDigit() const;

  std::vector<std::string> Lines;
  int32_t LineIndex = 0;
  int32_t Bank = 0;
};
