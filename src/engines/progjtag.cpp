#include "engines/progjtag.h"

#include <chrono>
#include <thread>

#include "formats/hex.h"
#include "formats/text.h"

namespace {

const char kCrLf[] = "\r\n";
const char kEsc = '\x1b';

bool IsJtagTarget(char c) {
  return c == '8' || c == '9' || c == 'A';
}

// The text after the first character, trimmed.
std::string TrimmedRest(const std::string& s) {
  return s.empty() ? std::string() : Trim(std::string_view(s).substr(1));
}

}  // namespace

// The last character is never taken alone.
std::string TProgJtag::DecodeTdoReply(std::string_view r) {
  std::string out;
  size_t i = 0;
  while (i + 1 < r.size()) {
    if (r[i] != kEsc) {
      out.push_back(r[i++]);
    } else if (r[i + 1] == kEsc) {
      out += "1B";
      i += 2;
    } else if (r[i + 1] == '0') {
      out += "00";
      i += 2;
    } else if (r[i + 1] == '.') {
      break;
    } else {
      ++i;
    }
  }
  return out;
}

namespace {

// True when the last two digits are the 8-bit sum of the bytes before them. Without two digits
// there is no sum, which counts as a wrong one.
bool TdoSumOk(const std::string& digits) {
  if (digits.size() < 2) return false;
  const size_t body = digits.size() - 2;
  int sum = 0;
  for (size_t i = 0; i + 1 < body; i += 2)
    sum += HexValue(digits[i]) * 16 + HexValue(digits[i + 1]);
  return (sum & 0xFF) == HexValue(digits[body]) * 16 + HexValue(digits[body + 1]);
}

}  // namespace

