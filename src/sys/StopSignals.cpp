#include "sys/StopSignals.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "sys/SysError.h"

std::string SignalName(int signal_number) {
  const char* name = ::sigabbrev_np(signal_number);
  return name ? std::string("SIG") + name : std::to_string(signal_number);
}

namespace {

int g_signal_pipe[2] = {-1, -1};

void WriteToPipe(int signal_number) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal_number);
  [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

constexpr int kRemovalSignals[] = {SIGINT, SIGTERM, SIGHUP};
char g_removal_path[PATH_MAX];

void RemoveAndEnd(int signal_number) {
  if (g_removal_path[0] != '\0') ::unlink(g_removal_path);
  // The handler was reset on entry: the signal, blocked until we return, then ends the process.
  ::raise(signal_number);
}

}  // namespace

void IgnoreWriteSignals() {
  for (const int s : {SIGPIPE, SIGXFSZ}) ::signal(s, SIG_IGN);
}

TSignalPipe::TSignalPipe(bool resize) {
  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    Why = SysErrorText(errno);
    return;
  }
  ReadEnd = g_signal_pipe[0];
  struct sigaction sa {};
  sa.sa_handler = WriteToPipe;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  // A closed terminal (HUP) or output (PIPE) must not end the process without its record.
  std::vector<int> handled{SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  if (resize) handled.push_back(SIGWINCH);
  for (const int signal_number : handled) {
    Old.push_back({signal_number, {}});
    ::sigaction(signal_number, &sa, &Old.back().second);
  }
}

TSignalPipe::~TSignalPipe() {
  if (ReadEnd < 0) return;
  for (const auto& [signal_number, old] : Old) ::sigaction(signal_number, &old, nullptr);
  ::close(g_signal_pipe[0]);
  ::close(g_signal_pipe[1]);
  g_signal_pipe[0] = g_signal_pipe[1] = -1;
}

int TSignalPipe::Next() {
  unsigned char byte = 0;
  return ReadEnd >= 0 && ::read(ReadEnd, &byte, 1) == 1 ? byte : 0;
}

TRemoveOnSignal::TRemoveOnSignal(const std::string& path) {
  if (path.size() >= sizeof g_removal_path) return;
  std::memcpy(g_removal_path, path.c_str(), path.size() + 1);
  struct sigaction sa {};
  sa.sa_handler = RemoveAndEnd;
  sigemptyset(&sa.sa_mask);
  for (const int s : kRemovalSignals) sigaddset(&sa.sa_mask, s);
  sa.sa_flags = SA_RESETHAND;
  for (size_t i = 0; i < std::size(kRemovalSignals); ++i) {
    ::sigaction(kRemovalSignals[i], nullptr, &Old[i]);
    if (Old[i].sa_handler != SIG_IGN) ::sigaction(kRemovalSignals[i], &sa, nullptr);
  }
}

TRemoveOnSignal::~TRemoveOnSignal() {
  for (size_t i = 0; i < std::size(kRemovalSignals); ++i)
    ::sigaction(kRemovalSignals[i], &Old[i], nullptr);
  g_removal_path[0] = '\0';
}
