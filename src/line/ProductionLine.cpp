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
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>

#include "formats/text.h"

namespace {

constexpr int kRedrawMs = 200;
// A child that writes more than this on stderr is cut: only the first lines say what failed.
constexpr qsizetype kMaxStderr = 64 * 1024;

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

std::string Right(const std::string& text, size_t width) {
  return std::string(width - std::min(width, text.size()), ' ') + text;
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

bool ParseDeviceList(const std::string& path, const std::vector<std::string>& lines,
                     const TSettingsLines& settings, std::vector<TLineDevice>& devices,
                     std::string& error) {
  std::vector<TLineDevice> found;
  std::map<std::string, const TLineDevice*> names, links;
  std::map<int32_t, const TLineDevice*> local_ports;
  found.reserve(lines.size());
  auto refuse = [&](int line, const std::string& why) {
    error = Excerpt(path) + ":" + std::to_string(line) + ": " + why;
    return false;
  };
  auto earlier = [](const TLineDevice* d) {
    return " by " + Quoted(d->Name) + " on line " + std::to_string(d->LineNumber);
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    const int n = static_cast<int>(i + 1);
    const std::string text = Trim(lines[i]);
    if (text.empty() || text[0] == '#') continue;
    const std::vector<std::string> fields = SplitBlanks(text);
    if (fields.size() != 2) return refuse(n, "NAME LINK expected, not " + Quoted(text));
    TLineDevice device{fields[0], {}, n};
    std::string why;
    if (!ParseLinkOption(fields[1], device.Link, why))
      return refuse(n, why + "; LINK is " + LinkForms());
    if (auto it = names.find(device.Name); it != names.end())
      return refuse(n,
                    "the name " + Quoted(device.Name) + " is already used" + earlier(it->second));
    const std::string key = LinkKey(device.Link, settings);
    if (auto it = links.find(key); it != links.end())
      return refuse(n, "the link " + Quoted(fields[1]) + " (" + Excerpt(key) + ") is already used" +
                           earlier(it->second));
    const bool udp = device.Link.Kind == TLinkOption::lkUDP;
    if (auto it = local_ports.find(device.Link.LocalPort); udp && it != local_ports.end())
      return refuse(n, "the UDP local port " + std::to_string(device.Link.LocalPort) +
                           " is already bound" + earlier(it->second));
    found.push_back(device);
    names[device.Name] = &found.back();
    links[key] = &found.back();
    if (udp) local_ports[device.Link.LocalPort] = &found.back();
  }
  if (found.empty()) {
    error = Excerpt(path) + ": no device listed";
    return false;
  }
  devices = std::move(found);
  return true;
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
  } else if (kind == "progress" && event["bar"].toString() == "overall") {
    row.OverallMax = std::max<int64_t>(event["max"].toInteger(), 0);
    row.OverallPosition = std::clamp<int64_t>(event["position"].toInteger(), 0, row.OverallMax);
    const QJsonValue eta = event["eta_seconds"];
    row.EtaSeconds = eta.isDouble() ? eta.toDouble() : -1;
    if (row.OverallMax > 0)
      row.Percent = static_cast<int>(100 * row.OverallPosition / row.OverallMax);
  } else if (kind == "result") {
    row.Ended = true;
    row.Error = Latin1(event["error"]);
    if (row.Error.empty()) row.Error = Latin1(event["failure"]);
    row.ErrorScript = QFile::encodeName(event["script"].toString()).toStdString();
  }
}

std::vector<std::string> FormatTable(const std::vector<TDeviceRow>& rows, size_t width) {
  size_t name_width = 4, link_width = 4;
  for (const TDeviceRow& r : rows) {
    name_width = std::max(name_width, r.Name.size());
    link_width = std::max(link_width, r.Link.size());
  }
  auto line = [&](const std::string& name, const std::string& link, const std::string& state,
                  const std::string& operation, const std::string& card, const std::string& percent,
                  const std::string& eta, const std::string& elapsed, const std::string& error) {
    std::string text = Cell(name, name_width) + "  " + Cell(link, link_width) + "  " +
                       Cell(state, 9) + "  " + Cell(operation, 22) + "  " + Cell(card, 6) + "  " +
                       Right(percent, 4) + "  " + Right(eta, 6) + "  " + Right(elapsed, 8) + "  " +
                       error;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text.size() > width ? text.substr(0, width) : text;
  };
  std::vector<std::string> out{
      line("NAME", "LINK", "STATE", "OPERATION", "CARD", "DONE", "ETA", "ELAPSED", "ERROR")};
  for (const TDeviceRow& r : rows) {
    const bool started = r.State != dsWAITING && !(r.State == dsSTOPPED && r.Seconds == 0);
    const bool eta = r.State == dsRUNNING && r.EtaSeconds >= 0;
    out.push_back(line(r.Name, r.Link, DeviceStateText(r.State), r.Operation, r.Card,
                       started ? std::to_string(r.Percent) + "%" : "",
                       eta ? std::to_string(std::lround(r.EtaSeconds)) + "s" : "",
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

std::string FormatSummary(const std::vector<TDeviceRow>& rows) {
  int counts[5] = {};
  for (const TDeviceRow& r : rows) ++counts[r.State];
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
  std::unique_ptr<QProcess> Process;
  QElapsedTimer Clock;
  QByteArray Pending;  // stdout not yet a whole line
  std::string Stderr;
};

TProductionLine::TProductionLine(TConfig config, std::vector<TLineDevice> devices,
                                 std::ostream& out)
    : Config(std::move(config)), Devices(std::move(devices)), Out(out) {
  for (const TLineDevice& d : Devices) {
    TDeviceRow row;
    row.Name = d.Name;
    row.Link = d.Link.Text;
    FRows.push_back(row);
    Children.push_back(std::make_unique<TChild>());
  }
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
  StartWaiting();
  if (!AllEnded()) {
    QEventLoop loop;
    Quit = [&loop] { loop.exit(0); };
    loop.exec();
    Quit = nullptr;
  }
  RedrawTimer.stop();
  if (Config.Table) Redraw();
  Out << FormatSummary(FRows) << std::flush;
  if (StopSignal != 0) return 128 + StopSignal;
  const bool all = std::all_of(FRows.begin(), FRows.end(),
                               [](const TDeviceRow& r) { return r.State == dsCOMPLETED; });
  return all ? 0 : 1;
}

void TProductionLine::Stop(int signal_number) {
  if (StopSignal == 0) StopSignal = signal_number;
  for (size_t i = 0; i < FRows.size(); ++i) {
    if (FRows[i].State == dsWAITING) {
      FRows[i].State = dsSTOPPED;
      Show(i);
    } else if (FRows[i].State == dsRUNNING && Children[i]->Process) {
      const qint64 pid = Children[i]->Process->processId();
      if (pid > 0) ::kill(static_cast<pid_t>(pid), signal_number);
    }
  }
  if (AllEnded() && Quit) Quit();
}

bool TProductionLine::AllEnded() const {
  return std::none_of(FRows.begin(), FRows.end(), [](const TDeviceRow& r) {
    return r.State == dsWAITING || r.State == dsRUNNING;
  });
}

void TProductionLine::StartWaiting() {
  if (StopSignal != 0) return;
  auto running = std::count_if(FRows.begin(), FRows.end(),
                               [](const TDeviceRow& r) { return r.State == dsRUNNING; });
  for (size_t i = 0; i < FRows.size(); ++i) {
    if (Config.Jobs > 0 && running >= Config.Jobs) return;
    if (FRows[i].State != dsWAITING) continue;
    Start(i);
    ++running;
  }
}

void TProductionLine::Start(size_t index) {
  TChild& child = *Children[index];
  const TLineDevice& device = Devices[index];
  // "--option=value" keeps a name or path that begins with "-" a value.
  QStringList args{"--batch", "--events", QString::fromLatin1("--name=" + device.Name),
                   QString::fromLatin1("--link=" + device.Link.Text)};
  for (const std::string& a : Config.SharedArgs) args << QString::fromLatin1(a);
  child.Process = std::make_unique<QProcess>();
  QProcess* p = child.Process.get();
  p->setStandardInputFile(QProcess::nullDevice());
  QObject::connect(p, &QProcess::readyReadStandardOutput, p, [this, index] { ReadEvents(index); });
  QObject::connect(p, &QProcess::readyReadStandardError, p, [p, &child] {
    const QByteArray text = p->readAllStandardError();
    if (static_cast<qsizetype>(child.Stderr.size()) < kMaxStderr)
      child.Stderr += text.toStdString();
  });
  QObject::connect(p, &QProcess::finished, p, [this, index](int code, QProcess::ExitStatus s) {
    Ended(index, code, s == QProcess::CrashExit);
  });
  QObject::connect(p, &QProcess::errorOccurred, p, [this, index, p](QProcess::ProcessError e) {
    if (e != QProcess::FailedToStart) return;
    FRows[index].Error = "cannot start " + Config.Program + ": " + p->errorString().toStdString();
    Ended(index, -1, true);
  });
  FRows[index].State = dsRUNNING;
  child.Clock.start();
  Show(index);
  p->start(QString::fromStdString(Config.Program), args);
}

void TProductionLine::ReadEvents(size_t index) {
  TChild& child = *Children[index];
  child.Pending += child.Process->readAllStandardOutput();
  for (qsizetype end; (end = child.Pending.indexOf('\n')) >= 0;) {
    const QByteArray line = child.Pending.left(end);
    child.Pending.remove(0, end + 1);
    const QJsonDocument doc = QJsonDocument::fromJson(line);
    if (doc.isObject()) ApplyEvent(FRows[index], doc.object());
  }
}

void TProductionLine::Ended(size_t index, int exit_code, bool crashed) {
  TDeviceRow& row = FRows[index];
  if (row.State != dsRUNNING) return;
  TChild& child = *Children[index];
  if (child.Process && child.Process->state() == QProcess::NotRunning) {
    ReadEvents(index);
    child.Stderr += child.Process->readAllStandardError().toStdString();
  }
  row.Seconds = static_cast<double>(child.Clock.elapsed()) / 1000.0;
  if (!crashed && exit_code == 0) {
    row.State = dsCOMPLETED;
  } else if (StopSignal != 0 &&
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
  if (AllEnded() && Quit) Quit();
}

void TProductionLine::Show(size_t index) {
  if (Config.Table)
    Redraw();
  else
    Out << FormatProgressLine(FRows[index]) << '\n' << std::flush;
}

void TProductionLine::Redraw() {
  for (size_t i = 0; i < FRows.size(); ++i)
    if (FRows[i].State == dsRUNNING)
      FRows[i].Seconds = static_cast<double>(Children[i]->Clock.elapsed()) / 1000.0;
  std::string text;
  if (DrawnLines > 0) text += "\033[" + std::to_string(DrawnLines) + "A";
  const std::vector<std::string> lines =
      FormatTable(FRows, Config.Width > 1 ? Config.Width - 1 : 1);
  for (const std::string& line : lines) text += "\r\033[K" + line + "\n";
  DrawnLines = lines.size();
  Out << text << std::flush;
}
