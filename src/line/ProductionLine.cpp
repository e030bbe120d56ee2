#include "line/ProductionLine.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <queue>
#include <set>

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

// Event text as the terminal and the summary show it: UTF-8, as names and paths are.
std::string Bytes(const QJsonValue& v) {
  return v.toString().toUtf8().toStdString();
}

// Columns count characters, not the bytes of UTF-8 names.
size_t Columns(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The first `columns` characters of `text`, never half of one.
std::string CutColumns(const std::string& text, size_t columns) {
  size_t seen = 0;
  for (size_t at = 0; at < text.size(); ++at)
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && seen++ == columns)
      return text.substr(0, at);
  return text;
}

std::string Cell(const std::string& text, size_t width) {
  const size_t columns = Columns(text);
  if (columns > width) return width == 0 ? "" : CutColumns(text, width - 1) + "~";
  return text + std::string(width - columns, ' ');
}

std::string Right(const std::string& text, size_t width) {
  return std::string(width - std::min(width, text.size()), ' ') + text;
}

std::string FirstLine(const std::string& text) {
  for (const std::string& line : SplitLines(text))
    if (!Trim(line).empty()) return Trim(line);
  return {};
}

}  // namespace

// ---- the device list ----

std::vector<std::string> TDeviceListCheck::Add(int line_number, const std::string& text,
                                               TLineDevice& device) {
  auto earlier = [](const TSeen& seen) {
    return " by " + Quoted(seen.Name) + " on line " + std::to_string(seen.LineNumber);
  };
  const std::vector<std::string> fields = SplitBlanks(text);
  if (fields.size() != 2) return {"NAME LINK expected, not " + Quoted(Trim(text))};
  // Written back to a list, it would read as a comment.
  if (fields[0][0] == '#') return {"the name " + Quoted(fields[0]) + " begins with \"#\""};
  TLineDevice found{fields[0], {}, line_number};
  std::string why;
  if (!ParseLinkOption(fields[1], found.Link, why)) return {why + "; LINK is " + LinkForms()};
  const std::string key = LinkKey(found.Link, Settings);
  const bool udp = found.Link.Kind == TLinkOption::lkUDP;
  const auto name = Names.find(found.Name);
  const auto link = Links.find(key);
  const auto port = udp ? LocalPorts.find(found.Link.LocalPort) : LocalPorts.end();
  std::vector<std::string> reasons;
  if (name != Names.end())
    reasons.push_back("the name " + Quoted(found.Name) + " is already used" +
                      earlier(name->second));
  if (link != Links.end())
    reasons.push_back("the link " + Quoted(fields[1]) + " (" + Excerpt(key) + ") is already used" +
                      earlier(link->second));
  if (port != LocalPorts.end())
    reasons.push_back("the UDP local port " + std::to_string(found.Link.LocalPort) +
                      " is already bound" + earlier(port->second));
  if (!reasons.empty()) return reasons;
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
  std::string errors;
  size_t count = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const int n = static_cast<int>(i + 1);
    const std::string text = Trim(lines[i]);
    if (text.empty() || text[0] == '#') continue;
    TLineDevice device;
    const std::vector<std::string> reasons = check.Add(n, text, device);
    // Every bad line is said at once, not one per try.
    for (const std::string& why : reasons)
      if (++count <= kMaxListErrors)
        errors += Excerpt(path) + ":" + std::to_string(n) + ": " + why + "\n";
    if (reasons.empty()) found.push_back(std::move(device));
  }
  if (count > kMaxListErrors)
    errors +=
        Excerpt(path) + ": " + std::to_string(count - kMaxListErrors) + " more errors not listed\n";
  if (found.empty() && count == 0) errors = Excerpt(path) + ": no device listed\n";
  if (!errors.empty()) {
    error = errors.substr(0, errors.size() - 1);
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

std::vector<std::string> WriteDeviceEntries(const std::vector<std::string>& lines,
                                            const std::vector<TLineDevice>& devices) {
  // The comments and blank lines before each entry's line, by its number.
  std::map<int, std::vector<std::string>> before;
  std::vector<std::string> pending;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string text = Trim(lines[i]);
    if (text.empty() || text[0] == '#') {
      pending.push_back(lines[i]);
    } else {
      before[static_cast<int>(i + 1)] = std::move(pending);
      pending.clear();
    }
  }
  std::set<int> kept;
  for (const TLineDevice& d : devices) kept.insert(d.LineNumber);
  std::vector<std::string> out;
  const auto removed_before = [&](int number) {
    for (auto it = before.begin(); it != before.end() && it->first < number;) {
      if (kept.count(it->first)) {
        ++it;
        continue;
      }
      out.insert(out.end(), it->second.begin(), it->second.end());
      it = before.erase(it);
    }
  };
  for (const TLineDevice& d : devices) {
    std::string text = d.Link.Text.empty() ? d.Name : d.Name + " " + d.Link.Text;
    if (const auto it = before.find(d.LineNumber); it != before.end()) {
      removed_before(d.LineNumber);
      out.insert(out.end(), it->second.begin(), it->second.end());
      before.erase(it);
      // Unchanged, it keeps its own spacing.
      const std::string& line = lines[static_cast<size_t>(d.LineNumber - 1)];
      const TLineDevice was = ReadDeviceEntries({line})[0];
      if (was.Name == d.Name && was.Link.Text == d.Link.Text) text = line;
    }
    out.push_back(std::move(text));
  }
  removed_before(std::numeric_limits<int>::max());
  out.insert(out.end(), pending.begin(), pending.end());
  return out;
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
    row.Operation = Trim(Bytes(event["text"]));
    row.Card = Bytes(event["card"]);
  } else if (kind == "progress" && event["bar"].toString() == "overall") {
    row.OverallMax = std::max<int64_t>(event["max"].toInteger(), 0);
    row.OverallPosition = std::clamp<int64_t>(event["position"].toInteger(), 0, row.OverallMax);
    const QJsonValue eta = event["eta_seconds"];
    row.EtaSeconds = eta.isDouble() ? eta.toDouble() : -1;
    if (row.OverallMax > 0)
      row.Percent = static_cast<int>(100 * row.OverallPosition / row.OverallMax);
  } else if (kind == "status") {
    if (row.Status.size() >= kMaxStatusLines)
      row.Status.erase(row.Status.begin(), row.Status.begin() + kMaxStatusLines / 2);
    row.Status.push_back(Bytes(event["text"]));
  } else if (kind == "result") {
    row.Ended = true;
    row.Result = Bytes(event["result"]);
    row.Error = Bytes(event["error"]);
    row.ErrorScript = Bytes(event["script"]);
    row.ReportFailure = Bytes(event["failure"]);
  }
}

