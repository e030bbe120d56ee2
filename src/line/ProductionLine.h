#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/LinkOption.h"
#include "records/RunReport.h"

class QProcess;

// One line of a device list: "NAME LINK".
struct TLineDevice {
  std::string Name;
  TLinkOption Link;  // Text as written; the rest once checked
  int LineNumber = 0;
};

// Checks the devices of a list one after the other, each against those accepted before it: a
// malformed line, a bad link, a name or link used twice (COMn resolved through `settings`), and
// two UDP links that would bind the same local port.
class TDeviceListCheck {
 public:
  explicit TDeviceListCheck(const TSettingsLines& settings) : Settings(settings) {}
  // Every reason `text` ("NAME LINK") is refused; none when it names a sound device, which
  // then fills `device` and is remembered.
  std::vector<std::string> Add(int line_number, const std::string& text, TLineDevice& device);

 private:
  struct TSeen {
    std::string Name;
    int LineNumber = 0;
  };
  const TSettingsLines& Settings;
  std::map<std::string, TSeen> Names, Links;
  std::map<int32_t, TSeen> LocalPorts;
};

// Reads a device list (`lines` of the file `path`): one "NAME LINK" per line, blank lines and
// lines beginning with '#' skipped. Refuses a malformed line, a bad link, a name or link used
// twice (COMn resolved through `settings`), and two UDP links that would bind the same local
// port: `error` then holds one line "path:line: reason" for each, up to kMaxListErrors, and
// one that counts the rest.
inline constexpr size_t kMaxListErrors = 20;
bool ParseDeviceList(const std::string& path, const std::vector<std::string>& lines,
                     const TSettingsLines& settings, std::vector<TLineDevice>& devices,
                     std::string& error);
// The devices a list names, unchecked: every line neither blank nor a comment, its first word
// the name and the rest the link.
std::vector<TLineDevice> ReadDeviceEntries(const std::vector<std::string>& lines);
// The list as written back over `lines`, the list as it was read: each device after the
// comments and blank lines that came before its own line (LineNumber; 0 for a device added
// since), a removed device's comments kept for the next, and the list's last ones at the end.
std::vector<std::string> WriteDeviceEntries(const std::vector<std::string>& lines,
                                            const std::vector<TLineDevice>& devices);

enum TDeviceState : uint8_t { dsWAITING, dsRUNNING, dsCOMPLETED, dsFAILED, dsSTOPPED };
const char* DeviceStateText(TDeviceState state);

// What the line shows of one device.
struct TDeviceRow {
  std::string Name;
  std::string Link;  // as the list gives it
  TDeviceState State = dsWAITING;
  std::string Operation;  // the instruction being carried out
  std::string Card;
  int Percent = 0;  // of the bytes the run will send: OverallPosition of OverallMax
  double Seconds = 0;
  std::string Error;          // what failed
  std::string ErrorScript;    // where
  bool Ended = false;         // the child has reported its result
  std::string Result;         // the child's own: "completed", "error" or "stopped"
  std::string ReportFailure;  // why the device's record could not be written
  // The run's overall progress as the child reports it: bytes sent of those it will send
  // (never going back), and the seconds it estimates are left, below 0 while unknown.
  int64_t OverallPosition = 0;
  int64_t OverallMax = 0;
  double EtaSeconds = -1;
  // The run's status lines, the latest last.
  std::vector<std::string> Status;
  // Waiting for its turn to start.
  bool Queued = false;
  // Why the list's check refuses the device; "" when it is sound.
  std::string Problem;
};

// The device runs or waits for its turn.
bool DeviceBusy(const TDeviceRow& row);
// The device's last run has begun: it has a progress and a time to show.
bool DeviceStarted(const TDeviceRow& row);

// Takes one --events object of the device's child into its row.
void ApplyEvent(TDeviceRow& row, const QJsonObject& event);

// The live table, one line per device, each cut to `width` characters; the first line names
// the columns.
std::vector<std::string> FormatTable(const std::vector<TDeviceRow>& rows, size_t width);
// The table's `lines` (of `rows`) in at most `max_lines` lines: the running and failed devices
// first, and a last line (not cut to the width) that counts the others by state. 0: no limit.
std::vector<std::string> FitTable(std::vector<std::string> lines,
                                  const std::vector<TDeviceRow>& rows, size_t max_lines);
// One plain line for a device that starts or ends (not on a terminal).
std::string FormatProgressLine(const TDeviceRow& row);
// Counts by state, then one line per device that failed, with its error.
std::string FormatSummary(const std::vector<TDeviceRow>& rows);
// How many rows are in each state, indexed by TDeviceState.
std::array<int, 5> CountStates(const std::vector<TDeviceRow>& rows);
// The time left of the whole line: the devices running end as they expect, and those waiting
// for their turn take the first slots that come free (at most `jobs` at a time, 0 for all),
// each as long as the devices completed took, or else as those running expect to take.
// 0 when nothing runs or waits; below 0 when it cannot be told.
double LineEtaSeconds(const std::vector<TDeviceRow>& rows, int jobs);

