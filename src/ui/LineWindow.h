#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/SerialPorts.h"
#include "line/ProductionLine.h"
#include "link/SerialDevices.h"
#include "ui/PackageFolder.h"

class QAction;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QTableWidget;
class QTimer;

// The production line in a window: one row per device of the line runner, which runs them as
// --line does. The window shows what the runner tells it and forwards the operator's clicks.
class TLineWindow : public QMainWindow {
  Q_OBJECT

 public:
  // How the line runs its devices from a package folder: children, report file, settings.
  using TConfigure = std::function<TProductionLine::TConfig(const std::string& program_dir)>;

  // The package folder is ProgramDir(); `devices` offers the serial devices present as links;
  // `children` starts the devices' children.
  TLineWindow(TConfigure configure, std::unique_ptr<TSerialDevices> devices,
              std::unique_ptr<TChildRunner> children, QWidget* parent = nullptr);
  ~TLineWindow() override;

  TProductionLine& Line() { return *Runner; }

  // Reads the device list `path` into the rows, each checked as --line checks it; false, with
  // `error`, when it cannot be read or a device is busy.
  bool OpenList(const std::string& path, std::string& error);
  // Writes the rows as a device list, one "NAME LINK" per line, through a temporary file; the
  // comments and blank lines of the list as opened are kept.
  bool SaveList(const std::string& path, std::string& error);

  void StartAllClick();
  void StartClick();
  void StopAllClick();
  void StopClick();
  void RetryFailedClick();
  void AddClick();
  void RemoveClick();
  void OpenClick();
  void SaveClick();
  void SaveAsClick();
  void PackageFolderClick();
  // Stops the devices without asking, waits for their records, then closes.
  void StopAndClose();

  // The rows selected, in order.
  std::vector<size_t> SelectedRows() const;

  // How "Package Folder..." asks (the standard folder dialog unless replaced).
  TFolderDialog FolderDialog = StandardFolderDialog;

  QTableWidget* Table = nullptr;
  QLabel* Summary = nullptr;
  QPlainTextEdit* StatusPane = nullptr;  // the status lines of the device at the cursor
  QPlainTextEdit* RecordPane = nullptr;  // its last run record
  QLabel* Package = nullptr;             // the package folder and the report file
  QAction* StartAllItem = nullptr;
  QAction* StartItem = nullptr;
  QAction* StopAllItem = nullptr;
  QAction* StopItem = nullptr;
  QAction* RetryItem = nullptr;
  QAction* AddItem = nullptr;
  QAction* RemoveItem = nullptr;
  QAction* OpenItem = nullptr;
  QAction* SaveItem = nullptr;
  QAction* SaveAsItem = nullptr;
  QAction* PackageFolderItem = nullptr;
  QAction* CloseItem = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  friend class TLinkDelegate;
  void BuildMenus();
  void BuildControls();
  QAction* MakeAction(QMenu* menu, const char* name, const char* caption, QKeySequence key,
                      void (TLineWindow::*click)());
  void ShowAll();
  void ShowRow(size_t index);
  void ShowSummary();
  void ShowDetails();
  void ShowRecord(const TDeviceRow& r);
  void ShowPackage();
  void UpdateActions();
  void RowChanged(size_t index);
  void CellEdited(int row, int column);
  void Tick();
  void ListPorts();
  void FillLinks(QComboBox* box) const;
  bool ReadyToStart();
  void ShowError(const std::string& error);
  void SetListFile(const std::string& path);
  bool KeepChanges();

  TConfigure Configure;
  std::unique_ptr<TSerialDevices> Devices;
  std::unique_ptr<TChildRunner> Children;
  std::unique_ptr<TProductionLine> Runner;
  std::vector<TPortRow> Ports;     // the serial devices present
  QPointer<QComboBox> LinkEditor;  // open while a link is edited
  QTimer* Clock = nullptr;         // elapsed times while devices run
  QTimer* CloseLimit = nullptr;    // gives up waiting for stopped devices
  std::string ListFile;
  std::vector<std::string> ListLines;  // as opened
  bool Modified = false;               // rows added, removed or edited since
  int DetailsRow = -1;                 // the row whose record the details show
  TDeviceState DetailsState = dsWAITING;
  std::string DetailsName;
  int DetailsAsked = 0;  // the pane's questions to the history; only the last is shown
  bool Closing = false;       // stopping the devices, to close once they have ended
  bool AskBeforeStop = true;  // closing asks while devices run, or the list is unsaved
  bool ForceClose = false;
};
