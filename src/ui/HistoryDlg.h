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
struct THistoryFilter;
enum class EHistoryFormat;

// The runs `filter` chooses in the history `db`, newest first, as --history gives them (a table
// 100 columns wide); `limit` 0 for all. False with `error`, also when no history is kept.
[[nodiscard]] bool AskHistory(const std::string& db, const THistoryFilter& filter,
                              EHistoryFormat format, int limit, std::string& text,
                              std::string& error);

// Asks where to save the CSV: the path chosen, "" when cancelled.
using TCsvFileDialog = std::function<std::string(QWidget* parent)>;
std::string StandardCsvFileDialog(QWidget* parent);

// View > History...: this station's runs as --history lists them, filtered by name or device
// id, dates and result; a double click shows a run's record, Export CSV writes what is shown
// as --history --format csv would.
class THistoryDlg : public QDialog {
  Q_OBJECT

 public:
  // `db` is a history URL ("" the default database); `station` the runs shown.
  THistoryDlg(std::string db, std::string station, QWidget* parent = nullptr);

  // Asks the database again with the filter as it stands; a problem is shown under the table.
  void ShowRuns();
  // The record of the run in `row`, as it is stored.
  void ShowRecord(int row);
  void ExportClick();

  TCsvFileDialog CsvFileDialog = StandardCsvFileDialog;

  QLineEdit *Who = nullptr, *Since = nullptr, *Until = nullptr;
  QComboBox* Result = nullptr;
  QTableWidget* Runs = nullptr;
  QLabel* Problem = nullptr;
  QPushButton *Export = nullptr, *CloseButton = nullptr;

 private:
  THistoryFilter Filter() const;

  std::string Db, Station;
  std::vector<QJsonObject> Records;  // one per row
};
