#include "link/ComPort.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "formats/text.h"
#include "link_test_util.h"

namespace {

// "" when the port opened, otherwise why not; `code` gets the errno value behind it.
std::string OpenError(TComPort& port, int* code = nullptr) {
  std::string error;
  int err = 0;
  const bool opened = port.Open(error, err);
  EXPECT_EQ(opened, error.empty());
  if (code) *code = err;
  return error;
}

TEST(ComPortTerminator, TextAndBytes) {
  struct Case {
    const char* text;
    std::string bytes;  // empty: an error is expected
    const char* error;
  };
  const std::string kIllegal =
      "Illegal terminator string.\rformat : #<asciicode>#<asciicode>#<...>\rexample: #13#10";
  const std::vector<Case> cases = {
      {"#13#10", "\r\n", ""},
      {"#266", "\n", ""},
      {"#3", "\x03", ""},
      {"x65#66", "AB", ""},  // the first character stands for "#", whatever it is
      {"#$41#0x42", "AB", ""},
      {"#1x", "", kIllegal.c_str()},
      {"#13##10", "", kIllegal.c_str()},
      {"#", "", "Terminator string cannot be empty!"},
      {"", "", "Terminator string cannot be empty!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TComPort port;
    std::string error;
    ASSERT_TRUE(port.SetTerminator("#4", error));
    EXPECT_EQ(port.SetTerminator(c.text, error), !c.bytes.empty());
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(port.TerminatorBytes(), c.bytes.empty() ? "\r\n" : c.bytes);
  }
  TComPort port;
  EXPECT_EQ(port.GetTerminator(), "#13#10");
  std::string error;
  EXPECT_TRUE(port.SetTerminator("#0#255", error));
  EXPECT_EQ(port.GetTerminator(), "#0#255");
}

TEST(ComPort, DefaultDevices) {
  EXPECT_EQ(DefaultComDevice("COM1"), "/dev/ttyS0");
  EXPECT_EQ(DefaultComDevice("COM9"), "/dev/ttyS8");
  EXPECT_EQ(DefaultComDevice("/dev/ttyUSB0"), "/dev/ttyUSB0");
}

TEST(ComPort, OpenFailureNamesThePortAndTheReason) {
  TComPort port;
  port.Port = "COM7";
  port.Device = "/nonexistent/ttyQ7";
  int code = 0;
  EXPECT_EQ(OpenError(port, &code), "TCOMPORT : cannot open COM7 (/nonexistent/ttyQ7)\r" +
                                        std::string(std::strerror(ENOENT)));
  EXPECT_EQ(code, ENOENT);
  EXPECT_FALSE(port.Opened());

  // A runaway device path from the settings is quoted cut.
  port.Device = "/nonexistent/" + std::string(5000, 'q');
  EXPECT_EQ(OpenError(port), "TCOMPORT : cannot open COM7 (" + Excerpt(port.Device) + ")\r" +
                                 std::string(std::strerror(ENAMETOOLONG)));

  port.Device = "/dev/null";  // not a terminal
  EXPECT_NE(OpenError(port), "");
  EXPECT_FALSE(port.Opened());
}

class ComPortPty : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApp();
    ASSERT_TRUE(pty.Ok());
    port.Port = "COM4";
    port.Device = pty.path;
    port.ReceiveMode = rmRAW;
    port.ReceiveCallBack = [this](const std::string& d) { chunks.push_back(d); };
  }
  std::string Received() const {
    std::string all;
    for (const std::string& c : chunks) all += c;
    return all;
  }

  Pty pty;
  TComPort port;
  std::vector<std::string> chunks;
  std::string error;
};

TEST_F(ComPortPty, RawKeepsEveryByteInOrder) {
  EXPECT_TRUE(port.SetBaud(57600, error)) << error;
  EXPECT_EQ(OpenError(port), "");
  ASSERT_TRUE(port.Opened());
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  pty.Write(all);
  ASSERT_TRUE(WaitFor([&] { return Received().size() >= 256; }));
  EXPECT_EQ(Received(), all);

  // A long stream arrives whole and in order, however it is cut into chunks.
  std::string big;
  for (int i = 0; i < 100000; ++i) big += static_cast<char>(i * 7 + i / 256);
  chunks.clear();
  pty.Write(big);
  ASSERT_TRUE(WaitFor([&] { return Received().size() >= big.size(); }));
  EXPECT_EQ(Received(), big);

  // Writes larger than the line's buffer go out whole, in order.
  port.WriteString(big);
  EXPECT_EQ(pty.Read(big.size()), big);
  EXPECT_EQ(port.PendingOutput(), 0u);
}

