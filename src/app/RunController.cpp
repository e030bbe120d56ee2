#include "app/RunController.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <exception>
#include <string_view>
#include <system_error>
#include <thread>

#include "app/ProgramDir.h"
#include "app/Settings.h"
#include "formats/hex.h"
#include "formats/text.h"
#include "sys/Sha256.h"

namespace {

// Engines' section headlines: the operator learns nothing from them that the detail lines and
// the progress bars do not already say.
constexpr const char* kHeadlines[] = {"Erase",
                                      "Upload",
                                      "Verify Checksum",
                                      "Reset",
                                      "Erase Extended Boot",
                                      "Upload Extended Boot",
                                      "Erase Bank",
                                      "Upload Bank",
                                      "Verify Bank",
                                      "Operation Bypassed",
                                      "Updating Prom Devices",
                                      " Starting ",
                                      "Ping OK",
                                      "Ping Error",
                                      "End Update"};

struct TDeviceVersion {
  uint16_t Id;
  uint16_t Version;
};
constexpr TDeviceVersion DeviceVersions[] = {{0xAAAA, 0x0000}};

bool ContainsNoCase(const std::string& text, const std::string& lower_needle) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find(lower_needle) != std::string::npos;
}

}  // namespace

TRunConfig DefaultRunConfig(const std::string& script_arg) {
  const std::string dir = ProgramDir();
  return TRunConfig{dir, script_arg, HoldsReadId(dir)};
}

bool HoldsReadId(const std::string& dir) {
  return HoldsOne(dir, {"readid.ini"});
}

TRunController::TRunController(TMainView& view, std::unique_ptr<TDeviceLink> link,
                               TEngineSet engines, TRunConfig config)
    : View(view), Config(std::move(config)), Engines(std::move(engines)), FDriver(std::move(link)) {
  if (!Config.ProgramDir.empty() && Config.ProgramDir.back() != '/') Config.ProgramDir += '/';
  SetPortChoice(TPortChoice{});
  FDriver->OnRecString = [this] { DoDriverReceive(); };
  FDriver->OnLinkLost = [this](const std::string& text) { DoLinkLost(text); };
  FDriver->OnLinkTrouble = [this](const std::string& text) { DoLinkTrouble(text); };
  FDriver->SetErrorBox([this](const std::string& text) { View.ShowErrorBox(text); });
  FDriver->SetBaudRate(57600);
  FDriver->SetConMode(MODE_RAW);
  RunState = TRunState::Idle;
  QObject::connect(&Timer1, &QTimer::timeout, &Timer1, [this] { Timer1Timer(); });
  Timer1.setInterval(500);
  Timer1.start();
  DeviceId = 0;
  DeviceKnown = false;
  VersionText = "0000";
  ShowTitle();
  SelectMainCard(false);
  View.SetVisible(TMainView::ctReadId, Config.ReadIdPresent);
  View.SetVisible(TMainView::ctQuit, Config.ReadIdPresent);
  for (TEngineSlot* e : InRunOrder(Engines)) WireEngine(**e);
  Engines.Boot->OnDeviceVariant = [this](TGestionnaire& g) {
    SelectMainCard(g.GetDeviceVariant());
  };
  if (Engines.OnVersionSame)
    *Engines.OnVersionSame = [this](TGestionnaire& g, int32_t v) { DoVersionSame(g, v); };
  if (Engines.OnCardError)
    *Engines.OnCardError = [this](TGestionnaire& g, int32_t v) { DoCardError(g, v); };
  if (Engines.OnCardReady)
    *Engines.OnCardReady = [this](TGestionnaire& g, int32_t v) { DoCardReady(g, v); };
  SetManual(false);
  for (int bar = 0; bar < 3; ++bar) BarPosition(bar, 0);
  SetCurentCardDir(Config.ProgramDir);
}

TRunController::~TRunController() {
  Timer1.stop();
  // The driver may still report while it closes; nothing must reach a half-destroyed window.
  FDriver->OnRecString = nullptr;
  FDriver->OnLinkLost = nullptr;
  FDriver->OnLinkTrouble = nullptr;
  FDriver->SetErrorBox(nullptr);
  FDriver->SetConType(CON_NONE);
}

