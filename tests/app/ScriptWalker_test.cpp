#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "app/run_fixture.h"
#include "sys/Sha256.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// What the controller reports to an observer, one line per call; paths below the program
// folder are written without it.
class TRecordingObserver : public TRunObserver {
 public:
  explicit TRecordingObserver(std::string prog) : Prog(std::move(prog)) {}
  void RunStarted(const std::string& script) override { Log.push_back("start " + Rel(script)); }
  void FileRead(const std::string& path, const std::string& sha256) override {
    Log.push_back("read " + Rel(path));
    Sha256[Rel(path)] = sha256;
  }
  void InstructionStarted(const TInstructionRef& line, const std::string& engine) override {
    Log.push_back("begin " + Where(line) + " " + engine);
  }
  void InstructionEnded(const TInstructionRef& line, const TInstructionEnd& end) override {
    Log.push_back("end " + line.Text + " " + ResultText(end.Result));
  }
  void InstructionSkipped(const TInstructionRef& line, const std::string& reason) override {
    Log.push_back("skip " + Where(line) + " " + reason);
  }
  void RunEnded(TRunOutcome outcome, const std::string& error, const std::string& script) override {
    Log.push_back(std::string("run ") + OutcomeText(outcome) +
                  (error.empty() ? "" : " " + error + " @" + Rel(script)));
  }

  std::vector<std::string> Log;
  std::map<std::string, std::string> Sha256;

 private:
  std::string Rel(const std::string& path) const {
    return path.rfind(Prog, 0) == 0 ? path.substr(Prog.size()) : path;
  }
  std::string Where(const TInstructionRef& l) const {
    return l.Text + " @" + Rel(l.Script) + ":" + std::to_string(l.Line) +
           (l.Card.empty() ? "" : " [" + l.Card + "]");
  }
  std::string Prog;
};

class ScriptWalkerTest : public RunFixture {
 protected:
  // The worked example: a main script, a motherboard sub-script with a version check and a
  // syntax error on its line 5, and a DVI sub-script.
  void WriteExample(bool with_error) {
    Write("script.ini", "rem full update\r\nM0\r\nCM\r\nC0\r\n");
    Write("Qubra/script.ini",
          std::string("T0 0130\r\nP0 bank0.hex\r\nV0 0130\r\nP8 prom1.svf\r\n") +
              (with_error ? "X1\r\n" : ""));
    Write("UQubra/script.ini", "PA cpld.svf\r\n");
    Write("DVI/script.ini", "P9 dvi.svf\r\n");
  }
  void VersionMatches(int component) {
    e.card->on_take = [component](TFakeEngine& eng, const std::string& line) {
      if (line.rfind("T", 0) == 0) eng.OnVersionSame(eng, component);
    };
  }
};

TEST_F(ScriptWalkerTest, WorkedExampleSyntaxErrorNamesTheSubScript) {
  WriteExample(true);
  Make();
  Run();
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M0", "card:T0 0130", "psd:P0 bank0.hex",
                                   "card:V0 0130", "jtag:P8 prom1.svf"));
  EXPECT_THAT(view.error_boxes,
              ElementsAre("Syntax Error in script file line : 5\r\n" + prog + "Qubra/script.ini"));
}

TEST_F(ScriptWalkerTest, WorkedExampleVersionSkipInAutoMode) {
  WriteExample(false);
  Make();
  VersionMatches(0);
  Run();
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M0", "card:T0 0130", "jtag:P8 prom1.svf",
                                   "jtag:P9 dvi.svf", "boot:PB BOOT_EXT_OPTION.HEX", "card:OP 0000",
                                   "card:FI"));
  EXPECT_EQ(view.status.back(), "Program operation completed");
}

