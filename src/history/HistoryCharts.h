#pragma once

#include <string>
#include <vector>

#include "history/History.h"

// What the history's pictures are drawn from, in numbers only: no display is needed to build
// or to check them. Days are the station's, as the history groups them.
struct TChartDay {
  std::string Day;  // YYYY-MM-DD
  int Completed = 0, Errors = 0, Stopped = 0;
  double MedianSeconds = 0, SlowestSeconds = 0;  // of the day's completed runs; 0 for none
};
struct TChartBar {
  std::string Label;
  int Count = 0;
};
struct TChartStation {
  std::string Station;
  int Runs = 0, Errors = 0;
};
struct THistoryCharts {
  std::vector<TChartDay> Days;  // every day from the first to the last, days without runs too
  std::vector<TChartBar> Failed;  // the instructions failed most, most first, ten at most
  TChartBar Before;               // errors before any instruction (link, package)
  std::vector<TChartStation> Stations;  // in the order of their names
};

// The ten instructions a chart shows.
constexpr size_t kChartInstructions = 10;
// Days drawn at most: a bound given as far back as years ago is cut to the days with runs.
constexpr int kChartMaxDays = 3660;

// The pictures' numbers from the groups Summarize gave: `days` by day, `completed` by day of
// the completed runs alone, `instructions` by instruction of the failed runs, `stations` by
// station. `since` and `until` (the filter's, "" for none) widen the days to the bounds asked.
THistoryCharts ChartsOf(const std::vector<THistoryGroup>& days,
                        const std::vector<THistoryGroup>& completed,
                        const std::vector<THistoryGroup>& instructions,
                        const std::vector<THistoryGroup>& stations, const QString& since,
                        const QString& until);

// Asks `history` the four summaries the pictures need, each grouped in the database; the
// stations' runs whatever station the filter names, so that stations can be compared.
[[nodiscard]] bool AskCharts(THistory& history, const THistoryFilter& filter,
                             THistoryCharts& charts, std::string& error);
