// The station history's figures on both databases: runs inserted per second by 1 and by 64
// writers, and the time of `--history NAME` and `--summary --by day`.
//
//   history_bench [RUNS] [POSTGRESQL-URL]
//   history_bench URL      the question times only, on a history filled before
//
// Last, the time a run spends on its record while another holds the database locked (the run's
// wait is bounded by the history's time limit; the record then goes to the spool).
//
// RUNS (default 2000) runs of 40 instructions each. All but the last 2000 are loaded in
// transactions of 1000, as --history-import does; the last 2000 go in as runs put theirs, one
// transaction each, half by one writer and half by 64 at once, into the database at its size.
// PostgreSQL is measured in a database made for the purpose on the server the URL names (or
// QUBRA_TEST_PG_URL), then dropped; without either only SQLite is measured.
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history/HistoryCharts.h"
#include "history/HistoryWorker.h"
#include "history/SqlHistory.h"

namespace {

using TClock = std::chrono::steady_clock;

double Since(TClock::time_point start) {
  return std::chrono::duration<double>(TClock::now() - start).count();
}

QString Name(int i, int runs) {
  return QString("qb-%1").arg(i % std::max(1, runs / 4), 6, 10, QChar('0'));
}

QJsonObject Record(int i, int runs) {
  static const QJsonObject kInstruction{{"script", "/pkg/script.ini"},
                                        {"line", 12},
                                        {"text", "P0 BANK0.HEX"},
                                        {"card", "Qubra"},
                                        {"engine", "psd"},
                                        {"result", "done"},
                                        {"retries", 0},
                                        {"sent", 65536},
                                        {"received", 1024},
                                        {"seconds", 1.2}};
  QJsonArray instructions;
  for (int k = 0; k < 40; ++k) instructions.append(kInstruction);
  const char* result = i % 50 == 0 ? "stopped" : i % 12 == 0 ? "error" : "completed";
  if (result[0] == 'e') {
    QJsonObject failed = kInstruction;
    failed["result"] = "failed";
    failed["text"] = QString("P%1 BANK%1.HEX").arg(i % 8);
    instructions[39] = failed;
  }
  const QString start = QDateTime(QDate(2024, 1, 1), QTime(8, 0), Qt::UTC)
                            .addSecs(static_cast<qint64>(i) * 31536000 / std::max(1, runs))
                            .toString(Qt::ISODateWithMs);
  return {{"id", QString("run-%1").arg(i)},
          {"station", QString("st-%1").arg(i % 3)},
          {"name", Name(i, runs)},
          {"device", QJsonObject{{"type", "35"}, {"id", QString("D%1").arg(i % 9973)}}},
          {"start", start},
          {"end", start},
          {"seconds", 60.0 + i % 40},
          {"result", result},
          {"script", "/pkg/script.ini"},
          {"link", "tcp 127.0.0.1:9"},
          {"error", ""},
          {"instructions", instructions},
          {"files", QJsonArray{QJsonObject{{"path", "/pkg/BANK0.HEX"}, {"sha256", "00"}}}}};
}

std::unique_ptr<TSqlHistory> Sql(const THistoryUrl& url, std::string& error) {
  auto sql = url.Kind == THistoryUrl::hkPOSTGRESQL ? MakePostgresHistory(url, kQuestionSeconds)
                                                   : MakeSqliteHistory(url, kQuestionSeconds);
  if (sql->Open(error)) return sql;
  std::fprintf(stderr, "%s\n", error.c_str());
  return nullptr;
}

bool Insert(const THistoryUrl& url, int from, int to, int runs) {
  std::string error;
  bool added = false;
  auto history = Sql(url, error);
  if (!history) return false;
  for (int i = from; i < to; ++i)
    if (!history->Keep(Record(i, runs), added, error))
      return std::fprintf(stderr, "%s\n", error.c_str()), false;
  return true;
}

// The best of five, as a warm cache would answer.
double QueryMs(THistory& history, bool summary, const std::string& who) {
  double best = 1e9;
  for (int n = 0; n < 5; ++n) {
    std::vector<THistoryRun> runs;
    std::vector<THistoryGroup> groups;
    std::string error;
    THistoryFilter filter;
    filter.Who = who;
    const auto start = TClock::now();
    const bool ok = summary ? history.Summarize(filter, EHistoryGroup::hgDAY, groups, error)
                            : history.List(filter, 0, false, runs, error);
    if (!ok) std::fprintf(stderr, "%s\n", error.c_str());
    best = std::min(best, Since(start) * 1000);
  }
  return best;
}

// The numbers of --chart and the Charts page: four summaries; the best of five.
double ChartsMs(THistory& history) {
  double best = 1e9;
  for (int n = 0; n < 5; ++n) {
    THistoryCharts charts;
    std::string error;
    const auto start = TClock::now();
    if (!AskCharts(history, THistoryFilter{}, charts, error))
      std::fprintf(stderr, "%s\n", error.c_str());
    best = std::min(best, Since(start) * 1000);
  }
  return best;
}

// Loads runs [from, to) in transactions of 1000.
bool Load(const THistoryUrl& url, int from, int to, int runs) {
  std::string error;
  auto history = Sql(url, error);
  if (!history) return false;
  std::vector<QJsonObject> batch;
  for (int i = from; i < to; i += static_cast<int>(batch.size())) {
    batch.clear();
    for (int k = i; k < std::min(to, i + 1000); ++k) batch.push_back(Record(k, runs));
    int added = 0;
    if (!history->Import(batch, added, error))
      return std::fprintf(stderr, "%s\n", error.c_str()), false;
  }
  return true;
}

// A run's record while another connection holds the database locked: the time the run waits.
bool Stuck(const char* label, TSqlHistory& holder) {
  std::string error, notice;
  const bool postgres = holder.Where().Kind == THistoryUrl::hkPOSTGRESQL;
  if (!holder.ExecText(postgres ? "BEGIN" : "BEGIN IMMEDIATE", error) ||
      (postgres && !holder.ExecText("LOCK TABLE runs IN EXCLUSIVE MODE", error)))
    return std::fprintf(stderr, "%s\n", error.c_str()), false;
  QJsonObject record = Record(0, 1);
  record["id"] = "stuck";
  const auto start = TClock::now();
  const bool kept =
      THistoryWorker::Process().KeepWithin(holder.Where().Text, record, 60, nullptr, notice);
  const double waited = Since(start);
  (void)holder.ExecText("ROLLBACK", error);
  (void)THistoryWorker::Process().Finish(60);
  std::printf("%-10s a run's record with the database locked: %s after %.1f s (limit %d s)\n",
              label, kept ? "kept" : "spooled", waited, kRunKeepSeconds);
  return true;
}

bool Measure(const char* label, const std::string& text, int runs) {
  THistoryUrl url;
  std::string error;
  if (!ParseHistoryUrl(text, url, error)) return std::fprintf(stderr, "%s\n", error.c_str()), false;
  const int loaded = std::max(0, runs - 2000), half = loaded + (runs - loaded) / 2;
  auto start = TClock::now();
  if (!Load(url, 0, loaded, runs)) return false;
  const double load = loaded / std::max(1e-9, Since(start));
  start = TClock::now();
  if (!Insert(url, loaded, half, runs)) return false;
  const double one = (half - loaded) / Since(start);
  std::vector<std::thread> writers;
  std::atomic<bool> ok = true;
  start = TClock::now();
  for (int w = 0; w < 64; ++w)
    writers.emplace_back([&, w] {
      if (!Insert(url, half + (runs - half) * w / 64, half + (runs - half) * (w + 1) / 64, runs))
        ok = false;
    });
  for (std::thread& t : writers) t.join();
  const double many = (runs - half) / Since(start);
  auto store = Sql(url, error);
  if (!ok || !store) return false;
  if (loaded > 0) std::printf("%-10s loaded %d runs: %7.0f runs/s\n", label, loaded, load);
  std::printf(
      "%-10s %8d runs  insert: %7.0f runs/s (1 writer) %7.0f runs/s (64 writers)  "
      "--history NAME: %7.2f ms  --summary --by day: %8.1f ms  --chart's numbers: %8.1f ms\n",
      label, runs, one, many, QueryMs(*store, false, Name(runs / 3, runs).toStdString()),
      QueryMs(*store, true, ""), ChartsMs(*store));
  std::fflush(stdout);
  return Stuck(label, *store);
}

bool Admin(const std::string& server, const QString& sql) {
  THistoryUrl url;
  std::string error;
  if (!ParseHistoryUrl(server, url, error)) return std::fprintf(stderr, "%s\n", error.c_str()), false;
  auto admin = Sql(url, error);
  if (admin && admin->ExecText(sql, error)) return true;
  std::fprintf(stderr, "%s\n", error.c_str());
  return false;
}

// A history filled by an earlier run: the questions only, asked of its runs.
int Ask(const std::string& text) {
  THistoryUrl url;
  std::string error;
  if (!ParseHistoryUrl(text, url, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  auto store = Sql(url, error);
  if (!store) return 1;
  QSqlQuery q = store->Query();
  q.prepare("SELECT count(*) FROM runs");
  if (!store->Exec(q, error) || !q.next()) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  const int runs = q.value(0).toInt();
  std::printf(
      "%-10s %8d runs  --history NAME: %7.2f ms  --summary --by day: %8.1f ms  --chart's numbers: "
      "%8.1f ms\n",
      url.Kind == THistoryUrl::hkPOSTGRESQL ? "postgresql" : "sqlite", runs,
      QueryMs(*store, false, Name(runs / 3, runs).toStdString()), QueryMs(*store, true, ""),
      ChartsMs(*store));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // The spool of the stuck run's record goes to a folder of the bench's own.
  QTemporaryDir data;
  setenv("XDG_DATA_HOME", data.path().toUtf8().constData(), 1);
  if (argc == 2 && std::string(argv[1]).find(':') != std::string::npos) return Ask(argv[1]);
  const int runs = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (runs < 128) return std::fprintf(stderr, "history_bench: RUNS must be 128 or more\n"), 2;
  QTemporaryDir dir;
  if (!Measure("sqlite", "sqlite:" + QDir(dir.path()).filePath("bench.sqlite").toStdString(), runs))
    return 1;
  const char* env = std::getenv("QUBRA_TEST_PG_URL");
  const std::string server = argc > 2 ? argv[2] : env ? env : "";
  if (server.empty()) {
    std::printf("postgresql: skipped (no URL given and QUBRA_TEST_PG_URL is not set)\n");
    return 0;
  }
  const QString db = QString("qubra_bench_%1").arg(::getpid());
  if (!Admin(server, "CREATE DATABASE " + db)) return 1;
  const bool ok =
      Measure("postgresql", server.substr(0, server.rfind('/') + 1) + db.toStdString(), runs);
  Admin(server, "DROP DATABASE " + db + " WITH (FORCE)");
  return ok ? 0 : 1;
}
