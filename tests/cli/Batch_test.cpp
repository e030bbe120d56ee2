#include "cli/Batch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "app/ComDriverLink.h"
#include "app/RunController.h"
#include "app/loopback_peer.h"
#include "app/package.h"
#include "app/run_fixture.h"
#include "app/scripted_device.h"
#include "cli/SealCommand.h"
#include "formats/text.h"
#include "cli/HistoryCommand.h"
#include "link/link_test_util.h"
#include "records/RunHistory.h"
#include "records/RunReport.h"
#include "seal/SealGate.h"
#include "seal/minisign_tool.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Signals reach `stop` in the order they came, SIGWINCH only `resized`; afterwards the old
// handlers are back and nothing is left open.
TEST(StopSignals, HandInOrderThenLeaveNothingBehind) {
  TestApp();
  const int open = OpenFdCount();
  std::vector<int> seen;
  {
    TStopSignals handlers([&](int n) { seen.push_back(n); }, [&] { seen.push_back(0); });
    for (const int n : {SIGHUP, SIGWINCH, SIGTERM}) ::raise(n);
    handlers.HandlePending();
  }
  EXPECT_THAT(seen, ElementsAre(SIGHUP, 0, SIGTERM));
  EXPECT_EQ(OpenFdCount(), open);
  struct sigaction now {};
  ::sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST(BatchView, PrintsStatusOnlyDuringTheRunAndKeepsTheErrorBox) {
  std::ostringstream out, err;
  TBatchView view(out, err, false);
  bool running = false;
  view.running = [&] { return running; };
  view.AppendStatus("Click on button START to begin program operation");
  running = true;
  view.AppendStatus("Synchronize...");
  view.SetProgress(TMainView::pbOperation, 5, 10);
  view.ShowErrorBox("Too Many Transmission Error !!!\r\n/p/script.ini");
  running = false;
  view.AppendStatus("Click on button START to begin program operation");
  EXPECT_EQ(out.str(), "Synchronize...\n");
  EXPECT_EQ(err.str(), "");  // no progress line when stderr is not a terminal
  EXPECT_EQ(view.ErrorBoxText(), "Too Many Transmission Error !!!\r\n/p/script.ini");
}

TEST(BatchView, ProgressLineShowsTheWholeRunAndTheThreeBars) {
  std::ostringstream out, err;
  TBatchView view(out, err, true);
  view.running = [] { return true; };
  view.SetProgress(TMainView::pbOperation, 1, 3);
  view.SetProgress(TMainView::pbCard, 0, 0);
  view.SetProgress(TMainView::pbScript, 7, 7);
  EXPECT_EQ(view.ProgressLine(),
            "overall [          ]   0%  ETA    --  operation  33%  card   0%  script 100%");
  view.SetOverall(4158, 4200, 64.6);
  EXPECT_EQ(view.ProgressLine(),
            "overall [######### ]  99%  ETA  1:05  operation  33%  card   0%  script 100%");
  EXPECT_LE(view.ProgressLine().size(), 79u);  // one line of an 80-column terminal
  const std::string drawn = err.str();
  view.AppendStatus("Device ID : 1A2B");
  // The status line goes to stdout; the progress line is taken off and drawn again around it.
  EXPECT_EQ(out.str(), "Device ID : 1A2B\n");
  EXPECT_EQ(err.str(), drawn + "\r\033[K" + "\r\033[K" + view.ProgressLine());
  const std::string before = err.str();
  view.ClearProgress();
  EXPECT_EQ(err.str(), before + "\r\033[K");
}

TEST(BatchTrace, FormatsChunks) {
  struct Case {
    int64_t ms;
    bool sent;
    std::string bytes;
    std::string lines;
  };
  const Case cases[] = {
      {0, true, "?", "       0  >  3F" + std::string(47, ' ') + "?\n"},
      {1234, false, "DEV30\r\n",
       "    1234  <  44 45 56 33 30 0D 0A" + std::string(29, ' ') + "DEV30..\n"},
      {7, false, std::string("\x00\x7f\xff", 3),
       "       7  <  00 7F FF" + std::string(41, ' ') + "...\n"},
      {42, true, ":0400000001020304F2\r\n",
       "      42  >  3A 30 34 30 30 30 30 30 30 30 31 30 32 30 33 30  :040000000102030\n"
       "      42  >  34 46 32 0D 0A" +
           std::string(35, ' ') + "4F2..\n"},
      {5, true, "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatTraceChunk(c.ms, c.sent, c.bytes), c.lines);
}

// Whole runs in this process, with the real engines and driver over TCP to a scripted device
// on 127.0.0.1.
class BatchRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    pkg.Write("script.ini", "rem full update\r\nM0\r\nCM\r\nC0\r\n");
    pkg.Write("BOOT_EXT_OPTION.HEX", ":020000040000FA\r\n:02400000ABCD46\r\n:00000001FF\r\n");
    pkg.Write("Qubra/script.ini", "T0 0130\r\nP0 bank0.hex\r\nV0 0130\r\n");
    pkg.Write("Qubra/bank0.hex", ":0400000001020304F2\r\n:00000001FF\r\n");
    pkg.Write("DVI/script.ini", "rem dvi\r\nM1\r\n");
  }

  TBatchConfig Config() {
    TBatchConfig c;
    c.ProgramDir = pkg.Path();
    c.Configure = [this](TRunController& ctl) {
      ctl.SetLanSettings({CON_TCP, "127.0.0.1", peer.Port(), 10500});
      ctl.SetPortChoice({1, true});
    };
    return c;
  }

  int Run(TBatchConfig c) {
    TBatchRun run(std::move(c), out, err);
    return run.Exec();
  }

  std::vector<QJsonObject> JsonLines(const std::string& text) {
    std::vector<QJsonObject> out;
    for (const std::string& line : SplitLines(text)) {
      QJsonParseError e;
      const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &e);
      EXPECT_TRUE(doc.isObject()) << line << ": " << e.errorString().toStdString();
      out.push_back(doc.object());
    }
    return out;
  }

  // The peer notices a closed connection in its own thread.
  int ClosedConnections(int expected) {
    QElapsedTimer clock;
    clock.start();
    while (peer.Closed() < expected && clock.elapsed() < 10000)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return peer.Closed();
  }

  TPackage pkg;
  TScriptedDevice device;
  TLoopbackPeer peer{device};
  std::ostringstream out, err;
};

