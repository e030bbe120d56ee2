#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engines/gestionnaire.h"

// Carries out the instructions that address a card as a whole: prompt, wait, reset, ping,
// version write and read, and the device's start and end commands. Reports version checks and
// pings through OnVersionSame, OnCardError and OnCardReady.
class TInstCrt : public TGestionnaire {
 public:
  using TVersionNotifyEvent = std::function<void(TGestionnaire& sender, int32_t value)>;
  using TCardErrorNotifyEvent = TVersionNotifyEvent;
  using TCardReadyNotifyEvent = TVersionNotifyEvent;

  TInstCrt();

  void Step();
  uint8_t GetState() const { return State; }

  void ReportError(const std::string& text) override;
  void Reset() override;

  uint8_t State = 0;
  // Fired with the index in ComponentLetters of a component whose version read back matches.
  TVersionNotifyEvent OnVersionSame;
  // Fired with the card number of a ping.
  TVersionNotifyEvent OnCardError;
  TVersionNotifyEvent OnCardReady;
  // Wrapping millisecond tick counter; replaceable so that "wait" can be driven without a clock.
  std::function<uint32_t()> GetTickCount;

  // The text the engine stops with when `line`, taken into `first_state`, lacks a value that
  // its instruction must carry (wait time, component letter, version text, card number), or ""
  // when nothing is missing. Shared with the script checker, which sees no device.
  static std::string ValueFault(uint8_t first_state, const std::string& line);
  // The milliseconds of a "wait" line: decimal digits only, at most 32 bits.
  static std::optional<uint32_t> WaitTime(std::string_view line);

 private:
  void Recognize();
  void ShowPrompt();
  void StartWait();
  void CheckDone();
  bool ValuesPresent();
  void AcceptVersionCommand(bool drop_letter, bool set_max, uint8_t next);
  void CheckVersionWritten();
  void CheckReadCommand();
  void CheckVersionRead();
  void PingCard();
  void CheckPing();

  uint32_t WaitMs = 0;
  uint32_t WaitStart = 0;
  int32_t CardNumber = 0;
  std::string Line;  // the instruction as offered, for error texts
};
