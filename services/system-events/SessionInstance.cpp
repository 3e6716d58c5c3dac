#include "services/system-events/SessionInstance.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/carbon/AETransport.h"
#include "platform/carbon/Processes.h"
#include "platform/foundation/Log.h"

namespace system_events {

namespace {

using Clock = std::chrono::steady_clock;

// The holder gets this long to answer, which covers its start (it answers once its autostart
// entries are in order).
constexpr auto kHolderBudget = std::chrono::seconds(5);
// How long an instance that is ended takes to let go of the session.
constexpr auto kReplaceTimeout = std::chrono::seconds(5);
constexpr OSType kSystemEventsSignature = fourCharCode("sevs");

bool isSystemEvents(pid_t pid) {
  const ProcessSerialNumber psn{0, static_cast<UInt32>(pid)};
  ProcessInfoRec info{};
  return GetProcessInformation(&psn, &info) == noErr &&
         info.processSignature == kSystemEventsSignature;
}

void replace(pid_t holder) {
  NSLog("System Events %d does not answer; this one replaces it", static_cast<int>(holder));
  kill(holder, SIGKILL);
  unlink(platform::eventSocketPath(holder).c_str());
}

}  // namespace

SessionInstance::~SessionInstance() {
  if (fd_ >= 0) close(fd_);
}

SessionInstance::Claim SessionInstance::claim(std::string* error) {
  const std::string folder = platform::eventSocketFolder(error);
  if (folder.empty()) return Claim::Failed;
  const std::string path = folder + "/System Events.lock";
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return Claim::Failed;
  }
  // A lock of the process (not of the descriptor), so that the next instance learns who holds it.
  const struct flock whole { F_WRLCK, SEEK_SET, 0, 0, 0 };
  const auto deadline = Clock::now() + kHolderBudget + kReplaceTimeout;
  while (true) {
    struct flock lock = whole;
    if (fcntl(fd_, F_SETLK, &lock) == 0) return Claim::Ours;
    if (errno != EAGAIN && errno != EACCES) break;
    lock = whole;
    if (fcntl(fd_, F_GETLK, &lock) != 0) break;
    if (lock.l_type == F_UNLCK) continue;
    if (platform::processAnswersEvents(lock.l_pid, kHolderBudget)) return Claim::ServedByAnother;
    if (isSystemEvents(lock.l_pid)) replace(lock.l_pid);
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  *error = "cannot lock " + path + ": " + std::strerror(errno);
  return Claim::Failed;
}

}  // namespace system_events
