#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/LinkOption.h"
#include "records/RunReport.h"

class QProcess;

// One line of a device list: "NAME LINK".
struct TLineDevice {
  std::string Name;
  TLinkOption Link;
  int LineNumber = 0;
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
};

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

// Runs one child of `program` per device ("--batch --events --name NAME --link LINK" and the
// shared arguments), at most `jobs` at a time, and shows their progress on `out`.
class TProductionLine {
 public:
  struct TConfig {
    std::string Program;                  // the updater itself
    std::vector<std::string> SharedArgs;  // passed to every child after its own
    int Jobs = 0;                         // 0: all at once
    bool Table = false;                   // `out` is a terminal: redraw a table in place
    size_t Width = 120;                   // of the terminal
    size_t Height = 0;                    // of the terminal; 0: no limit
    // The children's report file, where the line writes the record of a device whose child
    // wrote none (it never started, or died); empty for none.
    std::string ReportFile;
    std::string Script;       // the main script, as those records name it
    TSettingsLines Settings;  // COMn_DEVICE behind a COMn link, for those records
    // Handles the signals that have arrived but are not yet handled (Stop may follow); called
    // before a device starts.
    std::function<void()> PendingSignals;
  };

  TProductionLine(TConfig config, std::vector<TLineDevice> devices, std::ostream& out);
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

  const std::vector<TDeviceRow>& Rows() const { return FRows; }

 private:
  struct TChild;
  void StartWaiting();
  void Start(size_t index);
  void ReadEvents(size_t index);
  void FailedToStart(size_t index);
  void Ended(size_t index, int exit_code, bool crashed);
  void WriteLostRecord(size_t index, int exit_status);
  void Show(size_t index);
  void Note(const std::string& text);
  void Redraw();
  bool AllEnded() const;
  size_t Running() const;

  TConfig Config;
  std::vector<TLineDevice> Devices;
  std::vector<TDeviceRow> FRows;
  std::vector<std::unique_ptr<TChild>> Children;
  std::ostream& Out;
  QTimer RedrawTimer;
  size_t DrawnLines = 0;
  bool ClearScreen = false;  // the terminal shrank: what was drawn may have wrapped
  size_t Jobs = 0;           // at most this many children at a time
  std::string Notice;        // said once, and kept under the table
  std::unique_ptr<TReportFile> Report;
  int StopSignal = 0;
  std::function<void()> Quit;
};
