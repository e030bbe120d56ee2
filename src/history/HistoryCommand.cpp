#include "history/HistoryCommand.h"

#include <QFile>
#include <QJsonDocument>
#include <QUuid>
#include <vector>

#include "history/HistorySpool.h"

namespace {

bool Format(const std::string& text, EHistoryFormat& format, std::string& error) {
  if (text == "table")
    format = EHistoryFormat::hfTABLE;
  else if (text == "csv")
    format = EHistoryFormat::hfCSV;
  else if (text == "json")
    format = EHistoryFormat::hfJSON;
  else {
    error = "--format " + text + ": not table, csv or json";
    return false;
  }
  return true;
}

int Sync(std::ostream& out, std::ostream& err) {
  const std::string spool = DefaultHistorySpool();
  TSyncCount count;
  std::string error;
  if (!SyncSpool(spool, count, error)) {
    err << "qubra-updater: " << error << '\n';
    return 1;
  }
  out << "sent " << count.Sent << " runs from " << spool << " (" << count.Already
      << " there already), " << count.Kept << " kept\n";
  for (const std::string& reason : count.Reasons) err << "qubra-updater: " << reason << '\n';
  return count.Kept == 0 ? 0 : 1;
}

// Lines read but not yet put in: a transaction per run would make a big report slow to import.
struct TImportBatch {
  static constexpr size_t kSize = 500;
  std::vector<QJsonObject> Records;
  std::vector<int> Numbers;  // each record's line
  int Added = 0, Already = 0, Refused = 0;

  // Where the batch as a whole is refused, each record goes in alone to name the line at fault.
  void Flush(THistoryStore& store, const std::string& file, std::ostream& err) {
    int added = 0;
    std::string error;
    if (store.InsertAll(Records, added, error)) {
      Added += added;
      Already += static_cast<int>(Records.size()) - added;
    } else {
      for (size_t i = 0; i < Records.size(); ++i) {
        bool fresh = false;
        if (store.Insert(Records[i], fresh, error)) {
          ++(fresh ? Added : Already);
          continue;
        }
        ++Refused;
        err << "qubra-updater: " << file << ":" << Numbers[i] << ": " << error << '\n';
      }
    }
    Records.clear();
    Numbers.clear();
  }
};

}  // namespace

QString ContentRunId(const QJsonObject& record) {
  QJsonObject content = record;
  content.remove("id");
  // Keys come out sorted, so equal records give equal bytes.
  static const QUuid space("6f1c4a52-23d8-4f0e-9a2b-3e5c0b7d9a41");
  return QUuid::createUuidV5(space, QJsonDocument(content).toJson(QJsonDocument::Compact))
      .toString(QUuid::WithoutBraces);
}

bool ImportReports(THistoryStore& store, const std::string& file, std::ostream& out,
                   std::ostream& err) {
  QFile f(QFile::decodeName(QByteArray::fromStdString(file)));
  if (!f.open(QIODevice::ReadOnly)) {
    err << "qubra-updater: cannot read " << file << ": " << f.errorString().toStdString() << '\n';
    return false;
  }
  TImportBatch batch;
  for (int number = 1; !f.atEnd(); ++number) {
    const QByteArray line = f.readLine().trimmed();
    if (line.isEmpty()) continue;
    QJsonParseError parse;
    QJsonObject record = QJsonDocument::fromJson(line, &parse).object();
    if (parse.error != QJsonParseError::NoError || record.isEmpty()) {
      ++batch.Refused;
      err << "qubra-updater: " << file << ":" << number << ": not a run record ("
          << parse.errorString().toStdString() << ")\n";
      continue;
    }
    if (record["id"].toString().isEmpty()) record["id"] = ContentRunId(record);
    if (!record.contains("station")) record["station"] = record["host"];
    batch.Records.push_back(record);
    batch.Numbers.push_back(number);
    if (batch.Records.size() == TImportBatch::kSize) batch.Flush(store, file, err);
  }
  batch.Flush(store, file, err);
  out << file << ": " << batch.Added << " runs imported, " << batch.Already << " there already";
  if (batch.Refused) out << ", " << batch.Refused << " lines refused";
  out << '\n';
  return batch.Refused == 0;
}

int HistoryCommand(const THistoryRequest& request, std::ostream& out, std::ostream& err) {
  if (request.Action == THistoryRequest::haSYNC) return Sync(out, err);
  std::string error;
  EHistoryFormat format;
  if (!Format(request.Format, format, error)) {
    err << "qubra-updater: " << error << '\n';
    return 2;
  }
  THistoryUrl url;
  if (!ParseHistoryUrl(request.Db, url, error)) {
    err << "qubra-updater: " << error << '\n';
    return 2;
  }
  if (url.Kind == THistoryUrl::hkNONE) {
    err << "qubra-updater: no history is kept (history database none)\n";
    return 1;
  }
  THistoryStore store;
  if (!store.Open(url, error)) {
    err << "qubra-updater: " << error << '\n';
    return 1;
  }
  bool ok = true;
  switch (request.Action) {
    case THistoryRequest::haIMPORT:
      for (const std::string& file : request.Files) ok = ImportReports(store, file, out, err) && ok;
      return ok ? 0 : 1;
    case THistoryRequest::haSUMMARY:
      ok = SummarizeRuns(store, request.Filter, request.By, format, request.Width, out, error);
      break;
    default:
      ok = ListRuns(store, request.Filter, format, request.Width, request.Limit, out, error);
  }
  if (ok) return 0;
  err << "qubra-updater: " << error << '\n';
  // A value the options gave is not understood, or the database failed.
  return error.rfind("--", 0) == 0 ? 2 : 1;
}
