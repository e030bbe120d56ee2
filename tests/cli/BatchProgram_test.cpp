#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <filesystem>
#include <fstream>
#include <regex>

#include "app/loopback_peer.h"
#include "app/package.h"
#include "app/run_fixture.h"
#include "app/scripted_device.h"
#include "formats/text.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

// The real program in --batch mode, copied into a program folder of its own with an update
// package and an Updater.prm that points at a scripted device on 127.0.0.1. No display at all.
class BatchProgram : public ::testing::Test {
 protected:
  struct TResult {
    int status = -1;
    std::string out, err;
  };

  void SetUp() override {
    TestApp();
    const std::filesystem::path exe = std::string(QUBRA_BINARY_DIR) + "/qubra-updater";
    if (!std::filesystem::exists(exe)) GTEST_SKIP() << exe << " is not built";
    std::filesystem::copy_file(exe, pkg.Path() + "qubra-updater");
    pkg.Write("script.ini", "rem full update\r\nM0\r\nCM\r\nC0\r\n");
    pkg.Write("BOOT_EXT_OPTION.HEX", ":020000040000FA\r\n:02400000ABCD46\r\n:00000001FF\r\n");
    pkg.Write("Qubra/script.ini", "T0 0130\r\nP0 bank0.hex\r\nV0 0130\r\n");
    pkg.Write("Qubra/bank0.hex", ":0400000001020304F2\r\n:00000001FF\r\n");
    pkg.Write("DVI/script.ini", "rem dvi\r\nM1\r\n");
    settings =
        "; test device\r\nCON_TYPE=TCP\r\nCOM_PORT=NA\r\nREMOTE_IP=127.0.0.1\r\nREMOTE_PORT=" +
        std::to_string(peer.Port()) + "\r\nLOCAL_PORT=10500\r\n";
    pkg.Write("Updater.prm", settings);
  }

  void Start(const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(QString::fromStdString(pkg.Path()));
    process.start(QString::fromStdString(pkg.Path() + "qubra-updater"), args);
    ASSERT_TRUE(process.waitForStarted(10000));
  }

  TResult Finish() {
    TResult r;
    if (!process.waitForFinished(60000)) {
      process.kill();
      process.waitForFinished();
      ADD_FAILURE() << "qubra-updater did not end";
    }
    r.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = process.readAllStandardOutput().toStdString();
    r.err = process.readAllStandardError().toStdString();
    return r;
  }

  TResult Run(const QStringList& args) {
    Start(args);
    return Finish();
  }

  bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
      if (clock.elapsed() > 30000) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
  }

  std::string Slurp(const std::string& name) {
    std::ifstream in(pkg.Path() + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::vector<QJsonObject> Records(const std::string& name) {
    std::vector<QJsonObject> out;
    for (const std::string& line : SplitLines(Slurp(name))) {
      const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
      EXPECT_TRUE(doc.isObject()) << line;
      out.push_back(doc.object());
    }
    return out;
  }

  std::string TcpLink(TLoopbackPeer& p) { return "tcp:127.0.0.1:" + std::to_string(p.Port()); }

  // A second device on a port of its own.
  TScriptedDevice device2;
  TLoopbackPeer peer2{device2};

  TPackage pkg;
  TScriptedDevice device;
  TLoopbackPeer peer{device};
  std::string settings;
  QProcess process;
};

TEST_F(BatchProgram, CompletedRun) {
  TResult r = Run({"--batch", "--trace", "trace.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Synchronize...\nVerify Device Type\nBoot Checksum : B234\nDevice ID : AAAA\n"
            "Erase Bank0\nUpload Bank0\nVerify Bank0\nProgram operation completed\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(WaitFor([this] { return peer.Closed() == 1; }));
  EXPECT_EQ(Slurp("Updater.prm"), settings);  // read, never written
  // The trace is complete at exit: the end command and the device's answer close it.
  const std::vector<std::string> trace = SplitLines(Slurp("trace.txt"));
  ASSERT_GE(trace.size(), 4u);
  EXPECT_THAT(trace[1], HasSubstr(">  3F "));
  EXPECT_THAT(trace[trace.size() - 2], EndsWith(">  46 49" + std::string(44, ' ') + "FI"));
  EXPECT_THAT(trace.back(), EndsWith("<  2E" + std::string(47, ' ') + "."));
}

TEST_F(BatchProgram, EngineErrorAndMissingScript) {
  const std::string p = pkg.Path();
  pkg.Write("Qubra/script.ini", "T0 0130\r\nP0 missing.hex\r\n");
  TResult engine = Run({"--batch"});
  EXPECT_EQ(engine.status, 1);
  EXPECT_THAT(engine.out,
              EndsWith("Device ID : AAAA\n" + p + "Qubra/missing.hex File not found !!!\n"));
  EXPECT_EQ(engine.err, p + "Qubra/missing.hex File not found !!!\n" + p + "Qubra/script.ini\n");
  EXPECT_TRUE(WaitFor([this] { return peer.Closed() == 1; }));

  TResult missing = Run({"--batch", "nothere.ini"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "nothere.ini File not found !!!\n");
  EXPECT_EQ(missing.err, "nothere.ini File not found !!!\nnothere.ini\n");
  EXPECT_EQ(peer.Connections(), 1);  // no second connection
}

// A stop signal, a closed terminal (SIGHUP) or a closed output pipe: the run stops as STOP
// stops it and its record is written.
TEST_F(BatchProgram, SignalStopsTheRunAndClosesTheLink) {
  // The effect file holds the run in the JTAG engine's pause for a second.
  pkg.Write("Qubra/script.ini", "T0 0130\r\nP8 prom1.svf\r\n");
  pkg.Write("Qubra/prom1.svf", "SIR 8 TDI (FE);\r\nSDR 16 TDI (1234);\r\n");
  const std::pair<int, int> cases[] = {
      {SIGTERM, 143}, {SIGINT, 130}, {SIGHUP, 129}, {SIGPIPE, 141}};
  int connection = 0;
  for (const auto& [signal_number, status] : cases) {
    ++connection;
    const size_t before = peer.Wire().size();
    // For SIGPIPE its events go to a pipe of ours, whose reading end is then closed.
    int events[2] = {-1, -1};
    if (signal_number == SIGPIPE) {
      ASSERT_EQ(::pipe2(events, O_CLOEXEC), 0);
      process.setChildProcessModifier([&events] { ::dup2(events[1], STDOUT_FILENO); });
    }
    Start({"--batch", "--events", "--report", "runs.jsonl"});
    ASSERT_TRUE(WaitFor([&] {
      const auto wire = peer.Wire();
      return std::find(wire.begin() + before, wire.end(), "P8") != wire.end();
    }));
    if (signal_number == SIGPIPE) {
      ::close(events[1]);
      ::close(events[0]);
      process.setChildProcessModifier({});
    } else {
      ::kill(static_cast<pid_t>(process.processId()), signal_number);
    }
    TResult r = Finish();
    EXPECT_EQ(r.status, status) << signal_number;
    EXPECT_THAT(r.err, ::testing::MatchesRegex(
                           "qubra-updater: stopped by SIG(HUP|INT|PIPE|TERM): the device may now "
                           "be partly updated; run the update again to finish it\n"));
    EXPECT_TRUE(WaitFor([&] { return peer.Closed() == connection; })) << signal_number;
    const std::vector<QJsonObject> records = Records("runs.jsonl");
    ASSERT_EQ(records.size(), static_cast<size_t>(connection));
    EXPECT_EQ(records.back()["result"].toString(), "stopped") << signal_number;
    EXPECT_EQ(records.back()["exit_status"].toInt(), status);
  }
}

// Updater.prm names a port where nothing listens: only --link reaches the device, and the file
// is neither used for the connection nor written.
TEST_F(BatchProgram, LinkTakesThePlaceOfTheSettingsFile) {
  const std::string elsewhere = "CON_TYPE=TCP\r\nREMOTE_IP=127.0.0.1\r\nREMOTE_PORT=1\r\n";
  pkg.Write("Updater.prm", elsewhere);
  TResult r =
      Run({"--batch", "--link", QString::fromStdString(TcpLink(peer)), "--report", "runs.jsonl"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, EndsWith("Program operation completed\n"));
  EXPECT_EQ(Slurp("Updater.prm"), elsewhere);
  const std::vector<QJsonObject> records = Records("runs.jsonl");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["link"].toString().toStdString(),
            "127.0.0.1:" + std::to_string(peer.Port()));
  EXPECT_EQ(records[0]["transport"].toString(), "tcp");

  TResult bad = Run({"--batch", "--link", "tcp:127.0.0.1:99999"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_THAT(bad.err, HasSubstr("--link bad port \"99999\" in \"tcp:127.0.0.1:99999\""));
  EXPECT_EQ(peer.Connections(), 1);
}

// Two runs that end together append to one report: two whole records, never mixed.
TEST_F(BatchProgram, TwoProcessesAppendToOneReport) {
  QProcess second;
  second.setWorkingDirectory(QString::fromStdString(pkg.Path()));
  Start({"--batch", "--name", "a", "--link", QString::fromStdString(TcpLink(peer)), "--report",
         "runs.jsonl"});
  second.start(QString::fromStdString(pkg.Path() + "qubra-updater"),
               {"--batch", "--name", "b", "--link", QString::fromStdString(TcpLink(peer2)),
                "--report", "runs.jsonl"});
  ASSERT_TRUE(second.waitForFinished(60000));
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  EXPECT_EQ(Finish().status, 0);
  std::vector<std::string> names;
  for (const QJsonObject& r : Records("runs.jsonl")) {
    names.push_back(r["name"].toString().toStdString());
    EXPECT_EQ(r["result"].toString(), "completed");
    EXPECT_EQ(r["instructions"].toArray().size(), 9);
  }
  std::sort(names.begin(), names.end());
  EXPECT_THAT(names, ElementsAre("a", "b"));
}

// One device at a time (-j 1): each start and end on a line of its own, then the summary that
// names the failing device, and a record per device.
TEST_F(BatchProgram, LineRunsEachDeviceAndNamesTheFailure) {
  device2.silent = true;
  pkg.Write("devices.txt",
            "# two devices\r\ngood " + TcpLink(peer) + "\r\nquiet " + TcpLink(peer2) + "\r\n");
  TResult r = Run({"--line", "devices.txt", "-j", "1", "--timeout", "1", "--report", "runs.jsonl"});
  EXPECT_EQ(r.status, 1) << r.err;
  const std::string good = "good " + TcpLink(peer) + ": ";
  const std::string quiet = "quiet " + TcpLink(peer2) + ": ";
  const std::string error = "No reply from device for 1 s (" + pkg.Path() + "script.ini)";
  const std::vector<std::string> lines = SplitLines(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  EXPECT_EQ(lines[0], good + "started");
  EXPECT_THAT(lines[1], MatchesRegex(good + "completed in [0-9]+\\.[0-9] s"));
  EXPECT_EQ(lines[2], quiet + "started");
  EXPECT_THAT(lines[3], MatchesRegex(quiet + "failed after [0-9]+\\.[0-9] s: .*"));
  EXPECT_THAT(lines[3], EndsWith(error));
  EXPECT_EQ(lines[4], "2 devices: 1 completed, 1 failed, 0 stopped");
  EXPECT_EQ(lines[5], "failed: " + quiet + error);
  const std::vector<QJsonObject> records = Records("runs.jsonl");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["name"].toString(), "good");
  EXPECT_EQ(records[0]["result"].toString(), "completed");
  EXPECT_EQ(records[1]["name"].toString(), "quiet");
  EXPECT_EQ(records[1]["result"].toString(), "error");
  EXPECT_EQ(records[1]["error"].toString(), "No reply from device for 1 s");

  pkg.Write("devices.txt", "a " + TcpLink(peer) + "\nb " + TcpLink(peer) + "\n");
  TResult clash = Run({"--line", "devices.txt"});
  EXPECT_EQ(clash.status, 2);
  EXPECT_EQ(clash.err, "qubra-updater: devices.txt:2: the link \"" + TcpLink(peer) +
                           "\" (tcp 127.0.0.1:" + std::to_string(peer.Port()) +
                           ") is already used by \"a\" on line 1\n");

  // COMn leads where the settings say, for the line's own check and for the device's run.
  const std::string q2 = pkg.Path() + "ttyQ2";
  pkg.Write("Updater.prm", settings + "COM2_DEVICE=" + q2 + "\r\n");
  pkg.Write("devices.txt", "a COM2\nb " + q2 + "\n");
  clash = Run({"--line", "devices.txt"});
  EXPECT_EQ(clash.err, "qubra-updater: devices.txt:2: the link \"" + q2 + "\" (serial " + q2 +
                           ") is already used by \"a\" on line 1\n");
  pkg.Write("devices.txt", "a COM2\n");
  TResult com = Run({"--line", "devices.txt"});
  EXPECT_EQ(com.status, 1);
  EXPECT_THAT(com.out, HasSubstr("TCOMPORT : cannot open COM2 (" + q2 + ")")) << com.out;

  TResult unreadable = Run({"--line", "none.txt"});
  EXPECT_EQ(unreadable.status, 2);
  EXPECT_EQ(unreadable.err, "qubra-updater: none.txt: cannot be read: No such file or directory\n");
}

// SIGTERM to the line stops every device as STOP would, then the summary.
TEST_F(BatchProgram, LineForwardsTheSignalToEveryDevice) {
  pkg.Write("Qubra/script.ini", "T0 0130\r\nP8 prom1.svf\r\n");
  pkg.Write("Qubra/prom1.svf", "SIR 8 TDI (FE);\r\nSDR 16 TDI (1234);\r\n");
  pkg.Write("devices.txt", "a " + TcpLink(peer) + "\nb " + TcpLink(peer2) + "\n");
  Start({"--line", "devices.txt"});
  auto took = [](TLoopbackPeer& p) {
    const auto wire = p.Wire();
    return std::find(wire.begin(), wire.end(), "P8") != wire.end();
  };
  ASSERT_TRUE(WaitFor([&] { return took(peer) && took(peer2); }));
  ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
  TResult r = Finish();
  EXPECT_EQ(r.status, 143);
  EXPECT_THAT(r.out, EndsWith("2 devices: 0 completed, 0 failed, 2 stopped\nstopped: a " +
                              TcpLink(peer) + ": may be partly updated; run the update again to "
                              "finish it\nstopped: b " + TcpLink(peer2) + ": may be partly "
                              "updated; run the update again to finish it\n"));
  EXPECT_TRUE(WaitFor([&] { return peer.Closed() == 1 && peer2.Closed() == 1; }));
}

// On a terminal the table fits its lines (the cursor's own line aside) and its width, and
// follows a new size: the screen is cleared once, then the table is drawn to the new size.
TEST_F(BatchProgram, LineTableFitsTheTerminalAndFollowsItsSize) {
  std::string list;
  for (int i = 1; i <= 8; ++i)
    list += "dev" + std::to_string(i) + " tcp:127.0.0.1:" + std::to_string(i) + "\n";
  pkg.Write("devices.txt", list);
  int master = -1, slave = -1;
  winsize size{6, 100, 0, 0};
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  process.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
  Start({"--line", "devices.txt", "--timeout", "1"});
  ::close(slave);
  std::string screen;
  auto drain = [&] {
    char buffer[4096];
    for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;) screen.append(buffer, n);
  };
  ASSERT_TRUE(WaitFor([&] {
    drain();
    return screen.find("more:") != std::string::npos;
  }));
  size = {5, 60, 0, 0};
  ASSERT_EQ(::ioctl(master, TIOCSWINSZ, &size), 0);
  ::kill(static_cast<pid_t>(process.processId()), SIGWINCH);
  EXPECT_TRUE(WaitFor([&] {
    drain();
    return process.state() == QProcess::NotRunning;
  }));
  EXPECT_EQ(process.exitCode(), 1);
  drain();
  ::close(master);
  const size_t cleared = screen.find("\033[H\033[2J");
  const size_t summary = screen.rfind("\033[J");
  ASSERT_LT(cleared, summary);
  auto fits = [](const std::string& drawn, size_t rows, size_t columns) {
    const std::regex climb("\033\\[([0-9]+)A");
    for (std::sregex_iterator m(drawn.begin(), drawn.end(), climb), end; m != end; ++m)
      EXPECT_LE(std::stoul((*m)[1]), rows - 1);
    const std::string text = std::regex_replace(drawn, std::regex("\033\\[[0-9;]*[A-Za-z]|\r"), "");
    for (const std::string& line : SplitLines(text)) EXPECT_LE(line.size(), columns - 1) << line;
  };
  fits(screen.substr(0, cleared), 6, 100);
  fits(screen.substr(cleared, summary - cleared), 5, 60);
}

TEST_F(BatchProgram, TimeoutEndsARunAgainstASilentDevice) {
  device.silent = true;
  TResult r = Run({"--batch", "--timeout", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Switch ON device while pushing the ENTER button\nNo reply from device for 1 s\n");
  EXPECT_EQ(r.err, "No reply from device for 1 s\n" + pkg.Path() + "script.ini\n");
  EXPECT_TRUE(WaitFor([this] { return peer.Closed() == 1; }));
}

}  // namespace
