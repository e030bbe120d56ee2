#pragma once

#include <QJsonObject>
#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "app/RunObserver.h"

// --events: what a run does as JSON Lines on `out`, one object per line, each flushed at once
// so that another program can follow the run live. Every object has "event": "start", "seal",
// "status", "link_trouble", "connected", "progress", "device", "instruction_start", "instruction_end",
// "instruction_skipped" or, last, "result". The "overall" progress is {"bar":"overall",
// "position":P,"max":M,"eta_seconds":S} in bytes, S null while unknown.
class TRunEvents : public TRunObserver {
 public:
  explicit TRunEvents(std::ostream& out);

  // The closing "result" event, once the process knows its exit status. `failure` names what
  // failed outside the run itself (the report file).
  void Finish(int exit_status, const std::string& failure = "");
  // "connected": the link to the device is open (a TCP connection made).
  void LinkConnected();

  void RunStarted(const std::string& script) override;
  void SealChecked(const TSealReport& seal) override;
  void StatusAdded(const std::string& line) override;
  void LinkTroubled(const std::string& text) override;
  void ProgressChanged(TMainView::TBar bar, int32_t position, int32_t max) override;
  void OverallProgressChanged(int64_t position, int64_t max, double eta_seconds) override;
  void DeviceReported(const TDeviceReport& device) override;
  void InstructionStarted(const TInstructionRef& line, const std::string& engine) override;
  void InstructionEnded(const TInstructionRef& line, const TInstructionEnd& end) override;
  void InstructionSkipped(const TInstructionRef& line, const std::string& reason) override;
  void RunEnded(TRunOutcome outcome, const std::string& error, const std::string& script) override;

 private:
  void Emit(const char* event, QJsonObject fields);

  std::ostream& Out;
  bool Running = false;
  bool Finished = false;
  // Progress goes out when a bar's whole percent or its maximum changes, not on every step.
  std::array<int, 3> ShownPercent{-1, -1, -1};
  std::array<int32_t, 3> ShownMax{-1, -1, -1};
  int64_t OverallPercent = -1, OverallMax = -1, OverallPosition = -1;
  TRunOutcome Outcome = roNONE;
  std::string Error, ErrorScript;
};