TEST_F(BatchRunTest, CompletedRunPrintsTheStatusLinesAndTracesTheWire) {
  TBatchConfig c = Config();
  c.TraceFile = pkg.Path() + "trace.txt";
  EXPECT_EQ(Run(std::move(c)), kExitCompleted) << err.str();
  EXPECT_EQ(out.str(),
            "Synchronize...\n"
            "Verify Device Type\n"
            "Boot Checksum : B234\n"
            "Device ID : AAAA\n"
            "Erase Bank0\n"
            "Upload Bank0\n"
            "Verify Bank0\n"
            "Program operation completed\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(ClosedConnections(1), 1);

  std::ifstream in(pkg.Path() + "trace.txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0] + "\n", TraceHeader());
  // Direction and bytes in wire order; the time column only grows.
  const char* expected[] = {">  3F", "<  44 45 56 33 30 0D 0A", ">  31 79 55", ">  32 35 34 79 55",
                            ">  25"};
  for (size_t i = 0; i < std::size(expected); ++i)
    EXPECT_THAT(lines[i + 1], HasSubstr(expected[i])) << i;
  EXPECT_THAT(lines[lines.size() - 2], HasSubstr(">  46 49"));  // "FI"
  EXPECT_THAT(lines.back(), HasSubstr("<  2E"));
  long long last = -1;
  for (size_t i = 1; i < lines.size(); ++i) {
    const long long ms = std::stoll(lines[i].substr(0, 8));
    EXPECT_GE(ms, last);
    last = ms;
  }
}

TEST_F(BatchRunTest, ErrorsEndWithTheErrorBoxTextOnStderr) {
  struct Case {
    std::string qubra_script;
    std::string status_tail;
    std::string error;
  };
  const std::string p = pkg.Path();
  const Case cases[] = {
      {"P0 missing.hex\r\n", p + "Qubra/missing.hex File not found !!!\n",
       p + "Qubra/missing.hex File not found !!!\n" + p + "Qubra/script.ini\n"},
      {"T0 0130\r\nXX\r\n", "Syntax Error in script file line : 2\n",
       "Syntax Error in script file line : 2\n" + p + "Qubra/script.ini\n"},
  };
  for (const Case& c : cases) {
    pkg.Write("Qubra/script.ini", c.qubra_script);
    out.str("");
    err.str("");
    EXPECT_EQ(Run(Config()), kExitFailed);
    EXPECT_THAT(out.str(), ::testing::EndsWith(c.status_tail));
    EXPECT_EQ(err.str(), c.error);
  }
}

// The end of a run comes from the controller's state, not from the last status line: a prompt
// with the completion text makes the real one a repeat that adds no line.
TEST_F(BatchRunTest, CompletionTextAlreadyShownStillCompletes) {
  pkg.Write("last.ini", "CM\r\nprompt Program operation completed\r\n");
  TBatchConfig c = Config();
  c.Script = pkg.Path() + "last.ini";
  pkg.Write("Qubra/last.ini", "T0 0130\r\n");
  EXPECT_EQ(Run(std::move(c)), kExitCompleted) << err.str();
  EXPECT_THAT(out.str(), ::testing::EndsWith("Device ID : AAAA\nProgram operation completed\n"));
  EXPECT_EQ(err.str(), "");
}

// A runaway settings value reaches the output cut, not whole, and control characters from
// outside reach the terminal escaped: they can neither clear the screen nor retitle it.
TEST_F(BatchRunTest, RunawayDeviceAddressIsQuotedCut) {
  const std::string cut = "127.0.0.1" + std::string(10 << 20, '1');
  const std::string controls = "127.0.0.1\x1b]0;x\x07\x1b[2J";
  for (const std::string& address : {cut, controls}) {
    pkg.Write("Updater.prm", "CON_TYPE=TCP\r\nREMOTE_IP=" + address + "\r\nREMOTE_PORT=10500\r\n");
    TBatchConfig c = Config();
    c.Configure = [this](TRunController& ctl) { ApplyProgramSettings(ctl, pkg.Path()); };
    out.str("");
    err.str("");
    EXPECT_EQ(Run(std::move(c)), kExitFailed);
    const std::string shown = address == cut ? Excerpt(address) : "127.0.0.1\\x1B]0;x\\x07\\x1B[2J";
    const std::string reason = "Invalid device address " + shown + ":10500.";
    EXPECT_EQ(out.str(), reason + "\nError while opening LAN Device\n");
    EXPECT_EQ(err.str(),
              "Error while opening LAN Device\n" + reason + "\n" + pkg.Path() + "script.ini\n");
  }
}

// An identifier that is not hex is said as such; the record keeps what the device sent, and
// the terminal sees it escaped.
TEST_F(BatchRunTest, IdentifierThatIsNotHexIsSaidAndRecordedAsSent) {
  device.identity = "1234\x1b[2J";
  TBatchConfig c = Config();
  c.ReportFile = pkg.Path() + "runs.jsonl";
  EXPECT_EQ(Run(std::move(c)), kExitCompleted) << err.str();
  EXPECT_THAT(out.str(), HasSubstr("Device ID : \\x1B[2J\nDevice ID \"\\x1B[2J\" is not a valid "
                                   "identifier: four hex digits expected\n"));
  EXPECT_EQ(out.str().find('\x1b'), std::string::npos);
  std::ifstream in(pkg.Path() + "runs.jsonl");
  const std::vector<QJsonObject> records =
      JsonLines(std::string(std::istreambuf_iterator<char>(in), {}));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["device"].toObject()["id"].toString(), "\x1b[2J");
}

// A sealed package is judged before the device hears a byte, and every file the run reads later
// is held against the manifest when it is read: a bank file changed after the judgement never
// goes out.
TEST_F(BatchRunTest, SealIsJudgedBeforeContactAndAtEveryRead) {
  if (!HaveMinisign()) GTEST_SKIP() << "the minisign tool is not installed";
  ScratchDir keys;
  const TToolKey author(keys, "author");
  pkg.Write("UQubra/script.ini", "T0 0130\r\n");  // the check wants both device types served
  std::ostringstream seal_out;
  ASSERT_EQ(RunSeal(pkg.Path(), seal_out, err), 0) << err.str();
  ASSERT_TRUE(author.Sign(pkg.Path() + kManifestName));
  struct Case {
    const char* Name;
    TTrustPlaces Trust;
    bool ChangeAfterCheck;
    int Status;
    std::string Error;  // the last line on stderr before the script
    bool Contact;
  };
  const Case cases[] = {
      {"trusted", {{author.Pub}, {}}, false, kExitCompleted, "", true},
      {"bank changed after the check",
       {{author.Pub}, {}},
       true,
       kExitFailed,
       "Qubra/bank0.hex: changed since the package was sealed",
       true},
      {"untrusted", {}, false, kExitFailed, "which is not trusted", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    pkg.Write("Qubra/bank0.hex", ":0400000001020304F2\r\n:00000001FF\r\n");
    err.str("");
    const size_t wire_before = peer.Wire().size();
    const int connections_before = peer.Connections();
    TBatchConfig config = Config();
    config.Configure = [&, configure = config.Configure](TRunController& ctl) {
      configure(ctl);
      ctl.SetPackageGate([&, gate = MakeSealGate(TSealPolicy{c.Trust, "", false, "", {}})](
                             const std::string& dir, const std::string& script) {
        TPackageVerdict verdict = gate(dir, script);
        if (c.ChangeAfterCheck)
          pkg.Write("Qubra/bank0.hex", ":0400000001020305F1\r\n:00000001FF\r\n");
        return verdict;
      });
    };
    EXPECT_EQ(Run(std::move(config)), c.Status) << err.str();
    EXPECT_THAT(err.str(), HasSubstr(c.Error));
    EXPECT_EQ(peer.Connections() > connections_before, c.Contact);
    const std::vector<std::string> wire = peer.Wire();
    const bool bank_sent =
        std::find(wire.begin() + static_cast<long>(wire_before), wire.end(), "P0") != wire.end();
    EXPECT_EQ(bank_sent, c.Status == kExitCompleted);
  }
}

// A stop while the package is being checked says the truth: the device heard nothing.
TEST_F(BatchRunTest, StopDuringTheSealCheckSaysNothingWasSent) {
  const auto entered = std::make_shared<std::atomic<bool>>(false);  // the check may outlive us
  std::promise<void> release;
  TBatchConfig c = Config();
  c.Configure = [=, configure = c.Configure,
                 done = release.get_future().share()](TRunController& ctl) {
    configure(ctl);
    ctl.SetPackageGate([=](const std::string&, const std::string&) {
      *entered = true;
      done.wait();
      return TPackageVerdict{};
    });
  };
  const int connections = peer.Connections();
  TBatchRun run(std::move(c), out, err);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
    if (entered->exchange(false)) run.Stop(SIGINT);
  });
  poll.start(1);
  EXPECT_EQ(run.Exec(), 130);
  release.set_value();
  EXPECT_THAT(err.str(), HasSubstr("stopped by SIGINT: nothing was sent to the device"));
  EXPECT_EQ(peer.Connections(), connections);
}

