#include "platform/carbon/SessionLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/carbon/AETransport.h"

namespace platform {

namespace {

// Between taking the lock and writing its process ID a holder needs a few system calls.
constexpr auto kHolderWriteBudget = std::chrono::seconds(1);

// The process ID the file holds; 0 while it holds none, or one left by a holder that ended (the
// new holder is about to write its own).
pid_t processIDIn(int fd) {
  char text[16] = {};
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  char* end = nullptr;
  const long pid = n > 0 ? std::strtol(text, &end, 10) : 0;
  const bool named = n > 0 && *end == '\n' && pid > 0;
  return named && (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
             ? static_cast<pid_t>(pid)
             : 0;
}

bool writeProcessID(int fd) {
  const std::string text = std::to_string(getpid()) + "\n";
  return ftruncate(fd, 0) == 0 &&
         pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

}  // namespace

SessionLock::SessionLock(const std::string& name, std::chrono::milliseconds timeout) {
  const std::string folder = eventSocketFolder(&error_);
  if (folder.empty()) return;
  const std::string path = folder + "/" + name + ".lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error_ = "cannot open " + path + ": " + std::strerror(errno);
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error_ = "cannot lock " + path + ": " + std::strerror(errno);
      close(fd);
      return;
    }
    holder_ = processIDIn(fd);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline && (holder_ > 0 || now >= deadline + kHolderWriteBudget)) {
      heldByAnother_ = true;
      close(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!writeProcessID(fd)) {
    error_ = "cannot write " + path + ": " + std::strerror(errno);
    close(fd);
    return;
  }
  fd_ = fd;
}

SessionLock::~SessionLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace platform