bool DeviceBusy(const TDeviceRow& row) {
  return row.State == dsRUNNING || (row.State == dsWAITING && row.Queued);
}

bool DeviceStarted(const TDeviceRow& row) {
  return row.State != dsWAITING && !(row.State == dsSTOPPED && row.Seconds == 0);
}

std::vector<std::string> FormatTable(const std::vector<TDeviceRow>& rows, size_t width) {
  size_t name_width = 4, link_width = 4;
  for (const TDeviceRow& r : rows) {
    name_width = std::max(name_width, Columns(r.Name));
    link_width = std::max(link_width, Columns(r.Link));
  }
  auto line = [&](const std::string& name, const std::string& link, const std::string& state,
                  const std::string& operation, const std::string& card, const std::string& percent,
                  const std::string& eta, const std::string& elapsed, const std::string& error) {
    std::string text = Cell(name, name_width) + "  " + Cell(link, link_width) + "  " +
                       Cell(state, 9) + "  " + Cell(EscapeControls(operation), 22) + "  " +
                       Cell(EscapeControls(card), 6) + "  " + Right(percent, 4) + "  " +
                       Right(eta, 6) + "  " + Right(elapsed, 8) + "  " + EscapeControls(error);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return CutColumns(text, width);
  };
  std::vector<std::string> out{
      line("NAME", "LINK", "STATE", "OPERATION", "CARD", "DONE", "ETA", "ELAPSED", "ERROR")};
  for (const TDeviceRow& r : rows) {
    const bool started = DeviceStarted(r);
    const bool eta = r.State == dsRUNNING && r.EtaSeconds >= 0;
    out.push_back(line(r.Name, r.Link, DeviceStateText(r.State), r.Operation, r.Card,
                       started ? std::to_string(r.Percent) + "%" : "",
                       eta ? std::to_string(std::lround(r.EtaSeconds)) + "s" : "",
                       started ? Tenths(r.Seconds) + "s" : "",
                       r.State == dsFAILED ? r.Error : r.ReportFailure));
  }
  return out;
}

