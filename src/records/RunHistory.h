#pragma once

#include <QJsonObject>
#include <QString>
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

// Puts a finished run's record into the history. History never fails a run: a database that
// cannot take it gets it spooled, and false comes with `notice`, the one line the operator sees.
[[nodiscard]] bool KeepRunRecord(const QJsonObject& record, std::string& notice);

// Sends what earlier runs left in the spool, at a run's start; what still fails stays there.
void SendSpooledRuns();
