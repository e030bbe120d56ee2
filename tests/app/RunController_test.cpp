#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/LinkOption.h"
#include "app/run_fixture.h"
#include "formats/text.h"

#include <QElapsedTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

using enum TRunState;

const char kPrompt[] = "Click on button START to begin program operation";

class RunControllerTest : public RunFixture {};

TEST_F(RunControllerTest, CreationAndIdle) {
  Make();
  EXPECT_EQ(view.title, "Varnell Qubra Updater  (Device Id Unknown)");
  EXPECT_FALSE(view.visible[TMainView::ctReadId]);
  EXPECT_FALSE(view.visible[TMainView::ctQuit]);
  EXPECT_EQ(view.port.ComPort, 1);
  EXPECT_FALSE(view.port.Lan);
  EXPECT_FALSE(view.manual);
  EXPECT_EQ(Probe().TimerInterval(), 500);
  EXPECT_TRUE(Probe().TimerActive());
  Tick(3);
  EXPECT_THAT(view.status, ElementsAre(kPrompt));  // repeated prompt shown once
  EXPECT_EQ(view.start_caption, "START");
  EXPECT_TRUE(view.enabled[TMainView::ctPortMenu]);
  EXPECT_TRUE(view.enabled[TMainView::ctModeMenu]);
  EXPECT_EQ(e.boot->resets, 6);  // the boot engine twice per idle step
  EXPECT_EQ(e.card->resets, 3);
  EXPECT_EQ(e.psd->resets, 3);
  EXPECT_EQ(e.jtag->resets, 3);
  EXPECT_EQ(Probe().GetCurentCardDir(), prog);
  EXPECT_EQ(e.jtag->GetCardDir(), prog);
}

TEST_F(RunControllerTest, ReadIdFilePresentShowsButtons) {
  Make("", true);
  EXPECT_TRUE(view.visible[TMainView::ctReadId]);
  EXPECT_TRUE(view.visible[TMainView::ctQuit]);
}

TEST_F(RunControllerTest, StandardRunStatePathAndWire) {
  Write("script.ini", "rem full update\r\nM0\r\nCM\r\nC0\r\n");
  Write("Qubra/script.ini", "T0 0130\r\nP0 bank0.hex\r\n");
  Write("DVI/script.ini", "P8 x.svf\r\n");
  Make();
  Tick();
  std::vector<std::array<TRecordingView::Bar, 3>> bars;  // as each step began
  on_step = [&](TRunState) { bars.push_back(view.bars); };
  const auto states = Run();
  EXPECT_THAT(states,
              ElementsAreArray(
                  {OpenLink,         QueryDevice,  WaitDeviceState, SendSync,     WaitSync,
                   NextMainLine,     NextMainLine, WaitMainLine,    NextMainLine, NextCardLine,
                   WaitCardLine,     NextCardLine, WaitCardLine,    NextCardLine, NextMainLine,
                   NextCardLine,     WaitCardLine, NextCardLine,    NextMainLine, SendExtendedBoot,
                   WaitExtendedBoot, WaitOp,       SendFinish,      WaitFinish,   Completed}));
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M0", "card:T0 0130", "psd:P0 bank0.hex",
                                   "jtag:P8 x.svf", "boot:PB BOOT_EXT_OPTION.HEX", "card:OP 0000",
                                   "card:FI"));
  // Variable-mode handshake at 9600 baud, then raw mode at 57600 on a reopened port.
  EXPECT_THAT(fl->log, ElementsAre("baud:57600", "baud:9600", "con:1", "var:?", "var:1yU",
                                   "var:254yU", "con:0", "baud:57600", "con:1", "con:0"));
  EXPECT_EQ(fl->port, "COM1");
  EXPECT_TRUE(view.HasStatus("Synchronize..."));
  EXPECT_EQ(view.status.back(), "Program operation completed");
  EXPECT_EQ(view.start_caption, "QUIT");  // until the next idle step
  EXPECT_TRUE(view.error_boxes.empty());
  for (const auto& bar : view.bars) EXPECT_EQ(bar.position, bar.max);
  // A comment line fills the operation and card bars; a sub-script's end fills the card bar,
  // and the closing steps start it afresh, one step of three each.
  const auto bar = [&](size_t step, TMainView::TBar b) {
    return std::to_string(bars.at(step)[b].position) + "/" + std::to_string(bars[step][b].max);
  };
  EXPECT_EQ(bar(6, TMainView::pbOperation), "100/100");  // after "rem full update"
  EXPECT_EQ(bar(6, TMainView::pbCard), "1/1");
  // As SendExtendedBoot, WaitExtendedBoot, WaitOp and SendFinish begin.
  const std::string card[] = {"2/2", "1/3", "2/3", "3/3"};
  for (size_t i = 0; i < std::size(card); ++i) EXPECT_EQ(bar(19 + i, TMainView::pbCard), card[i]);
  Tick();
  EXPECT_EQ(view.start_caption, "START");
}

