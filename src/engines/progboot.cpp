#include "engines/progboot.h"

#include <algorithm>

#include "engines/hexfile.h"
#include "formats/hex.h"
#include "formats/text.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsFourHexDigits(const std::string& s) {
  if (s.size() != 4) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

}  // namespace

void TProgBoot::Step() {
  switch (State) {
    case TBootState::Idle:
      Recognize();
      break;
    case TBootState::SendSync:
      Send("%");
      State = TBootState::WaitSync;
      break;
    case TBootState::WaitSync:
      Synchronise();
      break;
    case TBootState::WaitType30:
    case TBootState::WaitType35:
      CheckDeviceType();
      break;
    case TBootState::WaitIdentity:
      ReadIdentity();
      break;
    case TBootState::LoadFile:
      if (LoadFile()) {
        Send("PB");
        State = TBootState::WaitProgramCommand;
      }
      break;
    case TBootState::WaitProgramCommand:
      CheckProgramCommand();
      break;
    case TBootState::WaitErase:
      CheckErase();
      break;
    case TBootState::UploadLine:
      CheckLine();
      break;
    case TBootState::SendChecksum:
      SendChecksum();
      break;
    case TBootState::WaitChecksum:
      CheckChecksum();
      break;
    case TBootState::Done:
      Lines.clear();
      EndBusy();
      State = TBootState::Idle;
      break;
    case TBootState::Error:  // left only by Reset
      break;
  }
}

void TProgBoot::ReportError(const std::string& text) {
  Lines.clear();
  EndBusy();
  State = TBootState::Error;
  TGestionnaire::ReportError(text);
}

void TProgBoot::Reset() {
  Lines.clear();
  ExpectedChecksum.clear();
  LineIndex = 0;
  Line.clear();
  TGestionnaire::Reset();
  State = TBootState::Idle;
}

void TProgBoot::Recognize() {
  if (Busy) return;
  if (Instruction.rfind("SYN", 0) == 0) {
    Line = Instruction;
    BeginBusy();
    State = TBootState::SendSync;
  } else if (!Instruction.empty() && Instruction[0] == 'P') {
    Line = Instruction;
    Instruction = Trim(std::string_view(Instruction).substr(1));
    if (!Instruction.empty() && Instruction[0] == 'B') {
      BeginBusy();
      State = TBootState::LoadFile;
    }
  }
}

// Everything in front of a "." is noise from a device that is still starting up.
void TProgBoot::Synchronise() {
  FetchReceived();
  if (Received.empty()) {
    State = TBootState::SendSync;
    return;
  }
  // Each "." answers with "30"; the noise in front of it goes in the same cut.
  while (!Received.empty()) {
    const size_t dot = Received.find('.');
    if (dot == TReceiveBuffer::npos) {
      ClearReceived();
      break;
    }
    Consume(dot + 1);
    SetStatus("Verify Device Type");
    Send("30");
    State = TBootState::WaitType30;
  }
}

void TProgBoot::CheckDeviceType() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    SetDeviceVariant(State == TBootState::WaitType35);
    State = TBootState::WaitIdentity;
  } else if (Begins('X')) {
    Consume("X");
    if (State == TBootState::WaitType30) {
      Send("35");
      State = TBootState::WaitType35;
    } else {
      ReportError("Bad type of device !!!");
    }
  }
}

void TProgBoot::ReadIdentity() {
  FetchReceived();
  if (Received.find('.') != 8) return;
  const uint16_t checksum = HexToWord(Received.substr(0, 4));
  const std::string id = Received.substr(4, 4);
  // The boot loader reports its checksum offset by 0x6000.
  SetBootChecksum(WordToHex((checksum + 0xA000) & 0xFFFF));
  SetStatus("Boot Checksum : " + BootChecksum);
  SetStatus("Device ID : " + id);
  // An identifier that is not hex would be taken for another one: say so.
  if (!std::all_of(id.begin(), id.end(), IsHexDigit))
    SetStatus("Device ID \"" + id + "\" is not a valid identifier: four hex digits expected");
  SetDeviceIdText(id);
  SetDeviceId(HexToWord(id));
  ClearReceived();
  State = TBootState::Done;
}

