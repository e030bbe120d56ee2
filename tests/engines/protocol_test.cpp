// The step protocol as every one of the four engines must keep it, checked on all of them alike.
#include <gtest/gtest.h>

#include "engines/InstCourante.h"
#include "engines/engine_harness.h"
#include "engines/progboot.h"
#include "engines/progjtag.h"
#include "engines/progpsd.h"

namespace {

using Texts = std::vector<std::string>;

// A line the engine takes, the reply that makes it fail, and whether it reports the error before
// it ends busy (the JTAG engine) or after (the others).
struct Refusal {
  std::string line, reply, error;
  bool error_first;
};

template <class Engine>
struct Refusing {
  static Refusal Refused();
};
template <>
Refusal Refusing<TProgBoot>::Refused() {
  return {"SYN", ".XX", "Bad type of device !!!", false};
}
template <>
Refusal Refusing<TInstCrt>::Refused() {
  return {"RS", "I", "Instruction unknown", false};
}
template <>
Refusal Refusing<TProgPsd>::Refused() {
  return {"F3", "I", "Instruction unknown", false};
}
template <>
Refusal Refusing<TProgJtag>::Refused() {
  return {"F8", "I", "Instruction unknown", true};
}

template <class Engine>
class EngineProtocol : public ::testing::Test {};
using AllEngines = ::testing::Types<TProgBoot, TInstCrt, TProgPsd, TProgJtag>;
TYPED_TEST_SUITE(EngineProtocol, AllEngines);

// Plays the failing exchange: one reply character per step until the engine is idle.
template <class Engine>
void Fail(EngineHarness<Engine>& h, const Refusal& r) {
  h.e.SetUpdateAllowed(true);
  ASSERT_TRUE(h.Offer(r.line)) << r.line;
  for (char c : r.reply) {
    h.Step();
    h.Reply(std::string(1, c));
  }
  h.RunUntilIdle(20);
  ASSERT_EQ(h.errors, Texts{r.error}) << r.line;
}

TYPED_TEST(EngineProtocol, BusyInStateZeroIgnoresEvenItsOwnInstruction) {
  TypeParam e;
  EngineHarness<TypeParam> h(e);
  e.BeginBusy();
  h.log.clear();
  const std::string line = Refusing<TypeParam>::Refused().line;
  e.SetInstruction(line);
  h.Step(3);
  EXPECT_TRUE(h.log.empty()) << line;
  EXPECT_EQ(e.GetState(), decltype(e.GetState())::Idle);
  EXPECT_EQ(e.GetInstruction(), line);
}

TYPED_TEST(EngineProtocol, ErrorEndsBusyInTheEnginesOrder) {
  TypeParam e;
  EngineHarness<TypeParam> h(e);
  const Refusal r = Refusing<TypeParam>::Refused();
  Fail(h, r);
  ASSERT_GE(h.log.size(), 2u);
  const Texts tail(h.log.end() - 2, h.log.end());
  EXPECT_EQ(tail, r.error_first ? Texts({"error:" + r.error, "busy:0"})
                                : Texts({"busy:0", "error:" + r.error}));
  // The error state ignores every further step and line.
  h.log.clear();
  h.Step(3);
  EXPECT_FALSE(h.Offer(r.line));
  EXPECT_TRUE(h.log.empty());
}

TYPED_TEST(EngineProtocol, ResetRestoresTheBaseAndKeepsCardDirAndVariant) {
  TypeParam e;
  EngineHarness<TypeParam> h(e);
  EXPECT_EQ(e.GetProgressMax(), 100);
  EXPECT_EQ(e.GetDeviceId(), 0);
  EXPECT_FALSE(e.IsBusy());
  EXPECT_FALSE(e.UpdateAllowed());
  EXPECT_FALSE(e.GetDeviceVariant());
  EXPECT_TRUE(e.GetSendText().empty() && e.GetStatusText().empty() && e.GetErrorText().empty());
  e.SetCardDir("/cards/Qubra/");
  e.SetDeviceVariant(true);
  e.SetDeviceId(0x5678);
  e.SetProgressMax(7);
  e.SetStatus("s");
  Fail(h, Refusing<TypeParam>::Refused());
  h.buffer = "left over";
  e.FetchReceived();
  ASSERT_FALSE(e.GetSendText().empty());
  ASSERT_FALSE(e.GetReceived().empty());
  h.log.clear();
  e.Reset();
  EXPECT_TRUE(h.log.empty());  // Reset fires nothing
  EXPECT_EQ(e.GetState(), decltype(e.GetState())::Idle);
  EXPECT_EQ(e.GetInstruction(), "");
  EXPECT_EQ(e.GetReceived(), "");
  EXPECT_EQ(e.GetSendText(), "");
  EXPECT_EQ(e.GetErrorText(), "");
  EXPECT_EQ(e.GetStatusText(), "");
  EXPECT_EQ(e.GetProgressMax(), 100);
  EXPECT_EQ(e.GetDeviceId(), 0);
  EXPECT_FALSE(e.UpdateAllowed());
  EXPECT_FALSE(e.IsBusy());
  EXPECT_EQ(e.GetCardDir(), "/cards/Qubra/");
  EXPECT_TRUE(e.GetDeviceVariant());
  // And it takes its instruction again.
  EXPECT_TRUE(h.Offer(Refusing<TypeParam>::Refused().line));
}

// The run controller's offer of a line that belongs to no engine: boot, card, PSD, JTAG in turn.
TEST(EngineProtocol, LineOfNoEngineRaisesNoEventAnywhere) {
  TProgBoot boot;
  TInstCrt card;
  TProgPsd psd;
  TProgJtag jtag;
  EngineHarness<TProgBoot> hb(boot);
  EngineHarness<TInstCrt> hc(card);
  EngineHarness<TProgPsd> hp(psd);
  EngineHarness<TProgJtag> hj(jtag);
  for (TGestionnaire* g : std::initializer_list<TGestionnaire*>{&boot, &card, &psd, &jtag})
    g->SetUpdateAllowed(true);
  for (std::string line : {"", "HDR 0;", "C0", "CM", "Prompt x", "p0 a.hex", "d8", "f9", "PX a",
                           "D", "F", "P", "Ping", "SY", "X8", "ENDIR IDLE;", "E1", "A"}) {
    EXPECT_FALSE(hb.Offer(line)) << line;
    EXPECT_FALSE(hc.Offer(line)) << line;
    EXPECT_FALSE(hp.Offer(line)) << line;
    EXPECT_FALSE(hj.Offer(line)) << line;
  }
  EXPECT_EQ(hb.log, Texts{});
  EXPECT_EQ(hc.log, Texts{});
  EXPECT_EQ(hp.log, Texts{});
  EXPECT_EQ(hj.log, Texts{});
}

}  // namespace