TEST_F(RunControllerTest, OtherScriptSkipsClosingSteps) {
  Write("other.ini", "M0\n");
  Make(prog + "other.ini");
  const auto states = Run();
  EXPECT_THAT(states,
              ElementsAre(OpenLink, QueryDevice, WaitDeviceState, SendSync, WaitSync, NextMainLine,
                          WaitMainLine, NextMainLine, SendFinish, WaitFinish, Completed));
  EXPECT_EQ(ctl->GetScriptPath(), prog + "other.ini");
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M0", "card:FI"));
  EXPECT_EQ(Probe().TimerInterval(), 10);  // a run ticks fast until the next idle step
  Tick();
  EXPECT_EQ(Probe().TimerInterval(), 500);
}

// A package check that takes long runs beside the controller: it stays live, says so, and
// STOP ends the run before the device is contacted.
TEST_F(RunControllerTest, StopWhileThePackageIsChecked) {
  Make();
  const auto release = std::make_shared<std::atomic<bool>>(false);
  ctl->SetPackageGate([release](const std::string&, const std::string&) {
    while (!*release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return TPackageVerdict{};
  });
  ctl->StartClick();
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 600) Tick();
  EXPECT_EQ(ctl->GetRunState(), OpenLink);
  EXPECT_EQ(view.status.back(), "Checking the package seal...");
  ctl->StartClick();  // STOP
  EXPECT_EQ(ctl->GetRunState(), Idle);
  EXPECT_EQ(ctl->Outcome(), roSTOPPED);
  *release = true;
}

// The closing steps follow the file name, wherever the file lies; the card folders stay those
// of the program folder.
TEST_F(RunControllerTest, NamedScriptCalledScriptIniRunsTheClosingSteps) {
  Write("sub/script.ini", "CM\n");
  Write("Qubra/script.ini", "M1\n");
  Write("sub/Qubra/script.ini", "M9\n");
  Make(prog + "sub/script.ini");
  Run();
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M1", "boot:PB BOOT_EXT_OPTION.HEX",
                                   "card:OP 0000", "card:FI"));
}

TEST_F(RunControllerTest, ReadIdRunsReadidFromProgramFolder) {
  Write("readid.ini", "CM\n");
  Write("Qubra/readid.ini", "M0\n");
  Write("Qubra/script.ini", "P0 x.hex\n");
  Make("", true);
  Tick();
  const auto states = Run(true);
  EXPECT_EQ(states.back(), Completed);
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M0", "card:FI"));
  EXPECT_EQ(ctl->GetScriptPath(), prog + "readid.ini");
  EXPECT_EQ(view.start_caption, "START");  // Read Id visible: never "QUIT"
}