// Every instruction's start and end, the lines passed over and why (after the instruction that
// decided it, as they happen), the files read, and one end per run, whichever way it ends.
TEST_F(ScriptWalkerTest, ObserverFollowsInstructionsSkipsAndTheEnd) {
  WriteExample(false);
  Make();
  TRecordingObserver seen(prog);
  ctl->AddObserver(&seen);
  e.card->on_take = [](TFakeEngine& eng, const std::string& line) {
    if (line == "T0 0130") eng.OnVersionSame(eng, 0);
    if (line == "M0") eng.OnCardError(eng, 0);
  };
  Run();
  EXPECT_EQ(ctl->Outcome(), roCOMPLETED);
  EXPECT_THAT(seen.Log,
              ElementsAreArray({"start script.ini",
                                "read script.ini",
                                "begin SYN @script.ini:0 boot",
                                "end SYN done",
                                "begin M0 @script.ini:2 card",
                                "end M0 done",
                                "skip C0 @script.ini:4 card did not answer",
                                "read Qubra/script.ini",
                                "begin T0 0130 @Qubra/script.ini:1 [Qubra] card",
                                "end T0 0130 done",
                                "skip P0 bank0.hex @Qubra/script.ini:2 [Qubra] version match",
                                "skip V0 0130 @Qubra/script.ini:3 [Qubra] version match",
                                "begin P8 prom1.svf @Qubra/script.ini:4 [Qubra] jtag",
                                "end P8 prom1.svf done",
                                "begin PB BOOT_EXT_OPTION.HEX @script.ini:0 boot",
                                "end PB BOOT_EXT_OPTION.HEX done",
                                "begin OP 0000 @script.ini:0 card",
                                "end OP 0000 done",
                                "begin FI @script.ini:0 card",
                                "end FI done",
                                "run completed"}));
  EXPECT_EQ(seen.Sha256["script.ini"], Sha256Hex("rem full update\r\nM0\r\nCM\r\nC0\r\n"));
  EXPECT_EQ(seen.Sha256["Qubra/script.ini"],
            Sha256Hex("T0 0130\r\nP0 bank0.hex\r\nV0 0130\r\nP8 prom1.svf\r\n"));

  // Manual mode: the boxes' components are passed over before the sub-script starts; an
  // engine's error ends its instruction and the run.
  Tick();
  seen.Log.clear();
  e.card->on_take = nullptr;
  ctl->SetManual(true);
  TCompSelection sel;
  sel.PROM1 = false;
  ctl->SetCompSelection(sel);
  e.jtag->on_take = [](TFakeEngine& eng, const std::string&) { eng.ReportError("Boom !!!"); };
  Run();
  EXPECT_EQ(ctl->Outcome(), roERROR);
  EXPECT_THAT(
      std::vector<std::string>(seen.Log.begin() + 7, seen.Log.end()),
      ElementsAre("skip P8 prom1.svf @Qubra/script.ini:4 [Qubra] not selected",
                  "begin T0 0130 @Qubra/script.ini:1 [Qubra] card", "end T0 0130 done",
                  "begin P0 bank0.hex @Qubra/script.ini:2 [Qubra] psd", "end P0 bank0.hex done",
                  "begin V0 0130 @Qubra/script.ini:3 [Qubra] card", "end V0 0130 done",
                  "read DVI/script.ini", "begin P9 dvi.svf @DVI/script.ini:1 [DVI] jtag",
                  "end P9 dvi.svf failed", "run error Boom !!! @DVI/script.ini"));

  // STOP in the middle of an instruction.
  Tick();
  seen.Log.clear();
  e.jtag->on_take = nullptr;
  e.psd->steps = 1000;
  ctl->StartClick();
  for (int i = 0; i < 100 && !e.psd->IsBusy(); ++i) Tick();
  ctl->StartClick();  // STOP
  EXPECT_EQ(ctl->Outcome(), roSTOPPED);
  EXPECT_THAT(std::vector<std::string>(seen.Log.end() - 2, seen.Log.end()),
              ElementsAre("end P0 bank0.hex stopped", "run stopped"));

  // The run's own closing steps fail as any instruction does, once they have been taken.
  Tick();
  seen.Log.clear();
  e.psd->steps = 1;
  e.boot->on_take = [](TFakeEngine& eng, const std::string& line) {
    eng.fail_at_end = line == "PB BOOT_EXT_OPTION.HEX" ? "Bye !!!" : "";
  };
  Run();
  EXPECT_THAT(std::vector<std::string>(seen.Log.end() - 2, seen.Log.end()),
              ElementsAre("end PB BOOT_EXT_OPTION.HEX failed", "run error Bye !!! @script.ini"));
}

