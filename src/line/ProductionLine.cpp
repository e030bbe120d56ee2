#include "line/ProductionLine.h"

#include <signal.h>

#include <QEventLoop>
#include <algorithm>
#include <chrono>
#include <limits>
#include <ostream>

#include "records/RunHistory.h"
#include "sys/ExitStatus.h"

namespace {

constexpr int kRedrawMs = 200;
// A device asked to stop and still running after this long is killed when asked again.
constexpr qint64 kKillAfterMs = 5000;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TProductionLine::TProductionLine(TConfig config, std::vector<TLineDevice> devices,
                                 TChildRunner& children, std::ostream& out)
    : TProductionLine(std::move(config), std::move(devices), children) {
  Out = &out;
}

TProductionLine::TProductionLine(TConfig config, std::vector<TLineDevice> devices,
                                 TChildRunner& children)
    : Config(std::move(config)),
      Children(children),
      Screen(Config.Width, Config.Height),
      NowMs(SteadyMs) {
  SetDevices(std::move(devices));
  QObject::connect(&RedrawTimer, &QTimer::timeout, &RedrawTimer, [this] { Redraw(); });
}

// The children still running are killed with their slots.
TProductionLine::~TProductionLine() = default;

int TProductionLine::Exec() {
  if (Config.Table) {
    Redraw();
    RedrawTimer.start(kRedrawMs);
  }
  StartAll();
  if (Busy()) {
    QEventLoop loop;
    Quit = [&loop] { loop.exit(0); };
    loop.exec();
    Quit = nullptr;
  }
  RedrawTimer.stop();
  Screen.Unlimit();
  if (Config.Table) Redraw();
  if (Out) *Out << FormatSummary(Rows(), skEND) << std::flush;
  if (StopSignal != 0) return ExitStatusOfStop(StopSignal);
  const TRows rows = Rows();
  const bool all = std::all_of(rows.begin(), rows.end(), [](const TDeviceRow& r) {
    return r.State == dsCOMPLETED && r.ReportFailure.empty();
  });
  return all ? kExitCompleted : kExitFailed;
}

void TProductionLine::Stop(int signal_number) {
  if (StopSignal == 0) StopSignal = signal_number;
  // A child ignores SIGPIPE until it can stop cleanly on it.
  const int forward = signal_number == SIGPIPE ? SIGTERM : signal_number;
  for (size_t i = 0; i < Slots.size(); ++i) StopRow(i, forward);
  if (!Busy()) EndedAll();
}

void TProductionLine::Resize(size_t width, size_t height) {
  if (Screen.Resize(width, height) && Config.Table && Screen.Drawn()) Redraw();
}

void TProductionLine::StartAll() {
  LimitJobs();
  for (size_t i = 0; i < Slots.size(); ++i) Queue(i);
  StartWaiting();
}

void TProductionLine::StartDevice(size_t index) {
  if (index >= Slots.size()) return;
  LimitJobs();
  Queue(index);
  StartWaiting();
}

void TProductionLine::RetryFailed() {
  LimitJobs();
  for (size_t i = 0; i < Slots.size(); ++i)
    if (Slots[i]->Row.State == dsFAILED) Queue(i);
  StartWaiting();
}

void TProductionLine::StopDevice(size_t index) {
  if (index >= Slots.size()) return;
  StopRow(index, StopSignalFor(Slots[index]->Run));
  if (!Busy()) EndedAll();
}

void TProductionLine::StopAll() {
  for (size_t i = 0; i < Slots.size(); ++i) StopRow(i, StopSignalFor(Slots[i]->Run));
  if (!Busy()) EndedAll();
}

// A device still running a while after it was asked to stop is beyond stopping: its process is
// ended. A second click soon after the first is only impatience.
int TProductionLine::StopSignalFor(const TDeviceRun& run) const {
  return run.StopAsked && NowMs() - run.StopAskedMs >= kKillAfterMs ? SIGKILL : SIGTERM;
}

bool TProductionLine::Busy() const {
  const TRows rows = Rows();
  return std::any_of(rows.begin(), rows.end(), DeviceBusy);
}

size_t TProductionLine::Running() const {
  const TRows rows = Rows();
  return static_cast<size_t>(std::count_if(
      rows.begin(), rows.end(), [](const TDeviceRow& r) { return r.State == dsRUNNING; }));
}

// At the start of a line, as many devices at a time as asked and the open-file limit allows.
void TProductionLine::LimitJobs() {
  if (Busy()) return;
  Jobs = Config.Jobs > 0 ? static_cast<size_t>(Config.Jobs) : std::numeric_limits<size_t>::max();
  uint64_t limit = 0;
  const size_t room = Children.Room(limit);
  NoRoom = room > 0 ? ""
                    : "the open-file limit (ulimit -n " + std::to_string(limit) +
                          ") is too low for one device's updater";
  if (room == 0) {
    Note(NoRoom);
  } else if (room < std::min(Jobs, Slots.size())) {
    Jobs = room;
    Note("at most " + std::to_string(room) + " devices at a time: the open-file limit (ulimit -n " +
         std::to_string(limit) + ") allows no more");
  }
}

void TProductionLine::Queue(size_t index) {
  TDeviceSlot& slot = *Slots[index];
  TDeviceRow& row = slot.Row;
  if (StopSignal != 0 || row.State == dsRUNNING || row.Queued || !row.Problem.empty()) return;
  if (LineStartedMs < 0) LineStartedMs = NowMs();
  row = FreshRow(slot.Device);
  row.Queued = true;
  slot.Run.Start = QDateTime();
  slot.Run.KilledBy = 0;
  Notify(index);
}

void TProductionLine::StopRow(size_t index, int signal_number) {
  TDeviceSlot& slot = *Slots[index];
  if (slot.Row.State == dsWAITING && slot.Row.Queued) {
    slot.Row.State = dsSTOPPED;
    slot.Row.Queued = false;
    WriteLostRecord(index, -1);
    Show(index);
  } else if (slot.Row.State == dsRUNNING && slot.Run.Process) {
    if (!slot.Run.StopAsked) slot.Run.StopAskedMs = NowMs();
    slot.Run.StopAsked = true;
    slot.Run.Process->Signal(signal_number);
  }
}

void TProductionLine::EndedAll() {
  if (LineStartedMs >= 0) LineEnded = SecondsSince(LineStartedMs);
  LineStartedMs = -1;
  if (Quit) Quit();
}

double TProductionLine::LineSeconds() const {
  return LineStartedMs >= 0 ? SecondsSince(LineStartedMs) : LineEnded;
}

double TProductionLine::SecondsSince(int64_t ms) const {
  return static_cast<double>(NowMs() - ms) / 1000.0;
}

void TProductionLine::UseClock(std::function<int64_t()> now_ms) {
  NowMs = std::move(now_ms);
}

void TProductionLine::StartWaiting() {
  // Ctrl-C reaches every process of the terminal at once: the end of a child may come before
  // the line's own signal has been handled, though it has arrived.
  if (Config.PendingSignals) Config.PendingSignals();
  if (StopSignal != 0) return;
  for (size_t i = 0; i < Slots.size() && Running() < Jobs; ++i)
    if (Slots[i]->Row.State == dsWAITING && Slots[i]->Row.Queued) Start(i);
}

void TProductionLine::Start(size_t index) {
  TDeviceSlot& slot = *Slots[index];
  TDeviceSlot* s = &slot;
  TChildEvents events;
  events.Line = [this, s](const std::string& line) {
    const std::string trouble = s->Row.Trouble;
    if (!ApplyEventLine(s->Row, line)) return;
    // A device that cannot be reached is said at once, not when it times out.
    if (!s->Row.Trouble.empty() && s->Row.Trouble != trouble)
      Show(IndexOf(*s));
    else
      Notify(IndexOf(*s));
  };
  events.End = [this, s](const TChildEnd& end) {
    const bool crashed = end.Signal != 0;
    Ended(*s, crashed ? end.Signal : end.ExitCode, crashed, end.Stderr);
  };
  slot.Row.State = dsRUNNING;
  slot.Row.Connected = false;
  slot.Row.Queued = false;
  slot.Run.StopAsked = false;
  slot.Run.StartedMs = NowMs();
  slot.Run.Start = QDateTime::currentDateTimeUtc();
  std::unique_ptr<TChild> process;
  std::string why = NoRoom;
  if (!why.empty() || !Children.Start(DeviceCommand(Config.Program, Config.SharedArgs, slot.Device),
                                      std::move(events), process, why)) {
    FailedToStart(index, why);
    return;
  }
  slot.Run.Process = std::move(process);
  Show(index);
}

void TProductionLine::FailedToStart(size_t index, const std::string& why) {
  TDeviceSlot& slot = *Slots[index];
  slot.Run.Process.reset();
  if (const size_t others = Running() - 1; others > 0) {
    // The line's own resources ran out (descriptors, processes), not the device: it waits
    // for another child to end.
    slot.Row.State = dsWAITING;
    slot.Row.Queued = true;
    Jobs = std::min(Jobs, others);
    Note("at most " + std::to_string(Jobs) + " devices at a time: the line could start no more");
    return;
  }
  slot.Row.Error = "cannot start " + Config.Program + ": " + why;
  Ended(slot, -1, true, "");
}

void TProductionLine::Ended(TDeviceSlot& slot, int exit_code, bool crashed,
                            const std::string& stderr_text) {
  if (slot.Row.State != dsRUNNING) return;
  const size_t index = IndexOf(slot);
  slot.Row.Seconds = SecondsSince(slot.Run.StartedMs);
  slot.Run.KilledBy = crashed && exit_code > 0 ? exit_code : 0;
  EndRow(slot.Row, exit_code, crashed, slot.Run.StopAsked, stderr_text);
  if (!slot.Row.Ended) WriteLostRecord(index, crashed ? -1 : exit_code);
  NoteHistory(stderr_text);
  Show(index);
  // Its descriptors go before the next child needs them, under a tight open-file limit.
  slot.Run.Process.reset();
  StartWaiting();
  if (!Busy()) EndedAll();
}

// A child that ended without its result (killed, crashed, never started) wrote no record:
// the line writes what it knows, so that every device has one, in the history too.
void TProductionLine::WriteLostRecord(size_t index, int exit_status) {
  TDeviceSlot& slot = *Slots[index];
  const QJsonObject record =
      LostRunRecord(LostRun(slot, Config.Settings, Config.Script, exit_status));
  std::string failure;
  if (!Config.ReportFile.empty() && !Lost.Write(Config.ReportFile, record, failure))
    slot.Row.ReportFailure = failure;
  // Off this thread: a window's line must not wait for a database.
  KeepRunRecordLater(record, &HistoryAnswers, [this](const std::string& notice) {
    if (!notice.empty()) Note(notice);
  });
}

// A child whose history went to the spool said so on its stderr: the line says it once.
void TProductionLine::NoteHistory(const std::string& stderr_text) {
  static const std::string kProgram = "qubra-updater: ";
  const size_t at = stderr_text.find(kProgram + "history not written (");
  if (at == std::string::npos) return;
  const size_t from = at + kProgram.size();
  Note(stderr_text.substr(from, stderr_text.find('\n', from) - from));
}

size_t TProductionLine::IndexOf(const TDeviceSlot& slot) const {
  for (size_t i = 0; i < Slots.size(); ++i)
    if (Slots[i].get() == &slot) return i;
  return Slots.size();
}

void TProductionLine::Show(size_t index) {
  if (Out && Config.Table)
    Redraw();
  else if (Out)
    *Out << FormatProgressLine(Slots[index]->Row) << '\n' << std::flush;
  Notify(index);
}

void TProductionLine::Notify(size_t index) {
  if (RowChanged && index < Slots.size()) RowChanged(index);
}

// Said once where it is seen: a line of its own, or under the table.
void TProductionLine::Note(const std::string& text) {
  if (Notice == "qubra-updater: " + text) return;
  Notice = "qubra-updater: " + text;
  if (Out && Config.Table)
    Redraw();
  else if (Out)
    *Out << Notice << '\n' << std::flush;
}

void TProductionLine::UpdateElapsed() {
  for (auto& slot : Slots)
    if (slot->Row.State == dsRUNNING) slot->Row.Seconds = SecondsSince(slot->Run.StartedMs);
}

void TProductionLine::Redraw() {
  if (!Out) return;
  UpdateElapsed();
  *Out << Screen.Draw(Rows(), Notice) << std::flush;
}

// ---- editing ----

std::vector<TLineDevice> TProductionLine::Listed() const {
  std::vector<TLineDevice> devices;
  for (const auto& slot : Slots) devices.push_back(slot->Device);
  return devices;
}

void TProductionLine::AddDevice(const std::string& name, const std::string& link) {
  auto slot = std::make_unique<TDeviceSlot>();
  slot->Device.Name = name;
  slot->Device.Link.Text = link;
  slot->Row = FreshRow(slot->Device);
  Slots.push_back(std::move(slot));
  Recheck();
}

bool TProductionLine::SetDevice(size_t index, const std::string& name, const std::string& link) {
  if (index >= Slots.size() || DeviceBusy(Slots[index]->Row)) return false;
  TLineDevice& device = Slots[index]->Device;
  device.Name = name;
  device.Link = TLinkOption{};
  device.Link.Text = link;
  Slots[index]->Row = FreshRow(device);
  Recheck();
  return true;
}

bool TProductionLine::RemoveDevice(size_t index) {
  if (index >= Slots.size() || DeviceBusy(Slots[index]->Row)) return false;
  Slots.erase(Slots.begin() + static_cast<std::ptrdiff_t>(index));
  Recheck();
  return true;
}

bool TProductionLine::SetDevices(std::vector<TLineDevice> devices) {
  if (Busy()) return false;
  Slots.clear();
  for (TLineDevice& device : devices) {
    auto slot = std::make_unique<TDeviceSlot>();
    slot->Device = std::move(device);
    slot->Row = FreshRow(slot->Device);
    Slots.push_back(std::move(slot));
  }
  Recheck();
  return true;
}

bool TProductionLine::SetConfig(TConfig config) {
  if (Busy()) return false;
  Config = std::move(config);
  Screen = TTableScreen(Config.Width, Config.Height);
  Recheck();
  return true;
}

// The devices busy are checked first: a device edited later never takes their link away.
void TProductionLine::Recheck() {
  TDeviceListCheck check(Config.Settings);
  for (const bool busy : {true, false}) {
    for (size_t i = 0; i < Slots.size(); ++i) {
      TDeviceSlot& slot = *Slots[i];
      if (DeviceBusy(slot.Row) != busy) continue;
      TLineDevice checked;
      const std::string text = slot.Device.Name + " " + slot.Device.Link.Text;
      std::string problem;
      for (const std::string& why : check.Add(static_cast<int>(i + 1), text, checked))
        problem += (problem.empty() ? "" : "; ") + why;
      if (problem.empty()) slot.Device.Link = checked.Link;
      slot.Row.Problem = std::move(problem);
    }
  }
  if (ListChanged) ListChanged();
}
