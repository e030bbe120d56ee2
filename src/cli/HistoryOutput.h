#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "history/History.h"

enum class EHistoryFormat { hfTABLE, hfCSV, hfJSON };

// The runs, newest first: a table no wider than `width` (start in local time), CSV of the
// stored columns, or the stored records as JSON Lines. What a run's values hold that could
// steer a terminal is shown escaped in the table and the CSV.
void WriteRuns(const std::vector<THistoryRun>& runs, EHistoryFormat format, int width,
               std::ostream& out);
// The groups of a summary, named by `by` (day, station, package, instruction); the newest day
// first.
void WriteGroups(const std::vector<THistoryGroup>& groups, const std::string& by,
                 EHistoryFormat format, int width, std::ostream& out);
