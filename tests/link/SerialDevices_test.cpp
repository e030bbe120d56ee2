#include "link/SerialDevices.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <set>

#include "link/link_test_util.h"

namespace {

// Whatever this machine has (often nothing): every entry is a real device node, consoles and
// pseudo-terminals are not offered, and watching can start and stop.
TEST(SerialDevices, ListsThisMachine) {
  EnsureApp();  // the monitor's notifier lives on the event loop
  int master = -1, slave = -1;
  char pty_name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, pty_name, nullptr, nullptr), 0);

  auto devices = MakeSystemSerialDevices();
  std::vector<TSerialDevice> found;
  std::string error;
  ASSERT_TRUE(devices->List(found, error)) << error;
  std::set<std::string> nodes;
  for (const TSerialDevice& d : found) {
    SCOPED_TRACE(d.Node);
    EXPECT_EQ(access(d.Node.c_str(), F_OK), 0);
    EXPECT_TRUE(nodes.insert(d.Node).second) << "listed twice";
    EXPECT_TRUE(d.ById.empty() || d.ById.rfind("/dev/serial/by-id/", 0) == 0) << d.ById;
    for (const char* virtual_tty : {"/dev/tty", "/dev/console", "/dev/ptmx", "/dev/tty0"})
      EXPECT_NE(d.Node, virtual_tty);
  }
  EXPECT_EQ(nodes.count(pty_name), 0u);
  EXPECT_TRUE(std::is_sorted(found.begin(), found.end(),
                             [](const auto& a, const auto& b) { return a.Node < b.Node; }));
  std::cout << "serial devices here:";
  for (const TSerialDevice& d : found) std::cout << ' ' << d.Node;
  std::cout << '\n';

  // The monitor may be out of reach (no netlink in a container); stopping always works.
  devices->Watch([] {});
  EXPECT_TRUE(devices->Watch(nullptr));
  close(master);
  close(slave);
}

}  // namespace
