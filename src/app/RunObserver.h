#pragma once

#include <cstdint>
#include <string>

#include "app/MainView.h"
#include "engines/gestionnaire.h"

// How a run ended. The one decision every consumer (batch exit status, records, events) uses.
enum TRunOutcome : uint8_t { roNONE, roCOMPLETED, roERROR, roSTOPPED };
const char* OutcomeText(TRunOutcome outcome);  // "", "completed", "error", "stopped"

// An instruction the run carried out or passed over.
struct TInstructionRef {
  std::string Script;  // the file the line is in; the main script for the run's own steps
  int32_t Line = 0;    // from 1; 0 for the run's own steps (SYN, the closing PB, OP and FI)
  std::string Text;    // the line as written
  std::string Card;    // the card's folder name ("Qubra", "UQubra", "DVI"), "" in the main script
};

enum TInstructionResult : uint8_t { irDONE, irSKIPPED, irFAILED, irSTOPPED };
const char* ResultText(TInstructionResult result);  // "done", "skipped", "failed", "stopped"

struct TInstructionEnd {
  TInstructionResult Result = irDONE;
  std::string Engine;  // "boot", "card", "psd", "jtag"
  int32_t Retries = 0;
  int64_t Sent = 0;      // bytes the engine sent
  int64_t Received = 0;  // bytes that arrived while it worked
};

// What the boot loader reported at synchronisation.
struct TDeviceReport {
  std::string Type;          // "30" or "35"
  std::string Id;            // as the device sent it: four hex digits, unless it erred
  std::string BootChecksum;  // four hex digits, as shown
};

// What a package's seal said when a run began.
struct TSealReport {
  bool Sealed = false;    // the package holds a manifest
  bool Verified = false;  // signed by a trusted key, every file as it was sealed
  std::string ManifestSha256;
  std::string KeyId;           // as the signing tool prints it; "" when none could be read
  std::string TrustedComment;  // vouched for only when Verified
};

// Follows a run as the run controller carries it out. Calls come on the event-loop thread,
// from inside the controller's steps; an observer must not drive the controller from them.
class TRunObserver {
 public:
  virtual ~TRunObserver() = default;
  virtual void RunStarted(const std::string& /*script*/) {}
  virtual void StatusAdded(const std::string& /*line*/) {}
  virtual void ProgressChanged(TMainView::TBar /*bar*/, int32_t /*position*/, int32_t /*max*/) {}
  // The whole run's progress in bytes sent (TOverallProgress): `position` never goes back and
  // equals `max` once the run completes; `eta_seconds` is below 0 while unknown.
  virtual void OverallProgressChanged(int64_t /*position*/, int64_t /*max*/,
                                      double /*eta_seconds*/) {}
  // `sha256` is of the bytes the run read and used, not of the file as it is now.
  virtual void FileRead(const std::string& /*path*/, const std::string& /*sha256*/) {}
  // The link failed and is tried again (a TCP connection refused); `text` names the cause and
  // the device. Said once per cause.
  virtual void LinkTroubled(const std::string& /*text*/) {}
  // Before the device is contacted, when the run has a package gate.
  virtual void SealChecked(const TSealReport& /*seal*/) {}
  virtual void DeviceReported(const TDeviceReport& /*device*/) {}
  virtual void InstructionStarted(const TInstructionRef& /*line*/, const std::string& /*engine*/) {}
  virtual void InstructionEnded(const TInstructionRef& /*line*/, const TInstructionEnd& /*end*/) {}
  // `reason`: "version match", "not selected" or "card did not answer".
  virtual void InstructionSkipped(const TInstructionRef& /*line*/, const std::string& /*reason*/) {}
  virtual void VersionSeen(const TVersionNote& /*note*/) {}
  // `error` and `script` (where it happened) are empty unless the outcome is an error.
  virtual void RunEnded(TRunOutcome /*outcome*/, const std::string& /*error*/,
                        const std::string& /*script*/) {}
};
