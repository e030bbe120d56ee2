#pragma once

#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "history/HistoryUrl.h"

// The history database of one thread: a connection opened from a URL, its schema brought up to
// date, run records put in. A connection belongs to the thread that opened it, so every thread
// (every writer) has its own store.
class THistoryStore {
 public:
  THistoryStore();
  ~THistoryStore();
  THistoryStore(const THistoryStore&) = delete;
  THistoryStore& operator=(const THistoryStore&) = delete;

  // Connects and migrates the schema; creates the default SQLite file, owner-only, on first use.
  // A database of a newer schema is refused and left as it is. REQUIRES: url is not `none`.
  [[nodiscard]] bool Open(const THistoryUrl& url, std::string& error);
  // Puts in one run record (the report's JSON with "id" and "station"). `added` is false when
  // a run of that id is there already, which is no error.
  [[nodiscard]] bool Insert(const QJsonObject& record, bool& added, std::string& error);
  // Puts in many in one transaction, all or none; `added` counts those that were not there.
  [[nodiscard]] bool InsertAll(const std::vector<QJsonObject>& records, int& added,
                               std::string& error);

  // For the questions: a query on this connection, and its execution with the error named.
  QSqlQuery Query();
  [[nodiscard]] bool Exec(QSqlQuery& query, std::string& error);
  // A statement of fixed text, never built from values (schema, transactions).
  [[nodiscard]] bool ExecText(const QString& sql, std::string& error);
  bool Postgres() const { return Url.Kind == THistoryUrl::hkPOSTGRESQL; }
  const THistoryUrl& Where() const { return Url; }

  // Runs `work` in one write transaction, again while the database is busy with other writers
  // (up to a minute), so the operator never sees "database is locked".
  [[nodiscard]] bool Transaction(const std::function<bool(std::string&)>& work, std::string& error);

 private:
  bool Connect(std::string& error);
  bool Migrate(std::string& error);
  bool Begin(std::string& error);
  bool Fail(const QSqlError& e, std::string& error);
  bool InsertRun(const QJsonObject& record, bool& added, std::string& error);
  bool InsertLists(const QString& id, const QJsonObject& record, std::string& error);
  bool InsertRows(const char* table, const char* columns, const std::vector<QVariantList>& rows,
                  std::string& error);

  QSqlQuery& Prepared(const QString& sql);

  THistoryUrl Url;
  QString Name;  // the connection's name, unique
  QSqlDatabase Db;
  bool LastBusy = false;
  std::map<QString, QSqlQuery> Statements;
};

// The schema version this program writes.
int HistorySchemaVersion();
// Brings the schema from `from` to HistorySchemaVersion(), one step at a time, inside the
// caller's transaction.
[[nodiscard]] bool MigrateHistory(THistoryStore& store, int from, std::string& error);

// A new run's id.
QString NewRunId();