// Runs one child of `program` per device ("--batch --events --name NAME --link LINK" and the
// shared arguments), at most `jobs` at a time, and shows their progress on `out`, or only
// through RowChanged when there is no `out` (a window).
class TProductionLine {
 public:
  struct TConfig {
    std::string Program;                  // the updater itself
    std::vector<std::string> SharedArgs;  // passed to every child after its own
    int Jobs = 0;                         // 0: all at once
    bool Table = false;                   // `out` is a terminal: redraw a table in place
    size_t Width = 120;                   // of the terminal
    size_t Height = 0;                    // of the terminal; 0: no limit
    // The children's report file, where the line also writes the record of a device whose
    // child wrote none (it never started, or died); empty for none.
    std::string ReportFile;
    std::string Script;       // the main script, as those records name it
    TSettingsLines Settings;  // COMn_DEVICE behind a COMn link, for the list and the records
    // Handles the signals that have arrived but are not yet handled (Stop may follow); called
    // before a device starts.
    std::function<void()> PendingSignals;
  };

  // Every device is checked (TDeviceListCheck); one that is refused keeps its reason in its
  // row's Problem and is never started.
  TProductionLine(TConfig config, std::vector<TLineDevice> devices, std::ostream& out);
  TProductionLine(TConfig config, std::vector<TLineDevice> devices);
  ~TProductionLine();
  TProductionLine(const TProductionLine&) = delete;
  TProductionLine& operator=(const TProductionLine&) = delete;

  // Runs every device to its end, prints the summary; 0 when every device completed, 1 when
  // one did not, 128 + the signal when Stop was called.
  int Exec();
  // Forwards the signal (SIGTERM for SIGPIPE) to every running child and starts no other.
  void Stop(int signal_number);
  // The terminal's new size: the table is drawn again to fit.
  void Resize(size_t width, size_t height);

  // Each start queues devices that are neither running nor refused, resets their rows and
  // starts as many as the jobs allow: every one, the one at `index`, or those that failed.
  void StartAll();
  void StartDevice(size_t index);
  void RetryFailed();
  // A device waiting for its turn is stopped before it starts; a running one is sent SIGTERM
  // and stops as STOP stops a run, its record written. Asked again once it has had a few seconds
  // to stop, it is killed (the line writes its record).
  void StopDevice(size_t index);
  void StopAll();
  // A device runs or waits for its turn.
  bool Busy() const;

  // Editing the list. A device that runs or waits for its turn is left as it is (false). After
  // a change every device is checked again; a changed one is back to waiting.
  void AddDevice(const std::string& name, const std::string& link);
  bool SetDevice(size_t index, const std::string& name, const std::string& link);
  bool RemoveDevice(size_t index);
  bool SetDevices(std::vector<TLineDevice> devices);
  // Another package folder's arguments and settings; only while nothing is busy.
  bool SetConfig(TConfig config);
  const TConfig& GetConfig() const { return Config; }

  const std::vector<TDeviceRow>& Rows() const { return FRows; }
  // The list's devices as edited, each with the line it was read from.
  const std::vector<TLineDevice>& Listed() const { return Devices; }
  // Brings the elapsed time of the running devices up to now.
  void UpdateElapsed();
  // Since the first of the devices now busy started; the whole time of the last ones once
  // they have all ended.
  double LineSeconds() const;
  // What the line had to say of itself (fewer devices at a time than asked, and why); "" for
  // nothing.
  const std::string& GetNotice() const { return Notice; }

  // A row's state, progress or text changed.
  std::function<void(size_t index)> RowChanged;
  // Rows were added, removed or checked again.
  std::function<void()> ListChanged;

 private:
  struct TChild;
  void LimitJobs();
  void Queue(size_t index);
  void StopRow(size_t index, int signal_number);
  int StopSignalFor(const TChild& child) const;
  void StartWaiting();
  void Start(size_t index);
  void ReadEvents(TChild& child);
  void FailedToStart(TChild& child);
  void Ended(TChild& child, int exit_code, bool crashed);
  void WriteLostRecord(size_t index, int exit_status);
  void Show(size_t index);
  void Notify(size_t index);
  void Note(const std::string& text);
  void Redraw();
  void Recheck();
  void EndedAll();
  size_t Running() const;

  TConfig Config;
  std::vector<TLineDevice> Devices;
  std::vector<TDeviceRow> FRows;
  std::vector<std::unique_ptr<TChild>> Children;
  std::ostream* Out = nullptr;
  QTimer RedrawTimer;
  QElapsedTimer LineClock;
  double LineEnded = 0;  // LineSeconds once the last device ended
  size_t DrawnLines = 0;
  bool ClearScreen = false;  // the terminal shrank: what was drawn may have wrapped
  size_t Jobs = 0;           // at most this many children at a time
  std::string Notice;        // said once, and kept under the table
  std::unique_ptr<TReportFile> Report;
  int StopSignal = 0;
  std::function<void()> Quit;
};
