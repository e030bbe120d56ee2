#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "history/HistoryCommand.h"
#include "history/HistorySpool.h"
#include "scratch_dir.h"

// Every case runs against both databases: SQLite in a scratch folder, and the PostgreSQL server
// named by QUBRA_TEST_PG_URL (./test.sh starts one), each test in a database of its own.
namespace {

[[maybe_unused]] const bool kUtc = (setenv("TZ", "UTC", 1), true);  // before Qt reads the zone

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

class History : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
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
  static bool Admin(const std::string& server, const std::string& sql) {
    THistoryStore admin;
    THistoryUrl url;
    std::string error;
    const bool ok = ParseHistoryUrl(server, url, error) && admin.Open(url, error) &&
                    admin.ExecText(QString::fromStdString(sql), error);
    EXPECT_EQ(error, "");
    return ok;
  }
  void Open(THistoryStore& store) {
    THistoryUrl url;
    std::string error;
    ASSERT_TRUE(ParseHistoryUrl(Url, url, error) && store.Open(url, error)) << error;
  }
  void Fill() {
    THistoryStore store;
    Open(store);
    for (const QJsonObject& r : kRuns) {
      bool added = false;
      std::string error;
      ASSERT_TRUE(store.Insert(r, added, error)) << error;
    }
  }
  int Ask(THistoryRequest request, std::string& out, std::string& err) {
    request.Db = Url;
    std::ostringstream o, e;
    const int status = HistoryCommand(request, o, e);
    out = o.str();
    err = e.str();
    return status;
  }
  std::vector<std::string> Ids(const THistoryRequest& request) {
    std::string out, err;
    EXPECT_EQ(Ask(request, out, err), 0) << err;
    std::vector<std::string> ids;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      ids.push_back(
          QJsonDocument::fromJson(QByteArray::fromStdString(line))["id"].toString().toStdString());
    return ids;
  }
  ScratchDir dir;
  std::string Url, Database;
};

THistoryRequest Asking(THistoryFilter filter, const char* format = "json") {
  THistoryRequest r;
  r.Filter = std::move(filter);
  r.Format = format;
  return r;
}