TEST_F(RunControllerTest, MissingMainScriptNeverOpensTheLink) {
  // A runaway SCRIPT argument is quoted cut.
  for (const std::string& name : {std::string("script.ini"), std::string(5000, 's')}) {
    view = TRecordingView{};
    Make(name == "script.ini" ? "" : prog + name);
    const auto states = Run();
    EXPECT_THAT(states, ElementsAre(OpenLink, Abort, ShowErrorBox));
    EXPECT_THAT(fl->Only("con:"), ElementsAre("0"));  // only the close of the abort step
    const std::string path = Excerpt(prog + name);
    EXPECT_EQ(view.status.back(), path + " File not found !!!");
    EXPECT_THAT(view.error_boxes, ElementsAre(path + " File not found !!!\r\n" + path));
  }
}

TEST_F(RunControllerTest, OpenFailureShowsTheReasonFirst) {
  Write("script.ini", "M0\n");
  Make();
  ctl->ComClick(3);
  fl->open_ok = false;
  fl->last_error = "TCOMPORT : cannot open COM3 (/dev/ttyS2)\rNo such file or directory";
  Run();
  EXPECT_THAT(view.status, ElementsAre("TCOMPORT : cannot open COM3 (/dev/ttyS2)",
                                       "No such file or directory", "Error while opening COM3"));
  // The box names the device too; the script is still its last line.
  EXPECT_EQ(view.error_boxes.at(0),
            "Error while opening COM3\r\nTCOMPORT : cannot open COM3 (/dev/ttyS2)\r\n"
            "No such file or directory\r\n" +
                prog + "script.ini");
  EXPECT_TRUE(fl->Only("var:").empty());
}

// A link that fails and is tried again is said once per cause; one lost for good ends a run
// in progress; a run that is ending or over keeps its outcome and hears of neither.
TEST_F(RunControllerTest, LinkTroubleIsSaidOnceAndALostLinkEndsTheRun) {
  Write("x.ini", "M0\n");
  Make(prog + "x.ini");
  const std::string refused = "Cannot connect to 127.0.0.1:10500: Connection refused";
  const std::string unanswered = "Cannot connect to 127.0.0.1:10500: no answer";
  const std::string lost = "Connection closed by device 127.0.0.1:10500";
  fl->OnLinkTrouble(refused);  // idle: no run to tell of
  EXPECT_TRUE(view.status.empty() || view.status.back() != refused + "; trying again");
  e.card->steps = 1000;
  ctl->StartClick();
  Tick(8);
  ASSERT_EQ(ctl->GetRunState(), WaitMainLine);
  const size_t before = view.status.size();
  for (const std::string& cause : {refused, refused, unanswered, refused}) fl->OnLinkTrouble(cause);
  EXPECT_THAT(std::vector<std::string>(view.status.begin() + before, view.status.end()),
              ElementsAre(refused + "; trying again", unanswered + "; trying again"));
  EXPECT_EQ(ctl->GetRunState(), WaitMainLine);
  fl->OnLinkLost(lost);
  EXPECT_EQ(ctl->GetRunState(), Abort);
  EXPECT_EQ(view.status.back(), lost);
  Tick(2);
  EXPECT_THAT(view.error_boxes, ElementsAre(lost + "\r\n" + prog + "x.ini"));
  EXPECT_EQ(fl->con_type, CON_NONE);

  const size_t after = view.status.size();
  for (TRunState state : {Idle, Abort, ShowErrorBox, Completed}) {
    Probe().SetRunState(state);
    fl->OnLinkLost(lost);
    fl->OnLinkTrouble("Cannot connect to 127.0.0.1:10500: Network is unreachable");
    EXPECT_EQ(ctl->GetRunState(), state);
  }
  EXPECT_EQ(view.error_boxes.size(), 1u);
  EXPECT_EQ(view.status.size(), after);
}

