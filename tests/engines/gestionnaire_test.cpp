#include "engines/gestionnaire.h"

#include <gtest/gtest.h>

#include "engine_harness.h"

namespace {

// The smallest engine on the base: takes "GO", sends "g", waits for ".".
class TestEngine : public TGestionnaire {
 public:
  void Step() {
    switch (State) {
      case 0:
        if (Busy || Instruction.rfind("GO", 0) != 0) return;
        BeginBusy();
        State = 1;
        break;
      case 1:
        Send("g");
        State = 2;
        break;
      case 2:
        FetchReceived();
        if (!Received.empty() && Received[0] == '.') {
          Consume(".");
          EndBusy();
          State = 0;
        }
        break;
    }
  }
  void CountRetry() { ++RetryCount; }
  uint8_t State = 0;
};

}  // namespace

TEST(Gestionnaire, InitialValuesAndReset) {
  TestEngine e;
  EXPECT_EQ(e.GetProgressMax(), 100);
  EXPECT_EQ(e.GetDeviceId(), 0);
  EXPECT_FALSE(e.IsBusy());
  EXPECT_FALSE(e.UpdateAllowed());
  EXPECT_TRUE(e.GetSendText().empty() && e.GetReceived().empty() && e.GetErrorText().empty());

  int events = 0;
  e.OnStatus = e.OnError = e.OnBusyChange = e.OnDeviceId =
      e.OnProgressMax = [&](TGestionnaire&) { ++events; };
  e.SetCardDir("/pkg/Qubra/");
  e.SetDeviceVariant(true);
  e.SetStatus("s");
  e.ReportError("x");
  e.BeginBusy();
  e.SetDeviceId(0x5678);
  e.SetProgressMax(7);
  e.SetUpdateAllowed(true);
  e.SetInstruction("P0 a.hex");
  e.Send("g");
  e.SetReceived("abc");
  e.CountRetry();
  events = 0;
  e.Reset();
  EXPECT_EQ(events, 0);
  EXPECT_EQ(e.GetProgressMax(), 100);
  EXPECT_EQ(e.GetDeviceId(), 0);
  EXPECT_FALSE(e.IsBusy());
  EXPECT_FALSE(e.UpdateAllowed());
  EXPECT_EQ(e.GetInstruction(), "");
  EXPECT_EQ(e.GetStatusText(), "");
  EXPECT_EQ(e.GetErrorText(), "");
  EXPECT_EQ(e.GetSendText(), "");
  EXPECT_EQ(e.GetReceived(), "");
  EXPECT_EQ(e.GetRetryCount(), 0);
  EXPECT_EQ(e.GetCardDir(), "/pkg/Qubra/");
  EXPECT_TRUE(e.GetDeviceVariant());
}

TEST(Gestionnaire, EventsFireAfterTheFieldIsWritten) {
  TestEngine e;
  std::vector<std::string> seen;
  e.OnSend = [&](TGestionnaire& g) { seen.push_back("send " + g.GetSendText()); };
  e.OnStatus = [&](TGestionnaire& g) { seen.push_back("status " + g.GetStatusText()); };
  e.OnError = [&](TGestionnaire& g) { seen.push_back("error " + g.GetErrorText()); };
  e.OnDeviceId = [&](TGestionnaire& g) { seen.push_back("id " + std::to_string(g.GetDeviceId())); };
  e.OnDeviceVariant = [&](TGestionnaire& g) {
    seen.push_back(g.GetDeviceVariant() ? "variant 1" : "variant 0");
  };
  e.OnBusyChange = [&](TGestionnaire& g) { seen.push_back(g.IsBusy() ? "busy" : "idle"); };
  e.Send("SYN");
  e.SetStatus("Erasing");
  e.ReportError("Update Not Allowed !!!");
  e.SetDeviceId(22136);
  e.SetDeviceVariant(true);
  e.BeginBusy();
  e.EndBusy();
  EXPECT_EQ(seen,
            (std::vector<std::string>{"send SYN", "status Erasing", "error Update Not Allowed !!!",
                                      "id 22136", "variant 1", "busy", "idle"}));
}

TEST(Gestionnaire, ConsumeRemovesByLength) {
  TestEngine e;
  int changes = 0;
  e.OnReceivedChange = [&](TGestionnaire&) { ++changes; };
  e.SetReceived("AB.");
  e.Consume(".");
  EXPECT_EQ(e.GetReceived(), "B.");
  e.Consume("X");
  EXPECT_EQ(e.GetReceived(), ".");
  e.Consume("longer than the rest");
  EXPECT_EQ(e.GetReceived(), "");
  EXPECT_EQ(changes, 3);
  e.SetReceived("abc");
  e.ClearReceived();
  EXPECT_EQ(e.GetReceived(), "");
  EXPECT_EQ(changes, 4);
}

TEST(Gestionnaire, NoHandlersStillUpdatesFields) {
  TestEngine e;
  e.Send("x");
  e.SetStatus("y");
  e.ReportError("z");
  e.SetProgressMax(5);
  e.ProgressStep();
  e.FetchReceived();
  e.NotifyOperationEnd();
  EXPECT_EQ(e.GetSendText(), "x");
  EXPECT_EQ(e.GetStatusText(), "y");
  EXPECT_EQ(e.GetErrorText(), "z");
  EXPECT_EQ(e.GetProgressMax(), 5);
}

TEST(Gestionnaire, StepProtocolThroughTheHarness) {
  TestEngine e;
  EngineHarness<TestEngine> h(e);
  e.SetInstruction("GO");
  EXPECT_TRUE(h.log.empty());  // SetInstruction fires nothing
  EXPECT_FALSE(h.Offer("STOP"));
  EXPECT_TRUE(h.log.empty());  // not recognised: no event at all
  h.device = [](const std::string& sent) { return sent == "g" ? "." : ""; };
  h.buffer = "Z";  // something received earlier stays in front
  ASSERT_TRUE(h.Offer("GO"));
  e.Step();  // sends "g"
  e.Step();  // "Z" stands in front: waits
  EXPECT_TRUE(e.IsBusy());
  h.buffer.erase(0, 1);
  h.RunUntilIdle();
  EXPECT_FALSE(e.IsBusy());
  EXPECT_EQ(h.buffer, "");
  EXPECT_EQ(h.log, (std::vector<std::string>{"busy:1", "send:g", "busy:0"}));
  // Busy in state 0 with a matching instruction does nothing.
  e.BeginBusy();
  h.log.clear();
  e.SetInstruction("GO");
  e.Step();
  EXPECT_TRUE(h.log.empty());
}
