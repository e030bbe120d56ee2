#include "line/ProductionLine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "formats/text.h"
#include "line/FakeChildren.h"
#include "link/link_test_util.h"
#include "scratch_dir.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;

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

// Written back, a list keeps its comments, blank lines and the spacing of unchanged lines; a
// removed device's comment stays for the next, an added device comes last.
TEST(DeviceList, WrittenBackKeepsWhatTheOperatorWrote) {
  const std::vector<std::string> lines = SplitLines(
      "# bench\n\n  a\ttcp:127.0.0.1:1\n# b's\nb COM2\n# c's\nc COM3\n\n# spare\nd COM4\n# end\n");
  std::vector<TLineDevice> devices = ReadDeviceEntries(lines);
  devices[2].Link.Text = "COM5";
  devices.erase(devices.begin() + 1);  // b
  devices.push_back({"e", {}, 0});     // its link not typed yet
  EXPECT_EQ(WriteDeviceEntries(lines, devices),
            SplitLines("# bench\n\n  a\ttcp:127.0.0.1:1\n# b's\n# c's\nc COM5\n\n# spare\n"
                       "d COM4\ne\n# end\n"));
  // Without a and d, what came before them stays.
  devices.pop_back();
  devices.pop_back();
  devices.erase(devices.begin());
  EXPECT_EQ(WriteDeviceEntries(lines, devices),
            SplitLines("# bench\n\n# b's\n# c's\nc COM5\n\n# spare\n# end\n"));
}