class ProgramSettingsTest : public RunFixture {};

// The batch run never writes the settings file, but an unreadable one is still said.
TEST_F(ProgramSettingsTest, UnreadableFileIsSaidOnStderr) {
  Make();
  const std::string path = prog + "Updater.prm";
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  testing::internal::CaptureStderr();
  ApplyProgramSettings(*ctl, prog);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "qubra-updater: " + path +
                " could not be read (not a regular file): the default settings are used and the "
                "file is left as it is\n");
  EXPECT_EQ(ctl->SelectedComPort(), "COM1");
}

TEST_F(BatchRunTest, MissingScriptAndReadId) {
  TBatchConfig c = Config();
  c.ReadId = true;  // the package has no readid.ini
  EXPECT_EQ(Run(std::move(c)), kExitFailed);
  const std::string path = pkg.Path() + "readid.ini";
  EXPECT_EQ(out.str(), path + " File not found !!!\n");
  EXPECT_EQ(err.str(), path + " File not found !!!\n" + path + "\n");
  EXPECT_EQ(peer.Connections(), 0);

  pkg.Write("readid.ini", "CM\r\n");
  pkg.Write("Qubra/readid.ini", "T0 0130\r\n");
  out.str("");
  err.str("");
  c = Config();
  c.ReadId = true;
  EXPECT_EQ(Run(std::move(c)), kExitCompleted) << err.str();
  EXPECT_THAT(out.str(), ::testing::EndsWith("Device ID : AAAA\nProgram operation completed\n"));
  // Read Id ends without the closing boot update.
  for (const std::string& m : peer.Wire()) EXPECT_NE(m, "PB");
}

