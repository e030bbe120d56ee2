#include "app/RunController.h"

#include "formats/text.h"

// The closing sequence: the boot area and OP after the standard script, FI, and the end of a
// run, completed or aborted.

void TRunController::StepAbort() {
  ReceiveBuffer.Clear();
  ShowIdleButtons();
  FDriver->SetConType(CON_NONE);
  RunState = TRunState::ShowErrorBox;
}

void TRunController::StepReport() {
  View.ShowErrorBox(LastError + "\r\n" + Excerpt(CardIndex != -1 ? CardScriptPath : ScriptPath));
  EndRun(roERROR);
  GoTo(TRunState::Idle);
}

void TRunController::StepFinish() {
  CurrentInstruction = "FI";
  Offer(OwnStep(CurrentInstruction));
  Engines.Card->SetInstruction(CurrentInstruction);
  Engines.Card.Step();
  GoTo(TRunState::WaitFinish);
}

// An idle engine is not stepped again: it would take the same instruction a second time.
void TRunController::StepWaitFinish() {
  if (Engines.Card->IsBusy()) Engines.Card.Step();
  if (EngineBusy || RunState == TRunState::Abort) return;
  EndInstruction(irDONE);
  GoTo(TRunState::Completed);
}

void TRunController::StepDone() {
  ReceiveBuffer.Clear();
  ShowComponents();
  ShowStatus("Program operation completed");
  ShowIdleButtons();
  FDriver->SetConType(CON_NONE);
  RunState = TRunState::Idle;
  View.SetEnabled(TMainView::ctPortMenu, true);
  View.SetEnabled(TMainView::ctModeMenu, true);
  for (int bar = 0; bar < 3; ++bar) BarToMax(bar);
  Overall.Complete();
  ShowOverall();
  EndRun(roCOMPLETED);
}

void TRunController::StepExtendedBoot() {
  BarToMin(0);
  BarMax(1, 3);
  BarToMin(1);
  CurrentInstruction = "PB BOOT_EXT_OPTION.HEX";
  Offer(OwnStep(CurrentInstruction));
  Engines.Boot->SetInstruction(CurrentInstruction);
  Engines.Boot.Step();
  BarStep(1);
  GoTo(TRunState::WaitExtendedBoot);
}

void TRunController::StepWaitExtendedBoot() {
  if (Engines.Boot->IsBusy()) Engines.Boot.Step();
  if (EngineBusy || RunState == TRunState::Abort) return;
  EndInstruction(irDONE);
  BarStep(0);
  BarStep(1);
  CurrentInstruction = "OP " + VersionText;
  Offer(OwnStep(CurrentInstruction));
  Engines.Card->SetInstruction(CurrentInstruction);
  Engines.Card.Step();
  GoTo(TRunState::WaitOp);
}

void TRunController::StepWaitOp() {
  if (Engines.Card->IsBusy()) Engines.Card.Step();
  if (EngineBusy || RunState == TRunState::Abort) return;
  EndInstruction(irDONE);
  BarStep(1);
  GoTo(TRunState::SendFinish);
}
