#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "app/fakes.h"
#include "link/fake_serial_devices.h"
#include "link/link_test_util.h"
#include "seal/minisign_tool.h"
#include "ui/MainFich.h"
#include "ui/TrustedKeysDlg.h"
#include "ui/ui_app.h"

namespace {

QApplication& App() {
  return *UiApp();
}

class MainFichTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    prog = dir.path().toStdString() + "/";
    auto link = std::make_unique<TFakeLink>();
    fl = link.get();
    fl->dev = 30;
    w = std::make_unique<TMainFich>(
        TRunConfig{prog, "", readid}, std::move(link), MakeFakeEngines(&log, e),
        std::make_unique<TFakeSerialDevices>(), std::make_unique<TSettingsStore>());
  }
  // The status box's seal lines: the seal is judged away from the window.
  QStringList SealLines() const {
    return w->MemoStatus->toPlainText().split('\n').filter(QRegularExpression("^Package (?!f)"));
  }
  std::string NextSealLine() {
    WaitFor([this] { return SealLines().size() > SealSeen; });
    SealSeen = SealLines().size();
    return SealSeen ? SealLines().back().toStdString() : "";
  }
  qsizetype SealSeen = 0;
  QAction* Item(const char* name) {
    QAction* a = w->findChild<QAction*>(name);
    if (!a) throw std::runtime_error(std::string("no menu item ") + name);
    return a;
  }

  bool readid = false;
  QTemporaryDir dir;
  std::string prog;
  TFakeLink* fl = nullptr;
  TFakeEngines e{};
  std::vector<std::string> log;
  std::unique_ptr<TMainFich> w;
};

TEST_F(MainFichTest, MenusCarryTheirCaptionsAndRadioGroups) {
  QStringList menus;
  for (QAction* a : w->menuBar()->actions()) menus << a->text();
  EXPECT_EQ(menus.join("|"), "&Port|&Mode|&View|&Settings|&About");
  QStringList items;
  for (QAction* a : w->Port1->actions()) items << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(items.join("|"),
            "Com &1|Com &2|Com &3|Com &4|Com &5|Com &6|Com &7|Com &8|Com &9|-|LAN/Setup|-|"
            "Serial Devices...");
  items.clear();
  for (QAction* a : w->Settings1->actions()) items << a->text();
  for (QAction* a : w->About1->actions()) items << a->text();
  EXPECT_EQ(items.join("|"), "&Package Folder...|&Trusted Keys...|&About Qubra Updater...");
  EXPECT_TRUE(Item("Com11")->isChecked());
  EXPECT_TRUE(Item("MAuto")->isChecked());
  // Before any settings each item already names its default device.
  EXPECT_EQ(Item("Com11")->toolTip(), "/dev/ttyS0");
  EXPECT_EQ(Item("Com91")->toolTip(), "/dev/ttyS8");
  for (const char* dialog : {"CompSel", "AboutBox", "IPConfigDlg"})
    EXPECT_NE(w->findChild<QDialog*>(dialog), nullptr) << dialog;

  Item("Com31")->trigger();
  EXPECT_FALSE(Item("Com11")->isChecked());
  EXPECT_EQ(w->Controller().SelectedComPort(), "COM3");
  // Without an applied LAN Setup the earlier port stays chosen.
  OnModal([](QWidget* dlg) { dlg->close(); });
  Item("LAN1")->trigger();
  EXPECT_TRUE(Item("Com31")->isChecked());
  EXPECT_FALSE(Item("LAN1")->isChecked());
  EXPECT_FALSE(w->Controller().PortChoice().Lan);

  OnModal([](QWidget* dlg) { dlg->close(); });
  Item("MManual")->trigger();
  EXPECT_TRUE(w->Controller().Manual());
  EXPECT_FALSE(Item("MAuto")->isChecked());
  Item("MAuto")->trigger();
  EXPECT_FALSE(w->Controller().Manual());
}

TEST_F(MainFichTest, IdlePromptAndRunCaptions) {
  EXPECT_EQ(w->windowTitle(), "Varnell Qubra Updater  (Device Id Unknown)");
  EXPECT_EQ(w->Start->text(), "Start");
  EXPECT_TRUE(w->ReadId->isHidden());
  EXPECT_TRUE(w->Quit->isHidden());
  w->Controller().Timer1Timer();
  EXPECT_EQ(w->MemoStatus->toPlainText().toStdString(),
            "Package folder: " + prog + "\nClick on button START to begin program operation");
  EXPECT_EQ(w->Start->text(), "START");
  EXPECT_EQ(w->ProgressBar1->toolTip(), "Operation: the instruction under way");
  EXPECT_EQ(w->ProgressBar2->toolTip(), "Card: the script of the card under way");
  EXPECT_EQ(w->ProgressBar3->toolTip(), "Script: the main script");
  std::ofstream(prog + "x.ini") << "M0\n";
  std::ofstream(prog + "script.ini") << "M0\n";
  e.card->steps = 100;
  w->Start->click();
  EXPECT_TRUE(w->MemoStatus->toPlainText().endsWith("operation\nConnection: COM1 (/dev/ttyS0)"));
  for (int i = 0; i < 8; ++i) w->Controller().Timer1Timer();
  EXPECT_EQ(w->Start->text(), "STOP");
  EXPECT_FALSE(w->Port1->menuAction()->isEnabled());
  EXPECT_FALSE(w->Program1->menuAction()->isEnabled());
  EXPECT_EQ(w->ProgressBar3->maximum(), 3);
  w->Start->click();
  w->Controller().Timer1Timer();
  EXPECT_EQ(w->Start->text(), "START");
  EXPECT_TRUE(w->Port1->menuAction()->isEnabled());
  w->Controller().SetPortDevice("/dev/ttyUSB7");
  w->ShowConnection();
  EXPECT_TRUE(w->MemoStatus->toPlainText().endsWith("\nConnection: /dev/ttyUSB7"));
  w->show();  // SIGINT or SIGTERM while a dialog is open: it goes, and so does the window
  OnModal([this](QWidget*) { w->StopAndClose(); });
  w->AboutUpdater->trigger();
  EXPECT_FALSE(w->isVisible());
}

