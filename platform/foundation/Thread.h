// Threads and the main-thread hand-off.
#pragma once

#include <functional>

namespace platform {

// performSelectorOnMainThread:withObject:waitUntilDone: runs the work on the main thread's event
// loop. Queued hand-offs run in the order they were made. Waiting from the main thread itself
// runs the work at once.
void performSelectorOnMainThread(std::function<void()> work, bool waitUntilDone);

bool isMainThread();

class NSThread {
 public:
  // detachNewThreadSelector:toTarget:withObject: runs the body on a new detached thread.
  static void detachNewThreadSelector(std::function<void()> body);
};

}  // namespace platform
