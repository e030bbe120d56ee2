#pragma once

#include <cstdint>
#include <functional>
#include <string>

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

 private:
  void Recognize();
  void ShowPrompt();
  void StartWait();
  void CheckDone();
  bool HasComponentLetter();
  void AcceptVersionCommand(bool drop_letter, bool set_max, uint8_t next);
  void CheckVersionWritten();
  void CheckReadCommand();
  void CheckVersionRead();
  void PingCard();
  void CheckPing();
  bool Begins(char c) const { return !Received.empty() && Received[0] == c; }

  uint32_t WaitMs = 0;
  uint32_t WaitStart = 0;
  int32_t CardNumber = 0;
  std::string Line;  // the instruction as offered, for error texts
};
