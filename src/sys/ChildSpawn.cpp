#include "sys/ChildSpawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sys/ExitStatus.h"
#include "sys/Files.h"
#include "sys/SysError.h"

extern char** environ;

namespace {

// A name without a slash is looked up in PATH before the fork: the child may only make calls
// that are safe after a fork, and the search allocates.
std::string FindProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > at ? dirs.substr(at, end - at) : ".";
    const std::string candidate = dir + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return program;
}

// The inherited environment with the command's own entries set over it.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& set) {
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& own : set) replaced = replaced || name_of(own) == name_of(entry);
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), set.begin(), set.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool MakePipe(int fds[2], std::string& error) {
  if (::pipe2(fds, O_CLOEXEC) == 0) return true;
  error = "cannot create a pipe: " + SysErrorText(errno);
  return false;
}

// Only calls that are safe after a fork: the parent may have threads.
[[noreturn]] void ExecChild(const TChildCommand& command, int parent, char* program, char** argv,
                            char** envp, int in, int out, int err, int status) {
  if (command.ParentDeathSignal != 0) {
    ::prctl(PR_SET_PDEATHSIG, command.ParentDeathSignal);
    // The parent may have gone before the line above.
    if (::getppid() != parent) ::_exit(ExitStatusOfStop(command.ParentDeathSignal));
  }
  // The line ignores SIGPIPE for itself; its children decide for themselves.
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
      ::dup2(err, STDERR_FILENO) < 0) {
    const int e = errno;
    [[maybe_unused]] const ssize_t n = ::write(status, &e, sizeof e);
    ::_exit(127);
  }
  ::execve(program, argv, envp);
  const int e = errno;
  [[maybe_unused]] const ssize_t n = ::write(status, &e, sizeof e);
  ::_exit(127);
}

}  // namespace

bool SpawnChild(const TChildCommand& command, TSpawned& spawned, std::string& error) {
  std::string program = FindProgram(command.Program);
  std::vector<std::string> args{command.Program};
  args.insert(args.end(), command.Args.begin(), command.Args.end());
  std::vector<std::string> env = ChildEnvironment(command.Environment);
  std::vector<char*> argv = Pointers(args), envp = Pointers(env);
  int out[2] = {-1, -1}, err[2] = {-1, -1}, status[2] = {-1, -1};
  int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  auto close_all = [&] {
    for (int* fd : {&in, &out[0], &out[1], &err[0], &err[1], &status[0], &status[1]}) CloseFd(*fd);
  };
  if (in < 0) error = "cannot open /dev/null: " + SysErrorText(errno);
  if (in < 0 || !MakePipe(out, error) || !MakePipe(err, error) || !MakePipe(status, error)) {
    close_all();
    return false;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0)
    ExecChild(command, parent, program.data(), argv.data(), envp.data(), in, out[1], err[1],
              status[1]);
  if (pid < 0) {
    error = "cannot fork: " + SysErrorText(errno);
    close_all();
    return false;
  }
  CloseFd(status[1]);
  int exec_error = 0;
  const ssize_t n = RetryOnSignal([&] { return ::read(status[0], &exec_error, sizeof exec_error); });
  if (n > 0) {
    error = SysErrorText(exec_error);
    TChildEnd ignored;
    ReapChild(pid, ignored);
    close_all();
    return false;
  }
  spawned.Pid = pid;
  spawned.PidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (spawned.PidFd < 0) {
    error = "cannot watch the child: " + SysErrorText(errno);
    ::kill(pid, SIGKILL);
    TChildEnd ignored;
    ReapChild(pid, ignored);
    close_all();
    return false;
  }
  spawned.Stdout = out[0];
  spawned.Stderr = err[0];
  out[0] = err[0] = -1;
  close_all();
  for (const int fd : {spawned.Stdout, spawned.Stderr})
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return true;
}

void ReapChild(int pid, TChildEnd& end) {
  int status = 0;
  const pid_t got = RetryOnSignal([&] { return ::waitpid(pid, &status, 0); });
  if (got != pid) return;
  if (WIFSIGNALED(status)) {
    end.Signal = WTERMSIG(status);
    end.ExitCode = 0;
  } else {
    end.ExitCode = WEXITSTATUS(status);
  }
}

void CloseSpawned(TSpawned& spawned) {
  CloseFd(spawned.PidFd);
  CloseFd(spawned.Stdout);
  CloseFd(spawned.Stderr);
}
