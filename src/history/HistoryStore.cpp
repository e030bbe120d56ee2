#include "history/HistoryStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSqlError>
#include <QStringList>
#include <QThread>
#include <QUuid>
#include <chrono>

namespace {

constexpr auto kBusyPatience = std::chrono::seconds(60);

QString Uuid() {
  return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// The columns hold text as people search it, never NULL; a NUL, which PostgreSQL's text cannot
// hold, becomes U+FFFD there. The record itself keeps every character.
QString Column(const QString& value) {
  QString text = value.isNull() ? QString("") : value;
  return text.replace(QChar(0), QChar(0xFFFD));
}
QString Column(const QJsonValue& value) {
  return Column(value.toString());
}

// Start and end as UTC text of one form, so text order is time order.
QString Utc(const QJsonValue& value) {
  const QDateTime t = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
  return t.isValid() ? t.toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzzZ") : Column(value);
}

// The instruction the run stopped at: the last one that failed or was stopped.
QString FailedInstruction(const QJsonArray& instructions) {
  for (qsizetype i = instructions.size() - 1; i >= 0; --i) {
    const QJsonObject entry = instructions[i].toObject();
    const QString result = entry["result"].toString();
    if (result == "failed" || result == "stopped") return Column(entry["text"]);
  }
  return {};
}

QString Package(const QString& script) {
  return script.isEmpty() ? QString() : QFileInfo(script).path() + '/';
}

// Created owner-only before SQLite opens it; the WAL files it makes take the same mode.
bool CreateOwnerOnly(const std::string& path, std::string& error) {
  const QString file = QFile::decodeName(QByteArray::fromStdString(path));
  if (path == DefaultHistoryDb()) {
    const QString folder = QFileInfo(file).path();
    if (!QDir().mkpath(folder) ||
        !QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
      error = "cannot make the folder " + QFile::encodeName(folder).toStdString();
      return false;
    }
  }
  if (QFileInfo::exists(file)) return true;
  QFile f(file);
  if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !QFileInfo::exists(file)) {
    error = "cannot make the file: " + f.errorString().toStdString();
    return false;
  }
  f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
  return true;
}

}  // namespace

QString NewRunId() {
  return Uuid();
}

THistoryStore::THistoryStore() : Name("qubra-history-" + Uuid()) {}

THistoryStore::~THistoryStore() {
  Statements.clear();
  if (Db.isValid()) Db.close();
  Db = QSqlDatabase();
  QSqlDatabase::removeDatabase(Name);
}

QSqlQuery THistoryStore::Query() {
  QSqlQuery q(Db);
  q.setForwardOnly(true);
  return q;
}

// Prepared once per connection: a server keeps the plan, SQLite the compiled statement.
QSqlQuery& THistoryStore::Prepared(const QString& sql) {
  auto it = Statements.find(sql);
  if (it == Statements.end()) {
    it = Statements.emplace(sql, Query()).first;
    it->second.prepare(sql);
  }
  return it->second;
}

bool THistoryStore::Fail(const QSqlError& e, std::string& error) {
  const QString code = e.nativeErrorCode();
  // SQLITE_BUSY, SQLITE_LOCKED; PostgreSQL's serialization failure and deadlock.
  LastBusy = Postgres() ? code == "40001" || code == "40P01" : code == "5" || code == "6";
  QString text = e.text().simplified();
  error = "history database " + Url.Text + ": " + text.toStdString();
  return false;
}

bool THistoryStore::Exec(QSqlQuery& query, std::string& error) {
  return query.exec() || Fail(query.lastError(), error);
}

bool THistoryStore::ExecText(const QString& sql, std::string& error) {
  QSqlQuery q = Query();
  return q.exec(sql) || Fail(q.lastError(), error);
}

bool THistoryStore::Connect(std::string& error) {
  const char* driver = Postgres() ? "QPSQL" : "QSQLITE";
  if (!QSqlDatabase::isDriverAvailable(driver)) {
    error =
        std::string("history database ") + Url.Text + ": the " + driver +
        " driver is missing (Debian: " + (Postgres() ? "libqt6sql6-psql" : "libqt6sql6-sqlite") +
        ")";
    return false;
  }
  Db = QSqlDatabase::addDatabase(driver, Name);
  if (Postgres()) {
    // No password is handed over: libpq reads ~/.pgpass or PGPASSWORD itself.
    Db.setHostName(QString::fromStdString(Url.Host));
    Db.setPort(Url.Port);
    Db.setUserName(QString::fromStdString(Url.User));
    Db.setDatabaseName(QString::fromStdString(Url.Database));
    Db.setConnectOptions(QString::fromStdString(Url.Options));
  } else {
    if (!CreateOwnerOnly(Url.Path, error)) {
      error = "history database " + Url.Text + ": " + error;
      return false;
    }
    Db.setDatabaseName(QFile::decodeName(QByteArray::fromStdString(Url.Path)));
  }
  if (!Db.open()) return Fail(Db.lastError(), error);
  if (Postgres()) return ExecText("SET client_min_messages = warning", error);
  return ExecText("PRAGMA busy_timeout = 10000", error) &&
         ExecText("PRAGMA case_sensitive_like = ON", error);
}

bool THistoryStore::Open(const THistoryUrl& url, std::string& error) {
  Url = url;
  return Connect(error) && Migrate(error);
}