TProgJtag::TProgJtag()
    : Pause([](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {}

TProgJtag::~TProgJtag() {
  CloseEffectFile();
}

void TProgJtag::Step() {
  switch (State) {
    case TJtagState::Idle:
      if (!Busy) TakeInstruction();
      break;
    case TJtagState::Error:  // left only by Reset
      break;
    case TJtagState::SendIdCommand:
      Target = Instruction[0];
      Send(std::string("D") + Target);
      State = TJtagState::WaitIdCommand;
      break;
    case TJtagState::WaitIdCommand:
      FetchReceived();
      if (Begins('.')) {
        SetStatus("Extract JTAG Devices ID");
        Consume(".");
        State = TJtagState::WaitId;
      } else if (Begins('I')) {
        Consume("I");
        ReportError("Instruction unknown");
      }
      break;
    case TJtagState::WaitId:
      WaitIdReply();
      break;
    case TJtagState::PlayEffect:
      if (!UpdateAllowed()) {
        ReportError("Update Not Allowed !!!");
        State = TJtagState::Done;
        break;
      }
      Target = Instruction[0];
      Instruction = EffectFileName(Instruction);
      Send(std::string("P") + Target);
      State = TJtagState::WaitFileAccepted;
      break;
    case TJtagState::WaitFileAccepted:
      WaitFileAccepted();
      break;
    case TJtagState::WaitStatementReply:
      WaitStatementReply();
      break;
    case TJtagState::WaitEndReply:
      WaitEndReply();
      break;
    case TJtagState::SendFCommand:
      Target = Instruction[0];
      Send(std::string("F") + Target);
      State = TJtagState::WaitFCommand;
      break;
    case TJtagState::WaitFCommand:
      AwaitAck(TJtagState::Done);
      break;
    case TJtagState::Done:
      CloseEffectFile();
      EndBusy();
      State = TJtagState::Idle;
      break;
  }
}

// Takes "D", "P" or "F" followed by a JTAG target; any other line stays as it was.
void TProgJtag::TakeInstruction() {
  if (Instruction.empty()) return;
  const char letter = Instruction[0];
  TJtagState next;
  if (letter == 'D')
    next = TJtagState::SendIdCommand;
  else if (letter == 'P')
    next = TJtagState::PlayEffect;
  else if (letter == 'F')
    next = TJtagState::SendFCommand;
  else
    return;
  std::string rest = TrimmedRest(Instruction);
  if (rest.empty() || !IsJtagTarget(rest[0])) return;
  Instruction = rest;
  BeginBusy();
  State = next;
}

void TProgJtag::AwaitAck(TJtagState next) {
  FetchReceived();
  if (Received.empty()) return;
  if (Received[0] == '.') {
    Consume(".");
    State = next;
  } else if (Received[0] == 'I') {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

// The identification comes least significant byte first, ended by ".".
void TProgJtag::WaitIdReply() {
  FetchReceived();
  const size_t dot = Received.find('.');
  if (dot == TReceiveBuffer::npos || dot == 0) return;
  SetStatus("ID Number : " + Excerpt(ReverseHexBytes(Received.View().substr(0, dot))));
  ClearReceived();
  State = TJtagState::Done;
}

void TProgJtag::WaitFileAccepted() {
  FetchReceived();
  if (Received.empty()) return;
  if (Received[0] == 'I') {
    Consume("I");
    ReportError("Instruction unknown");
    return;
  }
  if (Received[0] != '.') return;
  Consume(".");
  const std::string path = CardDir + Instruction;
  LineCount = OpenEffectFile(path);
  if (LineCount == -1) {
    ReportError(!Refusal.empty() ? Refusal : Excerpt(path) + " File not found !!!");
    return;
  }
  SetProgressMax(LineCount);
  // The device needs this time after "P" before the first statement.
  if (Pause) Pause(1000);
  RetryCount = 0;
  LineNumber = 0;
  if (LineCount == 0) {
    ReportError("Effect File Empty !!!");
    return;
  }
  ReadNextStatement();
}

void TProgJtag::WaitStatementReply() {
  FetchReceived();
  switch (FindReplyCode()) {
    case '.':
      if (Statement.BlockPending) {
        Consume("..");  // the device's ESC "." that accepts the record
        Send(Statement.TdiData);
        Statement.BlockPending = false;
      } else if (Statement.StatementType & kSvfFlagTdo) {
        CheckTdoReply();
      } else {
        ClearReceived();
        ProgressStep();
        ReadNextStatement();
      }
      break;
    case 'X':
      ClearReceived();
      ReportError("Error while executing Effect file line : " + std::to_string(LineNumber));
      break;
    case 'R':
      ClearReceived();
      if (CountRetry()) Send(EncodeStatement(CurrentLine) + kCrLf);
      break;
  }
}

void TProgJtag::WaitEndReply() {
  FetchReceived();
  const char code = FindReplyCode();
  if (code == '\0') return;
  ClearReceived();
  NotifyOperationEnd();
  if (code == '.')
    State = TJtagState::Done;
  else if (code == 'X')
    ReportError("Instruction unknown");
  else
    ReportError("Too Many Transmission Error !!!");  // the end record is not sent again
}

// Skips comments and ignored lines; the end record follows the last statement.
void TProgJtag::ReadNextStatement() {
  std::string record;
  while (record.empty() && LineNumber < LineCount) {
    if (!EffectFile.Next(CurrentLine)) CurrentLine.clear();  // a file cut short fails here
    record = EncodeStatement(CurrentLine);
    ++LineNumber;
  }
  if (record == kSvfError) {
    ReportError("Error in Effect file line : " + std::to_string(LineNumber));
  } else if (!record.empty()) {
    Send(record + kCrLf);
    State = TJtagState::WaitStatementReply;
  } else {
    // Noted once every line is read, so the hash is of what was played, not of what the
    // path held when it was counted.
    NoteFileRead(EffectPath, EffectFile.ReadSha256());
    Send(std::string(kSvfEndRecord) + kCrLf);
    State = TJtagState::WaitEndReply;
  }
}

void TProgJtag::CheckTdoReply() {
  std::string digits = DecodeTdoReply(Received.View());
  ClearReceived();
  if (!TdoSumOk(digits)) {
    if (CountRetry()) Send("R");
    return;
  }
  Send(".");
  digits.resize(digits.size() - 2);
  std::string expected = Statement.TdoData;
  if (!Statement.MaskData.empty()) {
    AndHexDigits(Statement.MaskData, digits);
    AndHexDigits(Statement.MaskData, expected);
  }
  // The device's next "." then acknowledges the statement itself.
  Statement.StatementType = 0;
  if (digits != expected)
    ReportError("Error while executing Effect file line : " + std::to_string(LineNumber));
}

// One budget per effect file; false (and the run stopped) once it is spent.
bool TProgJtag::CountRetry() {
  ChargeRetry();
  if (RetryCount <= kMaxRetries) return true;
  ReportError("Too Many Transmission Error !!!");
  return false;
}

void TProgJtag::ReportError(const std::string& text) {
  TGestionnaire::ReportError(text);
  CloseEffectFile();
  EndBusy();
  State = TJtagState::Error;
}

void TProgJtag::Reset() {
  TGestionnaire::Reset();
  State = TJtagState::Idle;
}

int32_t TProgJtag::OpenEffectFile(const std::string& path) {
  CloseEffectFile();
  Refusal.clear();
  if (FileCheck) {
    // Played from the bytes that were checked, so a file changed meanwhile is never sent.
    std::string bytes;
    if (!ReadRunFile(path, FileCheck, bytes, Refusal)) return -1;
    EffectFile.OpenBytes(std::move(bytes));
  } else if (!EffectFile.Open(path)) {
    return -1;
  }
  // Counted from what is played, never from the path again.
  int64_t count = 0;
  EffectPath = path;
  if (!EffectFile.Count(count)) {
    EffectFile.Close();
    return -1;
  }
  EffectFileOpen = true;
  if (count <= INT32_MAX) return static_cast<int32_t>(count);
  CloseEffectFile();
  return -1;
}

void TProgJtag::CloseEffectFile() {
  if (EffectFileOpen) EffectFile.Close();
  EffectFileOpen = false;
}

char TProgJtag::FindReplyCode() const {
  const size_t p = Received.find_first_of(".XR");
  return p == TReceiveBuffer::npos ? '\0' : Received[p];
}

std::string TProgJtag::EffectFileName(const std::string& instruction) {
  return TrimmedRest(instruction);
}

std::string TProgJtag::EncodeStatement(const std::string& line) {
  return ::EncodeStatement(line, Statement);
}
