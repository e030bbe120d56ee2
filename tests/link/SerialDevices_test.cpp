#include "link/SerialDevices.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>

#include "link/UdevDatabase.h"
#include "link/link_test_util.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// The machine's device database as a test sets it; news is queued behind a pipe, which is
// readable while news waits, as the system's monitor socket is.
class TFakeUdev : public TUdevDatabase {
 public:
  struct TState {
    bool opened = true;
    int scan_error = 0;  // a negative errno
    bool monitor = true;
    std::vector<TTtyRecord> ttys;
    std::deque<std::string> news;
    int pipe[2] = {-1, -1};
    int starts = 0, stops = 0;
  };
  explicit TFakeUdev(TState& state) : s(state) {}

  bool Opened() const override { return s.opened; }
  int ScanTtys(std::vector<TTtyRecord>& ttys) override {
    ttys = s.ttys;
    return s.scan_error;
  }
  int StartMonitor() override {
    ++s.starts;
    if (!s.monitor || ::pipe(s.pipe) != 0) return -1;
    return s.pipe[0];
  }
  void StopMonitor() override {
    ++s.stops;
    ::close(s.pipe[0]);
    ::close(s.pipe[1]);
  }
  bool NextNews(std::string& action) override {
    if (s.news.empty()) return false;
    action = s.news.front();
    s.news.pop_front();
    char c;
    return ::read(s.pipe[0], &c, 1) == 1;
  }

 private:
  TState& s;
};

void Announce(TFakeUdev::TState& s, const std::string& action) {
  s.news.push_back(action);
  ASSERT_EQ(::write(s.pipe[1], "n", 1), 1);
}

TTtyRecord Tty(const std::string& node, std::vector<TTtyRecord::TAncestor> ancestors,
               std::optional<std::string> type = std::nullopt) {
  TTtyRecord r;
  r.Node = node;
  r.Ancestors = std::move(ancestors);
  r.Type = std::move(type);
  return r;
}

TEST(SerialDevices, ListsPortsWithHardwareBehindThem) {
  TFakeUdev::TState s;
  TTtyRecord ftdi = Tty("/dev/ttyUSB0", {{"usb-serial", "ftdi_sio"}, {"usb", "usb"}});
  ftdi.Links = {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
                "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"};
  ftdi.Usb = {{"idVendor", "0403"},
              {"idProduct", "6001"},
              {"manufacturer", "FTDI"},
              {"product", "FT232R USB UART"},
              {"serial", "A1B2C3"}};
  ftdi.Properties = {{"ID_VENDOR_ID", "ffff"}, {"ID_USB_DRIVER", "other"}};
  // Without USB descriptors the database's words; without a bound driver its USB driver.
  TTtyRecord acm = Tty("/dev/ttyACM0", {{"usb", ""}});
  acm.Properties = {{"ID_VENDOR_ID", "2341"},    {"ID_MODEL_ID", "0043"},
                    {"ID_VENDOR", "Arduino_SA"}, {"ID_MODEL_FROM_DATABASE", "Uno R3"},
                    {"ID_MODEL", "Uno"},         {"ID_SERIAL_SHORT", "7523"},
                    {"ID_USB_DRIVER", "cdc_acm"}};
  s.ttys = {
      ftdi,
      // The serial core's own devices stand between a board port and its driver.
      Tty("/dev/ttyS0", {{"serial-base", "port"}, {"serial-base", "ctrl"}, {"pnp", "serial"}}, "4"),
      Tty("/dev/ttyS1", {{"platform", "serial8250"}}, "0"),  // no UART found
      Tty("/dev/tty0", {}),                                  // a console
      Tty("", {{"platform", "serial8250"}}, "4"),            // no node
      acm};
  auto devices = MakeSerialDevices(std::make_unique<TFakeUdev>(s));
  std::vector<TSerialDevice> found(1);  // what was there is gone
  std::string error;
  ASSERT_TRUE(devices->List(found, error)) << error;
  ASSERT_EQ(found.size(), 3u);
  const auto fields = [](const TSerialDevice& d) {
    return std::vector<std::string>{d.Node,      d.ById,         d.Driver,  d.VendorId,
                                    d.ProductId, d.Manufacturer, d.Product, d.Serial};
  };
  EXPECT_THAT(fields(found[0]), ElementsAre("/dev/ttyACM0", "", "cdc_acm", "2341", "0043",
                                            "Arduino_SA", "Uno R3", "7523"));
  EXPECT_THAT(fields(found[1]), ElementsAre("/dev/ttyS0", "", "serial", "", "", "", "", ""));
  EXPECT_THAT(
      fields(found[2]),
      ElementsAreArray(fields(TSerialDevice{"/dev/ttyUSB0", ftdi.Links[1], "ftdi_sio", "0403",
                                            "6001", "FTDI", "FT232R USB UART", "A1B2C3"})));
}

