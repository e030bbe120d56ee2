#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "engines/gestionnaire.h"

using TCardNotifyEvent = std::function<void(TGestionnaire& sender, int32_t value)>;

// One owned engine with its Step, which each engine class declares for itself.
class TEngineSlot {
 public:
  TEngineSlot() = default;
  template <class Engine>
  explicit TEngineSlot(std::unique_ptr<Engine> engine)
      : FStep([p = engine.get()] { p->Step(); }), FEngine(std::move(engine)) {}

  TGestionnaire* operator->() const { return FEngine.get(); }
  TGestionnaire& operator*() const { return *FEngine; }
  TGestionnaire* get() const { return FEngine.get(); }
  void Step() const { FStep(); }

 private:
  std::function<void()> FStep;
  std::unique_ptr<TGestionnaire> FEngine;
};

// The four engines the run controller owns, and the card engine's three own events, so the
// controller can wire them without knowing the engine classes.
struct TEngineSet {
  TEngineSlot Boot, Card, Psd, Jtag;
  TCardNotifyEvent* OnVersionSame = nullptr;
  TCardNotifyEvent* OnCardError = nullptr;
  TCardNotifyEvent* OnCardReady = nullptr;
};

class TProgBoot;
class TInstCrt;
class TProgPsd;
class TProgJtag;

// Where the real engines of a set live, for callers that adjust them (tests replace the card
// engine's clock and the JTAG engine's pause).
struct TEngineParts {
  TProgBoot* Boot = nullptr;
  TInstCrt* Card = nullptr;
  TProgPsd* Psd = nullptr;
  TProgJtag* Jtag = nullptr;
};

// The four real engines.
TEngineSet MakeEngineSet(TEngineParts* parts = nullptr);
