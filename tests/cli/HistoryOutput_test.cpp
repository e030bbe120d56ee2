#include "cli/HistoryOutput.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

THistoryRun Listed(const QString& name, const QString& error) {
  THistoryRun r;
  r.Id = "r4";
  r.Station = "st-b";
  r.Started = "2024-03-02T11:00:00.000Z";
  r.Name = name;
  r.DeviceId = "DEV-7";
  r.Result = "error";
  r.Seconds = 8;
  r.Error = error;
  r.FailedInstruction = "P8 PROM1.SVF";
  r.Record = "{\"id\":\"r4\"}";
  return r;
}

// The table fits the terminal, the CSV quotes what it must, and neither lets a device's name
// steer the terminal (a title, a cleared screen); JSON gives the stored record as it is.
TEST(HistoryOutput, FitsQuotesAndEscapes) {
  const std::vector<THistoryRun> runs = {
      Listed("evil\x1b]0;PWNED\x07\x1b[2J", "no \"answer\", at all"),
      Listed("'; DROP TABLE runs; --", QString(200, 'e'))};
  std::ostringstream table, csv, json;
  WriteRuns(runs, EHistoryFormat::hfTABLE, 50, table);
  WriteRuns(runs, EHistoryFormat::hfCSV, 50, csv);
  WriteRuns(runs, EHistoryFormat::hfJSON, 50, json);
  std::istringstream lines(table.str());
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) EXPECT_LE(line.size(), 50u) << line;
  EXPECT_EQ(count, 3);
  for (const std::string& out : {table.str(), csv.str()})
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  EXPECT_NE(csv.str().find("r4,st-b,2024-03-02T11:00:00.000Z,,8,"), std::string::npos);
  EXPECT_NE(csv.str().find(",evil\\x1B]0;PWNED\\x07\\x1B[2J,"), std::string::npos) << csv.str();
  EXPECT_NE(csv.str().find(",\"no \"\"answer\"\", at all\","), std::string::npos) << csv.str();
  EXPECT_EQ(json.str(), "{\"id\":\"r4\"}\n{\"id\":\"r4\"}\n");
}

}  // namespace
