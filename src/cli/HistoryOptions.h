#pragma once

#include <vector>

#include "cli/Options.h"
#include "records/RunHistory.h"

struct TSealPolicy;

// The option table's rows of the station history, in --help's order.
std::vector<TOptionSpec> HistoryOptionRows();

// Where this process keeps its runs: --history-db, else the policy's HISTORY_DB=; the station is
// the policy's STATION=.
TRunHistory StationHistory(const Options& options, const TSealPolicy& policy);

// --history, --history-import and --history-sync; the exit status (2 for a value not understood).
int RunHistoryCommand(const Options& options);
