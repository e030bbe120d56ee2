#include "line/ProductionLine.h"

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <queue>

#include "formats/text.h"

namespace {

constexpr int kRedrawMs = 200;
// A child that writes more than this on stderr is cut: only the first lines say what failed.
constexpr qsizetype kMaxStderr = 64 * 1024;
// A device asked to stop and still running after this long is killed when asked again.
constexpr qint64 kKillAfterMs = 5000;
// A run that goes on talking keeps its latest status lines.
constexpr size_t kMaxStatusLines = 2000;

// Outside text in a message, cut when it runs away.
std::string Quoted(const std::string& text) {
  return "\"" + Excerpt(text) + "\"";
}

std::vector<std::string> SplitBlanks(const std::string& text) {
  std::vector<std::string> fields;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    size_t end = at;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
    if (end > at) fields.push_back(text.substr(at, end - at));
    at = end;
  }
  return fields;
}

// Where a link leads, so that COM1 and its device path, or two names of one adapter, are one.
std::string LinkKey(const TLinkOption& link, const TSettingsLines& settings) {
  TLinkDescription d = DescribeConnection(ConnectionFromLink(link, settings));
  if (d.Transport == "serial") {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::weakly_canonical(d.Link, ec);
    if (!ec) d.Link = real.string();
  }
  return d.Transport + " " + d.Link;
}

std::string Latin1(const QJsonValue& v) {
  return v.toString().toLatin1().toStdString();
}

std::string Cell(const std::string& text, size_t width) {
  if (text.size() > width) return width == 0 ? "" : text.substr(0, width - 1) + "~";
  return text + std::string(width - text.size(), ' ');
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", s);
  return text;
}

std::string FirstLine(const std::string& text) {
  for (const std::string& line : SplitLines(text))
    if (!Trim(line).empty()) return Trim(line);
  return {};
}

}  // namespace

// ---- the device list ----

std::string TDeviceListCheck::Add(int line_number, const std::string& text, TLineDevice& device) {
  auto earlier = [](const TSeen& seen) {
    return " by " + Quoted(seen.Name) + " on line " + std::to_string(seen.LineNumber);
  };
  const std::vector<std::string> fields = SplitBlanks(text);
  if (fields.size() != 2) return "NAME LINK expected, not " + Quoted(Trim(text));
  // Written back to a list, it would read as a comment.
  if (fields[0][0] == '#') return "the name " + Quoted(fields[0]) + " begins with \"#\"";
  TLineDevice found{fields[0], {}, line_number};
  std::string why;
  if (!ParseLinkOption(fields[1], found.Link, why)) return why + "; LINK is " + LinkForms();
  if (auto it = Names.find(found.Name); it != Names.end())
    return "the name " + Quoted(found.Name) + " is already used" + earlier(it->second);
  const std::string key = LinkKey(found.Link, Settings);
  if (auto it = Links.find(key); it != Links.end())
    return "the link " + Quoted(fields[1]) + " (" + Excerpt(key) + ") is already used" +
           earlier(it->second);
  const bool udp = found.Link.Kind == TLinkOption::lkUDP;
  if (auto it = LocalPorts.find(found.Link.LocalPort); udp && it != LocalPorts.end())
    return "the UDP local port " + std::to_string(found.Link.LocalPort) + " is already bound" +
           earlier(it->second);
  const TSeen seen{found.Name, line_number};
  Names[found.Name] = seen;
  Links[key] = seen;
  if (udp) LocalPorts[found.Link.LocalPort] = seen;
  device = std::move(found);
  return {};
}

bool ParseDeviceList(const std::string& path, const std::vector<std::string>& lines,
                     const TSettingsLines& settings, std::vector<TLineDevice>& devices,
                     std::string& error) {
  std::vector<TLineDevice> found;
  TDeviceListCheck check(settings);
  for (size_t i = 0; i < lines.size(); ++i) {
    const int n = static_cast<int>(i + 1);
    const std::string text = Trim(lines[i]);
    if (text.empty() || text[0] == '#') continue;
    TLineDevice device;
    if (const std::string why = check.Add(n, text, device); !why.empty()) {
      error = Excerpt(path) + ":" + std::to_string(n) + ": " + why;
      return false;
    }
    found.push_back(std::move(device));
  }
  if (found.empty()) {
    error = Excerpt(path) + ": no device listed";
    return false;
  }
  devices = std::move(found);
  return true;
}

