#include "link/UdpSocket.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "driver_test_util.h"
#include "link/SysError.h"

namespace {

// The driver on UDP; `device` is a loopback socket playing the device.
class DriverUdp : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApp();
    device = LoopbackSocket(SOCK_DGRAM, device_port);
    local_port = FreeUdpPort();
    driver.SetTag(1);
    driver.SetIpRemoteAddress("127.0.0.1");
    driver.SetIpRemotePort(device_port);
    driver.SetIpLocalPort(local_port);
    ASSERT_TRUE(driver.SetConType(CON_UDP)) << driver.LastError();
    log.Attach(driver);
  }
  void TearDown() override { close(device); }

  void DeviceSend(const std::string& data, int from = -1) {
    sockaddr_in to = Loopback(local_port);
    sendto(from < 0 ? device : from, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
  }
  std::string DeviceReceive() {
    std::string got;
    WaitFor([&] {
      char buf[70000];
      ssize_t n = recv(device, buf, sizeof buf, MSG_DONTWAIT);
      if (n >= 0) got.assign(buf, static_cast<size_t>(n));
      return n >= 0;
    });
    return got;
  }
  // Raw mode: waits until the received text ends with `tail`, then takes it all.
  std::string ReceiveUntil(const std::string& tail) {
    WaitFor([&] {
      const std::string& rx = driver.GetRxText();
      return rx.size() >= tail.size() &&
             rx.compare(rx.size() - tail.size(), tail.size(), tail) == 0;
    });
    return driver.ReadRaw();
  }

  int device = -1;
  int device_port = 0;
  int local_port = 0;
  TComDriver driver;
  EventLog log;
};

TEST_F(DriverUdp, RawDatagramsBothWays) {
  driver.SetConMode(MODE_RAW);
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(255 - i);
  driver.SendRaw(all);
  EXPECT_EQ(DeviceReceive(), all);  // the sender cuts nothing

  DeviceSend("one");
  DeviceSend("two");
  DeviceSend(std::string("ab\0cd", 5));  // only what comes before the zero byte counts
  DeviceSend("end");
  EXPECT_EQ(ReceiveUntil("end"), "onetwoabend");
  EXPECT_EQ(log.Count("Rec:"), 4u);

  const std::string largest(TUdpSocket::kMaxDatagram, 'L');
  DeviceSend(std::string(TUdpSocket::kMaxDatagram + 1, 'X'));  // never delivered
  DeviceSend(largest);
  DeviceSend("end");
  EXPECT_EQ(ReceiveUntil("end"), largest + "end");
}

TEST_F(DriverUdp, VariableReportAndCommand) {
  DeviceSend("DEV30\r\n");
  ASSERT_TRUE(WaitFor([&] { return driver.GetDEV() == 30; }));
  EXPECT_EQ(log.entries, (std::vector<std::string>{"Rec:DEV30 DEV=0", "DEV=30"}));
  driver.SetUPDATER(254);
  EXPECT_EQ(DeviceReceive(), "254yU");
}

TEST_F(DriverUdp, OnlyTheDeviceIsHeard) {
  driver.SetConMode(MODE_RAW);
  int stranger_port = 0;
  int stranger = LoopbackSocket(SOCK_DGRAM, stranger_port);
  DeviceSend("bad", stranger);  // right address, another port
  DeviceSend("good");
  EXPECT_EQ(ReceiveUntil("good"), "good");
  close(stranger);
}

// The driver's own socket, found by its local port.
int SocketOnPort(int port) {
  for (int fd = 0; fd < 4096; ++fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int type = 0;
    socklen_t tlen = sizeof type;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET ||
        ntohs(a.sin_port) != port || a.sin_addr.s_addr != htonl(INADDR_ANY))
      continue;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) == 0 && type == SOCK_DGRAM) return fd;
  }
  return -1;
}

