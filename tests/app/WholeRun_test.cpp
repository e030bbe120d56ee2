#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/run_fixture.h"
#include "app/scripted_device.h"

#include <algorithm>
#include <cstdio>
#include "app/OverallProgress.h"
#include "engines/InstCourante.h"
#include "engines/progjtag.h"

using ::testing::ElementsAreArray;

namespace {

const std::string kBootHex = ":020000040000FA\r\n:02400000ABCD46\r\n:00000001FF\r\n";
const std::string kBankHex = ":0400000001020304F2\r\n:00000001FF\r\n";
const std::string kSvf = "// prom\r\nSIR 8 TDI (FE);\r\nSDR 16 TDI (1234);\r\n";

// Real engines against the scripted device, through a link that hands each send to the device
// and its answer back between two steps.
class WholeRunTest : public RunFixture {
 protected:
  void MakeReal(const std::string& script_arg = "") {
    auto link = std::make_unique<TFakeLink>();
    fl = link.get();
    fl->device = &device;
    TEngineParts parts;
    TEngineSet set = MakeEngineSet(&parts);
    parts.Jtag->Pause = [](int) {};
    ctl = std::make_unique<TRunController>(view, std::move(link), std::move(set),
                                           TRunConfig{prog, script_arg, false});
  }

  void WritePackage() {
    Write("script.ini", "rem full update\r\nM0\r\nCM\r\nC0\r\n");
    Write("BOOT_EXT_OPTION.HEX", kBootHex);
    Write("Qubra/script.ini", "T0 0130\r\nP0 bank0.hex\r\nV0 0130\r\nP8 prom1.svf\r\n");
    Write("Qubra/bank0.hex", kBankHex);
    Write("Qubra/prom1.svf", kSvf);
    Write("DVI/script.ini", "rem dvi\r\nM1\r\n");
  }

  void RunReal(int max_ticks = 20000) {
    ctl->StartClick();
    for (int i = 0; i < max_ticks && ctl->GetRunState() != TRunState::Idle; ++i) {
      Tick();
      fl->Pump();
    }
  }