TEST(SerialDevices, DatabaseFailuresAreNamed) {
  EnsureApp();  // the monitor's notifier lives on the event loop
  struct Case {
    bool opened;
    int scan_error;
    std::string error;
  };
  const Case cases[] = {
      {false, 0, "cannot open the device database (libudev)"},
      {true, -EACCES, "cannot list the tty devices: Permission denied"},
  };
  for (const Case& c : cases) {
    TFakeUdev::TState s;
    s.opened = c.opened;
    s.scan_error = c.scan_error;
    s.ttys = {Tty("/dev/ttyS0", {{"pnp", "serial"}}, "4")};
    auto devices = MakeSerialDevices(std::make_unique<TFakeUdev>(s));
    std::vector<TSerialDevice> found(1);  // what was there is gone
    std::string error;
    EXPECT_FALSE(devices->List(found, error));
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(devices->Watch([] {}), c.opened);
  }
}

// A device coming or going is news; a change of one that stays is not. Stopping mutes the
// monitor until the next Watch; the monitor is started once and stopped with the list.
TEST(SerialDevices, MonitorStartsOnceAndStops) {
  EnsureApp();
  TFakeUdev::TState s;
  {
    auto devices = MakeSerialDevices(std::make_unique<TFakeUdev>(s));
    int calls = 0;
    ASSERT_TRUE(devices->Watch([&] { ++calls; }));
    Announce(s, "change");
    ASSERT_TRUE(WaitFor([&] { return s.news.empty(); }));
    EXPECT_EQ(calls, 0);
    Announce(s, "change");
    Announce(s, "add");
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    EXPECT_EQ(calls, 1);  // one call for all the news at hand
    EXPECT_TRUE(s.news.empty());

    EXPECT_TRUE(devices->Watch(nullptr));
    Announce(s, "remove");
    Pump();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s.news.size(), 1u);
    ASSERT_TRUE(devices->Watch([&] { ++calls; }));
    ASSERT_TRUE(WaitFor([&] { return calls == 2; }));
    EXPECT_EQ(s.starts, 1);
    EXPECT_EQ(s.stops, 0);
  }
  EXPECT_EQ(s.stops, 1);

  TFakeUdev::TState none;
  none.monitor = false;
  EXPECT_FALSE(MakeSerialDevices(std::make_unique<TFakeUdev>(none))->Watch([] {}));
}

// The system's own database agrees with the kernel: every tty with hardware behind it and not
// found without a UART (type 0), often none at all; never a console or a pseudo-terminal.
TEST(SerialDevices, ListsThisMachine) {
  std::vector<std::string> expected;
  for (const auto& tty : std::filesystem::directory_iterator("/sys/class/tty")) {
    std::string type;
    std::ifstream(tty.path() / "type") >> type;
    if (std::filesystem::exists(tty.path() / "device") && type != "0")
      expected.push_back("/dev/" + tty.path().filename().string());
  }
  std::sort(expected.begin(), expected.end());
  std::vector<TSerialDevice> found;
  std::string error;
  ASSERT_TRUE(MakeSystemSerialDevices()->List(found, error)) << error;
  std::vector<std::string> nodes;
  for (const TSerialDevice& d : found) nodes.push_back(d.Node);
  EXPECT_EQ(nodes, expected);
}

}  // namespace
