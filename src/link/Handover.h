#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QObject;

// Carries work from a worker thread to the thread of a QObject, one piece at a time, and lets the
// worker wait until it has run. Unlike a blocking queued call it can be abandoned: the owner,
// closing on the user-interface thread, releases a waiting worker instead of deadlocking on it.
// One instance serves one worker session; create a fresh one for every session.
class THandover {
 public:
  // `context` lives on the receiving thread and must outlive every Deliver call.
  explicit THandover(QObject* context);

  // Worker thread. Runs `fn` on the context's thread and returns true once it has run; returns
  // false, with `fn` never run, once Abandon has been called.
  bool Deliver(std::function<void()> fn);

  // Receiving thread. Releases a waiting Deliver and discards every pending or later one.
  void Abandon();

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable handled;
    bool abandoned = false;
    uint64_t posted = 0;
    uint64_t done = 0;
  };
  QObject* context_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Wakes a receive thread that polls `stop_fd`, an eventfd, so that it ends its loop.
void SignalStop(int stop_fd);
