#include "history/HistoryCharts.h"

#include <QDate>
#include <algorithm>
#include <map>

namespace {

QDate DayOf(const std::string& key) {
  return QDate::fromString(QString::fromStdString(key.substr(0, 10)), "yyyy-MM-dd");
}

// The station's day of a bound as the filter holds it; an until bound is the moment after the
// last one.
QDate BoundDay(const QString& utc, bool until) {
  const QDateTime t = QDateTime::fromString(utc, Qt::ISODateWithMs);
  if (!t.isValid()) return {};
  const QDateTime last = until ? t.toLocalTime().addMSecs(-1) : t.toLocalTime();
  return last.date();
}

std::vector<TChartDay> Days(const std::vector<THistoryGroup>& days,
                            const std::vector<THistoryGroup>& completed, const QString& since,
                            const QString& until) {
  std::map<QDate, TChartDay> by_day;
  for (const THistoryGroup& g : days) {
    TChartDay& d = by_day[DayOf(g.Key)];
    d.Completed = g.Completed;
    d.Errors = g.Errors;
    d.Stopped = g.Stopped;
  }
  for (const THistoryGroup& g : completed) {
    TChartDay& d = by_day[DayOf(g.Key)];
    d.MedianSeconds = g.MedianSeconds;
    d.SlowestSeconds = g.SlowestSeconds;
  }
  by_day.erase(QDate());
  QDate first = BoundDay(since, false), last = BoundDay(until, true);
  if (by_day.empty() && (!first.isValid() || !last.isValid())) return {};
  if (!first.isValid()) first = by_day.begin()->first;
  if (!last.isValid()) last = by_day.empty() ? first : by_day.rbegin()->first;
  if (first.daysTo(last) >= kChartMaxDays && !by_day.empty()) {
    first = std::max(first, by_day.begin()->first);
    last = std::min(last, by_day.rbegin()->first);
  }
  std::vector<TChartDay> out;
  for (QDate d = first; d <= last && out.size() < static_cast<size_t>(kChartMaxDays);
       d = d.addDays(1)) {
    TChartDay day = by_day.count(d) ? by_day[d] : TChartDay{};
    day.Day = d.toString("yyyy-MM-dd").toStdString();
    out.push_back(day);
  }
  return out;
}

// A run that failed before its first instruction is filed under a name in parentheses.
bool BeforeAny(const std::string& instruction) {
  return !instruction.empty() && instruction.front() == '(';
}

}  // namespace

THistoryCharts ChartsOf(const std::vector<THistoryGroup>& days,
                        const std::vector<THistoryGroup>& completed,
                        const std::vector<THistoryGroup>& instructions,
                        const std::vector<THistoryGroup>& stations, const QString& since,
                        const QString& until) {
  THistoryCharts c;
  c.Days = Days(days, completed, since, until);
  c.Before.Label = "(before any instruction)";
  for (const THistoryGroup& g : instructions) {
    if (g.Errors == 0 || g.Key.empty()) continue;
    if (BeforeAny(g.Key))
      c.Before.Count += g.Errors;
    else
      c.Failed.push_back({g.Key, g.Errors});
  }
  // Most first; equal counts in the order of their names, so the picture is the same each time.
  std::stable_sort(c.Failed.begin(), c.Failed.end(),
                   [](const TChartBar& a, const TChartBar& b) { return a.Count > b.Count; });
  if (c.Failed.size() > kChartInstructions) c.Failed.resize(kChartInstructions);
  for (const THistoryGroup& g : stations) c.Stations.push_back({g.Key, g.Runs, g.Errors});
  return c;
}

bool AskCharts(THistory& history, const THistoryFilter& filter, THistoryCharts& charts,
               std::string& error) {
  std::vector<THistoryGroup> days, completed, instructions, stations;
  THistoryFilter only = filter;
  only.Result = "completed";
  THistoryFilter errors = filter;
  errors.Result = "error";
  // Stations are compared with each other, whichever station asks.
  THistoryFilter every = filter;
  every.Station.clear();
  const std::string& r = filter.Result;
  if (!history.Summarize(filter, EHistoryGroup::hgDAY, days, error) ||
      ((r.empty() || r == "completed") &&
       !history.Summarize(only, EHistoryGroup::hgDAY, completed, error)) ||
      ((r.empty() || r == "error") &&
       !history.Summarize(errors, EHistoryGroup::hgINSTRUCTION, instructions, error)) ||
      !history.Summarize(every, EHistoryGroup::hgSTATION, stations, error))
    return false;
  charts = ChartsOf(days, completed, instructions, stations, filter.Since, filter.Until);
  return true;
}