void TRunController::WireEngine(TGestionnaire& e) {
  e.OnSend = [this](TGestionnaire& g) {
    if (OfferPending || InstructionOpen)
      Figures.Sent += static_cast<int64_t>(g.GetSendText().size());
    FDriver->SendRaw(g.GetSendText());
    if (InstructionOpen) {
      Overall.Sent(Figures.Sent);
      ShowOverall();
    }
  };
  e.ShareReceived(ReceiveBuffer);
  e.OnBusyChange = [this](TGestionnaire& g) {
    EngineBusy = g.IsBusy();
    if (EngineBusy && OfferPending) StartInstruction(g);
  };
  e.OnProgressStep = [this](TGestionnaire&) { BarStep(0); };
  e.OnProgressMax = [this](TGestionnaire& g) { BarMax(0, g.GetProgressMax()); };
  e.OnStatus = [this](TGestionnaire& g) { ShowStatus(g.GetStatusText()); };
  e.OnError = [this](TGestionnaire& g) { ShowError(g.GetErrorText()); };
  e.OnDeviceId = [this](TGestionnaire& g) {
    DeviceId = static_cast<uint32_t>(g.GetDeviceId());
    LookupVersion();
    for (TEngineSlot* engine : InRunOrder(Engines)) (*engine)->SetUpdateAllowed(DeviceKnown);
    ShowTitle();
    const TDeviceReport device{DeviceVariant ? "35" : "30", g.GetDeviceIdText(),
                               g.GetBootChecksum()};
    Notify([&](TRunObserver& o) { o.DeviceReported(device); });
  };
  e.OnFileRead = [this](TGestionnaire& g) {
    Notify([&](TRunObserver& o) { o.FileRead(g.GetFileRead(), g.GetFileReadSha256()); });
  };
  e.OnRetry = [this](TGestionnaire&) {
    if (InstructionOpen) ++Figures.Retries;
  };
  e.OnVersion = [this](TGestionnaire& g) {
    Notify([&](TRunObserver& o) { o.VersionSeen(g.GetVersionNote()); });
  };
}

// ---- buttons, menus, window ----

void TRunController::StartClick() {
  if (RunState == TRunState::Idle) {
    ScriptPath = StartScriptPath();
    View.SetEnabled(TMainView::ctQuit, false);
    RunState = TRunState::OpenLink;
    BeginRun();
  } else if (RunState == TRunState::Completed) {
    View.CloseWindow();
  } else {
    FDriver->SetConType(CON_NONE);
    EndRun(StopOutcome());
    RunState = TRunState::Idle;
    View.SetEnabled(TMainView::ctQuit, true);
  }
}

std::string TRunController::StartScriptPath() const {
  return Config.ScriptArg.empty() ? Config.ProgramDir + "script.ini" : Config.ScriptArg;
}

void TRunController::ReadIdClick() {
  // The button is disabled during a run; a caller without one must not restart a run either.
  if (RunState != TRunState::Idle) return;
  ScriptPath = Config.ProgramDir + "readid.ini";
  RunState = TRunState::OpenLink;
  BeginRun();
}

void TRunController::QuitClick() {
  View.CloseWindow();
}

void TRunController::ComClick(int n) {
  FPortDevice.clear();
  SetPortChoice(TPortChoice{n, false});
}

void TRunController::MAutoClick() {
  SetManual(false);
}

void TRunController::MManualClick() {
  SetManual(true);
}

void TRunController::FormClose() {
  Closed = true;
  Timer1.stop();
  FDriver->SetConType(CON_NONE);
  EndRun(StopOutcome());
}

bool TRunController::SetProgramDir(const std::string& dir, bool readid_present) {
  if (RunState != TRunState::Idle) return false;
  Config.ProgramDir = dir;
  if (!Config.ProgramDir.empty() && Config.ProgramDir.back() != '/') Config.ProgramDir += '/';
  Config.ReadIdPresent = readid_present;
  View.SetVisible(TMainView::ctReadId, readid_present);
  View.SetVisible(TMainView::ctQuit, readid_present);
  SetCurentCardDir(Config.ProgramDir);
  return true;
}

