#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlRecord>
#include <QThread>
#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>

#include "history/HistoryCharts.h"
#include "history/HistorySpool.h"
#include "history/HistoryWorker.h"
#include "history/SqlHistory.h"
#include "file_size_limit.h"
#include "scratch_dir.h"
#include "sys/FileLock.h"
#include "sys/Files.h"

// Every case runs against both databases: SQLite in a scratch folder, and the PostgreSQL server
// named by QUBRA_TEST_PG_URL (./test.sh starts one), each test in a database of its own.
namespace {

[[maybe_unused]] const bool kUtc = (setenv("TZ", "UTC", 1), true);  // before Qt reads the zone

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "tests_history";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

QJsonObject Run(const char* id, const char* name, const char* device, const char* result,
                const char* start, const char* station, const char* package, double seconds,
                const char* failed = "") {
  QJsonArray instructions{QJsonObject{{"script", QString(package) + "script.ini"},
                                      {"line", 3},
                                      {"text", "SYN"},
                                      {"result", "done"},
                                      {"seconds", 1.5}}};
  if (*failed)
    instructions.append(QJsonObject{{"text", failed}, {"result", "failed"}, {"line", 9}});
  return {{"id", id},
          {"station", station},
          {"name", QString::fromUtf8(name)},
          {"device", QJsonObject{{"type", "35"}, {"id", device}, {"boot_checksum", "E000"}}},
          {"start", start},
          {"end", start},
          {"seconds", seconds},
          {"result", result},
          {"script", QString(package) + "script.ini"},
          {"link", "tcp 127.0.0.1:9"},
          {"seal", QJsonObject{{"key_id", "K1"}, {"manifest_sha256", "ab"}}},
          {"error", *failed ? "no answer" : ""},
          {"instructions", instructions},
          {"files", QJsonArray{QJsonObject{{"path", "/p/B.HEX"}, {"sha256", "00ff"}}}},
          {"versions_read", QJsonArray{QJsonObject{{"instruction", "T"}, {"version", "0101"}}}},
          {"versions_written", QJsonArray{}}};
}

const QJsonObject kRuns[] = {
    Run("r1", "qb-0411", "DEV-1", "completed", "2024-03-01T08:00:00.000Z", "st-a", "/pkg/a/", 10),
    Run("r2", "qb-0412", "DEV-2", "error", "2024-03-01T09:00:00.000Z", "st-a", "/pkg/a/", 4,
        "P0 BANK0.HEX"),
    Run("r3", "qb-0412", "DEV-2", "completed", "2024-03-02T10:00:00.000Z", "st-b", "/pkg/b/", 12),
    Run("r4", "'; DROP TABLE runs; --", "DEV-7", "error", "2024-03-02T11:00:00.000Z", "st-b",
        "/pkg/b/", 8, "P8 PROM1.SVF"),
    Run("r5", "qb\xc3\xa9-05", "DEV-5", "stopped", "2024-03-03T12:00:00.000Z", "st-a", "/pkg/a/",
        2),
    Run("r6", "qb-0%1", "DEV-6", "error", "2024-03-03T13:00:00.000Z", "st-b", "/pkg/b/", 6,
        "P0 BANK0.HEX")};

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class History : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    App();
    setenv("XDG_DATA_HOME", dir.Path().c_str(), 1);  // the spool goes here, not to a home
    if (GetParam() == "sqlite") {
      Url = "sqlite:" + dir.Path() + "h\xc3\xbc.sqlite";
      return;
    }
    const char* server = std::getenv("QUBRA_TEST_PG_URL");
    if (!server) GTEST_SKIP() << "QUBRA_TEST_PG_URL is not set: the PostgreSQL half is skipped";
    static int counter = 0;
    Database = "qubra_t" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    ASSERT_TRUE(Admin(server, "CREATE DATABASE " + Database));
    Url = std::string(server).substr(0, std::string(server).rfind('/') + 1) + Database;
  }
  void TearDown() override {
    if (!Database.empty())
      Admin(std::getenv("QUBRA_TEST_PG_URL"), "DROP DATABASE " + Database + " WITH (FORCE)");
  }
  bool Postgres() const { return GetParam() == "postgresql"; }
  // A connection of the test's own, for what only SQL says (a lock, a trigger).
  static std::unique_ptr<TSqlHistory> Sql(const std::string& text, int seconds = 60) {
    THistoryUrl url;
    std::string error;
    EXPECT_TRUE(ParseHistoryUrl(text, url, error)) << error;
    auto sql = url.Kind == THistoryUrl::hkPOSTGRESQL ? MakePostgresHistory(url, seconds)
                                                     : MakeSqliteHistory(url, seconds);
    EXPECT_TRUE(sql->Open(error)) << error;
    return sql;
  }
  static bool Admin(const std::string& server, const std::string& sql) {
    std::string error;
    const bool ok = Sql(server)->ExecText(QString::fromStdString(sql), error);
    EXPECT_EQ(error, "");
    return ok;
  }
  std::unique_ptr<THistory> Open(int seconds = kQuestionSeconds) {
    THistoryUrl url;
    std::string error;
    std::unique_ptr<THistory> history;
    EXPECT_TRUE(ParseHistoryUrl(Url, url, error) && OpenHistory(url, seconds, history, error))
        << error;
    return history;
  }
  void Fill() {
    auto history = Open();
    for (const QJsonObject& r : kRuns) {
      bool added = false;
      std::string error;
      ASSERT_TRUE(history->Keep(r, added, error)) << error;
    }
  }
  std::vector<std::string> Ids(const THistoryFilter& filter) {
    std::vector<THistoryRun> runs;
    std::string error;
    EXPECT_TRUE(Open()->List(filter, 0, false, runs, error)) << error;
    std::vector<std::string> ids;
    for (const THistoryRun& r : runs) ids.push_back(r.Id.toStdString());
    return ids;
  }
  // The lock another writer holds: SQLite's write lock, PostgreSQL's on the table.
  std::unique_ptr<TSqlHistory> HoldLock() {
    auto holder = Sql(Url);
    std::string error;
    EXPECT_TRUE(holder->ExecText(Postgres() ? "BEGIN" : "BEGIN IMMEDIATE", error) &&
                (!Postgres() || holder->ExecText("LOCK TABLE runs IN EXCLUSIVE MODE", error)))
        << error;
    return holder;
  }
  std::string Spool() const { return DefaultHistorySpool(); }
  THistoryOpener Opener() {
    return [this](const std::string& url, std::string& why) -> THistory* {
      THistoryUrl where;
      std::unique_ptr<THistory>& h = Opened[url];
      if (!h && ParseHistoryUrl(url, where, why)) (void)OpenHistory(where, 2, h, why);
      return h.get();
    };
  }
  ScratchDir dir;
  std::string Url, Database;
  std::map<std::string, std::unique_ptr<THistory>> Opened;
};

