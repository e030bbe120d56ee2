#include "cli/HistoryCommand.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <sstream>

#include <QProcess>
#include <fstream>

#include "charts/HistoryChart.h"
#include "history/HistorySpool.h"
#include "history/SqlHistory.h"
#include "scratch_dir.h"

namespace {

int Ask(THistoryRequest request, std::string& out, std::string& err) {
  std::ostringstream o, e;
  const int status = HistoryCommand(request, o, e);
  out = o.str();
  err = e.str();
  return status;
}

unsigned Mode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Old reports go in once however often imported; what is no run record is named by its line and
// the rest goes in; a record without a station is this station's. The default database is made
// on first use, its owner's alone.
TEST(HistoryCommand, ImportTakesRunRecordsOnceAndNamesTheRest) {
  ScratchDir dir;
  setenv("XDG_DATA_HOME", dir.Path().c_str(), 1);
  const QJsonObject run{{"name", "qb-1"},
                        {"result", "completed"},
                        {"start", "2024-03-01T08:00:00.000Z"},
                        {"host", "old-station"}};
  QJsonObject own = run;
  own.remove("host");
  own["name"] = "qb-2";
  dir.Write("old.jsonl",
            QJsonDocument(run).toJson(QJsonDocument::Compact).toStdString() + "\n" +
                QJsonDocument(own).toJson(QJsonDocument::Compact).toStdString() + "\n" +
                "not json\n{\"name\":\"x\",\"result\":\"error\"}\n"
                "{\"name\":\"x\",\"start\":\"2024-03-01T08:00:00Z\"}\n"
                "{\"name\":7,\"result\":\"error\",\"start\":\"2024-03-01T08:00:00Z\"}\n"
                "{\"name\":\"refused\",\"result\":\"error\",\"start\":\"2024-03-01T08:00:00Z\"}\n");
  {
    // A record the database itself refuses costs its own line, not those put in with it.
    THistoryUrl url;
    std::string error;
    ASSERT_TRUE(ParseHistoryUrl("", url, error));
    auto sql = MakeSqliteHistory(url, 5);
    ASSERT_TRUE(sql->Open(error) &&
                sql->ExecText("CREATE TRIGGER refuse BEFORE INSERT ON runs WHEN NEW.name = "
                              "'refused' BEGIN SELECT RAISE(ABORT, 'refused'); END",
                              error))
        << error;
  }
  THistoryRequest import;
  import.Action = THistoryRequest::haIMPORT;
  import.Files = {dir.Path() + "old.jsonl"};
  import.OwnStation = "bench-4";
  std::string out, err;
  for (const char* added :
       {"2 runs imported, 0 there already", "0 runs imported, 2 there already"}) {
    EXPECT_EQ(Ask(import, out, err), 1);
    EXPECT_EQ(out, dir.Path() + "old.jsonl: " + added + ", 5 lines refused\n");
    const std::string file = "qubra-updater: " + dir.Path() + "old.jsonl:";
    EXPECT_EQ(err, file + "3: not a run record (illegal value)\n" + file +
                       "4: not a run record (no start time)\n" + file +
                       "5: not a run record (no result)\n" + file +
                       "6: not a run record (\"name\" is not of the type a run writes)\n" +
                       file + "7: history database sqlite:" + DefaultHistoryDb() +
                       ": refused Unable to fetch row\n");
  }
  THistoryRequest list;
  list.Format = "csv";
  ASSERT_EQ(Ask(list, out, err), 0) << err;
  EXPECT_NE(out.find(",old-station,"), std::string::npos) << out;
  EXPECT_NE(out.find(",bench-4,"), std::string::npos) << out;
  EXPECT_EQ(Mode(DefaultHistoryDb()), 0600u);
  EXPECT_EQ(Mode(HistoryFolder()), 0700u);
  THistoryRequest sync;
  sync.Action = THistoryRequest::haSYNC;
  EXPECT_EQ(Ask(sync, out, err), 0);
  EXPECT_EQ(out, "nothing to send: no run waits in " + DefaultHistorySpool() + "\n");
}

// Shapes drawn in `colour` in an SVG: each bar is a rectangle of its set's colour.
int Rects(const std::string& svg, const char* colour) {
  int n = 0;
  const std::string group = std::string("<g fill=\"") + colour + "\"";
  for (size_t at = svg.find(group); at != std::string::npos; at = svg.find(group, at + 1)) {
    const std::string body = svg.substr(at, svg.find("</g>", at) - at);
    for (size_t r = body.find("<rect"); r != std::string::npos; r = body.find("<rect", r + 1)) ++n;
  }
  return n;
}

// --chart draws without a display: a bar per day and result that had runs, as a shape of its
// own, the day between them empty; a picture that cannot be written leaves no file at all.
TEST(HistoryCommand, ChartDrawsAShapePerBarOrNoFile) {
  ScratchDir dir;
  const std::string db = "sqlite:" + dir.Path() + "h.sqlite";
  THistoryUrl url;
  std::unique_ptr<THistory> history;
  std::string error;
  ASSERT_TRUE(ParseHistoryUrl(db, url, error) && OpenHistory(url, 5, history, error)) << error;
  int added = 0;
  std::vector<QJsonObject> runs;
  for (const char* run : {"01 completed", "01 error", "03 completed", "03 stopped", "03 completed"})
    runs.push_back({{"id", QString::number(runs.size())}, {"result", QString(run).mid(3)},
                    {"start", "2024-03-" + QString(run).left(2) + "T08:00:00.000Z"}});
  ASSERT_TRUE(history->Import(runs, added, error)) << error;
  auto chart = [&](const QStringList& more) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    p.setProcessEnvironment(env);
    p.start(QUBRA_BINARY_DIR "/qubra-updater",
            QStringList{"--history", "--history-db", QString::fromStdString(db)} + more);
    EXPECT_TRUE(p.waitForFinished(60000));
    error = p.readAllStandardError().toStdString();
    return p.exitCode();
  };
  const std::string svg = dir.Path() + "runs.svg";
  ASSERT_EQ(chart({"--chart", QString::fromStdString(svg)}), 0) << error;
  std::ifstream in(svg);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  // Each colour's bars, and its mark in the legend.
  EXPECT_EQ(Rects(text, kCompletedColour), 2 + 1);
  EXPECT_EQ(Rects(text, kErrorColour), 1 + 1);
  EXPECT_EQ(Rects(text, kStoppedColour), 1 + 1);
  const struct {
    QStringList Args;
    int Status;
    std::string Error;
  } bad[] = {
      {{"--chart", "x.txt"}, 2, "qubra-updater: --chart x.txt: neither a .png nor an .svg file\n"},
      {{"--chart", "x.png", "--by", "package"}, 2,
       "qubra-updater: --by package: a --chart is drawn by day, instruction or station\n"},
      {{"--chart", QString::fromStdString(dir.Path() + "none/x.png")}, 1,
       "qubra-updater: picture not written: "},
  };
  for (const auto& b : bad) {
    EXPECT_EQ(chart(b.Args), b.Status);
    EXPECT_EQ(error.substr(0, b.Error.size()), b.Error);
  }
  EXPECT_EQ(Mode(dir.Path() + "none/x.png"), 0u);
  EXPECT_EQ(Mode("x.png"), 0u);
}

}  // namespace
