// Sending Apple events between processes of the user: one Unix stream connection per event to
// the socket $XDG_RUNTIME_DIR/<vendor>/<process ID of the target>. The request and the reply each
// travel as a 4-byte big-endian length and the flattened descriptor; an empty request asks only
// whether the process answers, and is answered empty.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/bsd/FileDescriptor.h"
#include "platform/carbon/AppleEvents.h"
#include "platform/carbon/Processes.h"

// Sends the event to the process its address names and waits up to timeOutInTicks (1/60 s) for
// the reply. The event travels with its time-out ('timo'), so that the target starts no work
// that its sender has given up on. A target that runs but has no socket yet (it is starting) is
// waited for within the time-out. Only kAEWaitReply is offered. errAETimeout when no reply came
// in time; procNotFound when the target has ended or is stopped, so it never took the event;
// connectionInvalid when it cannot be reached or dropped the connection.
OSErr AESendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                    long timeOutInTicks);

namespace platform {

// The folder of the event sockets, made (0700) when missing; "" with the reason when there is
// no usable one.
std::string eventSocketFolder(std::string* error);
// The socket on which a process answers events, or "" without XDG_RUNTIME_DIR.
std::string eventSocketPath(pid_t pid);

// Whether the process answers within the budget (it echoes an empty request). A process that is
// starting is waited for; one that has ended or is stopped gives false at once.
bool processAnswersEvents(pid_t pid, std::chrono::milliseconds budget);

// Fills the reply to one event; a non-zero result without an 'errn' in the reply becomes its
// 'errn', as the platform does for event handlers.
using AEEventHandler = std::function<OSErr(const AppleEvent* event, AppleEvent* reply)>;

// Answers the events sent to this process from peers of this user only. Each connection is read
// and answered on a thread of its own, with a short budget, so a peer that stalls delays no
// other; the handler is called for one event at a time. The socket exists from open() until the
// listener goes, and is made again if it is removed meanwhile.
class AEEventListener {
 public:
  explicit AEEventListener(AEEventHandler handler);
  ~AEEventListener();
  AEEventListener(const AEEventListener&) = delete;
  AEEventListener& operator=(const AEEventListener&) = delete;

  // Creates the socket (and its folder); false with the reason on failure.
  bool open(std::string* error);
  // Serves connections until stop(), then waits for the connections being served.
  void run();
  // Safe from a signal handler and from another thread.
  void stop();

 private:
  bool listen(std::string* error);
  void restoreSocketIfGone();
  bool acceptConnection();
  void serve(int connection);
  // The reply to a request; nullopt when it gets none.
  std::optional<std::string> answer(const std::string& request, pid_t sender);

  AEEventHandler handler_;
  std::mutex handling_;
  std::mutex connectionsMutex_;
  std::condition_variable connectionEnded_;
  int connections_ = 0;
  std::string path_;
  ino_t socketInode_ = 0;
  FileDescriptor listenFd_;
  FileDescriptor stopFd_;
  FileDescriptor watchFd_;
};

}  // namespace platform
