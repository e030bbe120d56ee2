#include "history/SqlHistory.h"

namespace {

class TPostgresHistory : public TSqlHistory {
 public:
  TPostgresHistory(const THistoryUrl& url, int seconds) : TSqlHistory(url, seconds) {}

  bool Summarize(const THistoryFilter& filter, EHistoryGroup by,
                 std::vector<THistoryGroup>& groups, std::string& error) override;

 protected:
  const char* Driver() const override { return "QPSQL"; }
  const char* DriverPackage() const override { return "libqt6sql6-psql"; }
  // The URL's parts each as a setting of its own; no password is handed over: libpq reads
  // ~/.pgpass or PGPASSWORD itself.
  bool Prepare(QSqlDatabase& db, std::string&) override {
    db.setHostName(QString::fromStdString(Url.Host));
    db.setPort(Url.Port);
    db.setUserName(QString::fromStdString(Url.User));
    db.setDatabaseName(QString::fromStdString(Url.Database));
    // A network that drops the server's answers is noticed by the connection itself.
    db.setConnectOptions(QString::fromStdString(Url.Options) + ";keepalives_idle='5'" +
                         ";keepalives_interval='2';keepalives_count='2'" +
                         ";tcp_user_timeout='" + QString::number(Seconds * 1000) + "'");
    return true;
  }
  // A lock held by another (LOCK TABLE) or a slow statement ends in an error after the limit,
  // instead of holding the run that waits for it.
  bool Settle(std::string& error) override {
    const QString ms = QString::number(Seconds * 1000);
    return ExecText("SET client_min_messages = warning", error) &&
           ExecText("SET statement_timeout = " + ms, error) &&
           ExecText("SET lock_timeout = " + ms, error) &&
           ExecText("SET idle_in_transaction_session_timeout = " + ms, error);
  }
  bool BeforeSchema(std::string&) override { return true; }
  // Many writers may meet a new database at once: one migrates, the others wait.
  const char* MigrationLock() const override { return "SELECT pg_advisory_xact_lock(7301)"; }
  const char* BeginText() const override { return "BEGIN"; }
  EFailure Classify(const QSqlError& e) const override {
    const QString code = e.nativeErrorCode();
    // Serialization failure and deadlock are tried again; a time limit, a lock not had in time,
    // and a connection that failed or was shut down mean the server cannot take runs now.
    if (code == "40001" || code == "40P01") return EFailure::Busy;
    if (code == "57014" || code == "55P03" || code.startsWith("08") || code.startsWith("57P") ||
        e.type() == QSqlError::ConnectionError)
      return EFailure::Unreachable;
    return EFailure::Refused;
  }
  QStringList OwnSchemaStep(int step) const override {
    switch (step) {
      case 0:
        // A name pattern (LIKE 'qb-04%') uses an index in any collation only with this class.
        return {"CREATE INDEX runs_name_pattern ON runs (name text_pattern_ops)"};
      case 2:
        // The server groups --summary --by day in this index's order instead of sorting a
        // million runs first.
        return {"CREATE INDEX runs_day ON runs (substr(started, 1, 10)) "
                "INCLUDE (started, result, seconds)"};
      default:
        return {};
    }
  }
};

// The server counts and finds the medians itself, in one snapshot: a million rows never cross.
// Each answer is read whole before the next question: a connection reads one at a time.
bool TPostgresHistory::Summarize(const THistoryFilter& filter, EHistoryGroup by,
                                 std::vector<THistoryGroup>& out, std::string& error) {
  out.clear();
  const QString key = GroupKey(by, "substr(started, 1, 10)");
  const TWhere where = MakeWhere(filter, "result");
  std::map<std::string, THistoryGroup> groups;
  std::map<std::string, std::map<std::string, int>> failed;
  auto counts = [&] {
    QSqlQuery q;
    if (!Select("SELECT " + key +
                    ", count(*), count(*) FILTER (WHERE result = 'completed'), "
                    "count(*) FILTER (WHERE result = 'error'), "
                    "count(*) FILTER (WHERE result = 'stopped'), "
                    "percentile_cont(0.5) WITHIN GROUP (ORDER BY seconds), max(seconds) FROM runs" +
                    where.Sql + " GROUP BY 1",
                where, q, error))
      return false;
    while (q.next()) {
      THistoryGroup& g = groups[q.value(0).toString().toStdString()];
      g.Runs = q.value(1).toInt();
      g.Completed = q.value(2).toInt();
      g.Errors = q.value(3).toInt();
      g.Stopped = q.value(4).toInt();
      g.MedianSeconds = q.value(5).toDouble();
      g.SlowestSeconds = q.value(6).toDouble();
    }
    return true;
  };
  auto failures = [&] {
    TWhere errors = where;
    errors.Add("result = 'error'", {});
    QSqlQuery q;
    if (!Select("SELECT " + key + ", failed_instruction, count(*) FROM runs" + errors.Sql +
                    " GROUP BY 1, 2",
                errors, q, error))
      return false;
    while (q.next())
      failed[q.value(0).toString().toStdString()][q.value(1).toString().toStdString()] =
          q.value(2).toInt();
    return true;
  };
  std::string ignored;
  // The sort the medians need stays in memory: a million runs are about 50 MB of it.
  const bool asked = ExecText("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", error) &&
                     ExecText("SET LOCAL work_mem = '256MB'", error) && counts() && failures();
  (void)ExecText(asked ? "COMMIT" : "ROLLBACK", ignored);
  if (!asked) return false;
  for (auto& [name, g] : groups) {
    g.Key = name;
    MostFailed(failed[name], g);
    out.push_back(std::move(g));
  }
  return true;
}

}  // namespace

std::unique_ptr<TSqlHistory> MakePostgresHistory(const THistoryUrl& url, int seconds) {
  return std::make_unique<TPostgresHistory>(url, seconds);
}
