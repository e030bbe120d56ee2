#include "cli/HistoryCommand.h"

#include <QJsonDocument>
#include <map>
#include <memory>

#include "charts/HistoryChart.h"
#include "cli/HistoryOutput.h"
#include "formats/text.h"
#include "history/HistorySpool.h"
#include "sys/ExitStatus.h"
#include "sys/Files.h"

namespace {

// A FIFO with no writer is given up after this long.
constexpr int kWriterWaitMs = 10000;

bool Format(const std::string& text, EHistoryFormat& format, std::string& error) {
  static const std::map<std::string, EHistoryFormat> formats = {{"table", EHistoryFormat::hfTABLE},
                                                                {"csv", EHistoryFormat::hfCSV},
                                                                {"json", EHistoryFormat::hfJSON}};
  const auto f = formats.find(text);
  if (f == formats.end()) return error = "--format " + text + ": not table, csv or json", false;
  format = f->second;
  return true;
}

bool Group(const std::string& text, EHistoryGroup& by, std::string& error) {
  static const std::map<std::string, EHistoryGroup> groups = {
      {"day", EHistoryGroup::hgDAY},
      {"station", EHistoryGroup::hgSTATION},
      {"package", EHistoryGroup::hgPACKAGE},
      {"instruction", EHistoryGroup::hgINSTRUCTION},
      {"day,instruction", EHistoryGroup::hgDAYINSTRUCTION}};
  const auto g = groups.find(text);
  if (g == groups.end())
    return error = "--by " + text + ": not day, station, package, instruction or day,instruction",
           false;
  by = g->second;
  return true;
}

// A picture has no table of instructions per day: it is drawn by day, instruction or station.
bool ChartGroup(const THistoryRequest& request, EHistoryGroup by, std::string& error) {
  if (request.Action != THistoryRequest::haCHART || by == EHistoryGroup::hgDAY ||
      by == EHistoryGroup::hgINSTRUCTION || by == EHistoryGroup::hgSTATION)
    return true;
  error = "--by " + request.By + ": a --chart is drawn by day, instruction or station";
  return false;
}

bool Chart(THistory& history, const THistoryFilter& filter, EHistoryGroup by,
           const std::string& path, std::string& error) {
  THistoryCharts charts;
  return AskCharts(history, filter, charts, error) &&
         WriteHistoryPicture(charts, ChartsBy(by), path, error);
}

int Sync(std::ostream& out, std::ostream& err) {
  const std::string spool = DefaultHistorySpool();
  std::map<std::string, std::unique_ptr<THistory>> open;
  const THistoryOpener opener = [&open](const std::string& text, std::string& why) -> THistory* {
    std::unique_ptr<THistory>& history = open[text];
    THistoryUrl url;
    if (!history && ParseHistoryUrl(text, url, why)) {
      if (url.Kind == THistoryUrl::hkNONE) return why = "the spool names no database", nullptr;
      (void)OpenHistory(url, kRunKeepSeconds, history, why);
    }
    return history.get();
  };
  TSyncCount count;
  std::string error;
  if (!SyncSpool(spool, true, opener, count, error)) {
    err << "qubra-updater: " << error << '\n';
    return kExitFailed;
  }
  if (count.Sent + count.Already + count.Kept + count.SetAside == 0) {
    out << "nothing to send: no run waits in " << spool << '\n';
    return kExitCompleted;
  }
  out << "sent " << count.Sent << " runs from " << spool << " (" << count.Already
      << " there already), " << count.Kept << " kept\n";
  if (count.SetAside)
    err << "qubra-updater: " << count.SetAside << " lines that are no run record moved to " << spool
        << ".refused\n";
  for (const std::string& reason : count.Reasons) err << "qubra-updater: " << reason << '\n';
  return count.Kept == 0 ? kExitCompleted : kExitFailed;
}

// Lines read but not yet put in: a transaction per run would make a big report slow to import.
struct TImportBatch {
  static constexpr size_t kSize = 500;
  static constexpr int kSaidAlike = 3;
  std::vector<QJsonObject> Records;
  std::string LastError;
  int Repeated = 0;
  std::vector<int> Numbers;  // each record's line
  int Added = 0, Already = 0, Refused = 0;

