// Sending Apple events between processes of the user: one Unix stream connection per event to
// the socket $XDG_RUNTIME_DIR/kapsho/<process ID of the target>. The request and the reply each
// travel as a 4-byte big-endian length and the flattened descriptor.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/carbon/AppleEvents.h"
#include "platform/carbon/Processes.h"

// Sends the event to the process its address names and waits up to timeOutInTicks (1/60 s) for
// the reply. Only kAEWaitReply is offered. errAETimeout when no reply came in time,
// connectionInvalid when the target has no socket or dropped the connection.
OSErr AESendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                    long timeOutInTicks);

namespace platform {

// The socket on which a process answers events, or "" without XDG_RUNTIME_DIR.
std::string eventSocketPath(pid_t pid);

// Fills the reply to one event; a non-zero result without an 'errn' in the reply becomes its
// 'errn', as the platform does for event handlers.
using AEEventHandler = std::function<OSErr(const AppleEvent* event, AppleEvent* reply)>;

// Answers the events sent to this process, one connection at a time, from peers of this user
// only. The socket exists from open() until the listener goes.
class AEEventListener {
 public:
  explicit AEEventListener(AEEventHandler handler);
  ~AEEventListener();
  AEEventListener(const AEEventListener&) = delete;
  AEEventListener& operator=(const AEEventListener&) = delete;

  // Creates the socket (and its 0700 folder); false with the reason on failure.
  bool open(std::string* error);
  // Serves connections until stop().
  void run();
  // Safe from a signal handler and from another thread.
  void stop();

 private:
  void serve(int connection);
  std::string answer(const std::string& request, pid_t sender);

  AEEventHandler handler_;
  std::string path_;
  int listenFd_ = -1;
  int stopFd_ = -1;
};

}  // namespace platform
