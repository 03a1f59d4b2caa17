#include "app/zalQtMainThreadQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace zal {

void TzalQtMainThreadQueue::Queue(std::function<void()> work) {
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

void TzalQtMainThreadQueue::Synchronize(std::function<void()> work) {
  if (IsMainThread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::BlockingQueuedConnection);
}

}  // namespace zal
