#pragma once

#include <ostream>

#include "app/RunController.h"

// Failures name a state by its number, as the state table does.
inline void PrintTo(TRunState state, std::ostream* os) {
  *os << static_cast<int>(state);
}

// What the tests look at and set inside a run controller, beyond what its users may.
class TRunControllerProbe {
 public:
  explicit TRunControllerProbe(TRunController& controller) : C(controller) {}

  static constexpr size_t kMaxReceiveBuffer = TRunController::kMaxReceiveBuffer;

  void SetRunState(TRunState s) { C.RunState = s; }
  size_t ReceivedPending() const { return C.ReceiveBuffer.size(); }
  const std::string& GetVersionText() const { return C.VersionText; }
  const card_rec& GetMotherboardCard() const { return C.MotherboardCard; }
  const std::string& GetCurentCardDir() const { return C.FCurentCardDir; }
  int32_t GetCardIndex() const { return C.CardIndex; }
  int TimerInterval() const { return C.Timer1.interval(); }
  bool TimerActive() const { return C.Timer1.isActive(); }
  TGestionnaire& BootEngine() { return *C.Engines.Boot; }
  TGestionnaire& CardEngine() { return *C.Engines.Card; }
  TGestionnaire& PsdEngine() { return *C.Engines.Psd; }
  TGestionnaire& JtagEngine() { return *C.Engines.Jtag; }

 private:
  TRunController& C;
};