// --events puts JSON lines on stdout instead of the status lines; --report appends one record
// whose figures agree with what crossed the wire, naming every script by its whole path.
TEST_F(BatchRunTest, EventsAndReportFollowTheRun) {
  // Names and paths in the record are the bytes they are: the package through a folder whose
  // name is not ASCII.
  const std::string folder = pkg.Path() + "pkg ü€/";
  std::filesystem::create_directory_symlink(pkg.Path(), pkg.Path() + "pkg ü€");
  TBatchConfig c = Config();
  c.ProgramDir = folder;
  const std::string script = folder + "script.ini";
  c.Script =
      std::filesystem::path(script).lexically_relative(std::filesystem::current_path()).string();
  c.Events = true;
  c.ReportFile = folder + "rép.jsonl";
  c.Name = "bänch €4";
  c.Link = {"tcp", "127.0.0.1:" + std::to_string(peer.Port()), 0};
  EXPECT_EQ(Run(std::move(c)), kExitCompleted) << err.str();
  EXPECT_EQ(err.str(), "");

  const std::vector<QJsonObject> events = JsonLines(out.str());
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front()["event"].toString(), "start");
  std::vector<std::string> status, instructions;
  QJsonObject device, script_bar;
  std::vector<QJsonObject> overall;
  for (const QJsonObject& e : events) {
    const QString kind = e["event"].toString();
    if (kind == "status") status.push_back(e["text"].toString().toStdString());
    if (kind == "device") device = e;
    if (kind == "progress" && e["bar"].toString() == "script") script_bar = e;
    if (kind == "progress" && e["bar"].toString() == "overall") overall.push_back(e);
    if (kind.startsWith("instruction_"))
      instructions.push_back(kind.mid(12).toStdString() + " " + e["text"].toString().toStdString());
  }
  EXPECT_THAT(status, ElementsAre("Synchronize...", "Verify Device Type", "Boot Checksum : B234",
                                  "Device ID : AAAA", "Erase Bank0", "Upload Bank0", "Verify Bank0",
                                  "Program operation completed"));
  EXPECT_EQ(device["id"].toString(), "AAAA");
  EXPECT_EQ(device["type"].toString(), "30");
  EXPECT_EQ(device["boot_checksum"].toString(), "B234");
  EXPECT_EQ(script_bar["position"].toInt(), script_bar["max"].toInt());
  ASSERT_GE(overall.size(), 2u);
  for (size_t i = 1; i < overall.size(); ++i)
    EXPECT_GE(overall[i]["position"].toInteger(), overall[i - 1]["position"].toInteger()) << i;
  EXPECT_EQ(overall.back()["position"].toInteger(), overall.back()["max"].toInteger());
  EXPECT_GT(overall.back()["max"].toInteger(), 0);
  EXPECT_TRUE(overall.front().contains("eta_seconds"));
  EXPECT_THAT(instructions,
              ElementsAre("start SYN", "end SYN", "start M0", "end M0", "start T0 0130",
                          "end T0 0130", "start P0 bank0.hex", "end P0 bank0.hex", "start V0 0130",
                          "end V0 0130", "start M1", "end M1", "start PB BOOT_EXT_OPTION.HEX",
                          "end PB BOOT_EXT_OPTION.HEX", "start OP 0000", "end OP 0000", "start FI",
                          "end FI"));
  const QJsonObject result = events.back();
  EXPECT_EQ(result["event"].toString(), "result");
  EXPECT_EQ(result["result"].toString(), "completed");
  EXPECT_EQ(result["exit_status"].toInt(-1), 0);

  std::ifstream in(folder + "rép.jsonl");
  const std::vector<QJsonObject> records =
      JsonLines(std::string(std::istreambuf_iterator<char>(in), {}));
  ASSERT_EQ(records.size(), 1u);
  const QJsonObject r = records[0];
  EXPECT_EQ(r["name"].toString().toStdString(), "bänch €4");
  EXPECT_EQ(r["link"].toString().toStdString(), "127.0.0.1:" + std::to_string(peer.Port()));
  EXPECT_EQ(r["result"].toString(), "completed");
  EXPECT_EQ(r["exit_status"].toInt(-1), 0);
  EXPECT_EQ(r["device"].toObject()["id"].toString(), "AAAA");
  EXPECT_TRUE(r["start"].toString().endsWith('Z'));
  std::map<std::string, std::string> files;
  for (const QJsonValue& f : r["files"].toArray())
    files[f["path"].toString().toStdString()] = f["sha256"].toString().toStdString();
  EXPECT_EQ(r["script"].toString().toStdString(), script);
  EXPECT_EQ(r["instructions"].toArray().first()["script"].toString().toStdString(), script);
  EXPECT_EQ(files.size(), 5u);  // three scripts, the bank file and the boot file
  EXPECT_EQ(files[folder + "script.ini"],
            "689097c9b512f80610a4b1183339e161e5c08cb60ba4ac9ab3da6570d390d2ee");
  EXPECT_EQ(files[folder + "Qubra/bank0.hex"],
            "6e665e77ddb78a1605e4a82e5c7ca354bb36fa7dffe195f16f8e0356f82d29a3");
  // The bank's figures are the bytes between its command and the next one on the wire.
  const std::vector<std::string> wire = peer.Wire();
  const auto p0 = std::find(wire.begin(), wire.end(), "P0");
  const auto v0 = std::find(p0, wire.end(), "V0");
  int64_t sent = 0;
  for (auto m = p0; m != v0; ++m) sent += static_cast<int64_t>(m->size());
  QJsonObject bank;
  for (const QJsonValue& i : r["instructions"].toArray())
    if (i["text"].toString() == "P0 bank0.hex") bank = i.toObject();
  EXPECT_EQ(bank["engine"].toString(), "psd");
  EXPECT_EQ(bank["result"].toString(), "done");
  EXPECT_EQ(bank["line"].toInt(), 2);
  EXPECT_EQ(bank["card"].toString(), "Qubra");
  EXPECT_EQ(bank["sent"].toInteger(), sent);
  EXPECT_GT(bank["received"].toInteger(), 0);
  EXPECT_EQ(
      r["versions_read"].toArray(),
      QJsonArray({QJsonObject{
          {"instruction", "T"}, {"component", "0"}, {"version", "FFFF"}, {"expected", "0130"}}}));
  EXPECT_EQ(
      r["versions_written"].toArray(),
      QJsonArray({QJsonObject{{"instruction", "V"}, {"component", "0"}, {"version", "0130"}},
                  QJsonObject{{"instruction", "OP"}, {"component", ""}, {"version", "0000"}}}));
}

