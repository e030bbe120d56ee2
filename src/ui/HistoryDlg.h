#pragma once

#include <QDialog>
#include <QJsonObject>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class THistoryWorker;
struct THistoryFilter;
enum class EHistoryFormat;

// The runs `filter` chooses in the history `db`, newest first, as --history gives them (a table
// 100 columns wide); `limit` 0 for all. False with `error`, also when no history is kept.
[[nodiscard]] bool AskHistory(const std::string& db, const THistoryFilter& filter,
                              EHistoryFormat format, int limit, std::string& text,
                              std::string& error);

using TAskHistory =
    std::function<bool(const std::string& db, const THistoryFilter& filter, EHistoryFormat format,
                       int limit, std::string& text, std::string& error)>;

// Asks where to save the CSV: the path chosen, "" when cancelled.
using TCsvFileDialog = std::function<std::string(QWidget* parent)>;
std::string StandardCsvFileDialog(QWidget* parent);

// View > History...: this station's runs as --history lists them, filtered by name or device
// id, dates and result; a double click shows a run's record, Export CSV writes what is shown
// as --history --format csv would. The database is asked on `worker`'s thread, so a server that
// does not answer leaves the dialog live.
class THistoryDlg : public QDialog {
  Q_OBJECT

 public:
  // `db` is a history URL ("" the default database); `station` the runs shown.
  THistoryDlg(std::string db, std::string station, THistoryWorker& worker,
              QWidget* parent = nullptr);

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
  QLabel* Problem = nullptr;
  QPushButton *Export = nullptr, *CloseButton = nullptr;

 private:
  THistoryFilter Filter() const;
  void ShowAnswer(bool asked, const std::string& text, const std::string& error);

  std::string Db, Station;
  THistoryWorker& Worker;
  int Pending = 0;
  std::vector<QJsonObject> Records;  // one per row
};