QString Utc(const char* when, bool until = false) {
  QString utc;
  std::string error;
  EXPECT_TRUE(ParseWhen(when, until, QDateTime::currentDateTime(), utc, error)) << error;
  return utc;
}

TEST_P(History, WhoWhenAndResultChooseTheRunsNewestFirst) {
  Fill();
  const struct {
    THistoryFilter Filter;
    std::vector<std::string> Ids;
  } cases[] = {
      {{}, {"r6", "r5", "r4", "r3", "r2", "r1"}},
      {{"qb-04*"}, {"r3", "r2", "r1"}},
      {{"qb-041?"}, {"r3", "r2", "r1"}},
      {{"qb-0412"}, {"r3", "r2"}},
      {{"QB-0412"}, {}},
      {{"DEV-7"}, {"r4"}},
      {{"'; DROP TABLE runs; --"}, {"r4"}},
      {{"qb-0%*"}, {"r6"}},  // % is a character here, not a pattern
      {{"qb\xc3\xa9-0?"}, {"r5"}},
      {{"", Utc("2024-03-02")}, {"r6", "r5", "r4", "r3"}},
      {{"", "", Utc("2024-03-01", true)}, {"r2", "r1"}},
      {{"", Utc("2024-03-01 09:00"), Utc("2024-03-02", true)}, {"r4", "r3", "r2"}},
      {{"", "", "", "error"}, {"r6", "r4", "r2"}},
      {{"qb-0412", "", "", "error"}, {"r2"}},
      {{"qb-0412", "", "", "", "st-b"}, {"r3"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Ids(c.Filter), c.Ids) << c.Filter.Who;
  // Only a day given alone counts whole: two days ago is that moment, not a day later.
  const QDateTime now = QDateTime::currentDateTime();
  QString utc;
  std::string error;
  ASSERT_TRUE(ParseWhen("2d", true, now, utc, error));
  EXPECT_EQ(utc, now.addDays(-2).toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzzZ"));
  EXPECT_FALSE(ParseWhen("soon", false, now, utc, error));
  EXPECT_EQ(error.rfind("not a time", 0), 0u) << error;
}

TEST_P(History, SummaryCountsMediansAndTheInstructionFailedAt) {
  Fill();
  {
    // The instruction failed at most often is not the first in order; a run that failed before
    // a device answered is counted as such, and ties are kept.
    QJsonObject early = ::Run("r8", "qb-0414", "", "error", "2024-03-03T14:00:00.000Z", "st-a",
                              "/pkg/a/", 1);
    early["device"] = QJsonObject{};
    auto history = Open();
    for (const QJsonObject& r : {::Run("r7", "qb-0413", "DEV-8", "error",
                                       "2024-03-02T12:00:00.000Z", "st-b", "/pkg/b/", 9,
                                       "P8 PROM1.SVF"),
                                 early}) {
      bool added = false;
      std::string error;
      ASSERT_TRUE(history->Keep(r, added, error)) << error;
    }
  }
  auto text = [](const std::vector<THistoryGroup>& groups) {
    std::string out;
    for (const THistoryGroup& g : groups) {
      std::string key = g.Key, failed;
      std::replace(key.begin(), key.end(), kKeyParts, '|');
      for (const std::string& f : g.MostFailedAt) failed += f + "|";
      out += key + "," + std::to_string(g.Runs) + "," + std::to_string(g.Completed) + "," +
             std::to_string(g.Errors) + "," + std::to_string(g.Stopped) + "," +
             QString::number(g.MedianSeconds, 'f', 1).toStdString() + "," + failed + "x" +
             std::to_string(g.MostFailedTimes) + ";";
    }
    return out;
  };
  const std::string early = "(before a device answered)";
  const struct {
    EHistoryGroup By;
    THistoryFilter Filter;
    std::string Groups;
  } cases[] = {
      {EHistoryGroup::hgDAY,
       {},
       "2024-03-01,2,1,1,0,7.0,P0 BANK0.HEX|x1;2024-03-02,3,1,2,0,9.0,P8 PROM1.SVF|x2;"
       "2024-03-03,3,0,2,1,2.0," + early + "|P0 BANK0.HEX|x1;"},
      {EHistoryGroup::hgSTATION,
       {},
       "st-a,4,1,2,1,3.0," + early + "|P0 BANK0.HEX|x1;st-b,4,1,3,0,8.5,P8 PROM1.SVF|x2;"},
      {EHistoryGroup::hgINSTRUCTION,
       {},
       ",3,2,0,1,10.0,x0;" + early + ",1,0,1,0,1.0," + early +
           "|x1;P0 BANK0.HEX,2,0,2,0,5.0,P0 BANK0.HEX|x2;P8 PROM1.SVF,2,0,2,0,8.5,P8 "
           "PROM1.SVF|x2;"},
      {EHistoryGroup::hgPACKAGE,
       {"", "", "", "error"},
       "/pkg/a/,2,0,2,0,2.5," + early + "|P0 BANK0.HEX|x1;/pkg/b/,3,0,3,0,8.0,P8 PROM1.SVF|x2;"},
      {EHistoryGroup::hgDAYINSTRUCTION,
       {"", "", "", "error"},
       "2024-03-01|P0 BANK0.HEX,1,0,1,0,4.0,P0 BANK0.HEX|x1;2024-03-02|P8 PROM1.SVF,2,0,2,0,8.5,"
       "P8 PROM1.SVF|x2;2024-03-03|" + early + ",1,0,1,0,1.0," + early +
           "|x1;2024-03-03|P0 BANK0.HEX,1,0,1,0,6.0,P0 BANK0.HEX|x1;"},
  };
  for (const auto& c : cases) {
    std::vector<THistoryGroup> groups;
    std::string error;
    ASSERT_TRUE(Open()->Summarize(c.Filter, c.By, groups, error)) << error;
    EXPECT_EQ(text(groups), c.Groups);
  }
  // Days are the station's: 20:00 UTC is the next day in India.
  bool added = false;
  std::string error;
  ASSERT_TRUE(Open()->Keep(::Run("r9", "qb-9", "D9", "completed", "2024-03-01T20:00:00.000Z",
                                 "st-c", "/pkg/c/", 3),
                           added, error));
  for (const char* zone : {"Asia/Kolkata", "UTC"}) {
    setenv("TZ", zone, 1);
    tzset();
    std::vector<THistoryGroup> groups;
    ASSERT_TRUE(Open()->Summarize({"", "", "", "", "st-c"}, EHistoryGroup::hgDAY, groups, error));
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].Key, zone[0] == 'U' ? "2024-03-01" : "2024-03-02") << zone;
  }
}

// The pictures' numbers: every day of the bounds asked, those without runs as zero; the
// seconds of the completed runs alone; ten instructions, most first, ties by name; the errors
// before any instruction apart; every station's runs whatever station asks.
TEST_P(History, ChartsCountEachDayTheTenInstructionsMostFailedAndZeroDays) {
  Fill();
  {
    auto history = Open();
    std::vector<QJsonObject> more = {
        ::Run("c1", "qb-1", "D1", "completed", "2024-03-05T08:00:00.000Z", "st-a", "/p/", 20),
        ::Run("c2", "qb-1", "D1", "completed", "2024-03-05T09:00:00.000Z", "st-a", "/p/", 30),
        ::Run("c3", "qb-1", "", "error", "2024-03-05T09:30:00.000Z", "st-a", "/p/", 1)};
    more.back()["device"] = QJsonObject{};
    for (int i = 1; i <= 11; ++i) {
      const std::string n = QString::asprintf("I%02d", i).toStdString();
      more.push_back(::Run(("e" + n).c_str(), "qb-2", "D2", "error", "2024-03-05T10:00:00.000Z",
                           "st-a", "/p/", 3, n.c_str()));
    }
    int added = 0;
    std::string error;
    ASSERT_TRUE(history->Import(more, added, error)) << error;
  }
  THistoryFilter filter{"", Utc("2024-02-29"), Utc("2024-03-05", true)};
  THistoryCharts c;
  std::string error, text;
  ASSERT_TRUE(AskCharts(*Open(), filter, c, error)) << error;
  for (const TChartDay& d : c.Days)
    text += d.Day + ":" + std::to_string(d.Completed) + "/" + std::to_string(d.Errors) + "/" +
            std::to_string(d.Stopped) + " " + QString::number(d.MedianSeconds).toStdString() +
            "-" + QString::number(d.SlowestSeconds).toStdString() + ";";
  EXPECT_EQ(text,
            "2024-02-29:0/0/0 0-0;2024-03-01:1/1/0 10-10;2024-03-02:1/1/0 12-12;"
            "2024-03-03:0/1/1 0-0;2024-03-04:0/0/0 0-0;2024-03-05:2/12/0 25-30;");
  text.clear();
  for (const TChartBar& b : c.Failed) text += b.Label + "=" + std::to_string(b.Count) + ";";
  EXPECT_EQ(text, "P0 BANK0.HEX=2;I01=1;I02=1;I03=1;I04=1;I05=1;I06=1;I07=1;I08=1;I09=1;");
  EXPECT_EQ(c.Before.Count, 1);
  text.clear();
  for (const TChartStation& st : c.Stations)
    text += st.Station + "=" + std::to_string(st.Runs) + "/" + std::to_string(st.Errors) + ";";
  EXPECT_EQ(text, "st-a=17/13;st-b=3/2;");
  // Asked for one station's runs, the days count that station's alone.
  filter.Station = "st-b";
  ASSERT_TRUE(AskCharts(*Open(), filter, c, error)) << error;
  EXPECT_EQ(c.Days[5].Completed + c.Days[5].Errors, 0);
  EXPECT_EQ(c.Days[1].Errors + c.Days[2].Errors, 1);
}

// What a record holds comes back whole, once however often it is sent; the indexed columns of
// an overlong value are cut, never the record, on both databases alike.
TEST_P(History, ARecordComesBackWholeAndOnceHoweverOftenSent) {
  QJsonObject big = kRuns[1];
  big["error"] = QString(10 * 1024 * 1024, 'e') + QChar(0) + QString::fromLatin1("\xe9\xff");
  big["name"] =
      QString::fromLatin1("qb\xe9\x01");  // a device's Latin-1 bytes, as records keep them
  QJsonObject wide = kRuns[2];
  const QString long_text(3000, QChar(0x00e9));
  wide["id"] = "wide";
  wide["name"] = wide["station"] = "W" + long_text;
  wide["device"] = QJsonObject{{"id", long_text}, {"type", long_text}};
  wide["script"] = long_text + "/script.ini";
  wide["instructions"] = QJsonArray{QJsonObject{{"text", long_text}, {"result", "failed"}}};
  auto history = Open();
  for (const QJsonObject& r : {big, wide})
    for (const bool expected : {true, false}) {
      bool added = !expected;
      std::string error;
      ASSERT_TRUE(history->Keep(r, added, error)) << error;
      EXPECT_EQ(added, expected);
    }
  std::vector<THistoryRun> runs;
  std::string error;
  ASSERT_TRUE(history->List({}, 0, true, runs, error)) << error;
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(QJsonDocument::fromJson(runs[0].Record).object(), wide);
  EXPECT_EQ(QJsonDocument::fromJson(runs[1].Record).object(), big);
  EXPECT_EQ(runs[0].Name.size(), 160);
  EXPECT_EQ(Ids({QString::fromLatin1("qb\xe9\x01").toStdString()}), std::vector<std::string>{"r2"});
}

// A history of the schema before the views, its times kept as text, with runs in it, is
// brought forward in one step: its runs answer as before, the views count them, and on
// PostgreSQL the times and records have the types a reader's own queries take.
TEST_P(History, AnOlderHistoryIsBroughtForwardAndItsViewsCountPerDay) {
  std::string error;
  {
    auto old = Sql(Url);
    QStringList sql = {"DROP VIEW runs_per_day", "DROP VIEW failures_per_day",
                       "DROP TABLE versions",    "DROP TABLE files",
                       "DROP TABLE instructions", "DROP TABLE runs",
                       "UPDATE schema_version SET version = 3"};
    for (int step = 0; step < 3; ++step) sql += SharedSchemaStep(step);
    for (const char* run : {"r1 st-a 2024-03-01T08:00:00.000Z completed ",
                            "r2 st-a 2024-03-01T09:00:00.000Z error P0",
                            "r3 st-b 2024-03-02T10:00:00.000Z error P8",
                            "r4 st-b yesterday completed "}) {
      const QStringList f = QString(run).split(' ');
      sql << QString("INSERT INTO runs VALUES ('%1', '%2', '%3', '%3', 1, 'n', '', '', '', '', "
                     "'', '', '', '%4', '', '%5', '{\"id\": \"%1\"}')")
                 .arg(f[0], f[1], f[2], f[3], f[4]);
    }
    for (const QString& statement : sql) ASSERT_TRUE(old->ExecText(statement, error)) << error;
  }
  auto sql = Sql(Url);
  ASSERT_TRUE(!Postgres() || sql->ExecText("SET TIME ZONE 'UTC'", error)) << error;
  EXPECT_EQ(Ids({}), (std::vector<std::string>{"r3", "r2", "r1", "r4"}));
  std::vector<THistoryRun> runs;
  ASSERT_TRUE(Open()->List({}, 1, true, runs, error)) << error;
  EXPECT_EQ(runs[0].Started.toStdString(), "2024-03-02T10:00:00.000Z");
  EXPECT_EQ(runs[0].Record.toStdString(), "{\"id\": \"r3\"}");
  const std::pair<QString, std::vector<std::string>> cases[] = {
      {"SELECT day, station, result, runs FROM runs_per_day ORDER BY 1, 2, 3",
       {"1970-01-01 st-b completed 1", "2024-03-01 st-a completed 1", "2024-03-01 st-a error 1",
        "2024-03-02 st-b error 1"}},
      {"SELECT day, station, instruction, failures FROM failures_per_day ORDER BY 1, 2, 3",
       {"2024-03-01 st-a P0 1", "2024-03-02 st-b P8 1"}},
      {Postgres() ? "SELECT column_name, data_type, 0 FROM information_schema.columns WHERE "
                    "column_name IN ('started', 'record', 'written') ORDER BY 1"
                  : "SELECT '', '', '', 0 WHERE 0",
       Postgres() ? std::vector<std::string>{" record json 0",
                                             " started timestamp with time zone 0",
                                             " written boolean 0"}
                  : std::vector<std::string>{}}};
  for (const auto& [query, rows] : cases) {
    QSqlQuery q = sql->Query();
    ASSERT_TRUE(q.exec(query)) << q.lastError().text().toStdString();
    std::vector<std::string> got;
    const int columns = q.record().count();
    while (q.next())
      got.push_back(q.value(0).toDate().toString("yyyy-MM-dd").toStdString() + " " +
                    q.value(columns - 3).toString().toStdString() + " " +
                    q.value(columns - 2).toString().toStdString() + " " +
                    q.value(columns - 1).toString().toStdString());
    EXPECT_EQ(got, rows) << query.toStdString();
  }
}

TEST_P(History, ANewerSchemaIsRefusedAndLeftAsItIs) {
  auto sql = Sql(Url);
  std::string error;
  ASSERT_TRUE(sql->ExecText("UPDATE schema_version SET version = 99", error)) << error;
  THistoryUrl url;
  ASSERT_TRUE(ParseHistoryUrl(Url, url, error));
  std::unique_ptr<THistory> again;
  EXPECT_FALSE(OpenHistory(url, 5, again, error));
  EXPECT_EQ(error, "history database " + url.Shown +
                       " has schema version 99, newer than this program's 4; it is left as it is "
                       "(use a newer qubra-updater)");
  QSqlQuery q = sql->Query();
  ASSERT_TRUE(q.exec("SELECT version FROM schema_version") && q.next());
  EXPECT_EQ(q.value(0).toInt(), 99);
}

// A database another holds locked never holds a run: past the time limit the record waits in
// the spool, a stop sends it there at once, and the sync after the lock is gone sends it once.
TEST_P(History, ALockedDatabaseSendsTheRecordToTheSpool) {
  Open().reset();  // the schema, before the lock
  auto holder = HoldLock();
  THistoryWorker& worker = THistoryWorker::Process();
  std::string notice;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(worker.KeepWithin(Url, kRuns[0], 30, nullptr, notice));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
  EXPECT_NE(notice.find("): kept in " + Spool()), std::string::npos) << notice;
  // Found unreachable: the next is spooled without a second wait; a stop spools at once.
  EXPECT_FALSE(worker.KeepWithin(Url, kRuns[1], 30, [] { return true; }, notice));
  EXPECT_FALSE(worker.KeepWithin(Url, kRuns[1], 30, nullptr, notice));
  ASSERT_TRUE(worker.Finish(30));
  holder.reset();
  TSyncCount count;
  std::string error;
  ASSERT_TRUE(SyncSpool(Spool(), true, Opener(), count, error)) << error;
  EXPECT_EQ(std::tie(count.Sent, count.Already, count.Kept), std::make_tuple(2, 0, 0));
  EXPECT_EQ(Ids({}), std::vector<std::string>({"r2", "r1"}));
  EXPECT_EQ(Lines(Spool()).size(), 0u);
}

// What the database itself refuses costs its own record: the others of the sync go in, and it
// stays in the spool once.
TEST_P(History, ARecordTheDatabaseRefusesStaysInTheSpoolOnce) {
  auto sql = Sql(Url);
  std::string error;
  ASSERT_TRUE(sql->ExecText(
      Postgres() ? "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
                   "$$BEGIN RAISE EXCEPTION 'refused'; END$$"
                 : "CREATE TRIGGER refuse BEFORE INSERT ON runs WHEN NEW.name = 'refused' "
                   "BEGIN SELECT RAISE(ABORT, 'refused'); END",
      error))
      << error;
  ASSERT_TRUE(!Postgres() ||
              sql->ExecText("CREATE TRIGGER refuse BEFORE INSERT ON runs FOR EACH ROW WHEN "
                            "(NEW.name = 'refused') EXECUTE FUNCTION refuse()",
                            error))
      << error;
  QJsonObject refused = kRuns[0];
  refused["id"] = "x";
  refused["name"] = "refused";
  for (const QJsonObject& r : {refused, kRuns[0], refused, kRuns[1]})
    ASSERT_TRUE(SpoolRun(Spool(), Url, r, error)) << error;
  for (int sync = 0; sync < 2; ++sync) {
    TSyncCount count;
    ASSERT_TRUE(SyncSpool(Spool(), true, Opener(), count, error)) << error;
    EXPECT_EQ(count.Kept, 1);
    EXPECT_EQ(Lines(Spool()).size(), 1u);
  }
  EXPECT_EQ(Ids({}), std::vector<std::string>({"r2", "r1"}));
}

TEST_P(History, SixtyFourWritersAtOnceLoseNoRun) {
  // Qt's own threads: a thread Qt adopts leaves its bookkeeping behind when it ends.
  std::vector<std::unique_ptr<QThread>> writers;
  std::vector<std::string> errors(64);
  Open().reset();
  for (int w = 0; w < 64; ++w) {
    writers.emplace_back(QThread::create([&, w] {
      auto history = Open();
      for (int i = 0; i < 3 && history; ++i) {
        QJsonObject r = kRuns[i];
        r["id"] = QString("w%1-%2").arg(w).arg(i);
        bool added = false;
        if (!history->Keep(r, added, errors[w])) return;
      }
    }));
    writers.back()->start();
  }
  for (auto& t : writers) t->wait();
  for (const std::string& e : errors) EXPECT_EQ(e, "");
  EXPECT_EQ(Ids({}).size(), 192u);
}

INSTANTIATE_TEST_SUITE_P(Backends, History, testing::Values("sqlite", "postgresql"));

// A history that answers as told: for the spool's cases that need no database.
class TFakeHistory : public THistory {
 public:
  bool Keep(const QJsonObject& record, bool& added, std::string& error) override {
    ++Tries;
    if (Down) return error = "down", false;
    added = Ids.insert(record["id"].toString().toStdString()).second;
    return true;
  }
  bool Import(const std::vector<QJsonObject>&, int&, std::string&) override { return false; }
  bool List(const THistoryFilter&, int, bool, std::vector<THistoryRun>&, std::string&) override {
    return false;
  }
  bool Summarize(const THistoryFilter&, EHistoryGroup, std::vector<THistoryGroup>&,
                 std::string&) override {
    return false;
  }
  bool Limit(int, std::string&) override { return true; }
  bool Unreachable() const override { return Down; }
  const THistoryUrl& Where() const override { return Url; }
  bool Down = false;
  int Tries = 0;
  std::set<std::string> Ids;
  THistoryUrl Url;
};

// The spool holds each run not yet sent once, whatever syncs ran, ended early or met a
// database that did not answer; it tears no line and takes no line for a database.
TEST(Spool, HoldsEachRunNotYetSentOnce) {
  App();
  ScratchDir dir;
  const std::string spool = dir.Path() + "history.spool";
  TFakeHistory fake;
  std::set<std::string> asked;
  const THistoryOpener open = [&](const std::string& url, std::string& why) -> THistory* {
    asked.insert(url);
    if (url != "db:a") return why = "no such database", nullptr;
    return &fake;
  };
  std::string error;
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(SpoolRun(spool, "db:a", QJsonObject{{"id", QString::number(i)}}, error));
  struct stat st {};
  ASSERT_EQ(::stat(spool.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);  // records are the owner's alone
  // An earlier sync that ended early left its piece: the same runs again, and a line torn.
  std::ifstream in(spool);
  dir.Write("history.spool.sending-old",
            std::string(std::istreambuf_iterator<char>(in), {}) + "{\"db\":\"\",\"rec\n");
  fake.Down = true;
  TSyncCount count;
  ASSERT_TRUE(SyncSpool(spool, true, open, count, error)) << error;
  // One try: a database that did not answer is not asked again for each record.
  EXPECT_EQ(fake.Tries, 1);
  EXPECT_EQ(std::tie(count.Kept, count.SetAside), std::make_tuple(5, 1));
  EXPECT_EQ(Lines(spool).size(), 5u);
  EXPECT_EQ(Lines(spool + ".refused").size(), 1u);
  // Another sync at work: this one leaves the spool to it.
  {
    TFileLock other;
    ASSERT_TRUE(other.Take(spool + ".sync", 0, error));
    TSyncCount busy;
    EXPECT_TRUE(SyncSpool(spool, false, open, busy, error));
    EXPECT_TRUE(busy.Busy);
  }
  fake.Down = false;
  count = {};
  ASSERT_TRUE(SyncSpool(spool, true, open, count, error)) << error;
  EXPECT_EQ(std::tie(count.Sent, count.Kept), std::make_tuple(5, 0));
  EXPECT_EQ(Lines(spool).size(), 0u);
  EXPECT_EQ(asked, std::set<std::string>{"db:a"});  // none for the torn line
}

// A spool write that fails leaves whole lines only, and the next record, with room again, is
// sent by the next sync; past its bound the spool takes nothing more.
TEST(Spool, AFullDiskTearsNoLine) {
  App();
  ScratchDir dir;
  const std::string spool = dir.Path() + "history.spool";
  std::string error;
  ASSERT_TRUE(SpoolRun(spool, "db:a", QJsonObject{{"id", "1"}}, error));
  bool written = true;
  ASSERT_TRUE(WithFileSizeLimit(100, [&] {
    written = SpoolRun(spool, "db:a", QJsonObject{{"id", QString(200, '2')}}, error);
  }));
  EXPECT_FALSE(written);
  EXPECT_EQ(error, "cannot write the spool " + spool + ": File too large");
  ASSERT_TRUE(SpoolRun(spool, "db:a", QJsonObject{{"id", "3"}}, error));
  TFakeHistory fake;
  TSyncCount count;
  ASSERT_TRUE(SyncSpool(
      spool, true, [&](const std::string&, std::string&) -> THistory* { return &fake; }, count,
      error));
  EXPECT_EQ(fake.Ids, (std::set<std::string>{"1", "3"}));
  EXPECT_EQ(count.SetAside, 0);
  // The bound: a record that would pass it is refused, the spool left as it was.
  dir.Write("history.spool", std::string(kSpoolMaxBytes - 10, ' '));
  EXPECT_FALSE(SpoolRun(spool, "db:a", QJsonObject{{"id", "4"}}, error));
  EXPECT_EQ(error, "cannot write the spool " + spool + ": it would grow past 64 MiB");
}

TEST(HistoryUrl, NamesWhatIsWrongAndNeverASecret) {
  const struct {
    const char* Text;
    const char* Error;
  } cases[] = {
      {"mysql://h/db",
       "history database mysql://h/db: not sqlite:PATH, postgresql://user@host:port/db or none"},
      {"sqlite:", "history database sqlite:: names no file (sqlite:PATH)"},
      {"postgresql://u:secret@h/db",
       "history database postgresql://u:***@h/db: holds a password; put it in ~/.pgpass or "
       "PGPASSWORD instead"},
      {"postgresql://u:se%20cret@h/db",
       "history database postgresql://u:***@h/db: holds a password; put it in ~/.pgpass or "
       "PGPASSWORD instead"},
      {"postgresql://u:se cret@h o/db", "history database postgresql://u:***@h o/db: not a valid URL"},
      {"postgresql://u@h/db?password=secret",
       "history database postgresql://u@h/db?...: holds a password; put it in ~/.pgpass or "
       "PGPASSWORD instead"},
      {"postgresql://u@h:5432",
       "history database postgresql://u@h:5432: names no database "
       "(postgresql://user@host:port/db)"},
      {"postgresql://u@h/db?passwd=secret",
       "history database postgresql://u@h/db?...: unknown option passwd"},
      {"postgresql://u@h/db?sslmode=a;password=secret",
       "history database postgresql://u@h/db?...: option sslmode holds ';'"},
  };
  for (const auto& c : cases) {
    THistoryUrl url;
    std::string error;
    EXPECT_FALSE(ParseHistoryUrl(c.Text, url, error));
    EXPECT_EQ(error, c.Error);
  }
  // An option's value is one value: it cannot add a setting of its own.
  THistoryUrl url;
  std::string error;
  ASSERT_TRUE(ParseHistoryUrl(
      "postgresql://u@h/db?application_name=x%20password=s%27%5C%20dbname=other", url, error));
  EXPECT_EQ(url.Options, "application_name='x password=s\\'\\\\ dbname=other';connect_timeout='5'");
  // A relative SQLite path is the same file from any folder.
  ASSERT_TRUE(ParseHistoryUrl("sqlite:runs.sqlite", url, error));
  EXPECT_EQ(url.Text, "sqlite:" + CurrentFolder() + "runs.sqlite");
}

}  // namespace
