#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>

#include "sys/Child.h"
#include "sys/ChildSpawn.h"
#include "sys/Files.h"
#include "sys/Limits.h"

namespace {

// How long a child killed with its parent's runner still running is waited for.
constexpr int kKillWaitMs = 5000;

// Reads what `fd` holds now; false once it is at its end.
bool ReadAvailable(int fd, std::string& into) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = RetryOnSignal([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

class TSystemChild : public TChild {
 public:
  TSystemChild(const TSpawned& spawned, TChildEvents events)
      : Process(spawned), Events(std::move(events)) {
    Out = Watch(Process.Stdout, [this] { ReadOut(); });
    Err = Watch(Process.Stderr, [this] { ReadErr(); });
    Exit = Watch(Process.PidFd, [this] { Finish(); });
  }

  ~TSystemChild() override {
    StopWatching();
    if (!Ended) {
      ::kill(Process.Pid, SIGKILL);
      pollfd p{Process.PidFd, POLLIN, 0};
      RetryOnSignal([&] { return ::poll(&p, 1, kKillWaitMs); });
      if (p.revents != 0) ReapChild(Process.Pid, Result);
    }
    CloseSpawned(Process);
  }

  void Signal(int signal_number) override {
    if (!Ended) ::kill(Process.Pid, signal_number);
  }

 private:
  template <class F>
  QSocketNotifier* Watch(int fd, F on_ready) {
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, on_ready);
    return notifier;
  }

  // A notifier may be the one whose signal is being delivered: it goes once that is done.
  void StopWatching() {
    for (QSocketNotifier** n : {&Out, &Err, &Exit}) {
      if (!*n) continue;
      (*n)->setEnabled(false);
      (*n)->disconnect();
      (*n)->deleteLater();
      *n = nullptr;
    }
  }

  void ReadOut() {
    if (!ReadAvailable(Process.Stdout, Pending) && Out) Out->setEnabled(false);
    for (size_t end; (end = Pending.find('\n')) != std::string::npos;) {
      const std::string line = Pending.substr(0, end);
      Pending.erase(0, end + 1);
      if (Events.Line) Events.Line(line);
    }
  }

  void ReadErr() {
    std::string text;
    if (!ReadAvailable(Process.Stderr, text) && Err) Err->setEnabled(false);
    const size_t room = kMaxChildStderr - std::min(kMaxChildStderr, Result.Stderr.size());
    Result.Stderr.append(text, 0, std::min(room, text.size()));
  }

  void Finish() {
    ReadOut();
    ReadErr();
    StopWatching();
    ReapChild(Process.Pid, Result);
    Ended = true;
    // Last: the one told may let this child go.
    if (Events.End) Events.End(Result);
  }

  TSpawned Process;
  TChildEvents Events;
  QSocketNotifier* Out = nullptr;
  QSocketNotifier* Err = nullptr;
  QSocketNotifier* Exit = nullptr;
  std::string Pending;  // stdout not yet a whole line
  TChildEnd Result;
  bool Ended = false;
};

class TSystemChildRunner : public TChildRunner {
 public:
  bool Start(const TChildCommand& command, TChildEvents events, std::unique_ptr<TChild>& child,
             std::string& error) override {
    TSpawned spawned;
    if (!SpawnChild(command, spawned, error)) return false;
    child = std::make_unique<TSystemChild>(spawned, std::move(events));
    return true;
  }

  size_t Room(uint64_t& limit) const override {
    if (!OpenFileLimit(limit)) return SIZE_MAX;
    return ChildrenRoom(limit, OpenFileCount());
  }
};

}  // namespace

std::unique_ptr<TChildRunner> MakeSystemChildRunner() {
  return std::make_unique<TSystemChildRunner>();
}
