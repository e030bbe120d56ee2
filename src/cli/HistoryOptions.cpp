#include "cli/HistoryOptions.h"

#include <unistd.h>

#include <QApplication>
#include <iostream>

#include "cli/HistoryCommand.h"
#include "history/HistoryUrl.h"
#include "seal/SealGate.h"
#include "sys/Terminal.h"

namespace {

using TValues = std::vector<std::string>;

// A table sent to a file or a pipe is cut to no width.
constexpr int kNoWidth = 10000;

bool TakeDb(Options& o, const TValues& v, std::string& error) {
  THistoryUrl url;
  if (!ParseHistoryUrl(v[0], url, error)) {
    error = "--history-db: " + error;
    return false;
  }
  o.HistoryDb = v[0];
  return o.HistoryDbGiven = true;
}

int TerminalWidth() {
  size_t columns = 0, rows = 0;
  if (!IsTerminal(STDOUT_FILENO) || !TerminalSize(STDOUT_FILENO, columns, rows) || columns == 0)
    return kNoWidth;
  return static_cast<int>(columns);
}

}  // namespace

std::vector<TOptionSpec> HistoryOptionRows() {
  using enum TOptionValue;
  const std::vector<TCommandMode> list = {cmHISTORY};
  // clang-format off
  return {
    {"--history", Optional, "[WHO]", cmHISTORY, {}, false,
     "the runs of the station's history, newest first: every run, or\n"
     "those of the device named WHO (* and ? as in the shell) or of\n"
     "the device id WHO",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::Who, o, v); }},
    {"--since", Required, "WHEN", cmWINDOW, list, false,
     "runs started from WHEN on:\n"
     "YYYY-MM-DD[ HH:MM[:SS]] (local time), today, yesterday,\n"
     "Nd or Nh (days or hours ago)",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::Since, o, v); }},
    {"--until", Required, "WHEN", cmWINDOW, list, false,
     "runs started up to WHEN (a day alone counts whole)",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::Until, o, v); }},
    {"--result", Required, "RESULT", cmWINDOW, list, false,
     "only runs that ended so:\ncompleted, error or stopped",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::Result, o, v); }},
    {"--format", Required, "FORMAT", cmWINDOW, list, false,
     "table (default; fits the\nterminal), csv, or json (the stored records as JSON lines)",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::Format, o, v); }},
    {"--summary", None, "", cmWINDOW, list, false,
     "runs, completed, error, stopped,\n"
     "the median seconds and the instruction errors failed at most\n"
     "often, per --by",
     [](Options& o, const TValues&, std::string&) { return o.Summary = true; }},
    {"--by", Required, "KEY", cmWINDOW, list, false,
     "the --summary per day\n(default), station, package, instruction, or day,instruction;\n"
     "the --chart per day (default), instruction or station",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::By, o, v); }},
    {"--chart", Required, "FILE", cmWINDOW, list, false,
     "the runs as a picture, FILE.png or\nFILE.svg, drawn without a display: per day the runs "
     "by result\nand the seconds of the completed ones, per instruction where\nerrors failed, "
     "per station runs and errors",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::Chart, o, v); }},
    {"--history-import", Required, "FILE...", cmHISTORYIMPORT, {}, false,
     "bring --report files into the history; a file imported twice\n"
     "adds nothing",
     [](Options& o, const TValues& v, std::string&) {
       o.HistoryFiles.push_back(v[0]);
       return true;
     }},
    {"--history-sync", None, "", cmHISTORYSYNC, {}, false,
     "send the runs kept in the spool, when their database could not\n"
     "take them, to the databases they were meant for"},
    {"--history-db", Required, "URL", cmWINDOW,
     {cmWINDOW, cmBATCH, cmLINE, cmLINEWINDOW, cmHISTORY, cmHISTORYIMPORT}, false,
     "\nthe history database of this process, instead of HISTORY_DB=\n"
     "of /etc/qubra-updater/policy or\n"
     "$XDG_DATA_HOME/qubra-updater/history.sqlite: sqlite:PATH,\n"
     "postgresql://USER@HOST:PORT/DB or none",
     TakeDb},
  };
  // clang-format on
}

bool StationHistoryAllowed(const Options& o, const TSealPolicy& policy, std::string& error) {
  const bool run =
      o.Mode == cmWINDOW || o.Mode == cmBATCH || o.Mode == cmLINE || o.Mode == cmLINEWINDOW;
  const bool asks = o.Mode == cmHISTORY || o.Mode == cmHISTORYIMPORT || o.Mode == cmHISTORYSYNC;
  THistoryUrl url;
  if ((run || asks) && !policy.HistoryDb.empty() &&
      !ParseHistoryUrl(policy.HistoryDb, url, error)) {
    error = std::string("HISTORY_DB of ") + kStationPolicyFile + ": " + error;
    return false;
  }
  if (!run || !o.HistoryDbGiven || policy.HistoryDb.empty() || o.HistoryDb == policy.HistoryDb)
    return true;
  error = "--history-db " + ShownHistoryUrl(o.HistoryDb) + ": this station keeps every run in " +
          ShownHistoryUrl(policy.HistoryDb) + " (HISTORY_DB of " + kStationPolicyFile +
          "); a run may not keep its record elsewhere";
  return false;
}

TRunHistory StationHistory(const Options& options, const TSealPolicy& policy) {
  return {options.HistoryDbGiven ? options.HistoryDb : policy.HistoryDb, policy.Station};
}

int RunHistoryCommand(const Options& options) {
  THistoryRequest request;
  request.Action = options.Mode == cmHISTORYSYNC            ? THistoryRequest::haSYNC
                   : options.Mode == cmHISTORYIMPORT        ? THistoryRequest::haIMPORT
                   : !options.Chart.empty()                 ? THistoryRequest::haCHART
                   : options.Summary || !options.By.empty() ? THistoryRequest::haSUMMARY
                                                            : THistoryRequest::haLIST;
  request.Chart = options.Chart;
  request.Db = RunHistory().Db;
  request.Who = options.Who;
  request.Since = options.Since;
  request.Until = options.Until;
  request.Result = options.Result;
  if (!options.Format.empty()) request.Format = options.Format;
  if (!options.By.empty()) request.By = options.By;
  request.Files = options.HistoryFiles;
  request.OwnStation = RunStation().toStdString();
  request.Width = TerminalWidth();
  const int status = HistoryCommand(request, std::cout, std::cerr);
  std::cout.flush();
  return status;
}

int RunHistoryChart(int argc, char** argv, const Options& options) {
  // A morning's cron job has no display; a window's display is not needed either.
  static char platform[] = "-platform", offscreen[] = "offscreen";
  std::vector<char*> args(argv, argv + argc);
  args.insert(args.begin() + (argc > 0 ? 1 : 0), {platform, offscreen});
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  // Qt's notes on the session (no XDG_RUNTIME_DIR under cron) would be mailed each morning.
  static QtMessageHandler qt = nullptr;
  qt = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& where, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg) qt(type, where, text);
  });
  QApplication app(count, args.data());
  return RunHistoryCommand(options);
}
