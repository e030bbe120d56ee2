#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/RunObserver.h"

// The bytes one instruction line will send when the device answers every record at once: the
// records and statements of the file it names with their line ends, or a short command.
// `card_dir` is the folder the line's files are looked up in, ending with "/".
int64_t PlannedBytes(const std::string& line, const std::string& card_dir);

// How far a whole run has got: the bytes it has sent against those it will send, planned from
// the files its scripts name before it starts. The position never goes back; the total loses
// what the run passes over (a version already on the device, a component not selected, a card
// that did not answer) when that is decided, and both are equal once the run completes.
class TOverallProgress {
 public:
  // What a run will carry out: "SYN", the main script `script` (its `lines`) in `program_dir`,
  // the motherboard's sub-script in `card_folder`, with `closing` the standard script's closing
  // boot area and "OP", and "FI". Keeps what was done so far.
  void Plan(const std::string& script, const std::vector<std::string>& lines,
            const std::string& program_dir, const std::string& card_folder, bool closing);
  void Reset();

  void Begin(const TInstructionRef& line);
  // `bytes`: what the instruction under way has sent in all.
  void Sent(int64_t bytes);
  void End();
  void Skip(const TInstructionRef& line);
  void Complete();

  // Starts measuring the rate at `now_ms` (when the device is ready for the scripts).
  void StartClock(int64_t now_ms);
  // The seconds left at the rate measured since StartClock; below 0 while unknown.
  double EtaSeconds(int64_t now_ms) const;

  int64_t Position() const { return Done + CurrentSent; }
  int64_t Max() const { return Total; }

 private:
  int64_t PlanCardScript(const std::string& path, const std::string& card_dir);
  int64_t Weight(const TInstructionRef& line) const;

  std::map<std::string, int64_t> Weights;  // per instruction, by its script, line and word
  int64_t Total = 0;
  int64_t Done = 0;
  int64_t Current = 0;  // the weight of the instruction under way
  int64_t CurrentSent = 0;
  int64_t ClockMs = -1;
  int64_t ClockPosition = 0;
};
