#include "cli/Batch.h"

#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "app/ComDriverLink.h"
#include "app/EngineSet.h"
#include "app/RunController.h"
#include "app/Settings.h"
#include "cli/Options.h"
#include "cli/SealCommand.h"
#include "engines/InstCourante.h"
#include "formats/text.h"
#include "records/RunEvents.h"
#include "records/RunHistory.h"
#include "records/RunReport.h"
#include "sys/ExitStatus.h"
#include "sys/StopSignals.h"
#include "sys/SysError.h"
#include "sys/Terminal.h"

namespace {

constexpr int kPollMs = 100;
// A poll this late means the event loop itself stood still.
constexpr int kStallMs = 500;
constexpr int kRedrawMs = 100;

int Percent(int64_t position, int64_t max) {
  return max > 0 ? static_cast<int>(100 * std::clamp<int64_t>(position, 0, max) / max) : 0;
}

std::string Bar(const char* name, int64_t position, int64_t max) {
  constexpr int kCells = 10;
  const int percent = Percent(position, max);
  const int filled = percent * kCells / 100;
  char text[64];
  std::snprintf(text, sizeof text, "%s [%s%s] %3d%%", name, std::string(filled, '#').c_str(),
                std::string(kCells - filled, ' ').c_str(), percent);
  return text;
}

std::string Eta(double seconds) {
  if (seconds < 0) return "  --";
  const auto s = static_cast<long long>(std::llround(seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  return text;
}

}  // namespace

// ---- view ----

TBatchView::TBatchView(std::ostream& out, std::ostream& err, bool progress)
    : Out(out), Err(err), Progress(progress) {}

// The whole run first: it alone only grows. The three bars follow as figures, so the line fits
// a terminal of 80 columns.
std::string TBatchView::ProgressLine() const {
  char text[128];
  std::snprintf(text, sizeof text, "%s  ETA %5s  operation %3d%%  card %3d%%  script %3d%%",
                Bar("overall", OverallPosition, OverallMax).c_str(), Eta(EtaSeconds).c_str(),
                Percent(Bars[pbOperation].Position, Bars[pbOperation].Max),
                Percent(Bars[pbCard].Position, Bars[pbCard].Max),
                Percent(Bars[pbScript].Position, Bars[pbScript].Max));
  return text;
}

void TBatchView::ClearProgress() {
  if (!ProgressShown) return;
  Err << "\r\033[K" << std::flush;
  ProgressShown = false;
}

void TBatchView::DrawProgress(bool force) {
  if (!Progress || !running || !running()) return;
  if (!force && LastDraw.isValid() && LastDraw.elapsed() < kRedrawMs) return;
  LastDraw.start();
  Err << "\r\033[K" << ProgressLine() << std::flush;
  ProgressShown = true;
}

void TBatchView::AppendStatus(const std::string& line) {
  if (print_status && running && running()) {
    ClearProgress();
    const std::string shown = EscapeControls(line);
    Out << shown << '\n' << std::flush;
    PrintedLines.insert(shown);
    DrawProgress(true);
  }
}

void TBatchView::SetProgress(TBar bar, int32_t position, int32_t max) {
  Bars[bar] = {position, max};
  DrawProgress(false);
}

void TBatchView::SetOverall(int64_t position, int64_t max, double eta_seconds) {
  OverallPosition = position;
  OverallMax = max;
  EtaSeconds = eta_seconds;
  DrawProgress(false);
}

void TBatchView::ShowErrorBox(const std::string& text) {
  FErrorBox = text;
  FErrorBoxShown = true;
}

// ---- trace ----

std::string TraceHeader() {
  return "#     ms dir hex                                              text\n";
}

std::string FormatTraceChunk(int64_t ms, bool sent, const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += 16) {
    const size_t n = std::min<size_t>(16, bytes.size() - at);
    char head[32];
    std::snprintf(head, sizeof head, "%8lld  %c  ", static_cast<long long>(ms), sent ? '>' : '<');
    std::string hex, text;
    for (size_t i = 0; i < n; ++i) {
      const auto c = static_cast<unsigned char>(bytes[at + i]);
      hex += kDigits[c >> 4];
      hex += kDigits[c & 15];
      hex += ' ';
      text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    hex.resize(49, ' ');
    out += head + hex + text + '\n';
  }
  return out;
}

// ---- silence ----

TSilenceWatch::TSilenceWatch(int32_t seconds, std::function<bool()> waiting,
                             std::function<void()> expired)
    : LimitMs(int64_t{seconds} * 1000), Waiting(std::move(waiting)), Expired(std::move(expired)) {
  Quiet.start();
  SincePoll.start();
  QObject::connect(&Poll, &QTimer::timeout, &Poll, [this] { Check(); });
  Poll.start(kPollMs);
}

void TSilenceWatch::Traffic() {
  Quiet.restart();
}

void TSilenceWatch::Check() {
  if (SincePoll.restart() > kPollMs + kStallMs) Quiet.restart();
  if (!Waiting()) {
    WasWaiting = false;
    return;
  }
  if (!WasWaiting) {
    WasWaiting = true;
    Quiet.restart();
    return;
  }
  if (Quiet.elapsed() < LimitMs) return;
  Quiet.restart();
  Expired();
}

// ---- run ----

TBatchRun::TBatchRun(TBatchConfig config, std::ostream& out, std::ostream& err)
    : Config(std::move(config)), Err(err), View(out, err, Config.Progress) {
  auto link = std::make_unique<TComDriverLink>();
  Link = link.get();
  TEngineParts parts;
  TEngineSet engines = MakeEngineSet(&parts);
  Card = parts.Card;
  Ctl = std::make_unique<TRunController>(View, std::move(link), std::move(engines),
                                         TRunConfig{Config.ProgramDir, Config.Script, false});
  View.running = [this] { return Started && Ctl->Running(); };
  View.print_status = !Config.Events;
  IdleCheck.setSingleShot(true);
  IdleCheck.setInterval(0);
  QObject::connect(&IdleCheck, &QTimer::timeout, &IdleCheck, [this] { CheckIdle(); });
  ConnectLimit.setSingleShot(true);
  QObject::connect(&ConnectLimit, &QTimer::timeout, &ConnectLimit, [this] { NotConnected(); });
  Link->Driver().OnConTypechange = [this](TComDriver&, int32_t) { LinkChosen(); };
  Link->Driver().OnConnect = [this](TComDriver&, int32_t) { LinkConnected(); };
  Ctl->AddObserver(this);
  Report = std::make_unique<TRunReport>(Config.Name, [this] { return Config.Link; });
  Ctl->AddObserver(Report.get());
  if (Config.Events) {
    Events = std::make_unique<TRunEvents>(out);
    Ctl->AddObserver(Events.get());
  }
}

TBatchRun::~TBatchRun() {
  Watch.reset();
  Ctl->FormClose();
  Link->SetWireTap(nullptr);
  Link->Driver().OnConTypechange = Link->Driver().OnConnect = nullptr;
}

// Both files are opened before the device is touched: a run nobody can trace or record is
// refused at once rather than found out afterwards.
bool TBatchRun::OpenFiles(std::string& failure) {
  if (!Config.TraceFile.empty()) {
    Trace = std::make_unique<TStreamFile>();
    if (std::string why; !Trace->Open(Config.TraceFile, why)) {
      failure = TraceFailure(why);
      return false;
    }
    Trace->Write(TraceHeader());
  }
  if (!Config.ReportFile.empty()) {
    ReportOut = std::make_unique<TReportFile>();
    if (!ReportOut->Open(Config.ReportFile, failure)) return false;
  }
  return true;
}

std::string TBatchRun::TraceFailure(const std::string& why) const {
  return "cannot write the trace file " + Excerpt(Config.TraceFile) + ": " + why;
}

// The record goes out once the exit status is known; a record or trace that cannot be written
// fails a run that would otherwise have succeeded. The history never fails one.
int TBatchRun::Conclude(int status, std::string failure) {
  if (failure.empty() && Trace && !Trace->Error().empty()) {
    Err << "qubra-updater: " << TraceFailure(Trace->Error()) << std::endl;
    if (status == kExitCompleted) status = kExitFailed;
  }
  if (!failure.empty()) {
    Err << "qubra-updater: " << failure << std::endl;
    status = kExitFailed;
  } else {
    const QJsonObject record = Report->Record(status);
    if (ReportOut && !ReportOut->Append(record, failure)) {
      Err << "qubra-updater: " << failure << std::endl;
      if (status == kExitCompleted) status = kExitFailed;
    }
    // The result goes out before the history is waited for: a line that stops this process
    // meanwhile knows how the run ended.
    if (Events) Events->Finish(status, failure);
    if (std::string notice; !KeepRunRecord(record, notice))
      Err << "qubra-updater: " << notice << std::endl;
    else
      SendSpooledRuns();  // after the run's own work, and only while the database answers
    return status;
  }
  if (Events) Events->Finish(status, failure);
  return status;
}

void TBatchRun::OverallProgressChanged(int64_t position, int64_t max, double eta_seconds) {
  View.SetOverall(position, max, eta_seconds);
}

void TBatchRun::RunEnded(TRunOutcome, const std::string&, const std::string&) {
  // The controller returns to idle once this step is over: look then.
  if (Started && !Finished) IdleCheck.start();
}

int TBatchRun::Exec() {
  Clock.start();
  if (std::string failure; !OpenFiles(failure)) return Conclude(kExitFailed, failure);
  if (Trace || Config.TimeoutSeconds > 0)
    Link->SetWireTap([this](bool sent, const std::string& bytes) { Traffic(sent, bytes); });
  if (Config.TimeoutSeconds > 0)
    Watch = std::make_unique<TSilenceWatch>(
        Config.TimeoutSeconds, [this] { return WaitingForDevice(); }, [this] { NoReply(); });
  if (Config.Configure) Config.Configure(*Ctl);
  Ctl->SetManual(false);
  Started = true;
  if (Config.ReadId)
    Ctl->ReadIdClick();
  else
    Ctl->StartClick();
  // Nobody watches an idle window here: take the first step now, not at the next idle tick.
  Ctl->Timer1Timer();
  QEventLoop loop;
  Quit = [&loop](int status) { loop.exit(status); };
  const int status = Finished ? Status : loop.exec();
  Quit = nullptr;
  View.ClearProgress();
  return Conclude(status, "");
}

void TBatchRun::Stop(int signal_number) {
  // The run is over and its record waits for the history: it goes to the spool instead.
  if (Finished) return AbandonHistoryWait();
  // Each piece of the trace is on disk as it happens: what the device was last sent shows
  // where the run hung, even if nothing else gets out.
  if (Started && Ctl->Running() && Ctl->GetRunState() != TRunState::Completed) {
    // Until the package is judged and the link opened, the device has heard nothing.
    const bool untouched = Ctl->GetRunState() == TRunState::OpenLink;
    Ctl->StartClick();  // STOP
    View.ClearProgress();
    // The last status line reads as if the run were only paused there.
    Err << "qubra-updater: stopped by " << SignalName(signal_number)
        << (untouched ? ": nothing was sent to the device, which is as it was"
                      : ": the device may now be partly updated; run the update again to finish it")
        << std::endl;
  }
  Ctl->FormClose();
  Finish(ExitStatusOfStop(signal_number));
}

void TBatchRun::Finish(int status) {
  if (Finished) return;
  Finished = true;
  Status = status;
  Watch.reset();
  if (Quit) Quit(status);
}

void TBatchRun::CheckIdle() {
  if (Finished || !Started || Ctl->Running()) return;
  Ctl->FormClose();
  View.ClearProgress();
  if (Ctl->Outcome() == roCOMPLETED) {
    Finish(kExitCompleted);
    return;
  }
  std::string text = View.ErrorBoxShown()
                         ? View.ErrorBoxText()
                         : Ctl->GetLastError() + "\r\n" + Excerpt(Ctl->GetScriptPath());
  // Its lines are the error box's; what the device put inside them is shown escaped.
  // On one screen with the status lines, what they already said is not said again.
  std::string shown;
  for (size_t from = 0;;) {
    const size_t at = text.find("\r\n", from);
    const std::string line = EscapeControls(std::string_view(text).substr(from, at - from));
    if (!Config.OneScreen || !View.Printed(line)) shown += line + '\n';
    if (at == std::string::npos) break;
    from = at + 2;
  }
  Err << shown << std::flush;
  Finish(kExitFailed);
}

void TBatchRun::Traffic(bool sent, const std::string& bytes) {
  if (Trace) Trace->Write(FormatTraceChunk(Clock.elapsed(), sent, bytes));
  if (Watch && !sent) Watch->Traffic();
}

// The device-state query (OpenLink to WaitDeviceState) gives up by itself after half a second,
// so the clock starts with the boot loader's synchronisation: after the ENTER prompt the device
// has the whole time. Abort, ShowErrorBox and Completed end the run without the device; a card
// "wait" line waits for nobody.
bool TBatchRun::WaitingForDevice() const {
  using enum TRunState;
  const TRunState state = Ctl->GetRunState();
  if (state == Idle || state == OpenLink || state == QueryDevice || state == WaitDeviceState ||
      state == Abort || state == ShowErrorBox || state == Completed)
    return false;
  return !(Card &&
           (Card->GetState() == TCardState::StartWait || Card->GetState() == TCardState::Waiting));
}

void TBatchRun::NoReply() {
  if (Finished || !WaitingForDevice()) return;
  std::string text = "No reply from device for " + std::to_string(Config.TimeoutSeconds) + " s";
  // A link that keeps failing (a refused connection, a send error) explains the silence.
  if (const std::string cause = Link->LinkError(); !cause.empty()) text += " (" + cause + ")";
  Ctl->ShowError(text);
}

// The connection is counted from the link's opening, not the run's start: the seal check
// before it may take its time.
void TBatchRun::LinkChosen() {
  const TComDriver& driver = Link->Driver();
  if (driver.GetConType() == CON_NONE) {
    ConnectLimit.stop();
  } else if (driver.IsLinkOpen()) {
    LinkConnected();
  } else if (Config.ConnectSeconds > 0) {
    ConnectLimit.start(Config.ConnectSeconds * 1000);
  }
}

void TBatchRun::LinkConnected() {
  ConnectLimit.stop();
  if (Events && Started && !Finished) Events->LinkConnected();
}

// A device that refuses is retried, as one being switched on needs; a line cannot wait for
// it until the silence limit, minutes later.
void TBatchRun::NotConnected() {
  using enum TRunState;
  const TRunState state = Ctl->GetRunState();
  if (Finished || Link->Driver().IsLinkOpen() || state == Idle || state == Abort ||
      state == ShowErrorBox || state == Completed)
    return;
  std::string text =
      "No connection to the device within " + std::to_string(Config.ConnectSeconds) + " s";
  if (const std::string cause = Link->LinkError(); !cause.empty()) text += " (" + cause + ")";
  Ctl->ShowError(text);
}

// ---- signals ----

struct TStopSignals::TImpl {
  explicit TImpl(bool resize) : Pipe(resize) {}
  TSignalPipe Pipe;
  std::function<void(int)> Stop;
  std::function<void()> Resized;
  std::unique_ptr<QSocketNotifier> Notifier;

  // One signal from the pipe; false when none is waiting.
  bool HandleOne() {
    const int signal_number = Pipe.Next();
    if (signal_number == 0) return false;
    if (TSignalPipe::IsResize(signal_number)) {
      if (Resized) Resized();
    } else if (Stop) {
      Stop(signal_number);
    }
    return true;
  }
};

TStopSignals::TStopSignals(std::function<void(int)> stop, std::function<void()> resized)
    : Impl(std::make_unique<TImpl>(static_cast<bool>(resized))) {
  Impl->Stop = std::move(stop);
  Impl->Resized = std::move(resized);
  if (!Impl->Pipe.Ok()) {
    std::cerr << "qubra-updater: SIGINT and SIGTERM cannot stop the run cleanly: pipe: "
              << Impl->Pipe.Error() << std::endl;
    return;
  }
  Impl->Notifier = std::make_unique<QSocketNotifier>(Impl->Pipe.Fd(), QSocketNotifier::Read);
  QObject::connect(Impl->Notifier.get(), &QSocketNotifier::activated, Impl->Notifier.get(),
                   [impl = Impl.get()] { impl->HandleOne(); });
}

void TStopSignals::HandlePending() {
  while (Impl->HandleOne()) {
  }
}

// The notifier, declared last, goes before the pipe it watches.
TStopSignals::~TStopSignals() = default;

// ---- command line ----

namespace {

// Updater.prm as read, never written back; a file that exists but cannot be read is said on
// stderr.
TSettingsLines ReadProgramSettings(const std::string& program_dir) {
  TSettingsLines lines;
  std::string unreadable;
  LoadSettings(program_dir, lines, unreadable);
  if (!unreadable.empty()) std::cerr << "qubra-updater: " << unreadable << std::endl;
  return lines;
}

}  // namespace

void ApplyProgramSettings(TRunController& controller, const std::string& program_dir) {
  ApplyConnection(controller, ConnectionFromSettings(ReadProgramSettings(program_dir)));
}

int32_t SilenceLimitSeconds(const Options& options) {
  return options.TimeoutSeconds < 0 ? kDefaultTimeoutSeconds : options.TimeoutSeconds;
}

int32_t ConnectLimitSeconds(const Options& options) {
  return options.ConnectSeconds < 0 ? kDefaultConnectSeconds : options.ConnectSeconds;
}

int RunBatch(const Options& options, const std::string& program_dir) {
  // Updater.prm is only read: for the connection, or with --link for COMn_DEVICE alone.
  const TSettingsLines lines = ReadProgramSettings(program_dir);
  TConnection connection = ConnectionFromSettings(lines);
  if (TLinkOption link; !options.Link.empty()) {
    std::string error;
    if (!ParseLinkOption(options.Link, link, error)) {
      std::cerr << "qubra-updater: --link " << error << std::endl;
      return kExitUsage;
    }
    connection = ConnectionFromLink(link, lines);
  }
  TBatchConfig config;
  config.ProgramDir = program_dir;
  config.Script = options.Script;
  config.ReadId = options.ReadId;
  config.TimeoutSeconds = SilenceLimitSeconds(options);
  config.ConnectSeconds = ConnectLimitSeconds(options);
  config.TraceFile = options.TraceFile;
  config.Progress = IsTerminal(STDERR_FILENO);
  config.OneScreen = config.Progress && IsTerminal(STDOUT_FILENO);
  config.Events = options.Events;
  config.ReportFile = options.ReportFile;
  config.Name = options.Name;
  config.Link = DescribeConnection(connection);
  config.Configure = [connection,
                      gate = MakeSealGate(SealPolicyFor(options))](TRunController& ctl) {
    ApplyConnection(ctl, connection);
    ctl.SetPackageGate(gate);
  };
  TBatchRun run(std::move(config), std::cout, std::cerr);
  TStopSignals stop_signals([&run](int signal_number) { run.Stop(signal_number); });
  return run.Exec();
}
