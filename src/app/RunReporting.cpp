#include "app/RunController.h"

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
  ComponentsAtVersion = ComponentsWritten = 0;
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
  if (result == irDONE && ProgramsComponent(Offered)) ++ComponentsWritten;
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
  if (reason == "version match" && ProgramsComponent(line)) ++ComponentsAtVersion;
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