void TRunController::SetPortChoice(const TPortChoice& choice) {
  FPort = choice;
  if (FPort.ComPort < 1 || FPort.ComPort > 9) FPort.ComPort = 1;
  View.ShowPortChoice(FPort);
}

void TRunController::SetManual(bool manual) {
  FManual = manual;
  View.ShowMode(manual);
}

std::string TRunController::SelectedComPort() const {
  return ::SelectedComPort(FPort);
}

// ---- timer and received data ----

void TRunController::Timer1Timer() {
  if (Stepping || Closed) return;
  Timer1.stop();
  const uint32_t interval = static_cast<uint32_t>(Timer1.interval());
  SyncCountdown = interval < SyncCountdown ? SyncCountdown - interval : 0;
  GuardedStep();
  if (!Closed) Timer1.start();
}

void TRunController::DoDriverReceive() {
  // Data arriving inside a step (behind the modal error box) is only collected.
  if (Stepping || Closed) {
    AppendReceived(FDriver->ReadRaw());
    return;
  }
  Timer1.stop();
  AppendReceived(FDriver->ReadRaw());
  using enum TRunState;
  if (RunState != OpenLink && RunState != SendSync && RunState != Abort && RunState != Completed)
    GuardedStep();
  if (!Closed) Timer1.start();
}

// A run that is already ending (Abort, ShowErrorBox) or complete keeps its outcome.
bool TRunController::RunGoingOn() const {
  using enum TRunState;
  return RunState != Idle && RunState != Abort && RunState != ShowErrorBox && RunState != Completed;
}

// Nothing would ever arrive again: without this the run would wait for STOP.
void TRunController::DoLinkLost(const std::string& text) {
  if (Closed || !RunGoingOn()) return;
  ShowError(text);
}

// A device being switched on may refuse for a while: the run goes on, the operator learns why
// nothing happens yet.
void TRunController::DoLinkTrouble(const std::string& text) {
  if (Closed || !RunGoingOn()) return;
  if (text.empty() || !TroublesShown.insert(text).second) return;
  ShowStatus(text + "; trying again");
  Notify([&](TRunObserver& o) { o.LinkTroubled(text); });
}

// A device flooding the link must not grow memory without limit: no engine ever waits for
// more than a few bytes, so what lies beyond the cap is noise and is dropped.
void TRunController::AppendReceived(const std::string& text) {
  const size_t room = kMaxReceiveBuffer - std::min(kMaxReceiveBuffer, ReceiveBuffer.size());
  if (OfferPending || InstructionOpen) Figures.Received += static_cast<int64_t>(text.size());
  if (text.size() > room && !ReceiveOverflowReported) {
    std::fprintf(stderr,
                 "Run: more than %zu bytes received and not consumed; the excess is dropped.\n",
                 kMaxReceiveBuffer);
    ReceiveOverflowReported = true;
  }
  ReceiveBuffer.Append(std::string_view(text).substr(0, room));
  if (ReceiveBuffer.size() < kMaxReceiveBuffer / 2) ReceiveOverflowReported = false;
}

void TRunController::GuardedStep() {
  const TRunState state = RunState;
  Stepping = true;
  std::string failure;
  try {
    RunStep();
  } catch (const std::exception& e) {
    failure = e.what();
    if (failure.empty()) failure = "unknown error";
  } catch (...) {
    failure = "unknown error";
  }
  Stepping = false;
  if (failure.empty()) return;
  const std::string text = "Unexpected failure in run state " +
                           std::to_string(static_cast<int>(state)) + " : " + Excerpt(failure) +
                           " !!!";
  if (state == TRunState::Abort || state == TRunState::ShowErrorBox) {
    // Failing again while ending a run must not loop through the error box.
    LastError = text;
    ShowStatus(text);
    RunState = TRunState::Idle;
    EndRun(roERROR);
  } else {
    ShowError(text);
  }
}