TEST_F(DriverUdp, SourceIsComparedAsText) {
  // The device at 127.0.0.1 is heard only while IpRemoteAddress spells it exactly so.
  struct {
    const char* remote;
    bool heard;
  } cases[] = {
      {"127.0.0.1", true},
      {"127.0.0.01", false},
      {"127.000.000.001", false},
      {" 127.0.0.1", false},
  };
  driver.SetConMode(MODE_RAW);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.remote);
    driver.SetIpRemoteAddress(c.remote);
    ASSERT_TRUE(driver.IsLinkOpen());
    log.entries.clear();
    DeviceSend("x1");
    DeviceSend("x2");
    // Datagrams are handed over one at a time: once both have left the socket, the first has
    // been through the driver.
    const int fd = SocketOnPort(local_port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WaitFor([&] {
      int queued = -1;
      return ioctl(fd, FIONREAD, &queued) == 0 && queued == 0;
    }));
    if (c.heard) {
      EXPECT_EQ(ReceiveUntil("x2"), "x1x2");
    } else {
      EXPECT_EQ(driver.GetRxText(), "");
      EXPECT_EQ(log.Count("Rec:"), 0u);
    }
  }
}

// The option is read back; nothing is ever sent to a broadcast address here.
TEST_F(DriverUdp, SendingToBroadcastIsAllowed) {
  for (int rebinds = 0; rebinds < 2; ++rebinds) {
    const int fd = SocketOnPort(local_port);
    ASSERT_GE(fd, 0);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_NE(on, 0) << rebinds;
    driver.SetIpLocalPort(local_port);
  }
}

// 65535 is a port like any other, on either side.
TEST_F(DriverUdp, HighestPort) {
  driver.SetConMode(MODE_RAW);
  int highest = BindLoopback(SOCK_DGRAM, 65535);
  if (highest < 0) GTEST_SKIP() << "UDP port 65535 is taken";
  close(highest);  // free a moment ago: now the driver's
  const int old_local = local_port;
  local_port = 65535;
  driver.SetIpLocalPort(local_port);
  ASSERT_TRUE(driver.IsLinkOpen()) << driver.LastError();
  DeviceSend("in");
  EXPECT_EQ(ReceiveUntil("in"), "in");
  driver.SendRaw("out");
  EXPECT_EQ(DeviceReceive(), "out");

  local_port = old_local;
  driver.SetIpLocalPort(local_port);
  highest = BindLoopback(SOCK_DGRAM, 65535);
  ASSERT_GE(highest, 0);
  std::swap(device, highest);
  driver.SetIpRemotePort(65535);
  driver.SendRaw("to");
  EXPECT_EQ(DeviceReceive(), "to");
  DeviceSend("from");
  EXPECT_EQ(ReceiveUntil("from"), "from");
  std::swap(device, highest);
  close(highest);
}

