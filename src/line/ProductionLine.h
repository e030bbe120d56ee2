#pragma once

#include <QTimer>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "line/DeviceChild.h"
#include "line/DeviceList.h"
#include "line/DeviceRow.h"
#include "line/LineTable.h"
#include "sys/Child.h"

// Runs one child of `program` per device ("--batch --events --name NAME --link LINK" and the
// shared arguments) through `children`, at most `jobs` at a time, and shows their progress on
// `out`, or only through RowChanged when there is no `out` (a window).
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
  // row's Problem and is never started. REQUIRES: `children` outlives the line.
  TProductionLine(TConfig config, std::vector<TLineDevice> devices, TChildRunner& children,
                  std::ostream& out);
  TProductionLine(TConfig config, std::vector<TLineDevice> devices, TChildRunner& children);
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

  TRows Rows() const { return TRows(Slots); }
  // The list's devices as edited, each with the line it was read from.
  std::vector<TLineDevice> Listed() const;
  // Brings the elapsed time of the running devices up to now.
  void UpdateElapsed();
  // Since the first of the devices now busy started; the whole time of the last ones once
  // they have all ended.
  double LineSeconds() const;
  // Elapsed times from `now_ms` (milliseconds of a steady clock) instead of the system's.
  void UseClock(std::function<int64_t()> now_ms);
  // What the line had to say of itself (fewer devices at a time than asked, and why); "" for
  // nothing.
  const std::string& GetNotice() const { return Notice; }

  // A row's state, progress or text changed.
  std::function<void(size_t index)> RowChanged;
  // Rows were added, removed or checked again.
  std::function<void()> ListChanged;

 private:
  void LimitJobs();
  void Queue(size_t index);
  void StopRow(size_t index, int signal_number);
  int StopSignalFor(const TDeviceRun& run) const;
  void StartWaiting();
  void Start(size_t index);
  void FailedToStart(size_t index, const std::string& why);
  void Ended(TDeviceSlot& slot, int exit_code, bool crashed, const std::string& stderr_text);
  void WriteLostRecord(size_t index, int exit_status);
  void NoteHistory(const std::string& stderr_text);
  size_t IndexOf(const TDeviceSlot& slot) const;
  void Show(size_t index);
  void Notify(size_t index);
  void Note(const std::string& text);
  void Redraw();
  void Recheck();
  void EndedAll();
  size_t Running() const;
  double SecondsSince(int64_t ms) const;

  TConfig Config;
  TChildRunner& Children;
  // Each device where it stays while the list changes: its child's reports find it there.
  std::vector<std::unique_ptr<TDeviceSlot>> Slots;
  std::ostream* Out = nullptr;
  TTableScreen Screen;
  QTimer RedrawTimer;
  QObject HistoryAnswers;  // the history's answers come only while the line is there
  std::function<int64_t()> NowMs;  // milliseconds of a steady clock
  int64_t LineStartedMs = -1;      // -1 while no device of the line runs
  double LineEnded = 0;            // LineSeconds once the last device ended
  size_t Jobs = 0;                 // at most this many children at a time
  std::string Notice;              // said once, and kept under the table
  std::string NoRoom;              // why not even one child can start; "" when one can
  TLostRecords Lost;
  int StopSignal = 0;
  std::function<void()> Quit;
};
