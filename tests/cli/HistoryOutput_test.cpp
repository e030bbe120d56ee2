#include "cli/HistoryOutput.h"

#include <gmock/gmock.h>
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
  const std::string zone = qEnvironmentVariable("TZ").toStdString();
  auto use_zone = [](const std::string& z) {
    z.empty() ? unsetenv("TZ") : setenv("TZ", z.c_str(), 1);
    tzset();
  };
  use_zone("UTC");
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
  // Narrow, it keeps when (to the minute), who, how and why; the other columns went first.
  EXPECT_THAT(table.str(), ::testing::StartsWith("START             NAME"));
  const QString start = QDateTime::fromString("2024-03-02T11:00:00.000Z", Qt::ISODateWithMs)
                            .toLocalTime()
                            .toString("yyyy-MM-dd HH:mm  ");
  EXPECT_NE(table.str().find(start.toStdString()), std::string::npos) << table.str();
  for (const std::string& out : {table.str(), csv.str()})
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  EXPECT_NE(csv.str().find("r4,st-b,2024-03-02T11:00:00.000Z,,8,"), std::string::npos);
  // On a station's clock, CSV carries the offset.
  use_zone("Asia/Kolkata");
  std::ostringstream india;
  WriteRuns(runs, EHistoryFormat::hfCSV, 50, india);
  use_zone(zone);
  EXPECT_NE(india.str().find("r4,st-b,2024-03-02T16:30:00.000+05:30,,8,"), std::string::npos)
      << india.str();
  EXPECT_NE(csv.str().find(",evil\\x1B]0;PWNED\\x07\\x1B[2J,"), std::string::npos) << csv.str();
  EXPECT_NE(csv.str().find(",\"no \"\"answer\"\", at all\","), std::string::npos) << csv.str();
  EXPECT_EQ(json.str(), "{\"id\":\"r4\"}\n{\"id\":\"r4\"}\n");
}

// A summary's CSV and JSON name their columns alike, JSON's figures are numbers, a tie shows
// every instruction and how often, and the newest day comes first.
TEST(HistoryOutput, GroupsNameTheirColumnsAlike) {
  THistoryGroup older{std::string("2024-03-01") + kKeyParts + "P0", 2, 0, 2, 0, 4.5, {"P0"}, 2};
  THistoryGroup newer{std::string("2024-03-02") + kKeyParts, 3, 1, 2, 0, 9, {"A", "B"}, 1};
  std::ostringstream csv, json;
  WriteGroups({older, newer}, "day,instruction", EHistoryFormat::hfCSV, 0, csv);
  WriteGroups({older, newer}, "day,instruction", EHistoryFormat::hfJSON, 0, json);
  EXPECT_EQ(csv.str(),
            "day,instruction,runs,completed,error,stopped,median_seconds,most_failed_at\r\n"
            "2024-03-02,,3,1,2,0,9.0,\"A, B (1 each)\"\r\n2024-03-01,P0,2,0,2,0,4.5,P0 (2)\r\n");
  EXPECT_EQ(json.str(),
            "{\"completed\":1,\"day\":\"2024-03-02\",\"error\":2,\"instruction\":\"\","
            "\"median_seconds\":9,\"most_failed_at\":\"A, B (1 each)\",\"runs\":3,\"stopped\":0}\n"
            "{\"completed\":0,\"day\":\"2024-03-01\",\"error\":2,\"instruction\":\"P0\","
            "\"median_seconds\":4.5,\"most_failed_at\":\"P0 (2)\",\"runs\":2,\"stopped\":0}\n");
}

}  // namespace
