#include <QTimeZone>

#include "history/SqlHistory.h"

namespace {

QStringList Comments();

// A run's day in UTC, as the index of days holds it.
const QString kUtcDay = "(started AT TIME ZONE 'UTC')::date";

// A time kept as text before: what is not one (imported by hand) becomes the epoch.
QString Time(const char* column) {
  return QString("CASE WHEN %1 ~ '^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d' THEN "
                 "%1::timestamptz WHEN %1 = '' THEN NULL ELSE 'epoch' END")
      .arg(column);
}

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
  // A step over a million runs takes longer than a statement may: the step has no time limit.
  const char* MigrationLock() const override {
    return "SELECT pg_advisory_xact_lock(7301), set_config('statement_timeout', '0', true), "
           "set_config('lock_timeout', '0', true)";
  }
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
      case 3:
        // Times and records in the types a reader's own queries take (date_trunc, ->>). The
        // record is json, not jsonb: jsonb cannot hold the NUL a device may have sent.
        return QStringList{"DROP INDEX IF EXISTS runs_day",
                           "ALTER TABLE runs ALTER COLUMN ended DROP NOT NULL",
                           "ALTER TABLE runs ALTER COLUMN started TYPE timestamptz USING " +
                               Time("started") + ", ALTER COLUMN ended TYPE timestamptz USING " +
                               Time("ended") + ", ALTER COLUMN record TYPE json USING record::json",
                           "ALTER TABLE versions ALTER COLUMN written TYPE boolean USING "
                           "written <> 0",
                           "CREATE INDEX runs_day ON runs ((" + kUtcDay +
                               ")) INCLUDE (started, result, seconds)"} +
               HistoryViews("started::date") + Comments();
      default:
        return {};
    }
  }
};

// What each table, column and view holds, for those who read the history with their own tools.
QStringList Comments() {
  static const char* const kComments[][2] = {
      {"TABLE runs", "One row per run of the updater on a station"},
      {"COLUMN runs.id", "The run's id (a UUID), the same in its --report record"},
      {"COLUMN runs.station", "The station that ran it (STATION= of its policy, else its host)"},
      {"COLUMN runs.started", "When the run started, UTC, YYYY-MM-DDTHH:MM:SS.mmmZ"},
      {"COLUMN runs.ended", "When the run ended, UTC, as started"},
      {"COLUMN runs.seconds", "How long the run took"},
      {"COLUMN runs.name", "The device's name (--name, or the line's device list)"},
      {"COLUMN runs.device_type", "The device type it reported; empty when none answered"},
      {"COLUMN runs.device_id", "The device id it reported; empty when none answered"},
      {"COLUMN runs.link", "The link the run used"},
      {"COLUMN runs.script", "The script the run started from"},
      {"COLUMN runs.package", "The package folder: the script's folder"},
      {"COLUMN runs.seal_key_id", "The key that sealed the package; empty when unsealed"},
      {"COLUMN runs.manifest_sha256", "SHA-256 of the package's manifest; empty when unsealed"},
      {"COLUMN runs.result", "completed, error or stopped"},
      {"COLUMN runs.error", "What went wrong; empty when it completed"},
      {"COLUMN runs.failed_instruction",
       "The instruction the run failed or stopped at, or where it stood before any"},
      {"COLUMN runs.record", "The whole run record as JSON, as --report writes it"},
      {"TABLE instructions", "Each instruction of a run, in order"},
      {"TABLE files", "Each file a run read, with its SHA-256"},
      {"TABLE versions", "Versions a run read (written = 0) or wrote (written = 1)"},
      {"TABLE schema_version", "The history's schema version"},
      {"VIEW runs_per_day", "Runs per day, station and result; days on the reader's clock"},
      {"VIEW failures_per_day",
       "Failed runs per day, station and instruction; days on the reader's clock"}};
  QStringList sql;
  for (const auto& [what, text] : kComments)
    sql << QString("COMMENT ON %1 IS '%2'").arg(what, QString(text).replace('\'', "''"));
  return sql;
}

// The server counts and finds the medians itself, in one snapshot: a million rows never cross.
// Each answer is read whole before the next question: a connection reads one at a time.
bool TPostgresHistory::Summarize(const THistoryFilter& filter, EHistoryGroup by,
                                 std::vector<THistoryGroup>& out, std::string& error) {
  out.clear();
  // Days on the station's clock; in UTC the index of days answers without a sort.
  const QTimeZone zone = QTimeZone::systemTimeZone();
  const bool utc = zone.offsetFromUtc(QDateTime::currentDateTimeUtc()) == 0 &&
                   !zone.hasDaylightTime();
  const QString key =
      GroupKey(by, utc ? "(" + kUtcDay + ")::text" : "((started AT TIME ZONE ?)::date)::text");
  const bool zoned = !utc && (by == EHistoryGroup::hgDAY || by == EHistoryGroup::hgDAYINSTRUCTION);
  TWhere where = MakeWhere(filter, "result");
  if (zoned) where.Values.prepend(QString::fromUtf8(zone.id()));
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
