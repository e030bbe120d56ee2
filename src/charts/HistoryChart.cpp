#include "charts/HistoryChart.h"

#include <QBarSet>
#include <QBuffer>
#include <QCategoryAxis>
#include <QChart>
#include <QGraphicsScene>
#include <QTimeZone>
#include <QHorizontalStackedBarSeries>
#include <QBarCategoryAxis>
#include <QBarSeries>
#include <QImage>
#include <QLineSeries>
#include <QPainter>
#include <QStackedBarSeries>
#include <QSvgGenerator>
#include <QValueAxis>
#include <cmath>

#include "sys/AtomicFile.h"

namespace {

constexpr int kWidth = 1000, kHeight = 380;
constexpr const char* kRunsColour = "#1565c0";
constexpr const char* kSlowestColour = "#6a1b9a";

QBarSet* Set(const char* name, const char* colour) {
  auto* set = new QBarSet(name);
  set->setColor(QColor(colour));
  set->setBorderColor(QColor(colour));
  return set;
}

// Up to a dozen labels whatever the span: a year of days would cover each other otherwise.
QCategoryAxis* DayAxis(const std::vector<TChartDay>& days) {
  auto* axis = new QCategoryAxis;
  const int n = static_cast<int>(days.size());
  axis->setRange(-0.5, std::max(n, 1) - 0.5);
  axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
  int step = 1;
  for (int s : {1, 2, 7, 14, 28, 56, 91, 182, 364})
    if ((step = s) * 12 >= n) break;
  for (int i = 0; i < n; i += step)
    axis->append(QString::fromStdString(days[static_cast<size_t>(i)].Day.substr(5)), i);
  // An axis without a label draws its title astray.
  if (n == 0) axis->append(QStringLiteral(" "), 0);
  const QString first = n ? QString::fromStdString(days.front().Day.substr(0, 4)) : QString();
  const QString last = n ? QString::fromStdString(days.back().Day.substr(0, 4)) : QString();
  // The station's days: the axis names its time zone.
  const QString day = "Day (" + QString::fromUtf8(QTimeZone::systemTimeZoneId()) + ")";
  axis->setTitleText(n == 0 ? day
                            : day + ", MM-DD of " + (first == last ? first : first + " to " + last));
  axis->setGridLineVisible(false);
  return axis;
}

// Whole numbers in steps of 1, 2 or 5 times a power of ten, eight steps at most.
QValueAxis* CountAxis(const QString& title, double max) {
  auto* axis = new QValueAxis;
  axis->setTitleText(title);
  axis->setLabelFormat("%d");
  double step = 1;
  for (double unit = 1; max / step > 8; unit *= 10)
    for (double m : {1.0, 2.0, 5.0})
      if (max / step > 8) step = m * unit;
  axis->setRange(0, std::max(step, std::ceil(max / step) * step));
  axis->setTickType(QValueAxis::TicksDynamic);
  axis->setTickAnchor(0);
  axis->setTickInterval(step);
  return axis;
}

// `x` along the bottom, `y` up the left.
void Place(QChart* chart, QAbstractSeries* series, QAbstractAxis* x, QAbstractAxis* y) {
  chart->addSeries(series);
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  series->attachAxis(x);
  series->attachAxis(y);
}

void Runs(QChart* chart, const THistoryCharts& c) {
  chart->setTitle("Runs per day");
  QBarSet* sets[] = {Set("completed", kCompletedColour), Set("error", kErrorColour),
                     Set("stopped", kStoppedColour)};
  double most = 0;
  for (const TChartDay& d : c.Days) {
    *sets[0] << d.Completed;
    *sets[1] << d.Errors;
    *sets[2] << d.Stopped;
    most = std::max(most, double(d.Completed + d.Errors + d.Stopped));
  }
  auto* series = new QStackedBarSeries;
  for (QBarSet* s : sets) series->append(s);
  series->setBarWidth(c.Days.size() < 4 ? 0.3 : 0.8);  // a day alone is no wall
  auto* x = DayAxis(c.Days);
  auto* y = CountAxis("Runs", most);
  Place(chart, series, x, y);
}

void Seconds(QChart* chart, const THistoryCharts& c) {
  chart->setTitle("Seconds of completed runs per day");
  auto* median = new QLineSeries;
  auto* slowest = new QLineSeries;
  median->setName("median");
  slowest->setName("slowest");
  median->setColor(QColor(kRunsColour));
  slowest->setColor(QColor(kSlowestColour));
  double most = 0;
  for (size_t i = 0; i < c.Days.size(); ++i) {
    const TChartDay& d = c.Days[i];
    if (d.Completed == 0) continue;
    median->append(double(i), d.MedianSeconds);
    slowest->append(double(i), d.SlowestSeconds);
    most = std::max(most, d.SlowestSeconds);
  }
  // A day alone is a point, not a line: a point big enough to be seen.
  for (QLineSeries* s : {median, slowest}) {
    s->setPointsVisible(c.Days.size() <= 31);
    s->setMarkerSize(c.Days.size() <= 3 ? 9 : 5);
  }
  auto* x = DayAxis(c.Days);
  auto* y = CountAxis("Seconds", most * 1.1);
  chart->addSeries(median);
  chart->addSeries(slowest);
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  for (QLineSeries* s : {median, slowest}) {
    s->attachAxis(x);
    s->attachAxis(y);
  }
}

// Most failed at the top; the errors before any instruction apart, at the bottom.
void Failed(QChart* chart, const THistoryCharts& c) {
  chart->setTitle("Errors by instruction, the ten failed most");
  QBarSet* at = Set("at an instruction", kErrorColour);
  QBarSet* before = Set("before any instruction", kStoppedColour);
  QStringList names;
  *at << 0;
  *before << c.Before.Count;
  names << QString::fromStdString(c.Before.Label);
  double most = c.Before.Count;
  for (auto bar = c.Failed.rbegin(); bar != c.Failed.rend(); ++bar) {
    *at << bar->Count;
    *before << 0;
    names << QString::fromStdString(bar->Label);
    most = std::max(most, double(bar->Count));
  }
  auto* series = new QHorizontalStackedBarSeries;
  series->append(at);
  series->append(before);
  series->setLabelsVisible(true);
  series->setLabelsFormat("@value");
  auto* y = new QBarCategoryAxis;
  y->append(names);
  // Eleven names one above the other: a name taller than its bar's room is cut.
  QFont small = y->labelsFont();
  small.setPointSizeF(std::min(small.pointSizeF(), 8.0));
  y->setLabelsFont(small);
  Place(chart, series, CountAxis("Errors", most), y);
}

void Stations(QChart* chart, const THistoryCharts& c) {
  chart->setTitle("Runs and errors per station");
  QBarSet* runs = Set("runs", kRunsColour);
  QBarSet* errors = Set("errors", kErrorColour);
  QStringList names;
  double most = 0;
  for (const TChartStation& s : c.Stations) {
    *runs << s.Runs;
    *errors << s.Errors;
    names << QString::fromStdString(s.Station.empty() ? "(no station)" : s.Station);
    most = std::max(most, double(s.Runs));
  }
  auto* series = new QBarSeries;
  series->append(runs);
  series->append(errors);
  auto* x = new QBarCategoryAxis;
  x->append(names);
  x->setTitleText("Station");
  Place(chart, series, x, CountAxis("Runs", most));
}

}  // namespace