TEST(DeviceList, RefusesBadLinesAndClashesNamingTheLine) {
  const TSettingsLines settings{"COM3_DEVICE=/dev/ttyUSB7"};
  const std::pair<std::string, std::string> cases[] = {
      {"a tcp:127.0.0.1:1 extra\n",
       "line.txt:1: NAME LINK expected, not \"a tcp:127.0.0.1:1 extra\""},
      {"# only\nlonely\n", "line.txt:2: NAME LINK expected, not \"lonely\""},
      {"a COM0\n",
       "line.txt:1: \"COM0\" is not a link; LINK is COM1..COM9, a device path (/dev/ttyUSB0), "
       "tcp:A.B.C.D:PORT or udp:A.B.C.D:PORT[:LOCALPORT]"},
      {"a COM1\nb COM2\na COM4\n", "line.txt:3: the name \"a\" is already used by \"a\" on line 1"},
      {"a tcp:127.0.0.1:4001\nb tcp:127.000.0.1:4001\n",
       "line.txt:2: bad address \"127.000.0.1\" in \"tcp:127.000.0.1:4001\": A.B.C.D expected, "
       "each part 0 to 255 in decimal without leading zeros; LINK is COM1..COM9, a device path "
       "(/dev/ttyUSB0), tcp:A.B.C.D:PORT or udp:A.B.C.D:PORT[:LOCALPORT]"},
      {"a tcp:127.0.0.1:4001\nb tcp:127.0.0.1:4001\n",
       "line.txt:2: the link \"tcp:127.0.0.1:4001\" (tcp 127.0.0.1:4001) is already used by \"a\" "
       "on line 1"},
      {"a COM3\n\nb /dev/ttyUSB7\n",
       "line.txt:3: the link \"/dev/ttyUSB7\" (serial /dev/ttyUSB7) is already used by \"a\" on "
       "line 1"},
      {"a udp:127.0.0.1:4001\nb udp:127.0.0.1:4002\n",
       "line.txt:2: the UDP local port 10500 is already bound by \"a\" on line 1"},
      {"a udp:127.0.0.1:4001:5000\nb tcp:127.0.0.1:4002\nc udp:127.0.0.1:4003:5000\n",
       "line.txt:3: the UDP local port 5000 is already bound by \"a\" on line 1"},
      {"# nothing\n\n", "line.txt: no device listed"},
      {std::string("a COM1\nab\0cd COM2\n", 18),
       "line.txt:2: the name \"ab\\x00cd\" holds a control character"},
      // Every fault at once, each with its line; a line refused takes nothing away from later
      // ones.
      {"lonely\na COM1\nb udp:127.0.0.1:0x50\na COM1\nc tcp:127.0.0.1:1\n",
       "line.txt:1: NAME LINK expected, not \"lonely\"\n"
       "line.txt:3: bad port \"0x50\" in \"udp:127.0.0.1:0x50\": a port from 1 to 65535 in "
       "decimal expected; LINK is COM1..COM9, a device path (/dev/ttyUSB0), tcp:A.B.C.D:PORT or "
       "udp:A.B.C.D:PORT[:LOCALPORT]\n"
       "line.txt:4: the name \"a\" is already used by \"a\" on line 2\n"
       "line.txt:4: the link \"COM1\" (serial /dev/ttyS0) is already used by \"a\" on line 2"},
  };
  for (const auto& [text, message] : cases) {
    std::vector<TLineDevice> devices;
    std::string error;
    EXPECT_FALSE(Parse(text, devices, error, settings)) << text;
    EXPECT_EQ(error, message);
  }
  // The window's list: each entry is checked against those before it, and again after an edit.
  TFakeChildren children;
  TProductionLine line({},
                       ReadDeviceEntries(SplitLines("a tcp:127.0.0.1:1\r\n# c\r\n"
                                                    "b tcp:127.0.0.1:1\r\nc COM3 x\r\n")),
                       children);
  auto problems = [&line] {
    std::vector<std::string> out;
    for (const TDeviceRow& r : line.Rows()) out.push_back(r.Name + ": " + r.Problem);
    return out;
  };
  EXPECT_THAT(problems(),
              ElementsAre("a: ",
                          "b: the link \"tcp:127.0.0.1:1\" (tcp 127.0.0.1:1) is already used by "
                          "\"a\" on line 1",
                          "c: NAME LINK expected, not \"c COM3 x\""));
  EXPECT_TRUE(line.SetDevice(2, "c", "COM3"));
  line.AddDevice("#d", "COM4");
  EXPECT_TRUE(line.RemoveDevice(0));
  EXPECT_THAT(problems(), ElementsAre("b: ", "c: ", "#d: the name \"#d\" begins with \"#\""));
  EXPECT_FALSE(line.RemoveDevice(3));

  std::vector<TLineDevice> devices;
  std::string error;
  std::string many;
  for (int i = 0; i < 25; ++i) many += "x\n";
  EXPECT_FALSE(Parse(many, devices, error));
  const std::vector<std::string> lines = SplitLines(error);
  ASSERT_EQ(lines.size(), kMaxListErrors + 1);
  EXPECT_EQ(lines[19], "line.txt:20: NAME LINK expected, not \"x\"");
  EXPECT_EQ(lines.back(), "line.txt: 5 more errors not listed");
  // A TCP and a UDP link to one address and port are two links.
  EXPECT_TRUE(Parse("a tcp:127.0.0.1:4001\nb udp:127.0.0.1:4001\n", devices, error)) << error;
}

