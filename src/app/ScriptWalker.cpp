// The script walker (run states 12 to 15) and the rules that turn script lines into comments.
// It is no unit of its own but the run controller's walking states, kept in this file: the walker
// and the controller call each other because they step one run's state together.
#include <algorithm>

#include "app/RunController.h"
#include "formats/hex.h"
#include "formats/text.h"

namespace {

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

int32_t NonEmptyLines(const std::vector<std::string>& lines) {
  return static_cast<int32_t>(
      std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); }));
}

void AddComponent(std::vector<std::string>& prefixes, char letter) {
  prefixes.push_back(std::string("P") + letter);
  prefixes.push_back(std::string("V") + letter);
}

}  // namespace

void TRunController::StepNextMainLine() {
  if (LineIndex >= static_cast<int32_t>(ScriptLines.size())) {
    RunState = FileNameIsStandardScript() ? TRunState::SendExtendedBoot : TRunState::SendFinish;
    return;
  }
  CurrentInstruction = Trim(ScriptLines[LineIndex]);
  if (StartsWith(CurrentInstruction, "CM")) {
    ++LineIndex;
    CardIndex = MotherboardCard.code;
    SetCurentCardDir(Config.ProgramDir + MotherboardCard.folder);
    StartCardScript();
    return;
  }
  if (StartsWith(CurrentInstruction, "C")) {
    ++LineIndex;
    CurrentInstruction = Trim(CurrentInstruction.substr(1));
    if (CurrentInstruction.empty() || HexValue(CurrentInstruction[0]) >= 1) {
      CardIndex = -1;
      SetCurentCardDir(Config.ProgramDir);
      ShowError("Syntax Error in script file line : " + std::to_string(LineIndex));
      return;
    }
    CardIndex = 0;
    SetCurentCardDir(Config.ProgramDir + DaughterCards[0].folder);
    StartCardScript();
    return;
  }
  ++LineIndex;
  BarToMin(0);
  BarToMin(1);
  if (IsComment(CurrentInstruction)) {
    BarToMax(0);
    BarToMax(1);
    BarStep(2);
    return;
  }
  if (Dispatch(LineIndex)) GoTo(TRunState::WaitMainLine);
}

bool TRunController::FileNameIsStandardScript() const {
  return FileName(ScriptPath) == "script.ini";
}

void TRunController::StartCardScript() {
  CardScriptPath = FCurentCardDir + FileName(ScriptPath);
  if (!ReadScript(CardScriptPath, CardLines)) return;
  CardLineIndex = 0;
  FilterCardComponents();
  BarMax(1, 1 + NonEmptyLines(CardLines));
  BarToMin(1);
  GoTo(TRunState::NextCardLine);
}

void TRunController::StepNextCardLine() {
  if (CardLineIndex < static_cast<int32_t>(CardLines.size())) {
    CurrentInstruction = Trim(CardLines[CardLineIndex]);
    ++CardLineIndex;
    BarToMin(0);
    if (IsComment(CurrentInstruction)) {
      BarStep(1);
      return;
    }
    if (Dispatch(CardLineIndex)) GoTo(TRunState::WaitCardLine);
    return;
  }
  CardIndex = -1;
  SetCurentCardDir(Config.ProgramDir);
  CardLines.clear();
  BarToMax(0);
  BarToMax(1);
  BarStep(2);
  GoTo(TRunState::NextMainLine);
}

bool TRunController::Dispatch(int line_number) {
  Offer(LineRef(StepState == TRunState::NextCardLine, static_cast<size_t>(line_number - 1)));
  OfferInstruction(Engines, CurrentInstruction);
  // An engine that took the line and failed at once has already ended the run with its own
  // text; that is no syntax error.
  if (RunState != StepState) return false;
  if (EngineBusy) return true;
  ShowError("Syntax Error in script file line : " + std::to_string(line_number));
  return false;
}

void TRunController::WaitLine() {
  for (TEngineSlot* e : InRunOrder(Engines))
    if ((*e)->IsBusy()) e->Step();
  if (EngineBusy || RunState != StepState) return;
  EndInstruction(irDONE);
  if (StepState == TRunState::WaitMainLine) {
    BarToMax(0);
    BarToMax(1);
    BarStep(2);
    RunState = TRunState::NextMainLine;
  } else {
    RunState = TRunState::NextCardLine;
    BarStep(1);
  }
}

// A stored line is replaced whole, so the walker sees a comment wherever it stands. Lines
// still ahead of the walker are reported as skipped.
void TRunController::CommentOutLines(bool card, const std::vector<std::string>& prefixes,
                                     const char* reason) {
  std::vector<std::string>& lines = card ? CardLines : ScriptLines;
  const size_t ahead = static_cast<size_t>(std::max(card ? CardLineIndex : LineIndex, 0));
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string trimmed = Trim(lines[i]);
    if (std::none_of(prefixes.begin(), prefixes.end(),
                     [&](const std::string& p) { return StartsWith(trimmed, p); }))
      continue;
    if (i >= ahead) ReportSkip(LineRef(card, i), reason);
    lines[i] = "rem";
  }
}

void TRunController::FilterMainScript() {
  if (FManual && !CompSel.MotherBoard) CommentOutLines(false, {"CM"}, "not selected");
}

void TRunController::FilterCardComponents() {
  if (!FManual || CardIndex != MotherboardCard.code) return;
  std::vector<std::string> prefixes;
  for (size_t i = 0; i < ComponentLetters.size(); ++i) {
    const bool selected = i <= 7    ? CompSel.MCU
                          : i == 8  ? CompSel.PROM1
                          : i == 9  ? CompSel.PROM2
                          : i == 10 ? CompSel.CPLD
                                    : CompSel.EDID;
    if (!selected) AddComponent(prefixes, ComponentLetters[i]);
  }
  CommentOutLines(true, prefixes, "not selected");
}

void TRunController::DoVersionSame(TGestionnaire&, int32_t component) {
  if (FManual || component < 0 || component >= static_cast<int32_t>(ComponentLetters.size()))
    return;
  std::vector<std::string> prefixes;
  if (component >= 8) {
    AddComponent(prefixes, ComponentLetters[component]);
  } else {
    // The memory banks are one image: one bank up to date means all are.
    for (int bank = 0; bank <= 7; ++bank) AddComponent(prefixes, ComponentLetters[bank]);
  }
  CommentOutLines(true, prefixes, "version match");
}

void TRunController::DoCardError(TGestionnaire&, int32_t card) {
  CommentOutLines(false, {std::string("C") + HexDigit(card & 0xF)}, "card did not answer");
}

void TRunController::DoCardReady(TGestionnaire&, int32_t) {}
