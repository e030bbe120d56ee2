#include "history/SqlHistory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSqlRecord>
#include <QThread>
#include <QUuid>
#include <chrono>

namespace {

// An index entry has a size limit on a server: the indexed columns keep this many characters,
// the record the whole value.
constexpr qsizetype kIndexedChars = 160;

// The columns hold text as people search it, never NULL; a NUL, which PostgreSQL's text cannot
// hold, becomes U+FFFD there. The record itself keeps every character.
QString Column(const QString& value) {
  QString text = value.isNull() ? QString("") : value;
  return text.replace(QChar(0), QChar(0xFFFD));
}
QString Column(const QJsonValue& value) {
  return Column(value.toString());
}
QString Indexed(const QString& value) {
  return Column(value).left(kIndexedChars);
}
QString Indexed(const QJsonValue& value) {
  return Indexed(value.toString());
}

// Start and end as UTC text of one form, so text order is time order; what is no time (a record
// written by hand) takes `otherwise`, so that a database of time columns takes the run too.
QString Utc(const QJsonValue& value, const QString& otherwise = "1970-01-01T00:00:00.000Z") {
  const QDateTime t = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
  return t.isValid() ? t.toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzzZ") : otherwise;
}

// The instruction the run stopped at: the last one that failed or was stopped. A run that
// failed before any is counted under where it stood: no device answered, or one did.
QString FailedInstruction(const QJsonObject& run) {
  const QJsonArray instructions = run["instructions"].toArray();
  for (qsizetype i = instructions.size() - 1; i >= 0; --i) {
    const QJsonObject entry = instructions[i].toObject();
    const QString result = entry["result"].toString();
    if (result == "failed" || result == "stopped") return entry["text"].toString();
  }
  if (run["result"].toString() != "error") return {};
  const QJsonObject device = run["device"].toObject();
  return device["type"].toString().isEmpty() && device["id"].toString().isEmpty()
             ? "(before a device answered)"
             : "(before any instruction)";
}

QString Package(const QString& script) {
  const qsizetype slash = script.lastIndexOf('/');
  return slash < 0 ? QString() : script.left(slash + 1);
}

QString LikePattern(const std::string& shell) {
  QString like;
  for (const QChar c : QString::fromStdString(shell)) {
    if (c == '*')
      like += '%';
    else if (c == '?')
      like += '_';
    else if (c == '%' || c == '_' || c == '\\')
      like += QString('\\') + c;
    else
      like += c;
  }
  return like;
}

// A column's value as the answers give it: a time in UTC, as the records keep it.
QString Text(const QVariant& value) {
  if (value.typeId() == QMetaType::QDateTime)
    return value.toDateTime().toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzzZ");
  return value.toString();
}

const char* const kRunColumns =
    "id, station, started, ended, seconds, name, device_type, device_id, link, script, package, "
    "seal_key_id, manifest_sha256, result, error, failed_instruction";

}  // namespace

TSqlHistory::TSqlHistory(const THistoryUrl& url, int seconds)
    : Url(url), Seconds(seconds), Name("qubra-history-" + NewRunId()) {}

TSqlHistory::~TSqlHistory() {
  Stale.clear();
  Statements.clear();
  if (Db.isValid()) Db.close();
  Db = QSqlDatabase();
  QSqlDatabase::removeDatabase(Name);
}

void TSqlHistory::TWhere::Add(const QString& condition, const QVariantList& values) {
  Sql += (Sql.isEmpty() ? " WHERE " : " AND ") + condition;
  Values += values;
}

QSqlQuery TSqlHistory::Query() {
  QSqlQuery q(Db);
  q.setForwardOnly(true);
  return q;
}

// Prepared once per connection: a server keeps the plan, SQLite the compiled statement.
QSqlQuery& TSqlHistory::Prepared(const QString& sql) {
  auto it = Statements.find(sql);
  if (it == Statements.end()) {
    it = Statements.emplace(sql, Query()).first;
    it->second.prepare(sql);
  }
  return it->second;
}

// A statement that failed may be left unusable by the driver: it is prepared again next time.
bool TSqlHistory::ExecPrepared(const QString& sql, QSqlQuery& query, std::string& error) {
  if (Exec(query, error)) return true;
  // Freed once the transaction is over: a server refuses to free it inside a failed one.
  const auto it = Statements.find(sql);
  Stale.push_back(std::move(it->second));
  Statements.erase(it);
  return false;
}

