#include "line/ProductionLine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "formats/text.h"
#include "scratch_dir.h"

using ::testing::ElementsAre;

namespace {

bool Parse(const std::string& text, std::vector<TLineDevice>& devices, std::string& error,
           const TSettingsLines& settings = {}) {
  return ParseDeviceList("line.txt", SplitLines(text), settings, devices, error);
}

TEST(DeviceList, ReadsNamesAndLinks) {
  std::vector<TLineDevice> devices;
  std::string error;
  ASSERT_TRUE(
      Parse("# bench 4\r\n\r\n  dev-1\ttcp:127.0.0.1:4001  \r\ndev-2 COM2\r\n"
            "dev-3 /dev/serial/by-id/usb-A\r\ndev-4 udp:127.0.0.1:4002\r\n"
            "dev-5 udp:127.0.0.1:4003:10501\r\n",
            devices, error))
      << error;
  ASSERT_EQ(devices.size(), 5u);
  EXPECT_EQ(devices[0].Name, "dev-1");
  EXPECT_EQ(devices[0].LineNumber, 3);
  EXPECT_EQ(devices[0].Link.Kind, TLinkOption::lkTCP);
  EXPECT_EQ(devices[0].Link.RemotePort, 4001);
  EXPECT_EQ(devices[1].Link.ComPort, 2);
  EXPECT_EQ(devices[2].Link.DevicePath, "/dev/serial/by-id/usb-A");
  EXPECT_EQ(devices[3].Link.LocalPort, 10500);
  EXPECT_EQ(devices[4].Link.LocalPort, 10501);
}

TEST(DeviceList, RefusesBadLinesAndClashesNamingTheLine) {
  const TSettingsLines settings{"COM3_DEVICE=/dev/ttyUSB7"};
  // Two names of one adapter: a stable link, and the node it leads to.
  int master = -1, slave = -1;
  char pty[256] = {};
  ASSERT_EQ(openpty(&master, &slave, pty, nullptr, nullptr), 0);
  ScratchDir by_id;
  std::filesystem::create_symlink(pty, by_id.Path() + "usb-FTDI_FT232R-if00-port0");
  const std::string node = pty;
  const std::pair<std::string, std::string> cases[] = {
      {"a tcp:127.0.0.1:1 extra\n",
       "line.txt:1: NAME LINK expected, not \"a tcp:127.0.0.1:1 extra\""},
      {"# only\nlonely\n", "line.txt:2: NAME LINK expected, not \"lonely\""},
      {"a COM0\n",
       "line.txt:1: \"COM0\" is not a link; LINK is COM1..COM9, a device path (/dev/ttyUSB0), "
       "tcp:A.B.C.D:PORT or udp:A.B.C.D:PORT[:LOCALPORT]"},
      {"a COM1\nb COM2\na COM4\n", "line.txt:3: the name \"a\" is already used by \"a\" on line 1"},
      {"a tcp:127.0.0.1:4001\nb tcp:127.0.0.1:0xFA1\n",
       "line.txt:2: the link \"tcp:127.0.0.1:0xFA1\" (tcp 127.0.0.1:4001) is already used by \"a\" "
       "on line 1"},
      {"a COM3\n\nb /dev/ttyUSB7\n",
       "line.txt:3: the link \"/dev/ttyUSB7\" (serial /dev/ttyUSB7) is already used by \"a\" on "
       "line 1"},
      {"a " + by_id.Path() + "usb-FTDI_FT232R-if00-port0\nb " + node + "\n",
       "line.txt:2: the link \"" + node + "\" (serial " + node +
           ") is already used by \"a\" on line 1"},
      {"a udp:127.0.0.1:4001\nb udp:127.0.0.1:4002\n",
       "line.txt:2: the UDP local port 10500 is already bound by \"a\" on line 1"},
      {"a udp:127.0.0.1:4001:5000\nb tcp:127.0.0.1:4002\nc udp:127.0.0.1:4003:5000\n",
       "line.txt:3: the UDP local port 5000 is already bound by \"a\" on line 1"},
      {"# nothing\n\n", "line.txt: no device listed"},
  };
  for (const auto& [text, message] : cases) {
    std::vector<TLineDevice> devices;
    std::string error;
    EXPECT_FALSE(Parse(text, devices, error, settings)) << text;
    EXPECT_EQ(error, message);
  }
  // A TCP and a UDP link to one address and port are two links.
  std::vector<TLineDevice> devices;
  std::string error;
  EXPECT_TRUE(Parse("a tcp:127.0.0.1:4001\nb udp:127.0.0.1:4001\n", devices, error)) << error;
  ::close(master);
  ::close(slave);
}

void Feed(TDeviceRow& row, const char* json) {
  ApplyEvent(row, QJsonDocument::fromJson(json).object());
}

TEST(LineRows, EventsDriveOperationCardPercentAndError) {
  TDeviceRow row;
  Feed(row, R"({"event":"instruction_start","text":"  P3 BANK3.HEX ","card":"Qubra"})");
  Feed(row, R"({"event":"progress","bar":"operation","position":9,"max":10})");
  Feed(row, R"({"event":"progress","bar":"script","position":2,"max":5})");
  EXPECT_EQ(row.Operation, "P3 BANK3.HEX");
  EXPECT_EQ(row.Card, "Qubra");
  EXPECT_EQ(row.Percent, 40);
  // Half of the card sub-script of the third line is half a line more.
  Feed(row, R"({"event":"progress","bar":"card","position":5,"max":10})");
  EXPECT_EQ(row.Percent, 50);
  // The sub-script's end: the card bar full, then the script bar's step.
  Feed(row, R"({"event":"progress","bar":"card","position":10,"max":10})");
  EXPECT_EQ(row.Percent, 40);
  Feed(row, R"({"event":"progress","bar":"script","position":3,"max":5})");
  EXPECT_EQ(row.Percent, 60);
  EXPECT_FALSE(row.Ended);
  Feed(row, R"({"event":"result","result":"error","error":"Checksum Error","script":"/p/x.ini"})");
  EXPECT_TRUE(row.Ended);
  EXPECT_EQ(row.Error, "Checksum Error");
  EXPECT_EQ(row.ErrorScript, "/p/x.ini");
  TDeviceRow report_failed;
  Feed(report_failed, R"({"event":"result","result":"completed","error":"","failure":"no disk"})");
  EXPECT_EQ(report_failed.Error, "no disk");
  Feed(report_failed, R"({"event":"progress","bar":"script","position":1,"max":1})");
  EXPECT_EQ(report_failed.Percent, 100);
}

TEST(LineRows, TableProgressLinesAndSummary) {
  auto row = [](std::string name, std::string link, TDeviceState state, std::string operation = "",
                std::string card = "", int percent = 0, double seconds = 0, std::string error = "",
                std::string script = "") {
    TDeviceRow r;
    r.Name = std::move(name);
    r.Link = std::move(link);
    r.State = state;
    r.Operation = std::move(operation);
    r.Card = std::move(card);
    r.Percent = percent;
    r.Seconds = seconds;
    r.Error = std::move(error);
    r.ErrorScript = std::move(script);
    return r;
  };
  std::vector<TDeviceRow> rows{
      row("tcp1", "tcp:127.0.0.1:4001", dsCOMPLETED, "FI", "", 100, 11.84),
      row("tcp2", "tcp:127.0.0.1:4002", dsFAILED, "P0 BANK0.HEX", "Qubra", 33, 2.06,
          "Error while writing!!!", "/p/Qubra/script.ini"),
      row("udp1", "udp:127.0.0.1:4003:4010", dsRUNNING, "P8 PROM1.SVF", "Qubra", 71, 8.0),
      row("pty1", "/dev/pts/7", dsWAITING)};
  EXPECT_THAT(
      FormatTable(rows, 200),
      ElementsAre(
          "NAME  LINK                     STATE      OPERATION               CARD    DONE   "
          "ELAPSED  ERROR",
          "tcp1  tcp:127.0.0.1:4001       completed  FI                              100%     "
          "11.8s",
          "tcp2  tcp:127.0.0.1:4002       failed     P0 BANK0.HEX            Qubra    33%      "
          "2.1s  Error while writing!!!",
          "udp1  udp:127.0.0.1:4003:4010  running    P8 PROM1.SVF            Qubra    71%      "
          "8.0s",
          "pty1  /dev/pts/7               waiting"));
  // Cut to the terminal, a long operation ends in "~".
  rows[2].Operation = "P8 A_VERY_LONG_EFFECT_FILE_NAME.SVF";
  const std::vector<std::string> narrow = FormatTable(rows, 60);
  for (const std::string& line : narrow) EXPECT_LE(line.size(), 60u);
  EXPECT_EQ(narrow[3].substr(42), "P8 A_VERY_LONG_EFF");
  EXPECT_EQ(FormatTable(rows, 200)[3].substr(42, 24), "P8 A_VERY_LONG_EFFECT~  ");

  EXPECT_EQ(FormatProgressLine(rows[0]), "tcp1 tcp:127.0.0.1:4001: completed in 11.8 s");
  EXPECT_EQ(FormatProgressLine(rows[1]),
            "tcp2 tcp:127.0.0.1:4002: failed after 2.1 s: Error while writing!!! "
            "(/p/Qubra/script.ini)");
  EXPECT_EQ(FormatProgressLine(rows[2]), "udp1 udp:127.0.0.1:4003:4010: started");
  rows[3].State = dsSTOPPED;
  EXPECT_EQ(FormatProgressLine(rows[3]), "pty1 /dev/pts/7: stopped before it started");
  EXPECT_EQ(FormatSummary(rows),
            "4 devices: 1 completed, 1 failed, 1 stopped\n"
            "failed: tcp2 tcp:127.0.0.1:4002: Error while writing!!! (/p/Qubra/script.ini)\n");
}

// The line's children played by a shell script: each device's "updater" reports and ends as its
// name says, and notes the arguments it was given.
class LineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "tests_line";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    dir.Write("updater",
              "#!/bin/sh\n"
              "echo \"$@\" >> \"$(dirname \"$0\")/args.txt\"\n"
              "[ $3 = --name=slow ] && trap 'kill $!; exit 143' TERM\n"
              "[ $3 = --name=stubborn ] && trap 'kill $!; exit 1' TERM\n"
              "echo '{\"event\":\"instruction_start\",\"text\":\"P0 b.hex\",\"card\":\"Qubra\"}'\n"
              "case $3 in\n"
              "  --name=good) exit 0 ;;\n"
              "  --name=fails) echo '{\"event\":\"result\",\"error\":\"Checksum Error\","
              "\"script\":\"/p/s.ini\"}'; exit 1 ;;\n"
              "  --name=dies) kill -9 $$ ;;\n"
              "  --name=says) printf '\\nqubra-updater: no script.ini\\n' >&2; exit 2 ;;\n"
              "  --name=slow | --name=stubborn) sleep 60 & wait ;;\n"
              "  --name=dying) exec sleep 60 ;;\n"
              "esac\n"
              "exit 3\n");
    std::filesystem::permissions(dir.Path() + "updater", std::filesystem::perms::owner_all);
  }

  std::vector<TLineDevice> Devices(const std::vector<std::string>& names) {
    std::vector<TLineDevice> devices;
    for (const std::string& name : names) {
      TLineDevice d{name, {}, 0};
      std::string error;
      EXPECT_TRUE(ParseLinkOption("COM1", d.Link, error));
      devices.push_back(d);
    }
    return devices;
  }

  TProductionLine::TConfig Config(int jobs) {
    TProductionLine::TConfig c;
    c.Program = dir.Path() + "updater";
    c.SharedArgs = {"--timeout=5"};
    c.Jobs = jobs;
    return c;
  }

  std::string Args() {
    std::ifstream in(dir.Path() + "args.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  ScratchDir dir;
  std::ostringstream out;
};

// One at a time: each device starts once the one before has ended; the way each ended becomes
// its state and error.
TEST_F(LineRun, RunsEachDeviceAndTellsHowItEnded) {
  const std::vector<std::string> names{"good", "fails", "dies", "says", "other"};
  TProductionLine line(Config(1), Devices(names), out);
  EXPECT_EQ(line.Exec(), 1);
  std::vector<std::string> states, errors;
  for (const TDeviceRow& r : line.Rows()) {
    states.push_back(DeviceStateText(r.State));
    errors.push_back(r.Error + (r.ErrorScript.empty() ? "" : " @" + r.ErrorScript));
    EXPECT_EQ(r.Operation, "P0 b.hex");
  }
  EXPECT_THAT(states, ElementsAre("completed", "failed", "failed", "failed", "failed"));
  EXPECT_THAT(errors,
              ElementsAre("", "Checksum Error @/p/s.ini", "the updater ended abnormally",
                          "qubra-updater: no script.ini", "the updater ended with status 3"));
  std::string expected_args;
  for (const std::string& name : names)
    expected_args += "--batch --events --name=" + name + " --link=COM1 --timeout=5\n";
  EXPECT_EQ(Args(), expected_args);
  const std::vector<std::string> lines = SplitLines(out.str());
  ASSERT_EQ(lines.size(), 2 * names.size() + 5);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(lines[2 * i], names[i] + " COM1: started");
    EXPECT_EQ(lines[2 * i + 1].rfind(names[i] + " COM1: " + states[i], 0), 0u) << lines[2 * i + 1];
  }
  EXPECT_EQ(lines[2 * names.size()], "5 devices: 1 completed, 4 failed, 0 stopped");

  // A program that cannot start fails its device.
  TProductionLine::TConfig missing = Config(0);
  missing.Program = dir.Path() + "none";
  TProductionLine nothing(missing, Devices({"good"}), out);
  EXPECT_EQ(nothing.Exec(), 1);
  EXPECT_EQ(nothing.Rows()[0].Error.rfind("cannot start " + missing.Program + ": ", 0), 0u);
}

