#include "history/HistoryQuery.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <map>
#include <string_view>
#include <vector>

#include "formats/text.h"
#include "history/SqliteScan.h"

namespace {

using TRow = std::vector<QString>;

// The WHERE clause is made of fixed pieces only; every value is bound.
struct TWhere {
  QString Sql;
  QVariantList Values;
  void Add(const QString& condition, const QVariantList& values) {
    Sql += (Sql.isEmpty() ? " WHERE " : " AND ") + condition;
    Values += values;
  }
};

QString LikePattern(const std::string& shell) {
  QString like;
  for (const QChar c : QString::fromStdString(shell)) {
    if (c == '*')
      like += '%';
    else if (c == '?')
      like += '_';
    else if (c == '%' || c == '_' || c == '\\')
      like += QString('\\') + c;
    else
      like += c;
  }
  return like;
}

// `scan`: the question reads the summary index whole, so SQLite must not take the result's
// index (a `+` hides it) and look up most of the table row by row.
bool MakeWhere(const THistoryFilter& f, TWhere& where, std::string& error, bool scan = false) {
  const QString who = QString::fromStdString(f.Who);
  if (who.contains('*') || who.contains('?'))
    where.Add("(name LIKE ? ESCAPE '\\' OR device_id = ?)", {LikePattern(f.Who), who});
  else if (!who.isEmpty())
    where.Add("(name = ? OR device_id = ?)", {who, who});
  const QDateTime now = QDateTime::currentDateTime();
  QString utc;
  if (!f.Since.empty()) {
    if (!ParseWhen("--since", f.Since, false, now, utc, error)) return false;
    where.Add("started >= ?", {utc});
  }
  if (!f.Until.empty()) {
    if (!ParseWhen("--until", f.Until, true, now, utc, error)) return false;
    where.Add("started < ?", {utc});
  }
  if (!f.Result.empty()) {
    if (f.Result != "completed" && f.Result != "error" && f.Result != "stopped") {
      error = "--result " + f.Result + ": not completed, error or stopped";
      return false;
    }
    where.Add(scan ? "+result = ?" : "result = ?", {QString::fromStdString(f.Result)});
  }
  if (!f.Station.empty()) where.Add("station = ?", {QString::fromStdString(f.Station)});
  return true;
}

bool Select(THistoryStore& store, const QString& sql, const TWhere& where, QSqlQuery& q,
            std::string& error) {
  q = store.Query();
  if (!q.prepare(sql)) return store.Exec(q, error);
  for (const QVariant& v : where.Values) q.addBindValue(v);
  return store.Exec(q, error);
}

QString Local(const QString& utc) {
  const QDateTime t = QDateTime::fromString(utc, Qt::ISODateWithMs);
  return t.isValid() ? t.toLocalTime().toString("yyyy-MM-dd HH:mm:ss") : utc;
}

QString Csv(const QString& field) {
  if (!field.contains(QRegularExpression("[,\"\r\n]"))) return field;
  return '"' + QString(field).replace('"', "\"\"") + '"';
}

void WriteCsv(const TRow& header, const std::vector<TRow>& rows, std::ostream& out) {
  auto line = [&](const TRow& row) {
    QStringList cells;
    for (const QString& c : row) cells << Csv(c);
    out << cells.join(',').toStdString() << "\r\n";
  };
  line(header);
  for (const TRow& row : rows) line(row);
}

// Columns as wide as their widest cell; the widest give way until the line fits `width`.
void WriteTable(const TRow& header, const std::vector<TRow>& rows, int width, std::ostream& out) {
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
      QString cell = row[c].simplified();
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

const char* const kCsvColumns =
    "id, station, started, ended, seconds, name, device_type, device_id, link, script, package, "
    "seal_key_id, manifest_sha256, result, error, failed_instruction";

QString Figure(double seconds) {
  return QString::fromStdString(Tenths(seconds));
}

}  // namespace

bool ParseWhen(const std::string& option, const std::string& text, bool until, const QDateTime& now,
               QString& utc, std::string& error) {
  const QString when = QString::fromStdString(text).trimmed();
  QDateTime t;
  bool day = false;
  static const QRegularExpression ago("^(\\d{1,5})([dh])$");
  if (const auto m = ago.match(when); m.hasMatch()) {
    const qint64 n = m.captured(1).toLongLong();
    t = m.captured(2) == "d" ? now.addDays(-n) : now.addSecs(-3600 * n);
  } else if (when == "today" || when == "yesterday") {
    t = QDateTime(now.date().addDays(when == "today" ? 0 : -1), QTime(0, 0));
    day = true;
  } else if (const QDate d = QDate::fromString(when, "yyyy-MM-dd"); d.isValid()) {
    t = QDateTime(d, QTime(0, 0));
    day = true;
  } else {
    for (const char* form :
         {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-ddTHH:mm"})
      if (!t.isValid()) t = QDateTime::fromString(when, form);
  }
  if (!t.isValid()) {
    error = option + " " + text +
            ": not a time (YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS], today, yesterday, Nd, Nh)";
    return false;
  }
  if (until && day) t = t.addDays(1);
  utc = t.toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzzZ");
  return true;
}

bool ListRuns(THistoryStore& store, const THistoryFilter& filter, EHistoryFormat format, int width,
              int limit, std::ostream& out, std::string& error) {
  TWhere where;
  if (!MakeWhere(filter, where, error)) return false;
  const QString columns = format == EHistoryFormat::hfJSON ? "record" : kCsvColumns;
  QString sql = "SELECT " + columns + " FROM runs" + where.Sql + " ORDER BY started DESC, id";
  if (limit > 0) sql += " LIMIT " + QString::number(limit);  // a number, not a value
  QSqlQuery q;
  if (!Select(store, sql, where, q, error)) return false;
  if (format == EHistoryFormat::hfJSON) {
    while (q.next()) out << q.value(0).toString().toStdString() << '\n';
    return true;
  }
  std::vector<TRow> rows;
  const bool csv = format == EHistoryFormat::hfCSV;
  while (q.next()) {
    TRow row;
    for (int c = 0; c < 16; ++c) row.push_back(q.value(c).toString());
    if (csv) {
      rows.push_back(row);
      continue;
    }
    const QString why = row[15].isEmpty() ? row[14] : row[15] + ": " + row[14];
    rows.push_back(
        {Local(row[2]), row[1], row[5], row[7], row[13], Figure(q.value(4).toDouble()), why});
  }
  if (csv) {
    const QStringList names = QString(kCsvColumns).split(", ");
    Write(format, TRow(names.begin(), names.end()), rows, width, out);
  } else
    Write(format, {"START", "STATION", "NAME", "DEVICE ID", "RESULT", "SECONDS", "ERROR"}, rows,
          width, out);
  return true;
}

namespace {

struct TGroup {
  int Runs = 0, Completed = 0, Errors = 0, Stopped = 0;
  std::vector<double> Seconds;  // each run's, until the median is found
  double Median = 0;
  std::map<std::string, int> FailedAt;
};

// The groups of a summary, fed run by run; the runs of one group mostly come one after another,
// in the order of the index the scan reads.
class TSummary {
 public:
  explicit TSummary(size_t key_size) : KeySize(key_size) {}

  void Add(std::string_view key, std::string_view result, double seconds, std::string_view failed) {
    key = key.substr(0, KeySize);
    if (!Last || key != LastKey) {
      LastKey.assign(key);
      Last = &Groups[LastKey];
    }
    ++Last->Runs;
    Last->Seconds.push_back(seconds);
    if (result == "completed") {
      ++Last->Completed;
    } else if (result == "stopped") {
      ++Last->Stopped;
    } else if (result == "error") {
      ++Last->Errors;
      ++Last->FailedAt[std::string(failed)];
    }
  }

  std::map<std::string, TGroup> Groups;

 private:
  size_t KeySize;
  std::string LastKey;
  TGroup* Last = nullptr;
};

// The middle one, or the mean of the two in the middle, as PostgreSQL's percentile_cont(0.5).
double Median(std::vector<double>& s) {
  if (s.empty()) return 0;
  const size_t mid = s.size() / 2;
  std::nth_element(s.begin(), s.begin() + static_cast<long>(mid), s.end());
  double m = s[mid];
  if (s.size() % 2 == 0)
    m = (m + *std::max_element(s.begin(), s.begin() + static_cast<long>(mid))) / 2;
  return m;
}

QString MostFailed(const std::map<std::string, int>& failed) {
  auto best = failed.end();
  for (auto it = failed.begin(); it != failed.end(); ++it)
    if (best == failed.end() || it->second > best->second) best = it;
  return best == failed.end() ? QString() : QString::fromStdString(best->first);
}

// Every run the filter chooses into `summary`, straight from SQLite's library: a million rows
// through Qt's driver would cost a conversion per value.
bool SummarizeSqlite(THistoryStore& store, const QString& key, const TWhere& where,
                     TSummary& summary, std::string& error) {
  std::vector<std::string> values;
  for (const QVariant& v : where.Values) values.push_back(v.toString().toStdString());
  const QString sql =
      "SELECT " + key + ", result, seconds, failed_instruction FROM runs" + where.Sql;
  if (ScanSqlite(
          store.Where().Path, sql.toStdString(), values,
          [&](const TScanRow& row) {
            const std::string_view result = row.Text(1);
            summary.Add(row.Text(0), result, row.Number(2),
                        result == "error" ? row.Text(3) : std::string_view());
          },
          error)) {
    for (auto& [name, g] : summary.Groups) g.Median = Median(g.Seconds);
    return true;
  }
  error = "history database " + store.Where().Text + ": " + error;
  return false;
}

// A server counts and finds the medians itself, in one snapshot: a million rows never cross.
// Each answer is read whole before the next question: a connection reads one at a time.
bool SummarizeOnServer(THistoryStore& store, const QString& key, const TWhere& where,
                       TSummary& summary, std::string& error) {
  auto groups = [&] {
    QSqlQuery q;
    if (!Select(store,
                "SELECT " + key +
                    ", count(*), count(*) FILTER (WHERE result = 'completed'), "
                    "count(*) FILTER (WHERE result = 'error'), "
                    "count(*) FILTER (WHERE result = 'stopped'), "
                    "percentile_cont(0.5) WITHIN GROUP (ORDER BY seconds) FROM runs" +
                    where.Sql + " GROUP BY 1",
                where, q, error))
      return false;
    while (q.next()) {
      TGroup& g = summary.Groups[q.value(0).toString().toStdString()];
      g.Runs = q.value(1).toInt();
      g.Completed = q.value(2).toInt();
      g.Errors = q.value(3).toInt();
      g.Stopped = q.value(4).toInt();
      g.Median = q.value(5).toDouble();
    }
    return true;
  };
  auto failed = [&] {
    TWhere errors = where;
    errors.Add("result = 'error'", {});
    QSqlQuery q;
    if (!Select(store,
                "SELECT " + key + ", failed_instruction, count(*) FROM runs" + errors.Sql +
                    " GROUP BY 1, 2",
                errors, q, error))
      return false;
    while (q.next())
      summary.Groups[q.value(0).toString().toStdString()]
          .FailedAt[q.value(1).toString().toStdString()] = q.value(2).toInt();
    return true;
  };
  std::string ignored;
  // The sort the medians need stays in memory: a million runs are about 50 MB of it.
  const bool asked = store.ExecText("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", error) &&
                     store.ExecText("SET LOCAL work_mem = '256MB'", error) && groups() && failed();
  (void)store.ExecText(asked ? "COMMIT" : "ROLLBACK", ignored);
  return asked;
}

}  // namespace

bool SummarizeRuns(THistoryStore& store, const THistoryFilter& filter, const std::string& by,
                   EHistoryFormat format, int width, std::ostream& out, std::string& error) {
  // A day is the first ten characters of the UTC start; the others are columns as they are.
  struct TKey {
    QString Column;
    size_t Size;
    QString Server;
  };
  static const std::map<std::string, TKey> keys = {
      {"day", {"started", 10, "substr(started, 1, 10)"}},
      {"station", {"station", std::string::npos, "station"}},
      {"package", {"package", std::string::npos, "package"}},
      {"instruction", {"failed_instruction", std::string::npos, "failed_instruction"}}};
  const auto key = keys.find(by);
  if (key == keys.end()) {
    error = "--by " + by + ": not day, station, package or instruction";
    return false;
  }
  TWhere where;
  if (!MakeWhere(filter, where, error, !store.Postgres())) return false;
  TSummary summary(key->second.Size);
  if (store.Postgres() ? !SummarizeOnServer(store, key->second.Server, where, summary, error)
                       : !SummarizeSqlite(store, key->second.Column, where, summary, error))
    return false;
  std::vector<TRow> rows;
  for (auto& [name, g] : summary.Groups)
    rows.push_back({name.empty() ? "-" : QString::fromStdString(name), QString::number(g.Runs),
                    QString::number(g.Completed), QString::number(g.Errors),
                    QString::number(g.Stopped), Figure(g.Median), MostFailed(g.FailedAt)});
  if (by == "day") std::reverse(rows.begin(), rows.end());  // the newest day first
  const QString head = QString::fromStdString(by).toUpper();
  Write(format, {head, "RUNS", "COMPLETED", "ERROR", "STOPPED", "MEDIAN SECONDS", "MOST FAILED AT"},
        rows, width, out);
  return true;
}