bool TSqlHistory::Fail(const QSqlError& e, std::string& error) {
  const EFailure kind = Classify(e);
  LastCode = e.nativeErrorCode();
  LastBusy = kind == EFailure::Busy;
  LastUnreachable = kind == EFailure::Unreachable;
  error = "history database " + Url.Shown + ": " + e.text().simplified().toStdString();
  return false;
}

bool TSqlHistory::Exec(QSqlQuery& query, std::string& error) {
  return query.exec() || Fail(query.lastError(), error);
}

bool TSqlHistory::ExecText(const QString& sql, std::string& error) {
  QSqlQuery q = Query();
  return q.exec(sql) || Fail(q.lastError(), error);
}

bool TSqlHistory::Open(std::string& error) {
  if (!QSqlDatabase::isDriverAvailable(Driver())) {
    error = "history database " + Url.Shown + ": the " + Driver() +
            " driver is missing (Debian: " + DriverPackage() + ")";
    return false;
  }
  Db = QSqlDatabase::addDatabase(Driver(), Name);
  if (!Prepare(Db, error)) return false;
  if (!Db.open()) {
    Fail(Db.lastError(), error);
    LastUnreachable = true;
    return false;
  }
  return Settle(error) && Migrate(error);
}

bool TSqlHistory::Limit(int seconds, std::string& error) {
  if (seconds == Seconds) return true;
  Seconds = seconds;
  return Settle(error);
}

bool TSqlHistory::SchemaVersion(int& v, std::string& error) {
  v = 0;
  if (!Db.tables().contains("schema_version")) return true;
  QSqlQuery q = Query();
  q.prepare("SELECT max(version) FROM schema_version");
  if (!Exec(q, error)) return false;
  if (q.next()) v = q.value(0).toInt();
  if (v <= HistorySchemaVersion()) return true;
  error = "history database " + Url.Shown + " has schema version " + std::to_string(v) +
          ", newer than this program's " + std::to_string(HistorySchemaVersion()) +
          "; it is left as it is (use a newer qubra-updater)";
  return false;
}

bool TSqlHistory::Migrate(std::string& error) {
  int v = 0;
  if (!SchemaVersion(v, error)) return false;  // before anything is written, WAL included
  if (!BeforeSchema(error)) return false;
  if (v == HistorySchemaVersion()) return true;
  const bool migrated = Transaction(
      [&](std::string& e) {
        int now = 0;
        if (MigrationLock() && !ExecText(MigrationLock(), e)) return false;
        return ExecText("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)",
                        e) &&
               SchemaVersion(now, e) && MigrateFrom(now, e);
      },
      error);
  // A station's role may only read and add runs: the owner of the database takes the step.
  if (!migrated && LastCode == "42501")
    error = "history database " + Url.Shown + " has schema version " + std::to_string(v) +
            ", this program needs " + std::to_string(HistorySchemaVersion()) +
            ", and this role may not change it: ask the database's owner to run "
            "qubra-updater --history --history-db URL once as the owner role (" + error + ")";
  return migrated;
}

// One step at a time; a step never changes once released, a new one follows it.
bool TSqlHistory::MigrateFrom(int from, std::string& error) {
  for (int v = from; v < HistorySchemaVersion(); ++v) {
    for (const QString& sql : SharedSchemaStep(v) + OwnSchemaStep(v))
      if (!ExecText(sql, error)) return false;
    QSqlQuery q = Query();
    q.prepare(v == 0 ? "INSERT INTO schema_version (version) VALUES (?)"
                     : "UPDATE schema_version SET version = ?");
    q.addBindValue(v + 1);
    if (!Exec(q, error)) return false;
  }
  return true;
}

bool TSqlHistory::Transaction(const std::function<bool(std::string&)>& work,
                              std::string& error) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(Seconds);
  for (;;) {
    LastBusy = false;
    std::string ignored;
    if (ExecText(BeginText(), error)) {
      if (work(error) && ExecText("COMMIT", error)) return true;
      const bool busy = LastBusy, unreachable = LastUnreachable;
      (void)ExecText("ROLLBACK", ignored);
      Stale.clear();
      LastBusy = busy;
      LastUnreachable = unreachable;
    }
    if (!LastBusy) return false;
    if (std::chrono::steady_clock::now() > until) {
      LastUnreachable = true;  // busy for longer than a run may wait
      return false;
    }
    QThread::msleep(5 + QRandomGenerator::global()->bounded(45));
  }
}

bool TSqlHistory::Keep(const QJsonObject& record, bool& added, std::string& error) {
  int count = 0;
  const bool ok = Import({record}, count, error);
  added = count == 1;
  return ok;
}

