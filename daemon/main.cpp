// KapshoDaemon: uploads each new screenshot and puts its address on the clipboard.
#include <signal.h>

#include <memory>

#include "common/constants.h"
#include "daemon/KapshoController.h"
#include "platform/appkit/Application.h"
#include "platform/bsd/kqueue.h"
#include "platform/carbon/SessionLock.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Thread.h"

using namespace platform;

int main() {
  // The hang-up signal asks the agent to stop; the watcher reads it from its queue.
  ignore_and_block_signal(SIGHUP);
  // One agent per session: a second would upload every screenshot again. Held until the end.
  const SessionLock session(DaemonBundleID);
  if (session.heldByAnother()) {
    NSLog("Kapsho already runs in this session as process %d", static_cast<int>(session.holder()));
    return 0;
  }
  if (!session.held()) NSLog("Another Kapsho may run in this session: %@", session.error());
  NSApplication& application = NSApplication::sharedApplication();
  std::unique_ptr<KapshoController> controller;
  try {
    controller = std::make_unique<KapshoController>();
  } catch (...) {
    terminateWithUncaughtException(currentException());
  }
  // The watcher owns the controller from here and has the main thread release it at its end.
  NSThread::detachNewThreadSelector([watcher = controller.release()] { watcher->kqueueThread(); });
  application.run();
  return 0;
}