// A link named for one process (--link, a device list) reaches its device: COMn through the
// settings' device paths, a device path in COM1's place, a LAN link with its ports.
TEST_F(RunControllerTest, LinksReachTheirDevice) {
  Make();
  const TSettingsLines settings{"CON_TYPE=TCP", "COM9_DEVICE=/dev/ttyUSB9"};
  // A bad link quotes the text and says what is wrong with it.
  const std::string ip = ": A.B.C.D expected, each part 0 to 255 in decimal without leading zeros";
  const std::string port = ": a port from 1 to 65535 in decimal expected";
  const std::pair<std::string, std::string> cases[] = {
      {"COM9", "COM9 serial /dev/ttyUSB9"},
      {"COM2", "COM2 serial /dev/ttyS1"},
      {"/dev/pts/7", "COM1 serial /dev/pts/7"},
      {"tcp:127.0.0.1:1", "LAN tcp 127.0.0.1:1"},
      {"udp:127.0.0.1:65535", "LAN udp 127.0.0.1:65535 from 10500"},
      {"udp:127.0.0.1:10600:1", "LAN udp 127.0.0.1:10600 from 1"},
      {"udp:127.0.10.0:65535:1", "LAN udp 127.0.10.0:65535 from 1"},
      {"COM0", "\"COM0\" is not a link"},
      {"COM10", "\"COM10\" is not a link"},
      {"com1", "\"com1\" is not a link"},
      {"ttyUSB0", "\"ttyUSB0\" is not a link"},
      {"tcp:127.0.0.1", "\"tcp:127.0.0.1\" is not tcp:A.B.C.D:PORT"},
      {"tcp:", "\"tcp:\" is not tcp:A.B.C.D:PORT"},
      {"udp:127.0.0.1", "\"udp:127.0.0.1\" is not udp:A.B.C.D:PORT[:LOCALPORT]"},
      {"tcp:127.0.0.1:1:2", "\"tcp:127.0.0.1:1:2\" is not tcp:A.B.C.D:PORT"},
      {"udp:127.0.0.1:1:2:3", "\"udp:127.0.0.1:1:2:3\" is not udp:A.B.C.D:PORT[:LOCALPORT]"},
      {"tcp:127.0.0.256:10500", "bad address \"127.0.0.256\" in \"tcp:127.0.0.256:10500\"" + ip},
      {"udp:127.0.0:10500", "bad address \"127.0.0\" in \"udp:127.0.0:10500\"" + ip},
      // Read elsewhere as octal: 01.02.03.010 is not 1.2.3.10 everywhere.
      {"tcp:01.02.03.04:80", "bad address \"01.02.03.04\" in \"tcp:01.02.03.04:80\"" + ip},
      {"tcp:127.0.0.1:65536", "bad port \"65536\" in \"tcp:127.0.0.1:65536\"" + port},
      {"tcp:127.0.0.1:", "bad port \"\" in \"tcp:127.0.0.1:\"" + port},
      {"udp:127.0.0.1:10500:x", "bad local port \"x\" in \"udp:127.0.0.1:10500:x\"" + port},
      {"tcp:127.0.0.1:0x50", "bad port \"0x50\" in \"tcp:127.0.0.1:0x50\"" + port},
      {"tcp:127.0.0.1:+80", "bad port \"+80\" in \"tcp:127.0.0.1:+80\"" + port},
      {"tcp:127.0.0.1:080", "bad port \"080\" in \"tcp:127.0.0.1:080\"" + port},
      {"tcp:127.0.0.1: 80", "bad port \" 80\" in \"tcp:127.0.0.1: 80\"" + port},
      {"tcp:127.0.0.1:80 ", "bad port \"80 \" in \"tcp:127.0.0.1:80 \"" + port},
      {"tcp:127.0.0.1:0", "bad port \"0\" in \"tcp:127.0.0.1:0\"" + port},
      {"udp:127.0.0.1:1:0", "bad local port \"0\" in \"udp:127.0.0.1:1:0\"" + port},
  };
  for (const auto& [text, reached] : cases) {
    TLinkOption link;
    std::string error;
    if (!ParseLinkOption(text, link, error)) {
      EXPECT_EQ(error, reached);
      continue;
    }
    ApplyConnection(*ctl, ConnectionFromLink(link, settings));
    std::array<std::string, 9> devices;
    for (int n = 1; n <= 9; ++n) devices[n - 1] = fl->com_devices[n];
    const TLinkDescription d = DescribeConnection(ctl->PortChoice(), ctl->LanSettings(), devices);
    EXPECT_EQ((ctl->PortChoice().Lan ? "LAN" : ctl->SelectedComPort()) + " " + d.Transport + " " +
                  d.Link + (d.LocalPort ? " from " + std::to_string(d.LocalPort) : ""),
              reached);
  }
}