std::vector<TLineDevice> ReadDeviceEntries(const std::vector<std::string>& lines) {
  std::vector<TLineDevice> entries;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string text = Trim(lines[i]);
    if (text.empty() || text[0] == '#') continue;
    size_t blank = text.find_first_of(" \t");
    TLineDevice entry;
    entry.Name = text.substr(0, blank);
    entry.Link.Text = blank == std::string::npos ? "" : Trim(text.substr(blank));
    entry.LineNumber = static_cast<int>(i + 1);
    entries.push_back(std::move(entry));
  }
  return entries;
}

// ---- rows ----

const char* DeviceStateText(TDeviceState state) {
  switch (state) {
    case dsWAITING:
      return "waiting";
    case dsRUNNING:
      return "running";
    case dsCOMPLETED:
      return "completed";
    case dsFAILED:
      return "failed";
    default:
      return "stopped";
  }
}

void ApplyEvent(TDeviceRow& row, const QJsonObject& event) {
  const QString kind = event["event"].toString();
  if (kind == "instruction_start") {
    row.Operation = Trim(Latin1(event["text"]));
    row.Card = Latin1(event["card"]);
  } else if (kind == "progress" &&
             (event["bar"].toString() == "script" || event["bar"].toString() == "card")) {
    int64_t* bar = row.Bars[event["bar"].toString() == "script" ? 0 : 1];
    bar[1] = std::max<int64_t>(event["max"].toInteger(), 0);
    bar[0] = std::clamp<int64_t>(event["position"].toInteger(), 0, bar[1]);
    // One main-script line holds a whole card sub-script: its share moves the percent on. A
    // full card bar counts for nothing, as the script bar takes the step itself.
    const int64_t* script = row.Bars[0];
    const int64_t* card = row.Bars[1];
    const double share = card[1] > 0 && card[0] < card[1] ? double(card[0]) / double(card[1]) : 0;
    if (script[1] > 0)
      row.Percent =
          std::min(100, static_cast<int>(100 * (double(script[0]) + share) / double(script[1])));
  } else if (kind == "progress" && event["bar"].toString() == "overall") {
    row.OverallMax = std::max<int64_t>(event["max"].toInteger(), 0);
    row.OverallPosition = std::clamp<int64_t>(event["position"].toInteger(), 0, row.OverallMax);
    row.EtaSeconds = event["eta_seconds"].toDouble(-1);
  } else if (kind == "status") {
    if (row.Status.size() >= kMaxStatusLines)
      row.Status.erase(row.Status.begin(), row.Status.begin() + kMaxStatusLines / 2);
    row.Status.push_back(Latin1(event["text"]));
  } else if (kind == "result") {
    row.Ended = true;
    row.Error = Latin1(event["error"]);
    if (row.Error.empty()) row.Error = Latin1(event["failure"]);
    row.ErrorScript = Latin1(event["script"]);
  }
}

bool DeviceBusy(const TDeviceRow& row) {
  return row.State == dsRUNNING || (row.State == dsWAITING && row.Queued);
}

int RunPercent(const TDeviceRow& row) {
  if (row.OverallMax > 0) return static_cast<int>(100 * row.OverallPosition / row.OverallMax);
  return row.Percent;
}

std::vector<std::string> FormatTable(const std::vector<TDeviceRow>& rows, size_t width) {
  size_t name_width = 4, link_width = 4;
  for (const TDeviceRow& r : rows) {
    name_width = std::max(name_width, r.Name.size());
    link_width = std::max(link_width, r.Link.size());
  }
  auto line = [&](const std::string& name, const std::string& link, const std::string& state,
                  const std::string& operation, const std::string& card, const std::string& percent,
                  const std::string& elapsed, const std::string& error) {
    std::string text = Cell(name, name_width) + "  " + Cell(link, link_width) + "  " +
                       Cell(state, 9) + "  " + Cell(operation, 22) + "  " + Cell(card, 6) + "  " +
                       std::string(4 - std::min<size_t>(4, percent.size()), ' ') + percent + "  " +
                       std::string(8 - std::min<size_t>(8, elapsed.size()), ' ') + elapsed + "  " +
                       error;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text.size() > width ? text.substr(0, width) : text;
  };
  std::vector<std::string> out{
      line("NAME", "LINK", "STATE", "OPERATION", "CARD", "DONE", "ELAPSED", "ERROR")};
  for (const TDeviceRow& r : rows) {
    const bool started = r.State != dsWAITING && !(r.State == dsSTOPPED && r.Seconds == 0);
    out.push_back(line(r.Name, r.Link, DeviceStateText(r.State), r.Operation, r.Card,
                       started ? std::to_string(r.Percent) + "%" : "",
                       started ? Seconds(r.Seconds) + "s" : "",
                       r.State == dsFAILED ? r.Error : ""));
  }
  return out;
}