TEST_F(ScriptWalkerTest, VersionSkipRules) {
  Write("x.ini", "CM\n");
  // Each case: matched component, and the lines of the sub-script that still run after T.
  struct Case {
    int component;
    bool manual;
    std::vector<std::string> ran;
  } cases[] = {
      {3, false, {"jtag:P8 p", "card:V8 1", "jtag:P9 p"}},
      {0, false, {"jtag:P8 p", "card:V8 1", "jtag:P9 p"}},
      {8, false, {"psd:P0 b", "card:V0 1", "psd:P7 b", "jtag:P9 p"}},
      {3, true, {"psd:P0 b", "card:V0 1", "psd:P7 b", "jtag:P8 p", "card:V8 1", "jtag:P9 p"}},
      {12, false, {"psd:P0 b", "card:V0 1", "psd:P7 b", "jtag:P8 p", "card:V8 1", "jtag:P9 p"}},
  };
  Write("Qubra/x.ini", "T3 1\nP0 b\nV0 1\n  P7 b\nP8 p\nV8 1\nP9 p\n");
  Make(prog + "x.ini");
  for (const auto& c : cases) {
    log.clear();
    ctl->SetManual(c.manual);
    VersionMatches(c.component);
    Run();
    std::vector<std::string> ran(log.begin() + 2, log.end() - 1);  // past SYN, T; before FI
    EXPECT_EQ(ran, c.ran) << c.component << " manual " << c.manual;
    Tick();
  }
}

TEST_F(ScriptWalkerTest, CardLineKinds) {
  struct Case {
    std::string line;
    std::string result;  // the card run, or the error
  } cases[] = {
      {"C0", "DVI"},
      {"C 0", "DVI"},
      {"Cx", "DVI"},
      {"Cz", "DVI"},
      {"CM", "Qubra"},
      {"CMx", "Qubra"},
      {"C1", "Syntax Error in script file line : 3"},
      {"C9", "Syntax Error in script file line : 3"},
      {"CA", "Syntax Error in script file line : 3"},
      {"CF", "Syntax Error in script file line : 3"},
      {"C", "Syntax Error in script file line : 3"},
      {"cm", "Syntax Error in script file line : 3"},
      {"REM x", "Syntax Error in script file line : 3"},
      {"remark", ""},
      {"   ", ""},
  };
  Write("DVI/x.ini", "M1\n");
  Write("Qubra/x.ini", "M2\n");
  Make(prog + "x.ini");
  for (const auto& c : cases) {
    Write("x.ini", "rem\n\n  " + c.line + "  \n");
    log.clear();
    view.error_boxes.clear();
    Run();
    if (c.result == "DVI")
      EXPECT_THAT(log, ElementsAre("boot:SYN", "card:M1", "card:FI")) << c.line;
    else if (c.result == "Qubra")
      EXPECT_THAT(log, ElementsAre("boot:SYN", "card:M2", "card:FI")) << c.line;
    else if (c.result.empty())
      EXPECT_THAT(log, ElementsAre("boot:SYN", "card:FI")) << c.line;
    else
      EXPECT_THAT(view.error_boxes, ElementsAre(c.result + "\r\n" + prog + "x.ini")) << c.line;
    Tick();
  }
}

TEST_F(ScriptWalkerTest, CardLinesInASubScriptAreInstructions) {
  Write("x.ini", "CM\n");
  Write("Qubra/x.ini", "rem\nC0\n");
  Make(prog + "x.ini");
  Run();
  EXPECT_THAT(view.error_boxes,
              ElementsAre("Syntax Error in script file line : 2\r\n" + prog + "Qubra/x.ini"));
}

TEST_F(ScriptWalkerTest, DeviceVariantChoosesTheMotherboardFolder) {
  WriteExample(false);
  Make();
  e.boot->on_take = [](TFakeEngine& eng, const std::string& line) {
    if (line == "SYN") eng.SetDeviceVariant(true);
  };
  Run();
  EXPECT_EQ(Probe().GetMotherboardCard().folder, std::string("UQubra/"));
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M0", "jtag:PA cpld.svf", "jtag:P9 dvi.svf",
                                   "boot:PB BOOT_EXT_OPTION.HEX", "card:OP 0000", "card:FI"));
}

