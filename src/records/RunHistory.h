#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <functional>
#include <string>

// Where this process keeps its runs, chosen once at its start: --history-db, else HISTORY_DB=
// of the station policy, else the default database. Until it is chosen nothing is kept, so a
// process that never chose (a test) writes no one's history.
struct TRunHistory {
  std::string Db;       // a history URL; "" the default database, "none" nowhere
  std::string Station;  // STATION= of the policy; "" the host name
};
void UseRunHistory(const TRunHistory& history);
const TRunHistory& RunHistory();

// The station a run is recorded as.
QString RunStation();

// How long a run waits for its record to be kept: the connection's limit and the statement's.
constexpr int kRunWaitSeconds = 10;

// Puts a finished run's record into the history. History never fails a run: a database that
// does not take it within kRunWaitSeconds, or a stop meanwhile (AbandonHistoryWait), gets it
// spooled, and false comes with `notice`, the one line the operator sees.
[[nodiscard]] bool KeepRunRecord(const QJsonObject& record, std::string& notice);
// The same without waiting: `told` gets "" or the notice on the thread of `owner`.
void KeepRunRecordLater(const QJsonObject& record, QObject* owner,
                        std::function<void(const std::string&)> told);
// A stop asked while a run waits for its history: the record goes to the spool at once.
void AbandonHistoryWait();

// Sends what earlier runs left in the spool; called once a run's own work is over.
void SendSpooledRuns();
// At the process's end: what was handed to the history is waited for, kRunWaitSeconds at most
// or until AbandonHistoryWait, and spooled when it was not kept by then. Returns `status`; but
// when a statement still holds the history's thread, the process ends at once with `status`:
// what the C++ runtime tears down at exit is still in use there.
int FinishRunHistory(int status);