namespace {

// The error of a failed device, with the script it happened in.
std::string FailureText(const TDeviceRow& row) {
  return row.Error + (row.ErrorScript.empty() ? "" : " (" + row.ErrorScript + ")");
}

}  // namespace

std::string FormatProgressLine(const TDeviceRow& row) {
  const std::string head = row.Name + " " + row.Link + ": ";
  switch (row.State) {
    case dsRUNNING:
      return head + "started";
    case dsCOMPLETED:
      return head + "completed in " + Seconds(row.Seconds) + " s";
    case dsFAILED:
      return head + "failed after " + Seconds(row.Seconds) + " s: " + FailureText(row);
    case dsSTOPPED:
      return head + (row.Seconds == 0 ? "stopped before it started"
                                      : "stopped after " + Seconds(row.Seconds) + " s");
    default:
      return head + "waiting";
  }
}

std::array<int, 5> CountStates(const std::vector<TDeviceRow>& rows) {
  std::array<int, 5> counts{};
  for (const TDeviceRow& r : rows) ++counts[r.State];
  return counts;
}

double LineEtaSeconds(const std::vector<TDeviceRow>& rows, int jobs) {
  std::vector<double> free_at;  // when each slot comes free, from now
  double took = 0, expected = 0;
  int completed = 0, waiting = 0;
  for (const TDeviceRow& r : rows) {
    if (r.State == dsRUNNING) {
      if (r.EtaSeconds < 0) return -1;
      free_at.push_back(r.EtaSeconds);
      expected += r.Seconds + r.EtaSeconds;
    } else if (r.State == dsCOMPLETED) {
      took += r.Seconds;
      ++completed;
    } else if (r.State == dsWAITING && r.Queued) {
      ++waiting;
    }
  }
  const double each = completed > 0      ? took / completed
                      : !free_at.empty() ? expected / static_cast<double>(free_at.size())
                                         : -1;
  if (waiting > 0 && each < 0) return -1;
  const size_t lanes = jobs > 0 ? static_cast<size_t>(jobs) : rows.size();
  if (free_at.size() < lanes) free_at.resize(lanes, 0);
  std::priority_queue<double, std::vector<double>, std::greater<>> next(free_at.begin(),
                                                                        free_at.end());
  double end = 0;
  for (int i = 0; i < waiting; ++i) {
    const double start = next.top();
    next.pop();
    next.push(start + each);
    end = std::max(end, start + each);
  }
  for (const double t : free_at) end = std::max(end, t);
  return end;
}

std::string FormatSummary(const std::vector<TDeviceRow>& rows) {
  const std::array<int, 5> counts = CountStates(rows);
  std::string text = std::to_string(rows.size()) + (rows.size() == 1 ? " device: " : " devices: ") +
                     std::to_string(counts[dsCOMPLETED]) + " completed, " +
                     std::to_string(counts[dsFAILED]) + " failed, " +
                     std::to_string(counts[dsSTOPPED]) + " stopped\n";
  for (const TDeviceRow& r : rows)
    if (r.State == dsFAILED)
      text += "failed: " + r.Name + " " + r.Link + ": " + FailureText(r) + "\n";
  return text;
}

// ---- the line ----

struct TProductionLine::TChild {
  size_t Index = 0;  // its row
  std::unique_ptr<QProcess> Process;
  QElapsedTimer Clock;
  QByteArray Pending;  // stdout not yet a whole line
  std::string Stderr;
  bool StopAsked = false;
  QElapsedTimer StopClock;  // since the stop was asked
};