TEST_F(RunControllerTest, LanRunUsesDialogValuesAndKeepsTheLinkOpen) {
  Write("x.ini", "M0\n");
  Make(prog + "x.ini");
  ctl->SetLanSettings({CON_TCP, "127.0.0.1", 10600, 10700});
  ctl->SetPortChoice({4, true});
  EXPECT_EQ(ctl->SelectedComPort(), "COM1");
  fl->open_ok = false;
  Run();
  EXPECT_EQ(view.error_boxes.at(0), "Error while opening LAN Device\r\n" + prog + "x.ini");
  fl->open_ok = true;
  fl->log.clear();
  Tick();
  Run();
  EXPECT_EQ(fl->remote_address, "127.0.0.1");
  EXPECT_EQ(fl->remote_port, 10600);
  EXPECT_EQ(fl->local_port, 10700);
  // No baud rate is set and the link is neither closed nor reopened before the end.
  EXPECT_THAT(fl->log, ElementsAre("con:3", "var:?", "var:1yU", "var:254yU", "con:0"));
}

TEST_F(RunControllerTest, DeviceStateFallbackAfter500ms) {
  Write("x.ini", "M0\n");
  Make(prog + "x.ini");
  for (uint32_t dev : {0u, 31u}) {
    fl->dev = dev;
    fl->log.clear();
    view.status.clear();
    const auto states = Run();
    EXPECT_EQ(std::count(states.begin(), states.end(), WaitDeviceState), 50)
        << dev;  // 50 ticks of 10 ms
    EXPECT_TRUE(view.HasStatus("Switch ON device while pushing the ENTER button"));
    EXPECT_FALSE(view.HasStatus("Synchronize..."));
    EXPECT_THAT(fl->Only("var:"), ElementsAre("?")) << dev;  // no UPDATER values
    EXPECT_EQ(states.back(), Completed);
    Tick();
  }
  fl->dev = 35;
  fl->log.clear();
  const auto states = Run();
  EXPECT_EQ(std::count(states.begin(), states.end(), WaitDeviceState), 1);
  EXPECT_THAT(fl->Only("var:"), ElementsAre("?", "1yU", "254yU"));
}

// Arrivals step the machine at once, except while the link is being opened, reopened or closed.
TEST_F(RunControllerTest, ReceivedDataStepsExceptInOpenReopenAndClose) {
  Make();
  const struct {
    TRunState state;
    TRunState after;
  } cases[] = {{OpenLink, OpenLink},   {SendSync, SendSync},  {Abort, Abort},
               {Completed, Completed}, {TRunState{11}, Idle}, {WaitOp, SendFinish}};
  for (const auto& c : cases) {
    Probe().SetRunState(c.state);
    fl->Deliver("x");
    EXPECT_EQ(ctl->GetRunState(), c.after) << static_cast<int>(c.state);
    EXPECT_TRUE(Probe().TimerActive());
  }
}

// Only timer ticks count down the half second; arrivals do not.
TEST_F(RunControllerTest, DeviceStateWaitCountsTicksNotArrivals) {
  Write("x.ini", "M0\n");
  Make(prog + "x.ini");
  fl->dev = 0;
  ctl->StartClick();
  Tick(2);
  ASSERT_EQ(ctl->GetRunState(), WaitDeviceState);
  for (int i = 0; i < 100; ++i) fl->Deliver("");
  Tick(49);
  EXPECT_EQ(ctl->GetRunState(), WaitDeviceState);
  Tick();
  EXPECT_EQ(ctl->GetRunState(), SendSync);
  EXPECT_EQ(view.status.back(), "Switch ON device while pushing the ENTER button");
}

