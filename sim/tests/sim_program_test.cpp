// The qubra-sim program as the end-to-end runs use it: ready line, answers, dump and wire time
// on SIGTERM.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>

namespace {

// Reads from fd until `done` holds or the fd closes, for at most ten seconds.
std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& done) {
  std::string r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done(r) && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    r.append(buf, static_cast<size_t>(n));
  }
  return r;
}

TEST(SimProgramTest, AnswersDumpsAndReportsWireTimeOnSigterm) {
  const auto dump =
      std::filesystem::temp_directory_path() / ("qubra-sim-dump-" + std::to_string(getpid()));
  std::filesystem::remove_all(dump);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(QUBRA_SIM_PROGRAM, QUBRA_SIM_PROGRAM, "--tcp", "0", "--baud", "57600", "--type", "35",
          "--dump", dump.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  const std::string ready =
      ReadUntil(out[0], [](const std::string& s) { return s.find('\n') != std::string::npos; });
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(ready, m, std::regex("ready, tcp 127\\.0\\.0\\.1:(\\d+), device type 35")))
      << ready;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(std::stoi(m[1])));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(write(fd, "?", 1), 1);
  EXPECT_EQ(ReadUntil(fd, [](const std::string& s) { return s.size() >= 7; }), "DEV35\r\n");

  kill(pid, SIGTERM);
  const std::string rest = ReadUntil(out[0], [](const std::string&) { return false; });
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // 1 byte in, 7 out: 80 bits at 57600 baud.
  EXPECT_NE(rest.find("1 bytes received, 7 bytes sent"), std::string::npos) << rest;
  EXPECT_NE(rest.find("wire time 0.001 s at 57600 baud"), std::string::npos) << rest;
  EXPECT_EQ(std::filesystem::file_size(dump / "boot.bin"), 8192u);
  EXPECT_EQ(std::filesystem::file_size(dump / "bank7.bin"), 32768u);
  EXPECT_EQ(std::filesystem::file_size(dump / "edid.bin"), 256u);
  EXPECT_EQ(std::filesystem::file_size(dump / "jtagA.bin"), 0u);
  EXPECT_TRUE(std::filesystem::exists(dump / "versions.txt"));
  close(fd);
  close(out[0]);
  std::filesystem::remove_all(dump);
}

}  // namespace