namespace {

// A process that has ended, let go once the event loop has delivered what it still holds.
void Discard(std::unique_ptr<QProcess>& process) {
  if (!process) return;
  process->disconnect();
  process.release()->deleteLater();
}

// Names and paths are the system's bytes.
QString Arg(const std::string& text) {
  return QFile::decodeName(QByteArray::fromStdString(text));
}

}  // namespace

TProductionLine::TProductionLine(TConfig config, std::vector<TLineDevice> devices,
                                 std::ostream& out)
    : TProductionLine(std::move(config), std::move(devices)) {
  Out = &out;
}

TProductionLine::TProductionLine(TConfig config, std::vector<TLineDevice> devices)
    : Config(std::move(config)) {
  SetDevices(std::move(devices));
  QObject::connect(&RedrawTimer, &QTimer::timeout, &RedrawTimer, [this] { Redraw(); });
}

TProductionLine::~TProductionLine() {
  for (auto& child : Children) {
    if (!child->Process) continue;
    child->Process->disconnect();
    if (child->Process->state() != QProcess::NotRunning) {
      child->Process->kill();
      child->Process->waitForFinished(5000);
    }
  }
}

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
  if (Config.Table) Redraw();
  if (Out) *Out << FormatSummary(FRows) << std::flush;
  if (StopSignal != 0) return 128 + StopSignal;
  const bool all = std::all_of(FRows.begin(), FRows.end(),
                               [](const TDeviceRow& r) { return r.State == dsCOMPLETED; });
  return all ? 0 : 1;
}

void TProductionLine::Stop(int signal_number) {
  if (StopSignal == 0) StopSignal = signal_number;
  for (size_t i = 0; i < FRows.size(); ++i) StopRow(i, signal_number);
  if (!Busy()) EndedAll();
}

void TProductionLine::StartAll() {
  for (size_t i = 0; i < FRows.size(); ++i) Queue(i);
  StartWaiting();
}

void TProductionLine::StartDevice(size_t index) {
  if (index >= FRows.size()) return;
  Queue(index);
  StartWaiting();
}

void TProductionLine::RetryFailed() {
  for (size_t i = 0; i < FRows.size(); ++i)
    if (FRows[i].State == dsFAILED) Queue(i);
  StartWaiting();
}

void TProductionLine::StopDevice(size_t index) {
  if (index >= FRows.size()) return;
  StopRow(index, StopSignalFor(*Children[index]));
  if (!Busy()) EndedAll();
}

void TProductionLine::StopAll() {
  for (size_t i = 0; i < FRows.size(); ++i) StopRow(i, StopSignalFor(*Children[i]));
  if (!Busy()) EndedAll();
}

// A device still running a while after it was asked to stop is beyond stopping: its process is
// ended. A second click soon after the first is only impatience.
int TProductionLine::StopSignalFor(const TChild& child) const {
  return child.StopAsked && child.StopClock.elapsed() >= kKillAfterMs ? SIGKILL : SIGTERM;
}

bool TProductionLine::Busy() const {
  return std::any_of(FRows.begin(), FRows.end(), DeviceBusy);
}

void TProductionLine::Queue(size_t index) {
  TDeviceRow& row = FRows[index];
  if (StopSignal != 0 || row.State == dsRUNNING || row.Queued || !row.Problem.empty()) return;
  if (!LineClock.isValid()) LineClock.start();
  TDeviceRow fresh;
  fresh.Name = row.Name;
  fresh.Link = row.Link;
  fresh.Queued = true;
  row = std::move(fresh);
  Notify(index);
}

void TProductionLine::StopRow(size_t index, int signal_number) {
  TDeviceRow& row = FRows[index];
  TChild& child = *Children[index];
  if (row.State == dsWAITING && row.Queued) {
    row.State = dsSTOPPED;
    row.Queued = false;
    Show(index);
  } else if (row.State == dsRUNNING && child.Process) {
    if (!child.StopAsked) child.StopClock.start();
    child.StopAsked = true;
    const qint64 pid = child.Process->processId();
    if (pid > 0) ::kill(static_cast<pid_t>(pid), signal_number);
  }
}

