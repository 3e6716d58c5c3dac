#include "platform/carbon/AETransport.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/carbon/AEWire.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr UInt32 kMaxMessageSize = 64 << 20;
// A peer that connects gets this long to send its whole event.
constexpr auto kRequestTimeout = std::chrono::seconds(5);

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Disposes a descriptor when it goes.
struct DescHolder {
  AEDesc desc{typeNull, nullptr};
  ~DescHolder() { AEDisposeDesc(&desc); }
};

std::string runtimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime && *runtime ? std::string(runtime) + "/kapsho" : std::string();
}

std::optional<sockaddr_un> socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits until fd is ready for events; false at the deadline or when stopFd becomes readable.
bool waitFor(int fd, short events, Clock::time_point deadline, int stopFd = -1) {
  pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
  while (true) {
    const int ready = poll(fds, stopFd >= 0 ? 2 : 1, millisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (stopFd >= 0 && fds[1].revents)) return false;
    return true;
  }
}

enum class IO { Done, TimedOut, Closed };

IO writeAll(int fd, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    if (!waitFor(fd, POLLOUT, deadline)) return IO::TimedOut;
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

// Reads one framed message; IO::Closed also for a length over the limit.
IO readFrame(int fd, Clock::time_point deadline, int stopFd, std::string* body) {
  unsigned char length[4];
  IO io = readExactly(fd, reinterpret_cast<char*>(length), 4, deadline, stopFd);
  if (io != IO::Done) return io;
  const UInt32 size = UInt32{length[0]} << 24 | UInt32{length[1]} << 16 | UInt32{length[2]} << 8 |
                      UInt32{length[3]};
  if (size > kMaxMessageSize) return IO::Closed;
  body->resize(size);
  return readExactly(fd, body->data(), size, deadline, stopFd);
}

OSErr connectTo(pid_t pid, Clock::time_point deadline, int* fd) {
  const auto address = socketAddress(eventSocketPath(pid));
  if (!address) return connectionInvalid;
  *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (*fd < 0) return connectionInvalid;
  while (connect(*fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    // A full backlog refuses with EAGAIN: the target is busy, so try again until the deadline.
    if (errno != EAGAIN && errno != EINTR) return connectionInvalid;
    if (Clock::now() >= deadline) return errAETimeout;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return noErr;
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

OSErr exchange(int fd, const AppleEvent* event, Clock::time_point deadline, AppleEvent* reply) {
  const IO sent = writeAll(fd, frame(flattenDescriptor(*event)), deadline);
  if (sent != IO::Done) return sent == IO::TimedOut ? errAETimeout : connectionInvalid;
  std::string body;
  const IO received = readFrame(fd, deadline, -1, &body);
  if (received != IO::Done) return received == IO::TimedOut ? errAETimeout : connectionInvalid;
  DescHolder answer;
  const OSErr err = unflattenDescriptor(body, &answer.desc);
  if (err != noErr) return err;
  if (answer.desc.descriptorType != typeAppleEvent) return errAECorruptData;
  *reply = std::exchange(answer.desc, AEDesc{typeNull, nullptr});
  return noErr;
}

}  // namespace

std::string eventSocketPath(pid_t pid) {
  const std::string folder = runtimeFolder();
  return folder.empty() ? std::string() : folder + "/" + std::to_string(pid);
}

AEEventListener::AEEventListener(AEEventHandler handler) : handler_(std::move(handler)) {}

AEEventListener::~AEEventListener() {
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    unlink(path_.c_str());
  }
  if (stopFd_ >= 0) ::close(stopFd_);
}

bool AEEventListener::open(std::string* error) {
  const std::string folder = runtimeFolder();
  path_ = eventSocketPath(getpid());
  const auto address = socketAddress(path_);
  struct stat st {};
  if (folder.empty() || !address) {
    *error = "no usable XDG_RUNTIME_DIR for the event socket";
  } else if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create " + folder + ": " + std::strerror(errno);
  } else if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    *error = folder + " is not a folder of this user";
  } else {
    // Bound under a temporary name and moved into place once listening, so that a sender who
    // sees the socket is never refused.
    const std::string pending = path_ + ".new";
    const auto pendingAddress = socketAddress(pending);
    unlink(pending.c_str());
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (pendingAddress && listenFd_ >= 0 && stopFd_ >= 0 &&
        bind(listenFd_, reinterpret_cast<const sockaddr*>(&*pendingAddress),
             sizeof *pendingAddress) == 0 &&
        listen(listenFd_, SOMAXCONN) == 0 && rename(pending.c_str(), path_.c_str()) == 0)
      return true;
    *error = "cannot listen on " + path_ + ": " + std::strerror(errno);
    unlink(pending.c_str());
  }
  return false;
}

void AEEventListener::run() {
  pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  while (true) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const Fd connection(accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (connection.get() >= 0) serve(connection.get());
  }
}

void AEEventListener::stop() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(stopFd_, &one, sizeof one);
}

void AEEventListener::serve(int connection) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != geteuid())
    return;
  const auto deadline = Clock::now() + kRequestTimeout;
  std::string request;
  if (readFrame(connection, deadline, stopFd_, &request) != IO::Done) return;
  const std::string reply = answer(request, peer.pid);
  if (!reply.empty()) writeAll(connection, frame(reply), deadline);
}

std::string AEEventListener::answer(const std::string& request, pid_t sender) {
  DescHolder event, reply, address;
  if (unflattenDescriptor(request, &event.desc) != noErr ||
      event.desc.descriptorType != typeAppleEvent)
    return {};
  AEReturnID returnID = 0;
  AETransactionID transactionID = 0;
  const ProcessSerialNumber psn{0, static_cast<UInt32>(sender)};
  if (AEGetAttributePtr(&event.desc, keyReturnIDAttr, typeSInt16, nullptr, &returnID,
                        sizeof returnID, nullptr) != noErr ||
      AEGetAttributePtr(&event.desc, keyTransactionIDAttr, typeSInt32, nullptr, &transactionID,
                        sizeof transactionID, nullptr) != noErr ||
      AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &address.desc) != noErr ||
      AECreateAppleEvent(kCoreEventClass, kAEAnswer, &address.desc, returnID, transactionID,
                         &reply.desc) != noErr)
    return {};
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
  const auto deadline =
      platform::Clock::now() + std::chrono::milliseconds(timeOutInTicks * 1000 / 60);
  int fd = -1;
  err = platform::connectTo(pid, deadline, &fd);
  const platform::Fd connection(fd);
  return err == noErr ? platform::exchange(connection.get(), event, deadline, reply) : err;
}
