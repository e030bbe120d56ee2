#pragma once

#include <string>
#include <vector>

#include "cli/Options.h"
#include "records/RunHistory.h"

struct TSealPolicy;

// The option table's rows of the station history, in --help's order.
std::vector<TOptionSpec> HistoryOptionRows();

// A run on a station whose policy names a HISTORY_DB keeps its record there: another database,
// or none, given with --history-db is refused with the reason.
[[nodiscard]] bool StationHistoryAllowed(const Options& options, const TSealPolicy& policy,
                                         std::string& error);
// Where this process keeps its runs: --history-db, else the policy's HISTORY_DB=; the station is
// the policy's STATION=.
TRunHistory StationHistory(const Options& options, const TSealPolicy& policy);

// --history, --history-import and --history-sync; the exit status (2 for a value not understood).
// REQUIRES: a QCoreApplication.
int RunHistoryCommand(const Options& options);
// --history --chart: the same, on Qt's offscreen platform, whatever display there is.
int RunHistoryChart(int argc, char** argv, const Options& options);
