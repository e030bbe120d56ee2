#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/DeviceLink.h"
#include "app/EngineSet.h"
#include "app/MainView.h"
#include "app/OverallProgress.h"
#include "app/PackageGate.h"
#include "app/RunObserver.h"
#include "app/Selection.h"
#include "engines/receivebuffer.h"
#include "formats/constante.h"

// Where the controller finds its files.
// What the idle box says while no package folder is known.
inline constexpr const char* kNoPackageFolderText =
    "No package folder: START asks for the folder that holds script.ini";

struct TRunConfig {
  std::string ProgramDir;      // folder of the program file, ending with '/'
  std::string ScriptArg;       // first command-line argument; empty for the default script.ini
  bool ReadIdPresent = false;  // the package folder holds readid.ini: Read Id and Quit show
};

// The run state machine's states, numbered as they always were: each says what the step does
// or waits for.
enum class TRunState : uint8_t {
  Idle = 0,               // waits for START or Read Id
  OpenLink = 1,           // reads the script, opens the link
  QueryDevice = 2,        // asks for the device's state
  WaitDeviceState = 3,    // waits half a second for it
  SendSync = 4,           // the boot loader's speed, SYN
  WaitSync = 5,           // waits for the boot loader's synchronisation
  Abort = 6,              // an error was shown: closes the link
  ShowErrorBox = 7,       // the error box, then idle
  SendFinish = 8,         // FI
  WaitFinish = 9,         // waits for FI
  Completed = 10,         // a press of the button now closes the window
  NextMainLine = 12,      // takes the main script's next line
  WaitMainLine = 13,      // waits for the engine that took it
  NextCardLine = 14,      // takes the card sub-script's next line
  WaitCardLine = 15,      // waits for the engine that took it
  SendExtendedBoot = 16,  // PB BOOT_EXT_OPTION.HEX
  WaitExtendedBoot = 17,  // waits for it
  WaitOp = 18,            // waits for OP, then FI
};

// The package folder in use (ProgramDir()) and whether it holds readid.ini.
TRunConfig DefaultRunConfig(const std::string& script_arg);
// Whether package folder `dir` holds readid.ini; false for "".
bool HoldsReadId(const std::string& dir);

// The main window's logic: the run state machine, the script walker with its comment rules,
// status, progress and the engines' events. Runs without widgets; it reaches the window only
// through TMainView. Everything runs on the Qt event-loop thread.
class TRunController {
 public:
  TRunController(TMainView& view, std::unique_ptr<TDeviceLink> link, TEngineSet engines,
                 TRunConfig config);
  ~TRunController();
  TRunController(const TRunController&) = delete;
  TRunController& operator=(const TRunController&) = delete;

  // Buttons, menus and window.
  void StartClick();
  void ReadIdClick();
  void QuitClick();
  void ComClick(int n);  // "Com &1".."Com &9"
  void MAutoClick();
  void MManualClick();
  void FormClose();  // closes the link and stops the timer; a run still going is stopped

  // Observers follow every run from START to its end; not owned, they must outlive the
  // controller's last run.
  void AddObserver(TRunObserver* observer) { Observers.push_back(observer); }
  // Judges the package at the start of every run, before the device is contacted; a run it
  // refuses ends as an error. Without one every package runs.
  void SetPackageGate(TPackageGate gate) { Gate = std::move(gate); }
  // How the last run ended; roNONE before the first end and while a run goes on.
  TRunOutcome Outcome() const { return FOutcome; }

  // Takes `dir` as the program folder for the runs to come; `readid_present` shows or hides
  // Read Id and Quit. Idle only: false, and nothing changed, during a run.
  bool SetProgramDir(const std::string& dir, bool readid_present);
  const std::string& GetProgramDir() const { return Config.ProgramDir; }
  // The script START runs: SCRIPT as given, otherwise the program folder's script.ini.
  std::string StartScriptPath() const;

  // Operator choices read at run start (menus and dialogs fill them).
  void SetPortChoice(const TPortChoice& choice);
  const TPortChoice& PortChoice() const { return FPort; }
  // A device path opened by itself in place of the checked COM slot (--link), until a COM item
  // is clicked; "" for none.
  void SetPortDevice(const std::string& path) { FPortDevice = path; }
  const std::string& PortDevice() const { return FPortDevice; }
  void SetLanSettings(const TLanSettings& lan) { FLan = lan; }
  const TLanSettings& LanSettings() const { return FLan; }
  void SetCompSelection(const TCompSelection& sel) { CompSel = sel; }
  const TCompSelection& CompSelection() const { return CompSel; }
  void SetManual(bool manual);
  bool Manual() const { return FManual; }
  std::string SelectedComPort() const;

  // Both callers stop Timer1 around the step and restart it afterwards, whatever happens.
  void Timer1Timer();

  void ShowStatus(const std::string& text);
  void ShowError(const std::string& text);
  std::string Caption() const;

  TRunState GetRunState() const { return RunState; }
  bool Running() const { return RunState != TRunState::Idle; }
  const std::string& GetLastError() const { return LastError; }
  const std::string& GetScriptPath() const { return ScriptPath; }
  TDeviceLink& Driver() { return *FDriver; }

 private:
  // The tests' window into the state machine.
  friend class TRunControllerProbe;
  static constexpr size_t kMaxReceiveBuffer = 1 << 20;

  void DoDriverReceive();
  bool RunGoingOn() const;
  // The link is gone for good: ends an active run with `text` as its error.
  void DoLinkLost(const std::string& text);
  // The link failed and is tried again: says why on the status box, once per cause and run.
  void DoLinkTrouble(const std::string& text);
  std::string DeviceIdText() const;
  void LookupVersion();
  void SelectMainCard(bool variant);

