#include "sys/Terminal.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include "sys/Limits.h"

// A pseudo-terminal is a terminal of the size it was given; a pipe is none. A descriptor more
// is counted.
TEST(Terminal, SizeAndOpenFiles) {
  int master = -1, slave = -1;
  winsize size{24, 100, 0, 0};
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
  size_t columns = 0, rows = 0;
  EXPECT_TRUE(IsTerminal(slave));
  EXPECT_TRUE(TerminalSize(slave, columns, rows));
  EXPECT_EQ(columns, 100u);
  EXPECT_EQ(rows, 24u);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_FALSE(IsTerminal(fds[0]));
  EXPECT_FALSE(TerminalSize(fds[0], columns, rows));
  const size_t open = OpenFileCount();
  const int extra = ::dup(fds[0]);
  EXPECT_EQ(OpenFileCount(), open + 1);
  for (const int fd : {master, slave, fds[0], fds[1], extra}) ::close(fd);
  // Room for children: none where an updater could not run, or no more fit here.
  for (const auto& [limit, open, room] :
       {std::tuple{8u, 3u, 0u}, {12u, 6u, 1u}, {12u, 7u, 0u}, {44u, 20u, 7u}})
    EXPECT_EQ(ChildrenRoom(limit, open), room) << limit << " " << open;
}
