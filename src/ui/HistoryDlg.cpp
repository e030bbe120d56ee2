#include "ui/HistoryDlg.h"

#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <memory>
#include <sstream>

#include "cli/HistoryOutput.h"
#include "history/HistoryWorker.h"
#include "records/RunHistory.h"
#include "sys/AtomicFile.h"
#include "ui/HistoryChartsPage.h"

namespace {

// The newest runs a table shows; Export CSV writes every one the filter chooses.
constexpr int kShown = 1000;

QLineEdit* Field(QWidget* parent, const char* name, const QString& hint) {
  auto* field = new QLineEdit(parent);
  field->setObjectName(name);
  field->setPlaceholderText(hint);
  return field;
}

QStringList Cells(const THistoryRun& r) {
  const QDateTime start = QDateTime::fromString(r.Started, Qt::ISODateWithMs);
  return {start.isValid() ? start.toLocalTime().toString("yyyy-MM-dd HH:mm:ss") : r.Started,
          r.Name,
          r.DeviceId,
          r.Result,
          QString::number(r.Seconds, 'f', 1),
          r.Error.section('\n', 0, 0)};
}

}  // namespace

bool AskHistory(THistory* history, const std::string& why, const THistoryFilter& filter, int limit,
                std::vector<THistoryRun>& runs, std::string& error) {
  if (!history) return error = why, false;
  return history->List(filter, limit, true, runs, error);
}

void AskEarlierRuns(QObject* owner, const std::string& name, int limit,
                    std::function<void(const std::string&)> shown) {
  if (RunHistory().Db == "none") return;
  THistoryFilter earlier;
  earlier.Who = name;
  earlier.Station = RunStation().toStdString();
  auto table = std::make_shared<std::ostringstream>();
  THistoryWorker::Process().Ask(
      RunHistory().Db, kQuestionSeconds,
      [table, earlier, limit](THistory* history, const std::string& why) {
        std::vector<THistoryRun> runs;
        std::string error;
        if (AskHistory(history, why, earlier, limit, runs, error) && !runs.empty())
          WriteRuns(runs, EHistoryFormat::hfTABLE, 100, *table);
      },
      owner,
      [table, shown = std::move(shown)] {
        if (!table->str().empty()) shown(table->str());
      });
}

std::string StandardCsvFileDialog(QWidget* parent) {
  const QString file = QFileDialog::getSaveFileName(parent, QStringLiteral("Export CSV"),
                                                    QStringLiteral("history.csv"),
                                                    QStringLiteral("CSV files (*.csv)"));
  return QFile::encodeName(file).toStdString();
}

