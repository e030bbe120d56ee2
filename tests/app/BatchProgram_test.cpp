#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QProcess>
#include <filesystem>
#include <fstream>

#include "app/loopback_peer.h"
#include "app/package.h"
#include "app/run_fixture.h"
#include "app/scripted_device.h"
#include "formats/text.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;

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

TEST_F(BatchProgram, SignalStopsTheRunAndClosesTheLink) {
  // The effect file holds the run in the JTAG engine's pause for a second.
  pkg.Write("Qubra/script.ini", "T0 0130\r\nP8 prom1.svf\r\n");
  pkg.Write("Qubra/prom1.svf", "SIR 8 TDI (FE);\r\nSDR 16 TDI (1234);\r\n");
  const std::pair<int, int> cases[] = {{SIGTERM, 143}, {SIGINT, 130}};
  int connection = 0;
  for (const auto& [signal_number, status] : cases) {
    ++connection;
    const size_t before = peer.Wire().size();
    Start({"--batch"});
    ASSERT_TRUE(WaitFor([&] {
      const auto wire = peer.Wire();
      return std::find(wire.begin() + before, wire.end(), "P8") != wire.end();
    }));
    ::kill(static_cast<pid_t>(process.processId()), signal_number);
    TResult r = Finish();
    EXPECT_EQ(r.status, status) << signal_number;
    EXPECT_THAT(r.out, ::testing::Not(HasSubstr("Program operation completed")));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(WaitFor([&] { return peer.Closed() == connection; })) << signal_number;
  }
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
