#include "engines/progpsd.h"

#include "engines/hexfile.h"
#include "formats/hex.h"
#include "formats/text.h"

namespace {

bool IsBankDigit(const std::string& s) {
  return !s.empty() && s[0] >= '0' && s[0] <= '7';
}

}  // namespace

void TProgPsd::Step() {
  switch (State) {
    case 0:
      Recognize();
      break;
    case 1:
      StartProgram();
      break;
    case 2:
      CheckProgramCommand();
      break;
    case 3:
      CheckErase();
      break;
    case 6:
      CheckLine(7);
      break;
    case 7:
      SendChecksum();
      break;
    case 8:
      CheckChecksum();
      break;
    case 9:
      Send("D" + BankDigit());
      State = 10;
      break;
    case 10:
      CheckIdCommand();
      break;
    case 11:
      ReadId();
      break;
    case 12:
      Send("F" + BankDigit());
      State = 13;
      break;
    case 13:
      CheckDone();
      break;
    case 14:
      if (LoadFile()) {
        Send("PE");
        State = 15;
      }
      break;
    case 15:
      CheckUploadCommand();
      break;
    case 16:
      CheckLine(17);
      break;
    case 17:
      Lines.clear();
      EndBusy();
      State = 0;
      break;
    default:  // 4: error state, left only by Reset
      break;
  }
}

void TProgPsd::ReportError(const std::string& text) {
  Lines.clear();
  EndBusy();
  State = 4;
  TGestionnaire::ReportError(text);
}

void TProgPsd::Reset() {
  Lines.clear();
  LineIndex = 0;
  Bank = 0;
  TGestionnaire::Reset();
  State = 0;
}

// A "P" line is only ever a bank or "PE" here; "P8".."PB" belong to other engines.
void TProgPsd::Recognize() {
  if (Busy || Instruction.empty()) return;
  const char word = Instruction[0];
  if (word != 'P' && word != 'D' && word != 'F') return;
  Instruction = Trim(std::string_view(Instruction).substr(1));
  if (IsBankDigit(Instruction)) {
    BeginBusy();
    Bank = HexValue(Instruction[0]);
    State = word == 'P' ? 1 : word == 'D' ? 9 : 12;
  } else if (word == 'P' && !Instruction.empty() && Instruction[0] == 'E') {
    BeginBusy();
    Instruction = Trim(std::string_view(Instruction).substr(1));
    State = 14;
  }
}

// Instruction holds the file name. Everything is checked before the command goes out, because
// the device erases the bank as soon as it takes "P" and a digit.
bool TProgPsd::LoadFile() {
  const std::string path = CardDir + Instruction;
  RetryCount = 0;
  if (std::string refusal; !ReadFileLines(path, Lines, refusal)) {
    ReportError(!refusal.empty() ? refusal : Excerpt(path) + " File not found !!!");
    return false;
  }
  if (Lines.empty()) {
    ReportError("Keyb File Empty !!!");
    return false;
  }
  if (std::string fault = HexFileFault(path, Lines); !fault.empty()) {
    ReportError(fault);
    return false;
  }
  return true;
}

std::string TProgPsd::BankFileName(const std::string& instruction) {
  return instruction.empty() ? std::string() : Trim(std::string_view(instruction).substr(1));
}

void TProgPsd::StartProgram() {
  if (!UpdateAllowed()) {
    ReportError("Update Not Allowed !!!");
    State = 17;
    return;
  }
  Instruction = BankFileName(Instruction);
  if (!LoadFile()) return;
  Send("P" + BankDigit());
  State = 2;
}

void TProgPsd::CheckProgramCommand() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    SetStatus("Erase Bank" + BankDigit());
    State = 3;
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

void TProgPsd::CheckErase() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    BeginUpload("Upload Bank" + BankDigit(), 6);
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Error while erasing !!!");
  }
}

void TProgPsd::CheckUploadCommand() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    BeginUpload("", 16);
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

// Line 0 goes out here and again on its own acknowledgement. An empty status sets none.
void TProgPsd::BeginUpload(const std::string& status, uint8_t next) {
  LineIndex = 0;
  SetProgressMax(static_cast<int32_t>(Lines.size() + 1));
  if (Lines.empty()) {
    ReportError("Keyb File Empty !!!");
    return;
  }
  if (!status.empty()) SetStatus(status);
  SendLine(0);
  State = next;
}

void TProgPsd::CheckLine(uint8_t after_last) {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    ProgressStep();
    if (LineIndex < static_cast<int32_t>(Lines.size())) {
      SendLine(LineIndex);
      ++LineIndex;
    } else {
      State = after_last;
    }
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Error while writing!!!");
  } else if (Begins('R')) {
    Consume("R");
    ChargeRetry();
    if (RetryCount > kMaxRetries)
      ReportError("Too Many Transmission Error !!!");
    else
      SendLine(LineIndex > 0 ? LineIndex - 1 : 0);
  }
}

// Bank 0 is the lower half of the 64 KiB image, every other bank the upper half.
void TProgPsd::SendChecksum() {
  SetStatus("Verify Bank" + BankDigit());
  const uint16_t sum =
      Bank == 0 ? HexImageChecksum(Lines, 0x0000, 0x7FFF) : HexImageChecksum(Lines, 0x8000, 0xFFFF);
  Send(MakeHexRecord(0x0C, 0x0000, WordToHex(sum)) + "\r\n");
  State = 8;
}

void TProgPsd::CheckChecksum() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    ClearReceived();
    State = 17;
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Checksum Error");
  } else if (Begins('R')) {
    Consume("R");
    State = 7;
    ChargeRetry();
    if (RetryCount > kMaxRetries) ReportError("Too Many Transmission Error !!!");
  }
}

void TProgPsd::CheckIdCommand() {
  FetchReceived();
  if (Begins('.')) {
    SetStatus("Extract MCU ID");
    Consume(".");
    State = 11;
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

// The identification is exactly two characters and ".".
void TProgPsd::ReadId() {
  FetchReceived();
  if (Received.find('.') != 2) return;
  SetStatus("ID Number : " + Received.substr(0, 2));
  ClearReceived();
  State = 17;
}

void TProgPsd::CheckDone() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    State = 17;
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

void TProgPsd::SendLine(size_t index) {
  Send(Lines[index] + "\r\n");
}

std::string TProgPsd::BankDigit() const {
  return std::string(1, HexDigit(Bank));
}
