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
#include "ui/RunRecordView.h"
#include "ui/HistoryChartsPage.h"

namespace {

// The newest runs a table shows; Export CSV writes every one the filter chooses.
constexpr int kShown = 1000;

// Wide enough for its hint, which says what it takes.
QLineEdit* Field(QWidget* parent, const char* name, const QString& hint) {
  auto* field = new QLineEdit(parent);
  field->setObjectName(name);
  field->setPlaceholderText(hint);
  field->setMinimumWidth(field->fontMetrics().horizontalAdvance(hint) + 16);
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
                    std::function<void(const std::string&, const QJsonObject&)> shown) {
  if (RunHistory().Db == "none") return;
  THistoryFilter earlier;
  earlier.Who = name;
  earlier.Station = RunStation().toStdString();
  struct TEarlier {
    std::ostringstream Table;
    QJsonObject Newest;
  };
  auto answer = std::make_shared<TEarlier>();
  THistoryWorker::Process().Ask(
      RunHistory().Db, kQuestionSeconds,
      [answer, earlier, limit](THistory* history, const std::string& why) {
        std::vector<THistoryRun> runs;
        std::string error;
        if (!AskHistory(history, why, earlier, limit, runs, error) || runs.empty()) return;
        WriteRuns(runs, EHistoryFormat::hfTABLE, 100, answer->Table);
        answer->Newest = QJsonDocument::fromJson(runs[0].Record).object();
      },
      owner,
      [answer, shown = std::move(shown)] {
        if (!answer->Table.str().empty()) shown(answer->Table.str(), answer->Newest);
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
  Since = Field(this, "Since", QStringLiteral("Since: date, today, 7d"));
  Until = Field(this, "Until", QStringLiteral("Until: date"));
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
  QString said = QString::fromStdString(error);
  if (asked)
    said = Shown.empty()                              ? NothingMatches()
           : static_cast<int>(Shown.size()) == kShown ? QString("The newest %1 runs.").arg(kShown)
           : Shown.size() == 1                        ? QStringLiteral("1 run.")
                                                      : QString("%1 runs.").arg(Shown.size());
  Problem->setText(said);
  Problem->setVisible(true);
}

// Says where it looked and for what, so that a filter or a database that was not meant shows.
QString THistoryDlg::NothingMatches() const {
  QStringList what;
  if (!Who->text().trimmed().isEmpty()) what << "of " + Who->text().trimmed();
  if (!Since->text().trimmed().isEmpty()) what << "since " + Since->text().trimmed();
  if (!Until->text().trimmed().isEmpty()) what << "until " + Until->text().trimmed();
  if (Result->currentIndex() != 0) what << "that ended " + Result->currentText();
  THistoryUrl url;
  std::string ignored;
  const std::string db = ParseHistoryUrl(Db, url, ignored) ? url.Shown : ShownHistoryUrl(Db);
  return QString("No run%1 on station %2 in %3.")
      .arg(what.isEmpty() ? "" : " " + what.join(' '), QString::fromStdString(Station),
           QString::fromStdString(db));
}

void THistoryDlg::ShowRecord(int row) {
  if (row < 0 || row >= static_cast<int>(Shown.size())) return;
  auto* view = new TRunRecordView(
      QJsonDocument::fromJson(Shown[static_cast<size_t>(row)].Record).object(), this);
  view->setObjectName("RecordDlg");
  view->setAttribute(Qt::WA_DeleteOnClose);
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
