#include "history/SqlHistory.h"

// The steps both databases take; each adds what only it takes (OwnSchemaStep). A step never
// changes once released, a new one follows it.
namespace {

// DOUBLE PRECISION, BIGINT and TEXT mean the same to both databases.
const QStringList kStep1 = {
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

// --summary reads only this index, never the stored records beside it: a million runs in a
// second.
const QStringList kStep2 = {
    "CREATE INDEX runs_summary ON runs (started, result, seconds, failed_instruction, station, "
    "package)"};

// Step 3 is PostgreSQL's alone. Step 4: the views people ask by hand; each database says its
// days in its own way (OwnSchemaStep).
const QStringList kSteps[] = {kStep1, kStep2, {}, {}};

}  // namespace

int HistorySchemaVersion() {
  return static_cast<int>(std::size(kSteps));
}

QStringList SharedSchemaStep(int step) {
  return kSteps[step];
}

QStringList HistoryViews(const QString& day) {
  return {"CREATE VIEW runs_per_day AS SELECT " + day +
              " AS day, station, result, count(*) AS runs FROM runs GROUP BY 1, 2, 3",
          "CREATE VIEW failures_per_day AS SELECT " + day +
              " AS day, station, failed_instruction AS instruction, count(*) AS failures "
              "FROM runs WHERE result = 'error' GROUP BY 1, 2, 3"};
}