  TScriptedDevice device;
};

// The wire of a healthy standard run: device-state query and UPDATER writes in variable mode,
// then in raw mode boot synchronisation, the scripts' lines, and the closing sequence.
std::vector<std::string> StandardWire(bool bank_programmed) {
  std::vector<std::string> wire = {"?", "1yU", "254yU", "%", "30", "M0", "T0"};
  const std::vector<std::string> bank = {"P0",
                                         ":0400000001020304F2\r\n",
                                         ":0400000001020304F2\r\n",
                                         ":00000001FF\r\n",
                                         ":0200000C7C0E68\r\n",
                                         "V0",
                                         "0130"};
  if (bank_programmed) wire.insert(wire.end(), bank.begin(), bank.end());
  const std::vector<std::string> rest = {"P8",
                                         ":01000862FE97\r\n",
                                         ":010010630686\r\n",
                                         "341246",
                                         ":00000001FF\r\n",  // PROM 1
                                         "M1",               // DVI
                                         "PB",
                                         ":020000040000FA\r\n",
                                         ":020000040000FA\r\n",
                                         ":02400000ABCD46\r\n",
                                         ":00000001FF\r\n",
                                         ":0200000CDF7A99\r\n",
                                         "OP",
                                         "0000",
                                         "FI"};
  wire.insert(wire.end(), rest.begin(), rest.end());
  return wire;
}

TEST_F(WholeRunTest, StandardRunPutsTheRoadOnTheWire) {
  WritePackage();
  MakeReal();
  Tick();
  RunReal();
  EXPECT_TRUE(view.error_boxes.empty());
  EXPECT_THAT(device.Wire(), ElementsAreArray(StandardWire(true)));
  EXPECT_THAT(fl->Only("baud:"), ElementsAreArray({"57600", "9600", "57600"}));
  EXPECT_EQ(view.status.back(), "Program operation completed");
  EXPECT_TRUE(view.HasStatus("Device ID : AAAA"));
  EXPECT_TRUE(view.HasStatus("Synchronize..."));
  EXPECT_EQ(view.title, "Varnell Qubra Updater  (Device Id : AAAA)");
  for (const auto& bar : view.bars) EXPECT_EQ(bar.position, bar.max);
  EXPECT_EQ(view.bars[TMainView::pbScript].max, 2 + 4);
  EXPECT_EQ(fl->con_type, CON_NONE);
  Tick();
  // Set when it changes, not on every tick.
  EXPECT_THAT(view.titles, ::testing::ElementsAre("Varnell Qubra Updater  (Device Id Unknown)",
                                                  "Varnell Qubra Updater  (Device Id : AAAA)",
                                                  "Varnell Qubra Updater  (Device Id Unknown)"));
}

TEST_F(WholeRunTest, VersionAlreadyOnTheDeviceSkipsTheBank) {
  WritePackage();
  device.versions['0'] = "0130";
  MakeReal();
  RunReal();
  EXPECT_THAT(device.Wire(), ElementsAreArray(StandardWire(false)));
  const std::string none = "Every component was already at its version: none was written";
  EXPECT_EQ(view.status.end()[-3], "Written: PROM 1");
  EXPECT_EQ(view.status.end()[-2], "Already at their version: Bank0");
  EXPECT_EQ(view.status.back(), "Program operation completed");
  EXPECT_FALSE(view.HasStatus(none));  // PROM 1 was written
  // Manual mode ignores the version match and programs the bank.
  Tick();
  device.received.clear();
  ctl->SetManual(true);
  RunReal();
  EXPECT_THAT(device.Wire(), ElementsAreArray(StandardWire(true)));
  Write("Qubra/script.ini", "T0 0130\r\nP0 bank0.hex\r\nV0 0130\r\n");  // all there already
  ctl->SetManual(false);
  Tick();
  RunReal();
  EXPECT_EQ(view.status.end()[-2], none);
  EXPECT_EQ(view.status.back(), "Program operation completed");
}

// Follows the whole run's progress: position and maximum, in turn.
struct TProgressLog : TRunObserver {
  void OverallProgressChanged(int64_t position, int64_t max, double) override {
    points.emplace_back(position, max);
  }
  std::vector<std::pair<int64_t, int64_t>> points;
};

// The whole run's progress never goes back and ends at its maximum. A bank already at its
// version leaves the total when the version check says so.
TEST_F(WholeRunTest, OverallProgressOnlyGrowsAndEndsAtItsMaximum) {
  WritePackage();
  device.versions['0'] = "0130";
  MakeReal();
  TProgressLog log;
  ctl->AddObserver(&log);
  RunReal();
  ASSERT_EQ(view.status.back(), "Program operation completed");
  ASSERT_GE(log.points.size(), 10u);
  for (size_t i = 1; i < log.points.size(); ++i)
    EXPECT_GE(log.points[i].first, log.points[i - 1].first) << "point " << i;
  EXPECT_EQ(log.points.back().first, log.points.back().second);
  const std::string card = prog + "Qubra/";
  EXPECT_EQ(log.points.front().second - log.points.back().second,
            PlannedBytes("P0 bank0.hex", card) + PlannedBytes("V0 0130", card));
}

// The planned bytes are those of the records and statements the files hold; the time left
// follows the rate measured from the clock's start, once there is one.
// A variant device (it refuses "30") runs its own card folder's script: the plan follows.
TEST_F(WholeRunTest, VariantDeviceIsPlannedFromItsOwnFolder) {
  WritePackage();
  Write("UQubra/script.ini", "P0 bank0.hex\r\n");
  Write("UQubra/bank0.hex", kBankHex);
  device.refusals = {{"30", "X"}};
  MakeReal();
  TProgressLog log;
  ctl->AddObserver(&log);
  RunReal();
  ASSERT_EQ(view.status.back(), "Program operation completed");
  EXPECT_EQ(log.points.back().first, log.points.back().second);
  const std::string card = prog + "Qubra/";
  EXPECT_EQ(log.points.front().second - log.points.back().second,
            PlannedBytes("T0 0130", card) + PlannedBytes("V0 0130", card) +
                PlannedBytes("P8 prom1.svf", card));
}

TEST_F(WholeRunTest, PlannedBytesAndTimeLeft) {
  WritePackage();
  const std::string card = prog + "Qubra/";
  EXPECT_EQ(PlannedBytes("P0 bank0.hex", card), 2 + 21 + 13 + 17);  // command, records, checksum
  EXPECT_EQ(PlannedBytes("P0 missing.hex", card), 2);
  EXPECT_GT(PlannedBytes("P8 prom1.svf", card), PlannedBytes("P8 missing.svf", card));

  TOverallProgress p;
  p.Plan(prog + "script.ini", {"P0 bank0.hex"}, card, "", false);
  const TInstructionRef bank{prog + "script.ini", 1, "P0 bank0.hex", ""};
  const int64_t total = p.Max();
  p.StartClock(1000);
  p.Begin(bank);
  p.Sent(10);
  EXPECT_LT(p.EtaSeconds(1500), 0);  // too soon to tell
  TOverallProgress slow;
  slow.Plan(prog + "script.ini", {"T0 0130", "P0 bank0.hex"}, card, "", false);
  slow.StartClock(0);
  slow.Begin({prog + "script.ini", 1, "T0 0130", ""});
  slow.Sent(2);
  EXPECT_LT(slow.EtaSeconds(2000), 0);  // a version check, then a pause: too little to tell
  EXPECT_DOUBLE_EQ(p.EtaSeconds(3000), double(total - 10) * 2.0 / 10.0);
  p.Sent(5);  // never back
  EXPECT_EQ(p.Position(), 10);
  p.Sent(1000);  // retries never count for more than the share
  EXPECT_EQ(p.Position(), PlannedBytes("P0 bank0.hex", card));
  p.End();
  p.Complete();
  EXPECT_EQ(p.Position(), p.Max());
  EXPECT_EQ(p.EtaSeconds(3001), 0);
  // The standard script closes with the boot area and "OP" with the version's four digits.
  TOverallProgress closing;
  closing.Plan(prog + "script.ini", {"P0 bank0.hex"}, card, "", true);
  EXPECT_EQ(closing.Max() - total, PlannedBytes("PB BOOT_EXT_OPTION.HEX", card) + 2 + 4);
}

TEST_F(WholeRunTest, CardThatMissesItsPingIsSkipped) {
  WritePackage();
  device.failing_cards['0'] = true;
  MakeReal();
  RunReal();
  auto wire = StandardWire(true);
  wire.erase(std::find(wire.begin(), wire.end(), "M1"));
  EXPECT_THAT(device.Wire(), ElementsAreArray(wire));
  EXPECT_EQ(view.status.back(), "Program operation completed");
}

TEST_F(WholeRunTest, SilentDeviceGetsTheEnterPromptAndStillSynchronises) {
  WritePackage();
  device.dev_reply = "";
  MakeReal();
  RunReal();
  auto wire = StandardWire(true);
  wire.erase(wire.begin() + 1, wire.begin() + 3);  // no UPDATER writes
  EXPECT_THAT(device.Wire(), ElementsAreArray(wire));
  EXPECT_TRUE(view.HasStatus("Switch ON device while pushing the ENTER button"));
  EXPECT_FALSE(view.HasStatus("Synchronize..."));
}

// A step the controller takes itself that fails ends the run in an error, never completed: the
// closing FI, and the OP of an extended boot (a device that refuses "30" is the variant).
TEST_F(WholeRunTest, RefusedOwnStepEndsTheRunInAnError) {
  const std::map<std::string, std::string> cases[] = {{{"FI", "I"}}, {{"30", "X"}, {"0000", "X"}}};
  for (const auto& refusals : cases) {
    SCOPED_TRACE(refusals.rbegin()->first);
    WritePackage();
    device = TScriptedDevice{};
    device.refusals = refusals;
    view.error_boxes.clear();
    MakeReal();
    RunReal();
    EXPECT_EQ(ctl->Outcome(), roERROR) << view.status.back() << " " << device.Wire().back();
    EXPECT_EQ(view.error_boxes.size(), 1u);
    EXPECT_FALSE(view.HasStatus("Program operation completed"));
  }
}

TEST_F(WholeRunTest, EngineErrorNamesTheSubScript) {
  WritePackage();
  Write("Qubra/prom1.svf", "SIR 8 TDI (FE);\r\n");
  std::remove((prog + "Qubra/prom1.svf").c_str());
  MakeReal();
  RunReal();
  const std::string svf = prog + "Qubra/prom1.svf";
  ASSERT_EQ(view.error_boxes.size(), 1u);
  EXPECT_EQ(view.error_boxes[0], svf + " File not found !!!\r\n" + prog + "Qubra/script.ini");
}

// The run controller offers every line to the four engines in its fixed order; each line is
// taken by exactly one of them.
TEST_F(WholeRunTest, EachLineGoesToItsEngine) {
  const std::pair<std::string, int> cases[] = {
      {"SYN", 0},      {"PB BOOT.HEX", 0}, {"prompt x", 1}, {"wait 5", 1},   {"RS", 1},
      {"NP", 1},       {"FI", 1},          {"FY", 1},       {"V1 0200", 1},  {"T1 0200", 1},
      {"UV 0200", 1},  {"M3", 1},          {"OP 0000", 1},  {"P0 B.HEX", 2}, {"P7 B.HEX", 2},
      {"PE K.HEX", 2}, {"D2", 2},          {"F3", 2},       {"P8 a.svf", 3}, {"P9 a.svf", 3},
      {"PA a.svf", 3}, {"D8", 3},          {"F A", 3},
  };
  for (const auto& [line, owner] : cases) {
    Write("other.ini", line + "\r\n");
    MakeReal(prog + "other.ini");
    ctl->StartClick();
    for (int i = 0; i < 200 && ctl->GetRunState() != TRunState::WaitMainLine &&
                    ctl->GetRunState() != TRunState::Abort;
         ++i) {
      Tick();
      if (ctl->GetRunState() != TRunState::WaitMainLine) fl->Pump();
    }
    ASSERT_EQ(ctl->GetRunState(), TRunState::WaitMainLine) << line;
    TRunControllerProbe probe(*ctl);
    const TGestionnaire* engines[] = {&probe.BootEngine(), &probe.CardEngine(), &probe.PsdEngine(),
                                      &probe.JtagEngine()};
    std::vector<int> busy;
    for (int i = 0; i < 4; ++i)
      if (engines[i]->IsBusy()) busy.push_back(i);
    EXPECT_EQ(busy, std::vector<int>{owner}) << line;
  }
}

}  // namespace
