#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <set>
#include <string>

#include "app/LinkOption.h"
#include "app/MainView.h"
#include "app/RunObserver.h"
#include "sys/AppendFile.h"
#include "sys/ExitStatus.h"

class TRunController;
class TComDriverLink;
class TInstCrt;
class TReportFile;
class TRunEvents;
class TRunReport;
struct Options;

// The status box, error box and progress bars of a run without a window. Status lines go to
// `out` as they are added (unless `print_status` is off), but only while `running` says a run is
// active (the idle prompt is no part of a run). With `progress`, one line showing the whole
// run's progress with the time left and the three bars is redrawn on `err`.
class TBatchView : public TMainView {
 public:
  TBatchView(std::ostream& out, std::ostream& err, bool progress);

  std::function<bool()> running;
  bool print_status = true;

  const std::string& ErrorBoxText() const { return FErrorBox; }
  bool ErrorBoxShown() const { return FErrorBoxShown; }
  // The progress line as it is drawn (without the carriage return).
  std::string ProgressLine() const;
  // Whether `line` (escaped) went to `out` as a status line in this run.
  bool Printed(const std::string& line) const { return PrintedLines.contains(line); }
  // Removes the progress line from the terminal, so the shell prompt starts on a clean line.
  void ClearProgress();

  void SetTitle(const std::string&) override {}
  void AppendStatus(const std::string& line) override;
  void SetStartCaption(const std::string&) override {}
  void SetEnabled(TControl, bool) override {}
  void SetVisible(TControl, bool) override {}
  void SetProgress(TBar bar, int32_t position, int32_t max) override;
  // The whole run's progress (TRunObserver::OverallProgressChanged).
  void SetOverall(int64_t position, int64_t max, double eta_seconds);
  void ShowPortChoice(const TPortChoice&) override {}
  void ShowMode(bool) override {}
  void ShowErrorBox(const std::string& text) override;
  void CloseWindow() override {}

 private:
  struct TBarValue {
    int32_t Position = 0;
    int32_t Max = 100;
  };
  void DrawProgress(bool force);

  std::ostream& Out;
  std::ostream& Err;
  bool Progress;
  std::array<TBarValue, 3> Bars{};
  int64_t OverallPosition = 0, OverallMax = 0;
  double EtaSeconds = -1;
  std::string FErrorBox;
  bool FErrorBoxShown = false;
  bool ProgressShown = false;
  QElapsedTimer LastDraw;
  std::set<std::string> PrintedLines;
};

// Lines of the traffic trace for one chunk: milliseconds since start, ">" sent or "<" received,
// up to 16 bytes in hex and the same bytes as text ('.' for what does not print).
std::string FormatTraceChunk(int64_t ms, bool sent, const std::string& bytes);
// The first line of a trace file, naming the columns.
std::string TraceHeader();

// Ends a run when the device has been silent too long. Silence is counted from the last byte
// received, or from when `waiting` began to say that an engine waits for the device; a stall of
// the event loop itself (the JTAG engine's pause) does not count against the device.
class TSilenceWatch {
 public:
  TSilenceWatch(int32_t seconds, std::function<bool()> waiting, std::function<void()> expired);
  void Traffic();  // bytes arrived from the device

 private:
  void Check();

  int64_t LimitMs;
  std::function<bool()> Waiting;
  std::function<void()> Expired;
  QTimer Poll;
  QElapsedTimer Quiet;      // since the last byte, or since the wait began
  QElapsedTimer SincePoll;  // detects a stalled event loop
  bool WasWaiting = false;
};

// What a run without a window needs to know.
struct TBatchConfig {
  std::string ProgramDir;  // ends with '/'
  std::string Script;      // as given on the command line; empty for script.ini
  bool ReadId = false;
  int32_t TimeoutSeconds = 0;
  int32_t ConnectSeconds = 0;  // the link must connect within this; 0 for no limit
  std::string TraceFile;
  bool Progress = false;   // draw the progress line on `err`
  bool Events = false;     // JSON lines on `out` instead of the status lines
  bool OneScreen = false;  // `out` and `err` on one terminal: an error's lines are shown once
  std::string ReportFile;  // where the run's record is appended; empty for none
  std::string Name;        // the device's name in the record
  TLinkDescription Link;   // the connection, as the record names it
  // Makes the controller's port, LAN and COM-device choices before the run starts.
  std::function<void(TRunController& controller)> Configure;
};

// One update without a window: the window's run controller, engines and link, START (or Read Id)
// pressed at once, Auto mode. Needs a QCoreApplication; Exec returns the exit status.
class TBatchRun : private TRunObserver {
 public:
  TBatchRun(TBatchConfig config, std::ostream& out, std::ostream& err);
  ~TBatchRun();
  TBatchRun(const TBatchRun&) = delete;
  TBatchRun& operator=(const TBatchRun&) = delete;

  // Runs until the run is idle again (or Stop); the status to exit with.
  int Exec();
  // STOP: closes the link and makes Exec return ExitStatusOfStop(`signal_number`).
  void Stop(int signal_number);

  TRunController& Controller() { return *Ctl; }
  TInstCrt* CardEngine() { return Card; }

 private:
  bool OpenFiles(std::string& failure);
  int Conclude(int status, std::string failure);
  std::string TraceFailure(const std::string& why) const;
  void RunEnded(TRunOutcome outcome, const std::string& error, const std::string& script) override;
  void OverallProgressChanged(int64_t position, int64_t max, double eta_seconds) override;
  void Finish(int status);
  void CheckIdle();
  void Traffic(bool sent, const std::string& bytes);
  bool WaitingForDevice() const;
  void NoReply();
  void LinkChosen();
  void LinkConnected();
  void NotConnected();

  TBatchConfig Config;
  std::ostream& Err;
  TBatchView View;
  // The controller reports to these: they go after it.
  std::unique_ptr<TRunReport> Report;
  std::unique_ptr<TReportFile> ReportOut;
  std::unique_ptr<TRunEvents> Events;
  TComDriverLink* Link = nullptr;
  TInstCrt* Card = nullptr;
  std::unique_ptr<TRunController> Ctl;
  std::unique_ptr<TSilenceWatch> Watch;
  std::unique_ptr<TStreamFile> Trace;
  QElapsedTimer Clock;
  bool Started = false;
  bool Finished = false;
  int Status = kExitFailed;
  std::function<void(int)> Quit;
  QTimer IdleCheck;
  QTimer ConnectLimit;
};

// SIGINT, SIGTERM, SIGHUP and SIGPIPE as STOP while it lives: the handler only writes to a pipe
// that the event loop watches, and `stop` runs there with the signal number. With `resized`,
// SIGWINCH calls it there too.
class TStopSignals {
 public:
  explicit TStopSignals(std::function<void(int)> stop, std::function<void()> resized = {});
  ~TStopSignals();
  // Handles now, in order, the signals that have arrived but that the event loop has not yet
  // seen.
  void HandlePending();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

// The window's settings from the program folder's Updater.prm, never written back; a file that
// exists but cannot be read is said on stderr.
void ApplyProgramSettings(TRunController& controller, const std::string& program_dir);

// The device's longest silence in seconds that --batch and --line allow; 0 for no limit.
int32_t SilenceLimitSeconds(const Options& options);
// The longest wait for the link to connect that --batch and --line allow; 0 for no limit.
int32_t ConnectLimitSeconds(const Options& options);

// --batch from the command line: the program folder's settings, signals, stdout and stderr.
int RunBatch(const Options& options, const std::string& program_dir);
