#include "records/RunEvents.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "formats/text.h"

using ::testing::ElementsAre;

namespace {

// One line per event, keys in order; progress only when a bar's whole percent or maximum
// changes, and nothing of the idle box before or after the run.
TEST(RunEvents, FollowARun) {
  std::ostringstream out;
  TRunEvents events(out);
  events.StatusAdded("Click on button START to begin program operation");
  events.ProgressChanged(TMainView::pbCard, 1, 2);
  events.OverallProgressChanged(0, 10, -1);
  events.RunStarted("/p/script.ini");
  events.StatusAdded("Synchronize...");
  events.LinkTroubled("Cannot connect to 127.0.0.1:4001: Connection refused");
  events.ProgressChanged(TMainView::pbOperation, 0, 300);
  events.ProgressChanged(TMainView::pbOperation, 2, 300);  // still 0 %
  events.ProgressChanged(TMainView::pbOperation, 3, 300);
  events.ProgressChanged(TMainView::pbOperation, 3, 301);  // another maximum
  events.ProgressChanged(TMainView::pbScript, 0, 0);
  events.OverallProgressChanged(5, 10, 3.14);
  events.OverallProgressChanged(10, 10, 0);
  events.OverallProgressChanged(10, 10, 0);  // the end, once
  events.DeviceReported({"30", "AAAA", "B234"});
  const TInstructionRef line{"/p/Qubra/script.ini", 2, "P0 b.hex", "Qubra"};
  events.InstructionStarted(line, "psd");
  events.InstructionEnded(line, {irDONE, "psd", 1, 20, 3});
  events.InstructionSkipped(line, "version match");
  events.RunEnded(roERROR, "Checksum Error", "/p/Qubra/script.ini");
  events.StatusAdded("Click on button START to begin program operation");
  events.Finish(1);
  events.Finish(0);  // once only
  EXPECT_THAT(
      SplitLines(out.str()),
      ElementsAre(
          R"({"event":"start","script":"/p/script.ini"})",
          R"({"event":"status","text":"Synchronize..."})",
          R"({"event":"link_trouble","text":"Cannot connect to 127.0.0.1:4001: Connection refused"})",
          R"({"bar":"operation","event":"progress","max":300,"position":0})",
          R"({"bar":"operation","event":"progress","max":300,"position":3})",
          R"({"bar":"operation","event":"progress","max":301,"position":3})",
          R"({"bar":"script","event":"progress","max":0,"position":0})",
          R"({"bar":"overall","eta_seconds":3.1,"event":"progress","max":10,"position":5})",
          R"({"bar":"overall","eta_seconds":0,"event":"progress","max":10,"position":10})",
          R"({"boot_checksum":"B234","event":"device","id":"AAAA","type":"30"})",
          R"({"card":"Qubra","engine":"psd","event":"instruction_start","line":2,)"
          R"("script":"/p/Qubra/script.ini","text":"P0 b.hex"})",
          R"({"card":"Qubra","engine":"psd","event":"instruction_end","line":2,"received":3,)"
          R"("result":"done","retries":1,"script":"/p/Qubra/script.ini","sent":20,)"
          R"("text":"P0 b.hex"})",
          R"({"card":"Qubra","event":"instruction_skipped","line":2,"reason":"version match",)"
          R"("script":"/p/Qubra/script.ini","text":"P0 b.hex"})",
          R"({"error":"Checksum Error","event":"result","exit_status":1,"result":"error",)"
          R"("script":"/p/Qubra/script.ini"})"));

  // How the process ends: after a completed run, or before any run, stopped by a signal (128
  // and up) or failed.
  struct End {
    bool ran;
    int exit_status;
    std::string failure, line;
  };
  const End ends[] = {
      {true, 0, "",
       R"({"error":"","event":"result","exit_status":0,"result":"completed","script":""})"},
      {false, 128, "",
       R"({"error":"","event":"result","exit_status":128,"result":"stopped",)"
       R"("script":""})"},
      {false, 127, "no disk",
       R"({"error":"","event":"result","exit_status":127,"failure":)"
       R"("no disk","result":"error","script":""})"}};
  for (const End& end : ends) {
    std::ostringstream other;
    TRunEvents run(other);
    if (end.ran) {
      run.RunStarted("/p/script.ini");
      run.RunEnded(roCOMPLETED, "", "");
    }
    run.Finish(end.exit_status, end.failure);
    EXPECT_EQ(SplitLines(other.str()).back(), end.line);
  }
}

}  // namespace
