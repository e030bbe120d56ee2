#include "sys/Child.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <fstream>

#include "scratch_dir.h"
#include "sys/ChildSpawn.h"

using ::testing::ElementsAre;

namespace {

void EnsureApp() {
  static int argc = 1;
  static char name[] = "tests_sys";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app =
      QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  (void)app;
}

bool WaitFor(const std::function<bool()>& done) {
  for (QDeadlineTimer deadline(20000); !done() && !deadline.hasExpired();)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  return done();
}

// A child of the system's runner, its reports kept.
struct TWatched {
  std::vector<std::string> Lines;
  bool Ended = false;
  TChildEnd End;
  std::unique_ptr<TChild> Child;

  bool Start(TChildRunner& runner, TChildCommand command, std::string& error) {
    TChildEvents events;
    events.Line = [this](const std::string& line) { Lines.push_back(line); };
    events.End = [this](const TChildEnd& end) {
      Ended = true;
      End = end;
    };
    return runner.Start(command, std::move(events), Child, error);
  }
};

TChildCommand Shell(const std::string& script, std::vector<std::string> args = {}) {
  TChildCommand command;
  command.Program = "sh";
  command.Args = {"-c", script, "sh"};
  command.Args.insert(command.Args.end(), args.begin(), args.end());
  return command;
}

// Arguments and environment reach the child as the bytes they are, whatever their encoding;
// its stdout comes line by line (a last line without its end is not one), its stderr cut.
TEST(Children, BytesInLinesOutAndTheExit) {
  EnsureApp();
  const std::unique_ptr<TChildRunner> runner = MakeSystemChildRunner();
  TChildCommand command = Shell(
      "printf '%s\\n' \"$@\" \"$QUBRA_TRY\"; printf 'half'; head -c 70000 /dev/zero | tr '\\0' e "
      ">&2;"
      " read x; exit 3",
      {"rep\xe9.jsonl", "--name=dév€", "", "two words"});
  command.Environment = {"QUBRA_TRY=\xff\x01ü"};
  TWatched child;
  std::string error;
  ASSERT_TRUE(child.Start(*runner, command, error)) << error;
  ASSERT_TRUE(WaitFor([&] { return child.Ended; }));
  EXPECT_THAT(child.Lines,
              ElementsAre("rep\xe9.jsonl", "--name=dév€", "", "two words", "\xff\x01ü"));
  EXPECT_EQ(child.End.ExitCode, 3);
  EXPECT_EQ(child.End.Signal, 0);
  EXPECT_EQ(child.End.Stderr, std::string(kMaxChildStderr, 'e'));

  TWatched absent;
  EXPECT_FALSE(absent.Start(*runner, {"/nonexistent/qubra-updater", {}, {}, 0}, error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0);  // and it leaves no zombie behind
}

// A signal sent ends a child that does not handle it; one still running when let go is killed.
TEST(Children, SignalsAndLettingGo) {
  EnsureApp();
  const std::unique_ptr<TChildRunner> runner = MakeSystemChildRunner();
  TWatched child;
  std::string error;
  ASSERT_TRUE(child.Start(*runner, Shell("echo ready; exec sleep 30"), error)) << error;
  ASSERT_TRUE(WaitFor([&] { return !child.Lines.empty(); }));
  child.Child->Signal(SIGTERM);
  ASSERT_TRUE(WaitFor([&] { return child.Ended; }));
  EXPECT_EQ(child.End.Signal, SIGTERM);

  TWatched dropped;
  ASSERT_TRUE(dropped.Start(*runner, Shell("echo $$; exec sleep 30"), error)) << error;
  ASSERT_TRUE(WaitFor([&] { return !dropped.Lines.empty(); }));
  const pid_t pid = std::stoi(dropped.Lines[0]);
  dropped.Child.reset();
  EXPECT_FALSE(dropped.Ended);
  EXPECT_EQ(::kill(pid, 0), -1);  // gone, and reaped
}

// The child gets its parent-death signal when the process that started it goes, even one that
// never waits for it.
TEST(Children, TheParentsDeathReachesTheChild) {
  ScratchDir dir;
  const std::string mark = dir.Path() + "hup";
  const pid_t parent = ::fork();
  ASSERT_GE(parent, 0);
  if (parent == 0) {
    TChildCommand command =
        Shell("trap 'echo hup >\"$0\"; exit 0' HUP; echo up; while :; do sleep 0.05; done", {});
    command.Args[2] = mark;
    command.ParentDeathSignal = SIGHUP;
    TSpawned spawned;
    std::string error;
    if (!SpawnChild(command, spawned, error)) ::_exit(1);
    char up[3];
    while (::read(spawned.Stdout, up, sizeof up) <= 0) ::usleep(1000);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(parent, &status, 0), parent);
  ASSERT_EQ(status, 0);
  std::string text;
  for (QDeadlineTimer deadline(20000); text.empty() && !deadline.hasExpired(); ::usleep(10000)) {
    std::ifstream in(mark);
    std::getline(in, text);
  }
  EXPECT_EQ(text, "hup");
}

}  // namespace
