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
    case TPsdState::Idle:
      Recognize();
      break;
    case TPsdState::ProgramBank:
      StartProgram();
      break;
    case TPsdState::WaitProgramCommand:
      CheckProgramCommand();
      break;
    case TPsdState::WaitErase:
      CheckErase();
      break;
    case TPsdState::UploadLine:
      CheckLine(TPsdState::SendChecksum);
      break;
    case TPsdState::SendChecksum:
      SendChecksum();
      break;
    case TPsdState::WaitChecksum:
      CheckChecksum();
      break;
    case TPsdState::SendIdCommand:
      Send("D" + BankDigit());
      State = TPsdState::WaitIdCommand;
      break;
    case TPsdState::WaitIdCommand:
      CheckIdCommand();
      break;
    case TPsdState::WaitId:
      ReadId();
      break;
    case TPsdState::SendFCommand:
      Send("F" + BankDigit());
      State = TPsdState::WaitFCommand;
      break;
    case TPsdState::WaitFCommand:
      CheckDone();
      break;
    case TPsdState::UploadFile:
      if (LoadFile()) {
        Send("PE");
        State = TPsdState::WaitUploadCommand;
      }
      break;
    case TPsdState::WaitUploadCommand:
      CheckUploadCommand();
      break;
    case TPsdState::UploadFileLine:
      CheckLine(TPsdState::Done);
      break;
    case TPsdState::Done:
      Lines.clear();
      EndBusy();
      State = TPsdState::Idle;
      break;
    case TPsdState::Error:  // left only by Reset
      break;
  }
}

void TProgPsd::ReportError(const std::string& text) {
  Lines.clear();
  EndBusy();
  State = TPsdState::Error;
  TGestionnaire::ReportError(text);
}

void TProgPsd::Reset() {
  Lines.clear();
  LineIndex = 0;
  Bank = 0;
  TGestionnaire::Reset();
  State = TPsdState::Idle;
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
    State = word == 'P'   ? TPsdState::ProgramBank
            : word == 'D' ? TPsdState::SendIdCommand
                          : TPsdState::SendFCommand;
  } else if (word == 'P' && !Instruction.empty() && Instruction[0] == 'E') {
    BeginBusy();
    Instruction = Trim(std::string_view(Instruction).substr(1));
    State = TPsdState::UploadFile;
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
    State = TPsdState::Done;
    return;
  }
  Instruction = BankFileName(Instruction);
  if (!LoadFile()) return;
  Send("P" + BankDigit());
  State = TPsdState::WaitProgramCommand;
}

void TProgPsd::CheckProgramCommand() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    SetStatus("Erase Bank" + BankDigit());
    State = TPsdState::WaitErase;
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

void TProgPsd::CheckErase() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    BeginUpload("Upload Bank" + BankDigit(), TPsdState::UploadLine);
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Error while erasing !!!");
  }
}

void TProgPsd::CheckUploadCommand() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    BeginUpload("", TPsdState::UploadFileLine);
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

// Line 0 goes out here and again on its own acknowledgement. An empty status sets none.
void TProgPsd::BeginUpload(const std::string& status, TPsdState next) {
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

void TProgPsd::CheckLine(TPsdState after_last) {
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
    // Taken first, unlike the boot engine: OnError sees what follows the "X".
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
  State = TPsdState::WaitChecksum;
}

void TProgPsd::CheckChecksum() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    ClearReceived();
    State = TPsdState::Done;
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Checksum Error");
  } else if (Begins('R')) {
    Consume("R");
    State = TPsdState::SendChecksum;
    ChargeRetry();
    if (RetryCount > kMaxRetries) ReportError("Too Many Transmission Error !!!");
  }
}

void TProgPsd::CheckIdCommand() {
  FetchReceived();
  if (Begins('.')) {
    SetStatus("Extract MCU ID");
    Consume(".");
    State = TPsdState::WaitId;
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
  State = TPsdState::Done;
}

void TProgPsd::CheckDone() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    State = TPsdState::Done;
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