TEST_F(RunControllerTest, StopEndsTheRunWithoutMessage) {
  Write("x.ini", "M0\nM1\n");
  Make(prog + "x.ini", true);
  e.card->steps = 1000;
  ctl->StartClick();
  Tick(8);
  ASSERT_EQ(ctl->GetRunState(), WaitMainLine);
  EXPECT_EQ(view.start_caption, "STOP");
  EXPECT_FALSE(view.enabled[TMainView::ctPortMenu]);
  ctl->StartClick();  // STOP
  EXPECT_EQ(ctl->GetRunState(), Idle);
  EXPECT_EQ(fl->con_type, CON_NONE);
  EXPECT_TRUE(view.enabled[TMainView::ctQuit]);
  EXPECT_FALSE(view.enabled[TMainView::ctReadId]);  // until the idle step
  Tick();
  EXPECT_FALSE(e.card->IsBusy());
  EXPECT_TRUE(view.error_boxes.empty());
  EXPECT_EQ(view.start_caption, "START");
  EXPECT_TRUE(view.enabled[TMainView::ctReadId]);
  // A stopped instruction leaves no busy flag behind: an unknown line is still an error.
  Write("x.ini", "XX\n");
  Run();
  EXPECT_EQ(ctl->GetLastError(), "Syntax Error in script file line : 1");
}

TEST_F(RunControllerTest, FloodingDeviceIsCappedNotBuffered) {
  Write("x.ini", "M0\n");
  Make(prog + "x.ini");
  e.card->steps = 1000;
  ctl->StartClick();
  Tick(8);
  ASSERT_EQ(ctl->GetRunState(), WaitMainLine);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) fl->Deliver(std::string(600 * 1024, 'z'));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(Probe().ReceivedPending(), TRunControllerProbe::kMaxReceiveBuffer);
  EXPECT_NE(err.find("excess is dropped"), std::string::npos);
  EXPECT_EQ(err.find("excess", err.find("excess") + 1), std::string::npos);  // said once
  ctl->StartClick();                                                         // STOP
}

TEST_F(RunControllerTest, StartInStateTenClosesTheWindow) {
  Make();
  Probe().SetRunState(Completed);
  ctl->StartClick();
  EXPECT_EQ(view.close_requests, 1);
  Probe().SetRunState(TRunState{11});
  Tick();
  EXPECT_EQ(ctl->GetRunState(), Idle);
  Probe().SetRunState(TRunState{200});
  Tick();
  EXPECT_EQ(ctl->GetRunState(), Idle);
}

TEST_F(RunControllerTest, EngineErrorEndsRunWithMessageBox) {
  Write("x.ini", "M0\nM1\n");
  Make(prog + "x.ini");
  e.card->on_take = [](TFakeEngine& eng, const std::string& line) {
    if (line == "M1") eng.ReportError("Too Many Transmission Error !!!");
  };
  const auto states = Run();
  EXPECT_EQ(states.back(), ShowErrorBox);
  EXPECT_EQ(view.status.back(), "Too Many Transmission Error !!!");
  // The failing engine's text is kept; it is not taken for a syntax error.
  EXPECT_THAT(view.error_boxes,
              ElementsAre("Too Many Transmission Error !!!\r\n" + prog + "x.ini"));
  EXPECT_EQ(fl->con_type, CON_NONE);
  EXPECT_EQ(view.start_caption, "QUIT");
}

