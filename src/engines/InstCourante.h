#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engines/gestionnaire.h"

// The card engine's states, numbered as they always were.
enum class TCardState : uint8_t {
  Idle = 0,  // recognises the card instructions
  Prompt = 1,
  StartWait = 2,
  Waiting = 3,  // until the "wait" time has passed
  SendReset = 4,
  WaitReset = 5,
  SendNp = 6,
  WaitNp = 7,
  Done = 8,
  Error = 9,  // left only by Reset
  SendFinish = 10,
  WaitFinish = 11,
  SendVersionCommand = 12,  // "V" and the component letter
  WaitVersionCommand = 13,
  WaitVersionWritten = 14,
  SendReadCommand = 15,  // "T" and the component letter
  WaitReadCommand = 16,
  WaitVersion = 17,  // four version characters and "."
  SendUvCommand = 18,
  WaitUvCommand = 19,
  WaitUvWritten = 20,
  SendStart = 21,  // "FY"
  WaitStart = 22,
  PingCard = 23,
  WaitPing = 24,
  SendOpCommand = 25,
  WaitOpCommand = 26,
  WaitOpWritten = 27,
};

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
  TCardState GetState() const { return State; }

  void ReportError(const std::string& text) override;
  void Reset() override;

  TCardState State = TCardState::Idle;
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
  static std::string ValueFault(TCardState first_state, const std::string& line);
  // The milliseconds of a "wait" line: decimal digits only, at most 32 bits.
  static std::optional<uint32_t> WaitTime(std::string_view line);

 private:
  void Recognize();
  void ShowPrompt();
  void StartWait();
  void CheckDone();
  bool ValuesPresent();
  void AcceptVersionCommand(bool drop_letter, bool set_max, TCardState next);
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