std::vector<std::string> FitTable(std::vector<std::string> lines,
                                  const std::vector<TDeviceRow>& rows, size_t max_lines) {
  if (max_lines == 0 || lines.size() <= max_lines) return lines;
  // The header and the count line take two; the devices that need watching go first.
  const size_t room = max_lines >= 2 ? max_lines - 2 : 0;
  constexpr int kRank[] = {2, 0, 3, 1, 2};  // waiting, running, completed, failed, stopped
  std::vector<size_t> order(rows.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return kRank[rows[a].State] < kRank[rows[b].State]; });
  std::vector<bool> shown(rows.size(), false);
  for (size_t i = 0; i < room && i < order.size(); ++i) shown[order[i]] = true;
  int hidden[5] = {};
  std::vector<std::string> out;
  if (max_lines >= 2) out.push_back(lines[0]);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (shown[i])
      out.push_back(lines[i + 1]);
    else
      ++hidden[rows[i].State];
  }
  std::string more = "(" + std::to_string(rows.size() - room) + " more:";
  const char* separator = " ";
  for (const TDeviceState state : {dsRUNNING, dsFAILED, dsWAITING, dsSTOPPED, dsCOMPLETED}) {
    if (hidden[state] == 0) continue;
    more += separator + std::to_string(hidden[state]) + " " + DeviceStateText(state);
    separator = ", ";
  }
  out.push_back(more + ")");
  return out;
}

namespace {

// The error of a failed device, with the script it happened in. A child's texts reach the
// terminal only escaped: they must not move its cursor.
std::string FailureText(const TDeviceRow& row) {
  return EscapeControls(row.Error + (row.ErrorScript.empty() ? "" : " (" + row.ErrorScript + ")"));
}

// A record that could not be written is a fact of its own, beside how the device ended.
std::string RecordNote(const TDeviceRow& row) {
  return row.ReportFailure.empty() ? "" : "; " + EscapeControls(row.ReportFailure);
}

}  // namespace

std::string FormatProgressLine(const TDeviceRow& row) {
  const std::string head = row.Name + " " + row.Link + ": ";
  switch (row.State) {
    case dsRUNNING:
      return head + "started";
    case dsCOMPLETED:
      return head + "completed in " + Tenths(row.Seconds) + " s" + RecordNote(row);
    case dsFAILED:
      return head + "failed after " + Tenths(row.Seconds) + " s: " + FailureText(row) +
             RecordNote(row);
    case dsSTOPPED:
      return head +
             (row.Seconds == 0 ? "stopped before it started"
                               : "stopped after " + Tenths(row.Seconds) + " s") +
             RecordNote(row);
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
  for (const TDeviceRow& r : rows)
    if (!r.ReportFailure.empty())
      text +=
          "not recorded: " + r.Name + " " + r.Link + ": " + EscapeControls(r.ReportFailure) + "\n";
  return text;
}

// ---- the line ----

namespace {

// A running child holds three descriptors here (its stdout, its stderr and the process
// itself), and one more until the event loop has seen it start; a start needs a few more for
// a moment.
constexpr size_t kFilesPerChild = 4;
constexpr size_t kFilesSpare = 16;

size_t OpenFiles() {
  std::error_code ec;
  size_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec))
    ++n;
  return n;
}

// How many children the open-file limit (`limit`) leaves room for; 0 when there is no limit.
size_t ChildrenTheFileLimitAllows(rlim_t& limit) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 0;
  limit = rl.rlim_cur;
  const size_t used = OpenFiles() + kFilesSpare;
  return limit > used ? std::max<size_t>(1, (limit - used) / kFilesPerChild) : 1;
}

// The signals that stop a run as STOP does: the operator's, a closed terminal or line, a
// closed output.
bool IsStopSignal(int signal_number) {
  return signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGHUP ||
         signal_number == SIGPIPE;
}

