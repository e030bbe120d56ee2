#include "link/TcpClient.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include "driver_test_util.h"
#include "link/SysError.h"

namespace {

int AcceptOne(int server) {
  int fd = -1;
  WaitFor(
      [&] { return (fd = accept4(server, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0; });
  return fd;
}

// The driver on TCP; `server` is a loopback listener playing the device.
class DriverTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApp();
    server = LoopbackSocket(SOCK_STREAM, server_port);
    ASSERT_EQ(listen(server, 64), 0);
    driver.SetTag(1);
    driver.SetIpRemoteAddress("127.0.0.1");
    driver.SetIpRemotePort(server_port);
    ASSERT_TRUE(driver.SetConType(CON_TCP)) << driver.LastError();
    device = AcceptOne(server);
    ASSERT_GE(device, 0);
    ASSERT_TRUE(WaitFor([&] { return driver.IsLinkOpen(); }));
    log.Attach(driver);
  }
  void TearDown() override {
    if (device >= 0) close(device);
    close(server);
  }
  void DeviceSend(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = send(device, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0)
        done += static_cast<size_t>(n);
      else
        WaitFor([&] {
          pollfd p{device, POLLOUT, 0};
          return poll(&p, 1, 0) > 0;
        });
    }
  }
  std::string DeviceReceive(size_t n) {
    std::string got;
    WaitFor([&] {
      char buf[65536];
      ssize_t r;
      while ((r = recv(device, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, r);
      return got.size() >= n;
    });
    return got;
  }
  std::string ReceiveAtLeast(size_t n) {
    std::string got;
    WaitFor([&] {
      got += driver.ReadRaw();
      return got.size() >= n;
    });
    return got;
  }

  int server = -1;
  int server_port = 0;
  int device = -1;
  TComDriver driver;
  EventLog log;
};

TEST_F(DriverTcp, RawBytesBothWays) {
  driver.SetConMode(MODE_RAW);
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  driver.SendRaw(all);
  EXPECT_EQ(DeviceReceive(all.size()), all);

  // Larger than one buffer: sent whole, in order.
  std::string big;
  for (int i = 0; i < 4 << 20; ++i) big += static_cast<char>('a' + i % 23 + i / 4096 % 3);
  driver.SendRaw(big);
  const std::string sent = DeviceReceive(big.size());
  EXPECT_TRUE(sent == big) << sent.size() << " bytes arrived";

  // Collected as the run controller does, on every arrival.
  std::string back;
  driver.OnRecString = [&](TComDriver& d, int32_t) { back += d.ReadRaw(); };
  DeviceSend(big);
  ASSERT_TRUE(WaitFor([&] { return back.size() >= big.size(); }));
  EXPECT_TRUE(back == big) << back.size() << " bytes received";
}

TEST_F(DriverTcp, ReadStopsAtZeroByte) {
  driver.SetConMode(MODE_RAW);
  DeviceSend(std::string("ab\0cd", 5));
  ASSERT_TRUE(WaitFor([&] { return log.Count("Rec:") == 1; }));
  DeviceSend("end");
  EXPECT_EQ(ReceiveAtLeast(5), "abend");
}

TEST_F(DriverTcp, VariableReport) {
  DeviceSend("DEV35\r\n");
  ASSERT_TRUE(WaitFor([&] { return driver.GetDEV() == 35; }));
  driver.SendVarCommand(2);
  EXPECT_EQ(DeviceReceive(1), "?");
}

TEST_F(DriverTcp, NoNagleDelay) {
  bool found = false;
  for (int fd = 0; fd < 4096 && !found; ++fd) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (fd == device || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
    if (peer.sin_family != AF_INET || ntohs(peer.sin_port) != server_port) continue;
    int on = 0;
    len = sizeof on;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0);
    found = true;
  }
  EXPECT_TRUE(found);
}

TEST_F(DriverTcp, UnchangedPeerKeepsTheConnection) {
  driver.SetConMode(MODE_RAW);
  driver.SetIpRemotePort(server_port);
  driver.SetIpRemoteAddress("127.0.0.1");
  EXPECT_EQ(log.entries, (std::vector<std::string>{"IpRemotePort", "IpRemoteAddress"}));
  EXPECT_TRUE(driver.IsLinkOpen());
  driver.SendRaw("same");
  EXPECT_EQ(DeviceReceive(4), "same");
  EXPECT_LT(accept(server, nullptr, nullptr), 0);  // no second connection was made

  // Another address text, even the same address written otherwise, drops the connection.
  driver.SetIpRemoteAddress("127.0.0.01");
  EXPECT_FALSE(driver.IsLinkOpen());
  driver.SetIpRemoteAddress("127.0.0.1");
  int again = AcceptOne(server);
  EXPECT_GE(again, 0);
  EXPECT_TRUE(WaitFor([&] { return driver.IsLinkOpen(); }));
  close(again);
}

TEST_F(DriverTcp, DeviceClosingEndsTheLinkAndNamesIt) {
  int lost = 0;
  driver.OnLinkLost = [&](TComDriver&, int32_t) { ++lost; };
  driver.SetConMode(MODE_RAW);
  DeviceSend("last");
  close(device);
  device = -1;
  ASSERT_TRUE(WaitFor([&] { return lost == 1; }));
  EXPECT_EQ(driver.ReadRaw(), "last");  // what came before the close still counts
  EXPECT_EQ(driver.LinkError(),
            "Connection closed by device 127.0.0.1:" + std::to_string(server_port));
  EXPECT_FALSE(driver.IsLinkOpen());
  EXPECT_FALSE(driver.IsTcpConnecting());  // no new attempt
  driver.SendRaw("dropped");               // not connected: dropped, never sent later

  // Chosen again, the link starts afresh.
  driver.SetConType(CON_NONE);
  EXPECT_EQ(driver.LinkError(), "");
  ASSERT_TRUE(driver.SetConType(CON_TCP));
  device = AcceptOne(server);
  ASSERT_GE(device, 0);
  ASSERT_TRUE(WaitFor([&] { return driver.IsLinkOpen(); }));
  driver.SendRaw("after");
  EXPECT_EQ(DeviceReceive(5), "after");
  EXPECT_EQ(lost, 1);
}

// 65535 is a port like any other.
TEST_F(DriverTcp, HighestPort) {
  int highest = BindLoopback(SOCK_STREAM, 65535);
  if (highest < 0) GTEST_SKIP() << "127.0.0.1:65535 is taken";
  ASSERT_EQ(listen(highest, 4), 0);
  driver.SetConMode(MODE_RAW);
  driver.SetIpRemotePort(65535);
  int peer = AcceptOne(highest);
  ASSERT_GE(peer, 0);
  std::swap(device, peer);
  ASSERT_TRUE(WaitFor([&] { return driver.IsLinkOpen(); }));
  driver.SendRaw("top");
  EXPECT_EQ(DeviceReceive(3), "top");
  DeviceSend("back");
  EXPECT_EQ(ReceiveAtLeast(4), "back");
  std::swap(device, peer);
  close(peer);
  close(highest);
}

// Each failed attempt is said through OnLinkTrouble (nothing on stderr) and tried again.
TEST_F(DriverTcp, RetriesUntilTheDeviceListensAndSaysWhy) {
  int refusing_port = 0;
  int refusing = LoopbackSocket(SOCK_STREAM, refusing_port);  // bound, not listening
  std::vector<std::string> troubles;
  driver.OnLinkTrouble = [&](TComDriver& d, int32_t) { troubles.push_back(d.LinkError()); };
  testing::internal::CaptureStderr();
  driver.SetConMode(MODE_RAW);
  driver.SetIpRemotePort(refusing_port);
  EXPECT_TRUE(driver.IsTcpConnecting());
  driver.SendRaw("early");  // no connection yet: dropped, never sent later
  // The refusal has been handled once the driver stops connecting; it then waits to retry.
  ASSERT_TRUE(WaitFor([&] { return !driver.IsTcpConnecting(); }));
  EXPECT_FALSE(driver.IsLinkOpen());
  const std::string refused = "Cannot connect to 127.0.0.1:" + std::to_string(refusing_port) +
                              ": " + SysErrorText(ECONNREFUSED);
  EXPECT_EQ(driver.LinkError(), refused);
  ASSERT_TRUE(WaitFor([&] { return troubles.size() >= 2; }));  // refused again after a pause
  EXPECT_EQ(troubles[0], refused);
  EXPECT_EQ(troubles[1], refused);
  ASSERT_EQ(listen(refusing, 4), 0);
  int accepted = AcceptOne(refusing);
  EXPECT_GE(accepted, 0);
  EXPECT_TRUE(WaitFor([&] { return driver.IsLinkOpen(); }));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  driver.SendRaw("late");
  std::swap(device, accepted);
  EXPECT_EQ(DeviceReceive(4), "late");
  std::swap(device, accepted);
  close(accepted);
  close(refusing);

  // A listener whose queue is full drops the attempt's SYN, as an address where nothing
  // answers does: said once the attempt has waited long enough, while it goes on.
  int full_port = 0;
  int full = LoopbackSocket(SOCK_STREAM, full_port);
  ASSERT_EQ(listen(full, 0), 0);
  int queued_port = full_port;
  int queued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(queued_port);
  ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  troubles.clear();
  driver.TcpNoAnswerMs = 200;
  driver.SetIpRemotePort(full_port);
  ASSERT_TRUE(WaitFor([&] { return !troubles.empty(); }));
  EXPECT_EQ(troubles[0],
            "Cannot connect to 127.0.0.1:" + std::to_string(full_port) + ": no answer");
  EXPECT_TRUE(driver.IsTcpConnecting());
  driver.SetConType(CON_NONE);
  close(queued);
  close(full);
}

TEST_F(DriverTcp, ReopeningLeaksNoDescriptorOrThread) {
  driver.SetConType(CON_NONE);
  close(device);
  device = -1;
  const int fds = OpenFdCount();
  const int threads = ThreadCount();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(driver.SetConType(CON_TCP));
    ASSERT_TRUE(WaitFor([&] { return driver.IsLinkOpen(); }));
    driver.SetConType(CON_NONE);
    int fd = AcceptOne(server);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  EXPECT_EQ(OpenFdCount(), fds);
  EXPECT_EQ(ThreadCount(), threads);
}

TEST(TcpClient, CloseAbandonsAnAttempt) {
  EnsureApp();
  int listening_port = 0;
  int listening = LoopbackSocket(SOCK_STREAM, listening_port);
  ASSERT_EQ(listen(listening, 4), 0);
  int refusing_port = 0;
  int refusing = LoopbackSocket(SOCK_STREAM, refusing_port);

  for (int port : {listening_port, refusing_port}) {
    SCOPED_TRACE(port);
    TTcpClient client;
    int events = 0;
    client.OnConnect = [&] { ++events; };
    client.OnError = [&](TTcpClient::TErrorEvent, int& code) {
      ++events;
      code = 0;
    };
    client.SetAddress("127.0.0.1");
    client.SetPort(port);
    std::string error;
    EXPECT_TRUE(client.Open(error)) << error;
    EXPECT_TRUE(client.IsConnecting());
    client.Close();
    EXPECT_FALSE(client.IsConnecting());
    if (port == listening_port) {
      int fd = AcceptOne(listening);  // the system finished the handshake regardless
      EXPECT_GE(fd, 0);
      close(fd);
    }
    Pump();
    EXPECT_EQ(events, 0);

    // A refused attempt that is not closed does report.
    if (port == refusing_port) {
      EXPECT_TRUE(client.Open(error)) << error;
      EXPECT_TRUE(WaitFor([&] { return events == 1; }));
      EXPECT_FALSE(client.IsActive());
    }
  }
  close(listening);
  close(refusing);
}

// With no descriptor left, opening says so instead of going on without a socket.
TEST(TcpClient, NoDescriptorLeft) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' checks need descriptors of their own";
#endif
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  const int lowest_free = dup(0);
  close(lowest_free);
  rlimit none = old;
  none.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  TTcpClient client;
  client.SetAddress("127.0.0.1");
  client.SetPort(1);
  std::string error;
  EXPECT_FALSE(client.Open(error));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_EQ(error, "Can't create new socket\r\n" + SysErrorText(EMFILE));
  EXPECT_FALSE(client.IsActive());
}

TEST(TcpClient, BadAddressCannotStart) {
  EnsureApp();
  TComDriver driver;
  driver.SetIpRemoteAddress("not-an-address");
  EXPECT_FALSE(driver.SetConType(CON_TCP));
  EXPECT_EQ(driver.LastError(), "Invalid device address not-an-address:10500.");
  EXPECT_FALSE(driver.IsTcpConnecting());
}

}  // namespace
