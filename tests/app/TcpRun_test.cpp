#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <functional>

#include "app/ComDriverLink.h"
#include "app/loopback_peer.h"
#include "app/run_fixture.h"
#include "app/scripted_device.h"
#include "engines/progjtag.h"

using ::testing::ElementsAreArray;

namespace {

// Whole runs with the real engines and the real driver over TCP to a scripted device on
// 127.0.0.1. The controller's own Timer1 drives the run; the test only turns the event loop.
class TcpRunTest : public RunFixture {
 protected:
  void SetUp() override {
    RunFixture::SetUp();
    Write("script.ini", "rem full update\r\nM0\r\nCM\r\nC0\r\n");
    Write("BOOT_EXT_OPTION.HEX", ":020000040000FA\r\n:02400000ABCD46\r\n:00000001FF\r\n");
    Write("Qubra/script.ini", "T0 0130\r\nP0 bank0.hex\r\nV0 0130\r\nP8 prom1.svf\r\n");
    Write("Qubra/bank0.hex", ":0400000001020304F2\r\n:00000001FF\r\n");
    Write("Qubra/prom1.svf", "// prom\r\nSIR 8 TDI (FE);\r\nSDR 16 TDI (1234);\r\n");
    Write("DVI/script.ini", "rem dvi\r\nM1\r\n");
    auto link = std::make_unique<TComDriverLink>();
    TEngineParts parts;
    TEngineSet set = MakeEngineSet(&parts);
    parts.Jtag->Pause = [](int) {};
    ctl = std::make_unique<TRunController>(view, std::move(link), std::move(set),
                                           TRunConfig{prog, "", false});
    ctl->SetLanSettings({CON_TCP, "127.0.0.1", peer.Port(), 10500});
    ctl->SetPortChoice({1, true});
  }

  // Turns the event loop until `done` or a generous time limit.
  bool SpinUntil(const std::function<bool()>& done, int limit_ms = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
      if (clock.elapsed() > limit_ms) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
  }

  bool RunToIdle() {
    ctl->StartClick();
    return SpinUntil([this] { return ctl->GetRunState() == TRunState::Idle; });
  }

  TScriptedDevice device;
  TLoopbackPeer peer{device};
};

TEST_F(TcpRunTest, StandardRunOverLoopback) {
  ASSERT_TRUE(RunToIdle());
  EXPECT_TRUE(view.error_boxes.empty());
  const std::vector<std::string> road = {"?",
                                         "1yU",
                                         "254yU",
                                         "%",
                                         "30",  // device state, UPDATER, boot loader
                                         "M0",
                                         "T0",
                                         "P0",
                                         ":0400000001020304F2\r\n",
                                         ":0400000001020304F2\r\n",
                                         ":00000001FF\r\n",
                                         ":0200000C7C0E68\r\n",
                                         "V0",
                                         "0130",  // bank 0
                                         "P8",
                                         ":01000862FE97\r\n",
                                         ":010010630686\r\n",
                                         "341246",
                                         ":00000001FF\r\n",  // PROM 1
                                         "M1",               // DVI card
                                         "PB",
                                         ":020000040000FA\r\n",
                                         ":020000040000FA\r\n",
                                         ":02400000ABCD46\r\n",
                                         ":00000001FF\r\n",
                                         ":0200000CDF7A99\r\n",  // extended boot
                                         "OP",
                                         "0000",
                                         "FI"};
  EXPECT_THAT(peer.Wire(), ElementsAreArray(road));
  EXPECT_EQ(view.status.back(), "Program operation completed");
  EXPECT_TRUE(view.HasStatus("Synchronize..."));
  EXPECT_EQ(view.title, "Varnell Qubra Updater  (Device Id : AAAA)");
  EXPECT_EQ(peer.Connections(), 1);
}

TEST_F(TcpRunTest, StopMidRunClosesTheLinkWithoutMessage) {
  ctl->StartClick();
  ASSERT_TRUE(SpinUntil([this] {
    const auto wire = peer.Wire();
    return std::find(wire.begin(), wire.end(), "P8") != wire.end();
  }));
  ctl->StartClick();  // STOP
  EXPECT_EQ(ctl->GetRunState(), TRunState::Idle);
  ASSERT_TRUE(SpinUntil([this] { return view.start_caption == "START"; }));
  EXPECT_TRUE(view.error_boxes.empty());
  EXPECT_FALSE(TRunControllerProbe(*ctl).JtagEngine().IsBusy());
  // The next run opens a new connection and completes.
  ASSERT_TRUE(RunToIdle());
  EXPECT_EQ(view.status.back(), "Program operation completed");
  EXPECT_EQ(peer.Connections(), 2);
}

TEST_F(TcpRunTest, SilentDeviceFallsBackAfterHalfASecond) {
  device.dev_reply = "";
  ASSERT_TRUE(RunToIdle());
  EXPECT_TRUE(view.HasStatus("Switch ON device while pushing the ENTER button"));
  const auto wire = peer.Wire();
  ASSERT_GE(wire.size(), 3u);
  EXPECT_EQ(wire[0], "?");
  EXPECT_EQ(wire[1], "%");
  EXPECT_EQ(view.status.back(), "Program operation completed");
}

TEST_F(TcpRunTest, MissingMainScriptOpensNoConnection) {
  std::remove((prog + "script.ini").c_str());
  ASSERT_TRUE(RunToIdle());
  ASSERT_EQ(view.error_boxes.size(), 1u);
  EXPECT_EQ(view.error_boxes[0], prog + "script.ini File not found !!!\r\n" + prog + "script.ini");
  EXPECT_EQ(peer.Connections(), 0);
}

}  // namespace