std::vector<EHistoryChart> ChartsBy(EHistoryGroup by) {
  switch (by) {
    case EHistoryGroup::hgINSTRUCTION:
      return {EHistoryChart::hcFAILED};
    case EHistoryGroup::hgSTATION:
      return {EHistoryChart::hcSTATIONS};
    default:
      return {EHistoryChart::hcRUNS, EHistoryChart::hcSECONDS};
  }
}

QChart* MakeHistoryChart(const THistoryCharts& charts, EHistoryChart which) {
  auto* chart = new QChart;
  chart->setAnimationOptions(QChart::NoAnimation);
  chart->legend()->setAlignment(Qt::AlignTop);
  switch (which) {
    case EHistoryChart::hcRUNS:
      Runs(chart, charts);
      break;
    case EHistoryChart::hcSECONDS:
      Seconds(chart, charts);
      break;
    case EHistoryChart::hcFAILED:
      Failed(chart, charts);
      break;
    case EHistoryChart::hcSTATIONS:
      Stations(chart, charts);
      break;
  }
  return chart;
}

std::string HistoryPicture(const THistoryCharts& charts, const std::vector<EHistoryChart>& which,
                           bool svg) {
  QGraphicsScene scene;
  qreal y = 0;
  for (EHistoryChart w : which) {
    QChart* chart = MakeHistoryChart(charts, w);
    scene.addItem(chart);  // the scene's from here
    chart->setGeometry(0, y, kWidth, kHeight);
    y += kHeight;
  }
  const QRectF area(0, 0, kWidth, y);
  scene.setSceneRect(area);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (svg) {
    QSvgGenerator generator;
    generator.setOutputDevice(&buffer);
    generator.setSize(area.size().toSize());
    generator.setViewBox(area);
    generator.setTitle("Station history");
    QPainter painter(&generator);
    scene.render(&painter, area, area);
  } else {
    QImage image(area.size().toSize(), QImage::Format_RGB32);
    image.fill(Qt::white);
    {
      QPainter painter(&image);
      painter.setRenderHint(QPainter::Antialiasing);
      scene.render(&painter, area, area);
    }
    image.save(&buffer, "PNG");
  }
  return bytes.toStdString();
}

bool PictureKind(const std::string& path, bool& svg, std::string& error) {
  const QString p = QString::fromStdString(path).toLower();
  svg = p.endsWith(".svg");
  if (svg || p.endsWith(".png")) return true;
  error = path + ": neither a .png nor an .svg file";
  return false;
}

bool WriteHistoryPicture(const THistoryCharts& charts, const std::vector<EHistoryChart>& which,
                         const std::string& path, std::string& error) {
  bool svg = false;
  if (!PictureKind(path, svg, error)) return false;
  const std::string bytes = HistoryPicture(charts, which, svg);
  if (bytes.empty()) return error = "picture not drawn: " + path, false;
  TAtomicFile file(path);
  if (file.Open() && file.Write(bytes) && file.Commit()) return true;
  error = "picture not written: " + file.Error();
  return false;
}
