#include <QSqlQuery>
#include <QStringList>

#include "history/HistoryStore.h"

// One function per step; a step never changes once released, a new one follows it.
namespace {

bool Statements(THistoryStore& store, const QStringList& sql, std::string& error) {
  for (const QString& s : sql)
    if (!store.ExecText(s, error)) return false;
  return true;
}

// DOUBLE PRECISION, BIGINT and TEXT mean the same to both databases.
bool Step1(THistoryStore& store, std::string& error) {
  QStringList sql = {
      "CREATE TABLE runs (id TEXT PRIMARY KEY, station TEXT NOT NULL, started TEXT NOT NULL, "
      "ended TEXT NOT NULL, seconds DOUBLE PRECISION, name TEXT NOT NULL, "
      "device_type TEXT NOT NULL, device_id TEXT NOT NULL, link TEXT NOT NULL, "
      "script TEXT NOT NULL, package TEXT NOT NULL, seal_key_id TEXT NOT NULL, "
      "manifest_sha256 TEXT NOT NULL, result TEXT NOT NULL, error TEXT NOT NULL, "
      "failed_instruction TEXT NOT NULL, record TEXT NOT NULL)",
      "CREATE TABLE instructions (run_id TEXT NOT NULL REFERENCES runs(id), "
      "position INTEGER NOT NULL, script TEXT NOT NULL, line INTEGER NOT NULL, "
      "text TEXT NOT NULL, card TEXT NOT NULL, engine TEXT NOT NULL, result TEXT NOT NULL, "
      "retries INTEGER NOT NULL, sent BIGINT NOT NULL, received BIGINT NOT NULL, "
      "seconds DOUBLE PRECISION, reason TEXT NOT NULL, PRIMARY KEY (run_id, position))",
      "CREATE TABLE files (run_id TEXT NOT NULL REFERENCES runs(id), path TEXT NOT NULL, "
      "sha256 TEXT NOT NULL)",
      "CREATE TABLE versions (run_id TEXT NOT NULL REFERENCES runs(id), "
      "written INTEGER NOT NULL, instruction TEXT NOT NULL, component TEXT NOT NULL, "
      "version TEXT NOT NULL, expected TEXT NOT NULL)",
      "CREATE INDEX runs_name ON runs (name)",
      "CREATE INDEX runs_device_id ON runs (device_id)",
      "CREATE INDEX runs_started ON runs (started)",
      "CREATE INDEX runs_result ON runs (result)",
      "CREATE INDEX files_run ON files (run_id)",
      "CREATE INDEX versions_run ON versions (run_id)"};
  // A name pattern (LIKE 'qb-04%') uses an index in any collation only with this class.
  if (store.Postgres()) sql << "CREATE INDEX runs_name_pattern ON runs (name text_pattern_ops)";
  return Statements(store, sql, error);
}

// --summary reads only this index, never the stored records beside it: a million runs in a
// second.
bool Step2(THistoryStore& store, std::string& error) {
  return Statements(store,
                    {"CREATE INDEX runs_summary ON runs (started, result, seconds, "
                     "failed_instruction, station, package)"},
                    error);
}

// The server groups --summary --by day in this index's order instead of sorting a million
// runs first. SQLite reads the runs in order of start and groups them itself.
bool Step3(THistoryStore& store, std::string& error) {
  return !store.Postgres() ||
         store.ExecText("CREATE INDEX runs_day ON runs (substr(started, 1, 10)) "
                        "INCLUDE (started, result, seconds)",
                        error);
}

using TStep = bool (*)(THistoryStore&, std::string&);
constexpr TStep Steps[] = {Step1, Step2, Step3};

}  // namespace

int HistorySchemaVersion() {
  return static_cast<int>(std::size(Steps));
}

bool MigrateHistory(THistoryStore& store, int from, std::string& error) {
  for (int v = from; v < HistorySchemaVersion(); ++v) {
    if (!Steps[v](store, error)) return false;
    QSqlQuery q = store.Query();
    q.prepare(v == 0 ? "INSERT INTO schema_version (version) VALUES (?)"
                     : "UPDATE schema_version SET version = ?");
    q.addBindValue(v + 1);
    if (!store.Exec(q, error)) return false;
  }
  return true;
}
