#include "cli/HistoryOutput.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

#include "formats/text.h"

namespace {

using TRow = std::vector<QString>;

QString Safe(const QString& text) {
  return QString::fromStdString(EscapeControls(text.toStdString()));
}

QString Local(const QString& utc) {
  const QDateTime t = QDateTime::fromString(utc, Qt::ISODateWithMs);
  return t.isValid() ? t.toLocalTime().toString("yyyy-MM-dd HH:mm:ss") : utc;
}

QString Csv(const QString& field) {
  if (!field.contains(QRegularExpression("[,\"\r\n]"))) return field;
  return '"' + QString(field).replace('"', "\"\"") + '"';
}

// Control characters are escaped before quoting: a CR LF inside a cell stays visible text.
void WriteCsv(const TRow& header, const std::vector<TRow>& rows, std::ostream& out) {
  auto line = [&](const TRow& row) {
    QStringList cells;
    for (const QString& c : row) cells << Csv(Safe(c));
    out << cells.join(',').toStdString() << "\r\n";
  };
  line(header);
  for (const TRow& row : rows) line(row);
}

// Columns as wide as their widest cell; the widest give way until the line fits `width`.
void WriteTable(const TRow& header, const std::vector<TRow>& given, int width,
                std::ostream& out) {
  std::vector<TRow> rows;
  for (const TRow& row : given) {
    TRow safe;
    for (const QString& cell : row) safe.push_back(Safe(cell.simplified()));
    rows.push_back(safe);
  }
  std::vector<qsizetype> w(header.size());
  for (size_t c = 0; c < header.size(); ++c) w[c] = header[c].size();
  for (const TRow& row : rows)
    for (size_t c = 0; c < row.size(); ++c) w[c] = std::max(w[c], row[c].size());
  auto total = [&] {
    qsizetype sum = 2 * static_cast<qsizetype>(w.size() - 1);
    for (qsizetype x : w) sum += x;
    return sum;
  };
  while (total() > width) {
    auto widest = std::max_element(w.begin(), w.end());
    if (*widest <= 4) break;
    --*widest;
  }
  auto line = [&](const TRow& row) {
    QString text;
    for (size_t c = 0; c < row.size(); ++c) {
      QString cell = row[c];
      if (cell.size() > w[c]) cell = cell.left(w[c] - 3) + "...";
      text += c + 1 == row.size() ? cell : cell.leftJustified(w[c]) + "  ";
    }
    out << text.trimmed().toStdString() << '\n';
  };
  line(header);
  for (const TRow& row : rows) line(row);
}

void Write(EHistoryFormat format, const TRow& header, const std::vector<TRow>& rows, int width,
           std::ostream& out) {
  if (format == EHistoryFormat::hfCSV) return WriteCsv(header, rows, out);
  if (format == EHistoryFormat::hfTABLE) return WriteTable(header, rows, width, out);
  for (const TRow& row : rows) {
    QJsonObject o;
    for (size_t c = 0; c < row.size(); ++c) o[header[c].toLower().replace(' ', '_')] = row[c];
    out << QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() << '\n';
  }
}

QString Figure(double seconds) {
  return QString::fromStdString(Tenths(seconds));
}

}  // namespace

void WriteRuns(const std::vector<THistoryRun>& runs, EHistoryFormat format, int width,
               std::ostream& out) {
  if (format == EHistoryFormat::hfJSON) {
    for (const THistoryRun& r : runs) out << r.Record.toStdString() << '\n';
    return;
  }
  std::vector<TRow> rows;
  if (format == EHistoryFormat::hfCSV) {
    for (const THistoryRun& r : runs)
      rows.push_back({r.Id, r.Station, r.Started, r.Ended, QString::number(r.Seconds), r.Name,
                      r.DeviceType, r.DeviceId, r.Link, r.Script, r.Package, r.SealKeyId,
                      r.ManifestSha256, r.Result, r.Error, r.FailedInstruction});
    return Write(format,
                 {"id", "station", "started", "ended", "seconds", "name", "device_type",
                  "device_id", "link", "script", "package", "seal_key_id", "manifest_sha256",
                  "result", "error", "failed_instruction"},
                 rows, width, out);
  }
  for (const THistoryRun& r : runs) {
    const QString why =
        r.FailedInstruction.isEmpty() ? r.Error : r.FailedInstruction + ": " + r.Error;
    rows.push_back({Local(r.Started), r.Station, r.Name, r.DeviceId, r.Result, Figure(r.Seconds),
                    why});
  }
  Write(format, {"START", "STATION", "NAME", "DEVICE ID", "RESULT", "SECONDS", "ERROR"}, rows,
        width, out);
}

void WriteGroups(const std::vector<THistoryGroup>& groups, const std::string& by,
                 EHistoryFormat format, int width, std::ostream& out) {
  std::vector<TRow> rows;
  for (const THistoryGroup& g : groups)
    rows.push_back({g.Key.empty() ? "-" : QString::fromStdString(g.Key), QString::number(g.Runs),
                    QString::number(g.Completed), QString::number(g.Errors),
                    QString::number(g.Stopped), Figure(g.MedianSeconds),
                    QString::fromStdString(g.MostFailedAt)});
  if (by == "day") std::reverse(rows.begin(), rows.end());  // the newest day first
  const QString head = QString::fromStdString(by).toUpper();
  Write(format, {head, "RUNS", "COMPLETED", "ERROR", "STOPPED", "MEDIAN SECONDS", "MOST FAILED AT"},
        rows, width, out);
}
