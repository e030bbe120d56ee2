#include "engines/InstCourante.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "formats/constante.h"
#include "formats/text.h"

namespace {

struct TWord {
  std::string_view text;
  size_t cut;  // letters deleted from the instruction before it is trimmed
  uint8_t state;
};

// Tested in this order; "FI" before "FY" and "T" before "UV" keep them apart.
constexpr TWord kWords[] = {{"prompt", 0, 1}, {"wait", 0, 2}, {"RS", 0, 4}, {"NP", 0, 6},
                            {"FI", 0, 10},    {"V", 1, 12},   {"T", 1, 15}, {"UV", 2, 18},
                            {"FY", 2, 21},    {"M", 1, 23},   {"OP", 2, 25}};

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
    case 0:
      Recognize();
      break;
    case 1:
      ShowPrompt();
      break;
    case 2:
      StartWait();
      break;
    case 3:
      if (static_cast<uint32_t>(GetTickCount() - WaitStart) > WaitMs) State = 8;
      break;
    case 4:
      SetStatus("Reset");
      Send("RS");
      State = 5;
      break;
    case 5:
    case 7:
    case 11:
    case 22:
      CheckDone();
      break;
    case 6:
      Send("NP");
      State = 7;
      break;
    case 8:
      EndBusy();
      State = 0;
      break;
    case 10:
      Send("FI");
      State = 11;
      break;
    case 12:
      if (!ValuesPresent()) break;
      Send(std::string("V") + Instruction[0]);
      State = 13;
      break;
    case 13:
      AcceptVersionCommand(true, true, 14);
      break;
    case 14:
    case 20:
    case 27:
      CheckVersionWritten();
      break;
    case 15:
      if (!ValuesPresent()) break;
      Send(std::string("T") + Instruction[0]);
      State = 16;
      break;
    case 16:
      CheckReadCommand();
      break;
    case 17:
      CheckVersionRead();
      break;
    case 18:
      if (!ValuesPresent()) break;
      Send("UV");
      State = 19;
      break;
    case 19:
      AcceptVersionCommand(false, true, 20);
      break;
    case 21:
      SetStatus(" Starting ");
      Send("FY");
      State = 22;
      break;
    case 23:
      PingCard();
      break;
    case 24:
      CheckPing();
      break;
    case 25:
      if (!ValuesPresent()) break;
      SetProgressMax(2);
      Send("OP");
      State = 26;
      break;
    case 26:
      AcceptVersionCommand(false, false, 27);
      break;
    default:  // 9: error state, left only by Reset
      break;
  }
}

void TInstCrt::ReportError(const std::string& text) {
  EndBusy();
  State = 9;
  TGestionnaire::ReportError(text);
}

void TInstCrt::Reset() {
  WaitMs = 0;
  WaitStart = 0;
  CardNumber = 0;
  Line.clear();
  TGestionnaire::Reset();
  State = 0;
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
  State = 8;
}

void TInstCrt::StartWait() {
  if (!ValuesPresent()) return;
  Instruction = Trim(std::string_view(Instruction).substr(4));
  WaitMs = *WaitTime(Line);
  WaitStart = GetTickCount();
  State = 3;
}

void TInstCrt::CheckDone() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    State = 8;
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

std::string TInstCrt::ValueFault(uint8_t first_state, const std::string& line) {
  const TWord* word = nullptr;
  for (const TWord& w : kWords)
    if (w.state == first_state) word = &w;
  if (word == nullptr || line.size() < word->cut) return {};
  const std::string rest = Trim(std::string_view(line).substr(word->cut));
  const std::string quoted = "\"" + Excerpt(line) + "\"";
  switch (first_state) {
    case 2:
      if (!WaitTime(line))
        return "Bad wait time in " + quoted + ": a number of milliseconds expected !!!";
      break;
    case 12:
    case 15:
      if (rest.empty()) return "Component letter missing in " + quoted + " !!!";
      if (Trim(std::string_view(rest).substr(1)).empty())
        return "Version text missing in " + quoted + " !!!";
      break;
    case 18:
    case 25:
      if (rest.empty()) return "Version text missing in " + quoted + " !!!";
      break;
    case 23:
      if (rest.empty()) return "Card number missing in " + quoted + " !!!";
      if (rest[0] < '0' || rest[0] > '9')
        return "Card number must be one digit 0 to 9 in " + quoted + " !!!";
      break;
  }
  return {};
}

// The device has taken "V", "UV" or "OP"; the version text follows, bare.
void TInstCrt::AcceptVersionCommand(bool drop_letter, bool set_max, uint8_t next) {
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
    State = 8;
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
    State = 17;
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
    if (version == Instruction) {
      int32_t index = 0;
      for (size_t i = 0; i < ComponentLetters.size(); ++i)
        if (ComponentLetters[i] == letter) index = static_cast<int32_t>(i);
      if (OnVersionSame) OnVersionSame(*this, index);
    }
    ClearReceived();
    ProgressStep();
    State = 8;
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
  State = 24;
}

// A card that does not answer is not a run error: the run controller skips its work.
void TInstCrt::CheckPing() {
  FetchReceived();
  if (Begins('.')) {
    Consume(".");
    SetStatus("Ping OK");
    if (OnCardReady) OnCardReady(*this, CardNumber);
    State = 8;
  } else if (Begins('X') || Begins('I')) {
    Consume("X");
    SetStatus("Ping Error");
    if (OnCardError) OnCardError(*this, CardNumber);
    State = 8;
  }
}
