// The simulator's links over real loopback sockets and a real pseudo-terminal.
#include "sim_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

using Clock = TSimLink::Clock;

struct Pumped {
  std::string got;
  bool new_session = false;
};

// Services the link until `done` holds, for at most five seconds.
Pumped Pump(TSimLink& link, const std::function<bool(const Pumped&)>& done) {
  Pumped p;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!done(p) && Clock::now() < deadline) {
    std::vector<pollfd> fds;
    link.AddPollFds(fds, Clock::now());
    poll(fds.data(), fds.size(), 20);
    bool fresh = false;
    p.got += link.Service(fds, Clock::now(), fresh);
    p.new_session |= fresh;
  }
  return p;
}

std::string ReadSome(int fd, size_t n) {
  std::string r;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (r.size() < n && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    const ssize_t k = read(fd, buf, sizeof buf);
    if (k <= 0) break;
    r.append(buf, static_cast<size_t>(k));
  }
  return r;
}

int PortOf(const TSimLink& link) {
  const std::string d = link.Describe();
  return std::stoi(d.substr(d.rfind(':') + 1));
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = Loopback(port);
  EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  return fd;
}

TEST(SimLinkTest, TcpOneConnectionAtATime) {
  TSimOptions o;
  o.link = TSimOptions::Link::kTcp;
  TSimLink link;
  std::string error;
  ASSERT_TRUE(link.Open(o, error)) << error;
  link.Send("lost");  // no connection yet: dropped
  const int first = Connect(PortOf(link));
  ASSERT_EQ(write(first, "?", 1), 1);
  Pumped p = Pump(link, [](const Pumped& p) { return p.got == "?"; });
  EXPECT_EQ(p.got, "?");
  EXPECT_TRUE(p.new_session);
  link.Send("DEV30\r\n");
  EXPECT_EQ(ReadSome(first, 7), "DEV30\r\n");

  const int second = Connect(PortOf(link));
  p = Pump(link, [](const Pumped& p) { return p.new_session; });
  EXPECT_TRUE(p.new_session);
  EXPECT_EQ(ReadSome(first, 1), "") << "the previous connection is closed";
  link.Send("ok");
  EXPECT_EQ(ReadSome(second, 2), "ok");
  close(first);
  close(second);
  std::string notes;
  Pump(link, [&](const Pumped&) {
    notes += link.TakeNotes();
    return notes.find("connection closed by the updater") != std::string::npos;
  });
  link.Send("lost");  // nobody connected: dropped, not kept for the next connection
  const int third = Connect(PortOf(link));
  Pump(link, [](const Pumped& p) { return p.new_session; });
  link.Send("x");
  EXPECT_EQ(ReadSome(third, 1), "x");
  close(third);
}

TEST(SimLinkTest, UdpAnswersTheSenderFromItsPort) {
  TSimOptions o;
  o.link = TSimOptions::Link::kUdp;
  TSimLink link;
  std::string error;
  ASSERT_TRUE(link.Open(o, error)) << error;
  link.Send("lost");  // no sender yet: dropped
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in me = Loopback(0);
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&me), sizeof me), 0);
  const sockaddr_in sim = Loopback(PortOf(link));
  ASSERT_EQ(sendto(fd, "?", 1, 0, reinterpret_cast<const sockaddr*>(&sim), sizeof sim), 1);
  EXPECT_EQ(Pump(link, [](const Pumped& p) { return !p.got.empty(); }).got, "?");
  link.Send("DEV35\r\n");
  pollfd pf{fd, POLLIN, 0};
  ASSERT_EQ(poll(&pf, 1, 5000), 1);
  char buf[64];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0))), "DEV35\r\n");
  EXPECT_EQ(ntohs(from.sin_port), PortOf(link));
  close(fd);
}

TEST(SimLinkTest, PtySurvivesTheUpdaterReopeningThePort) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("qubra-sim-pty-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  TSimOptions o;
  o.link = TSimOptions::Link::kPty;
  o.pty_link = (dir / "COM1").string();
  TSimLink link;
  std::string error;
  ASSERT_TRUE(link.Open(o, error)) << error;
  for (const char* sent : {"?", "1yU254yU"}) {
    link.Send("lost");  // the terminal is not open: dropped
    const int port = open(o.pty_link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0);
    termios t{};
    tcgetattr(port, &t);
    cfmakeraw(&t);
    tcsetattr(port, TCSANOW, &t);
    ASSERT_EQ(write(port, sent, strlen(sent)), static_cast<ssize_t>(strlen(sent)));
    EXPECT_EQ(Pump(link, [&](const Pumped& p) { return p.got.size() >= strlen(sent); }).got, sent);
    link.Send("\r\n.");
    EXPECT_EQ(ReadSome(port, 3), "\r\n.");
    close(port);
    int rounds = 0;  // a few rounds in which the link sees the terminal closed
    Pump(link, [&](const Pumped&) { return ++rounds > 5; });
  }
  link.HangUp();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(o.pty_link)));

  const auto plain = dir / "plain";
  { std::ofstream(plain.string()) << "x"; }
  TSimLink other;
  o.pty_link = plain.string();
  EXPECT_FALSE(other.Open(o, error));
  EXPECT_EQ(error, plain.string() + " exists and is not a symbolic link; not replacing it");
  std::filesystem::remove_all(dir);
}

}  // namespace