std::string SignalText(int signal_number) {
  const char* name = ::sigabbrev_np(signal_number);
  return std::to_string(signal_number) + (name ? std::string(" (SIG") + name + ")" : "");
}

// Arguments are the system's bytes: names and paths in UTF-8.
QString Arg(const std::string& bytes) {
  return QFile::decodeName(QByteArray::fromStdString(bytes));
}

}  // namespace

struct TProductionLine::TChild {
  size_t Index = 0;  // its row
  std::unique_ptr<QProcess> Process;
  QElapsedTimer Clock;
  QDateTime Start;
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

// A device's row before any run: its name and link as the list gives them.
TDeviceRow FreshRow(const TLineDevice& device) {
  TDeviceRow row;
  row.Name = device.Name;
  row.Link = device.Link.Text;
  return row;
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
  // Drawn last as a whole: nothing climbs back over it any more.
  Config.Height = 0;
  if (Config.Table) Redraw();
  if (Out) *Out << FormatSummary(FRows) << std::flush;
  if (StopSignal != 0) return 128 + StopSignal;
  const bool all = std::all_of(FRows.begin(), FRows.end(), [](const TDeviceRow& r) {
    return r.State == dsCOMPLETED && r.ReportFailure.empty();
  });
  return all ? 0 : 1;
}

void TProductionLine::Stop(int signal_number) {
  if (StopSignal == 0) StopSignal = signal_number;
  // A child ignores SIGPIPE until it can stop cleanly on it.
  const int forward = signal_number == SIGPIPE ? SIGTERM : signal_number;
  for (size_t i = 0; i < FRows.size(); ++i) StopRow(i, forward);
  if (!Busy()) EndedAll();
}

void TProductionLine::Resize(size_t width, size_t height) {
  if (width == Config.Width && height == Config.Height) return;
  // Lines cut to the old width wrap in a narrower terminal, and a lower one scrolls the top of
  // the table away: counting lines back up no longer finds it.
  if (width < Config.Width || (height > 0 && (Config.Height == 0 || height < Config.Height)))
    ClearScreen = true;
  Config.Width = width;
  Config.Height = height;
  if (Config.Table && DrawnLines > 0) Redraw();
}

void TProductionLine::StartAll() {
  LimitJobs();
  for (size_t i = 0; i < FRows.size(); ++i) Queue(i);
  StartWaiting();
}

void TProductionLine::StartDevice(size_t index) {
  if (index >= FRows.size()) return;
  LimitJobs();
  Queue(index);
  StartWaiting();
}

void TProductionLine::RetryFailed() {
  LimitJobs();
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

size_t TProductionLine::Running() const {
  return static_cast<size_t>(std::count_if(
      FRows.begin(), FRows.end(), [](const TDeviceRow& r) { return r.State == dsRUNNING; }));
}

// At the start of a line, as many devices at a time as asked and the open-file limit allows.
void TProductionLine::LimitJobs() {
  if (Busy()) return;
  Jobs = Config.Jobs > 0 ? static_cast<size_t>(Config.Jobs) : std::numeric_limits<size_t>::max();
  rlim_t limit = 0;
  if (const size_t room = ChildrenTheFileLimitAllows(limit);
      room > 0 && room < std::min(Jobs, FRows.size())) {
    Jobs = room;
    Note("at most " + std::to_string(room) + " devices at a time: the open-file limit (ulimit -n " +
         std::to_string(limit) + ") allows no more");
  }
}

void TProductionLine::Queue(size_t index) {
  TDeviceRow& row = FRows[index];
  if (StopSignal != 0 || row.State == dsRUNNING || row.Queued || !row.Problem.empty()) return;
  if (!LineClock.isValid()) LineClock.start();
  row = FreshRow(Devices[index]);
  row.Queued = true;
  Notify(index);
}

void TProductionLine::StopRow(size_t index, int signal_number) {
  TDeviceRow& row = FRows[index];
  TChild& child = *Children[index];
  if (row.State == dsWAITING && row.Queued) {
    row.State = dsSTOPPED;
    row.Queued = false;
    WriteLostRecord(index, -1);
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
  // Ctrl-C reaches every process of the terminal at once: the end of a child may come before
  // the line's own signal has been handled, though it has arrived.
  if (Config.PendingSignals) Config.PendingSignals();
  if (StopSignal != 0) return;
  for (size_t i = 0; i < FRows.size() && Running() < Jobs; ++i)
    if (FRows[i].State == dsWAITING && FRows[i].Queued) Start(i);
}

void TProductionLine::Start(size_t index) {
  TChild& child = *Children[index];
  const TLineDevice& device = Devices[index];
  // "--option=value" keeps a name or path that begins with "-" a value.
  QStringList args{"--batch", "--events", Arg("--name=" + device.Name),
                   Arg("--link=" + device.Link.Text)};
  for (const std::string& a : Config.SharedArgs) args << Arg(a);
  Discard(child.Process);
  child.Process = std::make_unique<QProcess>();
  child.Pending.clear();
  child.Stderr.clear();
  child.StopAsked = false;
  QProcess* p = child.Process.get();
  TChild* c = &child;
  p->setStandardInputFile(QProcess::nullDevice());
  const pid_t line_pid = ::getpid();
  p->setChildProcessModifier([line_pid] {
    // A device is never left updating unwatched: when the line goes, its child stops as STOP
    // stops a run, and writes its record.
    ::prctl(PR_SET_PDEATHSIG, SIGHUP);
    if (::getppid() != line_pid) ::_exit(128 + SIGHUP);
  });
  QObject::connect(p, &QProcess::readyReadStandardOutput, p, [this, c] { ReadEvents(*c); });
  QObject::connect(p, &QProcess::readyReadStandardError, p, [p, c] {
    const QByteArray text = p->readAllStandardError();
    if (static_cast<qsizetype>(c->Stderr.size()) < kMaxStderr) c->Stderr += text.toStdString();
  });
  QObject::connect(p, &QProcess::finished, p, [this, c](int code, QProcess::ExitStatus s) {
    Ended(*c, code, s == QProcess::CrashExit);
  });
  QObject::connect(p, &QProcess::errorOccurred, p, [this, c](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) FailedToStart(*c);
  });
  FRows[index].State = dsRUNNING;
  FRows[index].Queued = false;
  child.Clock.start();
  child.Start = QDateTime::currentDateTimeUtc();
  p->start(Arg(Config.Program), args);
  if (FRows[index].State == dsRUNNING) Show(index);
}

void TProductionLine::FailedToStart(TChild& child) {
  const size_t index = child.Index;
  const std::string why = child.Process->errorString().toStdString();
  Discard(child.Process);
  if (const size_t others = Running() - 1; others > 0) {
    // The line's own resources ran out (descriptors, processes), not the device: it waits
    // for another child to end.
    FRows[index].State = dsWAITING;
    FRows[index].Queued = true;
    Jobs = std::min(Jobs, others);
    Note("at most " + std::to_string(Jobs) + " devices at a time: the line could start no more");
    return;
  }
  FRows[index].Error = "cannot start " + Config.Program + ": " + why;
  Ended(child, -1, true);
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
  // A crashed child's code is the signal that ended it.
  const int signal_number = crashed ? exit_code : exit_code > 128 ? exit_code - 128 : 0;
  if (row.Ended)
    // Its own result decides, whatever its exit status says of the record.
    row.State = row.Result == "completed" ? dsCOMPLETED
                : row.Result == "stopped" ? dsSTOPPED
                                          : dsFAILED;
  else if (!crashed && exit_code == 0)
    row.State = dsCOMPLETED;
  else if (IsStopSignal(signal_number) || (child.StopAsked && crashed))
    // Ctrl-C reaches every process of the terminal: a child may end before the line has seen
    // its own signal. One the operator had to kill was stopped all the same.
    row.State = dsSTOPPED;
  else
    row.State = dsFAILED;
  if (row.State == dsFAILED && row.Error.empty()) {
    std::swap(row.Error, row.ReportFailure);
    if (row.Error.empty() && crashed && exit_code > 0)
      row.Error = "the updater was killed by signal " + SignalText(exit_code);
    if (row.Error.empty()) row.Error = FirstLine(child.Stderr);
    if (row.Error.empty()) row.Error = "the updater ended with status " + std::to_string(exit_code);
  }
  if (!row.Ended) WriteLostRecord(index, crashed ? -1 : exit_code);
  Show(index);
  StartWaiting();
  if (!Busy()) EndedAll();
}

// A child that ended without its result (killed, crashed, never started) wrote no record:
// the line writes what it knows, so that every device has one.
void TProductionLine::WriteLostRecord(size_t index, int exit_status) {
  if (Config.ReportFile.empty()) return;
  TDeviceRow& row = FRows[index];
  const TChild& child = *Children[index];
  TLostRun run;
  run.Name = row.Name;
  run.Link = DescribeConnection(ConnectionFromLink(Devices[index].Link, Config.Settings));
  run.Script = Config.Script;
  run.End = QDateTime::currentDateTimeUtc();
  run.Start = child.Start.isValid() ? child.Start : run.End;
  run.Outcome = row.State == dsCOMPLETED ? roCOMPLETED
                : row.State == dsSTOPPED ? roSTOPPED
                                         : roERROR;
  if (row.State == dsFAILED)
    run.Error = row.Error;
  else if (exit_status < 0 && child.Start.isValid() && child.Process)
    run.Error = "the updater was killed by signal " + SignalText(child.Process->exitCode());
  run.ExitStatus = exit_status;
  std::string failure;
  if (!Report) {
    Report = std::make_unique<TReportFile>();
    if (!Report->Open(Config.ReportFile, failure)) {
      Report.reset();
      row.ReportFailure = failure;
      return;
    }
  }
  if (!Report->Append(LostRunRecord(run), failure)) row.ReportFailure = failure;
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
  for (size_t i = 0; i < FRows.size(); ++i)
    if (FRows[i].State == dsRUNNING)
      FRows[i].Seconds = static_cast<double>(Children[i]->Clock.elapsed()) / 1000.0;
}

void TProductionLine::Redraw() {
  if (!Out) return;
  UpdateElapsed();
  const size_t width = Config.Width > 1 ? Config.Width - 1 : 1;
  // The cursor's own line stays on the screen too, or the next drawing could not climb back.
  const size_t room = Config.Height > 0 ? std::max<size_t>(Config.Height - 1, 1) : 0;
  const bool notice = !Notice.empty() && (room == 0 || room >= 2);
  std::vector<std::string> lines =
      FitTable(FormatTable(FRows, width), FRows, notice && room > 0 ? room - 1 : room);
  if (notice) lines.push_back(Notice);
  std::string text;
  if (ClearScreen)
    text += "\033[H\033[2J";
  else if (DrawnLines > 0)
    text += "\033[" + std::to_string(DrawnLines) + "A";
  ClearScreen = false;
  for (const std::string& line : lines) text += "\r\033[K" + CutColumns(line, width) + "\n";
  text += "\033[J";  // what a longer drawing left below
  DrawnLines = lines.size();
  *Out << text << std::flush;
}

// ---- editing ----

void TProductionLine::AddDevice(const std::string& name, const std::string& link) {
  TLineDevice device;
  device.Name = name;
  device.Link.Text = link;
  Devices.push_back(std::move(device));
  FRows.push_back(FreshRow(Devices.back()));
  Children.push_back(std::make_unique<TChild>());
  Children.back()->Index = Devices.size() - 1;
  Recheck();
}

bool TProductionLine::SetDevice(size_t index, const std::string& name, const std::string& link) {
  if (index >= FRows.size() || DeviceBusy(FRows[index])) return false;
  Devices[index].Name = name;
  Devices[index].Link = TLinkOption{};
  Devices[index].Link.Text = link;
  FRows[index] = FreshRow(Devices[index]);
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
  FRows.clear();
  Children.clear();
  for (size_t i = 0; i < Devices.size(); ++i) {
    FRows.push_back(FreshRow(Devices[i]));
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
      std::string problem;
      for (const std::string& why : check.Add(static_cast<int>(i + 1), text, checked))
        problem += (problem.empty() ? "" : "; ") + why;
      if (problem.empty()) Devices[i].Link = checked.Link;
      FRows[i].Problem = std::move(problem);
    }
  }
  if (ListChanged) ListChanged();
}