// A database that cannot take the record gets it spooled and says so once; the run completes
// all the same, and the next run sends the spool once its own record is kept.
TEST_F(BatchRunTest, HistoryNeverFailsARunAndTheSpoolIsSentAtTheNextStart) {
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(pkg.Path() + "data"));
  THistoryRequest all;
  all.Db = "sqlite:" + pkg.Path() + "db/h.sqlite";
  all.Format = "json";
  UseRunHistory({all.Db, ""});
  pkg.Write("db", "a file where the folder should be");
  EXPECT_EQ(Run(Config()), kExitCompleted) << err.str();
  const std::string spool = pkg.Path() + "data/qubra-updater/history.spool";
  const std::string said = "qubra-updater: history not written \\(.+\\): kept in " + spool;
  EXPECT_THAT(err.str(), ::testing::MatchesRegex(said + "\n"));
  std::filesystem::remove(pkg.Path() + "db");
  std::filesystem::create_directory(pkg.Path() + "db");
  EXPECT_EQ(Run(Config()), kExitCompleted);
  EXPECT_EQ(FinishRunHistory(0), 0);
  UseRunHistory({"none", ""});
  EXPECT_FALSE(std::filesystem::exists(spool));
  std::ostringstream runs, problems;
  EXPECT_EQ(HistoryCommand(all, runs, problems), 0) << problems.str();
  EXPECT_EQ(JsonLines(runs.str()).size(), 2u);
}