// A list's line numbers are those every reader of text files counts (scripts are read with
// LineReader, effect files counted with CountLines): CR LF, LF or CR each end a line, and a last
// line without its end counts.
TEST(DeviceList, LineNumbersAgreeWithTheOtherReaders) {
  ScratchDir dir;
  for (const std::string text : {"a COM1\r\nbad\r\n", "a COM1\r\nbad", "\r\n\r\na COM1\rbad\n",
                                 "a COM1\n\rbad\r", "\n\n\nbad", "\r\r\n\n\rbad\r\n"}) {
    dir.Write("line.txt", text);
    std::vector<std::string> lines, streamed;
    std::string why, line;
    ASSERT_TRUE(ReadTextLines(dir.Path() + "line.txt", lines, &why)) << why;
    LineReader reader;
    ASSERT_TRUE(reader.Open(dir.Path() + "line.txt"));
    while (reader.Next(line)) streamed.push_back(line);
    EXPECT_EQ(streamed, lines);
    std::vector<TLineDevice> devices;
    EXPECT_FALSE(ParseDeviceList("line.txt", lines, {}, devices, why));
    EXPECT_EQ(why,
              "line.txt:" + std::to_string(CountLines(text)) + ": NAME LINK expected, not \"bad\"");
    EXPECT_EQ(ReadDeviceEntries(lines).back().LineNumber, CountLines(text));
  }
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
  EXPECT_EQ(row.Percent, 0);  // the bars go back at every line: DONE is the bytes sent
  Feed(row, R"({"event":"progress","bar":"overall","position":580,"max":1000,"eta_seconds":null})");
  EXPECT_EQ(row.Percent, 58);
  EXPECT_LT(row.EtaSeconds, 0);
  // A component passed over leaves the total: the share done still only grows.
  Feed(row, R"({"event":"progress","bar":"overall","position":850,"max":900,"eta_seconds":4.5})");
  EXPECT_EQ(row.Percent, 94);
  EXPECT_EQ(row.OverallPosition, 850);
  EXPECT_EQ(row.OverallMax, 900);
  EXPECT_EQ(row.EtaSeconds, 4.5);
  Feed(row, R"({"event":"progress","bar":"card","position":10,"max":10})");
  EXPECT_EQ(row.Percent, 94);
  EXPECT_FALSE(row.Ended);
  Feed(row, R"({"event":"link_trouble","text":"Cannot connect to 127.0.0.1:4001: No route"})");
  EXPECT_EQ(row.Trouble, "No route");  // until the device answers
  Feed(row, R"({"event":"device","type":"30"})");
  EXPECT_EQ(row.Trouble, "");
  Feed(row, R"({"event":"status","text":"Upload Bank3"})");
  Feed(row, R"({"event":"status","text":"Verify Bank3"})");
  EXPECT_THAT(row.Status, ElementsAre("Upload Bank3", "Verify Bank3"));
  Feed(row,
       R"({"event":"result","result":"error","error":"Checksum Error","script":"/p/ü x.ini"})");
  EXPECT_TRUE(row.Ended);
  EXPECT_EQ(row.Error, "Checksum Error");
  EXPECT_EQ(row.ErrorScript, "/p/ü x.ini");  // the file's own name, not its Latin-1 reading
  TDeviceRow report_failed;
  Feed(report_failed, R"({"event":"result","result":"completed","error":"","failure":"no disk"})");
  EXPECT_EQ(report_failed.Result, "completed");
  EXPECT_EQ(report_failed.Error, "");
  EXPECT_EQ(report_failed.ReportFailure, "no disk");
}

