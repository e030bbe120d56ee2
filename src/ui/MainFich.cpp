#include "ui/MainFich.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStringDecoder>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <iostream>
#include <thread>

#include "app/ProgramDir.h"
#include "formats/text.h"
#include "records/RunHistory.h"
#include "ui/About.h"
#include "ui/CompDlg.h"
#include "ui/HistoryDlg.h"
#include "ui/OpenDialogs.h"
#include "ui/PackageFolder.h"
#include "ui/SerialDevicesDlg.h"
#include "ui/ipconfig.h"

namespace {

QString Latin1(const std::string& s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

// Status lines carry the device's Latin-1 text and file names in the system's UTF-8 (a package
// in ~/Téléchargements): bytes that read as UTF-8 are taken as such, as Latin-1 text hardly ever
// does.
QString StatusText(const std::string& s) {
  QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
  const QString text = utf8(QByteArrayView(s.data(), static_cast<qsizetype>(s.size())));
  return utf8.hasError() ? Latin1(s) : text;
}

QProgressBar* MakeBar(QWidget* parent, const char* name, const char* measures) {
  auto* bar = new QProgressBar(parent);
  bar->setObjectName(name);
  bar->setToolTip(QString::fromLatin1(measures));
  bar->setTextVisible(false);
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setFixedHeight(16);
  return bar;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption) {
  auto* button = new QPushButton(QString::fromLatin1(caption), parent);
  button->setObjectName(name);
  button->setFixedWidth(90);
  return button;
}

}  // namespace

TMainFich::TMainFich(TRunConfig config, std::unique_ptr<TDeviceLink> link, TEngineSet engines,
                     std::unique_ptr<TSerialDevices> devices, std::unique_ptr<TSettingsStore> store,
                     QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
  setObjectName("MainFich");
  Devices = std::move(devices);
  Store = std::move(store);
  BuildMenus();
  BuildControls();
  Ctl = std::make_unique<TRunController>(*this, std::move(link), std::move(engines),
                                         std::move(config));
  SealPoll = new QTimer(this);
  SealPoll->setInterval(50);
  connect(SealPoll, &QTimer::timeout, this, &TMainFich::SealLooked);
  CompSel = new TCompSelDlg(this);
  CompSel->setObjectName("CompSel");
  Ctl->SetCompSelection(CompSel->Selection());
  AboutBox = new TAboutBox(this);
  AboutBox->setObjectName("AboutBox");
  IPConfigDlg = new TIPConfigDlg(this);
  IPConfigDlg->setObjectName("IPConfigDlg");
  ComDevices = ConnectionFromSettings(Settings).ComDevices;
  ShowComDevices();
  ShowPackageFolder();
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  adjustSize();
  setFixedSize(sizeHint());
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

TMainFich::~TMainFich() {
  FormClose();
}

void TMainFich::BuildMenus() {
  QMenuBar* MainMenu1 = menuBar();
  MainMenu1->setObjectName("MainMenu1");
  Port1 = MainMenu1->addMenu("&Port");
  Port1->setObjectName("Port1");
  auto* ports = new QActionGroup(this);
  ports->setExclusive(true);
  for (int n = 1; n <= 9; ++n) {
    QAction* item = Port1->addAction(QString("Com &%1").arg(n));
    item->setObjectName(QString("Com%1").arg(n) + "1");
    item->setCheckable(true);
    ports->addAction(item);
    connect(item, &QAction::triggered, this, [this, n] { Ctl->ComClick(n); });
    ComItems[n - 1] = item;
  }
  N1 = Port1->addSeparator();
  N1->setObjectName("N1");
  LAN1 = Port1->addAction("LAN/Setup");
  LAN1->setObjectName("LAN1");
  LAN1->setCheckable(true);
  ports->addAction(LAN1);
  connect(LAN1, &QAction::triggered, this, &TMainFich::LAN1Click);
  Port1->addSeparator();
  SerialDevices = Port1->addAction("Serial Devices...");
  SerialDevices->setObjectName("SerialDevices");
  connect(SerialDevices, &QAction::triggered, this, &TMainFich::SerialDevicesClick);

  Program1 = MainMenu1->addMenu("&Mode");
  Program1->setObjectName("Program1");
  auto* modes = new QActionGroup(this);
  modes->setExclusive(true);
  MAuto = Program1->addAction("&Auto");
  MAuto->setObjectName("MAuto");
  MManual = Program1->addAction("&Manual");
  MManual->setObjectName("MManual");
  for (QAction* item : {MAuto, MManual}) {
    item->setCheckable(true);
    modes->addAction(item);
  }
  MAuto->setChecked(true);
  connect(MAuto, &QAction::triggered, this, [this] { Ctl->MAutoClick(); });
  connect(MManual, &QAction::triggered, this, &TMainFich::MManualClick);

  View1 = MainMenu1->addMenu("&View");
  View1->setObjectName("View1");
  History = View1->addAction("&History...");
  History->setObjectName("History");
  connect(History, &QAction::triggered, this, &TMainFich::HistoryClick);

  Settings1 = MainMenu1->addMenu("&Settings");
  Settings1->setObjectName("Settings1");
  PackageFolder = Settings1->addAction("&Package Folder...");
  PackageFolder->setObjectName("PackageFolder");
  connect(PackageFolder, &QAction::triggered, this, &TMainFich::PackageFolderClick);
  TrustedKeys = Settings1->addAction("&Trusted Keys...");
  TrustedKeys->setObjectName("TrustedKeys");
  connect(TrustedKeys, &QAction::triggered, this, &TMainFich::TrustedKeysClick);

  About1 = MainMenu1->addMenu("&About");
  About1->setObjectName("About1");
  AboutUpdater = About1->addAction("&About Qubra Updater...");
  AboutUpdater->setObjectName("AboutUpdater");
  connect(AboutUpdater, &QAction::triggered, this, &TMainFich::AboutUpdaterClick);
}

void TMainFich::BuildControls() {
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  MemoStatus = new QPlainTextEdit(central);
  MemoStatus->setObjectName("MemoStatus");
  MemoStatus->setReadOnly(true);
  MemoStatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MemoStatus->setFixedSize(460, 260);
  column->addWidget(MemoStatus);
  ProgressBar1 = MakeBar(central, "ProgressBar1", "Operation: the instruction under way");
  ProgressBar2 = MakeBar(central, "ProgressBar2", "Card: the script of the card under way");
  ProgressBar3 = MakeBar(central, "ProgressBar3", "Script: the main script");
  for (QProgressBar* bar : {ProgressBar1, ProgressBar2, ProgressBar3}) column->addWidget(bar);
  auto* row = new QHBoxLayout;
  ReadId = MakeButton(central, "ReadId", "Read Id");
  Start = MakeButton(central, "Start", "Start");
  Quit = MakeButton(central, "Quit", "Quit");
  ReadId->setVisible(false);
  Quit->setVisible(false);
  // Hidden side buttons keep their room, so Start stays in the middle.
  for (QPushButton* side : {ReadId, Quit}) {
    QSizePolicy policy = side->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    side->setSizePolicy(policy);
  }
  row->addWidget(ReadId);
  row->addStretch();
  row->addWidget(Start);
  row->addStretch();
  row->addWidget(Quit);
  column->addLayout(row);
  setCentralWidget(central);
  connect(Start, &QPushButton::clicked, this, &TMainFich::StartClick);
  connect(ReadId, &QPushButton::clicked, this, [this] {
    if (Ctl->GetRunState() == TRunState::Idle) ShowConnection();
    Ctl->ReadIdClick();
  });
  connect(Quit, &QPushButton::clicked, this, [this] { Ctl->QuitClick(); });
}

void TMainFich::LoadSettings() {
  std::string unreadable;
  // Without a package folder there is no file of its own to read, nor one to write back.
  const bool folder = !Ctl->GetProgramDir().empty();
  Settings.clear();
  if (folder) Store->Load(Ctl->GetProgramDir(), Settings, unreadable);
  // A file that could not be read is never replaced by what the window made of it.
  SettingsLoaded = folder && unreadable.empty();
  if (!unreadable.empty()) Ctl->ShowStatus(unreadable);
  ApplyConnection(LinkGiven ? ConnectionFromLink(Link, Settings)
                            : ConnectionFromSettings(Settings));
  FollowReportFile();
}

// REPORT_FILE of the package folder's settings: each run is appended there. The history keeps
// every run all the same.
void TMainFich::FollowReportFile() {
  ReportPath = ReportFileSetting(Settings, Ctl->GetProgramDir());
  if (Report) return;
  Report = std::make_unique<TRunReport>(
      "", [this] { return DescribeConnection(Ctl->PortChoice(), Ctl->LanSettings(), ComDevices); });
  Report->Ended = [this] { AppendReport(); };
  Ctl->AddObserver(Report.get());
}

void TMainFich::UseLink(const TLinkOption& link) {
  LinkGiven = true;
  Link = link;
  ApplyConnection(ConnectionFromLink(link, Settings));
}

void TMainFich::ApplyConnection(const TConnection& connection) {
  ComDevices = connection.ComDevices;
  IPConfigDlg->SetValues(connection.Lan);
  ::ApplyConnection(*Ctl, connection);
  Ctl->SetLanSettings(IPConfigDlg->Values());
  ShowComDevices();
}

// The window has no exit status; the record says so with null.
void TMainFich::AppendReport() {
  const QJsonObject record = Report->Record(-1);
  KeepRunRecordLater(record, this, [this](const std::string& notice) {
    if (!notice.empty()) Ctl->ShowStatus(notice);
  });
  SendSpooledRuns();  // after the run's own work, never before its contact with the device
  if (ReportPath.empty()) return;
  std::string error;
  TReportFile file;
  if (file.Open(ReportPath, error) && file.Append(record, error)) return;
  std::cerr << "qubra-updater: " << error << std::endl;
  if (!ClosedOnce && isVisible())
    QMessageBox::warning(this, QStringLiteral("Warning"), Latin1(error), QMessageBox::Ok);
}

bool TMainFich::SaveSettings() {
  if (Ctl->GetProgramDir().empty()) return false;
  return Store->Save(Ctl->GetProgramDir(), Settings, Ctl->PortChoice(), IPConfigDlg->Values());
}

// Tells the operator which adapter each "Com &n" opens.
void TMainFich::ShowComDevices() {
  Port1->setToolTipsVisible(true);
  for (int n = 1; n <= 9; ++n) ComItems[n - 1]->setToolTip(Latin1(Excerpt(ComDevices[n - 1])));
}

void TMainFich::ShowPackageFolder() {
  if (Ctl->GetProgramDir().empty())
    Ctl->ShowStatus(kNoPackageFolderText);
  else
    Ctl->ShowStatus("Package folder: " + Excerpt(Ctl->GetProgramDir()));
  ShowSeal();
}

void TMainFich::UseSealPolicy(TSealPolicy policy) {
  SealPolicy = std::move(policy);
  SealPolicy.Trust.HowToTrust = "add its public key with Settings > Trusted Keys...";
  SealPolicyGiven = true;
  Ctl->SetPackageGate(MakeSealGate(SealPolicy));
  ShowSeal();
}

struct TMainFich::TSealLook {
  std::atomic<bool> Done{false};
  TSealState State;
};

// The check reads the package, which may be large or hostile: on a thread of its own, so the
// window opens and answers meanwhile. A look overtaken by a newer one is left to end alone.
void TMainFich::ShowSeal() {
  if (!SealPolicyGiven || Ctl->Running() || Ctl->GetProgramDir().empty()) return;
  SealLook = std::make_shared<TSealLook>();
  std::thread([look = SealLook, dir = Ctl->GetProgramDir(), script = Ctl->StartScriptPath(),
               policy = SealPolicy] {
    try {
      look->State = CheckPackageSeal(dir, script, policy);
    } catch (const std::exception& e) {
      look->State.Problems = {std::string("the package could not be checked: ") + e.what()};
    }
    look->Done.store(true, std::memory_order_release);
  }).detach();
  SealPoll->start();
}

// An unsealed package is not worth a line unless the station asks for seals.
void TMainFich::SealLooked() {
  if (!SealLook) return SealPoll->stop();
  if (!SealLook->Done.load(std::memory_order_acquire)) return;
  const TSealState state = std::move(SealLook->State);
  SealLook.reset();
  SealPoll->stop();
  if (Ctl->Running()) return;  // the run checks afresh and says so
  if (state.Sealed || !state.Problems.empty()) Ctl->ShowStatus(SealStatusText(state));
}

void TMainFich::HistoryClick() {
  THistoryDlg dlg(RunHistory().Db, RunStation().toStdString(), this);
  dlg.setObjectName("HistoryDlg");
  dlg.exec();
}

void TMainFich::TrustedKeysClick() {
  TTrustedKeysDlg dlg(SealPolicy.Trust, SealPolicy.KeyFolder, this);
  dlg.setObjectName("TrustedKeysDlg");
  dlg.KeyFileDialog = KeyFileDialog;
  dlg.OnKeysChanged = [this] { ShowSeal(); };
  dlg.exec();
}

void TMainFich::SerialDevicesClick() {
  const TPortChoice& port = Ctl->PortChoice();
  TSerialDevicesDlg dlg(*Devices, Settings, port.Lan ? 1 : port.ComPort, this);
  dlg.setObjectName("SerialDevicesDlg");
  dlg.OnAssign = [this](int slot, const std::string& name) { AssignComDevice(slot, name); };
  dlg.exec();
}

void TMainFich::AssignComDevice(int slot, const std::string& name) {
  WriteSetting(Settings, "COM" + std::to_string(slot) + "_DEVICE", name);
  ComDevices[slot - 1] = name;
  Ctl->Driver().SetComDevice(slot, name);
  ShowComDevices();
}

void TMainFich::PackageFolderClick() {
  if (!Ctl->Running()) AskPackageFolder();
}

bool TMainFich::AskPackageFolder() {
  std::string start = Ctl->GetProgramDir();
  if (start.empty()) start = RememberedPackageFolder();
  if (start.empty()) start = QFile::encodeName(QDir::homePath()).toStdString();
  const std::string dir = ::AskPackageFolder(this, start, FolderDialog);
  if (dir.empty()) return false;
  UsePackageFolder(dir);
  RememberPackageFolder(Ctl->GetProgramDir());
  return true;
}

// A window without a package folder has nothing to run until the operator names one.
void TMainFich::StartClick() {
  if (!Ctl->Running() && Ctl->GetProgramDir().empty() && !AskPackageFolder()) return;
  if (Ctl->GetRunState() == TRunState::Idle) ShowConnection();
  Ctl->StartClick();
}

// Named before the device is contacted, as the package folder is: a run on the wrong port
// is seen before it times out.
void TMainFich::ShowConnection() {
  const TPortChoice& port = Ctl->PortChoice();
  const TLinkDescription d = DescribeConnection(port, Ctl->LanSettings(), ComDevices);
  std::string text = "Connection: ";
  if (!port.Lan && !Ctl->PortDevice().empty())
    text += Excerpt(Ctl->PortDevice());  // --link names the device, not a COM slot
  else if (!port.Lan)
    text += "COM" + std::to_string(port.ComPort) + " (" + Excerpt(d.Link) + ")";
  else
    text += d.Transport + " " + Excerpt(d.Link) +
            (d.LocalPort ? ", local port " + std::to_string(d.LocalPort) : "");
  Ctl->ShowStatus(text);
}

void TMainFich::UsePackageFolder(const std::string& dir) {
  if (Ctl->Running()) return;
  // The folder left keeps the choices made for it, as at a close (not a --link).
  if (SettingsLoaded && !LinkGiven) SaveSettings();
  ::SetProgramDir(dir);
  Ctl->SetProgramDir(::ProgramDir(), HoldsReadId(::ProgramDir()));
  LoadSettings();
  ShowPackageFolder();
}

void TMainFich::LAN1Click() {
  IPConfigDlg->exec();
  // Udp or Tcp counts from the click on it, even when the dialog is cancelled.
  Ctl->SetLanSettings(IPConfigDlg->Values());
  TPortChoice choice = Ctl->PortChoice();
  if (IPConfigDlg->Applied()) choice.Lan = true;
  // The radio group has already moved the check to LAN/Setup: put it back unless applied.
  Ctl->SetPortChoice(choice);
}

void TMainFich::MManualClick() {
  Ctl->MManualClick();
  CompSel->exec();
  Ctl->SetCompSelection(CompSel->Selection());
}

void TMainFich::AboutUpdaterClick() {
  AboutBox->exec();
}

// The frame is known only once the window is shown: centre the whole window, frame included.
void TMainFich::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (Centred || event->spontaneous()) return;
  Centred = true;
  if (QScreen* screen = this->screen())
    move(frameGeometry().topLeft() + screen->availableGeometry().center() -
         frameGeometry().center());
}

void TMainFich::StopAndClose() {
  CloseOpenDialogs();
  close();
}

void TMainFich::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

void TMainFich::FormClose() {
  if (ClosedOnce || !Ctl) return;
  ClosedOnce = true;
  // A window that never read the file must not replace it, nor put a --link into it.
  if (SettingsLoaded && !LinkGiven) SaveSettings();
  Ctl->FormClose();
}

QWidget* TMainFich::Control(TControl control) {
  switch (control) {
    case ctStart:
      return Start;
    case ctReadId:
      return ReadId;
    case ctQuit:
      return Quit;
    default:
      return nullptr;
  }
}

void TMainFich::SetTitle(const std::string& text) {
  setWindowTitle(Latin1(text));
}

void TMainFich::AppendStatus(const std::string& line) {
  MemoStatus->appendPlainText(StatusText(line));
}

void TMainFich::SetStartCaption(const std::string& text) {
  Start->setText(Latin1(text));
}

void TMainFich::SetEnabled(TControl control, bool enabled) {
  if (control == ctPortMenu) {
    Port1->menuAction()->setEnabled(enabled);
    // The package cannot change under a run.
    PackageFolder->setEnabled(enabled);
  } else if (control == ctModeMenu) {
    Program1->menuAction()->setEnabled(enabled);
  } else if (QWidget* w = Control(control)) {
    w->setEnabled(enabled);
  }
}

void TMainFich::SetVisible(TControl control, bool visible) {
  if (QWidget* w = Control(control)) w->setVisible(visible);
}

void TMainFich::SetProgress(TBar bar, int32_t position, int32_t max) {
  QProgressBar* b = bar == pbOperation ? ProgressBar1 : bar == pbCard ? ProgressBar2 : ProgressBar3;
  // A zero range would turn the bar into a busy indicator.
  b->setRange(0, std::max(max, 1));
  b->setValue(position);
}

void TMainFich::ShowPortChoice(const TPortChoice& choice) {
  if (choice.Lan)
    LAN1->setChecked(true);
  else
    ComItems[std::clamp(choice.ComPort, 1, 9) - 1]->setChecked(true);
}

void TMainFich::ShowMode(bool manual) {
  (manual ? MManual : MAuto)->setChecked(true);
}

void TMainFich::ShowErrorBox(const std::string& text) {
  QString shown = StatusText(text);
  shown.replace("\r\n", "\n");
  QMessageBox::critical(this, QStringLiteral("Error"), shown, QMessageBox::Ok);
}

void TMainFich::CloseWindow() {
  close();
}
