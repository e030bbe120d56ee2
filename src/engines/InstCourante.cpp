#include "engines/InstCourante.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "formats/constante.h"
#include "formats/text.h"

namespace {

struct TWord {
  std::string_view text;
  size_t cut;        // letters deleted from the instruction before it is trimmed
  TCardState state;  // the first state of its instruction
};

// Tested in this order; "FI" before "FY" and "T" before "UV" keep them apart.
constexpr TWord kWords[] = {
    {"prompt", 0, TCardState::Prompt},     {"wait", 0, TCardState::StartWait},
    {"RS", 0, TCardState::SendReset},      {"NP", 0, TCardState::SendNp},
    {"FI", 0, TCardState::SendFinish},     {"V", 1, TCardState::SendVersionCommand},
    {"T", 1, TCardState::SendReadCommand}, {"UV", 2, TCardState::SendUvCommand},
    {"FY", 2, TCardState::SendStart},      {"M", 1, TCardState::PingCard},
    {"OP", 2, TCardState::SendOpCommand}};

uint32_t SteadyTickCount() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

TInstCrt::TInstCrt() : GetTickCount(SteadyTickCount) {}

void TInstCrt::Step() {
  switch (State) {
    case TCardState::Idle:
      Recognize();
      break;
    case TCardState::Prompt:
      ShowPrompt();
      break;
    case TCardState::StartWait:
      StartWait();
      break;
    case TCardState::Waiting:
      if (static_cast<uint32_t>(GetTickCount() - WaitStart) > WaitMs) State = TCardState::Done;
      break;
    case TCardState::SendReset:
      SetStatus("Reset");
      Send("RS");
      State = TCardState::WaitReset;
      break;
    case TCardState::WaitReset:
    case TCardState::WaitNp:
    case TCardState::WaitFinish:
    case TCardState::WaitStart:
      CheckDone();
      break;
    case TCardState::SendNp:
      Send("NP");
      State = TCardState::WaitNp;
      break;
    case TCardState::Done:
      EndBusy();
      State = TCardState::Idle;
      break;
    case TCardState::SendFinish:
      Send("FI");
      State = TCardState::WaitFinish;
      break;
    case TCardState::SendVersionCommand:
      if (!ValuesPresent()) break;
      Send(std::string("V") + Instruction[0]);
      State = TCardState::WaitVersionCommand;
      break;
    case TCardState::WaitVersionCommand:
      AcceptVersionCommand(true, true, TCardState::WaitVersionWritten);
      break;
    case TCardState::WaitVersionWritten:
    case TCardState::WaitUvWritten:
    case TCardState::WaitOpWritten:
      CheckVersionWritten();
      break;
    case TCardState::SendReadCommand:
      if (!ValuesPresent()) break;
      Send(std::string("T") + Instruction[0]);
      State = TCardState::WaitReadCommand;
      break;
    case TCardState::WaitReadCommand:
      CheckReadCommand();
      break;
    case TCardState::WaitVersion:
      CheckVersionRead();
      break;
    case TCardState::SendUvCommand:
      if (!ValuesPresent()) break;
      Send("UV");
      State = TCardState::WaitUvCommand;
      break;
    case TCardState::WaitUvCommand:
      AcceptVersionCommand(false, true, TCardState::WaitUvWritten);
      break;
    case TCardState::SendStart:
      SetStatus(" Starting ");
      Send("FY");
      State = TCardState::WaitStart;
      break;
    case TCardState::PingCard:
      PingCard();
      break;
    case TCardState::WaitPing:
      CheckPing();
      break;
    case TCardState::SendOpCommand:
      if (!ValuesPresent()) break;
      SetProgressMax(2);
      Send("OP");
      State = TCardState::WaitOpCommand;
      break;
    case TCardState::WaitOpCommand:
      AcceptVersionCommand(false, false, TCardState::WaitOpWritten);
      break;
    case TCardState::Error:  // left only by Reset
      break;
  }
}

void TInstCrt::ReportError(const std::string& text) {
  EndBusy();
  State = TCardState::Error;
  TGestionnaire::ReportError(text);
}

void TInstCrt::Reset() {
  WaitMs = 0;
  WaitStart = 0;
  CardNumber = 0;
  Line.clear();
  TGestionnaire::Reset();
  State = TCardState::Idle;
}

void TInstCrt::Recognize() {
  if (Busy) return;
  for (const TWord& w : kWords) {
    if (Instruction.rfind(w.text, 0) != 0) continue;
    Line = Instruction;
    if (w.cut > 0) Instruction = Trim(std::string_view(Instruction).substr(w.cut));
    BeginBusy();
    State = w.state;
    return;
  }
}

void TInstCrt::ShowPrompt() {
  Instruction = Trim(std::string_view(Instruction).substr(6));
  SetStatus(Excerpt(Instruction));
  State = TCardState::Done;
}

void TInstCrt::StartWait() {
  if (!ValuesPresent()) return;
  Instruction = Trim(std::string_view(Instruction).substr(4));
  WaitMs = *WaitTime(Line);
  WaitStart = GetTickCount();
  State = TCardState::Waiting;
}

void TInstCrt::CheckDone() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    State = TCardState::Done;
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

// A missing value would put a bare command on the wire, or wait for nothing.
bool TInstCrt::ValuesPresent() {
  const std::string fault = ValueFault(State, Line);
  if (fault.empty()) return true;
  ReportError(fault);
  return false;
}

std::optional<uint32_t> TInstCrt::WaitTime(std::string_view line) {
  const std::string ms = Trim(line.substr(std::min<size_t>(4, line.size())));
  if (!AllDigits(ms)) return std::nullopt;
  return StrToInt(ms, 0, UINT32_MAX);
}

std::string TInstCrt::ValueFault(TCardState first_state, const std::string& line) {
  const TWord* word = nullptr;
  for (const TWord& w : kWords)
    if (w.state == first_state) word = &w;
  if (word == nullptr || line.size() < word->cut) return {};
  const std::string rest = Trim(std::string_view(line).substr(word->cut));
  const std::string quoted = "\"" + Excerpt(line) + "\"";
  switch (first_state) {
    case TCardState::StartWait:
      if (!WaitTime(line))
        return "Bad wait time in " + quoted + ": a number of milliseconds expected !!!";
      break;
    case TCardState::SendVersionCommand:
    case TCardState::SendReadCommand:
      if (rest.empty()) return "Component letter missing in " + quoted + " !!!";
      if (Trim(std::string_view(rest).substr(1)).empty())
        return "Version text missing in " + quoted + " !!!";
      break;
    case TCardState::SendUvCommand:
    case TCardState::SendOpCommand:
      if (rest.empty()) return "Version text missing in " + quoted + " !!!";
      break;
    case TCardState::PingCard:
      if (rest.empty()) return "Card number missing in " + quoted + " !!!";
      if (rest[0] < '0' || rest[0] > '9')
        return "Card number must be one digit 0 to 9 in " + quoted + " !!!";
      break;
    default:  // the other instructions carry no value
      break;
  }
  return {};
}

// The device has taken "V", "UV" or "OP"; the version text follows, bare.
void TInstCrt::AcceptVersionCommand(bool drop_letter, bool set_max, TCardState next) {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    Instruction = Trim(std::string_view(Instruction).substr(drop_letter ? 1 : 0));
    if (set_max) SetProgressMax(2);
    ProgressStep();
    Send(Instruction);
    State = next;
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

void TInstCrt::CheckVersionWritten() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    ProgressStep();
    const bool v = State == TCardState::WaitVersionWritten;
    const std::string word = v ? "V" : State == TCardState::WaitUvWritten ? "UV" : "OP";
    const char letter = v ? Trim(std::string_view(Line).substr(1))[0] : 0;
    NoteVersion({word, letter, Instruction, {}});
    State = TCardState::Done;
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Error while writing version number !!!");
  }
}

