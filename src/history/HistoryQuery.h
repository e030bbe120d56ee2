#pragma once

#include <QDateTime>
#include <QString>
#include <ostream>
#include <string>

#include "history/HistoryStore.h"

// Which runs a question is about.
struct THistoryFilter {
  std::string Who;        // a device name (`*` and `?` as in the shell) or a device id; "" all
  std::string Since;      // WHEN: YYYY-MM-DD[ HH:MM[:SS]] (local time), today, yesterday, Nd, Nh
  std::string Until;      // a day alone counts whole
  std::string Result;     // completed, error, stopped; "" all
  std::string Station{};  // one station's runs; "" every station's
};

enum class EHistoryFormat { hfTABLE, hfCSV, hfJSON };

// WHEN as the UTC text the runs' start times are kept in. False with `error` naming the option.
[[nodiscard]] bool ParseWhen(const std::string& option, const std::string& text, bool until,
                             const QDateTime& now, QString& utc, std::string& error);

// The runs, newest first: a table no wider than `width`, CSV, or the stored records as JSON
// Lines. `limit` 0 shows all.
[[nodiscard]] bool ListRuns(THistoryStore& store, const THistoryFilter& filter,
                            EHistoryFormat format, int width, int limit, std::ostream& out,
                            std::string& error);

// Per day (UTC), station, package or failing instruction: runs, completed, error, stopped,
// the median seconds, and the instruction errors failed at most often.
[[nodiscard]] bool SummarizeRuns(THistoryStore& store, const THistoryFilter& filter,
                                 const std::string& by, EHistoryFormat format, int width,
                                 std::ostream& out, std::string& error);
