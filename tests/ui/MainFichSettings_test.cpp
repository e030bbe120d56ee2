#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <fstream>
#include <map>
#include <sstream>

#include "app/fakes.h"
#include "formats/text.h"
#include "ui/About.h"
#include "ui/CompDlg.h"
#include "ui/MainFich.h"
#include "ui/ipconfig.h"
#include "ui/ui_app.h"

namespace {

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
    w_ = std::make_unique<TMainFich>(TRunConfig{prog_, "", false}, std::move(link),
                                     MakeFakeEngines(&log_, engines_));
  }
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
            path +
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

TEST_F(WindowSettings, AWindowThatNeverReadTheFileLeavesIt) {
  CloseWindow();
  struct stat st;
  EXPECT_NE(stat((prog_ + "Updater.prm").c_str(), &st), 0);
}

}  // namespace
