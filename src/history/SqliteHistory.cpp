#include <QDateTime>
#include <map>
#include <string_view>

#include "history/SqlHistory.h"
#include "history/SqliteScan.h"
#include "sys/Files.h"

namespace {

// The groups of a summary, fed run by run; the runs of one group mostly come one after another,
// in the order of the index the scan reads.
class TGroups {
 public:
  // `by_day`: the key starts with a run's UTC start, taken as its day on the station's clock.
  explicit TGroups(bool by_day) : ByDay(by_day) {}

  void Add(std::string_view key, std::string_view result, double seconds, std::string_view failed) {
    if (ByDay) {
      const size_t sep = key.find(kKeyParts);
      const std::string& day = LocalDay(key.substr(0, sep));
      if (sep == std::string_view::npos) {
        key = day;
      } else {
        Joined = day;
        Joined.append(key.substr(sep));
        key = Joined;
      }
    }
    if (!Last || key != LastKey) {
      LastKey.assign(key);
      Last = &Groups[LastKey];
    }
    ++Last->Group.Runs;
    Last->Seconds.push_back(seconds);
    Last->Group.SlowestSeconds = std::max(Last->Group.SlowestSeconds, seconds);
    if (result == "completed") {
      ++Last->Group.Completed;
    } else if (result == "stopped") {
      ++Last->Group.Stopped;
    } else if (result == "error") {
      ++Last->Group.Errors;
      ++Last->FailedAt[std::string(failed)];
    }
  }

  struct TGathered {
    THistoryGroup Group;
    std::vector<double> Seconds;  // each run's, until the median is found
    std::map<std::string, int> FailedAt;
  };
  std::map<std::string, TGathered> Groups;

 private:
  // Runs come in order of start: the local day is worked out once per ten minutes of UTC, which
  // also holds for zones half an hour or three quarters off.
  const std::string& LocalDay(std::string_view utc) {
    const std::string_view tens = utc.substr(0, 15);
    if (tens == LastTens) return LastDay;
    LastTens.assign(tens);
    const QDateTime t = QDateTime::fromString(
        QString::fromUtf8(tens.data(), static_cast<qsizetype>(tens.size())) + "0:00.000Z",
        Qt::ISODateWithMs);
    LastDay = t.isValid() ? t.toLocalTime().date().toString("yyyy-MM-dd").toStdString()
                          : std::string(utc.substr(0, 10));
    return LastDay;
  }

  bool ByDay;
  std::string LastKey, LastTens, LastDay, Joined;
  TGathered* Last = nullptr;
};

// The middle one, or the mean of the two in the middle, as PostgreSQL's percentile_cont(0.5).
double Median(std::vector<double>& s) {
  if (s.empty()) return 0;
  const size_t mid = s.size() / 2;
  std::nth_element(s.begin(), s.begin() + static_cast<long>(mid), s.end());
  double m = s[mid];
  if (s.size() % 2 == 0)
    m = (m + *std::max_element(s.begin(), s.begin() + static_cast<long>(mid))) / 2;
  return m;
}

class TSqliteHistory : public TSqlHistory {
 public:
  TSqliteHistory(const THistoryUrl& url, int seconds) : TSqlHistory(url, seconds) {}

  bool Summarize(const THistoryFilter& filter, EHistoryGroup by,
                 std::vector<THistoryGroup>& groups, std::string& error) override;

