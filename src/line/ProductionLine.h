#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/LinkOption.h"

class QProcess;

// One line of a device list: "NAME LINK".
struct TLineDevice {
  std::string Name;
  TLinkOption Link;
  int LineNumber = 0;
};

// Reads a device list (`lines` of the file `path`): one "NAME LINK" per line, blank lines and
// lines beginning with '#' skipped. Refuses, with "path:line: reason", a malformed line, a bad
// link, a name or link used twice (COMn resolved through `settings`), and two UDP links that
// would bind the same local port.
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
  std::string Error;        // what failed
  std::string ErrorScript;  // where
  bool Ended = false;       // the child has reported its result
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
  };

  TProductionLine(TConfig config, std::vector<TLineDevice> devices, std::ostream& out);
  ~TProductionLine();
  TProductionLine(const TProductionLine&) = delete;
  TProductionLine& operator=(const TProductionLine&) = delete;

  // Runs every device to its end, prints the summary; 0 when every device completed, 1 when
  // one did not, 128 + the signal when Stop was called.
  int Exec();
  // Forwards the signal to every running child and starts no other.
  void Stop(int signal_number);

  const std::vector<TDeviceRow>& Rows() const { return FRows; }

 private:
  struct TChild;
  void StartWaiting();
  void Start(size_t index);
  void ReadEvents(size_t index);
  void Ended(size_t index, int exit_code, bool crashed);
  void Show(size_t index);
  void Redraw();
  bool AllEnded() const;

  TConfig Config;
  std::vector<TLineDevice> Devices;
  std::vector<TDeviceRow> FRows;
  std::vector<std::unique_ptr<TChild>> Children;
  std::ostream& Out;
  QTimer RedrawTimer;
  size_t DrawnLines = 0;
  int StopSignal = 0;
  std::function<void()> Quit;
};