// What the operator sees in a run, behind the error box, and back at idle.
TEST_F(RunControllerTest, ButtonsAndMenusThroughAFailedRun) {
  Write("x.ini", "M0\nXX\n");
  Make(prog + "x.ini", true);
  Tick();
  ctl->StartClick();
  EXPECT_FALSE(view.enabled[TMainView::ctQuit]);
  Tick();  // open
  EXPECT_EQ(view.start_caption, "STOP");
  EXPECT_FALSE(view.enabled[TMainView::ctReadId]);
  EXPECT_FALSE(view.enabled[TMainView::ctPortMenu]);
  EXPECT_FALSE(view.enabled[TMainView::ctModeMenu]);
  std::map<TMainView::TControl, bool> at_box;
  std::string caption_at_box;
  tConnectionType link_at_box = CON_TCP;
  TRunState state_at_box = Idle;
  view.on_error_box = [&] {
    at_box = view.enabled;
    caption_at_box = view.start_caption;
    link_at_box = fl->con_type;
    fl->Deliver(".");  // behind the box, arrivals and ticks step nothing
    ctl->Timer1Timer();
    state_at_box = ctl->GetRunState();
  };
  for (int i = 0; i < 100 && ctl->GetRunState() != Idle; ++i) Tick();
  ASSERT_EQ(view.error_boxes.size(), 1u);
  EXPECT_EQ(caption_at_box, "START");  // Read Id shown: never "QUIT"
  EXPECT_TRUE(at_box[TMainView::ctReadId]);
  EXPECT_TRUE(at_box[TMainView::ctQuit]);
  EXPECT_FALSE(at_box[TMainView::ctPortMenu]);  // the menus wait for the idle step
  EXPECT_EQ(link_at_box, CON_NONE);             // closed before the box opens
  EXPECT_EQ(state_at_box, ShowErrorBox);
  Tick();
  EXPECT_TRUE(view.enabled[TMainView::ctPortMenu]);
  EXPECT_TRUE(view.enabled[TMainView::ctModeMenu]);
}

TEST_F(RunControllerTest, ExceptionInAStepEndsTheRunAndKeepsTheTimer) {
  Write("x.ini", "M0\n");
  Make(prog + "x.ini");
  struct : TRunObserver {
    void RunEnded(TRunOutcome outcome, const std::string& error, const std::string&) override {
      ends.push_back(OutcomeText(outcome) + (": " + error));
    }
    std::vector<std::string> ends;
  } observer;
  ctl->AddObserver(&observer);
  e.card->throw_while_busy = true;
  const auto states = Run();
  EXPECT_EQ(states.back(), ShowErrorBox);
  EXPECT_EQ(ctl->GetLastError(), "Unexpected failure in run state 13 : boom !!!");
  EXPECT_TRUE(Probe().TimerActive());
  EXPECT_EQ(fl->con_type, CON_NONE);

  // Failing again while the run ends must not loop through the error box.
  view.on_error_box = [] { throw std::runtime_error("box"); };
  Tick();
  Run(false, 100);
  EXPECT_EQ(view.error_boxes.size(), 2u);
  EXPECT_EQ(ctl->GetRunState(), Idle);
  EXPECT_EQ(view.status.back(), "Unexpected failure in run state 7 : box !!!");
  EXPECT_TRUE(Probe().TimerActive());
  // Observers learn of both ends all the same, once each.
  EXPECT_THAT(observer.ends, ElementsAre("error: Unexpected failure in run state 13 : boom !!!",
                                         "error: Unexpected failure in run state 7 : box !!!"));
}

