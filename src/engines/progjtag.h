#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engines/gestionnaire.h"
#include "engines/svf.h"
#include "formats/text.h"

// The JTAG engine's states, numbered as they always were.
enum class TJtagState : uint8_t {
  Idle = 0,   // recognises "D", "P" and "F" with a JTAG target
  Error = 1,  // left only by Reset
  SendIdCommand = 3,
  WaitIdCommand = 4,
  WaitId = 5,      // the identification and "."
  PlayEffect = 6,  // "P" and the target
  WaitFileAccepted = 7,
  WaitStatementReply = 8,
  WaitEndReply = 9,
  SendFCommand = 10,
  WaitFCommand = 11,
  Done = 12,
};

// Carries out the JTAG instructions of a script against the targets "8" (PROM 1), "9" (PROM 2)
// and "A" (CPLD): "D" reads the identification, "P" plays an effect file statement by statement,
// "F" sends the F command. Lines for other targets belong to the PSD programmer and are left alone.
class TProgJtag : public TGestionnaire {
 public:
  TProgJtag();
  ~TProgJtag() override;

  void Step();
  TJtagState GetState() const { return State; }

  // Calls the base first (the run stops with `text`), then closes the effect file and ends busy.
  void ReportError(const std::string& text) override;
  // Back to idle; an effect file left open by a stopped run stays open until the next one opens.
  void Reset() override;

  // -1 when the file cannot be read or FileCheck refuses it (Refusal then says why); otherwise
  // opens it (closing one still open), counts its lines and leaves it at its first line. The
  // file is noted as read, with the hash of the bytes played, after its last line.
  int32_t OpenEffectFile(const std::string& path);
  void CloseEffectFile();
  bool IsEffectFileOpen() const { return EffectFileOpen; }

  // The reply of a TDO statement as hex text: ESC ESC stands for "1B", ESC "0" for "00", ESC "."
  // ends it, and an ESC before anything else is dropped.
  static std::string DecodeTdoReply(std::string_view reply);

  // The first ".", "X" or "R" anywhere in Received; '\0' when there is none.
  char FindReplyCode() const;

  // Encodes one effect-file line into Statement: empty, "Error" or the record.
  std::string EncodeStatement(const std::string& line);

  // The effect-file name of a "P" line, from Instruction as recognition leaves it (the target,
  // then the name). Shared with the script checker.
  static std::string EffectFileName(const std::string& instruction);

  // Blocks the calling thread after an effect file is opened, so the device can get ready.
  std::function<void(int ms)> Pause;

  TJtagState State = TJtagState::Idle;
  std::string CurrentLine;
  int32_t LineCount = 0;
  int32_t LineNumber = 0;
  char Target = 0;
  TSvfStatement Statement;

 private:
  void TakeInstruction();
  void WaitIdReply();
  void WaitFileAccepted();
  void WaitStatementReply();
  void WaitEndReply();
  void AwaitAck(TJtagState next);
  void ReadNextStatement();
  void CheckTdoReply();
  bool CountRetry();

  LineReader EffectFile;
  std::string EffectPath;
  bool EffectFileOpen = false;
  std::string Refusal;
};