  // Card engine events (comment rules).
  void DoVersionSame(TGestionnaire& sender, int32_t component);
  void DoCardError(TGestionnaire& sender, int32_t card);
  void DoCardReady(TGestionnaire& sender, int32_t card);

  struct TProgress {
    int32_t Position = 0;
    int32_t Max = 100;
  };

  void RunStep();
  void GuardedStep();
  void GoTo(TRunState next);  // an error reported during the step keeps Abort
  void StepIdle();
  void StepOpen();
  bool GateAnswered(TPackageVerdict& verdict);
  bool PassGate(TPackageVerdict verdict);
  // Reads a script through the run's file check; false after the error is shown.
  bool ReadScript(const std::string& path, std::vector<std::string>& lines);
  void OpenLink();
  // Shows why the link would not open, a line each; the same lines, each after CR LF.
  std::string ShowOpenFailure();
  void StepQueryDevice();
  void StepWaitDevice();
  void StepBootSync();
  void StepWaitSync();
  void StepAbort();
  void StepReport();
  void StepFinish();
  void StepWaitFinish();
  void StepDone();
  void StepExtendedBoot();
  void StepWaitExtendedBoot();
  void StepWaitOp();

  // Script walker.
  void StepNextMainLine();
  void StepNextCardLine();
  void WaitLine();  // WaitMainLine and WaitCardLine
  bool Dispatch(int line_number);
  void StartCardScript();
  // The closing steps (SendExtendedBoot to WaitOp) follow the script.
  bool FileNameIsStandardScript() const;
  void FilterMainScript();
  void FilterCardComponents();

  void SetCurentCardDir(const std::string& dir);
  void AppendStatusLine(const std::string& text);
  void ShowIdleButtons();
  void ShowTitle();
  void BarPosition(int bar, int32_t position);
  void BarMax(int bar, int32_t max);
  void BarToMax(int bar) { BarPosition(bar, Bars[bar].Max); }
  void BarToMin(int bar) { BarPosition(bar, 0); }
  void BarStep(int bar) { BarPosition(bar, Bars[bar].Position + 1); }
  void WireEngine(TGestionnaire& e);

  // What observers learn.
  template <class F>
  void Notify(F f) {
    for (TRunObserver* o : Observers) f(*o);
  }
  void BeginRun();
  void EndRun(TRunOutcome outcome);
  TRunOutcome StopOutcome() const;  // an error already reported stays an error
  TInstructionRef LineRef(bool card, size_t index) const;
  TInstructionRef OwnStep(const std::string& text) const;
  void Offer(const TInstructionRef& line);  // before the engines are given a line
  void StartInstruction(TGestionnaire& taker);
  void EndInstruction(TInstructionResult result);
  void CommentOutLines(bool card, const std::vector<std::string>& prefixes, const char* reason);
  void ReportSkip(const TInstructionRef& line, const std::string& reason);
  void PlanOverall();
  void ShowOverall();

  TMainView& View;
  TRunConfig Config;
  QTimer Timer1;
  std::array<TProgress, 3> Bars;
  std::string LastStatusLine;  // "" for the empty box
  std::string ShownTitle;
  bool Stepping = false;  // inside RunStep (the error box runs a nested event loop)
  bool Closed = false;
  TRunState StepState = TRunState::Idle;  // RunState when the current step began
  TPortChoice FPort;
  std::string FPortDevice;
  TLanSettings FLan;
  bool FManual = false;
  TCompSelection CompSel;

  std::vector<std::string> ScriptLines;
  std::vector<std::string> CardLines;
  TEngineSet Engines;
  std::string ScriptPath;
  std::string CardScriptPath;
  std::string FCurentCardDir;
  int32_t CardIndex = -1;
  int32_t LineIndex = 0;
  int32_t CardLineIndex = 0;
  TRunState RunState = TRunState::Idle;
  uint32_t DeviceId = 0;
  bool DeviceKnown = false;
  std::string LastError;
  std::string VersionText = "0000";
  card_rec MotherboardCard = MotherboardCardRec;
  std::unique_ptr<TDeviceLink> FDriver;
  uint32_t SyncCountdown = 0;
  uint8_t DeviceVariant = 0;
  bool EngineBusy = false;
  std::string CurrentInstruction;
  TReceiveBuffer ReceiveBuffer;
  bool ReceiveOverflowReported = false;

  TPackageGate Gate;
  struct TGateCheck;
  std::shared_ptr<TGateCheck> GateCheck;  // the gate's answer being worked out
  TFileCheck FileCheck;                   // the run's, from the gate

  std::vector<TRunObserver*> Observers;
  bool RunActive = false;
  TRunOutcome FOutcome = roNONE;
  TInstructionRef Offered;
  bool OfferPending = false;
  bool InstructionOpen = false;
  TInstructionEnd Figures;
  // Lines passed over by what the instruction under way found: reported once it has ended,
  // so every record lists them after the line that decided it.
  std::vector<std::pair<TInstructionRef, std::string>> DeferredSkips;
  TOverallProgress Overall;
  QElapsedTimer RunClock;
  int64_t OverallShown[2] = {-1, -1};
  std::set<std::string> TroublesShown;
  // The components written, and those passed over with the reason, in run order.
  std::vector<std::string> ComponentsWritten;
  std::vector<std::pair<std::string, std::string>> ComponentsSkipped;
  // What a completed run that passed over a component says of each: a rerun after a stop
  // writes only what is left, and the operator sees which.
  void ShowComponents();

  void AppendReceived(const std::string& text);
};