void TRunController::GoTo(TRunState next) {
  if (RunState == StepState) RunState = next;
}

void TRunController::RunStep() {
  StepState = RunState;
  using enum TRunState;
  // clang-format off
  switch (RunState) {
    case Idle:             StepIdle(); break;
    case OpenLink:         StepOpen(); break;
    case QueryDevice:      StepQueryDevice(); break;
    case WaitDeviceState:  StepWaitDevice(); break;
    case SendSync:         StepBootSync(); break;
    case WaitSync:         StepWaitSync(); break;
    case Abort:            StepAbort(); break;
    case ShowErrorBox:     StepReport(); break;
    case SendFinish:       StepFinish(); break;
    case WaitFinish:       StepWaitFinish(); break;
    case Completed:        StepDone(); break;
    case NextMainLine:     StepNextMainLine(); break;
    case WaitMainLine:     WaitLine(); break;
    case NextCardLine:     StepNextCardLine(); break;
    case WaitCardLine:     WaitLine(); break;
    case SendExtendedBoot: StepExtendedBoot(); break;
    case WaitExtendedBoot: StepWaitExtendedBoot(); break;
    case WaitOp:           StepWaitOp(); break;
    default:               RunState = Idle; EndRun(roERROR); break;
  }
  // clang-format on
}

// ---- states ----

void TRunController::ShowIdleButtons() {
  View.SetEnabled(TMainView::ctQuit, true);
  if (Config.ReadIdPresent) {
    View.SetEnabled(TMainView::ctReadId, true);
    View.SetStartCaption("START");
  } else {
    View.SetStartCaption("QUIT");
  }
}

void TRunController::StepIdle() {
  View.SetEnabled(TMainView::ctPortMenu, true);
  View.SetEnabled(TMainView::ctModeMenu, true);
  View.SetStartCaption("START");
  View.SetEnabled(TMainView::ctQuit, true);
  if (Config.ReadIdPresent) View.SetEnabled(TMainView::ctReadId, true);
  // Without a package START does not begin a run: it asks for the folder first.
  ShowStatus(Config.ProgramDir.empty() ? kNoPackageFolderText
                                       : "Click on button START to begin program operation");
  Engines.Boot->Reset();
  Engines.Psd->Reset();
  Engines.Boot->Reset();
  Engines.Card->Reset();
  Engines.Jtag->Reset();
  // Reset fires no busy event: a run stopped mid-instruction would otherwise leave the flag set
  // and make the next run take an unknown line for a known one.
  EngineBusy = false;
  DeviceId = 0;
  DeviceKnown = false;
  VersionText = "0000";
  CardIndex = -1;
  SetCurentCardDir(Config.ProgramDir);
  Timer1.setInterval(500);
  ShowTitle();
}

void TRunController::StepOpen() {
  Timer1.setInterval(10);
  TPackageVerdict verdict;
  if (Gate && !GateAnswered(verdict)) return;
  if (!PassGate(std::move(verdict)) || !ReadScript(ScriptPath, ScriptLines)) return;
  PlanOverall();
  FDriver->SetConMode(MODE_VAR);
  if (FPort.Lan) {
    FDriver->SetIpLocalPort(FLan.LocalPort);
    FDriver->SetIpRemotePort(FLan.RemotePort);
    FDriver->SetIpRemoteAddress(FLan.RemoteAddress);
  } else {
    FDriver->SetBaudRate(9600);
    FDriver->SetPort(FPortDevice.empty() ? SelectedComPort() : FPortDevice);
  }
  View.SetEnabled(TMainView::ctPortMenu, false);
  View.SetEnabled(TMainView::ctModeMenu, false);
  View.SetStartCaption("STOP");
  if (Config.ReadIdPresent) View.SetEnabled(TMainView::ctReadId, false);
  BarMax(0, Bars[0].Max);
  BarPosition(0, 0);
  BarMax(1, 1);
  BarPosition(1, 0);
  const auto lines = std::count_if(ScriptLines.begin(), ScriptLines.end(),
                                   [](const std::string& l) { return !l.empty(); });
  BarMax(2, 2 + static_cast<int32_t>(lines));
  BarPosition(2, 0);
  RunState = TRunState::QueryDevice;
  OpenLink();
}

