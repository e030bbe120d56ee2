#include "link/Handover.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include <QMetaObject>
#include <QObject>

THandover::THandover(QObject* context) : context_(context) {}

bool THandover::Deliver(std::function<void()> fn) {
  std::shared_ptr<State> st = state_;
  std::unique_lock<std::mutex> lock(st->mutex);
  if (st->abandoned) return false;
  const uint64_t seq = ++st->posted;
  lock.unlock();

  // The queued call holds the state itself, so it stays valid even if this object is gone;
  // if the context dies first, Qt drops the call and Abandon must already have released us.
  QMetaObject::invokeMethod(
      context_,
      [st, seq, fn = std::move(fn)] {
        {
          std::lock_guard<std::mutex> guard(st->mutex);
          if (st->abandoned) return;
        }
        struct MarkDone {
          State* st;
          uint64_t seq;
          ~MarkDone() {
            std::lock_guard<std::mutex> guard(st->mutex);
            st->done = seq;
            st->handled.notify_all();
          }
        } mark{st.get(), seq};
        fn();
      },
      Qt::QueuedConnection);

  lock.lock();
  st->handled.wait(lock, [&] { return st->abandoned || st->done == seq; });
  return st->done == seq;
}

void THandover::Abandon() {
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->abandoned = true;
  state_->handled.notify_all();
}

void SignalStop(int stop_fd) {
  const uint64_t one = 1;
  ssize_t r;
  do r = write(stop_fd, &one, sizeof one);
  while (r < 0 && errno == EINTR);
}
