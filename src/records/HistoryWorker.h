#pragma once

#include <QObject>
#include <QThreadPool>
#include <functional>

// The history's work done off a window's thread: a database that is slow or cannot be reached
// (a server waits out its connect timeout) never freezes the window, nor STOP. One thread, so
// records and questions keep the order they were handed in.
class THistoryWorker {
 public:
  THistoryWorker();
  // Waits for what was handed in: a run's record is kept even when the window closes at once.
  ~THistoryWorker();
  THistoryWorker(const THistoryWorker&) = delete;
  THistoryWorker& operator=(const THistoryWorker&) = delete;

  // Runs `work` on the history's thread, then `answer` on the thread of `owner`, unless the
  // owner is gone by then. REQUIRES: called on the owner's thread.
  void Do(std::function<void()> work, QObject* owner = nullptr, std::function<void()> answer = {});

 private:
  QThreadPool Pool;
};
