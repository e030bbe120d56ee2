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

bool IsComment(const std::string& trimmed) {
  return trimmed.empty() || trimmed.rfind("rem", 0) == 0;
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

TDryEngines::TDryEngines(const std::string& card_dir) : CardDir(card_dir) {
  for (TEngineSlot* e : InRunOrder(Set)) {
    (*e)->SetCardDir(card_dir);
    (*e)->SetUpdateAllowed(true);
    (*e)->OnSend = [](TGestionnaire&) {};
    (*e)->OnError = [this](TGestionnaire& g) { Errors.push_back(g.GetErrorText()); };
  }
  P.Card->GetTickCount = [] { return uint32_t{0}; };
  P.Jtag->Pause = [](int) {};
}

TDryEngines::~TDryEngines() {
  for (TEngineSlot* e : InRunOrder(Set)) (*e)->Reset();
}

bool TDryEngines::Offer(const std::string& line) {
  return OfferInstruction(Set, line);
}

TNamedFile TDryEngines::NamedFile() const {
  if (P.Boot->IsBusy() && P.Boot->GetState() == TBootState::LoadFile) {
    const auto args = TProgBoot::PbArguments(P.Boot->GetInstruction());
    return {TNamedFile::nfBOOT_HEX, CardDir + args.Name, CardDir + args.Rest};
  }
  if (P.Psd->IsBusy() &&
      (P.Psd->GetState() == TPsdState::ProgramBank || P.Psd->GetState() == TPsdState::UploadFile)) {
    const std::string path = CardDir + (P.Psd->GetState() == TPsdState::UploadFile
                                            ? P.Psd->GetInstruction()
                                            : TProgPsd::BankFileName(P.Psd->GetInstruction()));
    return {TNamedFile::nfPSD_HEX, path, path};
  }
  if (P.Jtag->IsBusy() && P.Jtag->GetState() == TJtagState::PlayEffect) {
    const std::string path = CardDir + TProgJtag::EffectFileName(P.Jtag->GetInstruction());
    return {TNamedFile::nfEFFECT, path, path};
  }
  return {};
}
