#include "ui/HistoryDlg.h"

#include <gtest/gtest.h>

#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>

#include "cli/HistoryOutput.h"
#include "history/HistoryWorker.h"
#include "link/link_test_util.h"
#include "scratch_dir.h"
#include "ui/ui_app.h"

namespace {

void Answered(const THistoryDlg& dlg) {
  ASSERT_TRUE(WaitFor([&] { return !dlg.Asking(); }));
}

// The dialog asks what --history asks: this station's runs, filtered, a record on double click,
// and the CSV of --format csv.
TEST(HistoryDlg, ShowsFiltersAndExportsThisStationsRuns) {
  UiApp();
  ScratchDir dir;
  const std::string db = "sqlite:" + dir.Path() + "h.sqlite";
  THistoryUrl url;
  std::unique_ptr<THistory> history;
  std::string error;
  ASSERT_TRUE(ParseHistoryUrl(db, url, error) && OpenHistory(url, 5, history, error)) << error;
  // clang-format off
  for (const char* run : {"r1 st-a qb-1 completed", "r2 st-a qb-2 error", "r3 st-b qb-2 completed"}) {
    const QStringList f = QString(run).split(' ');
    const QJsonObject r{{"id", f[0]}, {"station", f[1]}, {"name", f[2]}, {"result", f[3]},
                        {"start", "2024-03-01T08:00:0" + f[0].mid(1) + ".000Z"}};
    // clang-format on
    bool added = false;
    ASSERT_TRUE(history->Keep(r, added, error)) << error;
  }
  THistoryDlg dlg(db, "st-a");
  Answered(dlg);
  EXPECT_EQ(dlg.Runs->rowCount(), 2);
  EXPECT_EQ(dlg.Problem->text().toStdString(), "2 runs.");
  dlg.Who->setText("qb-2");
  dlg.ShowRuns();
  Answered(dlg);
  ASSERT_EQ(dlg.Runs->rowCount(), 1);
  EXPECT_EQ(dlg.Runs->item(0, 1)->text() + " " + dlg.Runs->item(0, 3)->text(), "qb-2 error");
  dlg.ShowRecord(0);
  const auto* record = dlg.findChild<QDialog*>("RecordDlg");
  EXPECT_EQ(record->windowTitle().toStdString(), "Run r2");
  QStringList labels;
  for (const QLabel* l : record->findChildren<QLabel*>()) labels << l->text();
  EXPECT_EQ(labels.mid(0, 4).join('|').toStdString(), "qb-2|error|2024-03-01T08:00:02.000Z|st-a");

  dlg.CsvFileDialog = [&](QWidget*) { return dir.Path() + "out.csv"; };
  dlg.ExportClick();
  Answered(dlg);
  std::ostringstream csv;
  std::vector<THistoryRun> runs;
  ASSERT_TRUE(history->List({"qb-2", "", "", "", "st-a"}, 0, false, runs, error));
  WriteRuns(runs, EHistoryFormat::hfCSV, 0, csv);
  std::ifstream exported(dir.Path() + "out.csv", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(exported), {}), csv.str());

  dlg.Who->setText("nobody");
  dlg.ShowRuns();
  Answered(dlg);
  EXPECT_EQ(dlg.Problem->text().toStdString(),
            "No run of nobody on station st-a in sqlite:" + dir.Path() + "h.sqlite.");
  dlg.Since->setText("soon");
  dlg.ShowRuns();
  Answered(dlg);
  EXPECT_EQ(dlg.Runs->rowCount(), 0);
  EXPECT_TRUE(dlg.Problem->text().contains("soon: not a time"))
      << dlg.Problem->text().toStdString();
}

// A server that does not answer leaves the dialog live, and it may close before the answer.
TEST(HistoryDlg, ADatabaseThatDoesNotAnswerLeavesTheDialogLive) {
  UiApp();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  {
    auto dlg = std::make_unique<THistoryDlg>("none", "st-a");
    Answered(*dlg);
    EXPECT_EQ(dlg->Problem->text().toStdString(), "no history is kept (history database none)");
    ScratchDir dir;
    dlg = std::make_unique<THistoryDlg>("sqlite:" + dir.Path() + "h.sqlite", "st-a");
    Answered(*dlg);
    dlg->Ask = [released](THistory*, const std::string&, const THistoryFilter&, int,
                          std::vector<THistoryRun>&, std::string& error) {
      released.wait();
      error = "too late";
      return false;
    };
    dlg->ShowRuns();
    EXPECT_TRUE(dlg->Asking());
    EXPECT_EQ(dlg->Problem->text().toStdString(), "Asking the history...");
    dlg.reset();
    release.set_value();
    EXPECT_TRUE(THistoryWorker::Process().Finish(10));
  }
  QCoreApplication::processEvents();  // the answer finds no dialog
}

}  // namespace
