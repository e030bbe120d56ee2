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

#include "history/HistoryQuery.h"
#include "link/link_test_util.h"
#include "records/HistoryWorker.h"
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
  THistoryStore store;
  std::string error;
  ASSERT_TRUE(ParseHistoryUrl(db, url, error) && store.Open(url, error)) << error;
  // clang-format off
  for (const char* run : {"r1 st-a qb-1 completed", "r2 st-a qb-2 error", "r3 st-b qb-2 completed"}) {
    const QStringList f = QString(run).split(' ');
    const QJsonObject r{{"id", f[0]}, {"station", f[1]}, {"name", f[2]}, {"result", f[3]},
                        {"start", "2024-03-01T08:00:0" + f[0].mid(1) + ".000Z"}};
    // clang-format on
    bool added = false;
    ASSERT_TRUE(store.Insert(r, added, error)) << error;
  }
  THistoryWorker worker;
  THistoryDlg dlg(db, "st-a", worker);
  Answered(dlg);
  EXPECT_EQ(dlg.Runs->rowCount(), 2);
  dlg.Who->setText("qb-2");
  dlg.ShowRuns();
  Answered(dlg);
  ASSERT_EQ(dlg.Runs->rowCount(), 1);
  EXPECT_EQ(dlg.Runs->item(0, 1)->text() + " " + dlg.Runs->item(0, 3)->text(), "qb-2 error");
  dlg.ShowRecord(0);
  const auto* record = dlg.findChild<QDialog*>("RecordDlg")->findChild<QPlainTextEdit*>();
  EXPECT_TRUE(record->toPlainText().contains("\"id\": \"r2\""))
      << record->toPlainText().toStdString();

  dlg.CsvFileDialog = [&](QWidget*) { return dir.Path() + "out.csv"; };
  dlg.ExportClick();
  Answered(dlg);
  std::ostringstream csv;
  ASSERT_TRUE(
      ListRuns(store, {"qb-2", "", "", "", "st-a"}, EHistoryFormat::hfCSV, 0, 0, csv, error));
  std::ifstream exported(dir.Path() + "out.csv", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(exported), {}), csv.str());

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
    THistoryWorker worker;
    auto dlg = std::make_unique<THistoryDlg>("none", "st-a", worker);
    Answered(*dlg);
    EXPECT_EQ(dlg->Problem->text().toStdString(), "no history is kept (history database none)");
    dlg->Ask = [released](const std::string&, const THistoryFilter&, EHistoryFormat, int,
                          std::string&, std::string& error) {
      released.wait();
      error = "too late";
      return false;
    };
    dlg->ShowRuns();
    EXPECT_TRUE(dlg->Asking());
    EXPECT_EQ(dlg->Problem->text().toStdString(), "Asking the history...");
    dlg.reset();
    release.set_value();
  }
  QCoreApplication::processEvents();  // the answer finds no dialog
}

}  // namespace