TEST_F(ComPortPty, TerminatorModeDeliversOneMessagePerArrival) {
  port.ReceiveMode = rmTERM;
  EXPECT_EQ(OpenError(port), "");
  pty.Write("ab\r\ncd\r\nef");
  ASSERT_TRUE(WaitFor([&] { return !chunks.empty(); }));
  ASSERT_TRUE(WaitFor([&] { return pty.Unread() == 0; }));
  Pump();
  EXPECT_EQ(chunks, std::vector<std::string>{"ab\r\n"});
  pty.Write("\r\n");
  ASSERT_TRUE(WaitFor([&] { return chunks.size() == 2; }));
  EXPECT_EQ(chunks[1], "cd\r\n");
  pty.Write("x");
  ASSERT_TRUE(WaitFor([&] { return chunks.size() == 3; }));
  EXPECT_EQ(chunks[2], "ef\r\n");

  // An unfinished message does not outlive the port's closing.
  pty.Write("old");
  ASSERT_TRUE(WaitFor([&] { return pty.Unread() == 0; }));
  port.Close();
  EXPECT_EQ(OpenError(port), "");
  pty.Write("new\r\n");
  ASSERT_TRUE(WaitFor([&] { return chunks.size() == 4; }));
  EXPECT_EQ(chunks[3], "new\r\n");
}

TEST_F(ComPortPty, LineSettings) {
  int opened = 0, closed = 0;
  port.OnPortOpen = [&](TComPort&) { ++opened; };
  port.OnPortClose = [&](TComPort&) { ++closed; };
  // Every standard speed reaches the line.
  for (uint32_t baud :
       {50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
        2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
        576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000}) {
    EXPECT_TRUE(port.SetBaud(baud, error)) << error;
    EXPECT_EQ(OpenError(port), "") << baud;
    port.Close();
  }
  EXPECT_EQ(opened, 30);
  EXPECT_EQ(closed, 30);
  EXPECT_TRUE(port.SetBaud(9600, error)) << error;
  EXPECT_EQ(OpenError(port), "");
  termios tio{};
  tcgetattr(pty.slave, &tio);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(tio.c_cflag & PARENB);
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));

  EXPECT_TRUE(port.SetBaud(57600, error)) << error;  // at once, still open
  port.StopBits = snTWO;  // only at the next Open
  tcgetattr(pty.slave, &tio);
  EXPECT_TRUE(port.Opened());
  EXPECT_EQ(cfgetospeed(&tio), B57600);
  EXPECT_FALSE(tio.c_cflag & CSTOPB);

  port.Close();
  EXPECT_EQ(OpenError(port), "");
  tcgetattr(pty.slave, &tio);
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  port.Close();

  EXPECT_TRUE(port.SetBaud(12345, error));  // closed: taken for the next Open
  const std::string refused = OpenError(port);
  EXPECT_EQ(refused.rfind("TCOMPORT : cannot open COM4 (" + pty.path + ")\r", 0), 0u) << refused;
  EXPECT_FALSE(port.Opened());
  EXPECT_EQ(opened, 32);  // not the failed open
}

// Whoever holds the port keeps it: a failed open leaves the holder's exclusive mark alone.
TEST_F(ComPortPty, OpenIsExclusive) {
  auto marked = [&] {
    int on = 0;
    return ioctl(pty.slave, TIOCGEXCL, &on) == 0 && on != 0;
  };
  auto busy = [&](TComPort& p) {
    int code = 0;
    const std::string error = OpenError(p, &code);
    if (error.empty()) return false;
    EXPECT_EQ(error, "TCOMPORT : cannot open COM4 (" + pty.path + ")\r" +
                         std::string(std::strerror(EBUSY)));
    return code == EBUSY;
  };
  EXPECT_EQ(OpenError(port), "");
  EXPECT_TRUE(marked());
  TComPort other;
  other.Port = "COM4";
  other.Device = pty.path;
  EXPECT_TRUE(busy(other));
  EXPECT_TRUE(marked());
  port.Close();
  EXPECT_FALSE(marked());

  // Another program's mark without a lock: root gets past it at open(), but the port is taken.
  ASSERT_EQ(ioctl(pty.slave, TIOCEXCL, nullptr), 0);
  EXPECT_TRUE(busy(other));
  EXPECT_TRUE(marked());
  ioctl(pty.slave, TIOCNXCL, nullptr);
  // Another program's lock without a mark: taken as well.
  const int holder = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  EXPECT_TRUE(busy(other));
  close(holder);
  EXPECT_EQ(OpenError(other), "");  // free again once its holder lets go
  EXPECT_TRUE(other.Opened());
}