// Instruction holds "B" and the rest of the line. Everything is checked before "PB" goes out,
// because "PB" erases the boot area at once.
bool TProgBoot::LoadFile() {
  const TPbArguments args = PbArguments(Instruction);
  Instruction = args.Rest;
  const std::string path = CardDir + args.Name;
  RetryCount = 0;
  if (std::string refusal; !ReadFileLines(path, Lines, refusal)) {
    ReportError(!refusal.empty() ? refusal
                                 : Excerpt(CardDir + Instruction) + " File not found !!!");
    return false;
  }
  if (Lines.empty()) {
    ReportError("Boot File Empty !!!");
    return false;
  }
  if (std::string fault = HexFileFault(path, Lines); !fault.empty()) {
    ReportError(fault);
    return false;
  }
  ExpectedChecksum = args.Checksum;
  if (std::string fault = ChecksumFault(Line, ExpectedChecksum); !fault.empty()) {
    ReportError(fault);
    return false;
  }
  SetProgressMax(static_cast<int32_t>(Lines.size() + 2));
  return true;
}

TProgBoot::TPbArguments TProgBoot::PbArguments(const std::string& instruction) {
  TPbArguments args;
  size_t start = std::min<size_t>(1, instruction.size());
  while (start < instruction.size() && IsBlank(instruction[start])) ++start;
  args.Rest = instruction.substr(start);
  size_t end = 0;
  while (end < args.Rest.size() && !IsBlank(args.Rest[end])) ++end;
  args.Name = args.Rest.substr(0, end);
  args.Checksum = Trim(std::string_view(args.Rest).substr(end));
  return args;
}

// A malformed checksum can never verify; it is refused before the boot area is erased.
std::string TProgBoot::ChecksumFault(const std::string& line, const std::string& checksum) {
  if (checksum.empty() || IsFourHexDigits(checksum)) return {};
  return "Bad checksum \"" + Excerpt(checksum) + "\" in \"" + Excerpt(line) +
         "\": four hex digits expected !!!";
}

void TProgBoot::CheckProgramCommand() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    SetStatus("Erase Extended Boot");
    State = TBootState::WaitErase;
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

// Line 0 goes out here and again on its own acknowledgement.
void TProgBoot::CheckErase() {
  FetchReceived();
  if (Begins('.')) {
    ProgressStep();
    Consume(".");
    LineIndex = 0;
    if (!Lines.empty()) {
      SetStatus("Upload Extended Boot");
      SendLine(0);
      State = TBootState::UploadLine;
    } else {
      ReportError("Boot File Empty !!!");
    }
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Error while erasing !!!");
  }
}

void TProgBoot::CheckLine() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    ProgressStep();
    if (LineIndex < static_cast<int32_t>(Lines.size())) {
      SendLine(LineIndex);
      ++LineIndex;
    } else {
      State = TBootState::SendChecksum;
    }
  } else if (Begins('X')) {
    // Reported first: whoever OnError calls still sees the "X" in Received.
    ReportError("Error while writing!!!");
    Consume("X");
  } else if (Begins('R')) {
    Consume("R");
    ChargeRetry();
    if (RetryCount > kMaxRetries)
      ReportError("Too Many Transmission Error !!!");
    else
      SendLine(LineIndex > 0 ? LineIndex - 1 : 0);
  }
}

void TProgBoot::SendChecksum() {
  SetStatus("Verify Checksum");
  const std::string sum = !ExpectedChecksum.empty()
                              ? ExpectedChecksum
                              : WordToHex(HexImageChecksum(Lines, 0x4000, 0x5FFF));
  Send(MakeHexRecord(0x0C, 0x0000, sum) + "\r\n");
  State = TBootState::WaitChecksum;
}

void TProgBoot::CheckChecksum() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    State = TBootState::Done;
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Checksum Error");
  } else if (Begins('R')) {
    Consume("R");
    State = TBootState::SendChecksum;
    ChargeRetry();
    if (RetryCount > kMaxRetries) ReportError("Too Many Transmission Error !!!");
  }
}

void TProgBoot::SendLine(size_t index) {
  Send(Lines[index] + "\r\n");
}
