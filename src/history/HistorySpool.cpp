#include "history/HistorySpool.h"

#include <QJsonDocument>
#include <set>

#include "sys/AppendFile.h"
#include "sys/Files.h"
#include "sys/FileLock.h"

namespace {

std::string Folder(const std::string& file) {
  return file.substr(0, file.rfind('/'));
}

std::string SpoolLine(const std::string& url, const QJsonObject& record) {
  const QJsonObject entry{{"db", QString::fromStdString(url)}, {"record", record}};
  return QJsonDocument(entry).toJson(QJsonDocument::Compact).toStdString() + '\n';
}

// A sync's pieces: the spool it moved aside, and those an earlier sync that ended early left.
bool TakePieces(const std::string& spool, std::vector<std::string>& pieces, std::string& error) {
  const std::string folder = Folder(spool) + '/', name = spool.substr(folder.size());
  const std::string piece = spool + ".sending-" + NewRunId().toStdString();
  if (TakeFileAway(spool, piece, error) == TLook::Failed) {
    error = "cannot take the spool " + spool + ": " + error;
    return false;
  }
  std::vector<std::string> names;
  if (ListFolder(folder, names, error) == TLook::Failed) {
    error = "cannot read the folder " + folder + ": " + error;
    return false;
  }
  for (const std::string& n : names)
    if (n.rfind(name + ".sending-", 0) == 0) pieces.push_back(folder + n);
  return true;
}

struct TSending {
  const THistoryOpener& Open;
  TSyncCount& Count;
  std::map<std::string, std::string> Failed;  // URL: why, once it did not answer
  std::set<std::pair<std::string, std::string>> Seen;  // URL and run id
  std::string Kept, Refused;                          // lines for the spool, and set aside
};

// A line that is no record of a database (torn, edited, of another program) is set aside:
// it is never sent, and never taken for the default database.
bool ReadEntry(const std::string& line, std::string& url, QJsonObject& record) {
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
  const QJsonObject entry = doc.object();
  if (!entry["db"].isString() || !entry["record"].isObject()) return false;
  url = entry["db"].toString().toStdString();
  record = entry["record"].toObject();
  return !url.empty() && !record["id"].toString().isEmpty();
}

void Keep(TSending& s, const std::string& line, const std::string& reason) {
  s.Kept += line + '\n';
  ++s.Count.Kept;
  if (std::find(s.Count.Reasons.begin(), s.Count.Reasons.end(), reason) == s.Count.Reasons.end())
    s.Count.Reasons.push_back(reason);
}

void Send(TSending& s, const std::string& line) {
  std::string url;
  QJsonObject record;
  if (!ReadEntry(line, url, record)) {
    s.Refused += line + '\n';
    ++s.Count.SetAside;
    return;
  }
  // The same run twice (a sync that ended early, a record spooled while its database took it
  // late) is sent and kept once.
  if (!s.Seen.insert({url, record["id"].toString().toStdString()}).second) return;
  if (const auto failed = s.Failed.find(url); failed != s.Failed.end())
    return Keep(s, line, failed->second);
  std::string why;
  THistory* history = s.Open(url, why);
  bool added = false;
  if (history && history->Keep(record, added, why)) {
    ++(added ? s.Count.Sent : s.Count.Already);
    return;
  }
  if (!history || history->Unreachable()) s.Failed[url] = why;
  Keep(s, line, why);
}

}  // namespace

bool SpoolRun(const std::string& spool, const std::string& url, const QJsonObject& record,
              std::string& error) {
  if (!MakeFolders(Folder(spool), 0700, error)) return false;
  if (AppendToPath(spool, SpoolLine(url, record), 0600, kSpoolMaxBytes, error)) return true;
  error = "cannot write the spool " + spool + ": " + error;
  return false;
}

bool SyncSpool(const std::string& spool, bool wait, const THistoryOpener& open,
               TSyncCount& count, std::string& error) {
  if (!MakeFolders(Folder(spool), 0700, error)) return false;
  TFileLock lock;
  if (!lock.Take(spool + ".sync", wait ? 30000 : 0, error)) {
    count.Busy = lock.Busy();
    if (count.Busy) error = "another sync of " + spool + " is at work";
    return count.Busy && !wait;
  }
  std::vector<std::string> pieces;
  if (!TakePieces(spool, pieces, error)) return false;
  TSending sending{open, count, {}, {}, {}, {}};
  for (const std::string& piece : pieces) {
    TLineReader reader;
    if (!reader.Open(piece, 0, error)) {
      error = "cannot read the spool " + piece + ": " + error;
      return false;
    }
    for (std::string line; reader.Next(line);)
      if (line.find_first_not_of(" \t\r") != std::string::npos) Send(sending, line);
    if (!reader.Error().empty()) {
      error = "cannot read the spool " + piece + ": " + reader.Error();
      return false;
    }
  }
  // What still fails goes back whole before the pieces go; should that fail, the pieces stay
  // for the next sync, which sends each run once all the same.
  if (!sending.Refused.empty() &&
      !AppendToPath(spool + ".refused", sending.Refused, 0600, UINT64_MAX, error)) {
    error = "cannot write " + spool + ".refused: " + error;
    return false;
  }
  if (!sending.Kept.empty() && !AppendToPath(spool, sending.Kept, 0600, UINT64_MAX, error)) {
    error = "cannot write the spool " + spool + ": " + error;
    return false;
  }
  for (const std::string& piece : pieces) (void)RemoveFile(piece, error);
  error.clear();
  return true;
}
