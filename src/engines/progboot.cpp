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
    case 0:
      Recognize();
      break;
    case 2:
      Send("%");
      State = 3;
      break;
    case 3:
      Synchronise();
      break;
    case 4:
    case 5:
      CheckDeviceType();
      break;
    case 6:
      ReadIdentity();
      break;
    case 7:
      if (LoadFile()) {
        Send("PB");
        State = 8;
      }
      break;
    case 8:
      CheckProgramCommand();
      break;
    case 9:
      CheckErase();
      break;
    case 10:
      CheckLine();
      break;
    case 11:
      SendChecksum();
      break;
    case 12:
      CheckChecksum();
      break;
    case 13:
      Lines.clear();
      EndBusy();
      State = 0;
      break;
    default:  // 14: error state, left only by Reset
      break;
  }
}

void TProgBoot::ReportError(const std::string& text) {
  Lines.clear();
  EndBusy();
  State = 14;
  TGestionnaire::ReportError(text);
}

void TProgBoot::Reset() {
  Lines.clear();
  ExpectedChecksum.clear();
  LineIndex = 0;
  Line.clear();
  TGestionnaire::Reset();
  State = 0;
}

void TProgBoot::Recognize() {
  if (Busy) return;
  if (Instruction.rfind("SYN", 0) == 0) {
    Line = Instruction;
    BeginBusy();
    State = 2;
  } else if (!Instruction.empty() && Instruction[0] == 'P') {
    Line = Instruction;
    Instruction = Trim(std::string_view(Instruction).substr(1));
    if (!Instruction.empty() && Instruction[0] == 'B') {
      BeginBusy();
      State = 7;
    }
  }
}

// Everything in front of a "." is noise from a device that is still starting up.
void TProgBoot::Synchronise() {
  FetchReceived();
  if (Received.empty()) {
    State = 2;
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
    State = 4;
  }
}

void TProgBoot::CheckDeviceType() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    SetDeviceVariant(State == 5);
    State = 6;
  } else if (Begins('X')) {
    Consume("X");
    if (State == 4) {
      Send("35");
      State = 5;
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
  State = 13;
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
    State = 9;
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
      State = 10;
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
      State = 11;
    }
  } else if (Begins('X')) {
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
  State = 12;
}

void TProgBoot::CheckChecksum() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    State = 13;
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Checksum Error");
  } else if (Begins('R')) {
    Consume("R");
    State = 11;
    ChargeRetry();
    if (RetryCount > kMaxRetries) ReportError("Too Many Transmission Error !!!");
  }
}

void TProgBoot::SendLine(size_t index) {
  Send(Lines[index] + "\r\n");
}