THistoryDlg::THistoryDlg(std::string db, std::string station, QWidget* parent)
    : QDialog(parent), Db(std::move(db)), Station(std::move(station)) {
  setWindowTitle(QStringLiteral("History"));
  auto* column = new QVBoxLayout(this);
  auto* filter = new QHBoxLayout;
  Who = Field(this, "Who", QStringLiteral("Name or device id (* and ?)"));
  Since = Field(this, "Since", QStringLiteral("Since: YYYY-MM-DD, today, 7d"));
  Until = Field(this, "Until", QStringLiteral("Until: YYYY-MM-DD"));
  Result = new QComboBox(this);
  Result->setObjectName("Result");
  Result->addItems({QStringLiteral("every result"), "completed", "error", "stopped"});
  auto* show = new QPushButton(QStringLiteral("&Show"), this);
  show->setDefault(true);
  for (QWidget* w : std::initializer_list<QWidget*>{Who, Since, Until, Result, show})
    filter->addWidget(w);
  column->addLayout(filter);
  Runs = new QTableWidget(0, 6, this);
  Runs->setObjectName("Runs");
  Runs->setHorizontalHeaderLabels({"Start", "Name", "Device id", "Result", "Seconds", "Error"});
  Runs->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Runs->setSelectionBehavior(QAbstractItemView::SelectRows);
  Runs->horizontalHeader()->setStretchLastSection(true);
  Runs->setMinimumSize(720, 320);
  Charts = new THistoryChartsPage(
      Db, [this](THistoryFilter& f, std::string& error) { return Filter(f, error); }, this);
  Pages = new QTabWidget(this);
  Pages->addTab(Runs, QStringLiteral("&Runs"));
  Pages->addTab(Charts, QStringLiteral("C&harts"));
  column->addWidget(Pages);
  Problem = new QLabel(this);
  Problem->setObjectName("Problem");
  Problem->setWordWrap(true);
  column->addWidget(Problem);
  auto* row = new QHBoxLayout;
  Export = new QPushButton(QStringLiteral("&Export CSV..."), this);
  Export->setObjectName("Export");
  CloseButton = new QPushButton(QStringLiteral("Close"), this);
  CloseButton->setObjectName("CloseButton");
  row->addWidget(Export);
  row->addStretch();
  row->addWidget(CloseButton);
  column->addLayout(row);
  connect(show, &QPushButton::clicked, this, &THistoryDlg::ShowRuns);
  connect(Runs, &QTableWidget::cellDoubleClicked, this, [this](int r, int) { ShowRecord(r); });
  connect(Export, &QPushButton::clicked, this, &THistoryDlg::ExportClick);
  connect(CloseButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(Charts, &THistoryChartsPage::DayChosen, this,
          [this](const QString& since, const QString& until) {
            Since->setText(since);
            Until->setText(until);
            Pages->setCurrentWidget(Runs);
            ShowRuns();
          });
  ShowRuns();
}

bool THistoryDlg::Filter(THistoryFilter& f, std::string& error) const {
  f = THistoryFilter{};
  f.Who = Who->text().trimmed().toStdString();
  f.Result = Result->currentIndex() == 0 ? "" : Result->currentText().toStdString();
  f.Station = Station;
  const QDateTime now = QDateTime::currentDateTime();
  const std::string since = Since->text().trimmed().toStdString(),
                    until = Until->text().trimmed().toStdString();
  if (!since.empty() && !ParseWhen(since, false, now, f.Since, error))
    return error = "Since " + since + ": " + error, false;
  if (!until.empty() && !ParseWhen(until, true, now, f.Until, error))
    return error = "Until " + until + ": " + error, false;
  return true;
}

void THistoryDlg::Question(
    int limit, TThen then,
    std::function<void(bool, std::vector<THistoryRun>&, const std::string&)> done) {
  struct TAnswer {
    bool Asked = false;
    std::vector<THistoryRun> Runs;
    std::string Error;
  };
  auto answer = std::make_shared<TAnswer>();
  THistoryFilter filter;
  if (Db == "none") answer->Error = "no history is kept (history database none)";
  if (!answer->Error.empty() || !Filter(filter, answer->Error))
    return done(false, answer->Runs, answer->Error);
  ++Pending;
  THistoryWorker::Process().Ask(
      Db, kQuestionSeconds,
      [answer, ask = Ask, filter, limit, then](THistory* history, const std::string& why) {
        answer->Asked = ask(history, why, filter, limit, answer->Runs, answer->Error) &&
                        (!then || then(answer->Runs, answer->Error));
      },
      this,
      [this, answer, done = std::move(done)] {
        --Pending;
        done(answer->Asked, answer->Runs, answer->Error);
      });
}

void THistoryDlg::ShowRuns() {
  Problem->setText(QStringLiteral("Asking the history..."));
  Problem->setVisible(true);
  Charts->ShowCharts();
  Question(kShown, nullptr,
           [this](bool asked, std::vector<THistoryRun>& runs, const std::string& error) {
             ShowAnswer(asked, runs, error);
           });
}

void THistoryDlg::ShowAnswer(bool asked, std::vector<THistoryRun>& runs, const std::string& error) {
  Shown = std::move(runs);
  Runs->setRowCount(static_cast<int>(Shown.size()));
  for (int r = 0; r < Runs->rowCount(); ++r) {
    const QStringList cells = Cells(Shown[static_cast<size_t>(r)]);
    for (int c = 0; c < cells.size(); ++c) Runs->setItem(r, c, new QTableWidgetItem(cells[c]));
  }
  Runs->resizeColumnsToContents();
  Problem->setText(asked ? QString() : QString::fromStdString(error));
  Problem->setVisible(!asked);
}

void THistoryDlg::ShowRecord(int row) {
  if (row < 0 || row >= static_cast<int>(Shown.size())) return;
  const THistoryRun& run = Shown[static_cast<size_t>(row)];
  auto* view = new QDialog(this);
  view->setObjectName("RecordDlg");
  view->setAttribute(Qt::WA_DeleteOnClose);
  view->setWindowTitle(QStringLiteral("Run ") + run.Id);
  auto* text =
      new QPlainTextEdit(QString::fromUtf8(QJsonDocument::fromJson(run.Record).toJson()), view);
  text->setReadOnly(true);
  text->setMinimumSize(560, 420);
  (new QVBoxLayout(view))->addWidget(text);
  view->show();
}

// Written on the history's thread, through the atomic writer: every run of a big history makes
// a big file, and a failure leaves no half of it.
void THistoryDlg::ExportClick() {
  const std::string path = CsvFileDialog ? CsvFileDialog(this) : std::string();
  if (path.empty()) return;
  const TThen write = [path](std::vector<THistoryRun>& runs, std::string& error) {
    std::ostringstream csv;
    WriteRuns(runs, EHistoryFormat::hfCSV, 0, csv);
    runs.clear();
    TAtomicFile file(path);
    if (file.Open() && file.Write(csv.str()) && file.Commit()) return true;
    error = "CSV not written: " + file.Error();
    return false;
  };
  Question(0, write, [this](bool asked, std::vector<THistoryRun>&, const std::string& error) {
    if (!asked)
      QMessageBox::critical(this, QStringLiteral("Error"), QString::fromStdString(error),
                            QMessageBox::Ok);
  });
}