bool TSqlHistory::Import(const std::vector<QJsonObject>& records, int& added,
                         std::string& error) {
  added = 0;
  LastUnreachable = false;
  for (const QJsonObject& record : records)
    if (record["id"].toString().isEmpty()) {
      error = "history: a run record without an id";
      return false;
    }
  const bool ok = Transaction(
      [&](std::string& e) {
        added = 0;  // again from nothing when a busy database made it start over
        for (const QJsonObject& record : records) {
          bool fresh = false;
          if (!InsertRun(record, fresh, e)) return false;
          added += fresh;
        }
        return true;
      },
      error);
  if (!ok) added = 0;  // rolled back
  return ok;
}

bool TSqlHistory::InsertRun(const QJsonObject& r, bool& added, std::string& error) {
  const QJsonObject device = r["device"].toObject(), seal = r["seal"].toObject();
  const QString id = Column(r["id"]);
  const QString sql =
      "INSERT INTO runs (id, station, started, ended, seconds, name, device_type, device_id, "
      "link, script, package, seal_key_id, manifest_sha256, result, error, failed_instruction, "
      "record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
      "ON CONFLICT (id) DO NOTHING";
  QSqlQuery& q = Prepared(sql);
  for (const QVariant& v :
       {QVariant(id), QVariant(Indexed(r.contains("station") ? r["station"] : r["host"])),
        QVariant(Utc(r["start"])), QVariant(Utc(r["end"], Utc(r["start"]))),
        QVariant(r["seconds"].toDouble()),
        QVariant(Indexed(r["name"])), QVariant(Indexed(device["type"])),
        QVariant(Indexed(device["id"])), QVariant(Column(r["link"])),
        QVariant(Column(r["script"])), QVariant(Indexed(Package(r["script"].toString()))),
        QVariant(Indexed(seal["key_id"])), QVariant(Indexed(seal["manifest_sha256"])),
        QVariant(Indexed(r["result"])), QVariant(Column(r["error"])),
        QVariant(Indexed(FailedInstruction(r))),
        QVariant(QString::fromUtf8(QJsonDocument(r).toJson(QJsonDocument::Compact)))})
    q.addBindValue(v);
  if (!ExecPrepared(sql, q, error)) return false;
  added = q.numRowsAffected() == 1;
  return !added || InsertLists(id, r, error);
}

// Many rows in one statement: a round trip to a server per row would make a run's 40
// instructions the slow part. The statement's shape depends on the count only, never on values.
bool TSqlHistory::InsertRows(const char* table, const char* columns,
                             const std::vector<QVariantList>& rows, std::string& error) {
  constexpr size_t kChunk = 64;
  for (size_t first = 0; first < rows.size(); first += kChunk) {
    const size_t n = std::min(kChunk, rows.size() - first);
    const QString tuple = "(" + QStringList(rows[first].size(), "?").join(", ") + ")";
    const QString sql = QString("INSERT INTO %1 (%2) VALUES ").arg(table, columns) +
                        QStringList(static_cast<qsizetype>(n), tuple).join(", ");
    QSqlQuery& q = Prepared(sql);
    for (size_t r = first; r < first + n; ++r)
      for (const QVariant& v : rows[r]) q.addBindValue(v);
    if (!ExecPrepared(sql, q, error)) return false;
  }
  return true;
}

bool TSqlHistory::InsertLists(const QString& id, const QJsonObject& r, std::string& error) {
  std::vector<QVariantList> instructions, files, versions;
  int position = 0;
  for (const QJsonValue& v : r["instructions"].toArray()) {
    const QJsonObject i = v.toObject();
    instructions.push_back({id, position++, Column(i["script"]), i["line"].toInt(),
                            Column(i["text"]), Column(i["card"]), Column(i["engine"]),
                            Column(i["result"]), i["retries"].toInt(), i["sent"].toInteger(),
                            i["received"].toInteger(), i["seconds"].toDouble(),
                            Column(i["reason"])});
  }
  for (const QJsonValue& v : r["files"].toArray())
    files.push_back({id, Column(v["path"]), Column(v["sha256"])});
  for (const char* list : {"versions_read", "versions_written"})
    for (const QJsonValue& v : r[list].toArray())
      versions.push_back({id, std::string(list) == "versions_written",
                          Column(v["instruction"]), Column(v["component"]), Column(v["version"]),
                          Column(v["expected"])});
  return InsertRows("instructions",
                    "run_id, position, script, line, text, card, engine, result, retries, sent, "
                    "received, seconds, reason",
                    instructions, error) &&
         InsertRows("files", "run_id, path, sha256", files, error) &&
         InsertRows("versions", "run_id, written, instruction, component, version, expected",
                    versions, error);
}

