// A lock of the login session by name, between the session's processes: an exclusive lock (flock)
// on $XDG_RUNTIME_DIR/<vendor>/<name>.lock, which the kernel lets go when its holder ends, so that
// a file left behind never blocks anyone. The holder writes its process ID into the file, so
// that the others can name it. One instance of a program per session takes it without waiting;
// a read-change-write of something the session shares waits for it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace platform {

class SessionLock {
 public:
  // Waits up to timeout for the lock; a holder that has just taken it then gets a moment more
  // to write its process ID.
  explicit SessionLock(const std::string& name,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
  ~SessionLock();
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;

  bool held() const { return fd_ >= 0; }
  // Whether another process holds it, and which one (0 when it did not name itself in time).
  bool heldByAnother() const { return heldByAnother_; }
  pid_t holder() const { return holder_; }
  // Why it was had by no one (no runtime folder, ...).
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  bool heldByAnother_ = false;
  pid_t holder_ = 0;
  std::string error_;
};

}  // namespace platform