// The line's time left: devices running end as they expect, those waiting for their turn take
// the first slots to come free, each as long as a completed device took.
TEST(LineRows, LineTimeLeft) {
  auto row = [](TDeviceState state, double seconds, double eta, bool queued = false) {
    TDeviceRow r;
    r.State = state;
    r.Seconds = seconds;
    r.EtaSeconds = eta;
    r.Queued = queued;
    return r;
  };
  const TDeviceRow done = row(dsCOMPLETED, 10, -1), idle = row(dsWAITING, 0, -1);
  const TDeviceRow queued = row(dsWAITING, 0, -1, true), failed = row(dsFAILED, 3, -1);
  const struct {
    std::vector<TDeviceRow> rows;
    int jobs;
    double left;
  } cases[] = {
      {{done, idle, failed}, 0, 0},
      {{row(dsRUNNING, 1, 4), row(dsRUNNING, 2, 7), idle}, 0, 7},
      {{row(dsRUNNING, 1, 4), row(dsRUNNING, 2, -1)}, 0, -1},
      // Two slots: the queued ones follow the device ending at 4 s, then the one at 6 s.
      {{done, row(dsRUNNING, 8, 4), row(dsRUNNING, 1, 6), queued, queued}, 2, 16},
      {{done, row(dsRUNNING, 8, 4), queued, queued, queued}, 1, 34},
      // Nothing completed yet: as long as the running device expects its whole run to take.
      {{row(dsRUNNING, 2, 3), queued}, 1, 8},
      {{queued}, 1, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(LineEtaSeconds(c.rows, c.jobs), c.left);
}

TEST(LineRows, TableProgressLinesAndSummary) {
  auto row = [](std::string name, std::string link, TDeviceState state, std::string operation = "",
                std::string card = "", int percent = 0, double seconds = 0, std::string error = "",
                std::string script = "", double eta = -1) {
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
    r.EtaSeconds = eta;
    r.Connected = true;
    return r;
  };
  std::vector<TDeviceRow> rows{row("tcp1", "tcp:127.0.0.1:4001", dsCOMPLETED, "FI", "", 100, 11.84),
                               row("tcp2", "tcp:127.0.0.1:4002", dsFAILED, "P0 BANK0.HEX", "Qubra",
                                   33, 2.06, "Error while writing!!!\r", "/p/Qubra/script.ini"),
                               row("udp1", "udp:127.0.0.1:4003:4010", dsRUNNING, "P8 PROM1.SVF",
                                   "Qubra", 71, 8.0, "", "", 3.6),
                               row("pté1", "/dev/pts/7", dsWAITING)};
  // ETA only while running, and only once known.
  rows[1].EtaSeconds = 2;
  EXPECT_THAT(FormatTable(rows, 200), ElementsAre("NAME  LINK                     STATE       "
                                                  "OPERATION               CARD    DONE     ETA   "
                                                  "ELAPSED  ERROR",
                                                  "tcp1  tcp:127.0.0.1:4001       completed   FI    "
                                                  "                          100%             "
                                                  "11.8s",
                                                  "tcp2  tcp:127.0.0.1:4002       failed      P0 "
                                                  "BANK0.HEX            Qubra    33%              "
                                                  "2.1s  Error while writing!!!\\x0D",
                                                  "udp1  udp:127.0.0.1:4003:4010  running     P8 "
                                                  "PROM1.SVF            Qubra    71%      4s      "
                                                  "8.0s",
                                                  "pté1  /dev/pts/7               waiting"));
  // Cut to the terminal, a long operation ends in "~".
  rows[2].Operation = "P8 A_VERY_LONG_EFFECT_FILE_NAME.SVF";
  const std::vector<std::string> narrow = FormatTable(rows, 60);
  for (const std::string& line : narrow) EXPECT_LE(line.size(), 60u);
  EXPECT_EQ(narrow[3].substr(43), "P8 A_VERY_LONG_EF");
  EXPECT_EQ(FormatTable(rows, 200)[3].substr(43, 24), "P8 A_VERY_LONG_EFFECT~  ");

  EXPECT_EQ(FormatProgressLine(rows[0]), "tcp1 tcp:127.0.0.1:4001: completed in 11.8 s");
  EXPECT_EQ(FormatProgressLine(rows[1]),
            "tcp2 tcp:127.0.0.1:4002: failed after 2.1 s: Error while writing!!!\\x0D "
            "(/p/Qubra/script.ini)");
  EXPECT_EQ(FormatProgressLine(rows[2]), "udp1 udp:127.0.0.1:4003:4010: started");
  rows[2].Trouble = "Connection refused";
  EXPECT_THAT(FormatTable(rows, 200)[3], EndsWith("8.0s  retrying: Connection refused"));
  EXPECT_THAT(FormatProgressLine(rows[2]), EndsWith("4010: retrying: Connection refused"));
  rows[2].Connected = false;
  EXPECT_EQ(FormatTable(rows, 200)[3].substr(31, 12), "connecting  ");
  rows[3].State = dsSTOPPED;
  EXPECT_EQ(FormatTable(rows, 200)[4], "pté1  /dev/pts/7               stopped");
  EXPECT_EQ(FormatProgressLine(rows[3]), "pté1 /dev/pts/7: stopped before it started");
  rows[3].Name = "p\x1B[2J";  // a name from the list never steers the terminal
  EXPECT_EQ(FormatTable(rows, 200)[4], "p\\x1B[2J  /dev/pts/7               stopped");
  EXPECT_EQ(FormatProgressLine(rows[3]), "p\\x1B[2J /dev/pts/7: stopped before it started");
  rows[3].Name = "pté1";
  EXPECT_EQ(FormatSummary(rows, skEND),
            "4 devices: 1 completed, 1 failed, 1 stopped\n"
            "failed: tcp2 tcp:127.0.0.1:4002: Error while writing!!!\\x0D (/p/Qubra/script.ini)\n");
  rows[0].Problem = "refused";
  EXPECT_EQ(FormatSummary(rows, skLIVE),
            "4 devices: 0 waiting, 1 running, 0 completed, 1 failed, 1 stopped (1 refused by the "
            "check)");
  rows[2].State = rows[3].State = dsSTOPPED;
  rows[3].Seconds = 1;
  EXPECT_THAT(FormatSummary(rows, skEND),
              EndsWith("stopped: udp1 udp:127.0.0.1:4003:4010: before its link connected; nothing "
                       "was sent\nstopped: pté1 /dev/pts/7: may be partly updated; run the update "
                       "again to finish it\n"));
}

// The table in a terminal of few lines: the running and failed devices, then a count of the
// rest; the cursor's line is not the table's.
TEST(LineRows, TableFitsTheTerminalsLines) {
  std::vector<TDeviceRow> rows(6);
  const TDeviceState states[] = {dsCOMPLETED, dsRUNNING, dsWAITING, dsFAILED, dsWAITING, dsRUNNING};
  for (size_t i = 0; i < rows.size(); ++i) {
    rows[i].Name = "d" + std::to_string(i);
    rows[i].State = states[i];
  }
  const std::vector<std::string> table = FormatTable(rows, 80);
  auto names = [](const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) out.push_back(l.substr(0, l.find(' ')));
    return out;
  };
  const std::pair<size_t, std::vector<std::string>> cases[] = {
      {0, {"NAME", "d0", "d1", "d2", "d3", "d4", "d5"}},
      {7, {"NAME", "d0", "d1", "d2", "d3", "d4", "d5"}},
      {6, {"NAME", "d1", "d2", "d3", "d5", "(2"}},
      {4, {"NAME", "d1", "d5", "(4"}},
      {2, {"NAME", "(6"}},
      {1, {"(6"}},
  };
  for (const auto& [lines, expected] : cases)
    EXPECT_EQ(names(FitTable(table, rows, lines)), expected) << lines;
  EXPECT_EQ(FitTable(table, rows, 4).back(), "(4 more: 1 failed, 2 waiting, 1 completed)");
  // The notice under the table is wrapped to the screen, never cut: it names the spool.
  TTableScreen screen(21, 8);
  const std::string drawn = screen.Draw(rows, "history not written: kept in /x/y.spool");
  EXPECT_NE(drawn.find("\r\033[Khistory not written:\n\r\033[K kept in /x/y.spool\n"),
            std::string::npos)
      << drawn;
}

// The line over children the test plays, each ending as its NAME says, in a folder whose name
// is not ASCII.
class LineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApp();
    children.Script = Play;
  }

  static void Play(TFakeChildren::TRun& run) {
    const std::string name = run.Command.Args.at(2).substr(std::strlen("--name="));
    auto result = [&run](const std::string& result, const std::string& error,
                         const std::string& status, const std::string& more = "") {
      run.Say(R"({"event":"result","result":")" + result + R"(","error":")" + error +
              R"(","script":"","exit_status":)" + status + more + "}");
    };
    if (name.rfind("args", 0) == 0 || name.rfind("brief", 0) == 0) {
      result("completed", "", "0");
      run.Exit(0);
    } else if (name == "unrecorded") {
      result("completed", "", "1",
             R"(,"failure":"cannot write the report file r: File too large")");
      run.Exit(1);
    } else if (name == "interrupted") {
      result("stopped", "", "130");
      run.Exit(130);
    } else if (name == "failed") {
      result("error", "Error while writing!!!", "1");
      run.Exit(1);
    } else if (name == "hungup") {
      run.Exit(129);
    } else if (name == "killed") {
      run.Die(SIGKILL);
    } else if (name == "interrupt") {
      run.Die(SIGINT);
    } else if (name == "usage") {
      run.Exit(2, "\nqubra-updater: --folder x: no such folder\n");
    }  // "slow": runs until it is signalled
  }

  // Devices of the given names, on links of their own.
  std::vector<TLineDevice> Devices(const std::vector<std::string>& names) {
    std::vector<TLineDevice> devices;
    for (const std::string& name : names) {
      TLineDevice d{name, {}, static_cast<int>(devices.size() + 1)};
      std::string error;
      EXPECT_TRUE(
          ParseLinkOption("tcp:127.0.0.1:" + std::to_string(4001 + devices.size()), d.Link, error));
      devices.push_back(d);
    }
    return devices;
  }

  TProductionLine::TConfig Config() {
    TProductionLine::TConfig c;
    c.Program = folder + "qubra-updater";
    c.ReportFile = folder + "rép.jsonl";
    c.Script = folder + "script ü.ini";
    c.SharedArgs = {"--folder=" + folder, "--report=" + c.ReportFile, c.Script};
    return c;
  }

  std::map<std::string, QJsonObject> Records() {
    std::map<std::string, QJsonObject> records;
    std::ifstream in(folder + "rép.jsonl");
    for (std::string line; std::getline(in, line);) {
      const QJsonObject r = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
      EXPECT_EQ(records.count(r["name"].toString().toStdString()), 0u) << line;
      records[r["name"].toString().toStdString()] = r;
    }
    return records;
  }

  bool WaitIdle(TProductionLine& line) {
    return WaitFor([&line] { return !line.Busy(); });
  }

  ScratchDir dir;
  const std::string folder = dir.Path() + "pkg ü€/";
  TFakeChildren children;
  std::ostringstream out;
};