void TProductionLine::EndedAll() {
  if (LineClock.isValid()) LineEnded = static_cast<double>(LineClock.elapsed()) / 1000.0;
  LineClock.invalidate();
  if (Quit) Quit();
}

double TProductionLine::LineSeconds() const {
  return LineClock.isValid() ? static_cast<double>(LineClock.elapsed()) / 1000.0 : LineEnded;
}

void TProductionLine::StartWaiting() {
  if (StopSignal != 0) return;
  auto running = std::count_if(FRows.begin(), FRows.end(),
                               [](const TDeviceRow& r) { return r.State == dsRUNNING; });
  for (size_t i = 0; i < FRows.size(); ++i) {
    if (Config.Jobs > 0 && running >= Config.Jobs) return;
    if (FRows[i].State != dsWAITING || !FRows[i].Queued) continue;
    Start(i);
    ++running;
  }
}

void TProductionLine::Start(size_t index) {
  TChild& child = *Children[index];
  const TLineDevice& device = Devices[index];
  // "--option=value" keeps a name or path that begins with "-" a value.
  QStringList args{"--batch", "--events", Arg("--name=" + device.Name),
                   Arg("--link=" + device.Link.Text)};
  if (!Config.ReportFile.empty()) args << Arg("--report=" + Config.ReportFile);
  for (const std::string& a : Config.SharedArgs) args << Arg(a);
  Discard(child.Process);
  child.Process = std::make_unique<QProcess>();
  child.Pending.clear();
  child.Stderr.clear();
  child.StopAsked = false;
  QProcess* p = child.Process.get();
  TChild* c = &child;
  p->setStandardInputFile(QProcess::nullDevice());
  QObject::connect(p, &QProcess::readyReadStandardOutput, p, [this, c] { ReadEvents(*c); });
  QObject::connect(p, &QProcess::readyReadStandardError, p, [p, c] {
    const QByteArray text = p->readAllStandardError();
    if (static_cast<qsizetype>(c->Stderr.size()) < kMaxStderr) c->Stderr += text.toStdString();
  });
  QObject::connect(p, &QProcess::finished, p, [this, c](int code, QProcess::ExitStatus s) {
    Ended(*c, code, s == QProcess::CrashExit);
  });
  QObject::connect(p, &QProcess::errorOccurred, p, [this, c, p](QProcess::ProcessError e) {
    if (e != QProcess::FailedToStart) return;
    FRows[c->Index].Error =
        "cannot start " + Config.Program + ": " + p->errorString().toStdString();
    Ended(*c, -1, true);
  });
  FRows[index].State = dsRUNNING;
  FRows[index].Queued = false;
  child.Clock.start();
  Show(index);
  p->start(Arg(Config.Program), args);
}

void TProductionLine::ReadEvents(TChild& child) {
  child.Pending += child.Process->readAllStandardOutput();
  bool applied = false;
  for (qsizetype end; (end = child.Pending.indexOf('\n')) >= 0;) {
    const QByteArray line = child.Pending.left(end);
    child.Pending.remove(0, end + 1);
    const QJsonDocument doc = QJsonDocument::fromJson(line);
    if (!doc.isObject()) continue;
    ApplyEvent(FRows[child.Index], doc.object());
    applied = true;
  }
  if (applied) Notify(child.Index);
}

void TProductionLine::Ended(TChild& child, int exit_code, bool crashed) {
  const size_t index = child.Index;
  TDeviceRow& row = FRows[index];
  if (row.State != dsRUNNING) return;
  if (child.Process && child.Process->state() == QProcess::NotRunning) {
    ReadEvents(child);
    child.Stderr += child.Process->readAllStandardError().toStdString();
  }
  row.Seconds = static_cast<double>(child.Clock.elapsed()) / 1000.0;
  if (!crashed && exit_code == 0) {
    row.State = dsCOMPLETED;
  } else if (child.StopAsked &&
             (crashed || exit_code == 128 + SIGINT || exit_code == 128 + SIGTERM)) {
    // A child the signal reached before it could stop the run cleanly was stopped all the same.
    row.State = dsSTOPPED;
  } else {
    row.State = dsFAILED;
    if (row.Error.empty()) row.Error = FirstLine(child.Stderr);
    if (row.Error.empty())
      row.Error = crashed ? "the updater ended abnormally"
                          : "the updater ended with status " + std::to_string(exit_code);
  }
  Show(index);
  StartWaiting();
  if (!Busy()) EndedAll();
}