// Anything but a regular file is refused at once, as a report or a trace: a FIFO nobody reads
// would block for good, and /dev/full would take nothing.
TEST_F(BatchRunTest, UnwritableReportOrTraceIsRefusedBeforeTheDevice) {
  ASSERT_EQ(::mkfifo((pkg.Path() + "fifo").c_str(), 0644), 0);
  const std::pair<std::string, std::string> cases[] = {
      {pkg.Path() + "missing/runs.jsonl", "No such file or directory"},
      {pkg.Path() + "fifo", "it is a FIFO, not a regular file"},
      {pkg.Path() + "Qubra", "it is a folder, not a regular file"},
      {"/dev/null", "it is a character device, not a regular file"},
      {"/dev/full", "it is a character device, not a regular file"},
  };
  for (const auto& [path, reason] : cases)
    for (const std::string file : {"report", "trace"}) {
      out.str("");
      err.str("");
      TBatchConfig c = Config();
      c.Events = true;
      (file == "report" ? c.ReportFile : c.TraceFile) = path;
      EXPECT_EQ(Run(std::move(c)), kExitFailed);
      const std::string why = "cannot write the " + file + " file " + path + ": " + reason;
      EXPECT_EQ(err.str(), "qubra-updater: " + why + "\n");
      const std::vector<QJsonObject> events = JsonLines(out.str());
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0]["result"].toString(), "error");
      EXPECT_EQ(events[0]["failure"].toString().toStdString(), why);
      EXPECT_EQ(events[0]["exit_status"].toInt(), 1);
    }
  EXPECT_EQ(peer.Connections(), 0);
}