// How each child ends decides its state, whatever the order of signals; a child that wrote no
// record gets one from the line, and an unwritten record is a fact beside a completed device.
TEST_F(LineRun, EachChildsEndAndItsRecord) {
  struct TCase {
    std::string Name;
    TDeviceState State;
    std::string Error;
    std::string Recorded;  // "result error exit_status" of the line's record; "" for none
  };
  const std::string killed = "the updater was killed by signal 9 (SIGKILL)";
  const std::string usage = "qubra-updater: --folder x: no such folder";
  const TCase cases[] = {
      {"args-dév€", dsCOMPLETED, "", ""},
      {"unrecorded", dsCOMPLETED, "", ""},
      {"interrupted", dsSTOPPED, "", ""},
      {"failed", dsFAILED, "Error while writing!!!", ""},
      {"hungup", dsSTOPPED, "", "stopped  129"},
      {"killed", dsFAILED, killed, "error " + killed + " null"},
      {"interrupt", dsSTOPPED, "", "stopped the updater was killed by signal 2 (SIGINT) null"},
      {"usage", dsFAILED, usage, "error " + usage + " 2"},
  };
  std::filesystem::create_directories(folder);
  std::vector<std::string> names;
  for (const TCase& c : cases) names.push_back(c.Name);
  TProductionLine line(Config(), Devices(names), children, out);
  EXPECT_EQ(line.Exec(), 1);
  const std::map<std::string, QJsonObject> records = Records();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const TCase& c = cases[i];
    EXPECT_EQ(DeviceStateText(line.Rows()[i].State), std::string(DeviceStateText(c.State)))
        << c.Name;
    EXPECT_EQ(line.Rows()[i].Error, c.Error) << c.Name;
    auto it = records.find(c.Name);
    if (c.Recorded.empty()) {
      EXPECT_EQ(it, records.end()) << c.Name;
      continue;
    }
    ASSERT_NE(it, records.end()) << c.Name;
    const QJsonObject& r = it->second;
    EXPECT_EQ((r["result"].toString() + " " + r["error"].toString() + " " +
               (r["exit_status"].isNull() ? "null" : QString::number(r["exit_status"].toInt())))
                  .toStdString(),
              c.Recorded);
    EXPECT_EQ(r["link"].toString().toStdString(), "127.0.0.1:" + std::to_string(4001 + i));
    EXPECT_EQ(r["script"].toString().toStdString(), folder + "script ü.ini");
    EXPECT_FALSE(r["start"].toString().isEmpty());
  }
  EXPECT_THAT(out.str(), HasSubstr("\nnot recorded: unrecorded tcp:127.0.0.1:4002: cannot write "
                                   "the report file r: File too large\n"));
  // Each child is the updater, told its device; it stops with the line.
  const TChildCommand& first = children.Runs.at(0)->Command;
  EXPECT_EQ(first.Program, folder + "qubra-updater");
  EXPECT_THAT(first.Args, ElementsAre("--batch", "--events", "--name=args-dév€",
                                      "--link=tcp:127.0.0.1:4001", "--folder=" + folder,
                                      "--report=" + folder + "rép.jsonl", folder + "script ü.ini"));
  EXPECT_EQ(first.ParentDeathSignal, SIGHUP);
}

