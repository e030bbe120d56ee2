#include "cli/LineCommand.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <iostream>
#include <memory>

#include "app/Settings.h"
#include "cli/Batch.h"
#include "cli/CommandLine.h"
#include "cli/Options.h"
#include "formats/text.h"
#include "line/ProductionLine.h"
#include "records/RunReport.h"
#include "sys/ExitStatus.h"
#include "sys/Terminal.h"

namespace {

struct TTerminalSize {
  size_t Width = 120;
  size_t Height = 0;  // unknown
};

TTerminalSize MeasureTerminal() {
  size_t columns = 0, rows = 0;
  if (!TerminalSize(STDOUT_FILENO, columns, rows)) return {};
  return {columns > 20 ? columns : size_t{120}, rows};
}

}  // namespace

TProductionLine::TConfig LineConfig(const Options& options, const std::string& program_dir) {
  TProductionLine::TConfig config;
  std::string unreadable;
  LoadSettings(program_dir, config.Settings, unreadable);
  if (!unreadable.empty()) std::cerr << "qubra-updater: " << unreadable << std::endl;
  config.Program = QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString();
  // The children find the package where this process found it, whatever their folder.
  config.SharedArgs.push_back("--folder=" + program_dir);
  config.SharedArgs.push_back("--timeout=" + std::to_string(SilenceLimitSeconds(options)));
  config.SharedArgs.push_back("--connect-timeout=" + std::to_string(ConnectLimitSeconds(options)));
  if (!options.ReportFile.empty()) config.SharedArgs.push_back("--report=" + options.ReportFile);
  if (options.ReadId) config.SharedArgs.push_back("--readid");
  for (const std::string& key : options.TrustFiles) config.SharedArgs.push_back("--trust=" + key);
  if (options.RequireSeal) config.SharedArgs.push_back("--require-seal");
  if (options.HistoryDbGiven) config.SharedArgs.push_back("--history-db=" + options.HistoryDb);
  if (!options.Script.empty()) config.SharedArgs.push_back(options.Script);
  config.Jobs = options.Jobs;
  config.ReportFile = options.ReportFile;
  config.Script = ScriptPathFor(options, program_dir);
  return config;
}

int RunLine(const Options& options, const std::string& program_dir, TChildRunner& children) {
  std::vector<std::string> lines;
  if (std::string why; !ReadTextLines(options.LineFile, lines, &why)) {
    std::cerr << "qubra-updater: " << options.LineFile << ": cannot be read: " << why << std::endl;
    return kExitUsage;
  }
  TProductionLine::TConfig config = LineConfig(options, program_dir);
  std::vector<TLineDevice> devices;
  std::string error;
  if (!ParseDeviceList(options.LineFile, lines, config.Settings, devices, error)) {
    for (const std::string& line : SplitLines(error))
      std::cerr << "qubra-updater: " << EscapeControls(line) << '\n';
    std::cerr << std::flush;
    return kExitUsage;
  }
  // Found out now, not once every device has been updated without a record. The line's own
  // stdout is refused here too: the children's is the pipe of their events.
  if (TReportFile report; !options.ReportFile.empty() && !report.Open(options.ReportFile, error)) {
    std::cerr << "qubra-updater: " << error << std::endl;
    return kExitFailed;
  }
  config.Table = IsTerminal(STDOUT_FILENO);
  const TTerminalSize size = MeasureTerminal();
  config.Width = size.Width;
  config.Height = size.Height;
  TStopSignals* signals_seen = nullptr;
  config.PendingSignals = [&signals_seen] {
    if (signals_seen) signals_seen->HandlePending();
  };
  TProductionLine line(std::move(config), std::move(devices), children, std::cout);
  std::function<void()> resized;
  if (IsTerminal(STDOUT_FILENO))
    resized = [&line] {
      const TTerminalSize now = MeasureTerminal();
      line.Resize(now.Width, now.Height);
    };
  TStopSignals stop_signals([&line](int signal_number) { line.Stop(signal_number); }, resized);
  signals_seen = &stop_signals;
  return line.Exec();
}
