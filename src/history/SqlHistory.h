#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <functional>
#include <map>

#include "history/History.h"

// What SQLite and PostgreSQL share through Qt's SQL drivers: one connection, the schema, the
// inserts and the listing. Each database says how it differs. Not for use outside the history.
class TSqlHistory : public THistory {
 public:
  ~TSqlHistory() override;

  bool Keep(const QJsonObject& record, bool& added, std::string& error) override;
  bool Import(const std::vector<QJsonObject>& records, int& added, std::string& error) override;
  bool List(const THistoryFilter& filter, int limit, bool records, std::vector<THistoryRun>& runs,
            std::string& error) override;
  bool Limit(int seconds, std::string& error) override;
  bool Unreachable() const override { return LastUnreachable; }
  const THistoryUrl& Where() const override { return Url; }

  [[nodiscard]] bool Open(std::string& error);
  // A statement of fixed text, never built from values (schema, transactions).
  [[nodiscard]] bool ExecText(const QString& sql, std::string& error);
  [[nodiscard]] bool Exec(QSqlQuery& query, std::string& error);
  QSqlQuery Query();

 protected:
  TSqlHistory(const THistoryUrl& url, int seconds);

  enum class EFailure { Refused, Busy, Unreachable };
  virtual const char* Driver() const = 0;
  virtual const char* DriverPackage() const = 0;
  // Sets the connection's parts before it opens.
  virtual bool Prepare(QSqlDatabase& db, std::string& error) = 0;
  // Settings of the open connection: time limits among them.
  virtual bool Settle(std::string& error) = 0;
  // Before the schema is changed, outside any transaction.
  virtual bool BeforeSchema(std::string& error) = 0;
  virtual const char* BeginText() const = 0;
  // What a migration takes first, inside its transaction; nullptr for nothing.
  virtual const char* MigrationLock() const = 0;
  virtual EFailure Classify(const QSqlError& e) const = 0;
  // The statements of schema step `step` (from 0) that only this database takes.
  virtual QStringList OwnSchemaStep(int step) const = 0;

  // The WHERE clause, made of fixed pieces only; every value is bound.
  struct TWhere {
    QString Sql;
    QVariantList Values;
    void Add(const QString& condition, const QVariantList& values);
  };
  // `result_hint`: the condition on the result as the database's planner should read it.
  static TWhere MakeWhere(const THistoryFilter& f, const QString& result_column);
  bool Select(const QString& sql, const TWhere& where, QSqlQuery& q, std::string& error);
  // The instructions failed at most often into `group`.
  static void MostFailed(const std::map<std::string, int>& failed, THistoryGroup& group);
  // The key of a group as SQL over a run's columns; `day` is SQL for the run's day.
  static QString GroupKey(EHistoryGroup by, const QString& day);
  bool Fail(const QSqlError& e, std::string& error);

  THistoryUrl Url;
  int Seconds;

 private:
  bool Migrate(std::string& error);
  bool MigrateFrom(int from, std::string& error);
  bool SchemaVersion(int& version, std::string& error);
  // Runs `work` in one write transaction, again while the database is busy with other
  // writers, up to the time limit, so the operator never sees "database is locked".
  bool Transaction(const std::function<bool(std::string&)>& work, std::string& error);
  bool InsertRun(const QJsonObject& record, bool& added, std::string& error);
  bool InsertLists(const QString& id, const QJsonObject& record, std::string& error);
  bool InsertRows(const char* table, const char* columns, const std::vector<QVariantList>& rows,
                  std::string& error);
  QSqlQuery& Prepared(const QString& sql);
  bool ExecPrepared(const QString& sql, QSqlQuery& query, std::string& error);

  QString Name;  // the connection's name, unique
  QSqlDatabase Db;
  bool LastBusy = false, LastUnreachable = false;
  QString LastCode;  // the database's code of the last failure
  std::map<QString, QSqlQuery> Statements;
  std::vector<QSqlQuery> Stale;  // failed statements, freed after the rollback
};

std::unique_ptr<TSqlHistory> MakeSqliteHistory(const THistoryUrl& url, int seconds);
std::unique_ptr<TSqlHistory> MakePostgresHistory(const THistoryUrl& url, int seconds);

// The schema version this program writes, and the statements both databases take per step.
int HistorySchemaVersion();
QStringList SharedSchemaStep(int step);
// The views of runs and failures per day, station and result or instruction, `day` being SQL
// for a run's day on the reader's clock.
QStringList HistoryViews(const QString& day);