// Devices started one by one, one at a time: the one waiting for its turn stops at once when
// asked, the running one is sent the signal, and the one never started still waits.
TEST_F(LineRun, StartsAndStopsOneDevice) {
  TProductionLine::TConfig c = Config();
  c.Jobs = 1;
  TProductionLine line(c, Devices({"slow1", "slow2", "brief"}), children);
  ASSERT_TRUE(line.SetDevice(0, "slow1", "tcp:127.0.0.1:4999"));
  EXPECT_EQ(line.Rows()[0].Link, "tcp:127.0.0.1:4999");
  line.StartDevice(0);
  line.StartDevice(1);
  line.StopDevice(1);
  EXPECT_EQ(line.Rows()[1].State, dsSTOPPED);
  line.StopDevice(0);
  EXPECT_TRUE(WaitIdle(line));
  EXPECT_EQ(line.Rows()[0].State, dsSTOPPED);
  EXPECT_EQ(line.Rows()[1].State, dsSTOPPED);
  EXPECT_EQ(line.Rows()[2].State, dsWAITING);
  ASSERT_EQ(children.Runs.size(), 1u);
  EXPECT_THAT(children.Runs[0]->Signals, ElementsAre(SIGTERM));
  EXPECT_EQ(children.Runs[0]->Command.Args[3], "--link=tcp:127.0.0.1:4999");
}

