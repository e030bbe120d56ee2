#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// A trimmed script line that is offered to no engine: empty, or beginning with "rem".
bool IsComment(const std::string& trimmed);

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

// A file an instruction line names: Intel HEX that the boot loader or the PSD programmer
// sends, or an effect file that the JTAG programmer plays.
struct TNamedFile {
  enum TKind : uint8_t { nfNONE, nfBOOT_HEX, nfPSD_HEX, nfEFFECT };
  TKind Kind = nfNONE;
  std::string Path;     // the card folder and the name
  std::string Missing;  // the path a run names when the file is missing ("PB": with the rest)
};

// Engines as a run holds them, but deaf and mute: what they send is counted and dropped,
// nothing is ever received, the clock stands still and nothing sleeps. Offering them a line
// shows which engine takes it and what file it names, without a device.
class TDryEngines {
 public:
  explicit TDryEngines(const std::string& card_dir);
  ~TDryEngines();
  TDryEngines(const TDryEngines&) = delete;
  TDryEngines& operator=(const TDryEngines&) = delete;

  // Offers `line` as a run does; true when an engine took it.
  bool Offer(const std::string& line);
  // The file the line offered last names.
  TNamedFile NamedFile() const;

  TEngineParts P;
  TEngineSet Set = MakeEngineSet(&P);
  std::vector<std::string> Errors;  // what the engines reported while offered the line

 private:
  std::string CardDir;
};
