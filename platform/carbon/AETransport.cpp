#include "platform/carbon/AETransport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/carbon/AEWire.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A reply grows with what it lists; a request is one event of a client and stays far below its
// cap, which is checked before anything is allocated for the request.
constexpr UInt32 kMaxReplySize = 64 << 20;
constexpr UInt32 kMaxRequestSize = 64 << 10;
// Bytes taken in one read while a message arrives, so that memory follows what has arrived.
constexpr size_t kReadChunk = 64 << 10;
// A peer gets this long from its connection to send its whole event, and then to take the reply.
constexpr auto kRequestBudget = std::chrono::seconds(2);
constexpr auto kReplyBudget = std::chrono::seconds(5);
// Connections being read at once; more wait in the socket's backlog.
constexpr int kMaxConnections = 64;
// After a failed accept (no descriptor or thread left) accepting pauses, longer each time.
constexpr milliseconds kFirstBackOff(10);
constexpr milliseconds kLongestBackOff(1000);
// The time an event's handling is given before its sender's time-out runs out.
constexpr milliseconds kLongestHandling(1000);
constexpr AEKeyword keyTimeoutAttr = fourCharCode("timo");

// Disposes a descriptor when it goes.
struct DescHolder {
  AEDesc desc{typeNull, nullptr};
  ~DescHolder() { AEDisposeDesc(&desc); }
};

std::string runtimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime && *runtime ? std::string(runtime) + "/" PLATFORM_VENDOR : std::string();
}

std::optional<sockaddr_un> socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits until fd is ready for events; false at the deadline or when stopFd becomes readable.
bool waitFor(int fd, short events, Clock::time_point deadline, int stopFd) {
  pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
  while (true) {
    const int ready = poll(fds, stopFd >= 0 ? 2 : 1, millisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (stopFd >= 0 && fds[1].revents)) return false;
    return true;
  }
}

enum class IO { Done, TimedOut, Closed };

IO writeAll(int fd, std::string_view bytes, Clock::time_point deadline, int stopFd) {
  while (!bytes.empty()) {
    if (!waitFor(fd, POLLOUT, deadline, stopFd)) return IO::TimedOut;
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return IO::Closed;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return IO::Done;
}

IO readExactly(int fd, char* buffer, size_t size, Clock::time_point deadline, int stopFd) {
  while (size > 0) {
    if (!waitFor(fd, POLLIN, deadline, stopFd)) return IO::TimedOut;
    const ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return IO::Closed;
    buffer += n;
    size -= static_cast<size_t>(n);
  }
  return IO::Done;
}

std::string frame(const std::string& body) {
  const auto n = static_cast<UInt32>(body.size());
  const char length[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 8), static_cast<char>(n)};
  return std::string(length, 4) + body;
}

// Reads one framed message; IO::Closed also for a length over maxSize.
IO readFrame(int fd, Clock::time_point deadline, int stopFd, UInt32 maxSize, std::string* body) {
  unsigned char length[4];
  IO io = readExactly(fd, reinterpret_cast<char*>(length), 4, deadline, stopFd);
  if (io != IO::Done) return io;
  const UInt32 size = UInt32{length[0]} << 24 | UInt32{length[1]} << 16 | UInt32{length[2]} << 8 |
                      UInt32{length[3]};
  if (size > maxSize) return IO::Closed;
  body->clear();
  while (io == IO::Done && body->size() < size) {
    const size_t have = body->size();
    const size_t chunk = std::min<size_t>(size - have, kReadChunk);
    body->resize(have + chunk);
    io = readExactly(fd, body->data() + have, chunk, deadline, stopFd);
  }
  return io;
}

// Whether the process can take an event: it exists and is not stopped. One stopped by a
// debugger ('t') goes on later and counts as running.
bool canTakeEvents(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
  char stat[512];
  const ssize_t n = fd.get() < 0 ? -1 : read(fd.get(), stat, sizeof stat - 1);
  if (n <= 0) return false;
  stat[n] = '\0';
  const char* afterName = std::strrchr(stat, ')');
  return afterName && afterName[1] == ' ' && !std::strchr("ZXT", afterName[2]);
}

// Connects to the target's socket. While the target runs without one (it is starting, or is
// putting back one that was removed) or its backlog is full, tries again until the deadline.
OSErr connectTo(pid_t pid, Clock::time_point deadline, int* fd) {
  const auto address = socketAddress(eventSocketPath(pid));
  if (!address) return connectionInvalid;
  while (true) {
    if (!canTakeEvents(pid)) return procNotFound;
    *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (*fd < 0) return connectionInvalid;
    if (connect(*fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0)
      return noErr;
    const int reason = errno;
    ::close(std::exchange(*fd, -1));
    if (reason != EAGAIN && reason != EINTR && reason != ENOENT && reason != ECONNREFUSED)
      return connectionInvalid;
    if (Clock::now() >= deadline) return errAETimeout;
    std::this_thread::sleep_for(milliseconds(1));
  }
}

OSErr targetOf(const AppleEvent* event, pid_t* pid) {
  ProcessSerialNumber psn{0, 0};
  DescType type = 0;
  Size size = 0;
  const OSErr err = AEGetAttributePtr(event, keyAddressAttr, typeProcessSerialNumber, &type, &psn,
                                      sizeof psn, &size);
  if (err != noErr) return err;
  if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN == 0) return connectionInvalid;
  *pid = static_cast<pid_t>(psn.lowLongOfPSN);
  return noErr;
}

