#pragma once

#include <QTimer>
#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sys/Child.h"

// The children as a test scripts them: which were started with which arguments, what each
// reports and how it ends. Like a real child's, every report arrives through the event loop.
class TFakeChildren : public TChildRunner {
 public:
  // One child started.
  struct TRun {
    TChildCommand Command;
    std::vector<int> Signals;  // sent to it, in order
    // A signal ends it, as it ends a process that does not handle it; or as this says.
    std::function<void(TRun& run, int signal_number)> OnSignal;

    void Say(const std::string& line) {
      Later([line](TRun& r) {
        if (r.Events.Line) r.Events.Line(line);
      });
    }
    void Exit(int code, const std::string& stderr_text = "") { End({code, 0, stderr_text}); }
    void Die(int signal_number) { End({0, signal_number, ""}); }
    bool Ended() const { return EndSent; }

   private:
    friend class TFakeChildren;
    void End(TChildEnd end) {
      if (EndSent) return;
      EndSent = true;
      Later([end](TRun& r) {
        if (r.Events.End) r.Events.End(end);
      });
    }
    void Later(std::function<void(TRun&)> act) {
      auto self = Self.lock();
      QTimer::singleShot(0, [self, act] {
        if (!self->Released) act(*self);
      });
    }
    TChildEvents Events;
    std::weak_ptr<TRun> Self;
    bool EndSent = false;
    bool Released = false;  // the line let its child go: nothing reaches it any more
  };

  // What a child does once started; by default it runs until it is told or signalled.
  std::function<void(TRun& run)> Script;
  // Why the next starts fail, one from the front each; "" lets that start go through.
  std::deque<std::string> StartFailures;
  // What Room says.
  size_t RoomLeft = SIZE_MAX;
  uint64_t Limit = 0;
  std::vector<std::shared_ptr<TRun>> Runs;  // every child started, in order
  long MaxAlive = 1L << 30;  // children alive at once: a start beyond fails as the system's does

  bool Start(const TChildCommand& command, TChildEvents events, std::unique_ptr<TChild>& child,
             std::string& error) override {
    if (!StartFailures.empty()) {
      error = StartFailures.front();
      StartFailures.pop_front();
      if (!error.empty()) return false;
    }
    if (std::count_if(Runs.begin(), Runs.end(), [](auto& r) { return !r->Released; }) >= MaxAlive)
      return error = "cannot create a pipe: Too many open files", false;
    auto run = std::make_shared<TRun>();
    run->Command = command;
    run->Events = std::move(events);
    run->Self = run;
    Runs.push_back(run);
    child = std::make_unique<TFakeChild>(run);
    if (Script) Script(*run);
    return true;
  }

  size_t Room(uint64_t& limit) const override {
    limit = Limit;
    return RoomLeft;
  }

 private:
  class TFakeChild : public TChild {
   public:
    explicit TFakeChild(std::shared_ptr<TRun> run) : Run(std::move(run)) {}
    ~TFakeChild() override { Run->Released = true; }
    void Signal(int signal_number) override {
      if (Run->EndSent) return;
      Run->Signals.push_back(signal_number);
      if (Run->OnSignal)
        Run->OnSignal(*Run, signal_number);
      else
        Run->Die(signal_number);
    }

   private:
    std::shared_ptr<TRun> Run;
  };
};
