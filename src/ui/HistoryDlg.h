#pragma once

#include <QDialog>
#include <QJsonObject>
#include <functional>
#include <string>
#include <vector>

#include "history/History.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTabWidget;
class THistoryChartsPage;

// The runs `filter` chooses in `history` (nullptr when it cannot be had: `why` says why), newest
// first, `limit` 0 for all, with their records. Runs on the history's thread.
using TAskHistory =
    std::function<bool(THistory* history, const std::string& why, const THistoryFilter& filter,
                       int limit, std::vector<THistoryRun>& runs, std::string& error)>;
bool AskHistory(THistory* history, const std::string& why, const THistoryFilter& filter,
                int limit, std::vector<THistoryRun>& runs, std::string& error);

// The `limit` newest runs of the device `name` on this station, as a table, and the newest
// one's record, asked on the history's thread; `shown` gets them on the thread of `owner`
// unless there are none.
void AskEarlierRuns(QObject* owner, const std::string& name, int limit,
                    std::function<void(const std::string& table, const QJsonObject& newest)> shown);

// Asks where to save the CSV: the path chosen, "" when cancelled.
using TCsvFileDialog = std::function<std::string(QWidget* parent)>;
std::string StandardCsvFileDialog(QWidget* parent);

// View > History...: this station's runs as --history lists them, filtered by name or device
// id, dates and result; a double click shows a run's record, Export CSV writes what is shown
// as --history --format csv would. The database is asked on the history's thread, so a server
// that does not answer leaves the dialog live.
class THistoryDlg : public QDialog {
  Q_OBJECT

 public:
  // `db` is a history URL ("" the default database); `station` the runs shown.
  THistoryDlg(std::string db, std::string station, QWidget* parent = nullptr);

  // Asks the database again with the filter as it stands; a problem is shown under the table.
  void ShowRuns();
  // True until every question asked has its answer shown.
  bool Asking() const { return Pending > 0; }
  // The record of the run in `row`, as it is stored.
  void ShowRecord(int row);
  void ExportClick();

  TCsvFileDialog CsvFileDialog = StandardCsvFileDialog;
  TAskHistory Ask = AskHistory;

  QLineEdit *Who = nullptr, *Since = nullptr, *Until = nullptr;
  QComboBox* Result = nullptr;
  QTableWidget* Runs = nullptr;
  QTabWidget* Pages = nullptr;  // the table, then the charts
  THistoryChartsPage* Charts = nullptr;
  QLabel* Problem = nullptr;
  QPushButton *Export = nullptr, *CloseButton = nullptr;

 private:
  // False with `error` when a field is not understood.
  bool Filter(THistoryFilter& filter, std::string& error) const;
  // Asks on the history's thread and does `then` there with the runs; `done` then gets the
  // answer on this thread.
  using TThen = std::function<bool(std::vector<THistoryRun>& runs, std::string& error)>;
  void Question(int limit, TThen then,
                std::function<void(bool asked, std::vector<THistoryRun>& runs,
                                   const std::string& error)>
                    done);
  void ShowAnswer(bool asked, std::vector<THistoryRun>& runs, const std::string& error);
  QString NothingMatches() const;

  std::string Db, Station;
  int Pending = 0;
  std::vector<THistoryRun> Shown;  // one per row
};