OSErr exchange(int fd, const AppleEvent* event, long timeOutInTicks, Clock::time_point deadline,
               AppleEvent* reply) {
  DescHolder timed;
  const auto ticks = static_cast<SInt32>(timeOutInTicks);
  OSErr err = AEDuplicateDesc(event, &timed.desc);
  if (err == noErr)
    err = AEPutAttributePtr(&timed.desc, keyTimeoutAttr, typeSInt32, &ticks, sizeof ticks);
  if (err != noErr) return err;
  const IO sent = writeAll(fd, frame(flattenDescriptor(timed.desc)), deadline, -1);
  if (sent != IO::Done) return sent == IO::TimedOut ? errAETimeout : connectionInvalid;
  std::string body;
  const IO received = readFrame(fd, deadline, -1, kMaxReplySize, &body);
  if (received != IO::Done) return received == IO::TimedOut ? errAETimeout : connectionInvalid;
  DescHolder answer;
  err = unflattenDescriptor(body, &answer.desc);
  if (err != noErr) return err;
  if (answer.desc.descriptorType != typeAppleEvent) return errAECorruptData;
  *reply = std::exchange(answer.desc, AEDesc{typeNull, nullptr});
  return noErr;
}

milliseconds ticksToTime(long ticks) {
  return milliseconds(ticks * 1000 / 60);
}

}  // namespace

std::string eventSocketFolder(std::string* error) {
  const std::string folder = runtimeFolder();
  struct stat st {};
  if (folder.empty())
    *error = "no usable XDG_RUNTIME_DIR for the event socket";
  else if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    *error = "cannot create " + folder + ": " + std::strerror(errno);
  else if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
    *error = folder + " is not a folder of this user";
  else
    return folder;
  return {};
}

std::string eventSocketPath(pid_t pid) {
  const std::string folder = runtimeFolder();
  return folder.empty() ? std::string() : folder + "/" + std::to_string(pid);
}

bool processAnswersEvents(pid_t pid, milliseconds budget) {
  const auto deadline = Clock::now() + budget;
  int fd = -1;
  const OSErr err = connectTo(pid, deadline, &fd);
  const FileDescriptor connection(fd);
  std::string echo = "-";
  return err == noErr && writeAll(fd, frame({}), deadline, -1) == IO::Done &&
         readFrame(fd, deadline, -1, 0, &echo) == IO::Done && echo.empty();
}

AEEventListener::AEEventListener(AEEventHandler handler) : handler_(std::move(handler)) {}

AEEventListener::~AEEventListener() {
  if (listenFd_.isOpen()) {
    listenFd_.close();
    unlink(path_.c_str());
  }
}

bool AEEventListener::open(std::string* error) {
  stopFd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  watchFd_.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (stopFd_.isOpen() && watchFd_.isOpen()) return listen(error);
  *error = std::string("cannot set up the event listener: ") + std::strerror(errno);
  return false;
}

// Binds under a temporary name and moves the socket into place once it listens, so that a
// sender who sees the socket is never refused; then watches its folder for its removal.
bool AEEventListener::listen(std::string* error) {
  const std::string folder = eventSocketFolder(error);
  if (folder.empty()) return false;
  path_ = eventSocketPath(getpid());
  const std::string pending = path_ + ".new";
  const auto address = socketAddress(pending);
  unlink(pending.c_str());
  FileDescriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  struct stat st {};
  if (address && socketAddress(path_) && fd.isOpen() &&
      bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0 &&
      ::listen(fd.get(), SOMAXCONN) == 0 && rename(pending.c_str(), path_.c_str()) == 0 &&
      lstat(path_.c_str(), &st) == 0) {
    listenFd_ = std::move(fd);
    socketInode_ = st.st_ino;
    inotify_add_watch(watchFd_.get(), folder.c_str(),
                      IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF);
    return true;
  }
  *error = "cannot listen on " + path_ + ": " + std::strerror(errno);
  unlink(pending.c_str());
  return false;
}

void AEEventListener::restoreSocketIfGone() {
  char events[4096];
  while (read(watchFd_.get(), events, sizeof events) > 0) {
  }
  struct stat st {};
  if (lstat(path_.c_str(), &st) == 0 && st.st_ino == socketInode_) return;
  std::string error;
  if (!listen(&error)) NSLog("Cannot put the event socket back: %@", error);
}