struct TRunController::TGateCheck {
  std::atomic<bool> Done = false;
  TPackageVerdict Verdict;
  QElapsedTimer Clock;
  bool Said = false;
};

// A sealed package's every file is hashed before the run: on a thread of its own, so that the
// window stays live and STOP stops the run meanwhile. A check given up is left to end alone.
bool TRunController::GateAnswered(TPackageVerdict& verdict) {
  if (!GateCheck) {
    GateCheck = std::make_shared<TGateCheck>();
    GateCheck->Clock.start();
    std::thread([check = GateCheck, gate = Gate, dir = Config.ProgramDir, script = ScriptPath] {
      try {
        check->Verdict = gate(dir, script);
      } catch (const std::exception& e) {
        check->Verdict.Problems = {std::string("the package could not be checked: ") + e.what()};
      }
      check->Done.store(true, std::memory_order_release);
    }).detach();
  }
  if (!GateCheck->Done.load(std::memory_order_acquire)) {
    // Said only when it takes long enough to be seen.
    if (!GateCheck->Said && GateCheck->Clock.elapsed() >= 500) {
      GateCheck->Said = true;
      ShowStatus("Checking the package seal...");
      View.SetStartCaption("STOP");
    }
    return false;
  }
  verdict = std::move(GateCheck->Verdict);
  GateCheck.reset();
  return true;
}

// The package is judged before the device hears anything; its file check then sees every file
// the run reads, so what goes out is what was judged.
bool TRunController::PassGate(TPackageVerdict verdict) {
  FileCheck = nullptr;
  if (Gate) {
    Notify([&](TRunObserver& o) { o.SealChecked(verdict.Seal); });
    if (!verdict.Problems.empty()) {
      for (const std::string& problem : verdict.Problems) ShowStatus(problem);
      ShowError("Package not accepted: nothing was sent to the device");
      for (const std::string& problem : verdict.Problems) LastError += "\r\n" + problem;
      return false;
    }
    FileCheck = std::move(verdict.FileCheck);
  }
  for (TEngineSlot* e : InRunOrder(Engines)) (*e)->SetFileCheck(FileCheck);
  return true;
}

bool TRunController::ReadScript(const std::string& path, std::vector<std::string>& lines) {
  std::string bytes, refusal;
  lines.clear();
  if (ReadRunFile(path, FileCheck, bytes, refusal)) {
    lines = SplitLines(bytes);
    Notify([&](TRunObserver& o) { o.FileRead(path, Sha256Hex(bytes)); });
    return true;
  }
  ShowError(!refusal.empty() ? refusal : Excerpt(path) + " File not found !!!");
  return false;
}

void TRunController::OpenLink() {
  const bool lan = FPort.Lan;
  if (FDriver->SetConType(lan ? FLan.ConnectionKind : CON_RS232)) return;
  // The operator needs the system's reason and the device behind the port, not only which link
  // failed: in the status box before the error, and in the error box after it.
  const std::string reason = ShowOpenFailure();
  ShowError(lan ? std::string("Error while opening LAN Device")
                : "Error while opening " + FDriver->GetPort());
  LastError += reason;
}

std::string TRunController::ShowOpenFailure() {
  std::string reason;
  for (const std::string& line : SplitLines(FDriver->LastError())) {
    if (Trim(line).empty()) continue;
    ShowStatus(line);
    reason += "\r\n" + line;
  }
  return reason;
}

void TRunController::StepQueryDevice() {
  LineIndex = 0;
  ReceiveBuffer.Clear();
  FilterMainScript();
  FDriver->SendVarCommand(kVarDEV);
  SyncCountdown = 500;
  GoTo(TRunState::WaitDeviceState);
}