// A stop signal stops the run as STOP does: the link is closed, the record says stopped, and the
// exit status is the shell's for that signal.
TEST_F(BatchRunTest, StopClosesTheLinkAndExitsWithTheSignal) {
  const std::pair<int, int> cases[] = {
      {SIGHUP, 129}, {SIGINT, 130}, {SIGPIPE, 141}, {SIGTERM, 143}};
  int runs = 0;
  for (const auto& [signal_number, status] : cases) {
    SCOPED_TRACE(signal_number);
    ++runs;
    TBatchConfig c = Config();
    c.ReportFile = pkg.Path() + "runs.jsonl";
    c.TraceFile = pkg.Path() + "trace.txt";
    c.Progress = true;
    TBatchRun run(std::move(c), out, err);
    TStopSignals stop_signals([&run](int n) { run.Stop(n); });
    // The signal comes once the device has been asked for bank 0. The trace on disk then
    // already shows the question: a run killed where it hangs leaves that much.
    const size_t before = peer.Wire().size();
    bool raised = false;
    std::string trace_at_stop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&, n = signal_number] {
      const auto wire = peer.Wire();
      if (!raised && std::find(wire.begin() + before, wire.end(), "V0") != wire.end()) {
        std::ifstream trace(pkg.Path() + "trace.txt", std::ios::binary);
        trace_at_stop.assign(std::istreambuf_iterator<char>(trace), {});
        raised = ::raise(n) == 0;
      }
    });
    poll.start(1);
    EXPECT_EQ(run.Exec(), status);
    EXPECT_THAT(trace_at_stop, HasSubstr(">  56 30"));
    EXPECT_THAT(err.str(), HasSubstr("\r\033[Kqubra-updater: stopped by "));
    EXPECT_THAT(err.str(), HasSubstr(": the device may now be partly updated; run the update "
                                     "again to finish it\n"));
    err.str("");
    EXPECT_THAT(out.str(), ::testing::Not(HasSubstr("Program operation completed")));
    EXPECT_EQ(ClosedConnections(runs), runs);
    std::ifstream in(pkg.Path() + "runs.jsonl");
    const std::vector<QJsonObject> records =
        JsonLines(std::string(std::istreambuf_iterator<char>(in), {}));
    ASSERT_EQ(records.size(), static_cast<size_t>(runs));
    EXPECT_EQ(records.back()["result"].toString(), "stopped");
    EXPECT_EQ(records.back()["exit_status"].toInt(), status);
    const QJsonArray instructions = records.back()["instructions"].toArray();
    ASSERT_FALSE(instructions.isEmpty());
    EXPECT_EQ(instructions.last()["result"].toString(), "stopped");
  }
}

