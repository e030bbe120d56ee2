#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>

#include "app/ComDriverLink.h"
#include "app/EngineSet.h"
#include "app/ProgramDir.h"
#include "history/HistorySpool.h"
#include "line/FakeChildren.h"
#include "link/fake_serial_devices.h"
#include "link/link_test_util.h"
#include "history/HistoryWorker.h"
#include "scratch_dir.h"
#include "ui/About.h"
#include "ui/CompDlg.h"
#include "ui/HistoryDlg.h"
#include "ui/LineWindow.h"
#include "ui/MainFich.h"
#include "ui/SerialDevicesDlg.h"
#include "ui/TrustedKeysDlg.h"
#include "ui/ipconfig.h"
#include "ui/ui_app.h"

namespace {

bool InLayout(const QLayout* layout, const QWidget* control) {
  for (int i = 0; i < layout->count(); ++i) {
    QLayoutItem* item = layout->itemAt(i);
    if (item->widget() == control || (item->layout() && InLayout(item->layout(), control)))
      return true;
  }
  return false;
}

// The named controls that nothing placed: left out of their parent's layout, or, where the
// parent has none, never moved from its corner.
std::vector<std::string> Unplaced(const QWidget& dialog) {
  std::vector<std::string> names;
  for (const QWidget* control : dialog.findChildren<QWidget*>()) {
    const QString name = control->objectName();
    // A main window's menu bar has a place of its own, outside the layout of its controls.
    if (name.isEmpty() || name.startsWith("qt_") || control->isWindow() ||
        qobject_cast<const QMenuBar*>(control))
      continue;
    const QLayout* layout = control->parentWidget()->layout();
    if (layout ? !InLayout(layout, control) : control->pos().isNull())
      names.push_back(name.toStdString());
  }
  return names;
}

// Every named control of a dialog shows in its picture: none lies outside the dialog, and
// none is left blank (a region of one flat colour).
void ExpectEveryControlDrawn(QWidget& dialog, const QImage& shot) {
  EXPECT_EQ(Unplaced(dialog), std::vector<std::string>{});
  const qreal ratio = shot.devicePixelRatio();
  for (QWidget* control : dialog.findChildren<QWidget*>()) {
    if (control->objectName().isEmpty() || !control->isVisibleTo(&dialog)) continue;
    SCOPED_TRACE(control->objectName().toStdString());
    const QRect area(control->mapTo(&dialog, QPoint(0, 0)), control->size());
    EXPECT_TRUE(dialog.rect().contains(area));
    const QRect pixels(area.topLeft() * ratio, area.size() * ratio);
    std::set<QRgb> colours;
    for (int y = pixels.top(); y <= pixels.bottom() && colours.size() < 2; ++y)
      for (int x = pixels.left(); x <= pixels.right() && colours.size() < 2; ++x)
        if (shot.valid(x, y)) colours.insert(shot.pixel(x, y));
    EXPECT_EQ(colours.size(), 2u);
  }
}

// Kept for the documentation when QUBRA_SCREENSHOT_DIR names a folder.
void Keep(const QPixmap& shot, const char* name) {
  const char* dir = std::getenv("QUBRA_SCREENSHOT_DIR");
  if (dir) {
    EXPECT_TRUE(shot.save(QString::fromLocal8Bit(dir) + "/" + name)) << name;
  }
}

// A control moved, resized or recoloured shows: the picture is the one in docs/. The pictures
// were made with this font; with another, only the other checks hold.
void ExpectPicture(const QWidget& window, const QPixmap& shot, const char* name) {
  if (std::getenv("QUBRA_SCREENSHOT_DIR") || QFontInfo(window.font()).family() != "DejaVu Sans")
    return;
  const QImage picture(QStringLiteral(QUBRA_SOURCE_DIR "/docs/") + name);
  EXPECT_TRUE(shot.toImage().convertToFormat(picture.format()) == picture)
      << "docs/" << name << " no longer shows the window: tools/screenshots.sh makes it again";
}

// Renders the dialogs as the operator first sees them: every control placed and drawn.
TEST(Screenshots, Dialogs) {
  UiApp();
  TIPConfigDlg lan;
  lan.SetValues({CON_TCP, "192.168.0.10", 10500, 10500});
  TCompSelDlg comp;
  TAboutBox about;
  about.LVersion->setText("Version : 1.30.2.1");  // the picture outlives the version
  // Two adapters and a port on the board; COM3 is the checked slot and reaches the FTDI one.
  TFakeSerialDevices devices;
  devices.devices = {BoardPort(),
                     FtdiAdapter(),
                     {"/dev/ttyUSB1", "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0", "ch341",
                      "1a86", "7523", "QinHeng Electronics", "USB Serial", ""}};
  const TSettingsLines settings = {"COM3_DEVICE=" + FtdiAdapter().ById};
  TSerialDevicesDlg serial(devices, settings, 3);
  serial.DeviceList->selectRow(1);
  // Key files named from the current folder, so that the picture names them alike anywhere.
  ScratchDir keys;
  keys.Write("station.pub",
             "untrusted comment: minisign public key 156F46B718D5B599\n"
             "RWSZtdUYt0ZvFVUVfUHYBXE1pQOMKFo1hMFqIhX0hIJ1vdYKpJossneO\n");
  const QString here = QDir::currentPath();
  QDir::setCurrent(QString::fromStdString(keys.Path()));
  TTrustedKeysDlg trusted({{"station.pub", "retired.pub"}, {}},
                          "/home/operator/.config/qubra-updater/trusted.d/");
  QDir::setCurrent(here);

  // A day of this station's runs, one of them failed, at the same hours wherever it is drawn.
  const QByteArray zone = qgetenv("TZ");
  qputenv("TZ", "UTC");
  tzset();
  ScratchDir runs;
  const std::string db = "sqlite:" + runs.Path() + "history.sqlite";
  for (const char* run : {"qb-0410 completed 412.8 ", "qb-0411 error 37.2 Checksum Error",
                          "qb-0412 completed 405.1 "}) {
    const QStringList f = QString(run).split(' ');
    const QJsonObject record{{"id", f[0]},
                             {"station", "line-2"},
                             {"name", f[0]},
                             {"result", f[1]},
                             {"seconds", f[2].toDouble()},
                             {"error", f.mid(3).join(" ")},
                             {"device", QJsonObject{{"id", "0" + f[0].right(3)}}},
                             {"start", "2026-03-02T0" + f[0].right(1) + ":15:00.000Z"}};
    std::string notice;
    ASSERT_TRUE(THistoryWorker::Process().KeepWithin(db, record, 30, nullptr, notice)) << notice;
  }
  THistoryDlg history(db, "line-2");
  ASSERT_TRUE(WaitFor([&] { return !history.Asking(); }));
  history.resize(760, 300);
  const std::pair<QWidget*, const char*> dialogs[] = {
      {&lan, "lan-setup.png"}, {&history, "history.png"},       {&comp, "component-selection.png"},
      {&about, "about.png"},   {&serial, "serial-devices.png"}, {&trusted, "trusted-keys.png"}};
  for (const auto& [dialog, name] : dialogs) {
    SCOPED_TRACE(name);
    dialog->show();
    const QPixmap shot = dialog->grab();
    ExpectEveryControlDrawn(*dialog, shot.toImage());
    Keep(shot, name);
    ExpectPicture(*dialog, shot, name);
  }
  zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
  tzset();

  // A control its dialog forgot to place is found, with a layout or without.
  for (QWidget* dialog : std::initializer_list<QWidget*>{&serial, &lan}) {
    auto* stray = new QPushButton(QStringLiteral("Stray"), dialog);
    stray->setObjectName("Stray");
    EXPECT_EQ(Unplaced(*dialog), std::vector<std::string>{"Stray"});
    delete stray;
  }
}

// The main window as the program composes it, over an update package: idle, and with
// QUBRA_SCREENSHOT_PACKAGE (a staged package whose Updater.prm names a simulated device on
// 127.0.0.1) after a whole update. Without it, over a copy of the demo package, idle only.
TEST(Screenshots, MainWindow) {
  UiApp();
  QTemporaryDir copy;
  const char* staged = std::getenv("QUBRA_SCREENSHOT_PACKAGE");
  std::string package;
  if (staged) {
    package = staged;
  } else {
    package = copy.path().toStdString() + "/qubra-demo";
    std::filesystem::copy(QUBRA_SOURCE_DIR "/demo", package,
                          std::filesystem::copy_options::recursive);
  }
  SetProgramDir(package);
  {
    TMainFich window(DefaultRunConfig(""), std::make_unique<TComDriverLink>(), MakeEngineSet(),
                     std::make_unique<TFakeSerialDevices>(), std::make_unique<TSettingsStore>());
    window.LoadSettings();
    window.show();
    window.Controller().Timer1Timer();
    // The status box lays out its lines on the next turn of the event loop.
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.ReadId->isVisible());
    EXPECT_TRUE(window.Quit->isVisible());
    EXPECT_EQ(
        window.MemoStatus->toPlainText().toStdString(),
        "Package folder: " + ProgramDir() + "\nClick on button START to begin program operation");
    const QPixmap idle = window.grab();
    ExpectEveryControlDrawn(window, idle.toImage());
    Keep(idle, "main-window.png");

    if (staged) {
      window.Start->click();
      for (QDeadlineTimer deadline(120000);
           window.Controller().Outcome() == roNONE && !deadline.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
      EXPECT_EQ(window.Controller().Outcome(), roCOMPLETED) << window.Controller().GetLastError();
      window.Controller().Timer1Timer();
      Keep(window.grab(), "run-completed.png");
    }
  }
  SetProgramDir("");
}

// The line window as it opens on a list, one row refused, before any device has run.
TEST(Screenshots, LineWindowOpened) {
  UiApp();
  ScratchDir dir;
  dir.Write("devices.txt",
            "# bench 2\nstation-1 tcp:127.0.0.1:4001\nstation-2 COM2\n"
            "station-3 tcp:127.0.0.1:4001\n");
  SetProgramDir("/opt/qubra-package");
  TLineWindow window([](const std::string&) { return TProductionLine::TConfig{}; },
                     std::make_unique<TFakeSerialDevices>(), std::make_unique<TFakeChildren>());
  std::string error;
  ASSERT_TRUE(window.OpenList(dir.Path() + "devices.txt", error)) << error;
  window.show();
  // The active window, as the operator sees it, on any display.
  window.activateWindow();
  for (QDeadlineTimer deadline(5000); !window.isActiveWindow() && !deadline.hasExpired();)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  QCoreApplication::processEvents();
  const QPixmap shot = window.grab();
  Keep(shot, "line-window-opened.png");
  ExpectPicture(window, shot, "line-window-opened.png");
  SetProgramDir("");
}

}  // namespace