TEST_F(ScriptWalkerTest, MissingCardScript) {
  Write("x.ini", "C0\n");
  Make(prog + "x.ini");
  Run();
  const std::string path = prog + "DVI/x.ini";
  EXPECT_EQ(view.status.back(), path + " File not found !!!");
  EXPECT_THAT(view.error_boxes, ElementsAre(path + " File not found !!!\r\n" + path));
  Tick();
  EXPECT_EQ(Probe().GetCardIndex(), -1);
  EXPECT_EQ(Probe().GetCurentCardDir(), prog);
}

TEST_F(ScriptWalkerTest, EmptySubScriptRunsNothing) {
  Write("x.ini", "CM\nM0\n");
  Write("Qubra/x.ini", "rem only\n\n");
  Make(prog + "x.ini");
  Run();
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M0", "card:FI"));
}

TEST_F(ScriptWalkerTest, SyntaxErrorCountsAllLinesOfItsFile) {
  Write("x.ini", "M0\n\nrem\n  \nM1\nrem x\nZZ 1\nM2\n");
  Make(prog + "x.ini");
  Run();
  EXPECT_EQ(ctl->GetLastError(), "Syntax Error in script file line : 7");
}

TEST_F(ScriptWalkerTest, PingErrorSkipsThatCardOnlyForThisRun) {
  Write("x.ini", "M0\nCM\nC0\n C0\nC 0\n");
  Write("Qubra/x.ini", "M5\n");
  Write("DVI/x.ini", "M6\n");
  Make(prog + "x.ini");
  e.card->on_take = [](TFakeEngine& eng, const std::string& line) {
    if (line == "M0") eng.OnCardError(eng, 0x10);  // low four bits: card 0
  };
  Run();
  // "C 0" does not begin with "C0" and still runs.
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M0", "card:M5", "card:M6", "card:FI"));
  Tick();
  e.card->on_take = nullptr;
  log.clear();
  Run();
  EXPECT_THAT(Taken(), ElementsAre("boot:SYN", "card:M0", "card:M5", "card:M6", "card:M6",
                                   "card:M6", "card:FI"));
}

TEST_F(ScriptWalkerTest, ManualModeSelection) {
  Write("x.ini", "CM\nC0\n");
  Write("Qubra/x.ini", "P0 b\nP7 b\nV7 1\nP8 p\nV8 1\nP9 p\nPA c\nPE e\nM1\n");
  Write("DVI/x.ini", "P8 d\n");
  Make(prog + "x.ini");
  ctl->MManualClick();
  EXPECT_TRUE(view.manual);
  struct Case {
    TCompSelection sel;
    std::vector<std::string> ran;
  };
  TCompSelection no_board;
  no_board.MotherBoard = false;
  TCompSelection prom1_off;
  prom1_off.PROM1 = false;
  TCompSelection only_cpld{true, false, false, false, true, false, true};
  // Bank 7 is one of the MCU's banks, whatever the EDID box says.
  TCompSelection mcu_off{true, false, true, true, true, true, true};
  TCompSelection edid_off{true, true, true, true, true, false, true};
  const Case cases[] = {
      {no_board, {"jtag:P8 d"}},
      {prom1_off,
       {"psd:P0 b", "psd:P7 b", "card:V7 1", "jtag:P9 p", "jtag:PA c", "psd:PE e", "card:M1",
        "jtag:P8 d"}},
      {only_cpld, {"jtag:PA c", "card:M1", "jtag:P8 d"}},  // EDID off: PE goes too
      {mcu_off,
       {"jtag:P8 p", "card:V8 1", "jtag:P9 p", "jtag:PA c", "psd:PE e", "card:M1", "jtag:P8 d"}},
      {edid_off,
       {"psd:P0 b", "psd:P7 b", "card:V7 1", "jtag:P8 p", "card:V8 1", "jtag:P9 p", "jtag:PA c",
        "card:M1", "jtag:P8 d"}},
  };
  for (const auto& c : cases) {
    ctl->SetCompSelection(c.sel);
    log.clear();
    Run();
    std::vector<std::string> ran(log.begin() + 1, log.end() - 1);
    EXPECT_EQ(ran, c.ran);
    Tick();
  }
  // Back in Auto mode the boxes decide nothing.
  ctl->MAutoClick();
  ctl->SetCompSelection(no_board);
  log.clear();
  Run();
  EXPECT_EQ(log.size(), 12u);
}

}  // namespace
