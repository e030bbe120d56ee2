#include "ui/HistoryChartsPage.h"

#include <QBarSet>
#include <QChartView>
#include <QCursor>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedBarSeries>
#include <QTimeZone>
#include <QToolTip>
#include <QVBoxLayout>
#include <memory>

#include "charts/HistoryChart.h"
#include "history/HistoryWorker.h"

namespace {

constexpr EHistoryChart kPage[] = {EHistoryChart::hcRUNS, EHistoryChart::hcFAILED,
                                   EHistoryChart::hcSECONDS, EHistoryChart::hcSTATIONS};

bool ManyStations(const THistoryCharts& c) {
  return c.Stations.size() > 1;
}

}  // namespace

std::string StandardPictureFileDialog(QWidget* parent) {
  const QString file = QFileDialog::getSaveFileName(
      parent, QStringLiteral("Save Charts As"), QStringLiteral("history.png"),
      QStringLiteral("PNG pictures (*.png);;SVG drawings (*.svg)"));
  return QFile::encodeName(file).toStdString();
}

THistoryChartsPage::THistoryChartsPage(std::string db, TFilter filter, QWidget* parent)
    : QWidget(parent), Db(std::move(db)), Filter(std::move(filter)) {
  auto* column = new QVBoxLayout(this);
  Problem = new QLabel(this);
  Problem->setObjectName("ChartsProblem");
  Problem->setWordWrap(true);
  column->addWidget(Problem);
  // The charts scroll rather than make the dialog bigger than a small screen.
  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* charts = new QWidget(scroll);
  auto* grid = new QGridLayout(charts);
  grid->setContentsMargins(0, 0, 0, 0);
  for (size_t i = 0; i < std::size(kPage); ++i) {
    auto* view = new QChartView(charts);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumSize(500, 350);  // day labels and instruction names uncut
    grid->addWidget(view, static_cast<int>(i / 2), static_cast<int>(i % 2));
    Views.push_back(view);
  }
  scroll->setWidget(charts);
  column->addWidget(scroll, 1);
  auto* row = new QHBoxLayout;
  Save = new QPushButton(QStringLiteral("Save &As..."), this);
  Save->setObjectName("SaveCharts");
  row->addStretch();
  row->addWidget(Save);
  column->addLayout(row);
  connect(Save, &QPushButton::clicked, this, &THistoryChartsPage::SaveClick);
}

void THistoryChartsPage::ShowCharts() {
  struct TAnswer {
    bool Asked = false;
    THistoryCharts Charts;
    std::string Error;
  };
  auto answer = std::make_shared<TAnswer>();
  THistoryFilter filter;
  if (Db == "none") answer->Error = "no history is kept (history database none)";
  if (!answer->Error.empty() || !Filter(filter, answer->Error)) {
    Problem->setText(QString::fromStdString(answer->Error));
    return;
  }
  Problem->setText(QStringLiteral("Asking the history..."));
  ++Pending;
  THistoryWorker::Process().Ask(
      Db, kQuestionSeconds,
      [answer, filter](THistory* history, const std::string& why) {
        if (!history) return void(answer->Error = why);
        answer->Asked = AskCharts(*history, filter, answer->Charts, answer->Error);
      },
      this,
      [this, answer] {
        --Pending;
        Problem->setText(QString::fromStdString(answer->Error));
        if (!answer->Asked) return;
        Shown = std::move(answer->Charts);
        Draw();
      });
}

void THistoryChartsPage::Draw() {
  for (size_t i = 0; i < std::size(kPage); ++i) {
    QChart* old = Views[i]->chart();
    Views[i]->setChart(MakeHistoryChart(Shown, kPage[i]));
    delete old;
  }
  Views[3]->setVisible(ManyStations(Shown));
  Connect(Views[0]);
  if (Shown.Days.empty()) Problem->setText(QStringLiteral("No runs for this filter."));
}

// A day's count on hover; a click shows the day's runs in the table.
void THistoryChartsPage::Connect(QChartView* runs) {
  for (QAbstractSeries* s : runs->chart()->series()) {
    auto* bars = qobject_cast<QStackedBarSeries*>(s);
    if (!bars) continue;
    for (QBarSet* set : bars->barSets()) {
      connect(set, &QBarSet::hovered, this, [this](bool on, int i) {
        if (!on || i < 0 || i >= static_cast<int>(Shown.Days.size())) return QToolTip::hideText();
        const TChartDay& d = Shown.Days[static_cast<size_t>(i)];
        QToolTip::showText(QCursor::pos(),
                           QString("%1: %2 runs, %3 completed, %4 error, %5 stopped")
                               .arg(QString::fromStdString(d.Day))
                               .arg(d.Completed + d.Errors + d.Stopped)
                               .arg(d.Completed)
                               .arg(d.Errors)
                               .arg(d.Stopped));
      });
      connect(set, &QBarSet::clicked, this, [this](int i) {
        if (i < 0 || i >= static_cast<int>(Shown.Days.size())) return;
        QToolTip::hideText();
        QString since, until;
        DayBounds(Shown.Days[static_cast<size_t>(i)].Day, since, until);
        emit DayChosen(since, until);
      });
    }
  }
}

void THistoryChartsPage::DayBounds(const std::string& day, QString& since, QString& until) {
  const QDate d = QDate::fromString(QString::fromStdString(day), "yyyy-MM-dd");
  const QDateTime start = QDateTime(d, QTime(0, 0), QTimeZone::utc()).toLocalTime();
  const QDateTime end = QDateTime(d.addDays(1), QTime(0, 0), QTimeZone::utc()).toLocalTime();
  if (start.time() == QTime(0, 0) && start.date() == d && end.date() == d.addDays(1)) {
    since = until = QString::fromStdString(day);
    return;
  }
  // An until time is the first moment not shown.
  since = start.toString("yyyy-MM-dd HH:mm:ss");
  until = end.toString("yyyy-MM-dd HH:mm:ss");
}

void THistoryChartsPage::SaveClick() {
  const std::string path = PictureFileDialog ? PictureFileDialog(this) : std::string();
  if (path.empty()) return;
  std::vector<EHistoryChart> which;
  for (EHistoryChart c : kPage)
    if (c != EHistoryChart::hcSTATIONS || ManyStations(Shown)) which.push_back(c);
  std::string error;
  if (!WriteHistoryPicture(Shown, which, path, error))
    QMessageBox::critical(this, QStringLiteral("Error"), QString::fromStdString(error),
                          QMessageBox::Ok);
}
