#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "history/HistoryQuery.h"

// The command line's questions to the history, as the options give them.
struct THistoryRequest {
  enum EAction { haLIST, haSUMMARY, haIMPORT, haSYNC };
  EAction Action = haLIST;
  std::string Db;  // --history-db URL; "" the default
  THistoryFilter Filter;
  std::string Format = "table";    // table, csv, json
  std::string By = "day";          // day, station, package, instruction
  std::vector<std::string> Files;  // --history-import
  int Width = 80;                  // the terminal's
  int Limit = 0;                   // 0: every run
};

// 0 done; 1 the database or a file failed (said on `err`); 2 a value is not understood.
int HistoryCommand(const THistoryRequest& request, std::ostream& out, std::ostream& err);

// Old --report files into the history: a record without an id gets one made from its content,
// so a file imported twice adds nothing. Lines that are not records are named and skipped.
[[nodiscard]] bool ImportReports(THistoryStore& store, const std::string& file, std::ostream& out,
                                 std::ostream& err);

// The id of a record that has none: the same content always gives the same id.
QString ContentRunId(const QJsonObject& record);
