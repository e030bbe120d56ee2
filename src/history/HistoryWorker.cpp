#include "history/HistoryWorker.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "history/HistorySpool.h"

namespace {

using TClock = std::chrono::steady_clock;

// A database whose statements ran out of time is left alone this long before it is asked again.
constexpr auto kUnreachableRest = std::chrono::seconds(60);

enum class EKeeping { Waiting, InHistory, Spooled };

struct TKeeping {
  std::string Url;
  QJsonObject Record;
  bool Waited = false;  // a caller waits for it, and takes it away
  EKeeping State = EKeeping::Waiting;
  std::string Notice;
};

// Who an answer goes to: made on the owner's thread when the question is asked, so that an
// owner gone meanwhile is seen as gone.
struct TOwner {
  explicit TOwner(QObject* owner) : To(owner), Owned(owner != nullptr) {}
  QPointer<QObject> To;
  bool Owned;
};

// On the owner's thread, unless the owner is gone.
void Answer(const TOwner& owner, std::function<void()> answer) {
  if (!answer || !QCoreApplication::instance()) return;
  QPointer<QObject> to = owner.To;
  const bool owned = owner.Owned;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [to, owned, answer = std::move(answer)] {
        if (!owned || to) answer();
      },
      Qt::QueuedConnection);
}

}  // namespace

std::string SpoolNotice(const std::string& reason, const std::string& spool_failure) {
  if (spool_failure.empty())
    return "history not written (" + reason + "): kept in " + DefaultHistorySpool();
  return "history not written (" + reason + "); nor kept: " + spool_failure;
}

struct THistoryWorker::TImpl {
  QThread Thread;
  QObject Home;  // lives on Thread: what is posted to it runs there

  std::mutex M;
  std::condition_variable Changed;
  int Queued = 0;  // handed in, not done
  int Tickets = 0;
  std::map<int, TKeeping> Keeping;

  // The history's thread's own.
  std::map<std::string, std::unique_ptr<THistory>> Open;
  std::map<std::string, std::pair<TClock::time_point, std::string>> Unreachable;

  void Post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(M);
      ++Queued;
      if (!Thread.isRunning()) Thread.start();
    }
    QMetaObject::invokeMethod(
        &Home,
        [this, job = std::move(job)] {
          job();
          std::lock_guard<std::mutex> lock(M);
          --Queued;
          Changed.notify_all();
        },
        Qt::QueuedConnection);
  }

  THistory* Get(const std::string& url, int seconds, std::string& why) {
    if (const auto u = Unreachable.find(url); u != Unreachable.end()) {
      if (TClock::now() < u->second.first) return why = u->second.second, nullptr;
      Unreachable.erase(u);
    }
    std::unique_ptr<THistory>& history = Open[url];
    THistoryUrl where;
    if (!history && ParseHistoryUrl(url, where, why)) {
      if (where.Kind == THistoryUrl::hkNONE) return why = "the spool names no database", nullptr;
      // One that cannot be opened is tried again by the next request: that fails fast (a
      // refused connection, a missing folder) or within the connect timeout.
      if (!OpenHistory(where, seconds, history, why)) return nullptr;
    }
    if (history && !history->Limit(seconds, why)) Forget(url, why);
    return Open[url].get();
  }

  // After a failure: one that says the database cannot answer closes the connection.
  void Check(const std::string& url, const std::string& why) {
    const auto h = Open.find(url);
    if (h != Open.end() && h->second && h->second->Unreachable()) Forget(url, why);
  }
  void Forget(const std::string& url, const std::string& why) {
    Open.erase(url);
    Unreachable[url] = {TClock::now() + kUnreachableRest, why};
  }

  // The one place a record goes to the spool: whoever claims it first, this thread or a
  // caller that waited long enough.
  void Spool(int ticket, const std::string& reason) {
    std::string url;
    QJsonObject record;
    {
      std::lock_guard<std::mutex> lock(M);
      const auto k = Keeping.find(ticket);
      if (k == Keeping.end() || k->second.State != EKeeping::Waiting) return;
      k->second.State = EKeeping::Spooled;
      url = k->second.Url;
      record = k->second.Record;
    }
    std::string failure;
    const bool kept = SpoolRun(DefaultHistorySpool(), url, record, failure);
    std::lock_guard<std::mutex> lock(M);
    if (const auto k = Keeping.find(ticket); k != Keeping.end())
      k->second.Notice = SpoolNotice(reason, kept ? "" : failure);
    Changed.notify_all();
  }

  // A record handed in; the history's thread keeps it, or spools it.
  int Keep(const std::string& url, const QJsonObject& record, bool waited,
           std::function<void(const std::string&)> told, TOwner owner) {
    // The spool keeps the URL as parsed (a relative path made absolute); one that cannot be
    // parsed only as a message may show it, never with what it may hide.
    THistoryUrl where;
    std::string ignored;
    const std::string spooled =
        ParseHistoryUrl(url, where, ignored) ? where.Text : ShownHistoryUrl(url);
    int ticket;
    {
      std::lock_guard<std::mutex> lock(M);
      ticket = ++Tickets;
      Keeping[ticket] = {spooled, record, waited, EKeeping::Waiting, ""};
    }
    Post([this, url, record, ticket, owner, told = std::move(told)] {
      std::string why;
      THistory* history = Get(url, kRunKeepSeconds, why);
      bool added = false;
      if (history && history->Keep(record, added, why)) {
        std::lock_guard<std::mutex> lock(M);
        const auto k = Keeping.find(ticket);
        if (k != Keeping.end() && k->second.State == EKeeping::Waiting)
          k->second.State = EKeeping::InHistory;
      } else {
        if (history) Check(url, why);
        Spool(ticket, why);
      }
      std::string notice;
      {
        std::lock_guard<std::mutex> lock(M);
        const auto k = Keeping.find(ticket);
        if (k == Keeping.end()) return;
        notice = k->second.Notice;
        if (!k->second.Waited) Keeping.erase(k);
        Changed.notify_all();
      }
      if (told) Answer(owner, [told, notice] { told(notice); });
    });
    return ticket;
  }
};

