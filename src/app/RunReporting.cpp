#include "app/RunController.h"

#include <algorithm>

#include "formats/text.h"

// What observers learn of a run: its start and end, each instruction, the overall progress.

const char* OutcomeText(TRunOutcome outcome) {
  switch (outcome) {
    case roCOMPLETED:
      return "completed";
    case roERROR:
      return "error";
    case roSTOPPED:
      return "stopped";
    default:
      return "";
  }
}

namespace {

// A card script's P line programs a component; the run's own PB is no component.
bool ProgramsComponent(const TInstructionRef& line) {
  return !line.Card.empty() && Trim(line.Text).rfind('P', 0) == 0;
}

// The component of a P line as the operator knows it: its bank, "PROM 1", "CPLD" ...
std::string ComponentName(const TInstructionRef& line) {
  const std::string text = Trim(line.Text);
  const char letter = text.size() > 1 ? text[1] : ' ';
  if (letter >= '0' && letter <= '7') return std::string("Bank") + letter;
  switch (letter) {
    case '8':
      return "PROM 1";
    case '9':
      return "PROM 2";
    case 'A':
      return "CPLD";
    case 'E':
      return "EDID";
    default:
      return text.substr(0, text.find(' '));
  }
}

// "Bank0 to Bank7, PROM 1": neighbouring banks as one range.
std::string ComponentList(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size();) {
    size_t j = i;
    while (j + 1 < names.size() && names[j].starts_with("Bank") &&
           names[j + 1].starts_with("Bank") && names[j + 1].back() == names[j].back() + 1)
      ++j;
    text += (text.empty() ? "" : ", ") + names[i] + (j > i ? " to " + names[j] : "");
    i = j + 1;
  }
  return text.empty() ? "none" : text;
}

}  // namespace

const char* ResultText(TInstructionResult result) {
  switch (result) {
    case irDONE:
      return "done";
    case irSKIPPED:
      return "skipped";
    case irFAILED:
      return "failed";
    default:
      return "stopped";
  }
}

void TRunController::BeginRun() {
  RunActive = true;
  FOutcome = roNONE;
  OfferPending = InstructionOpen = false;
  DeferredSkips.clear();
  Overall.Reset();
  OverallShown[0] = OverallShown[1] = -1;
  RunClock.start();
  TroublesShown.clear();
  ComponentsWritten.clear();
  ComponentsSkipped.clear();
  Notify([&](TRunObserver& o) { o.RunStarted(ScriptPath); });
}

// Called once per run, whatever ends it.
void TRunController::EndRun(TRunOutcome outcome) {
  GateCheck.reset();
  if (!RunActive) return;
  EndInstruction(outcome == roSTOPPED ? irSTOPPED : irFAILED);
  RunActive = false;
  FOutcome = outcome;
  const bool error = outcome == roERROR;
  const std::string where = !error ? "" : CardIndex != -1 ? CardScriptPath : ScriptPath;
  Notify([&](TRunObserver& o) { o.RunEnded(outcome, error ? LastError : "", where); });
}

TRunOutcome TRunController::StopOutcome() const {
  return RunState == TRunState::Abort || RunState == TRunState::ShowErrorBox ? roERROR : roSTOPPED;
}

TInstructionRef TRunController::LineRef(bool card, size_t index) const {
  const std::vector<std::string>& lines = card ? CardLines : ScriptLines;
  TInstructionRef ref;
  ref.Script = card ? CardScriptPath : ScriptPath;
  ref.Line = static_cast<int32_t>(index + 1);
  ref.Text = index < lines.size() ? lines[index] : std::string();
  if (card)
    ref.Card = CardIndex == MotherboardCard.code ? MotherboardCard.name : DaughterCards[0].name;
  return ref;
}

TInstructionRef TRunController::OwnStep(const std::string& text) const {
  TInstructionRef ref;
  ref.Script = ScriptPath;
  ref.Text = text;
  return ref;
}

void TRunController::Offer(const TInstructionRef& line) {
  Offered = line;
  OfferPending = true;
  Figures = TInstructionEnd{};
}

void TRunController::StartInstruction(TGestionnaire& taker) {
  OfferPending = false;
  InstructionOpen = true;
  const TGestionnaire* t = &taker;
  Figures.Engine = t == Engines.Boot.get()   ? "boot"
                   : t == Engines.Card.get() ? "card"
                   : t == Engines.Psd.get()  ? "psd"
                                             : "jtag";
  Notify([&](TRunObserver& o) { o.InstructionStarted(Offered, Figures.Engine); });
  Overall.Begin(Offered);
  Overall.Sent(Figures.Sent);
  ShowOverall();
}

void TRunController::EndInstruction(TInstructionResult result) {
  OfferPending = false;
  if (!InstructionOpen) return;
  InstructionOpen = false;
  Figures.Result = result;
  if (result == irDONE && ProgramsComponent(Offered))
    ComponentsWritten.push_back(ComponentName(Offered));
  Notify([&](TRunObserver& o) { o.InstructionEnded(Offered, Figures); });
  Overall.End();
  ShowOverall();
  std::vector<std::pair<TInstructionRef, std::string>> skips;
  skips.swap(DeferredSkips);
  for (const auto& [line, reason] : skips) ReportSkip(line, reason);
}

void TRunController::ReportSkip(const TInstructionRef& line, const std::string& reason) {
  if (InstructionOpen) {
    DeferredSkips.emplace_back(line, reason);
    return;
  }
  if (ProgramsComponent(line)) ComponentsSkipped.emplace_back(ComponentName(line), reason);
  Notify([&](TRunObserver& o) { o.InstructionSkipped(line, reason); });
  Overall.Skip(line);
  ShowOverall();
}

// Planned when the script is read, and again should the device turn out to be the other
// variant, whose motherboard sub-script lies in another folder.
void TRunController::PlanOverall() {
  Overall.Plan(ScriptPath, ScriptLines, Config.ProgramDir, MotherboardCard.folder,
               FileNameIsStandardScript());
  ShowOverall();
}

void TRunController::ShowOverall() {
  if (!RunActive) return;
  const int64_t position = Overall.Position(), max = Overall.Max();
  if (position == OverallShown[0] && max == OverallShown[1]) return;
  OverallShown[0] = position;
  OverallShown[1] = max;
  const double eta = Overall.EtaSeconds(RunClock.elapsed());
  Notify([&](TRunObserver& o) { o.OverallProgressChanged(position, max, eta); });
}

void TRunController::ShowComponents() {
  if (ComponentsSkipped.empty()) return;
  const auto at_version = [](const auto& skip) { return skip.second == "version match"; };
  // A rerun that finds nothing to do ends as fast as one that did nothing at all.
  if (ComponentsWritten.empty() &&
      std::all_of(ComponentsSkipped.begin(), ComponentsSkipped.end(), at_version))
    return ShowStatus("Every component was already at its version: none was written");
  ShowStatus("Written: " + ComponentList(ComponentsWritten));
  const std::pair<const char*, const char*> reasons[] = {
      {"version match", "Already at their version: "}, {"not selected", "Not selected: "}};
  for (const auto& [reason, label] : reasons) {
    std::vector<std::string> names;
    for (const auto& [name, why] : ComponentsSkipped)
      if (why == reason) names.push_back(name);
    if (!names.empty()) ShowStatus(label + ComponentList(names));
  }
}
