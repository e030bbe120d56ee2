#include "history/HistorySpool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLockFile>
#include <QUrl>
#include <QUuid>
#include <map>

#include "history/HistoryStore.h"
#include "history/HistoryUrl.h"

namespace {

QString FileName(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

// Writers of the spool and the sync that takes it away meet here.
bool Lock(QLockFile& lock, const std::string& spool, std::string& error) {
  if (lock.tryLock(30000)) return true;
  error = "cannot lock the spool " + spool + ".lock";
  return false;
}

bool MakeFolder(const QString& file, std::string& error) {
  const QString folder = QFileInfo(file).path();
  if (QFileInfo::exists(folder)) return true;
  if (QDir().mkpath(folder) &&
      QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
    return true;
  error = "cannot make the folder " + QFile::encodeName(folder).toStdString();
  return false;
}

// One write under the lock; a write cut short is cut back off, so lines never tear.
bool AppendLine(const std::string& spool, const QByteArray& line, std::string& error) {
  const QString name = FileName(spool);
  if (!MakeFolder(name, error)) return false;
  QLockFile lock(name + ".lock");
  if (!Lock(lock, spool, error)) return false;
  QFile f(name);
  const bool fresh = !f.exists();
  if (!f.open(QIODevice::WriteOnly | QIODevice::Append)) {
    error = "cannot write the spool " + spool + ": " + f.errorString().toStdString();
    return false;
  }
  if (fresh) f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
  const qint64 size = f.size();
  if (f.write(line) == line.size() && f.flush()) return true;
  error = "cannot write the spool " + spool + ": " + f.errorString().toStdString();
  f.resize(size);
  return false;
}

QByteArray SpoolLine(const std::string& url, const QJsonObject& record) {
  const QJsonObject entry{{"db", QString::fromStdString(url)}, {"record", record}};
  return QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
}

// The spool moves aside under the lock, so appends made while it is sent start a new one.
// Pieces left by a sync that ended early are taken too; sending one twice adds nothing.
bool TakeSpool(const std::string& spool, QStringList& pieces, std::string& error) {
  const QString name = FileName(spool);
  QLockFile lock(name + ".lock");
  if (!Lock(lock, spool, error)) return false;
  if (QFileInfo::exists(name) &&
      !QFile::rename(name, name + ".sending-" + QUuid::createUuid().toString(QUuid::Id128))) {
    error = "cannot take the spool " + spool;
    return false;
  }
  const QFileInfo info(name);
  for (const QFileInfo& piece :
       QDir(info.path()).entryInfoList({info.fileName() + ".sending-*"}, QDir::Files, QDir::Name))
    pieces << piece.filePath();
  return true;
}

struct TTarget {
  THistoryStore Store;
  bool Opened = false;
  std::string Failure;  // set when the database cannot be reached
};

bool SendLine(const QByteArray& line, std::map<std::string, TTarget>& targets, TSyncCount& count,
              std::string& reason) {
  const QJsonObject entry = QJsonDocument::fromJson(line).object();
  const std::string url = entry["db"].toString().toStdString();
  TTarget& target = targets[url];
  if (!target.Opened && target.Failure.empty()) {
    THistoryUrl where;
    if (!ParseHistoryUrl(url, where, target.Failure)) {
    } else if (where.Kind == THistoryUrl::hkNONE) {
      target.Failure = "the spool names no database";
    } else {
      target.Opened = target.Store.Open(where, target.Failure);
    }
  }
  bool added = false;
  if (!target.Opened) {
    reason = target.Failure;
    return false;
  }
  if (!target.Store.Insert(entry["record"].toObject(), added, reason)) return false;
  ++(added ? count.Sent : count.Already);
  return true;
}

}  // namespace

bool SpoolRun(const std::string& spool, const std::string& url, const QJsonObject& record,
              std::string& error) {
  return AppendLine(spool, SpoolLine(url, record), error);
}

bool SyncSpool(const std::string& spool, TSyncCount& count, std::string& error) {
  QStringList pieces;
  if (!TakeSpool(spool, pieces, error)) return false;
  std::map<std::string, TTarget> targets;
  for (const QString& piece : pieces) {
    QFile f(piece);
    if (!f.open(QIODevice::ReadOnly)) {
      error = "cannot read the spool " + QFile::encodeName(piece).toStdString();
      return false;
    }
    while (!f.atEnd()) {
      const QByteArray line = f.readLine();
      if (line.trimmed().isEmpty()) continue;
      std::string reason;
      if (SendLine(line, targets, count, reason)) continue;
      // What cannot be sent now stays, as it was, for the next sync.
      if (!AppendLine(spool, line.endsWith('\n') ? line : line + '\n', error)) return false;
      ++count.Kept;
      if (std::find(count.Reasons.begin(), count.Reasons.end(), reason) == count.Reasons.end())
        count.Reasons.push_back(reason);
    }
    f.remove();
  }
  return true;
}

bool KeepRun(const std::string& url, const QJsonObject& record, std::string& notice) {
  THistoryUrl where;
  std::string reason;
  if (ParseHistoryUrl(url, where, reason)) {
    if (where.Kind == THistoryUrl::hkNONE) return true;
    THistoryStore store;
    bool added = false;
    if (store.Open(where, reason) && store.Insert(record, added, reason)) return true;
  } else {
    where.Text = QUrl(QString::fromStdString(url)).toString(QUrl::RemovePassword).toStdString();
  }
  const std::string spool = DefaultHistorySpool();
  std::string failure;
  if (SpoolRun(spool, where.Text, record, failure))
    notice = "history not written (" + reason + "): kept in " + spool;
  else
    notice = "history not written (" + reason + "); nor kept: " + failure;
  return false;
}