void TRunController::StepWaitDevice() {
  if (SyncCountdown > 0) {
    const uint32_t dev = FDriver->GetDEV();
    if (dev == 30 || dev == 35) {
      ShowStatus("Synchronize...");
      FDriver->SetUPDATER(1);
      FDriver->SetUPDATER(254);
      GoTo(TRunState::SendSync);
    }
  } else {
    ShowStatus("Switch ON device while pushing the ENTER button");
    GoTo(TRunState::SendSync);
  }
}

void TRunController::StepBootSync() {
  FDriver->SetConMode(MODE_RAW);
  if (FDriver->GetConType() == CON_RS232) {
    // Reopen at the boot loader's speed. The run goes on whatever happens (the boot loader
    // then stays silent), but the operator learns why.
    FDriver->SetConType(CON_NONE);
    FDriver->SetBaudRate(57600);
    if (!FDriver->SetConType(CON_RS232)) ShowOpenFailure();
  }
  Offer(OwnStep("SYN"));
  Engines.Boot->SetInstruction("SYN");
  Engines.Boot.Step();
  GoTo(TRunState::WaitSync);
}

void TRunController::StepWaitSync() {
  if (Engines.Boot->IsBusy()) Engines.Boot.Step();
  if (EngineBusy || RunState == TRunState::Abort) return;
  EndInstruction(irDONE);
  Overall.StartClock(RunClock.elapsed());
  LineIndex = 0;
  BarToMax(0);
  BarToMax(1);
  BarStep(2);
  GoTo(TRunState::NextMainLine);
}

// ---- status, title, progress ----

void TRunController::ShowStatus(const std::string& text) {
  for (const char* headline : kHeadlines)
    if (text == headline) return;
  if (ContainsNoCase(text, "ping card ")) return;
  AppendStatusLine(text);
}

void TRunController::ShowError(const std::string& text) {
  LastError = text;
  RunState = TRunState::Abort;
  EndInstruction(irFAILED);
  AppendStatusLine(text);
}

// An empty box counts as one empty line, so an empty text is never its first line.
void TRunController::AppendStatusLine(const std::string& text) {
  if (LastStatusLine == text) return;
  LastStatusLine = text;
  View.AppendStatus(text);
  Notify([&](TRunObserver& o) { o.StatusAdded(text); });
}

std::string TRunController::DeviceIdText() const {
  if (DeviceId == 0) return "(Device Id Unknown)";
  return "(Device Id : " + WordToHex(static_cast<int>(DeviceId)) + ")";
}

std::string TRunController::Caption() const {
  return "Varnell Qubra Updater  " + DeviceIdText();
}

void TRunController::ShowTitle() {
  const std::string caption = Caption();
  if (caption == ShownTitle) return;
  ShownTitle = caption;
  View.SetTitle(caption);
}

void TRunController::LookupVersion() {
  DeviceKnown = true;
  VersionText = WordToHex(0);
  for (const TDeviceVersion& entry : DeviceVersions)
    if (DeviceId == entry.Id) VersionText = WordToHex(entry.Version);
}

void TRunController::SelectMainCard(bool variant) {
  const card_rec& card = variant ? MotherboardCardRecU : MotherboardCardRec;
  const bool changed = std::string_view(card.folder) != MotherboardCard.folder;
  MotherboardCard = card;
  DeviceVariant = variant ? 1 : 0;
  if (changed && RunActive) PlanOverall();
}

void TRunController::SetCurentCardDir(const std::string& dir) {
  FCurentCardDir = dir;
  for (TEngineSlot* e : InRunOrder(Engines)) (*e)->SetCardDir(dir);
}

void TRunController::BarPosition(int bar, int32_t position) {
  TProgress& p = Bars[bar];
  p.Position = std::clamp(position, 0, std::max(p.Max, 0));
  const auto which = static_cast<TMainView::TBar>(bar);
  View.SetProgress(which, p.Position, p.Max);
  Notify([&](TRunObserver& o) { o.ProgressChanged(which, p.Position, p.Max); });
}

void TRunController::BarMax(int bar, int32_t max) {
  Bars[bar].Max = std::max(max, 0);
  BarPosition(bar, Bars[bar].Position);
}
