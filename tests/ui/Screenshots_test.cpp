#include <gtest/gtest.h>

#include <QPixmap>
#include <QTableWidget>
#include <cstdlib>

#include "link/fake_serial_devices.h"
#include "ui/CompDlg.h"
#include "ui/SerialDevicesDlg.h"
#include "ui/ipconfig.h"
#include "ui/ui_app.h"

namespace {

// Renders the dialogs as the operator first sees them; with QUBRA_SCREENSHOT_DIR set, the
// pictures are kept there for the documentation.
TEST(Screenshots, Dialogs) {
  UiApp();
  TIPConfigDlg lan;
  lan.SetValues({CON_TCP, "192.168.0.10", 10500, 10500});
  lan.show();
  QPixmap lanShot = lan.grab();
  TCompSelDlg comp;
  comp.show();
  QPixmap compShot = comp.grab();

  // Two adapters and a port on the board; COM3 is the checked slot and reaches the FTDI one.
  TFakeSerialDevices devices;
  devices.devices = {BoardPort(),
                     FtdiAdapter(),
                     {"/dev/ttyUSB1", "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0", "ch341",
                      "1a86", "7523", "QinHeng Electronics", "USB Serial", ""}};
  const TSettingsLines settings = {"COM3_DEVICE=" + FtdiAdapter().ById};
  TSerialDevicesDlg serial(devices, settings, 3);
  serial.DeviceList->selectRow(1);
  serial.show();
  QPixmap serialShot = serial.grab();

  EXPECT_EQ(lanShot.size(), QSize(263, 247));
  EXPECT_EQ(compShot.size(), comp.size());
  EXPECT_EQ(serialShot.size(), serial.size());
  if (const char* dir = std::getenv("QUBRA_SCREENSHOT_DIR")) {
    EXPECT_TRUE(lanShot.save(QString::fromLocal8Bit(dir) + "/lan-setup.png"));
    EXPECT_TRUE(compShot.save(QString::fromLocal8Bit(dir) + "/component-selection.png"));
    EXPECT_TRUE(serialShot.save(QString::fromLocal8Bit(dir) + "/serial-devices.png"));
  }
}

}  // namespace
