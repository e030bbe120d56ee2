#include "records/HistoryWorker.h"

#include <QCoreApplication>
#include <QPointer>

THistoryWorker::THistoryWorker() {
  Pool.setMaxThreadCount(1);
}

THistoryWorker::~THistoryWorker() {
  Pool.waitForDone();
}

void THistoryWorker::Do(std::function<void()> work, QObject* owner, std::function<void()> answer) {
  // Made here, on the owner's thread; only that thread looks through it.
  QPointer<QObject> to(owner);
  Pool.start([work = std::move(work), to, answer = std::move(answer)] {
    work();
    if (!answer) return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [to, answer] {
          if (to) answer();
        },
        Qt::QueuedConnection);
  });
}
