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

// A time as the station's clock showed it, with its offset from UTC.
QString LocalWithOffset(const QString& utc) {
  const QDateTime t = QDateTime::fromString(utc, Qt::ISODateWithMs);
  if (!t.isValid()) return utc;
  return t.toOffsetFromUtc(t.toLocalTime().offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// A run's start as the station's clock showed it, to the minute.
QString Local(const QString& utc) {
  const QDateTime t = QDateTime::fromString(utc, Qt::ISODateWithMs);
  return t.isValid() ? t.toLocalTime().toString("yyyy-MM-dd HH:mm") : utc;
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

// Columns as wide as their widest cell. Too wide for `width`: the columns named in `spare` go
// first, in that order, then the widest give way until the line fits.
void WriteTable(TRow header, const std::vector<TRow>& given, int width, std::ostream& out,
                const std::vector<QString>& spare = {}) {
  std::vector<TRow> rows;
  for (const TRow& row : given) {
    TRow safe;
    for (const QString& cell : row) safe.push_back(Safe(cell.simplified()));
    rows.push_back(safe);
  }
  for (const QString& name : spare) {
    auto widths = [&] {
      qsizetype sum = 0;
      for (size_t c = 0; c < header.size(); ++c) {
        qsizetype w = header[c].size();
        for (const TRow& row : rows) w = std::max(w, row[c].size());
        sum += w + 2;
      }
      return sum - 2;
    };
    const auto at = std::find(header.begin(), header.end(), name);
    if (widths() <= width || at == header.end()) continue;
    const auto c = at - header.begin();
    header.erase(at);
    for (TRow& row : rows) row.erase(row.begin() + c);
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
  // A time and a result cut short say nothing: they stay whole.
  std::vector<qsizetype> room = w;
  for (size_t c = 0; c < header.size(); ++c)
    if (header[c] == "START" || header[c] == "RESULT") room[c] = 0;
  while (total() > width) {
    const auto widest = std::max_element(room.begin(), room.end()) - room.begin();
    if (room[static_cast<size_t>(widest)] <= 4) break;
    --room[static_cast<size_t>(widest)];
    --w[static_cast<size_t>(widest)];
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
           std::ostream& out, const std::vector<QString>& spare = {}) {
  if (format == EHistoryFormat::hfCSV) return WriteCsv(header, rows, out);
  if (format == EHistoryFormat::hfTABLE) return WriteTable(header, rows, width, out, spare);
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
      rows.push_back({r.Id, r.Station, LocalWithOffset(r.Started), LocalWithOffset(r.Ended),
                      QString::number(r.Seconds), r.Name,
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
  // A narrow terminal keeps when, who, how and why.
  Write(format, {"START", "STATION", "NAME", "DEVICE ID", "RESULT", "SECONDS", "ERROR"}, rows,
        width, out, {"STATION", "DEVICE ID", "SECONDS"});
}

void WriteGroups(const std::vector<THistoryGroup>& groups, const std::string& by,
                 EHistoryFormat format, int width, std::ostream& out) {
  // The key's columns, then the figures: CSV and JSON name them alike, the table in capitals.
  QStringList names = QString::fromStdString(by).split(',');
  const qsizetype keys = names.size();
  names << "runs" << "completed" << "error" << "stopped" << "median_seconds" << "most_failed_at";
  std::vector<TRow> rows;
  for (const THistoryGroup& g : groups) {
    TRow row;
    for (const QString& part : QString::fromStdString(g.Key).split(kKeyParts))
      row.push_back(part.isEmpty() && format == EHistoryFormat::hfTABLE ? "-" : part);
    row.resize(static_cast<size_t>(keys));
    QString failed = QString::fromStdString(g.MostFailedAt.empty() ? "" : g.MostFailedAt[0]);
    for (size_t i = 1; i < g.MostFailedAt.size(); ++i)
      failed += ", " + QString::fromStdString(g.MostFailedAt[i]);
    if (g.MostFailedTimes > 0)
      failed += QString(" (%1%2)").arg(g.MostFailedTimes).arg(g.MostFailedAt.size() > 1 ? " each" : "");
    row.insert(row.end(), {QString::number(g.Runs), QString::number(g.Completed),
                           QString::number(g.Errors), QString::number(g.Stopped),
                           Figure(g.MedianSeconds), failed});
    rows.push_back(row);
  }
  // The newest day first; within a day, the order of the instructions.
  if (by.rfind("day", 0) == 0)
    std::stable_sort(rows.begin(), rows.end(),
                     [](const TRow& a, const TRow& b) { return a[0] > b[0]; });
  if (format == EHistoryFormat::hfJSON) {
    for (const TRow& row : rows) {
      QJsonObject o;
      for (qsizetype c = 0; c < names.size(); ++c) {
        const QString& cell = row[static_cast<size_t>(c)];
        const bool figure = c >= keys && c < keys + 5;
        o[names[c]] = figure ? QJsonValue(cell.toDouble()) : QJsonValue(cell);
      }
      out << QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() << '\n';
    }
    return;
  }
  TRow header;
  for (const QString& n : names)
    header.push_back(format == EHistoryFormat::hfCSV ? n : n.toUpper().replace('_', ' '));
  Write(format, header, rows, width, out);
}