void TProductionLine::Show(size_t index) {
  if (Out && Config.Table)
    Redraw();
  else if (Out)
    *Out << FormatProgressLine(FRows[index]) << '\n' << std::flush;
  Notify(index);
}

void TProductionLine::Notify(size_t index) {
  if (RowChanged) RowChanged(index);
}

void TProductionLine::UpdateElapsed() {
  for (size_t i = 0; i < FRows.size(); ++i)
    if (FRows[i].State == dsRUNNING)
      FRows[i].Seconds = static_cast<double>(Children[i]->Clock.elapsed()) / 1000.0;
}

void TProductionLine::Redraw() {
  if (!Out) return;
  UpdateElapsed();
  std::string text;
  if (DrawnLines > 0) text += "\033[" + std::to_string(DrawnLines) + "A";
  const std::vector<std::string> lines =
      FormatTable(FRows, Config.Width > 1 ? Config.Width - 1 : 1);
  for (const std::string& line : lines) text += "\r\033[K" + line + "\n";
  DrawnLines = lines.size();
  *Out << text << std::flush;
}

// ---- editing ----

void TProductionLine::AddDevice(const std::string& name, const std::string& link) {
  TLineDevice device;
  device.Name = name;
  device.Link.Text = link;
  device.LineNumber = static_cast<int>(Devices.size() + 1);
  Devices.push_back(std::move(device));
  FRows.emplace_back();
  FRows.back().Name = name;
  FRows.back().Link = link;
  Children.push_back(std::make_unique<TChild>());
  Children.back()->Index = Devices.size() - 1;
  Recheck();
}

bool TProductionLine::SetDevice(size_t index, const std::string& name, const std::string& link) {
  if (index >= FRows.size() || DeviceBusy(FRows[index])) return false;
  Devices[index].Name = name;
  Devices[index].Link = TLinkOption{};
  Devices[index].Link.Text = link;
  FRows[index] = TDeviceRow{};
  FRows[index].Name = name;
  FRows[index].Link = link;
  Recheck();
  return true;
}

bool TProductionLine::RemoveDevice(size_t index) {
  if (index >= FRows.size() || DeviceBusy(FRows[index])) return false;
  Discard(Children[index]->Process);
  Devices.erase(Devices.begin() + static_cast<std::ptrdiff_t>(index));
  FRows.erase(FRows.begin() + static_cast<std::ptrdiff_t>(index));
  Children.erase(Children.begin() + static_cast<std::ptrdiff_t>(index));
  for (size_t i = index; i < Children.size(); ++i) Children[i]->Index = i;
  Recheck();
  return true;
}

bool TProductionLine::SetDevices(std::vector<TLineDevice> devices) {
  if (Busy()) return false;
  for (auto& child : Children) Discard(child->Process);
  Devices = std::move(devices);
  FRows.assign(Devices.size(), TDeviceRow{});
  Children.clear();
  for (size_t i = 0; i < Devices.size(); ++i) {
    FRows[i].Name = Devices[i].Name;
    FRows[i].Link = Devices[i].Link.Text;
    Children.push_back(std::make_unique<TChild>());
    Children.back()->Index = i;
  }
  Recheck();
  return true;
}

bool TProductionLine::SetConfig(TConfig config) {
  if (Busy()) return false;
  Config = std::move(config);
  Recheck();
  return true;
}

// The devices busy are checked first: a device edited later never takes their link away.
void TProductionLine::Recheck() {
  TDeviceListCheck check(Config.Settings);
  for (const bool busy : {true, false}) {
    for (size_t i = 0; i < Devices.size(); ++i) {
      if (DeviceBusy(FRows[i]) != busy) continue;
      TLineDevice checked;
      const std::string text = Devices[i].Name + " " + Devices[i].Link.Text;
      FRows[i].Problem = check.Add(static_cast<int>(i + 1), text, checked);
      if (FRows[i].Problem.empty()) Devices[i].Link = checked.Link;
    }
  }
  if (ListChanged) ListChanged();
}