namespace {
std::atomic<bool> WorkerMade{false};
}  // namespace

THistoryWorker& THistoryWorker::Process() {
  // Never destroyed: a statement the server never answers must not hold the process's exit.
  static THistoryWorker* worker = (WorkerMade = true, new THistoryWorker);
  return *worker;
}

bool THistoryWorker::Started() {
  return WorkerMade;
}

THistoryWorker::THistoryWorker() : Impl(std::make_shared<TImpl>()) {
  Impl->Thread.setObjectName("history");
  Impl->Home.moveToThread(&Impl->Thread);
  Impl->Thread.start();
}

void THistoryWorker::Ask(const std::string& url, int seconds, TWork work, QObject* owner,
                         std::function<void()> answer) {
  Impl->Post([impl = Impl.get(), url, seconds, work = std::move(work), owner = TOwner(owner),
              answer = std::move(answer)]() mutable {
    std::string why;
    THistory* history = impl->Get(url, seconds, why);
    work(history, why);
    if (history) impl->Check(url, why);
    Answer(owner, std::move(answer));
  });
}

void THistoryWorker::Keep(const std::string& url, const QJsonObject& record, QObject* owner,
                          std::function<void(const std::string&)> told) {
  Impl->Keep(url, record, false, std::move(told), TOwner(owner));
}

bool THistoryWorker::KeepWithin(const std::string& url, const QJsonObject& record, int seconds,
                                const std::function<bool()>& stop, std::string& notice) {
  const int ticket = Impl->Keep(url, record, true, {}, TOwner(nullptr));
  const auto until = TClock::now() + std::chrono::seconds(seconds);
  std::unique_lock<std::mutex> lock(Impl->M);
  for (;;) {
    const TKeeping& k = Impl->Keeping.at(ticket);
    if (k.State == EKeeping::InHistory || (k.State == EKeeping::Spooled && !k.Notice.empty()))
      break;
    if (TClock::now() >= until || (stop && stop())) {
      lock.unlock();
      Impl->Spool(ticket, "the database did not answer within " + std::to_string(seconds) + " s");
      lock.lock();
      continue;
    }
    Impl->Changed.wait_for(lock, std::chrono::milliseconds(50));
    // A stop signal arrives through the event loop of this thread.
    if (stop && QCoreApplication::instance()) {
      lock.unlock();
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
      lock.lock();
    }
  }
  const TKeeping k = Impl->Keeping.at(ticket);
  Impl->Keeping.erase(ticket);
  notice = k.Notice;
  return k.State == EKeeping::InHistory;
}

void THistoryWorker::SendSpool() {
  Impl->Post([impl = Impl.get()] {
    TSyncCount count;
    std::string error;
    (void)SyncSpool(
        DefaultHistorySpool(), false,
        [impl](const std::string& url, std::string& why) {
          return impl->Get(url, kRunKeepSeconds, why);
        },
        count, error);
  });
}

bool THistoryWorker::Finish(int seconds) {
  auto idle = [&](int wait) {
    std::unique_lock<std::mutex> lock(Impl->M);
    return Impl->Changed.wait_for(lock, std::chrono::seconds(wait),
                                  [&] { return Impl->Queued == 0; });
  };
  const bool done = idle(seconds);
  std::vector<int> waiting;
  {
    std::lock_guard<std::mutex> lock(Impl->M);
    for (const auto& [ticket, k] : Impl->Keeping)
      if (k.State == EKeeping::Waiting) waiting.push_back(ticket);
  }
  for (const int ticket : waiting)
    Impl->Spool(ticket, "the database did not answer within " + std::to_string(seconds) + " s");
  if (!done) return false;  // the thread stays with the statement that holds it
  // The connections close on their own thread, which then ends; a later request starts it again.
  Impl->Post([impl = Impl.get()] { impl->Open.clear(); });
  if (!idle(std::max(seconds, 1))) return false;
  Impl->Thread.quit();
  Impl->Thread.wait();
  return true;
}
