#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
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

// The order in which a run offers every instruction: boot, card, PSD, JTAG.
std::array<TEngineSlot*, 4> InRunOrder(TEngineSet& set);
// Offers one instruction to every engine in that order; the engine whose instruction it is
// becomes busy (or reports its error at once). True when one is busy afterwards.
bool OfferInstruction(TEngineSet& set, const std::string& line);

// Puts four engines into a set; `card` is whichever engine carries the three card events.
template <class Boot, class Card, class Psd, class Jtag>
TEngineSet AssembleEngineSet(std::unique_ptr<Boot> boot, std::unique_ptr<Card> card,
                             std::unique_ptr<Psd> psd, std::unique_ptr<Jtag> jtag) {
  TEngineSet set;
  set.OnVersionSame = &card->OnVersionSame;
  set.OnCardError = &card->OnCardError;
  set.OnCardReady = &card->OnCardReady;
  set.Boot = TEngineSlot(std::move(boot));
  set.Card = TEngineSlot(std::move(card));
  set.Psd = TEngineSlot(std::move(psd));
  set.Jtag = TEngineSlot(std::move(jtag));
  return set;
}

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
