#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <functional>
#include <string>

#include "app/LinkOption.h"
#include "app/RunObserver.h"
#include "sys/AppendFile.h"

// The record of one run, built from what the run controller reports: its id, the station, when,
// where, what was read (with SHA-256), the package's seal (null when unsealed), every instruction
// with its figures, versions, and how it ended.
class TRunReport : public TRunObserver {
 public:
  // `name` is the device's name on a production line ("" when none); `link` describes the
  // connection when a run starts.
  TRunReport(std::string name, std::function<TLinkDescription()> link);

  // The last run's record; an exit status below 0 is written as null (the window has none).
  QJsonObject Record(int exit_status) const;
  bool Started() const { return Start.isValid(); }
  // Called when a run starts, after its id is made.
  std::function<void()> Began;
  // Called once a run has ended, after the record is complete.
  std::function<void()> Ended;

  void RunStarted(const std::string& script) override;
  void FileRead(const std::string& path, const std::string& sha256) override;
  void SealChecked(const TSealReport& seal) override;
  void DeviceReported(const TDeviceReport& device) override;
  void InstructionStarted(const TInstructionRef& line, const std::string& engine) override;
  void InstructionEnded(const TInstructionRef& line, const TInstructionEnd& end) override;
  void InstructionSkipped(const TInstructionRef& line, const std::string& reason) override;
  void VersionSeen(const TVersionNote& note) override;
  void RunEnded(TRunOutcome outcome, const std::string& error, const std::string& script) override;

 private:
  std::string Name;
  std::function<TLinkDescription()> Link;
  QJsonObject Fields;  // everything but the lists, the end and the exit status
  QJsonArray Files, Instructions, VersionsRead, VersionsWritten;
  QDateTime Start, End;
  QElapsedTimer Clock;
  qint64 InstructionStartMs = 0;
  TRunOutcome Outcome = roNONE;
};

// What is known of a run whose process ended without writing its record.
struct TLostRun {
  std::string Name;
  TLinkDescription Link;
  std::string Script;
  QDateTime Start, End;
  TRunOutcome Outcome = roERROR;
  std::string Error;
  int ExitStatus = -1;  // below 0: none (killed by a signal, never started)
};
// Its record, in the form of TRunReport::Record, with no device, files or instructions.
QJsonObject LostRunRecord(const TLostRun& run);

// A report file shared by many processes. Each record is one line, appended with a single
// write under an exclusive lock, so records never interleave or tear.
class TReportFile {
 public:
  // Opens (creates) `path` for appending, without blocking. Refuses anything but a regular
  // file, and this process's own stdout or stderr. False with `error` naming the file and why.
  [[nodiscard]] bool Open(const std::string& path, std::string& error);
  // REQUIRES: Open succeeded. On failure the file is left as it was before the call.
  [[nodiscard]] bool Append(const QJsonObject& record, std::string& error);

 private:
  TSharedAppendFile File;
  std::string Path;
};
