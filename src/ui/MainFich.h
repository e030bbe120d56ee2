#pragma once

#include <QMainWindow>
#include <array>
#include <memory>

#include "app/LinkOption.h"
#include "app/MainView.h"
#include "app/RunController.h"
#include "app/Settings.h"
#include "link/SerialDevices.h"
#include "records/RunReport.h"
#include "seal/SealGate.h"
#include "ui/PackageFolder.h"
#include "ui/TrustedKeysDlg.h"

class QAction;
class QActionGroup;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QTimer;
class QPushButton;
class TAboutBox;
class TCompSelDlg;
class TIPConfigDlg;

// The main window: shows what the run controller tells it and forwards clicks to it.
class TMainFich : public QMainWindow, public TMainView {
  Q_OBJECT

 public:
  // `devices` serves the Serial Devices dialog and nothing else; `store` reads and writes the
  // settings of the program folder.
  TMainFich(TRunConfig config, std::unique_ptr<TDeviceLink> link, TEngineSet engines,
            std::unique_ptr<TSerialDevices> devices, std::unique_ptr<TSettingsStore> store,
            QWidget* parent = nullptr);
  ~TMainFich() override;

  TRunController& Controller() { return *Ctl; }

  // Reads Updater.prm from the program folder into the Port menu, the LAN Setup dialog, the
  // driver's COM device paths and the run controller, and starts recording every run when it
  // has REPORT_FILE; a file that exists but cannot be read is reported on the status box.
  // Without a package folder the defaults are taken and nothing is ever written.
  // Called once at start, before the window is shown; only a window that has read its settings
  // writes them back when it closes.
  void LoadSettings();
  // The connection of --link for this window, after LoadSettings: Updater.prm is then not
  // written back.
  void UseLink(const TLinkOption& link);
  // Judges every run's package by `policy` before the device is contacted, and shows the seal
  // of a sealed package (or why it is not accepted) in the status box.
  void UseSealPolicy(TSealPolicy policy);
  // Writes the Port menu and LAN Setup values into Updater.prm; false when it could not be
  // written (the reason is on stderr) or there is no package folder to write it in.
  bool SaveSettings();

  // START; without a package folder it asks for one first, and starts once one is chosen.
  void StartClick();
  void LAN1Click();
  void MManualClick();
  void AboutUpdaterClick();
  void SerialDevicesClick();
  void PackageFolderClick();
  void TrustedKeysClick();
  // View > History...: this station's runs.
  void HistoryClick();
  void ShowConnection();
  // SIGINT and SIGTERM: every dialog open is closed, a run stopped as STOP stops it, and the
  // window closed.
  void StopAndClose();

  // Makes `dir` the program folder, as "Package Folder..." does once a folder is chosen: the
  // settings go back to the folder left and are read from `dir`. Idle only.
  void UsePackageFolder(const std::string& dir);
  // Stores `name` as the device path of COM `slot` (COMn_DEVICE in Updater.prm at close).
  void AssignComDevice(int slot, const std::string& name);
  // How "Package Folder..." asks (the standard folder dialog unless replaced).
  TFolderDialog FolderDialog = StandardFolderDialog;
  // How "Trusted Keys..." asks for a key file to add.
  TKeyFileDialog KeyFileDialog = StandardKeyFileDialog;

  // TMainView
  void SetTitle(const std::string& text) override;
  void AppendStatus(const std::string& line) override;
  void SetStartCaption(const std::string& text) override;
  void SetEnabled(TControl control, bool enabled) override;
  void SetVisible(TControl control, bool visible) override;
  void SetProgress(TBar bar, int32_t position, int32_t max) override;
  void ShowPortChoice(const TPortChoice& choice) override;
  void ShowMode(bool manual) override;
  void ShowErrorBox(const std::string& text) override;
  void CloseWindow() override;

  QPushButton* Start = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QPlainTextEdit* MemoStatus = nullptr;
  QPushButton* ReadId = nullptr;
  QPushButton* Quit = nullptr;
  QMenu* Port1 = nullptr;
  std::array<QAction*, 9> ComItems{};  // Com11 .. Com91
  QAction* SerialDevices = nullptr;    // "Serial Devices..."
  QMenu* Settings1 = nullptr;  // Package Folder..., Trusted Keys...
  QMenu* About1 = nullptr;
  QAction* AboutUpdater = nullptr;
  QAction* PackageFolder = nullptr;  // "Package Folder..."
  QAction* TrustedKeys = nullptr;    // "Trusted Keys..."
  QMenu* Program1 = nullptr;
  QMenu* View1 = nullptr;
  QAction* History = nullptr;  // "History..."
  QAction* MAuto = nullptr;
  QAction* MManual = nullptr;
  QProgressBar* ProgressBar2 = nullptr;
  QProgressBar* ProgressBar3 = nullptr;
  QAction* N1 = nullptr;
  QAction* LAN1 = nullptr;

  TCompSelDlg* CompSel = nullptr;       // the window's own Component Selection dialog
  TAboutBox* AboutBox = nullptr;        // the program's About box
  TIPConfigDlg* IPConfigDlg = nullptr;  // the program's LAN Setup dialog
  TSettingsLines Settings;              // lines of Updater.prm as read

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus();
  void BuildControls();
  QWidget* Control(TControl control);
  void FormClose();

  void ShowComDevices();
  void ApplyConnection(const TConnection& connection);
  void FollowReportFile();
  void AppendReport();
  void ShowPackageFolder();
  // Checks the seal away from the window; SealLooked shows the answer once it is there.
  void ShowSeal();
  void SealLooked();
  // The folder dialog; true when a folder was chosen and is now the program folder.
  bool AskPackageFolder();

  // Records what the controller reports: it goes before it.
  std::unique_ptr<TRunReport> Report;
  std::string ReportPath;
  std::unique_ptr<TRunController> Ctl;
  std::unique_ptr<TSerialDevices> Devices;
  std::unique_ptr<TSettingsStore> Store;
  std::array<std::string, 9> ComDevices;
  TLinkOption Link;  // --link, kept across package folders
  TSealPolicy SealPolicy;
  struct TSealLook;
  std::shared_ptr<TSealLook> SealLook;  // the seal check under way, if any
  QTimer* SealPoll = nullptr;
  bool SealPolicyGiven = false;
  bool SettingsLoaded = false;
  bool LinkGiven = false;
  bool ClosedOnce = false;
  bool Centred = false;
};