void TInstCrt::CheckReadCommand() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    SetProgressMax(2);
    ProgressStep();
    State = TCardState::WaitVersion;
  } else if (Begins('I')) {
    Consume("I");
    ReportError("Instruction unknown");
  }
}

// The device answers four version characters and ".".
void TInstCrt::CheckVersionRead() {
  FetchReceived();
  if (Received.find('.') == 4) {
    const std::string version = Received.substr(0, 4);
    const char letter = Instruction[0];
    Instruction = Trim(std::string_view(Instruction).substr(1));
    NoteVersion({"T", letter, version, Instruction});
    if (version == Instruction) {
      int32_t index = 0;
      for (size_t i = 0; i < ComponentLetters.size(); ++i)
        if (ComponentLetters[i] == letter) index = static_cast<int32_t>(i);
      if (OnVersionSame) OnVersionSame(*this, index);
    }
    ClearReceived();
    ProgressStep();
    State = TCardState::Done;
  } else if (Begins('X')) {
    Consume("X");
    ReportError("Error while reading version number !!!");
  }
}

void TInstCrt::PingCard() {
  if (!ValuesPresent()) return;
  const char digit = Instruction[0];
  CardNumber = digit - '0';
  SetStatus(std::string("Ping Card ") + digit);
  Send(std::string("M") + digit);
  Instruction = Trim(std::string_view(Instruction).substr(1));
  State = TCardState::WaitPing;
}

// A card that does not answer is not a run error: the run controller skips its work.
void TInstCrt::CheckPing() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    SetStatus("Ping OK");
    if (OnCardReady) OnCardReady(*this, CardNumber);
    State = TCardState::Done;
  } else if (Begins('X') || Begins('I')) {
    Consume("X");
    SetStatus("Ping Error");
    if (OnCardError) OnCardError(*this, CardNumber);
    State = TCardState::Done;
  }
}
