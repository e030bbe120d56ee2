#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QPixmap>
#include <QPushButton>
#include <QTableWidget>
#include <cstdlib>
#include <set>

#include "link/fake_serial_devices.h"
#include "ui/About.h"
#include "ui/CompDlg.h"
#include "ui/SerialDevicesDlg.h"
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
    if (name.isEmpty() || name.startsWith("qt_") || control->isWindow()) continue;
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

// Renders the dialogs as the operator first sees them: every control placed and drawn, and each
// picture the one in docs/. After a change meant to be seen, QUBRA_SCREENSHOT_DIR=docs renews
// the pictures there.
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

  const char* renew = std::getenv("QUBRA_SCREENSHOT_DIR");
  const std::pair<QWidget*, QString> dialogs[] = {{&lan, "lan-setup"},
                                                  {&comp, "component-selection"},
                                                  {&about, "about"},
                                                  {&serial, "serial-devices"}};
  for (const auto& [dialog, name] : dialogs) {
    SCOPED_TRACE(name.toStdString());
    dialog->show();
    const QPixmap shot = dialog->grab();
    ExpectEveryControlDrawn(*dialog, shot.toImage());
    if (renew) {
      EXPECT_TRUE(shot.save(QString::fromLocal8Bit(renew) + "/" + name + ".png"));
      continue;
    }
    const QImage picture(QStringLiteral(QUBRA_SOURCE_DIR "/docs/") + name + ".png");
    EXPECT_TRUE(shot.toImage().convertToFormat(picture.format()) == picture)
        << "docs/" << name.toStdString() << ".png no longer shows the dialog";
  }

  // A control its dialog forgot to place is found, with a layout or without.
  for (QWidget* dialog : std::initializer_list<QWidget*>{&serial, &lan}) {
    auto* stray = new QPushButton(QStringLiteral("Stray"), dialog);
    stray->setObjectName("Stray");
    EXPECT_EQ(Unplaced(*dialog), std::vector<std::string>{"Stray"});
    delete stray;
  }
}

}  // namespace
