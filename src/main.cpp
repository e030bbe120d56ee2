#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>

#include "app/ComDriverLink.h"
#include "app/EngineSet.h"
#include "app/LinkOption.h"
#include "app/RunController.h"
#include "app/Settings.h"
#include "cli/Batch.h"
#include "cli/CommandLine.h"
#include "cli/LineCommand.h"
#include "cli/SealCommand.h"
#include "link/SerialDevices.h"
#include "records/RunHistory.h"
#include "sys/ExitStatus.h"
#include "sys/StopSignals.h"
#include "ui/LineWindow.h"
#include "ui/MainFich.h"
#include "ui/OpenDialogs.h"
#include "ui/PackageFolder.h"

namespace {

// A box on a platform without a screen (offscreen, minimal) would wait for an answer no one
// can give.
bool ScreenShown() {
  const QString platform = QGuiApplication::platformName();
  return platform != "offscreen" && platform != "minimal";
}

// Qt ends a program that finds no display from inside QApplication, by abort, blaming the
// installation. The operator gets the reason and the status instead.
int NoWindowStatus = kExitUsage;
QtMessageHandler QtHandler = nullptr;

void NoDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) return QtHandler(type, context, message);
  const QByteArray display =
      qgetenv(qEnvironmentVariableIsEmpty("DISPLAY") ? "WAYLAND_DISPLAY" : "DISPLAY");
  std::cerr << "qubra-updater: cannot open a window: "
            << (display.isEmpty() ? "DISPLAY is not set"
                                  : "no display answers at " + display.toStdString())
            << "; --batch, --line and --check need none" << std::endl;
  std::_Exit(NoWindowStatus);
}

std::unique_ptr<QApplication> OpenApplication(int& argc, char** argv, int status) {
  NoWindowStatus = status;
  QtHandler = qInstallMessageHandler(NoDisplay);
  auto app = std::make_unique<QApplication>(argc, argv);
  qInstallMessageHandler(QtHandler);
  return app;
}

bool DisplayGiven() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// --line-window: the records go to --report, or else to REPORT_FILE of the settings of the
// package folder the window works in.
int LineWindow(QApplication& app, const Options& options) {
  auto configure = [options](const std::string& dir) {
    TProductionLine::TConfig config = LineConfig(options, dir);
    if (config.ReportFile.empty()) config.ReportFile = ReportFileSetting(config.Settings, dir);
    if (options.ReportFile.empty() && !config.ReportFile.empty())
      config.SharedArgs.push_back("--report=" + config.ReportFile);
    return config;
  };
  TLineWindow window(configure, MakeSystemSerialDevices(), MakeSystemChildRunner());
  if (std::string error; !options.LineFile.empty() && !window.OpenList(options.LineFile, error)) {
    std::cerr << "qubra-updater: " << error << std::endl;
    if (ScreenShown()) ShowStartError(error);
    return kExitUsage;
  }
  int stopped_by = 0;
  TStopSignals stop_signals([&](int signal_number) {
    stopped_by = signal_number;
    window.StopAndClose();
  });
  window.show();
  if (options.StartAll) QTimer::singleShot(0, &window, [&window] { window.StartAllClick(); });
  const int status = app.exec();
  // The records of children that died, spooled if the database is slow.
  return FinishRunHistory(stopped_by != 0 ? ExitStatusOfStop(stopped_by) : status);
}

}  // namespace

int main(int argc, char** argv) {
  IgnoreWriteSignals();
  // --check, --help, --version and usage errors need no display: done before any window.
  Options options;
  std::string window_error;
  if (std::optional<int> status = RunWithoutWindow(argc, argv, options, window_error)) {
    if (!window_error.empty() && DisplayGiven()) {
      const auto app = OpenApplication(argc, argv, *status);
      if (ScreenShown()) ShowStartError(window_error);
    }
    return *status;
  }
  const auto owned = OpenApplication(argc, argv, kExitUsage);
  QApplication& app = *owned;
  ChooseStartFolder();
  if (options.Mode == cmLINEWINDOW) return LineWindow(app, options);
  std::string error;
  TMainFich MainFich(DefaultRunConfig(options.Script), std::make_unique<TComDriverLink>(),
                     MakeEngineSet(), MakeSystemSerialDevices(),
                     std::make_unique<TSettingsStore>());
  MainFich.LoadSettings();
  // The command line has checked the text already.
  if (TLinkOption link; !options.Link.empty() && ParseLinkOption(options.Link, link, error))
    MainFich.UseLink(link);
  MainFich.UseSealPolicy(SealPolicyFor(options));
  int stopped_by = 0;
  TStopSignals stop_signals([&](int signal_number) {
    stopped_by = signal_number;
    MainFich.StopAndClose();
  });
  MainFich.show();
  const int status = app.exec();
  // The last run's record, spooled if the database is slow.
  return FinishRunHistory(stopped_by != 0 ? ExitStatusOfStop(stopped_by) : status);
}
