#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "app/ProgramDir.h"
#include "app/fakes.h"
#include "app/package.h"
#include "formats/text.h"
#include "link/fake_serial_devices.h"
#include "ui/About.h"
#include "ui/CompDlg.h"
#include "ui/MainFich.h"
#include "ui/OpenDialogs.h"
#include "ui/PackageFolder.h"
#include "ui/SerialDevicesDlg.h"
#include "ui/ipconfig.h"
#include "ui/ui_app.h"

namespace {

// The per-user settings (the remembered package folder) go to a folder of the tests' own.
void PrivateUserSettings() {
  static QTemporaryDir home;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
}

// A folder dialog answering `answers` in turn ("" cancels), recording where each one started.
TFolderDialog AnsweringDialog(std::vector<std::string> answers, std::vector<std::string>* seen) {
  auto left = std::make_shared<std::vector<std::string>>(std::move(answers));
  return [left, seen](QWidget*, const std::string& start) {
    seen->push_back("dialog in " + start);
    std::string answer;
    if (!left->empty()) {
      answer = left->front();
      left->erase(left->begin());
    }
    return answer;
  };
}

class TMappedLink : public TFakeLink {
 public:
  void SetComDevice(int n, const std::string& path) override { devices[n] = path; }
  std::map<int, std::string> devices;
};

// The window over a fake link in a program folder of its own. Every settings file here names
// 127.0.0.1, so nothing could ever reach out even through a real link.
class WindowSettings : public testing::Test {
 protected:
  void SetUp() override {
    UiApp();
    prog_ = dir_.path().toStdString() + "/";
    auto link = std::make_unique<TMappedLink>();
    link_ = link.get();
    auto devices = std::make_unique<TFakeSerialDevices>();
    devices_ = devices.get();
    w_ = std::make_unique<TMainFich>(TRunConfig{prog_, "", false}, std::move(link),
                                     MakeFakeEngines(&log_, engines_), std::move(devices),
                                     std::make_unique<TSettingsStore>());
  }
  void TearDown() override { SetProgramDir(""); }
  void WriteSettings(const std::string& bytes) {
    std::ofstream(prog_ + "Updater.prm", std::ios::binary) << bytes;
  }
  std::string ReadSettings() {
    std::ifstream f(prog_ + "Updater.prm", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  QAction* Item(const char* name) { return w_->findChild<QAction*>(name); }
  void CloseWindow() {
    w_->show();
    w_->close();
  }

  QTemporaryDir dir_;
  std::string prog_;
  TMappedLink* link_ = nullptr;
  TFakeSerialDevices* devices_ = nullptr;
  TFakeEngines engines_{};
  std::vector<std::string> log_;
  std::unique_ptr<TMainFich> w_;
};

TEST_F(WindowSettings, StartAndCloseRewriteOnlyTheFiveKeys) {
  const std::string runaway = "COM5_DEVICE=/dev/" + std::string(5000, 'x') + "\r\n";
  WriteSettings(
      "; bench 4\r\n"
      "con_type=TCP\r\n"
      "OPERATOR=night shift\r\n"
      "COM3_DEVICE=/dev/ttyUSB0\r\n"
      "REMOTE_IP=127.0.0.1\r\n" +
      runaway);
  w_->LoadSettings();
  EXPECT_TRUE(Item("LAN1")->isChecked());
  EXPECT_EQ(w_->IPConfigDlg->ConnectionKind(), CON_TCP);
  EXPECT_TRUE(w_->Controller().PortChoice().Lan);
  EXPECT_EQ(w_->Controller().LanSettings().RemoteAddress, "127.0.0.1");
  EXPECT_EQ(link_->devices[3], "/dev/ttyUSB0");
  EXPECT_EQ(link_->devices[1], "/dev/ttyS0");
  EXPECT_EQ(link_->devices[9], "/dev/ttyS8");
  EXPECT_EQ(Item("Com31")->toolTip(), "/dev/ttyUSB0");
  EXPECT_EQ(Item("Com21")->toolTip(), "/dev/ttyS1");
  EXPECT_EQ(Item("Com51")->toolTip().toStdString(), Excerpt(runaway.substr(12, 5005)));

  CloseWindow();
  EXPECT_EQ(ReadSettings(),
            "; bench 4\r\n"
            "con_type=TCP\r\n"
            "OPERATOR=night shift\r\n"
            "COM3_DEVICE=/dev/ttyUSB0\r\n"
            "REMOTE_IP=127.0.0.1\r\n" +
                runaway +
                "COM_PORT=NA\r\n"
                "REMOTE_PORT=10500\r\n"
                "LOCAL_PORT=10500\r\n");
}

TEST_F(WindowSettings, AppliedLanSetupIsUsedAtRunStartAndSaved) {
  WriteSettings("CON_TYPE=NONE\r\nCOM_PORT=COM4\r\nREMOTE_IP=127.0.0.1\r\n");
  w_->LoadSettings();
  EXPECT_TRUE(Item("Com41")->isChecked());
  EXPECT_EQ(w_->Controller().SelectedComPort(), "COM4");

  OnModal([](QWidget* d) {
    auto* dlg = qobject_cast<TIPConfigDlg*>(d);
    ASSERT_NE(dlg, nullptr);
    dlg->RBUdp->click();
    dlg->ELocalPort->setText("10600");
    dlg->ERemotePort->setText("10700");
    dlg->ERemoteAddr->setText("127.0.0.1");
    dlg->BOk->click();
  });
  Item("LAN1")->trigger();
  EXPECT_TRUE(Item("LAN1")->isChecked());
  EXPECT_FALSE(Item("Com41")->isChecked());

  std::ofstream(prog_ + "script.ini") << "M0\n";
  w_->Start->click();
  w_->Controller().Timer1Timer();
  EXPECT_EQ(link_->con_type, CON_UDP);
  EXPECT_EQ(link_->local_port, 10600);
  EXPECT_EQ(link_->remote_port, 10700);
  EXPECT_EQ(link_->remote_address, "127.0.0.1");
  w_->Start->click();  // STOP

  CloseWindow();
  EXPECT_EQ(ReadSettings(),
            "CON_TYPE=UDP\r\nCOM_PORT=NA\r\nREMOTE_IP=127.0.0.1\r\n"
            "REMOTE_PORT=10700\r\nLOCAL_PORT=10600\r\n");
}

TEST_F(WindowSettings, CancelledLanSetupKeepsTheComPort) {
  WriteSettings("CON_TYPE=RS232\r\nCOM_PORT=COM4\r\nREMOTE_IP=127.0.0.1\r\n");
  w_->LoadSettings();
  OnModal([](QWidget* d) {
    auto* dlg = qobject_cast<TIPConfigDlg*>(d);
    ASSERT_NE(dlg, nullptr);
    dlg->RBUdp->click();
    dlg->BCancel->click();
  });
  Item("LAN1")->trigger();
  EXPECT_TRUE(Item("Com41")->isChecked());
  EXPECT_FALSE(Item("LAN1")->isChecked());
  EXPECT_EQ(w_->Controller().SelectedComPort(), "COM4");

  CloseWindow();
  EXPECT_EQ(ReadSettings(),
            "CON_TYPE=RS232\r\nCOM_PORT=COM4\r\nREMOTE_IP=127.0.0.1\r\n"
            "REMOTE_PORT=10500\r\nLOCAL_PORT=10500\r\n");
}

TEST_F(WindowSettings, ManualShowsTheSelectionEveryTimeAndTheRunSeesIt) {
  int shown = 0;
  auto untick = [&shown](QCheckBox* TCompSelDlg::*box) {
    return [&shown, box](QWidget* d) {
      auto* dlg = qobject_cast<TCompSelDlg*>(d);
      ASSERT_NE(dlg, nullptr);
      ++shown;
      (dlg->*box)->click();
      dlg->OKBtn->click();
    };
  };
  OnModal(untick(&TCompSelDlg::CBMBPROM2));
  Item("MManual")->trigger();
  OnModal(untick(&TCompSelDlg::CBMBEDID));
  Item("MManual")->trigger();  // already checked: shown again
  EXPECT_EQ(shown, 2);
  EXPECT_TRUE(w_->Controller().Manual());
  TCompSelection s = w_->Controller().CompSelection();
  EXPECT_TRUE(s.MotherBoard && s.MCU && s.PROM1 && s.CPLD);
  EXPECT_FALSE(s.PROM2);
  EXPECT_FALSE(s.EDID);

  OnModal([](QWidget* d) {
    EXPECT_NE(qobject_cast<TAboutBox*>(d), nullptr);
    static_cast<QDialog*>(d)->accept();
  });
  Item("AboutUpdater")->trigger();
}

TEST_F(WindowSettings, UnwritableSettingsStillLetTheWindowClose) {
  WriteSettings("CON_TYPE=RS232\r\nCOM_PORT=COM4\r\n");
  ASSERT_EQ(chmod((prog_ + "Updater.prm").c_str(), 0444), 0);
  w_->LoadSettings();
  EXPECT_TRUE(Item("Com41")->isChecked());
  Item("Com21")->trigger();
  testing::internal::CaptureStderr();
  CloseWindow();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(w_->isVisible());
  EXPECT_NE(err.find(prog_ + "Updater.prm"), std::string::npos) << err;
  EXPECT_EQ(ReadSettings(), "CON_TYPE=RS232\r\nCOM_PORT=COM4\r\n");
}

// What could not be read is said at start and never replaced by the defaults.
TEST_F(WindowSettings, UnreadableSettingsAreSaidAndLeftAlone) {
  const std::string path = prog_ + "Updater.prm";
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  w_->LoadSettings();
  EXPECT_TRUE(Item("Com11")->isChecked());
  w_->Controller().Timer1Timer();
  EXPECT_EQ(w_->MemoStatus->toPlainText().toStdString(),
            "Package folder: " + prog_ + "\n" + path +
                " could not be read (not a regular file): the default settings are used and the "
                "file is left as it is\n"
                "Click on button START to begin program operation");
  testing::internal::CaptureStderr();
  CloseWindow();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// The dialog shows the list as it is while open; the assignment is saved with the settings.
TEST_F(WindowSettings, SerialDevicesAssignsTheCheckedSlotAndFollowsPlugging) {
  WriteSettings("CON_TYPE=RS232\r\nCOM_PORT=COM3\r\nREMOTE_IP=127.0.0.1\r\n");
  w_->LoadSettings();
  devices_->devices = {BoardPort()};
  const TSerialDevice adapter = FtdiAdapter();
  std::vector<std::string> seen;
  OnModal([&](QWidget* d) {
    auto* dlg = qobject_cast<TSerialDevicesDlg*>(d);
    ASSERT_NE(dlg, nullptr);
    auto cell = [dlg](int row, int column) {
      QTableWidgetItem* item = dlg->DeviceList->item(row, column);
      return item ? item->text().toStdString() : std::string("-");
    };
    EXPECT_EQ(dlg->CBSlot->currentText(), "COM3");
    EXPECT_EQ(cell(0, 0) + " " + cell(0, 1), "/dev/ttyS0 COM1");
    devices_->Plug(adapter);
    ASSERT_EQ(dlg->DeviceList->rowCount(), 2);
    EXPECT_EQ(cell(1, 0) + "|" + cell(1, 1) + "|" + cell(1, 2) + "|" + cell(1, 3) + "|" +
                  cell(1, 4) + "|" + cell(1, 5) + "|" + cell(1, 6),
              "/dev/ttyUSB0||ftdi_sio|0403:6001|FTDI|FT232R USB UART|A1B2C3");
    dlg->DeviceList->selectRow(1);
    EXPECT_EQ(dlg->LName->text().toStdString(), "Stored as " + adapter.ById);
    dlg->BAssign->click();
    EXPECT_EQ(cell(1, 1), "COM3");
    devices_->Unplug("/dev/ttyS0");  // the adapter stays selected
    ASSERT_EQ(dlg->DeviceList->rowCount(), 1);
    EXPECT_EQ(dlg->DeviceList->selectedItems().value(0)->text(), "/dev/ttyUSB0");
    seen.push_back("shown");
    dlg->BClose->click();
  });
  Item("SerialDevices")->trigger();
  EXPECT_EQ(seen, std::vector<std::string>{"shown"});
  EXPECT_FALSE(devices_->changed) << "still watching after the dialog closed";
  EXPECT_EQ(Item("Com31")->toolTip().toStdString(), adapter.ById);
  EXPECT_EQ(link_->devices[3], adapter.ById);

  CloseWindow();
  EXPECT_EQ(ReadSettings(),
            "CON_TYPE=RS232\r\nCOM_PORT=COM3\r\nREMOTE_IP=127.0.0.1\r\n"
            "COM3_DEVICE=" +
                adapter.ById + "\r\nREMOTE_PORT=10500\r\nLOCAL_PORT=10500\r\n");
}

TEST_F(WindowSettings, SerialDevicesSaysWhyTheListIsEmpty) {
  devices_->fail = "cannot open the device database (libudev)";
  {
    TSerialDevicesDlg dlg(*devices_, w_->Settings, 1);
    EXPECT_EQ(dlg.LName->text(), "cannot open the device database (libudev)");
    EXPECT_FALSE(dlg.BAssign->isEnabled());
  }
  devices_->fail.clear();
  devices_->watchable = false;
  TSerialDevicesDlg dlg(*devices_, w_->Settings, 12);
  EXPECT_EQ(dlg.CBSlot->currentText(), "COM9");
  EXPECT_EQ(dlg.LName->text(), "No serial device found; plug one in and press Refresh.");
  devices_->devices = {FtdiAdapter()};
  dlg.BRefresh->click();
  EXPECT_EQ(dlg.DeviceList->rowCount(), 1);
  EXPECT_TRUE(dlg.BAssign->isEnabled());
}

// Each package folder keeps its own Updater.prm; the runs take their scripts from the new one.
TEST_F(WindowSettings, PackageFolderChangesFolderSettingsAndScripts) {
  PrivateUserSettings();
  WriteSettings("CON_TYPE=RS232\r\nCOM_PORT=COM4\r\nREMOTE_IP=127.0.0.1\r\n");
  w_->LoadSettings();
  Item("Com51")->trigger();
  QTemporaryDir other_dir;
  const std::string other = other_dir.path().toStdString() + "/";
  std::ofstream(other + "script.ini") << "M0\n";
  std::ofstream(other + "readid.ini") << "M0\n";
  std::ofstream(other + "Updater.prm")
      << "CON_TYPE=RS232\r\nCOM_PORT=COM7\r\nREMOTE_IP=127.0.0.1\r\n";
  EXPECT_TRUE(w_->ReadId->isHidden());

  std::vector<std::string> seen;
  w_->FolderDialog = AnsweringDialog({other_dir.path().toStdString(), "", prog_}, &seen);
  Item("PackageFolder")->trigger();
  EXPECT_EQ(ReadSettings(),
            "CON_TYPE=RS232\r\nCOM_PORT=COM5\r\nREMOTE_IP=127.0.0.1\r\n"
            "REMOTE_PORT=10500\r\nLOCAL_PORT=10500\r\n");
  EXPECT_TRUE(Item("Com71")->isChecked());
  EXPECT_FALSE(w_->ReadId->isHidden());
  EXPECT_EQ(w_->Controller().GetProgramDir(), other);
  EXPECT_EQ(ProgramDir(), other);
  EXPECT_EQ(RememberedPackageFolder(), other);
  const QString box = w_->MemoStatus->toPlainText();
  EXPECT_EQ(box.toStdString(), "Package folder: " + prog_ + "\nPackage folder: " + other);

  w_->Start->click();
  w_->Controller().Timer1Timer();
  EXPECT_EQ(w_->Controller().GetScriptPath(), other + "script.ini");
  EXPECT_FALSE(Item("PackageFolder")->isEnabled());
  w_->Start->click();  // STOP
  w_->Controller().Timer1Timer();
  EXPECT_TRUE(Item("PackageFolder")->isEnabled());

  // Cancelled, then a folder that holds no script, refused with a warning: nothing changes.
  Item("PackageFolder")->trigger();
  OnModal([&seen](QWidget* w) {
    auto* warning = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(warning, nullptr);
    seen.push_back("warning: " + warning->text().toStdString());
    warning->accept();
  });
  Item("PackageFolder")->trigger();
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "dialog in " + prog_, "dialog in " + other, "dialog in " + other,
                      "warning: " + prog_ + ": holds no script.ini or readid.ini"}));
  EXPECT_EQ(w_->Controller().GetProgramDir(), other);
  EXPECT_EQ(RememberedPackageFolder(), other);
}

// A window that finds no package folder (an installed program) works in the folder chosen
// last, and asks for one only when there is none that still holds a script.
TEST(StartFolder, RemembersTheFolderChosenLast) {
  UiApp();
  PrivateUserSettings();
  QTemporaryDir a_dir, b_dir;
  const std::string a = a_dir.path().toStdString() + "/";
  const std::string b = b_dir.path().toStdString() + "/";
  std::ofstream(a + "script.ini") << "M0\n";
  std::ofstream(b + "readid.ini") << "M0\n";
  RememberPackageFolder("");
  std::vector<std::string> seen;
  const TFolderDialog dialog = AnsweringDialog({"", b}, &seen);

  SetProgramDir(a);  // a program folder with its package: nothing to ask
  ChooseStartFolder(nullptr, dialog);
  EXPECT_EQ(ProgramDir(), a);

  ForgetProgramDir();
  ChooseStartFolder(nullptr, dialog);  // cancelled: still none
  EXPECT_EQ(ProgramDir(), "");
  EXPECT_EQ(RememberedPackageFolder(), "");
  ChooseStartFolder(nullptr, dialog);
  EXPECT_EQ(ProgramDir(), b);
  EXPECT_EQ(RememberedPackageFolder(), b);

  ForgetProgramDir();
  ChooseStartFolder(nullptr, dialog);  // remembered and still a package: taken without asking
  EXPECT_EQ(ProgramDir(), b);
  const std::string home = QDir::homePath().toStdString();
  EXPECT_EQ(seen, (std::vector<std::string>{"dialog in " + home, "dialog in " + home}));

  std::filesystem::remove(b + "readid.ini");  // gone: asked again, starting there
  ForgetProgramDir();
  ChooseStartFolder(nullptr, dialog);
  EXPECT_EQ(seen.back(), "dialog in " + b);
  EXPECT_EQ(ProgramDir(), "");
  SetProgramDir("");
}

// Settings that go nowhere: what a window loads and saves, and where.
class TCountingStore : public TSettingsStore {
 public:
  TConnectionSettings Load(const std::string& dir, TSettingsLines& lines,
                           std::string& unreadable) override {
    log->push_back("load " + dir);
    return TSettingsStore::Load(dir, lines, unreadable);
  }
  bool Save(const std::string& dir, TSettingsLines&, const TPortChoice&,
            const TLanSettings&) override {
    log->push_back("save " + dir);
    return true;
  }
  std::vector<std::string>* log = nullptr;
};

// A window that found no package folder (the operator cancelled the first dialog) says so,
// reads and writes no settings file anywhere, and has START ask for the folder first: a run
// starts once one is chosen, never before.
TEST(NoPackageFolder, StartAsksForTheFolderAndNothingIsWrittenMeanwhile) {
  UiApp();
  QString said;  // what stops a window mode before it opens is said in a box
  OnModal([&said](QWidget* box) { said = static_cast<QMessageBox*>(box)->text(), box->close(); });
  ShowStartError("l é.txt: cannot be read");
  EXPECT_EQ(said.toStdString(), "l é.txt: cannot be read");
  PrivateUserSettings();
  RememberPackageFolder("");
  TPackage top;
  top.Write("rép ü€/script.ini", "M0\r\n");
  top.Write("rép ü€/readid.ini", "M0\r\n");
  const std::string pkg = top.Path() + "rép ü€/";
  std::vector<std::string> calls, seen;
  auto store = std::make_unique<TCountingStore>();
  store->log = &calls;
  std::vector<std::string> taken;
  TFakeEngines engines{};
  ForgetProgramDir();
  auto w = std::make_unique<TMainFich>(DefaultRunConfig(""), std::make_unique<TFakeLink>(),
                                       MakeFakeEngines(&taken, engines),
                                       std::make_unique<TFakeSerialDevices>(), std::move(store));
  w->LoadSettings();
  EXPECT_EQ(w->MemoStatus->toPlainText().toStdString(),
            "No package folder: START asks for the folder that holds script.ini");
  w->FolderDialog = AnsweringDialog({"", pkg}, &seen);
  w->Start->click();  // cancelled
  w->Controller().Timer1Timer();
  EXPECT_FALSE(w->Controller().Running());
  EXPECT_EQ(w->MemoStatus->toPlainText().toStdString(), kNoPackageFolderText);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(w->ReadId->isHidden());
  w->Start->click();
  EXPECT_FALSE(w->ReadId->isHidden());  // the chosen folder's readid.ini
  EXPECT_TRUE(w->Controller().Running());
  EXPECT_EQ(w->Controller().GetScriptPath(), pkg + "script.ini");
  // The folder's name as the system spells it; the device's own text stays Latin-1.
  w->AppendStatus("Bo\xEEte");
  EXPECT_TRUE(w->MemoStatus->toPlainText().endsWith("\nPackage folder: " + QString::fromUtf8(pkg) +
                                                    "\nConnection: COM1 (/dev/ttyS0)\nBo\u00EEte"))
      << w->MemoStatus->toPlainText().toStdString();
  const std::string home = QFile::encodeName(QDir::homePath()).toStdString();
  EXPECT_EQ(seen, (std::vector<std::string>{"dialog in " + home, "dialog in " + home}));
  EXPECT_EQ(RememberedPackageFolder(), pkg);
  w->Start->click();  // STOP
  w->show();
  w->close();
  EXPECT_EQ(calls, (std::vector<std::string>{"load " + pkg, "save " + pkg}));
  SetProgramDir("");
}

TEST_F(WindowSettings, AWindowThatNeverReadTheFileLeavesIt) {
  CloseWindow();
  struct stat st;
  EXPECT_NE(stat((prog_ + "Updater.prm").c_str(), &st), 0);
}

// --link takes the place of the file's connection for this window only, and REPORT_FILE (from
// the program folder, "./" or not) makes the window append the same record as --report, with no
// exit status.
TEST_F(WindowSettings, LinkOverridesTheFileAndReportFileRecordsEachRun) {
  const std::string settings =
      "CON_TYPE=TCP\r\nCOM_PORT=NA\r\nREMOTE_IP=127.0.0.1\r\nREMOTE_PORT=1\r\n"
      "LOCAL_PORT=10500\r\nREPORT_FILE=./runs.jsonl\r\n";
  WriteSettings(settings);
  std::ofstream(prog_ + "script.ini", std::ios::binary) << "prompt hello\r\n";
  std::ofstream(prog_ + "BOOT_EXT_OPTION.HEX", std::ios::binary) << ":00000001FF\r\n";
  w_->LoadSettings();
  TLinkOption link;
  std::string error;
  ASSERT_TRUE(ParseLinkOption("udp:127.0.0.1:10500:10600", link, error)) << error;
  w_->UseLink(link);
  EXPECT_TRUE(Item("LAN1")->isChecked());
  EXPECT_EQ(w_->IPConfigDlg->ConnectionKind(), CON_UDP);
  const TLanSettings lan = w_->Controller().LanSettings();
  EXPECT_EQ(lan.RemotePort, 10500);
  EXPECT_EQ(lan.LocalPort, 10600);

  for (int run = 0; run < 2; ++run) {
    w_->Controller().StartClick();
    for (int i = 0; i < 1000 && w_->Controller().Running(); ++i) w_->Controller().Timer1Timer();
    ASSERT_FALSE(w_->Controller().Running());
  }
  std::ifstream in(prog_ + "runs.jsonl");
  std::vector<QJsonObject> records;
  for (std::string line; std::getline(in, line);)
    records.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["result"].toString(), "completed");
  EXPECT_EQ(records[0]["transport"].toString(), "udp");
  EXPECT_EQ(records[0]["link"].toString(), "127.0.0.1:10500");
  EXPECT_EQ(records[0]["local_port"].toInt(), 10600);
  EXPECT_TRUE(records[1]["exit_status"].isNull());
  EXPECT_EQ(records[1]["script"].toString().toStdString(), prog_ + "script.ini");

  CloseWindow();
  EXPECT_EQ(ReadSettings(), settings);  // not written with the link
}

}  // namespace