  // Where the batch as a whole is refused, each record goes in alone to name the line at fault.
  void Flush(THistory& history, const std::string& file, std::ostream& err) {
    int added = 0;
    std::string error;
    if (history.Import(Records, added, error)) {
      Added += added;
      Already += static_cast<int>(Records.size()) - added;
    } else {
      for (size_t i = 0; i < Records.size(); ++i) {
        bool fresh = false;
        if (history.Keep(Records[i], fresh, error)) {
          ++(fresh ? Added : Already);
          continue;
        }
        ++Refused;
        // A database that refuses every record alike (a role that may not add runs) is said
        // a few times, not once per line.
        if (error == LastError && ++Repeated > kSaidAlike) continue;
        if (error != LastError) Repeated = 1;
        LastError = error;
        err << "qubra-updater: " << file << ":" << Numbers[i] << ": " << error << '\n';
      }
    }
    Records.clear();
    Numbers.clear();
  }
};

// Why `line` is no run record, "" when it is one: a JSON object with a start time and a result,
// and the values a record holds of the types a run writes them.
std::string NotARunRecord(const QByteArray& line, QJsonObject& record) {
  QJsonParseError parse;
  record = QJsonDocument::fromJson(line, &parse).object();
  if (parse.error != QJsonParseError::NoError) return parse.errorString().toStdString();
  if (!QDateTime::fromString(record.value("start").toString(), Qt::ISODateWithMs).isValid())
    return "no start time";
  if (record.value("result").toString().isEmpty()) return "no result";
  static const std::pair<const char*, QJsonValue::Type> kTypes[] = {
      {"id", QJsonValue::String},           {"name", QJsonValue::String},
      {"station", QJsonValue::String},      {"end", QJsonValue::String},
      {"seconds", QJsonValue::Double},      {"script", QJsonValue::String},
      {"error", QJsonValue::String},        {"device", QJsonValue::Object},
      {"instructions", QJsonValue::Array},  {"files", QJsonValue::Array},
      {"versions_read", QJsonValue::Array}, {"versions_written", QJsonValue::Array}};
  for (const auto& [key, type] : kTypes)
    if (record.contains(key) && record.value(key).type() != type && !record.value(key).isNull())
      return std::string("\"") + key + "\" is not of the type a run writes";
  return "";
}

// Old --report files, from a file, a pipe or a FIFO: a record without an id gets one made from
// its content, so a file imported twice adds nothing. Lines that are not records are named.
bool ImportReports(THistory& history, const std::string& path, const QString& station,
                   std::ostream& out, std::ostream& err) {
  const std::string file = EscapeControls(path);
  TLineReader reader;
  std::string error;
  if (!reader.Open(path, kWriterWaitMs, error)) {
    err << "qubra-updater: cannot read " << file << ": " << error << '\n';
    return false;
  }
  TImportBatch batch;
  std::string text;
  for (int number = 1; reader.Next(text); ++number) {
    const QByteArray line = QByteArray::fromStdString(text).trimmed();
    if (line.isEmpty()) continue;
    QJsonObject record;
    if (const std::string why = NotARunRecord(line, record); !why.empty()) {
      ++batch.Refused;
      err << "qubra-updater: " << file << ":" << number << ": not a run record (" << why << ")\n";
      continue;
    }
    if (record.value("id").toString().isEmpty()) record["id"] = ContentRunId(record);
    // A record without a station is this station's, as its own runs are.
    if (!record.value("station").isString())
      record["station"] =
          record.value("host").isString() ? record.value("host").toString() : station;
    batch.Records.push_back(record);
    batch.Numbers.push_back(number);
    if (batch.Records.size() == TImportBatch::kSize) batch.Flush(history, file, err);
  }
  batch.Flush(history, file, err);
  if (batch.Repeated > TImportBatch::kSaidAlike)
    err << "qubra-updater: " << file << ": " << batch.Repeated - TImportBatch::kSaidAlike
        << " more lines refused for the same reason\n";
  if (!reader.Error().empty())
    err << "qubra-updater: cannot read " << file << ": " << reader.Error() << '\n';
  out << file << ": " << batch.Added << " runs imported, " << batch.Already << " there already";
  if (batch.Refused) out << ", " << batch.Refused << " lines refused";
  out << '\n';
  return batch.Refused == 0 && reader.Error().empty();
}

}  // namespace

bool HistoryFilterOf(const THistoryRequest& request, THistoryFilter& filter, std::string& error) {
  filter = THistoryFilter{};
  filter.Who = request.Who;
  filter.Station = request.Station;
  const QDateTime now = QDateTime::currentDateTime();
  if (!request.Since.empty() && !ParseWhen(request.Since, false, now, filter.Since, error))
    return error = "--since " + request.Since + ": " + error, false;
  if (!request.Until.empty() && !ParseWhen(request.Until, true, now, filter.Until, error))
    return error = "--until " + request.Until + ": " + error, false;
  const std::string& r = request.Result;
  if (!r.empty() && r != "completed" && r != "error" && r != "stopped")
    return error = "--result " + r + ": not completed, error or stopped", false;
  filter.Result = r;
  return true;
}

int HistoryCommand(const THistoryRequest& request, std::ostream& out, std::ostream& err) {
  if (request.Action == THistoryRequest::haSYNC) return Sync(out, err);
  std::string error;
  EHistoryFormat format;
  EHistoryGroup by;
  THistoryFilter filter;
  THistoryUrl url;
  bool svg = false;
  if (!Format(request.Format, format, error) || !Group(request.By, by, error) ||
      !ChartGroup(request, by, error) ||
      (request.Action == THistoryRequest::haCHART && !PictureKind(request.Chart, svg, error) &&
       (error = "--chart " + error, true)) ||
      !HistoryFilterOf(request, filter, error) || !ParseHistoryUrl(request.Db, url, error)) {
    err << "qubra-updater: " << EscapeControls(error) << '\n';
    return kExitUsage;
  }
  if (url.Kind == THistoryUrl::hkNONE) {
    err << "qubra-updater: no history is kept (history database none)\n";
    return kExitFailed;
  }
  std::unique_ptr<THistory> history;
  if (!OpenHistory(url, kQuestionSeconds, history, error)) {
    err << "qubra-updater: " << error << '\n';
    return kExitFailed;
  }
  bool ok = true;
  switch (request.Action) {
    case THistoryRequest::haIMPORT:
      for (const std::string& file : request.Files)
        ok = ImportReports(*history, file, QString::fromStdString(request.OwnStation), out, err) &&
             ok;
      return ok ? kExitCompleted : kExitFailed;
    case THistoryRequest::haSUMMARY: {
      std::vector<THistoryGroup> groups;
      if (!(ok = history->Summarize(filter, by, groups, error))) break;
      WriteGroups(groups, request.By, format, request.Width, out);
      break;
    }
    case THistoryRequest::haCHART:
      ok = Chart(*history, filter, by, request.Chart, error);
      break;
    default: {
      std::vector<THistoryRun> runs;
      if (!(ok = history->List(filter, request.Limit, format == EHistoryFormat::hfJSON, runs,
                               error)))
        break;
      WriteRuns(runs, format, request.Width, out);
    }
  }
  if (ok) return kExitCompleted;
  err << "qubra-updater: " << error << '\n';
  return kExitFailed;
}