TEST_P(History, WhoWhenAndResultChooseTheRunsNewestFirst) {
  Fill();
  const struct {
    THistoryFilter Filter;
    std::vector<std::string> Ids;
  } cases[] = {
      {{"", "", "", ""}, {"r6", "r5", "r4", "r3", "r2", "r1"}},
      {{"qb-04*", "", "", ""}, {"r3", "r2", "r1"}},
      {{"qb-041?", "", "", ""}, {"r3", "r2", "r1"}},
      {{"qb-0412", "", "", ""}, {"r3", "r2"}},
      {{"QB-0412", "", "", ""}, {}},
      {{"DEV-7", "", "", ""}, {"r4"}},
      {{"'; DROP TABLE runs; --", "", "", ""}, {"r4"}},
      {{"qb-0%*", "", "", ""}, {"r6"}},  // % is a character here, not a pattern
      {{"qb\xc3\xa9-0?", "", "", ""}, {"r5"}},
      {{"", "2024-03-02", "", ""}, {"r6", "r5", "r4", "r3"}},
      {{"", "", "2024-03-01", ""}, {"r2", "r1"}},
      {{"", "2024-03-01 09:00", "2024-03-02", ""}, {"r4", "r3", "r2"}},
      {{"", "", "", "error"}, {"r6", "r4", "r2"}},
      {{"qb-0412", "", "", "error"}, {"r2"}},
      {{"qb-0412", "", "", "", "st-b"}, {"r3"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Ids(Asking(c.Filter)), c.Ids) << c.Filter.Who;
  std::string out, err;
  EXPECT_EQ(Ask(Asking({"", "", "", "done"}), out, err), 2);
  EXPECT_EQ(err, "qubra-updater: --result done: not completed, error or stopped\n");
  EXPECT_EQ(Ask(Asking({"", "soon", "", ""}), out, err), 2);
  EXPECT_NE(err.find("--since soon: not a time"), std::string::npos) << err;
  // Only a day given alone counts whole: two days ago is that moment, not a day later.
  const QDateTime now = QDateTime::currentDateTime();
  QString utc;
  ASSERT_TRUE(ParseWhen("--until", "2d", true, now, utc, err));
  EXPECT_EQ(utc, now.addDays(-2).toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

TEST_P(History, SummaryCountsMediansAndTheInstructionFailedAt) {
  Fill();
  {
    // The instruction failed at most often is not the first in order.
    THistoryStore store;
    Open(store);
    bool added = false;
    std::string error;
    ASSERT_TRUE(store.Insert(::Run("r7", "qb-0413", "DEV-8", "error", "2024-03-02T12:00:00.000Z",
                                   "st-b", "/pkg/b/", 9, "P8 PROM1.SVF"),
                             added, error))
        << error;
  }
  const std::string head = "RUNS,COMPLETED,ERROR,STOPPED,MEDIAN SECONDS,MOST FAILED AT\r\n";
  const struct {
    const char* By;
    THistoryFilter Filter;
    std::string Csv;
  } cases[] = {
      {"day",
       {},
       "DAY," + head + "2024-03-03,2,0,1,1,4.0,P0 BANK0.HEX\r\n" +
           "2024-03-02,3,1,2,0,9.0,P8 PROM1.SVF\r\n2024-03-01,2,1,1,0,7.0,P0 BANK0.HEX\r\n"},
      {"station",
       {},
       "STATION," + head + "st-a,3,1,1,1,4.0,P0 BANK0.HEX\r\n" +
           "st-b,4,1,3,0,8.5,P8 PROM1.SVF\r\n"},
      {"instruction",
       {},
       "INSTRUCTION," + head + "-,3,2,0,1,10.0,\r\n" +
           "P0 BANK0.HEX,2,0,2,0,5.0,P0 BANK0.HEX\r\nP8 PROM1.SVF,2,0,2,0,8.5,P8 PROM1.SVF\r\n"},
      {"package",
       {"", "", "", "error"},
       "PACKAGE," + head + "/pkg/a/,1,0,1,0,4.0,P0 BANK0.HEX\r\n" +
           "/pkg/b/,3,0,3,0,8.0,P8 PROM1.SVF\r\n"},
      {"week", {}, ""},
  };
  for (const auto& c : cases) {
    THistoryRequest request = Asking(c.Filter, "csv");
    request.Action = THistoryRequest::haSUMMARY;
    request.By = c.By;
    std::string out, err;
    EXPECT_EQ(Ask(request, out, err), c.Csv.empty() ? 2 : 0) << err;
    EXPECT_EQ(out, c.Csv) << c.By;
    if (c.Csv.empty()) {
      EXPECT_EQ(err, "qubra-updater: --by week: not day, station, package or instruction\n");
    }
  }
}

TEST_P(History, TheTableFitsTheWidthAndCsvQuotes) {
  Fill();
  std::string out, err;
  THistoryRequest request = Asking({"DEV-7", "", "", ""}, "table");
  request.Width = 50;
  ASSERT_EQ(Ask(request, out, err), 0) << err;
  std::istringstream lines(out);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) EXPECT_LE(line.size(), 50u) << line;
  EXPECT_EQ(count, 2);
  EXPECT_EQ(out.rfind("START", 0), 0u) << out;
  ASSERT_EQ(Ask(Asking({"DEV-7", "", "", ""}, "csv"), out, err), 0) << err;
  EXPECT_NE(out.find("r4,st-b,2024-03-02T11:00:00.000Z"), std::string::npos) << out;
  EXPECT_NE(out.find(",'; DROP TABLE runs; --,35,DEV-7,"), std::string::npos) << out;
}

TEST_P(History, ARecordComesBackWholeAndOnceHoweverOftenSent) {
  QJsonObject big = kRuns[1];
  big["error"] = QString(10 * 1024 * 1024, 'e') + QChar(0) + QString::fromLatin1("\xe9\xff");
  big["name"] =
      QString::fromLatin1("qb\xe9\x01");  // a device's Latin-1 bytes, as records keep them
  THistoryStore store;
  Open(store);
  for (const bool expected : {true, false}) {
    bool added = !expected;
    std::string error;
    ASSERT_TRUE(store.Insert(big, added, error)) << error;
    EXPECT_EQ(added, expected);
  }
  std::string out, err;
  ASSERT_EQ(Ask(Asking({big["name"].toString().toStdString(), "", "", ""}), out, err), 0) << err;
  EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(out)).object(), big);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST_P(History, ImportingAReportTwiceAddsNothing) {
  QByteArray lines;
  for (const QJsonObject& r : {kRuns[0], kRuns[1]}) {
    QJsonObject old = r;
    old.remove("id");
    old.remove("station");
    old["host"] = "old-station";
    lines += QJsonDocument(old).toJson(QJsonDocument::Compact) + '\n';
  }
  // A record the database itself refuses costs its line only, not the lines put in with it.
  dir.Write("old.jsonl", lines.toStdString() + "not json\n{\"name\":\"\xff\"}\n" +
                             "{\"id\":\"x\",\"name\":\"refused\"}\n");
  {
    THistoryStore store;
    Open(store);
    std::string error;
    ASSERT_TRUE(store.ExecText(
        store.Postgres() ? "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
                           "$$BEGIN RAISE EXCEPTION 'refused'; END$$"
                         : "CREATE TRIGGER refuse BEFORE INSERT ON runs WHEN NEW.name = 'refused' "
                           "BEGIN SELECT RAISE(ABORT, 'refused'); END",
        error))
        << error;
    ASSERT_TRUE(!store.Postgres() ||
                store.ExecText("CREATE TRIGGER refuse BEFORE INSERT ON runs FOR EACH ROW WHEN "
                               "(NEW.name = 'refused') EXECUTE FUNCTION refuse()",
                               error))
        << error;
  }
  THistoryRequest request;
  request.Action = THistoryRequest::haIMPORT;
  request.Files = {dir.Path() + "old.jsonl"};
  std::string out, err;
  for (const char* added :
       {"2 runs imported, 0 there already", "0 runs imported, 2 there already"}) {
    EXPECT_EQ(Ask(request, out, err), 1);
    EXPECT_EQ(out, dir.Path() + "old.jsonl: " + added + ", 3 lines refused\n");
    EXPECT_NE(err.find("old.jsonl:3: not a run record"), std::string::npos) << err;
    EXPECT_NE(err.find("old.jsonl:4: not a run record"), std::string::npos) << err;
    EXPECT_NE(err.find("old.jsonl:5: history database"), std::string::npos) << err;
  }
  ASSERT_EQ(Ask(Asking({"qb-041*", "", "", ""}, "csv"), out, err), 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
  EXPECT_NE(out.find(",old-station,"), std::string::npos) << out;
}

TEST_P(History, ANewerSchemaIsRefusedAndLeftAsItIs) {
  {
    THistoryStore store;
    Open(store);
    std::string error;
    ASSERT_TRUE(store.ExecText("UPDATE schema_version SET version = 99", error)) << error;
  }
  THistoryStore again;
  THistoryUrl url;
  std::string error;
  ASSERT_TRUE(ParseHistoryUrl(Url, url, error));
  EXPECT_FALSE(again.Open(url, error));
  EXPECT_EQ(error, "history database " + Url +
                       " has schema version 99, newer than this program's 3; it is left as it is "
                       "(use a newer qubra-updater)");
  QSqlQuery q = again.Query();
  ASSERT_TRUE(q.exec("SELECT version FROM schema_version") && q.next());
  EXPECT_EQ(q.value(0).toInt(), 99);
}

TEST_P(History, ARecordTheDatabaseCannotTakeWaitsInTheSpool) {
  const std::string away = GetParam() == "sqlite"
                               ? "sqlite:" + dir.Path() + "no/such/folder.sqlite"
                               : "postgresql://postgres@127.0.0.1:1/none?connect_timeout=2";
  std::string notice;
  EXPECT_FALSE(KeepRun(away, kRuns[0], notice));
  EXPECT_EQ(notice.rfind("history not written (history database " + away + ": ", 0), 0u) << notice;
  EXPECT_EQ(notice.substr(notice.rfind("): kept in ")), "): kept in " + DefaultHistorySpool());
  if (GetParam() == "sqlite") {
    EXPECT_NE(notice.find(away + ": cannot make the file: "), std::string::npos) << notice;
  }
  std::string error;
  ASSERT_TRUE(SpoolRun(DefaultHistorySpool(), Url, kRuns[1], error)) << error;
  ASSERT_TRUE(SpoolRun(DefaultHistorySpool(), Url, kRuns[1], error)) << error;
  TSyncCount count;
  ASSERT_TRUE(SyncSpool(DefaultHistorySpool(), count, error)) << error;
  EXPECT_EQ(std::tie(count.Sent, count.Already, count.Kept), std::make_tuple(1, 1, 1));
  ASSERT_EQ(count.Reasons.size(), 1u);
  EXPECT_NE(count.Reasons[0].find(away), std::string::npos);
  EXPECT_TRUE(KeepRun(Url, kRuns[2], notice));
  EXPECT_EQ(Ids(Asking({})), std::vector<std::string>({"r3", "r2"}));
  EXPECT_TRUE(KeepRun("", kRuns[3], notice)) << notice;  // the default, made on first use
  const auto owner = QFile::ReadOwner | QFile::WriteOwner,
             user = QFile::ReadUser | QFile::WriteUser;
  for (const std::string& file : {DefaultHistoryDb(), DefaultHistorySpool()})
    EXPECT_EQ(QFile::permissions(QString::fromStdString(file)), owner | user) << file;
}

TEST_P(History, SixtyFourWritersAtOnceLoseNoRun) {
  // Qt's own threads: a thread Qt adopts leaves its bookkeeping behind when it ends.
  std::vector<std::unique_ptr<QThread>> writers;
  std::vector<std::string> errors(64);
  for (int w = 0; w < 64; ++w) {
    writers.emplace_back(QThread::create([&, w] {
      for (int i = 0; i < 3; ++i) {
        QJsonObject r = kRuns[i];
        r["id"] = QString("w%1-%2").arg(w).arg(i);
        if (!KeepRun(Url, r, errors[w])) return;
      }
    }));
    writers.back()->start();
  }
  for (auto& t : writers) t->wait();
  for (const std::string& e : errors) EXPECT_EQ(e, "");
  EXPECT_EQ(Ids(Asking({})).size(), 192u);
}

INSTANTIATE_TEST_SUITE_P(Backends, History, testing::Values("sqlite", "postgresql"));

TEST(HistoryUrl, NamesWhatIsWrong) {
  const struct {
    const char* Text;
    const char* Error;
  } cases[] = {
      {"mysql://h/db",
       "history database mysql://h/db: not sqlite:PATH, postgresql://user@host:port/db or none"},
      {"sqlite:", "history database sqlite:: names no file (sqlite:PATH)"},
      {"postgresql://u:secret@h/db",
       "history database postgresql://h/...: holds a password; put it in ~/.pgpass or PGPASSWORD "
       "instead"},
      {"postgresql://u@h:5432",
       "history database postgresql://u@h:5432: names no database "
       "(postgresql://user@host:port/db)"},
      {"postgresql://u@h/db?port=1",
       "history database postgresql://u@h/db?port=1: unknown option port"},
  };
  for (const auto& c : cases) {
    THistoryUrl url;
    std::string error;
    EXPECT_FALSE(ParseHistoryUrl(c.Text, url, error));
    EXPECT_EQ(error, c.Error);
  }
}

}  // namespace
