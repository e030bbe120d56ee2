#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "history/HistoryCharts.h"

QT_BEGIN_NAMESPACE
class QChartView;
QT_END_NAMESPACE
class QLabel;
class QPushButton;

// Asks where to save the picture: the path chosen (.png or .svg), "" when cancelled.
using TPictureFileDialog = std::function<std::string(QWidget* parent)>;
std::string StandardPictureFileDialog(QWidget* parent);

// The history dialog's Charts page: runs per day by result, the seconds of the completed runs,
// where the errors failed and, with more than one station, each station's runs and errors, for
// the dialog's filter. Asked on the history's thread, so a slow server leaves it live.
class THistoryChartsPage : public QWidget {
  Q_OBJECT

 public:
  // `filter` gives the dialog's filter as it stands, false with `error` for a field not
  // understood.
  using TFilter = std::function<bool(THistoryFilter& filter, std::string& error)>;
  THistoryChartsPage(std::string db, TFilter filter, QWidget* parent = nullptr);

  // Asks again; a problem is shown above the charts.
  void ShowCharts();
  bool Asking() const { return Pending > 0; }
  // Writes the charts shown as one picture, PNG or SVG, whole or not at all.
  void SaveClick();
  // The bounds of `day` (UTC, YYYY-MM-DD) as the filter's fields take them: the day alone when
  // the local day is the UTC day, else local times.
  static void DayBounds(const std::string& day, QString& since, QString& until);

  TPictureFileDialog PictureFileDialog = StandardPictureFileDialog;
  QLabel* Problem = nullptr;
  QPushButton* Save = nullptr;
  std::vector<QChartView*> Views;  // one per EHistoryChart
  THistoryCharts Shown;

 signals:
  // A day's bar was clicked: the table should show that day's runs.
  void DayChosen(const QString& since, const QString& until);

 private:
  void Draw();
  void Connect(QChartView* runs);

  std::string Db;
  TFilter Filter;
  int Pending = 0;
};