bool THistoryStore::Migrate(std::string& error) {
  auto version = [&](int& v, std::string& e) {
    v = 0;
    if (!Db.tables().contains("schema_version")) return true;
    QSqlQuery q = Query();
    q.prepare("SELECT max(version) FROM schema_version");
    if (!Exec(q, e)) return false;
    if (q.next()) v = q.value(0).toInt();
    if (v <= HistorySchemaVersion()) return true;
    e = "history database " + Url.Text + " has schema version " + std::to_string(v) +
        ", newer than this program's " + std::to_string(HistorySchemaVersion()) +
        "; it is left as it is (use a newer qubra-updater)";
    return false;
  };
  int v = 0;
  if (!version(v, error)) return false;  // before anything is written, WAL included
  if (!Postgres()) {
    if (!ExecText("PRAGMA journal_mode = WAL", error) ||
        !ExecText("PRAGMA synchronous = NORMAL", error))
      return false;
  }
  if (v == HistorySchemaVersion()) return true;
  return Transaction(
      [&](std::string& e) {
        // Many writers may meet a new database at once: one migrates, the others wait.
        if (Postgres() && !ExecText("SELECT pg_advisory_xact_lock(7301)", e)) return false;
        if (!ExecText("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", e))
          return false;
        int now = 0;
        return version(now, e) && MigrateHistory(*this, now, e);
      },
      error);
}

bool THistoryStore::Begin(std::string& error) {
  // IMMEDIATE takes the write lock at once, where the busy timeout applies, instead of failing
  // at the first write when another writer got there first.
  return ExecText(Postgres() ? "BEGIN" : "BEGIN IMMEDIATE", error);
}

bool THistoryStore::Transaction(const std::function<bool(std::string&)>& work, std::string& error) {
  const auto until = std::chrono::steady_clock::now() + kBusyPatience;
  for (;;) {
    LastBusy = false;
    std::string ignored;
    if (Begin(error)) {
      if (work(error) && ExecText("COMMIT", error)) return true;
      const bool busy = LastBusy;
      (void)ExecText("ROLLBACK", ignored);
      LastBusy = busy;
    }
    if (!LastBusy || std::chrono::steady_clock::now() > until) return false;
    QThread::msleep(5 + QRandomGenerator::global()->bounded(45));
  }
}

bool THistoryStore::Insert(const QJsonObject& record, bool& added, std::string& error) {
  int count = 0;
  const bool ok = InsertAll({record}, count, error);
  added = count == 1;
  return ok;
}

bool THistoryStore::InsertAll(const std::vector<QJsonObject>& records, int& added,
                              std::string& error) {
  added = 0;
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

bool THistoryStore::InsertRun(const QJsonObject& r, bool& added, std::string& error) {
  const QJsonObject device = r["device"].toObject(), seal = r["seal"].toObject();
  const QString id = Column(r["id"]);
  QSqlQuery& q = Prepared(
      "INSERT INTO runs (id, station, started, ended, seconds, name, device_type, device_id, "
      "link, script, package, seal_key_id, manifest_sha256, result, error, failed_instruction, "
      "record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
      "ON CONFLICT (id) DO NOTHING");
  for (const QVariant& v :
       {QVariant(id), QVariant(Column(r.contains("station") ? r["station"] : r["host"])),
        QVariant(Utc(r["start"])), QVariant(Utc(r["end"])), QVariant(r["seconds"].toDouble()),
        QVariant(Column(r["name"])), QVariant(Column(device["type"])),
        QVariant(Column(device["id"])), QVariant(Column(r["link"])), QVariant(Column(r["script"])),
        QVariant(Column(Package(r["script"].toString()))), QVariant(Column(seal["key_id"])),
        QVariant(Column(seal["manifest_sha256"])), QVariant(Column(r["result"])),
        QVariant(Column(r["error"])),
        QVariant(Column(FailedInstruction(r["instructions"].toArray()))),
        QVariant(QString::fromUtf8(QJsonDocument(r).toJson(QJsonDocument::Compact)))})
    q.addBindValue(v);
  if (!Exec(q, error)) return false;
  added = q.numRowsAffected() == 1;
  return !added || InsertLists(id, r, error);
}

// Many rows in one statement: a round trip to a server per row would make a run's 40
// instructions the slow part. The statement's shape depends on the count only, never on values.
bool THistoryStore::InsertRows(const char* table, const char* columns,
                               const std::vector<QVariantList>& rows, std::string& error) {
  constexpr size_t kChunk = 64;
  for (size_t first = 0; first < rows.size(); first += kChunk) {
    const size_t n = std::min(kChunk, rows.size() - first);
    const QString tuple = "(" + QStringList(rows[first].size(), "?").join(", ") + ")";
    QSqlQuery& q = Prepared(QString("INSERT INTO %1 (%2) VALUES ").arg(table, columns) +
                            QStringList(static_cast<qsizetype>(n), tuple).join(", "));
    for (size_t r = first; r < first + n; ++r)
      for (const QVariant& v : rows[r]) q.addBindValue(v);
    if (!Exec(q, error)) return false;
  }
  return true;
}

bool THistoryStore::InsertLists(const QString& id, const QJsonObject& r, std::string& error) {
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
      versions.push_back({id, std::string(list) == "versions_written" ? 1 : 0,
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
