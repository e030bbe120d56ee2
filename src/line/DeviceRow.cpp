#include "line/DeviceRow.h"

#include <signal.h>

#include <QJsonValue>
#include <algorithm>
#include <cstring>
#include <functional>
#include <queue>

#include "formats/text.h"
#include "records/RunJson.h"
#include "sys/StopSignals.h"

namespace {

// A run that goes on talking keeps its latest status lines.
constexpr size_t kMaxStatusLines = 2000;

// Event text as the terminal and the summary show it: UTF-8, as names and paths are.
std::string Bytes(const QJsonValue& v) {
  return v.toString().toUtf8().toStdString();
}

std::string FirstLine(const std::string& text) {
  for (const std::string& line : SplitLines(text))
    if (!Trim(line).empty()) return Trim(line);
  return {};
}

// The signals that stop a run as STOP does: the operator's, a closed terminal or line, a
// closed output.
bool IsStopSignal(int signal_number) {
  return signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGHUP ||
         signal_number == SIGPIPE;
}

std::string SignalText(int signal_number) {
  const std::string number = std::to_string(signal_number), name = SignalName(signal_number);
  return name == number ? number : number + " (" + name + ")";
}

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

const char* RowStateText(const TDeviceRow& row) {
  return row.State == dsRUNNING && !row.Connected ? "connecting" : DeviceStateText(row.State);
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
  } else if (kind == "link_trouble") {
    // The table names the link already: the cause is what follows the device's address.
    const std::string text = Bytes(event["text"]);
    const size_t colon = text.rfind(": ");
    row.Trouble = colon == std::string::npos ? text : text.substr(colon + 2);
  } else if (kind == "connected") {
    row.Connected = true;
    row.Trouble.clear();
  } else if (kind == "device" || kind == "instruction_end") {
    row.Trouble.clear();
  } else if (kind == "result") {
    row.Ended = true;
    row.Result = Bytes(event["result"]);
    row.Error = Bytes(event["error"]);
    row.ErrorScript = PathOf(event, "script");
    row.ReportFailure = Bytes(event["failure"]);
  }
}

bool DeviceBusy(const TDeviceRow& row) {
  return row.State == dsRUNNING || (row.State == dsWAITING && row.Queued);
}

bool DeviceRefused(const TDeviceRow& row) {
  return !row.Problem.empty() && !DeviceBusy(row);
}

bool DeviceStarted(const TDeviceRow& row) {
  return row.State != dsWAITING && !(row.State == dsSTOPPED && row.Seconds == 0);
}
TDeviceRow FreshRow(const TLineDevice& device) {
  TDeviceRow row;
  row.Name = device.Name;
  row.Link = device.Link.Text;
  return row;
}

std::string RetryingText(const TDeviceRow& row) {
  return row.State == dsRUNNING && !row.Trouble.empty() ? "retrying: " + row.Trouble : "";
}

std::string KilledText(int signal_number) {
  return "the updater was killed by signal " + SignalText(signal_number);
}

void EndRow(TDeviceRow& row, int exit_code, bool crashed, bool stop_asked,
            const std::string& stderr_text) {
  // A crashed child's code is the signal that ended it.
  const int signal_number = crashed ? exit_code : exit_code > 128 ? exit_code - 128 : 0;
  if (row.Ended)
    // Its own result decides, whatever its exit status says of the record.
    row.State = row.Result == "completed" ? dsCOMPLETED
                : row.Result == "stopped" ? dsSTOPPED
                                          : dsFAILED;
  else if (!crashed && exit_code == 0)
    row.State = dsCOMPLETED;
  else if (IsStopSignal(signal_number) || (stop_asked && crashed))
    // Ctrl-C reaches every process of the terminal: a child may end before the line has seen
    // its own signal. One the operator had to kill was stopped all the same.
    row.State = dsSTOPPED;
  else
    row.State = dsFAILED;
  // The closing step is no operation of the device's: a completed row has none left.
  if (row.State == dsCOMPLETED) row.Operation = row.Card = "";
  if (row.State == dsFAILED && row.Error.empty()) {
    std::swap(row.Error, row.ReportFailure);
    if (row.Error.empty() && crashed && exit_code > 0) row.Error = KilledText(exit_code);
    if (row.Error.empty()) row.Error = FirstLine(stderr_text);
    if (row.Error.empty()) row.Error = "the updater ended with status " + std::to_string(exit_code);
  }
}

std::string FormatProgressLine(const TDeviceRow& row) {
  const std::string head = EscapeControls(row.Name + " " + row.Link) + ": ";
  switch (row.State) {
    case dsRUNNING:
      return head + (row.Trouble.empty() ? "started" : EscapeControls(RetryingText(row)));
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

std::array<int, 5> CountStates(const TRows& rows) {
  std::array<int, 5> counts{};
  for (const TDeviceRow& r : rows) ++counts[r.State];
  return counts;
}

double LineEtaSeconds(const TRows& rows, int jobs) {
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

std::string FormatSummary(const TRows& rows, TSummaryKind kind) {
  std::array<int, 5> counts = CountStates(rows);
  // A refused row shows "refused", not its state, until an edit mends it.
  int refused = 0;
  for (const TDeviceRow& r : rows)
    if (kind == skLIVE && DeviceRefused(r)) {
      --counts[r.State];
      ++refused;
    }
  std::string text = std::to_string(rows.size()) + (rows.size() == 1 ? " device: " : " devices: ");
  const char* separator = "";
  for (int s = kind == skLIVE ? dsWAITING : dsCOMPLETED; s <= dsSTOPPED; ++s) {
    text +=
        separator + std::to_string(counts[s]) + " " + DeviceStateText(static_cast<TDeviceState>(s));
    separator = ", ";
  }
  if (kind == skLIVE) {
    if (refused > 0) text += " (" + std::to_string(refused) + " refused by the check)";
    return text;
  }
  text += "\n";
  for (const TDeviceRow& r : rows)
    if (r.State == dsFAILED)
      text += "failed: " + EscapeControls(r.Name + " " + r.Link) + ": " + FailureText(r) + "\n";
  // What a stop left behind on each device it interrupted.
  for (const TDeviceRow& r : rows)
    if (r.State == dsSTOPPED && DeviceStarted(r))
      text += "stopped: " + EscapeControls(r.Name + " " + r.Link) +
              (r.Connected ? ": may be partly updated; run the update again to finish it\n"
                           : ": before its link connected; nothing was sent\n");
  for (const TDeviceRow& r : rows)
    if (!r.ReportFailure.empty())
      text +=
          "not recorded: " + EscapeControls(r.Name + " " + r.Link + ": " + r.ReportFailure) + "\n";
  return text;
}
