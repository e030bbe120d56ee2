#include "link/ComDriver.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "driver_test_util.h"

namespace {

// The driver on COM3, which is a pseudo-terminal whose other end the test plays.
class DriverSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApp();
    ASSERT_TRUE(pty.Ok());
    driver.SetTag(1);
    driver.SetComDevice(3, pty.path);
    driver.SetPort("COM3");
    ASSERT_TRUE(driver.SetConType(CON_RS232)) << driver.LastError();
    log.Attach(driver);
  }
  // Device sends one chunk; returns once the driver has taken it (its received text or its
  // events changed), so the next write is a chunk of its own.
  static void Feed(Pty& pty, TComDriver& d, const EventLog& events, const std::string& chunk) {
    const std::string rx = d.GetRxText();
    const size_t n = events.entries.size();
    pty.Write(chunk);
    ASSERT_TRUE(WaitFor([&] { return d.GetRxText() != rx || events.entries.size() != n; }));
  }
  void Feed(const std::string& chunk) { Feed(pty, driver, log, chunk); }

  Pty pty;
  TComDriver driver;
  EventLog log;
};

TEST_F(DriverSerial, VariableReports) {
  struct Case {
    std::vector<std::string> chunks;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {{"DEV30\r\n"}, {"Rec:DEV30 DEV=0", "DEV=30"}},
      {{"UPD\r\n"}, {"Rec:UPD DEV=0", "UPDATER=0"}},
      {{"DEVX\r\n"}, {}},
      {{"xyz\r\n"}, {}},
      {{"$17\r\n"}, {"Rec:$17 DEV=0", "DOLLARS=0"}},
      {{"DEV30\r\nUPD1\r\n"}, {"Rec:DEV30 DEV=0", "DEV=30", "Rec:UPD1 DEV=30", "UPDATER=1"}},
      {{"ADBG12", "\r\n"}, {"Rec:ADBG12 DEV=0", "ADDRDBG=12"}},
      {{"ADBG1234567", "\r\n"}, {}},  // cut to its last 10 bytes: "DBG1234567"
      {{"DEV", "35", "\r", "\n"}, {"Rec:DEV35 DEV=0", "DEV=35"}},
      {{"DDBG$1F\r\nDDBG0x10\r\n"},
       {"Rec:DDBG$1F DEV=0", "DATADBG=31", "Rec:DDBG0x10 DEV=0", "DATADBG=16"}},
      {{"DEV4294967295\r\n"}, {"Rec:DEV4294967295 DEV=0", "DEV=4294967295"}},
      {{"DEV4294967296\r\nDEV-1\r\n"}, {}},
      {{"#\r\n"}, {"Rec:# DEV=0", "QUERYALL"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chunks[0]);
    TearDown();
    Pty fresh;
    std::swap(pty.master, fresh.master);
    std::swap(pty.slave, fresh.slave);
    std::swap(pty.path, fresh.path);
    TComDriver d;
    d.SetTag(7);
    d.SetComDevice(3, pty.path);
    d.SetPort("COM3");
    ASSERT_TRUE(d.SetConType(CON_RS232));
    EventLog events;
    events.Attach(d);
    for (size_t i = 0; i + 1 < c.chunks.size(); ++i) Feed(pty, d, events, c.chunks[i]);
    pty.Write(c.chunks.back());
    // Every chunk before it has been handled once this report has.
    pty.Write("ADBG99999\r\n");
    ASSERT_TRUE(WaitFor([&] { return d.GetADDRDBG() == 99999; }));
    events.entries.resize(events.entries.size() - 2);
    EXPECT_EQ(events.entries, c.events);
    EXPECT_FALSE(events.wrong_nro);
  }
}

TEST_F(DriverSerial, UnmatchedLineLeavesReceivedString) {
  Feed("DEV30\r\n");
  Feed("DEVX\r\nAB");
  ASSERT_TRUE(WaitFor([&] { return driver.GetRxText() == "AB"; }));
  EXPECT_EQ(log.entries, (std::vector<std::string>{"Rec:DEV30 DEV=0", "DEV=30"}));
  EXPECT_EQ(driver.receivedString, "DEV30");
}

TEST_F(DriverSerial, VariableCommandsOnTheWire) {
  driver.SetUPDATER(1);
  driver.SetUPDATER(254);
  driver.SetADDRDBG(0);
  driver.SetDATADBG(4294967295u);
  driver.SendVarCommand(2);
  driver.SendVarCommand(6);  // no such variable
  const std::string wire = "1yU254yU0@4294967295>?";
  EXPECT_EQ(pty.Read(wire.size()), wire);
  EXPECT_EQ(log.entries, (std::vector<std::string>{"Sent:1yU", "Sent:254yU", "Sent:0@",
                                                   "Sent:4294967295>", "Sent:?"}));
  // Asking is not knowing: the values change only when the device reports them.
  EXPECT_EQ(driver.GetUPDATER(), 0u);
  EXPECT_EQ(driver.GetADDRDBG(), 0u);
}

TEST_F(DriverSerial, ModeGatesEachOperation) {
  driver.SendRaw("raw");  // variable mode: nothing
  Feed("ADBG12");
  ASSERT_TRUE(WaitFor([&] { return driver.GetRxText() == "ADBG12"; }));
  EXPECT_EQ(driver.ReadRaw(), "");
  EXPECT_EQ(driver.GetRxText(), "ADBG12");
  driver.SendVarCommand(2);
  EXPECT_EQ(pty.Read(1), "?");

  driver.SetConMode(MODE_RAW);
  driver.SendVarCommand(2);
  driver.SendVarValue(3, 254);
  driver.SetUPDATER(1);
  driver.SendRaw("R");
  EXPECT_EQ(pty.Read(1), "R");
  // What was received before the switch is kept, not lost.
  Feed("ok");
  ASSERT_TRUE(WaitFor([&] { return driver.GetRxText() == "ADBG12ok"; }));
  EXPECT_EQ(driver.ReadRaw(), "ADBG12ok");
  EXPECT_EQ(driver.ReadRaw(), "");
  EXPECT_EQ(log.Count("Sent:"), 1u);
}

TEST_F(DriverSerial, RawBytesBothWaysUnchanged) {
  driver.SetConMode(MODE_RAW);
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  driver.SendRaw(all);
  EXPECT_EQ(pty.Read(all.size()), all);

  // Collected as the run controller does, on every arrival.
  std::string back;
  driver.OnRecString = [&](TComDriver& d, int32_t) { back += d.ReadRaw(); };
  std::string big;
  for (int i = 0; i < 50; ++i) big += all;
  pty.Write(big);
  ASSERT_TRUE(WaitFor([&] { return back.size() >= big.size(); }));
  EXPECT_EQ(back, big);  // zero bytes included
}

TEST_F(DriverSerial, ReceivedTextIsCapped) {
  driver.SetConMode(MODE_RAW);
  std::string full(TComDriver::kMaxRxText, 'f');
  full[0] = 'A';
  testing::internal::CaptureStderr();
  pty.Write(full);
  ASSERT_TRUE(WaitFor([&] { return driver.GetRxText().size() == full.size(); }));
  for (const char* more : {"zz", "yy"}) {
    const size_t before = log.Count("Rec:");
    pty.Write(more);
    ASSERT_TRUE(WaitFor([&] { return log.Count("Rec:") > before; }));
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(driver.ReadRaw() == full);
  EXPECT_NE(err.find("dropped"), std::string::npos);
  EXPECT_EQ(err.find("dropped"), err.rfind("dropped")) << "reported more than once";
}

TEST_F(DriverSerial, SettingsReopenThePort) {
  EXPECT_TRUE(driver.SetConType(CON_RS232));  // same type: nothing reopened, still reported
  EXPECT_EQ(log.entries, (std::vector<std::string>{"ConType=1"}));
  EXPECT_TRUE(driver.IsLinkOpen());

  driver.SetBaudRate(57600);
  EXPECT_TRUE(driver.IsLinkOpen());
  termios tio{};
  tcgetattr(pty.slave, &tio);
  EXPECT_EQ(cfgetospeed(&tio), B57600);

  Pty other;
  driver.SetComDevice(5, other.path);
  driver.SetPort("COM5");
  EXPECT_TRUE(driver.IsLinkOpen());
  driver.SetConMode(MODE_RAW);
  driver.SendRaw("x");
  EXPECT_EQ(other.Read(1), "x");
  EXPECT_EQ(pty.Drain(), "");

  driver.SetConType(CON_NONE);
  EXPECT_FALSE(driver.IsLinkOpen());
  driver.SendRaw("y");
  EXPECT_TRUE(driver.SetConType(CON_RS232));
  driver.SendRaw("z");
  EXPECT_EQ(other.Read(1), "z");
}

TEST_F(DriverSerial, HungUpPortEndsTheLinkAndNamesIt) {
  int lost = 0;
  driver.OnLinkLost = [&](TComDriver& d, int32_t nro) {
    EXPECT_EQ(nro, d.GetTag());
    ++lost;
  };
  close(pty.master);  // the adapter is pulled out
  pty.master = -1;
  ASSERT_TRUE(WaitFor([&] { return lost == 1; }));
  EXPECT_EQ(driver.LinkError(), "Serial port " + pty.path + " lost: hung up");
  Pump();
  EXPECT_EQ(lost, 1);
  driver.SetConType(CON_NONE);
  EXPECT_EQ(driver.LinkError(), "");
}

TEST(DriverSerialOpen, MissingPortReportsFailureWithReason) {
  EnsureApp();
  TComDriver driver;
  EXPECT_EQ(driver.ComDevice(3), "/dev/ttyS2");
  driver.SetComDevice(3, "/nonexistent/ttyQ3");
  EXPECT_EQ(driver.ComDevice(3), "/nonexistent/ttyQ3");
  driver.SetPort("COM3");
  int changes = 0;
  driver.OnConTypechange = [&](TComDriver&, int32_t) { ++changes; };
  EXPECT_FALSE(driver.SetConType(CON_RS232));
  EXPECT_EQ(driver.GetConType(), CON_RS232);
  EXPECT_EQ(changes, 1);
  EXPECT_FALSE(driver.IsLinkOpen());
  // The system's reason, then what the operator can do about it.
  EXPECT_EQ(driver.LastError(),
            "TCOMPORT : cannot open COM3 (/nonexistent/ttyQ3)\r" + std::string(strerror(ENOENT)) +
                "\rNo such serial device: is the adapter plugged in? qubra-updater --list-ports "
                "lists those present; COM3_DEVICE in Updater.prm names the one to open.");
  driver.SetConType(CON_NONE);
  driver.SetPort("/nonexistent/ttyQ3");  // a device path is no COM slot of Updater.prm
  EXPECT_FALSE(driver.SetConType(CON_RS232));
  EXPECT_TRUE(driver.LastError().ends_with("--list-ports lists those present."))
      << driver.LastError();
  driver.SendVarCommand(2);
  driver.SetConType(CON_NONE);
  driver.SetComDevice(3, "");
  EXPECT_EQ(driver.ComDevice(3), "/dev/ttyS2");
}

TEST_F(DriverSerial, ReopeningLeaksNoDescriptorOrThread) {
  driver.SetConType(CON_NONE);
  const int fds = OpenFdCount();
  const int threads = ThreadCount();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(driver.SetConType(CON_RS232));
    driver.SetConType(CON_NONE);
  }
  EXPECT_EQ(OpenFdCount(), fds);
  EXPECT_EQ(ThreadCount(), threads);
}

}  // namespace
