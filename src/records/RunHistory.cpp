#include "records/RunHistory.h"

#include <QFile>
#include <QSysInfo>

#include "history/HistorySpool.h"
#include "history/HistoryUrl.h"

namespace {

TRunHistory& Chosen() {
  static TRunHistory history{"none", ""};
  return history;
}

}  // namespace

void UseRunHistory(const TRunHistory& history) {
  Chosen() = history;
}

const TRunHistory& RunHistory() {
  return Chosen();
}

QString RunStation() {
  const std::string& station = Chosen().Station;
  return station.empty() ? QSysInfo::machineHostName() : QString::fromStdString(station);
}

bool KeepRunRecord(const QJsonObject& record, std::string& notice) {
  notice.clear();
  return KeepRun(Chosen().Db, record, notice);
}

void SendSpooledRuns() {
  if (Chosen().Db == "none") return;
  const std::string spool = DefaultHistorySpool();
  // Most runs find no spool: they touch nothing.
  if (!QFile::exists(QFile::decodeName(QByteArray::fromStdString(spool)))) return;
  TSyncCount count;
  std::string error;
  (void)SyncSpool(spool, count, error);
}