TEST_F(RunControllerTest, StatusFilter) {
  Make();
  // An empty box counts as one empty line.
  ctl->ShowStatus("");
  EXPECT_TRUE(view.status.empty());
  ctl->ShowStatus("A");
  ctl->ShowStatus("");
  ctl->ShowStatus("");
  EXPECT_THAT(view.status, ElementsAre("A", ""));
  struct Case {
    std::string text;
    bool shown;
  } cases[] = {{"Erase", false},          {"Upload Bank", false},
               {" Starting ", false},     {"Starting", true},
               {"End Update", false},     {"Ping Card 1", false},
               {"ping card 2 ok", false}, {"Ping Card", true},
               {"erase", true},           {"Boot Checksum : 1234", true}};
  int n = 0;
  for (const auto& c : cases) {
    view.status.clear();
    ctl->ShowStatus("line " + std::to_string(++n));
    ctl->ShowStatus(c.text);
    EXPECT_EQ(view.status.size(), c.shown ? 2u : 1u) << c.text;
  }
  view.status.clear();
  for (const char* t : {"A", "A", "B", "A"}) ctl->ShowStatus(t);
  EXPECT_THAT(view.status, ElementsAre("A", "B", "A"));
  ctl->ShowError("A");
  EXPECT_THAT(view.status, ElementsAre("A", "B", "A"));
  EXPECT_EQ(ctl->GetRunState(), Abort);
  EXPECT_EQ(ctl->GetLastError(), "A");
  ctl->ShowError("Erase");  // errors are not filtered
  EXPECT_EQ(view.status.back(), "Erase");
}

TEST_F(RunControllerTest, DeviceIdTitleAndVersion) {
  Write("x.ini", "M0\n");
  Make(prog + "x.ini");
  for (int id : {0x1A2B, 0xAAAA}) {
    e.boot->on_take = [id](TFakeEngine& eng, const std::string&) { eng.SetDeviceId(id); };
    ctl->StartClick();
    Tick(5);  // past the synchronisation
    const std::string hex = id == 0x1A2B ? "1A2B" : "AAAA";
    EXPECT_EQ(view.title, "Varnell Qubra Updater  (Device Id : " + hex + ")");
    EXPECT_EQ(Probe().GetVersionText(), "0000");
    EXPECT_TRUE(e.psd->UpdateAllowed());
    EXPECT_TRUE(e.jtag->UpdateAllowed());
    ctl->StartClick();  // STOP
    Tick();
    EXPECT_EQ(view.title, "Varnell Qubra Updater  (Device Id Unknown)");
    EXPECT_FALSE(e.psd->UpdateAllowed());
  }
}

TEST_F(RunControllerTest, ProgressBarsThroughARun) {
  // Blank lines count towards the script bar when they hold blanks.
  Write("x.ini", "M0\r\n\r\n   \r\nCM\r\n");
  Write("Qubra/x.ini", "M1\r\n\r\nrem\r\nM2\r\n");
  Make(prog + "x.ini");
  Run();  // the bars end full
  Tick();
  ctl->StartClick();
  Tick();  // open
  EXPECT_EQ(view.bars[TMainView::pbScript].max, 2 + 3);
  EXPECT_EQ(view.bars[TMainView::pbCard].max, 1);
  for (const auto& b : view.bars) EXPECT_EQ(b.position, 0);
  while (ctl->GetRunState() != NextCardLine) Tick();
  EXPECT_EQ(view.bars[TMainView::pbCard].max, 1 + 3);
  EXPECT_EQ(view.bars[TMainView::pbCard].position, 0);
  EXPECT_EQ(view.bars[TMainView::pbScript].position, 1 + 3);  // sync + the three lines before CM
  e.card->on_take = [](TFakeEngine& eng, const std::string&) {
    eng.SetProgressMax(4);
    eng.ProgressStep();
    eng.ProgressStep();
  };
  Tick();  // M1 taken
  EXPECT_EQ(view.bars[TMainView::pbOperation].max, 4);
  EXPECT_EQ(view.bars[TMainView::pbOperation].position, 2);
  Tick();  // M1 done
  EXPECT_EQ(view.bars[TMainView::pbCard].position, 1);
  Tick(2);  // the empty line and the comment
  EXPECT_EQ(view.bars[TMainView::pbCard].position, 3);
  Tick(3);  // M2 taken, done, end of the sub-script
  EXPECT_EQ(view.bars[TMainView::pbScript].position, 5);
  EXPECT_EQ(view.bars[TMainView::pbCard].position, 4);
}

}  // namespace