TEST_F(ComPortPty, CloseDiscardsAPendingHandOverWithoutDeadlock) {
  EXPECT_EQ(OpenError(port), "");
  pty.Write("late");
  // The receive thread has taken the bytes and now waits for the user-interface thread, which
  // does not run its event loop before closing.
  ASSERT_TRUE(WaitWithoutLoop([&] { return pty.Unread() == 0; }));
  port.Close();
  Pump();
  EXPECT_TRUE(chunks.empty());
  EXPECT_FALSE(port.Opened());
}

TEST_F(ComPortPty, ClosingFromTheReceiveCallbackKeepsTheBytes) {
  int closes = 0;
  port.OnPortClose = [&](TComPort&) { ++closes; };
  port.ReceiveCallBack = [&](const std::string& d) {
    chunks.push_back(d);
    port.Close();
  };
  EXPECT_EQ(OpenError(port), "");
  pty.Write("bye");
  ASSERT_TRUE(WaitFor([&] { return closes == 1; }));
  EXPECT_EQ(Received(), "bye");
  EXPECT_FALSE(port.Opened());
}

TEST_F(ComPortPty, VanishedPortEndsTheLoopAndReportsOnce) {
  int errors = 0;
  port.OnError = [&](TComPort&) { ++errors; };
  EXPECT_EQ(OpenError(port), "");
  close(pty.master);  // the adapter is unplugged
  pty.master = -1;
  ASSERT_TRUE(WaitFor([&] { return errors == 1; }));
  EXPECT_EQ(port.LostReason(), "hung up");
  Pump();
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(chunks.empty());  // the loss brings no empty arrival
  port.WriteString("ignored");
  port.Close();
  EXPECT_FALSE(port.Opened());
  EXPECT_EQ(port.LostReason(), "");
}

// A signal that interrupts the wait (a terminal resized mid-run) loses nothing.
TEST_F(ComPortPty, SignalsDoNotEndTheWait) {
  static std::atomic<int> caught{0};
  struct sigaction quiet {
  }, old{};
  quiet.sa_handler = [](int) { ++caught; };  // without SA_RESTART: the wait returns EINTR
  ASSERT_EQ(sigaction(SIGWINCH, &quiet, &old), 0);
  int errors = 0;
  port.OnError = [&](TComPort&) { ++errors; };
  EXPECT_EQ(OpenError(port), "");
  sigset_t winch;
  sigemptyset(&winch);
  sigaddset(&winch, SIGWINCH);
  pthread_sigmask(SIG_BLOCK, &winch, nullptr);  // only the receive thread can take it now
  for (int i = 1; i <= 10; ++i) {
    kill(getpid(), SIGWINCH);
    ASSERT_TRUE(WaitWithoutLoop([&] { return caught == i; }));
  }
  pty.Write("after");
  EXPECT_TRUE(WaitFor([&] { return Received() == "after"; }));
  EXPECT_EQ(errors, 0);
  port.Close();
  pthread_sigmask(SIG_UNBLOCK, &winch, nullptr);
  sigaction(SIGWINCH, &old, nullptr);
}

// The run reopens the port at the boot loader's speed right after the variable-mode writes: a
// device that reads them only after the reopen still gets them. (A pseudo-terminal hands written
// bytes to the other side a moment later; purging the output at open used to drop them.)
TEST_F(ComPortPty, ReopeningKeepsWhatWasWrittenBefore) {
  int lost = 0;
  for (int i = 0; i < 3000; ++i) {
    EXPECT_TRUE(port.SetBaud(9600, error)) << error;
    EXPECT_EQ(OpenError(port), "");
    ASSERT_TRUE(port.Opened());
    port.WriteString("1yU254yU");
    port.Close();
    EXPECT_TRUE(port.SetBaud(57600, error)) << error;
    EXPECT_EQ(OpenError(port), "");
    ASSERT_TRUE(port.Opened());
    if (pty.Read(8) != "1yU254yU") ++lost;
    port.Close();
  }
  EXPECT_EQ(lost, 0);
}

TEST_F(ComPortPty, ReopeningLeaksNoDescriptorOrThread) {
  EXPECT_EQ(OpenError(port), "");
  port.Close();
  const int fds = OpenFdCount();
  const int threads = ThreadCount();
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(OpenError(port), "");
    ASSERT_TRUE(port.Opened());
    port.Close();
  }
  EXPECT_EQ(OpenFdCount(), fds);
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_EQ(OpenError(port), "");
  pty.Write("still");
  ASSERT_TRUE(WaitFor([&] { return Received() == "still"; }));
}

}  // namespace
