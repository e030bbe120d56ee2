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
  return AssembleEngineSet(std::move(boot), std::move(card), std::move(psd), std::move(jtag));
}

std::array<TEngineSlot*, 4> InRunOrder(TEngineSet& set) {
  return {&set.Boot, &set.Card, &set.Psd, &set.Jtag};
}

bool OfferInstruction(TEngineSet& set, const std::string& line) {
  for (TEngineSlot* e : InRunOrder(set)) {
    (*e)->SetInstruction(line);
    e->Step();
  }
  for (TEngineSlot* e : InRunOrder(set))
    if ((*e)->IsBusy()) return true;
  return false;
}
