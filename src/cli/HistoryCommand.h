#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "history/History.h"

// The command line's questions to the history, as the options give them.
struct THistoryRequest {
  enum EAction { haLIST, haSUMMARY, haCHART, haIMPORT, haSYNC };
  EAction Action = haLIST;
  std::string Db;  // --history-db URL; "" the default
  std::string Who, Since, Until, Result, Station;
  std::string Format = "table";    // table, csv, json
  std::string By = "day";          // day, station, package, instruction
  std::vector<std::string> Files;  // --history-import
  int Width = 80;                  // the terminal's
  int Limit = 0;                   // 0: every run
  std::string OwnStation;          // what this station's runs are recorded as
  std::string Chart;               // --chart FILE.png|FILE.svg
};

// 0 done; 1 the database or a file failed (said on `err`); 2 a value is not understood.
// REQUIRES for haCHART: a QApplication (the offscreen platform will do).
int HistoryCommand(const THistoryRequest& request, std::ostream& out, std::ostream& err);

// The filter the options give, with the options named in `error`.
[[nodiscard]] bool HistoryFilterOf(const THistoryRequest& request, THistoryFilter& filter,
                                   std::string& error);