void AEEventListener::run() {
  milliseconds backOff(0);
  bool pausing = false;
  while (true) {
    {
      std::unique_lock lock(connectionsMutex_);
      connectionEnded_.wait(lock, [&] { return connections_ < kMaxConnections; });
    }
    pollfd fds[3] = {
        {stopFd_.get(), POLLIN, 0}, {watchFd_.get(), POLLIN, 0}, {listenFd_.get(), POLLIN, 0}};
    const int ready = poll(fds, pausing ? 2 : 3, pausing ? static_cast<int>(backOff.count()) : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[0].revents) break;
    if (fds[1].revents) restoreSocketIfGone();
    if (pausing) {
      pausing = ready != 0;
    } else if (fds[2].revents && acceptConnection()) {
      backOff = milliseconds(0);
    } else if (fds[2].revents) {
      backOff = std::clamp(backOff * 2, kFirstBackOff, kLongestBackOff);
      pausing = true;
    }
  }
  std::unique_lock lock(connectionsMutex_);
  connectionEnded_.wait(lock, [&] { return connections_ == 0; });
}

void AEEventListener::stop() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(stopFd_.get(), &one, sizeof one);
}

// False when the connection could not be taken or given a thread for want of resources.
bool AEEventListener::acceptConnection() {
  const int fd = accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return errno == EAGAIN || errno == EINTR || errno == ECONNABORTED;
  {
    std::lock_guard lock(connectionsMutex_);
    ++connections_;
  }
  try {
    std::thread([this, fd] {
      serve(fd);
      std::lock_guard lock(connectionsMutex_);
      --connections_;
      connectionEnded_.notify_all();
    }).detach();
    return true;
  } catch (const std::system_error&) {
    ::close(fd);
    std::lock_guard lock(connectionsMutex_);
    --connections_;
    return false;
  }
}

void AEEventListener::serve(int fd) {
  const FileDescriptor connection(fd);
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != geteuid()) return;
  std::string request;
  if (readFrame(fd, Clock::now() + kRequestBudget, stopFd_.get(), kMaxRequestSize, &request) !=
      IO::Done)
    return;
  if (const auto reply = answer(request, peer.pid))
    writeAll(fd, frame(*reply), Clock::now() + kReplyBudget, stopFd_.get());
}

std::optional<std::string> AEEventListener::answer(const std::string& request, pid_t sender) {
  const auto arrived = Clock::now();
  if (request.empty()) {
    // A process that answers handles events; one stuck in a handler does not.
    const std::lock_guard handling(handling_);
    return std::string();
  }
  DescHolder event, reply, address;
  if (unflattenDescriptor(request, &event.desc) != noErr ||
      event.desc.descriptorType != typeAppleEvent)
    return std::nullopt;
  AEReturnID returnID = 0;
  AETransactionID transactionID = 0;
  SInt32 ticks = 0;
  const ProcessSerialNumber psn{0, static_cast<UInt32>(sender)};
  if (AEGetAttributePtr(&event.desc, keyReturnIDAttr, typeSInt16, nullptr, &returnID,
                        sizeof returnID, nullptr) != noErr ||
      AEGetAttributePtr(&event.desc, keyTransactionIDAttr, typeSInt32, nullptr, &transactionID,
                        sizeof transactionID, nullptr) != noErr ||
      AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &address.desc) != noErr ||
      AECreateAppleEvent(kCoreEventClass, kAEAnswer, &address.desc, returnID, transactionID,
                         &reply.desc) != noErr)
    return std::nullopt;
  const bool timed = AEGetAttributePtr(&event.desc, keyTimeoutAttr, typeSInt32, nullptr, &ticks,
                                       sizeof ticks, nullptr) == noErr;
  const std::lock_guard handling(handling_);
  // Work is not started unless it can end before its sender gives up waiting, so that no change
  // happens that its sender was told had timed out.
  const auto timeOut = ticksToTime(ticks);
  if (timed && Clock::now() >= arrived + timeOut - std::min(timeOut / 4, kLongestHandling))
    return std::nullopt;
  OSErr err = errAEEventNotHandled;
  try {
    err = handler_(&event.desc, &reply.desc);
  } catch (...) {
    err = errAEEventNotHandled;
  }
  Size size = 0;
  SInt32 number = err;
  if (err != noErr && AEGetParamPtr(&reply.desc, keyErrorNumber, typeWildCard, nullptr, nullptr, 0,
                                    &size) == errAEDescNotFound)
    AEPutParamPtr(&reply.desc, keyErrorNumber, typeSInt32, &number, sizeof number);
  return flattenDescriptor(reply.desc);
}

}  // namespace platform

OSErr AESendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                    long timeOutInTicks) {
  if (!event || !reply) return paramErr;
  if (sendMode != kAEWaitReply) return errAEUnknownSendMode;
  if (timeOutInTicks <= 0) return paramErr;
  if (event->descriptorType != typeAppleEvent) return errAENotAppleEvent;
  pid_t pid = 0;
  OSErr err = platform::targetOf(event, &pid);
  if (err != noErr) return err;
  const auto deadline = platform::Clock::now() + platform::ticksToTime(timeOutInTicks);
  int fd = -1;
  err = platform::connectTo(pid, deadline, &fd);
  const platform::FileDescriptor connection(fd);
  return err == noErr ? platform::exchange(connection.get(), event, timeOutInTicks, deadline, reply)
                      : err;
}
