#include "app/EngineSet.h"

#include "engines/InstCourante.h"
#include "engines/progboot.h"
#include "engines/progjtag.h"
#include "engines/progpsd.h"

TEngineSet MakeEngineSet(TEngineParts* parts) {
  auto boot = std::make_unique<TProgBoot>();
  auto card = std::make_unique<TInstCrt>();
  auto psd = std::make_unique<TProgPsd>();
  auto jtag = std::make_unique<TProgJtag>();
  if (parts) *parts = {boot.get(), card.get(), psd.get(), jtag.get()};
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