// The status box shows the seal, and a key added in Trusted Keys... is trusted at once.
TEST_F(MainFichTest, TrustedKeysAddsAKeyAndTheSealFollows) {
  if (!HaveMinisign()) GTEST_SKIP() << "the minisign tool is not installed";
  std::ofstream(prog + "script.ini") << "rem sealed\r\n";
  std::ofstream(prog + "BOOT_EXT_OPTION.HEX") << ":00000001FF\r\n";
  std::string error;
  TManifest manifest;
  ASSERT_TRUE(BuildManifest(prog, {"script.ini", "BOOT_EXT_OPTION.HEX"}, manifest, error) &&
              WriteManifest(prog, manifest, error))
      << error;
  ScratchDir keys;
  const TToolKey author(keys, "author"), other(keys, "other");
  ASSERT_TRUE(author.Sign(prog + kManifestName));
  const std::string user = keys.Path() + "user/";
  keys.Write("user/0.pub", ReadAll(other.Pub));
  TSealPolicy policy;
  policy.Trust.Folders = {user};
  policy.KeyFolder = user;
  w->UseSealPolicy(policy);
  EXPECT_THAT(NextSealLine(),
              ::testing::EndsWith("not trusted: add its public key with Settings > Trusted Keys..."));

  w->KeyFileDialog = [&](QWidget*) { return author.Pub; };
  int listed = -1;
  OnModal([&](QWidget* dialog) {
    auto* keys_dlg = qobject_cast<TTrustedKeysDlg*>(dialog);
    ASSERT_NE(keys_dlg, nullptr);
    QApplication::processEvents();  // drawn once, then the key is added
    keys_dlg->AddKeyClick();
    listed = keys_dlg->Keys->topLevelItemCount();
    QApplication::processEvents();  // the first paint after it is the list as it stands
    const auto image = [](const QPixmap& p) {
      return p.toImage().convertToFormat(QImage::Format_RGB32);
    };
    const QImage drawn = image(QGuiApplication::primaryScreen()->grabWindow(dialog->winId()));
    EXPECT_EQ(drawn, image(dialog->grab()));
    dialog->close();
  });
  Item("TrustedKeys")->trigger();
  EXPECT_EQ(listed, 2);
  const std::string text = NextSealLine();
  ASSERT_TRUE(text.starts_with("Package sealed by key ")) << text;
  const std::string key_id = text.substr(22, text.find(' ', 22) - 22);
  EXPECT_EQ(text, "Package sealed by key " + key_id + " (trusted)");
  EXPECT_EQ(ReadAll(user + key_id + ".pub"), ReadAll(author.Pub));
}

// A junk signature over a link to the kernel's endless file: judged away from the window.
TEST_F(MainFichTest, HostilePackageNeverHoldsTheWindow) {
  std::filesystem::create_symlink("/proc/self/pagemap", prog + "notes.txt");
  std::ofstream(prog + kManifestName) << "qubra-updater package manifest 1\n"
                                      << std::string(64, 'a') << " 9 notes.txt\n";
  std::ofstream(prog + kSignatureName) << "untrusted comment: x\njunk\n";
  w->UseSealPolicy(TSealPolicy{});
  EXPECT_TRUE(SealLines().empty());
  EXPECT_THAT(NextSealLine(),
              ::testing::StartsWith("Package not accepted: package.manifest.minisig:"));
  OnModal([](QWidget* box) { box->close(); });
  w->Start->click();
  EXPECT_TRUE(WaitFor([this] { return !w->Controller().Running(); }));
  EXPECT_THAT(NextSealLine(), ::testing::StartsWith("Package not accepted: nothing was sent"));
  EXPECT_THAT(fl->log, ::testing::Not(::testing::Contains("con:" + std::to_string(CON_RS232))));
}

TEST_F(MainFichTest, OpensCentredWithFixedSize) {
  w->show();
  // The whole window, frame included, stands in the middle of the desktop.
  const QRect desktop = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((w->frameGeometry().center() - desktop.center()).manhattanLength(), 1);
  EXPECT_EQ(w->minimumSize(), w->maximumSize());
  EXPECT_EQ(w->minimumSize(), w->size());
  // The documentation's picture still fits it.
  EXPECT_EQ(w->size(), QImage(QUBRA_SOURCE_DIR "/docs/main-window.png").size());
  EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
}

}  // namespace
