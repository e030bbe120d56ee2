#include "records/RunHistory.h"

#include <QSysInfo>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "history/HistoryWorker.h"

namespace {

TRunHistory& Chosen() {
  static TRunHistory history{"none", ""};
  return history;
}

std::atomic<bool> Abandoned{false};

}  // namespace

void UseRunHistory(const TRunHistory& history) {
  Chosen() = history;
  Abandoned = false;
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
  if (Chosen().Db == "none") return true;
  return THistoryWorker::Process().KeepWithin(
      Chosen().Db, record, kRunWaitSeconds, [] { return Abandoned.load(); }, notice);
}

void KeepRunRecordLater(const QJsonObject& record, QObject* owner,
                        std::function<void(const std::string&)> told) {
  if (Chosen().Db == "none") return;
  THistoryWorker::Process().Keep(Chosen().Db, record, owner, std::move(told));
}

void AbandonHistoryWait() {
  Abandoned = true;
}

void SendSpooledRuns() {
  if (Chosen().Db == "none" || Abandoned) return;
  THistoryWorker::Process().SendSpool();
}

int FinishRunHistory(int status) {
  if (THistoryWorker::Started() &&
      !THistoryWorker::Process().Finish(Abandoned ? 0 : kRunWaitSeconds)) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