TSqlHistory::TWhere TSqlHistory::MakeWhere(const THistoryFilter& f,
                                           const QString& result_column) {
  TWhere where;
  const QString who = QString::fromStdString(f.Who);
  if (who.contains('*') || who.contains('?'))
    where.Add("(name LIKE ? ESCAPE '\\' OR device_id = ?)", {LikePattern(f.Who), who});
  else if (!who.isEmpty())
    where.Add("(name = ? OR device_id = ?)", {who, who});
  if (!f.Since.isEmpty()) where.Add("started >= ?", {f.Since});
  if (!f.Until.isEmpty()) where.Add("started < ?", {f.Until});
  if (!f.Result.empty()) where.Add(result_column + " = ?", {QString::fromStdString(f.Result)});
  if (!f.Station.empty()) where.Add("station = ?", {QString::fromStdString(f.Station)});
  return where;
}

bool TSqlHistory::Select(const QString& sql, const TWhere& where, QSqlQuery& q,
                         std::string& error) {
  LastUnreachable = false;
  q = Query();
  if (!q.prepare(sql)) return Fail(q.lastError(), error);
  for (const QVariant& v : where.Values) q.addBindValue(v);
  return Exec(q, error);
}

bool TSqlHistory::List(const THistoryFilter& filter, int limit, bool records,
                       std::vector<THistoryRun>& runs, std::string& error) {
  runs.clear();
  const TWhere where = MakeWhere(filter, "result");
  QString sql = QString("SELECT ") + kRunColumns + (records ? ", record" : "") + " FROM runs" +
                where.Sql + " ORDER BY started DESC, id";
  if (limit > 0) sql += " LIMIT " + QString::number(limit);  // a number, not a value
  QSqlQuery q;
  if (!Select(sql, where, q, error)) return false;
  while (q.next()) {
    THistoryRun r;
    QString* text[] = {&r.Id,     &r.Station,   &r.Started,        &r.Ended,  nullptr,
                       &r.Name,   &r.DeviceType, &r.DeviceId,      &r.Link,   &r.Script,
                       &r.Package, &r.SealKeyId, &r.ManifestSha256, &r.Result, &r.Error,
                       &r.FailedInstruction};
    for (int c = 0; c < 16; ++c)
      if (text[c]) *text[c] = Text(q.value(c));
    r.Seconds = q.value(4).toDouble();
    if (records) r.Record = q.value(16).toString().toUtf8();
    runs.push_back(std::move(r));
  }
  return true;
}

void TSqlHistory::MostFailed(const std::map<std::string, int>& failed, THistoryGroup& group) {
  group.MostFailedAt.clear();
  group.MostFailedTimes = 0;
  for (const auto& [instruction, times] : failed) {
    if (times < group.MostFailedTimes) continue;
    if (times > group.MostFailedTimes) group.MostFailedAt.clear();
    group.MostFailedTimes = times;
    group.MostFailedAt.push_back(instruction);
  }
}

QString TSqlHistory::GroupKey(EHistoryGroup by, const QString& day) {
  switch (by) {
    case EHistoryGroup::hgDAY:
      return day;
    case EHistoryGroup::hgSTATION:
      return "station";
    case EHistoryGroup::hgPACKAGE:
      return "package";
    case EHistoryGroup::hgINSTRUCTION:
      return "failed_instruction";
    case EHistoryGroup::hgDAYINSTRUCTION:
      return day + " || '" + QChar(kKeyParts) + "' || failed_instruction";
  }
  return day;
}

bool OpenHistory(const THistoryUrl& url, int seconds, std::unique_ptr<THistory>& history,
                 std::string& error) {
  std::unique_ptr<TSqlHistory> sql = url.Kind == THistoryUrl::hkPOSTGRESQL
                                         ? MakePostgresHistory(url, seconds)
                                         : MakeSqliteHistory(url, seconds);
  if (!sql->Open(error)) return false;
  history = std::move(sql);
  return true;
}

QString NewRunId() {
  return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString ContentRunId(const QJsonObject& record) {
  QJsonObject content = record;
  content.remove("id");
  // Keys come out sorted, so equal records give equal bytes.
  static const QUuid space("6f1c4a52-23d8-4f0e-9a2b-3e5c0b7d9a41");
  return QUuid::createUuidV5(space, QJsonDocument(content).toJson(QJsonDocument::Compact))
      .toString(QUuid::WithoutBraces);
}