// STOP for the line: the running devices are sent the signal, whether they stop the run or die
// of it (one that fails then has failed), and the waiting one never starts. On a terminal the
// table is drawn over itself, cut to the width, also while nothing happens.
TEST_F(LineRun, StopEndsTheRunningAndStartsNoOther) {
  TProductionLine::TConfig c = Config(3);
  c.Table = true;
  c.Width = 60;
  TProductionLine line(c, Devices({"slow", "dying", "stubborn", "good"}), out);
  const auto drawings = [&] {
    const std::string text = out.str();
    int n = 0;
    for (size_t at = 0; (at = text.find("\r\033[KNAME", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  int drawn_at_stop = 0;
  QElapsedTimer clock;
  clock.start();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
    const auto& rows = line.Rows();
    const bool running = std::all_of(rows.begin(), rows.begin() + 3,
                                     [](const TDeviceRow& r) { return r.Operation == "P0 b.hex"; });
    if (drawn_at_stop == 0 && ((running && drawings() > 4) || clock.elapsed() > 10000)) {
      drawn_at_stop = drawings();
      line.Stop(SIGTERM);
    }
  });
  poll.start(1);
  EXPECT_EQ(line.Exec(), 128 + SIGTERM);
  EXPECT_GT(drawn_at_stop, 4);  // the first drawing, one per start, then the timer's
  std::vector<std::string> states;
  for (const TDeviceRow& r : line.Rows()) states.push_back(DeviceStateText(r.State));
  EXPECT_THAT(states, ElementsAre("stopped", "stopped", "failed", "stopped"));
  EXPECT_EQ(SplitLines(Args()).size(), 3u);
  const std::string text = out.str();
  // The longest name sets the column; no line is wider than the terminal less one.
  EXPECT_EQ(text.rfind("\r\033[KNAME      LINK  STATE", 0), 0u);
  EXPECT_NE(text.find("\033[5A\r\033[KNAME"), std::string::npos);
  size_t widest = 0;
  for (const std::string& l : SplitLines(text))
    if (l.rfind("\033[K") != std::string::npos)
      widest = std::max(widest, l.size() - l.rfind("\033[K") - 3);
  EXPECT_EQ(widest, 59u);
  EXPECT_THAT(text,
              ::testing::EndsWith("\r\033[Kgood      COM1  stopped\n"
                                  "4 devices: 0 completed, 1 failed, 3 stopped\n"
                                  "failed: stubborn COM1: the updater ended with status 1\n"));
}

}  // namespace
