#pragma once

// Helpers for the device link tests: a Qt event loop, pseudo-terminals and loopback sockets.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

inline void EnsureApp() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "tests_link";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  (void)app;
}

// Runs the event loop until `done` holds, for at most `ms` milliseconds; returns done().
inline bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
  EnsureApp();
  QTimer tick;  // wakes the loop to look at `done` again
  tick.start(2);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// Waits for `done` without running the event loop, for at most `ms` milliseconds.
inline bool WaitWithoutLoop(const std::function<bool()>& done, int ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Handles what is already queued, without waiting.
inline void Pump() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

inline int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}
inline int OpenFdCount() {
  return CountEntries("/proc/self/fd");
}
inline int ThreadCount() {
  return CountEntries("/proc/self/task");
}

// A pseudo-terminal: the port under test opens `path`; the test plays the device on `master`.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;

  Pty() {
    char name[128] = "";
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
      path = name;
      fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
      termios tio{};
      tcgetattr(slave, &tio);
      cfmakeraw(&tio);
      tcsetattr(slave, TCSANOW, &tio);
    }
  }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  bool Ok() const { return master >= 0; }
  void Write(const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t w = write(master, s.data() + done, s.size() - done);
      if (w > 0)
        done += static_cast<size_t>(w);
      else
        WaitFor([&] {
          pollfd p{master, POLLOUT, 0};
          return poll(&p, 1, 0) > 0;
        });
    }
  }
  // What the port has written so far.
  std::string Drain() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  // Bytes written to the device side and not yet taken by the port.
  int Unread() const {
    int n = 0;
    ioctl(slave, FIONREAD, &n);
    return n;
  }
  // Collects port output until `n` bytes have come (or the wait gives up).
  std::string Read(size_t n) {
    std::string got;
    WaitFor([&] {
      got += Drain();
      return got.size() >= n;
    });
    return got;
  }
};

inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

inline int BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A socket bound to 127.0.0.1 on a port the system picked.
inline int LoopbackSocket(int type, int& port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  port = BoundPort(fd);
  return fd;
}

// A socket bound to 127.0.0.1:`port`, once nobody else holds it; -1 if that takes too long.
inline int BindLoopback(int type, int port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // A stream port lingering after an earlier test is free; a datagram port must be ours alone.
  const int on = 1;
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = Loopback(port);
  if (WaitWithoutLoop([&] { return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0; }))
    return fd;
  close(fd);
  return -1;
}

// A UDP port that was free a moment ago.
inline int FreeUdpPort() {
  int port = 0;
  int fd = LoopbackSocket(SOCK_DGRAM, port);
  close(fd);
  return port;
}
