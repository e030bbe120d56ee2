#include "app/SerialPorts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "link/fake_serial_devices.h"
#include "scratch_dir.h"

namespace {

std::string Slots(const TPortRow& row) {
  return ComSlotsText(row.ComSlots);
}

TEST(SerialPorts, ComSlotsFollowTheSettings) {
  ScratchDir dir;
  // A device file reached through a link of another name, as udev's by-path links are.
  dir.Write("ttyACM0", "");
  std::filesystem::create_symlink(dir.Path() + "ttyACM0", dir.Path() + "by-path-acm");
  const std::vector<TSerialDevice> devices = {
      BoardPort("/dev/ttyS0"), BoardPort("/dev/ttyS1"), FtdiAdapter("/dev/ttyUSB0", "A"),
      FtdiAdapter("/dev/ttyUSB1", "B"), BoardPort(dir.Path() + "ttyACM0")};
  const TSettingsLines settings = {
      "COM1_DEVICE=" + devices[2].ById,  // by-id name
      "com3_device=/dev/ttyUSB1",        // node, key in any case
      "COM4_DEVICE=/dev/ttyS1",          // the same port as COM2's default
      "COM5_DEVICE=" + dir.Path() + "by-path-acm",
      "COM6_DEVICE=",  // empty: the default /dev/ttyS5, absent here
  };
  const std::vector<TPortRow> rows = MapComSlots(devices, settings);
  ASSERT_EQ(rows.size(), devices.size());
  EXPECT_EQ(Slots(rows[0]), "");  // COM1 is the adapter now
  EXPECT_EQ(Slots(rows[1]), "COM2, COM4");
  EXPECT_EQ(Slots(rows[2]), "COM1");
  EXPECT_EQ(Slots(rows[3]), "COM3");
  EXPECT_EQ(Slots(rows[4]), "COM5");
  EXPECT_EQ(Slots(MapComSlots({BoardPort("/dev/ttyS0")}, {})[0]), "COM1");

  EXPECT_EQ(StableName(devices[2]), devices[2].ById);
  EXPECT_EQ(StableName(devices[0]), "/dev/ttyS0");
}

TEST(SerialPorts, ListPortsPrintsEveryFieldKnown) {
  ScratchDir prog;
  prog.Write("Updater.prm", "CON_TYPE=RS232\r\nCOM2_DEVICE=" + FtdiAdapter().ById + "\r\n");
  TFakeSerialDevices devices;
  devices.devices = {BoardPort(), FtdiAdapter()};
  std::ostringstream out, err;
  EXPECT_EQ(RunListPorts(devices, prog.Path(), out, err), 0);
  EXPECT_EQ(out.str(),
            "/dev/ttyS0  COM1\n"
            "  driver        serial\n"
            "/dev/ttyUSB0  COM2\n"
            "  by-id         /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n"
            "  driver        ftdi_sio\n"
            "  USB id        0403:6001\n"
            "  manufacturer  FTDI\n"
            "  product       FT232R USB UART\n"
            "  serial        A1B2C3\n"
            "2 serial devices\n");
  EXPECT_EQ(err.str(), "");

  std::ostringstream one, none;
  devices.devices = {FtdiAdapter("/dev/ttyUSB3", "Z9")};
  RunListPorts(devices, prog.Path(), one, err);
  EXPECT_EQ(one.str().substr(0, one.str().find('\n')), "/dev/ttyUSB3  no COM slot");
  EXPECT_EQ(one.str().substr(one.str().rfind('\n', one.str().size() - 2) + 1), "1 serial device\n");
  devices.devices.clear();
  RunListPorts(devices, prog.Path(), none, err);
  EXPECT_EQ(none.str(), "no serial devices found\n");

  devices.fail = "cannot open the device database (libudev)";
  std::ostringstream failed_out, failed_err;
  EXPECT_EQ(RunListPorts(devices, prog.Path(), failed_out, failed_err), 1);
  EXPECT_EQ(failed_out.str(), "");
  EXPECT_EQ(failed_err.str(), "qubra-updater: cannot open the device database (libudev)\n");
}

}  // namespace
