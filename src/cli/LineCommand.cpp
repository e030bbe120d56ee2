#include "cli/LineCommand.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "app/Settings.h"
#include "cli/Batch.h"
#include "cli/Options.h"
#include "formats/text.h"
#include "line/ProductionLine.h"
#include "records/RunReport.h"

namespace {

size_t TerminalWidth() {
  winsize ws{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
  return 120;
}

}  // namespace

int RunLine(const Options& options, const std::string& program_dir) {
  std::vector<std::string> lines;
  if (!ReadTextLines(options.LineFile, lines)) {
    std::cerr << "qubra-updater: " << options.LineFile
              << ": cannot be read: " << std::strerror(errno) << std::endl;
    return 2;
  }
  TSettingsLines settings;
  std::string unreadable;
  LoadSettings(program_dir, settings, unreadable);
  if (!unreadable.empty()) std::cerr << "qubra-updater: " << unreadable << std::endl;
  std::vector<TLineDevice> devices;
  std::string error;
  if (!ParseDeviceList(options.LineFile, lines, settings, devices, error)) {
    std::cerr << "qubra-updater: " << error << std::endl;
    return 2;
  }
  // Found out now, not once every device has been updated without a record.
  if (TReportFile report; !options.ReportFile.empty() && !report.Open(options.ReportFile, error)) {
    std::cerr << "qubra-updater: " << error << std::endl;
    return 1;
  }
  TProductionLine::TConfig config;
  config.Program = QCoreApplication::applicationFilePath().toStdString();
  // The children find the package where this process found it, whatever their folder.
  config.SharedArgs.push_back("--folder=" + program_dir);
  config.SharedArgs.push_back("--timeout=" + std::to_string(SilenceLimitSeconds(options)));
  if (!options.ReportFile.empty()) config.SharedArgs.push_back("--report=" + options.ReportFile);
  if (options.ReadId) config.SharedArgs.push_back("--readid");
  if (!options.Script.empty()) config.SharedArgs.push_back(options.Script);
  config.Jobs = options.Jobs;
  config.Table = ::isatty(STDOUT_FILENO) == 1;
  config.Width = TerminalWidth();
  TProductionLine line(std::move(config), std::move(devices), std::cout);
  TStopSignals stop_signals([&line](int signal_number) { line.Stop(signal_number); });
  return line.Exec();
}
