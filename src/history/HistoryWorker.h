#pragma once

#include <QJsonObject>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

#include "history/History.h"

// The history's one thread in a process: every record and every question of the windows and
// the runs goes through it, on the one connection it opens, so that a database that is slow
// or cannot be reached never holds a window or a run. A database found unreachable is not
// asked again for a while: what comes meanwhile goes to the spool at once.
class THistoryWorker {
 public:
  static THistoryWorker& Process();

  using TWork = std::function<void(THistory* history, const std::string& why)>;
  // Runs `work` on the history's thread with `url`'s history (nullptr and `why` when it cannot
  // be had), each statement limited to `seconds`; then `answer` on the thread of `owner`,
  // unless the owner is gone by then. REQUIRES: url is not `none`; called on owner's thread.
  void Ask(const std::string& url, int seconds, TWork work, QObject* owner = nullptr,
           std::function<void()> answer = {});

  // Keeps `record` in `url`'s history, else in the spool; `told` then gets, on the thread of
  // `owner`, "" or the notice the operator sees.
  void Keep(const std::string& url, const QJsonObject& record, QObject* owner = nullptr,
            std::function<void(const std::string&)> told = {});
  // The same, waited for `seconds` at most, or until `stop` says so (asked while this thread's
  // events are handled); a record not kept by then goes to the spool from here. True when it
  // is in the history; else `notice` is the line the operator sees.
  bool KeepWithin(const std::string& url, const QJsonObject& record, int seconds,
                  const std::function<bool()>& stop, std::string& notice);

  // Sends the spool on the history's thread, unless another sync is at it.
  void SendSpool();

  // Waits, `seconds` at most, for all that was handed in; records not kept by then go to the
  // spool. Then the thread ends, unless a statement still holds it: false then.
  [[nodiscard]] bool Finish(int seconds);
  // Whether the process's worker was ever asked for.
  static bool Started();

  struct TImpl;

 private:
  THistoryWorker();
  std::shared_ptr<TImpl> Impl;
};

// The line the operator sees when a record went to the spool (or could not).
std::string SpoolNotice(const std::string& reason, const std::string& spool_failure);