TEST_F(BatchRunTest, SilentDeviceEndsTheRunAfterTheTimeout) {
  device.silent = true;
  TBatchConfig c = Config();
  c.TimeoutSeconds = 1;
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(Run(std::move(c)), kExitFailed);
  EXPECT_GE(clock.elapsed(), 1000);
  EXPECT_EQ(out.str(),
            "Switch ON device while pushing the ENTER button\n"
            "No reply from device for 1 s\n");
  EXPECT_EQ(err.str(), "No reply from device for 1 s\n" + pkg.Path() + "script.ini\n");
  EXPECT_EQ(ClosedConnections(1), 1);
}

// A card "wait" waits for nobody, the effect-file pause stalls the event loop itself, and a
// slow device keeps answering: the device is silent through none of them.
TEST_F(BatchRunTest, WaitsAndPausesAreNotSilence) {
  pkg.Write("Qubra/script.ini", "wait 1500\r\nT0 0130\r\nP8 prom1.svf\r\n");
  pkg.Write("Qubra/prom1.svf", "SIR 8 TDI (FE);\r\nSDR 16 TDI (1234);\r\n");
  peer.answer_delay_ms = 150;  // some twenty answers: far more than a second in all
  TBatchConfig c = Config();
  c.TimeoutSeconds = 1;
  EXPECT_EQ(Run(std::move(c)), kExitCompleted) << err.str();
}

// A link that dies is named: the lost connection ends the run at once, the timeout tells of the
// failures it saw, and an open failure names the device behind the port.
TEST_F(BatchRunTest, DeadLinksAreNamed) {
  const std::string p = pkg.Path();
  device.hang_up_on = "P0";
  TBatchConfig c = Config();
  c.TimeoutSeconds = 10;  // only if the loss went unnoticed
  EXPECT_EQ(Run(std::move(c)), kExitFailed);
  const std::string closed = "Connection closed by device 127.0.0.1:" + std::to_string(peer.Port());
  EXPECT_THAT(out.str(), ::testing::EndsWith("Device ID : AAAA\n" + closed + "\n"));
  EXPECT_EQ(err.str(), closed + "\n" + p + "Qubra/script.ini\n");

  int refusing_port = 0;
  const int refusing = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // bound, not listening
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(refusing, reinterpret_cast<sockaddr*>(&a), len), 0);
  ASSERT_EQ(::getsockname(refusing, reinterpret_cast<sockaddr*>(&a), &len), 0);
  refusing_port = ntohs(a.sin_port);
  out.str("");
  err.str("");
  c = Config();
  c.TimeoutSeconds = 1;
  c.Configure = [&](TRunController& ctl) {
    ctl.SetLanSettings({CON_TCP, "127.0.0.1", refusing_port, 10500});
    ctl.SetPortChoice({1, true});
  };
  EXPECT_EQ(Run(std::move(c)), kExitFailed);
  // Refused again and again while the device is waited for: said once, and named at the end.
  const std::string refused =
      "Cannot connect to 127.0.0.1:" + std::to_string(refusing_port) + ": Connection refused";
  const std::string silent = "No reply from device for 1 s (" + refused + ")";
  EXPECT_EQ(out.str(), refused +
                           "; trying again\nSwitch ON device while pushing the ENTER "
                           "button\n" +
                           silent + "\n");
  EXPECT_EQ(err.str(), silent + "\n" + p + "script.ini\n");
  ::close(refusing);

  out.str("");
  err.str("");
  c = Config();
  c.Configure = [](TRunController& ctl) {
    ctl.Driver().SetComDevice(3, "/nonexistent/ttyQ3");
    ctl.SetPortChoice({3, false});
  };
  c.OneScreen = true;  // what the status lines said is not said again
  EXPECT_EQ(Run(std::move(c)), kExitFailed);
  const std::string reason =
      "TCOMPORT : cannot open COM3 (/nonexistent/ttyQ3)\n" + std::string(std::strerror(ENOENT)) +
      "\nNo such serial device: is the adapter plugged in? qubra-updater --list-ports lists "
      "those present; COM3_DEVICE in Updater.prm names the one to open.\n";
  EXPECT_EQ(out.str(), reason + "Error while opening COM3\n");
  EXPECT_EQ(err.str(), p + "script.ini\n");
}

}  // namespace
