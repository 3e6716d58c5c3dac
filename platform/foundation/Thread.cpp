#include "platform/foundation/Thread.h"

#include <QCoreApplication>
#include <QThread>
#include <thread>

namespace platform {

bool isMainThread() {
  auto* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

void performSelectorOnMainThread(std::function<void()> work, bool waitUntilDone) {
  auto* app = QCoreApplication::instance();
  if (waitUntilDone && isMainThread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(app, std::move(work),
                            waitUntilDone ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

void NSThread::detachNewThreadSelector(std::function<void()> body) {
  std::thread(std::move(body)).detach();
}

}  // namespace platform