 protected:
  const char* Driver() const override { return "QSQLITE"; }
  const char* DriverPackage() const override { return "libqt6sql6-sqlite"; }
  bool Prepare(QSqlDatabase& db, std::string& error) override;
  bool Settle(std::string& error) override {
    return ExecText("PRAGMA busy_timeout = " + QString::number(Seconds * 1000), error) &&
           ExecText("PRAGMA case_sensitive_like = ON", error);
  }
  bool BeforeSchema(std::string& error) override {
    return ExecText("PRAGMA journal_mode = WAL", error) &&
           ExecText("PRAGMA synchronous = NORMAL", error);
  }
  // IMMEDIATE takes the write lock at once, where the busy timeout applies, instead of failing
  // at the first write when another writer got there first.
  const char* BeginText() const override { return "BEGIN IMMEDIATE"; }
  // BEGIN IMMEDIATE is the lock already.
  const char* MigrationLock() const override { return nullptr; }
  EFailure Classify(const QSqlError& e) const override {
    // SQLITE_BUSY and SQLITE_LOCKED are waited out; a file that cannot be read, written or
    // opened takes no record now. The driver files every failed step as a connection error.
    const int code = e.nativeErrorCode().toInt() & 0xff;
    if (code == 5 || code == 6) return EFailure::Busy;
    if (code == 8 || code == 10 || code == 13 || code == 14) return EFailure::Unreachable;
    return EFailure::Refused;
  }
  QStringList OwnSchemaStep(int step) const override {
    if (step != 3) return {};
    // Times stay ISO text in UTC, as SQLite's own date functions read it; what is no time (a
    // record imported by hand) becomes the epoch, as on a server.
    const QString time = "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]*'";
    return QStringList{"UPDATE runs SET started = '1970-01-01T00:00:00.000Z' WHERE started "
                       "NOT GLOB " + time,
                       "UPDATE runs SET ended = started WHERE ended NOT GLOB " + time} +
           HistoryViews("date(started, 'localtime')");
  }
};

// Created owner-only before SQLite opens it; the WAL files it makes take the same mode.
bool TSqliteHistory::Prepare(QSqlDatabase& db, std::string& error) {
  const std::string& path = Url.Path;
  if (path == DefaultHistoryDb() &&
      !MakeFolders(path.substr(0, path.rfind('/')), 0700, error)) {
    error = "history database " + Url.Shown + ": " + error;
    return false;
  }
  if (!CreateFileOnce(path, 0600, error)) {
    error = "history database " + Url.Shown + ": cannot make the file: " + error;
    return false;
  }
  db.setDatabaseName(QString::fromStdString(path));
  return true;
}

// Every run the filter chooses, straight from SQLite's library: a million rows through Qt's
// driver would cost a conversion per value. The result's index is hidden (`+result`): the scan
// reads the summary index whole instead of looking up most of the table row by row.
bool TSqliteHistory::Summarize(const THistoryFilter& filter, EHistoryGroup by,
                               std::vector<THistoryGroup>& groups, std::string& error) {
  groups.clear();
  // The scan turns the UTC start into the station's day itself.
  const QString key = GroupKey(by, "started");
  TGroups gathered(by == EHistoryGroup::hgDAY || by == EHistoryGroup::hgDAYINSTRUCTION);
  const TWhere where = MakeWhere(filter, "+result");
  std::vector<std::string> values;
  for (const QVariant& v : where.Values) values.push_back(v.toString().toStdString());
  const QString sql = "SELECT " + key + ", result, seconds, failed_instruction FROM runs" + where.Sql;
  const bool read = ScanSqlite(
      Url.Path, sql.toStdString(), values, Seconds,
      [&](const TScanRow& row) {
        const std::string_view result = row.Text(1);
        gathered.Add(row.Text(0), result, row.Number(2),
                     result == "error" ? row.Text(3) : std::string_view());
      },
      error);
  if (!read) {
    error = "history database " + Url.Shown + ": " + error;
    return false;
  }
  for (auto& [name, g] : gathered.Groups) {
    g.Group.Key = name;
    g.Group.MedianSeconds = Median(g.Seconds);
    MostFailed(g.FailedAt, g.Group);
    groups.push_back(std::move(g.Group));
  }
  return true;
}

}  // namespace

std::unique_ptr<TSqlHistory> MakeSqliteHistory(const THistoryUrl& url, int seconds) {
  return std::make_unique<TSqliteHistory>(url, seconds);
}