// Elapsed times are the line's clock's: a running device's and the line's grow with it and
// stand still at the end. A device that ignores its stop is killed when asked again 5 s later.
TEST_F(LineRun, ElapsedTimesAndTheKillFollowTheClock) {
  TProductionLine line(Config(), Devices({"slow"}), children);
  int64_t now = 1000;
  line.UseClock([&now] { return now; });
  line.StartDevice(0);
  ASSERT_EQ(children.Runs.size(), 1u);
  children.Runs[0]->OnSignal = [](TFakeChildren::TRun& run, int signal_number) {
    if (signal_number == SIGKILL) run.Die(SIGKILL);
  };
  now += 2500;
  line.UpdateElapsed();
  EXPECT_EQ(line.Rows()[0].Seconds, 2.5);
  EXPECT_EQ(line.LineSeconds(), 2.5);
  line.StopDevice(0);
  now += 4999;
  line.StopDevice(0);
  now += 1;
  line.StopDevice(0);
  ASSERT_TRUE(WaitIdle(line));
  EXPECT_THAT(children.Runs[0]->Signals, ElementsAre(SIGTERM, SIGTERM, SIGKILL));
  EXPECT_EQ(line.Rows()[0].Seconds, 7.5);
  now += 60000;
  EXPECT_EQ(line.LineSeconds(), 7.5);
}

// SIGINT and SIGTERM reach every child as they are; a closed output (SIGPIPE) reaches them as
// SIGTERM. The line ends with the signal's status and starts nothing more.
TEST_F(LineRun, StopForwardsTheSignalToEveryChild) {
  for (const auto& [signal_number, forwarded] :
       {std::pair{SIGINT, SIGINT}, {SIGTERM, SIGTERM}, {SIGPIPE, SIGTERM}}) {
    TFakeChildren fresh;
    TProductionLine::TConfig c = Config();
    c.Jobs = 2;
    std::ostringstream said;
    TProductionLine line(c, Devices({"slow1", "slow2", "slow3"}), fresh, said);
    QTimer::singleShot(0, [&line, n = signal_number] { line.Stop(n); });
    EXPECT_EQ(line.Exec(), 128 + signal_number);
    ASSERT_EQ(fresh.Runs.size(), 2u);
    for (const auto& run : fresh.Runs) EXPECT_THAT(run->Signals, ElementsAre(forwarded));
    EXPECT_THAT(said.str(), HasSubstr("3 devices: 0 completed, 0 failed, 3 stopped\n"));
  }
}

