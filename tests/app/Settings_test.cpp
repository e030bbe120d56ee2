#include "app/Settings.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "formats/text.h"

namespace {

// A program folder of its own per test, so settings files never meet.
class SettingsFile : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = testing::TempDir() + "settings_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl + "/";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  void Write(const std::string& bytes) {
    std::ofstream f(dir_ + kSettingsFileName, std::ios::binary);
    f << bytes;
  }
  std::string Read() {
    std::ifstream f(dir_ + kSettingsFileName, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  int EntryCount() {
    int n = 0;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
    closedir(d);
    return n;
  }

  std::string dir_;
};

TEST_F(SettingsFile, StartAndCloseKeepForeignLinesInPlace) {
  Write(
      "; device room 2\r\n"
      "con_type=TCP\r\n"
      "OPERATOR=night shift\n"
      "COM3_DEVICE=/dev/ttyUSB0\r"
      "REMOTE_IP=127.0.0.1\r\n"
      "Remote_Port=10501\r\n");
  TSettingsLines lines;
  std::string unreadable;
  TConnectionSettings s = LoadSettings(dir_, lines, unreadable);
  EXPECT_EQ(unreadable, "");
  EXPECT_TRUE(s.Port.Lan);
  EXPECT_EQ(s.Lan.ConnectionKind, CON_TCP);
  EXPECT_EQ(s.Lan.RemoteAddress, "127.0.0.1");
  EXPECT_EQ(s.Lan.RemotePort, 10501);
  EXPECT_EQ(ComDevicePath(lines, 3), "/dev/ttyUSB0");

  ASSERT_TRUE(SaveSettings(dir_, lines, s.Port, s.Lan));
  EXPECT_EQ(Read(),
            "; device room 2\r\n"
            "con_type=TCP\r\n"
            "OPERATOR=night shift\r\n"
            "COM3_DEVICE=/dev/ttyUSB0\r\n"
            "REMOTE_IP=127.0.0.1\r\n"
            "Remote_Port=10501\r\n"
            "COM_PORT=NA\r\n"
            "LOCAL_PORT=10500\r\n");
  EXPECT_EQ(EntryCount(), 1);  // no temporary file left behind
}

TEST_F(SettingsFile, MissingFileGivesDefaultsAndIsCreatedAtClose) {
  TSettingsLines lines;
  std::string unreadable;
  TConnectionSettings s = LoadSettings(dir_, lines, unreadable);
  EXPECT_EQ(unreadable, "");  // a first start is no fault
  EXPECT_TRUE(lines.empty());
  EXPECT_FALSE(s.Port.Lan);
  EXPECT_EQ(SelectedComPort(s.Port), "COM1");
  EXPECT_EQ(s.Lan.ConnectionKind, CON_TCP);
  EXPECT_EQ(s.Lan.RemoteAddress, "192.168.0.10");
  EXPECT_EQ(s.Lan.RemotePort, 10500);
  EXPECT_EQ(s.Lan.LocalPort, 10500);

  ASSERT_TRUE(SaveSettings(dir_, lines, s.Port, s.Lan));
  EXPECT_EQ(Read(),
            "CON_TYPE=RS232\r\nCOM_PORT=COM1\r\nREMOTE_IP=192.168.0.10\r\n"
            "REMOTE_PORT=10500\r\nLOCAL_PORT=10500\r\n");
  struct stat st;
  ASSERT_EQ(stat((dir_ + kSettingsFileName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(SettingsFile, FailedWriteLeavesOldFileAndSaysWhy) {
  Write("CON_TYPE=RS232\r\n");
  TSettingsLines lines;
  std::string unreadable;
  TConnectionSettings s = LoadSettings(dir_, lines, unreadable);
  s.Port.ComPort = 5;

  // A folder standing where the file should be is no file to replace.
  std::string other = dir_ + "sub/";
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((other + kSettingsFileName).c_str(), 0755), 0);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SaveSettings(other, lines, s.Port, s.Lan));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(other + kSettingsFileName), std::string::npos) << err;

  // A folder that does not exist: not even a temporary file can be made.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SaveSettings(dir_ + "none/", lines, s.Port, s.Lan));
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(dir_ + "none/"), std::string::npos) << err;

  // A disk that fills up while the file is written (a file size limit here).
  const std::string path = dir_ + kSettingsFileName;
  TSettingsLines long_lines = lines;
  long_lines.push_back("; " + std::string(100000, 'n'));
  rlimit unlimited{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  rlimit small = unlimited;
  small.rlim_cur = 4096;
  const auto xfsz = signal(SIGXFSZ, SIG_IGN);
  testing::internal::CaptureStderr();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = SaveSettings(dir_, long_lines, s.Port, s.Lan);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
  signal(SIGXFSZ, xfsz);
  err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(saved);
  EXPECT_EQ(err, "qubra-updater: settings not saved: cannot write " + path + ": " +
                     std::strerror(EFBIG) + "\n");

  // A read-only file stays as it is, even where the system would let us replace it (root).
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SaveSettings(dir_, lines, s.Port, s.Lan));
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "qubra-updater: settings not saved: " + path +
                     (geteuid() == 0 ? " is read-only\n" : ": Permission denied\n"));

  EXPECT_EQ(Read(), "CON_TYPE=RS232\r\n");
  EXPECT_EQ(EntryCount(), 2);  // Updater.prm and sub/, no temporary file
}