TEST_F(DriverUdp, PortInUseAndRebinding) {
  driver.SetConType(CON_NONE);
  int holder_port = 0;
  int holder = LoopbackSocket(SOCK_DGRAM, holder_port);
  driver.SetIpLocalPort(holder_port);
  EXPECT_FALSE(driver.SetConType(CON_UDP));
  EXPECT_EQ(driver.GetConType(), CON_UDP);
  EXPECT_FALSE(driver.IsLinkOpen());
  EXPECT_EQ(driver.LastError(), "Could not bind socket. Address and port are already in use.");

  // Setting the local port reopens, even after a failed bind.
  driver.SetIpLocalPort(local_port);
  EXPECT_TRUE(driver.IsLinkOpen());
  EXPECT_EQ(driver.LastError(), "");

  log.entries.clear();
  driver.SetIpLocalPort(local_port);  // the same port still rebinds
  EXPECT_TRUE(driver.IsLinkOpen());
  EXPECT_EQ(log.entries, std::vector<std::string>{"IpLocalPort"});
  driver.SetConMode(MODE_RAW);
  DeviceSend("again");
  EXPECT_EQ(ReceiveUntil("again"), "again");

  // Moving to another port frees the old one.
  const int old_port = local_port;
  close(holder);
  local_port = FreeUdpPort();
  driver.SetIpLocalPort(local_port);
  int reuse = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(static_cast<uint16_t>(old_port));
  EXPECT_EQ(bind(reuse, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  close(reuse);
  DeviceSend("moved");
  EXPECT_EQ(ReceiveUntil("moved"), "moved");
}

TEST_F(DriverUdp, SendErrorsGoToTheHook) {
  std::vector<std::string> shown;
  driver.ShowErrorBox = [&](const std::string& text) { shown.push_back(text); };
  int lost = 0;
  driver.OnLinkLost = [&](TComDriver&, int32_t) { ++lost; };
  driver.SetConMode(MODE_RAW);

  driver.SendRaw(std::string(70000, 'x'));  // not a socket error: the endpoint stays
  EXPECT_TRUE(driver.IsLinkOpen());
  EXPECT_EQ(lost, 0);
  driver.SetIpRemotePort(0);  // the system refuses to send there
  driver.SendRaw("x");
  EXPECT_FALSE(driver.IsLinkOpen());
  EXPECT_EQ(lost, 1);   // closed for the rest of the run: the link is gone
  driver.SendRaw("y");  // closed: nothing sent, nothing shown
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(shown, (std::vector<std::string>{"Package Size Too Big.",
                                             "Socket Error # 22\r\n" + SysErrorText(EINVAL)}));
  EXPECT_EQ(driver.LinkError(),
            "Cannot send to device 127.0.0.1:0: Socket Error # 22 " + SysErrorText(EINVAL));

  driver.SetIpRemotePort(device_port);  // reopens
  EXPECT_TRUE(driver.IsLinkOpen());

  // Closed by a send error, the endpoint stays closed when the same type is chosen again; the
  // same local port reopens it.
  driver.SetIpRemotePort(0);
  driver.SendRaw("x");
  ASSERT_FALSE(driver.IsLinkOpen());
  EXPECT_TRUE(driver.SetConType(CON_UDP));
  EXPECT_FALSE(driver.IsLinkOpen());
  driver.SetIpLocalPort(local_port);
  EXPECT_TRUE(driver.IsLinkOpen());
  driver.SetIpRemotePort(device_port);
  shown.clear();
  DeviceSend("back");
  EXPECT_EQ(ReceiveUntil("back"), "back");
  EXPECT_TRUE(shown.empty());
  driver.ShowErrorBox = nullptr;
  testing::internal::CaptureStderr();
  driver.SendRaw(std::string(70000, 'x'));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Package Size Too Big.\n");
}

TEST_F(DriverUdp, ReopeningLeaksNoDescriptorOrThread) {
  driver.SetConType(CON_NONE);
  const int fds = OpenFdCount();
  const int threads = ThreadCount();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(driver.SetConType(CON_UDP)) << driver.LastError();
    driver.SetConType(CON_NONE);
  }
  EXPECT_EQ(OpenFdCount(), fds);
  EXPECT_EQ(ThreadCount(), threads);
}

TEST(UdpSocket, DeactivateWhileADatagramWaitsForHandOver) {
  EnsureApp();
  int device_port = 0;
  int device = LoopbackSocket(SOCK_DGRAM, device_port);
  TUdpSocket udp;
  udp.SetPort(FreeUdpPort());
  int delivered = 0;
  udp.OnReceive = [&](const std::string&, const std::string& address, int port) {
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, device_port);
    ++delivered;
  };
  std::string error;
  ASSERT_TRUE(udp.Activate(error)) << error;
  sockaddr_in to = Loopback(udp.Port());
  sendto(device, "a", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ASSERT_TRUE(WaitFor([&] { return delivered == 1; }));
  sendto(device, "b", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  udp.Deactivate();  // no event loop ran: whatever was pending is dropped, nothing hangs
  Pump();
  EXPECT_EQ(delivered, 1);
  EXPECT_FALSE(udp.IsActive());
  close(device);
}

}  // namespace
