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
#include <QTableWidget>
#include <QVBoxLayout>
#include <memory>
#include <sstream>

#include "history/HistoryQuery.h"
#include "records/HistoryWorker.h"
#include "sys/AtomicFile.h"

namespace {

struct TAnswer {
  bool Asked = false;
  std::string Text, Error;
};

// The newest runs a table shows; Export CSV writes every one the filter chooses.
constexpr int kShown = 1000;

QLineEdit* Field(QWidget* parent, const char* name, const QString& hint) {
  auto* field = new QLineEdit(parent);
  field->setObjectName(name);
  field->setPlaceholderText(hint);
  return field;
}

QStringList Cells(const QJsonObject& r) {
  const QDateTime start = QDateTime::fromString(r["start"].toString(), Qt::ISODateWithMs);
  return {start.toLocalTime().toString("yyyy-MM-dd HH:mm:ss"),
          r["name"].toString(),
          r["device"].toObject()["id"].toString(),
          r["result"].toString(),
          QString::number(r["seconds"].toDouble(), 'f', 1),
          r["error"].toString().section('\n', 0, 0)};
}

}  // namespace

bool AskHistory(const std::string& db, const THistoryFilter& filter, EHistoryFormat format,
                int limit, std::string& text, std::string& error) {
  THistoryUrl url;
  if (!ParseHistoryUrl(db, url, error)) return false;
  if (url.Kind == THistoryUrl::hkNONE) {
    error = "no history is kept (history database none)";
    return false;
  }
  THistoryStore store;
  std::ostringstream out;
  if (!store.Open(url, error) || !ListRuns(store, filter, format, 100, limit, out, error))
    return false;
  text = out.str();
  return true;
}

std::string StandardCsvFileDialog(QWidget* parent) {
  const QString file = QFileDialog::getSaveFileName(parent, QStringLiteral("Export CSV"),
                                                    QStringLiteral("history.csv"),
                                                    QStringLiteral("CSV files (*.csv)"));
  return QFile::encodeName(file).toStdString();
}

THistoryDlg::THistoryDlg(std::string db, std::string station, THistoryWorker& worker,
                         QWidget* parent)
    : QDialog(parent), Db(std::move(db)), Station(std::move(station)), Worker(worker) {
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
  column->addWidget(Runs);
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
  ShowRuns();
}

THistoryFilter THistoryDlg::Filter() const {
  THistoryFilter f;
  f.Who = Who->text().trimmed().toStdString();
  f.Since = Since->text().trimmed().toStdString();
  f.Until = Until->text().trimmed().toStdString();
  f.Result = Result->currentIndex() == 0 ? "" : Result->currentText().toStdString();
  f.Station = Station;
  return f;
}

void THistoryDlg::ShowRuns() {
  auto answer = std::make_shared<TAnswer>();
  ++Pending;
  Problem->setText(QStringLiteral("Asking the history..."));
  Problem->setVisible(true);
  Worker.Do(
      [answer, ask = Ask, db = Db, filter = Filter()] {
        answer->Asked =
            ask(db, filter, EHistoryFormat::hfJSON, kShown, answer->Text, answer->Error);
      },
      this,
      [this, answer] {
        --Pending;
        ShowAnswer(answer->Asked, answer->Text, answer->Error);
      });
}

void THistoryDlg::ShowAnswer(bool asked, const std::string& text, const std::string& error) {
  Records.clear();
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    Records.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
  Runs->setRowCount(static_cast<int>(Records.size()));
  for (int r = 0; r < Runs->rowCount(); ++r) {
    const QStringList cells = Cells(Records[static_cast<size_t>(r)]);
    for (int c = 0; c < cells.size(); ++c) Runs->setItem(r, c, new QTableWidgetItem(cells[c]));
  }
  Runs->resizeColumnsToContents();
  Problem->setText(asked ? QString() : QString::fromStdString(error));
  Problem->setVisible(!asked);
}

void THistoryDlg::ShowRecord(int row) {
  if (row < 0 || row >= static_cast<int>(Records.size())) return;
  auto* view = new QDialog(this);
  view->setObjectName("RecordDlg");
  view->setAttribute(Qt::WA_DeleteOnClose);
  view->setWindowTitle(QStringLiteral("Run ") + Records[static_cast<size_t>(row)]["id"].toString());
  auto* text = new QPlainTextEdit(
      QString::fromUtf8(QJsonDocument(Records[static_cast<size_t>(row)]).toJson()), view);
  text->setReadOnly(true);
  text->setMinimumSize(560, 420);
  (new QVBoxLayout(view))->addWidget(text);
  view->show();
}

// Asked and written on the worker's thread: every run of a big history makes a big file.
void THistoryDlg::ExportClick() {
  const std::string path = CsvFileDialog ? CsvFileDialog(this) : std::string();
  if (path.empty()) return;
  auto answer = std::make_shared<TAnswer>();
  ++Pending;
  Worker.Do(
      [answer, ask = Ask, db = Db, filter = Filter(), path] {
        std::string& error = answer->Error;
        if (!ask(db, filter, EHistoryFormat::hfCSV, 0, answer->Text, error)) return;
        TAtomicFile file(path);
        answer->Asked = file.Open() && file.Write(answer->Text) && file.Commit();
        if (!answer->Asked) error = "CSV not written: " + file.Error();
      },
      this,
      [this, answer] {
        --Pending;
        if (!answer->Asked)
          QMessageBox::critical(this, QStringLiteral("Error"),
                                QString::fromStdString(answer->Error), QMessageBox::Ok);
      });
}