// A file that is there but cannot be read gives the defaults and says so; the caller must then
// leave it alone.
TEST_F(SettingsFile, UnreadableFileIsSaid) {
  const std::string path = dir_ + kSettingsFileName;
  const std::string tail = "): the default settings are used and the file is left as it is";
  struct Case {
    std::function<void()> make;
    std::string reason;
  };
  std::vector<Case> cases = {
      {[&] { mkdir(path.c_str(), 0755); }, "not a regular file"},
      {[&] { mkfifo(path.c_str(), 0644); }, "not a regular file"},
      {[&] { symlink(kSettingsFileName, path.c_str()); }, "Too many levels of symbolic links"},
  };
  if (geteuid() != 0)  // root reads whatever the mode says
    cases.push_back(
        {[&] { Write("CON_TYPE=TCP\r\n"), chmod(path.c_str(), 0); }, "Permission denied"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    std::system(("rm -rf '" + path + "'").c_str());
    c.make();
    TSettingsLines lines = {"stale"};
    std::string unreadable;
    const TConnectionSettings s = LoadSettings(dir_, lines, unreadable);
    EXPECT_EQ(unreadable, path + " could not be read (" + c.reason + tail);
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(s.Port.Lan);
    EXPECT_EQ(s.Lan.RemoteAddress, "192.168.0.10");
  }
}

// The atomic replacement must not lose what the user set on the file: its permission bits,
// owner and group, extended attributes (ACLs are some).
TEST_F(SettingsFile, RewriteKeepsWhatTheUserSetOnTheFile) {
  const std::string path = dir_ + kSettingsFileName;
  for (mode_t mode : {0600, 0640, 0664}) {
    Write("COM_PORT=COM2\r\n");
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    const bool root = geteuid() == 0;
    if (root) {
      ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    }
    const bool xattrs = setxattr(path.c_str(), "user.note", "bench 4", 7, 0) == 0;
    TSettingsLines lines;
    std::string unreadable;
    const TConnectionSettings s = LoadSettings(dir_, lines, unreadable);
    ASSERT_TRUE(SaveSettings(dir_, lines, s.Port, s.Lan));
    EXPECT_EQ(Read().substr(0, 15), "COM_PORT=COM2\r\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    if (root) {
      EXPECT_EQ(st.st_uid, 65534u);
      EXPECT_EQ(st.st_gid, 65534u);
    }
    if (xattrs) {
      char value[16] = {};
      EXPECT_EQ(getxattr(path.c_str(), "user.note", value, sizeof value), 7);
      EXPECT_STREQ(value, "bench 4");
    }
    EXPECT_EQ(EntryCount(), 1);
  }
}

// A settings file shared through a symbolic link is updated where it lies, and the links stay.
TEST_F(SettingsFile, LinksAreWrittenThroughToTheirTarget) {
  const std::string prog = dir_ + "prog/", shared = dir_ + "shared/";
  ASSERT_EQ(mkdir(prog.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
  { std::ofstream(shared + kSettingsFileName, std::ios::binary) << "CON_TYPE=TCP\r\n"; }
  ASSERT_EQ(symlink("../shared/Updater.prm", (prog + "hop").c_str()), 0);
  ASSERT_EQ(symlink("hop", (prog + kSettingsFileName).c_str()), 0);
  TSettingsLines lines;
  std::string unreadable;
  TConnectionSettings s = LoadSettings(prog, lines, unreadable);
  ASSERT_TRUE(s.Port.Lan);
  s.Lan.ConnectionKind = CON_UDP;
  ASSERT_TRUE(SaveSettings(prog, lines, s.Port, s.Lan));

  struct stat st;
  ASSERT_EQ(lstat((prog + kSettingsFileName).c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  std::ifstream in(shared + kSettingsFileName, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(text.substr(0, 14), "CON_TYPE=UDP\r\n");
  int entries = 0;
  for (const std::string& d : {prog, shared}) {
    DIR* dir = opendir(d.c_str());
    while (dirent* e = readdir(dir)) entries += e->d_name[0] != '.';
    closedir(dir);
  }
  EXPECT_EQ(entries, 3);  // two links and the target, no temporary file

  // A link to a file not there yet makes it there.
  ASSERT_EQ(unlink((shared + kSettingsFileName).c_str()), 0);
  ASSERT_TRUE(SaveSettings(prog, lines, s.Port, s.Lan));
  EXPECT_EQ(lstat((shared + kSettingsFileName).c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

struct LoadCase {
  const char* file;
  bool lan;
  tConnectionType kind;
  const char* comPort;
  int32_t remotePort, localPort;
  const char* written;  // CON_TYPE and COM_PORT written back at close
};

TEST(Settings, ReadingTheConnection) {
  const LoadCase cases[] = {
      {"con_type=TCP", true, CON_TCP, "COM1", 10500, 10500, "con_type=TCP|COM_PORT=NA"},
      {"CON_TYPE=tcp\nCOM_PORT=COM2", false, CON_TCP, "COM2", 10500, 10500,
       "CON_TYPE=RS232|COM_PORT=COM2"},
      {"CON_TYPE=NONE\nCOM_PORT=COM4", false, CON_TCP, "COM4", 10500, 10500,
       "CON_TYPE=RS232|COM_PORT=COM4"},
      {"CON_TYPE=RS232\nCOM_PORT=COM10", false, CON_TCP, "COM1", 10500, 10500,
       "CON_TYPE=RS232|COM_PORT=COM1"},
      {"CON_TYPE=RS232\nCOM_PORT=COM25", false, CON_TCP, "COM1", 10500, 10500,
       "CON_TYPE=RS232|COM_PORT=COM1"},
      {"COM_PORT=com9", false, CON_TCP, "COM1", 10500, 10500, "COM_PORT=COM1|CON_TYPE=RS232"},
      {"CON_TYPE=UDP\nCOM_PORT=COM7", true, CON_UDP, "COM1", 10500, 10500,
       "CON_TYPE=UDP|COM_PORT=NA"},
      {"CON_TYPE=\nCON_TYPE=UDP", true, CON_UDP, "COM1", 10500, 10500,
       "CON_TYPE=|CON_TYPE=UDP|COM_PORT=NA"},
      // Ports: plain decimal only; anything else takes 10500.
      {"REMOTE_PORT=0010\nLOCAL_PORT=70000", false, CON_TCP, "COM1", 10, 70000, ""},
      {"REMOTE_PORT=-1\nLOCAL_PORT=$10", false, CON_TCP, "COM1", 10500, 10500, ""},
      {"REMOTE_PORT= 5\nLOCAL_PORT=5 ", false, CON_TCP, "COM1", 10500, 10500, ""},
      {"REMOTE_PORT=99999999999\nLOCAL_PORT=port", false, CON_TCP, "COM1", 10500, 10500, ""},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.file);
    TSettingsLines lines = SplitLines(c.file);
    TConnectionSettings s = SettingsFromLines(lines);
    EXPECT_EQ(s.Port.Lan, c.lan);
    EXPECT_EQ(s.Lan.ConnectionKind, c.kind);
    EXPECT_EQ(SelectedComPort(s.Port), c.comPort);
    EXPECT_EQ(s.Lan.RemotePort, c.remotePort);
    EXPECT_EQ(s.Lan.LocalPort, c.localPort);
    if (*c.written == 0) continue;
    SettingsToLines(lines, s.Port, s.Lan);
    std::string head;
    for (size_t i = 0; i < lines.size() && lines[i].rfind("REMOTE_IP", 0) != 0; ++i)
      head += (i ? "|" : "") + lines[i];
    EXPECT_EQ(head, c.written);
  }
}

TEST(Settings, KeysAndValues) {
  TSettingsLines lines = {"# note", "Remote_IP=10.0.0.1", "REMOTE_IP=10.0.0.2", "X=", "=v"};
  EXPECT_EQ(ReadSetting(lines, "remote_ip", "d"), "10.0.0.1");
  EXPECT_EQ(ReadSetting(lines, "X", "d"), "d");
  EXPECT_EQ(ReadSetting(lines, "", "d"), "v");
  EXPECT_EQ(ReadSetting(lines, "# note", "d"), "d");
  EXPECT_EQ(ReadSetting(lines, "REMOTE", "d"), "d");

  WriteSetting(lines, "REMOTE_IP", "a=b");  // in place, first line only, key spelling kept
  WriteSetting(lines, "x", "1");            // the empty line stays, a new one follows at the end
  WriteSetting(lines, "X", "2");            // ...and is the one replaced next time
  EXPECT_EQ(lines,
            (TSettingsLines{"# note", "Remote_IP=a=b", "REMOTE_IP=10.0.0.2", "X=", "=v", "x=2"}));
  EXPECT_EQ(ReadSetting(lines, "remote_ip", "d"), "a=b");
  EXPECT_EQ(ReadSetting(lines, "X", "d"), "2");
}

TEST(Settings, ComPortsAndDevicePaths) {
  TSettingsLines lines = {"COM1_DEVICE=/dev/serial/by-id/usb-x", "com2_device=/dev/ttyUSB1",
                          "COM3_DEVICE=", "COM10_DEVICE=/dev/ttyUSB9"};
  EXPECT_EQ(ComDevicePath(lines, 1), "/dev/serial/by-id/usb-x");
  EXPECT_EQ(ComDevicePath(lines, 2), "/dev/ttyUSB1");
  EXPECT_EQ(ComDevicePath(lines, 3), "/dev/ttyS2");
  EXPECT_EQ(ComDevicePath(lines, 9), "/dev/ttyS8");
  EXPECT_EQ(ComDevicePath({}, 1), "/dev/ttyS0");

  EXPECT_EQ(SelectedComPort({9, false}), "COM9");
  EXPECT_EQ(SelectedComPort({2, false}), "COM2");
  EXPECT_EQ(SelectedComPort({4, true}), "COM1");
  EXPECT_EQ(SelectedComPort({0, false}), "COM1");
}

TEST(Settings, IpAddresses) {
  struct {
    const char* text;
    bool valid;
    int a, b, c, d;
  } cases[] = {
      {"192.168.0.10", true, 192, 168, 0, 10},
      {"127.0.0.1", true, 127, 0, 0, 1},
      {"010.000.001.255", true, 10, 0, 1, 255},
      {" 10.1.2.3", true, 10, 1, 2, 3},
      {"0x7F.$0A.+0.1", true, 127, 10, 0, 1},
      {"10.1.2.3 ", false, 0, 0, 0, 0},
      {"10.1.2", false, 0, 0, 0, 0},
      {"10.1.2.256", false, 0, 0, 0, 0},
      {"256.1.2.3", false, 0, 0, 0, 0},
      {"10.1.2.3.4", false, 0, 0, 0, 0},
      {"10..2.3", false, 0, 0, 0, 0},
      {"10.1.2.", false, 0, 0, 0, 0},
      {"10.-1.2.3", false, 0, 0, 0, 0},
      {"10.1 .2.3", false, 0, 0, 0, 0},
      {"4294967306.1.2.3", false, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0},
      {"a.b.c.d", false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t parts[4] = {9, 9, 9, 9};
    EXPECT_EQ(IsValidIpAddress(c.text, parts), c.valid);
    EXPECT_EQ(parts[0], c.a);
    EXPECT_EQ(parts[1], c.b);
    EXPECT_EQ(parts[2], c.c);
    EXPECT_EQ(parts[3], c.d);
  }
}

}  // namespace