// A window switched to another package folder programs its devices from that one; while a
// device runs the folder stays. A program that cannot start fails the device, saying why.
TEST_F(LineRun, AnotherPackageFolderIsTheOneTheChildrenGet) {
  TProductionLine line(Config(), Devices({"slow1", "brief"}), children);
  line.StartDevice(0);
  TProductionLine::TConfig other = Config();
  other.SharedArgs = {"--folder=/other/"};
  EXPECT_FALSE(line.SetConfig(other));
  line.StopDevice(0);
  ASSERT_TRUE(WaitIdle(line));
  ASSERT_TRUE(line.SetConfig(other));
  EXPECT_EQ(line.GetConfig().SharedArgs, other.SharedArgs);
  line.StartDevice(1);
  ASSERT_TRUE(WaitIdle(line));
  ASSERT_EQ(children.Runs.size(), 2u);
  EXPECT_THAT(children.Runs[1]->Command.Args,
              ElementsAre("--batch", "--events", "--name=brief", "--link=tcp:127.0.0.1:4002",
                          "--folder=/other/"));
  children.StartFailures = {"No such file or directory"};
  line.StartDevice(1);
  EXPECT_EQ(line.Rows()[1].State, dsFAILED);
  EXPECT_EQ(line.Rows()[1].Error,
            "cannot start " + folder + "qubra-updater: No such file or directory");
}

// With room for three children under the open-file limit, the line runs three at a time; when
// the descriptors run out all the same, a device waits instead of failing.
TEST_F(LineRun, FitsTheChildrenToTheOpenFileLimit) {
  children.RoomLeft = 3;
  children.Limit = 44;
  children.StartFailures = {"", "", "", "Too many open files"};
  TProductionLine::TConfig c = Config();
  c.Table = true;  // the notices go under the table
  c.Width = 200;
  TProductionLine line(c, Devices({"brief1", "brief2", "brief3", "brief4", "brief5"}), children,
                       out);
  EXPECT_EQ(line.Exec(), 0) << out.str();
  EXPECT_THAT(out.str(), HasSubstr("qubra-updater: at most 3 devices at a time: the open-file "
                                   "limit (ulimit -n 44) allows no more\n"));
  EXPECT_THAT(out.str(), HasSubstr("\r\033[Kqubra-updater: at most 2 devices at a time: the line "
                                   "could start no more\n"));
  EXPECT_THAT(out.str(), HasSubstr("5 devices: 5 completed, 0 failed, 0 stopped\n"));
  // No room: each fails at once, with its record. Room for one: each waits for the one before.
  TFakeChildren none, one;
  none.RoomLeft = 0, none.Limit = 8, one.RoomLeft = one.MaxAlive = 1, one.Script = Play;
  std::filesystem::create_directories(folder);
  EXPECT_EQ(TProductionLine(Config(), Devices({"brief1", "brief2"}), none, out).Exec(), 1);
  EXPECT_TRUE(none.Runs.empty());
  EXPECT_THAT(Records().at("brief2")["error"].toString().toStdString(),
              HasSubstr("qubra-updater: the open-file limit (ulimit -n 8) is too low"));
  EXPECT_EQ(TProductionLine(Config(), Devices({"brief1", "brief2", "brief3"}), one, out).Exec(), 0);
}

// The system's children: names and paths reach them as the bytes they are, a non-UTF-8 one
// too, and the line reads their events and their end.
TEST_F(LineRun, RealChildrenGetTheirArgumentsByteForByte) {
  dir.Write("pkg ü€/child.sh", R"(#!/bin/sh
printf '%s\n' "$@" >"${0%/*}/args"
printf '{"event":"result","result":"completed","error":"","script":"","exit_status":0}\n'
)");
  std::filesystem::permissions(folder + "child.sh", std::filesystem::perms::owner_all);
  TProductionLine::TConfig c = Config();
  c.Program = folder + "child.sh";
  c.SharedArgs = {"--report=" + folder + "rep\xe9.jsonl"};
  const std::unique_ptr<TChildRunner> real = MakeSystemChildRunner();
  TProductionLine line(c, Devices({"dév\xff"}), *real, out);
  EXPECT_EQ(line.Exec(), 0) << out.str();
  std::ifstream args(folder + "args", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(args), {}),
            "--batch\n--events\n--name=dév\xff\n--link=tcp:127.0.0.1:4001\n--report=" + folder +
                "rep\xe9.jsonl\n");
}

}  // namespace
