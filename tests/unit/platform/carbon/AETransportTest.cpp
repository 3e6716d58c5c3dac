#include "platform/carbon/AETransport.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "tests/support/TestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

constexpr SInt32 kHold = 1000;

void makeEventTo(pid_t pid, Desc& event, SInt32 payload) {
  Desc target;
  const ProcessSerialNumber psn{0, static_cast<UInt32>(pid)};
  ASSERT_EQ(AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &target), noErr);
  ASSERT_EQ(AECreateAppleEvent(kAECoreSuite, kAEGetData, &target, kAutoGenerateReturnID,
                               kAnyTransactionID, &event),
            noErr);
  ASSERT_EQ(AEPutParamPtr(&event, keyDirectObject, typeSInt32, &payload, 4), noErr);
}

OSErr sendTo(pid_t pid, SInt32 payload, long ticks = 300) {
  Desc event, reply;
  makeEventTo(pid, event, payload);
  return AESendMessage(&event.d, &reply.d, kAEWaitReply, ticks);
}

sockaddr_un selfAddress() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, platform::eventSocketPath(getpid()).c_str());
  return address;
}

// A listener for this process on a thread of its own: it doubles the direct object, and kHold
// keeps the handler until released.
class Listening : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(listener.open(&error)) << error;
    thread = std::thread([this] { listener.run(); });
  }
  void TearDown() override {
    release();
    listener.stop();
    thread.join();
  }
  void release() {
    std::lock_guard lock(holdMutex);
    released = true;
    held.notify_all();
  }

  TempHome home;
  std::atomic<int> served{0};
  std::mutex holdMutex;
  std::condition_variable held;
  bool released = false;
  platform::AEEventListener listener{[this](const AppleEvent* event, AppleEvent* reply) -> OSErr {
    ++served;
    SInt32 n = 0;
    const OSErr err =
        AEGetParamPtr(event, keyDirectObject, typeSInt32, nullptr, &n, sizeof n, nullptr);
    if (n == kHold) {
      std::unique_lock lock(holdMutex);
      held.wait(lock, [&] { return released; });
    }
    if (err != noErr) return err;
    n *= 2;
    return AEPutParamPtr(reply, keyDirectObject, typeSInt32, &n, sizeof n);
  }};
  std::thread thread;
};

TEST_F(Listening, AnEventGoesAndItsReplyComesBack) {
  struct stat st {};
  ASSERT_EQ(stat((home.runtimeDir() + "/kapsho").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  Desc event, reply;
  makeEventTo(getpid(), event, 21);
  ASSERT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, 300), noErr);
  EXPECT_EQ(readAs<SInt32>(&reply.d, keyDirectObject, typeSInt32), 42);
  FourCharCode id = 0;
  ASSERT_EQ(AEGetAttributePtr(&reply.d, keyEventIDAttr, typeType, nullptr, &id, 4, nullptr), noErr);
  EXPECT_EQ(id, kAEAnswer);
}

TEST_F(Listening, ARemovedSocketIsPutBack) {
  const std::string path = platform::eventSocketPath(getpid());
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_TRUE(waitUntil([&] { return access(path.c_str(), F_OK) == 0; }));
  EXPECT_EQ(sendTo(getpid(), 3), noErr);
}

TEST_F(Listening, WorkItsSenderGaveUpOnIsNeverStarted) {
  std::thread holding([&] { EXPECT_EQ(sendTo(getpid(), kHold), noErr); });
  ASSERT_TRUE(waitUntil([&] { return served == 1; }));
  EXPECT_FALSE(platform::processAnswersEvents(getpid(), 100ms)) << "it is stuck in a handler";
  EXPECT_EQ(sendTo(getpid(), 5, 6), errAETimeout);
  release();
  holding.join();
  EXPECT_EQ(sendTo(getpid(), 7), noErr);
  EXPECT_FALSE(waitUntil([&] { return served > 2; }, 300ms)) << "the event given up on ran";
}

TEST_F(Listening, AcceptingPausesWhileDescriptorsRunOut) {
  int clients[3];
  const timeval patience{10, 0};
  for (int& fd : clients) {
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  }
  const int lowestFree = dup(clients[0]);
  close(lowestFree);
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit exhausted = old;
  exhausted.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
  const sockaddr_un address = selfAddress();
  for (int fd : clients)
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  clockid_t listenerClock;
  pthread_getcpuclockid(thread.native_handle(), &listenerClock);
  timespec before{}, after{};
  clock_gettime(listenerClock, &before);
  std::this_thread::sleep_for(500ms);
  clock_gettime(listenerClock, &after);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  const double busy = static_cast<double>(after.tv_sec - before.tv_sec) +
                      static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;
  EXPECT_LT(busy, 0.1) << "the listener spun while it could not accept";
  for (int fd : clients) {
    char reply[4] = {1, 1, 1, 1};
    ASSERT_EQ(write(fd, "\0\0\0\0", 4), 4);
    EXPECT_EQ(recv(fd, reply, 4, MSG_WAITALL), 4) << "served once descriptors are back";
    EXPECT_EQ(std::string(reply, 4), std::string(4, '\0'));
    close(fd);
  }
}

// A peer that takes the connection but never answers.
class MuteServer {
 public:
  MuteServer() {
    std::string error;
    platform::eventSocketFolder(&error);
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = selfAddress();
    bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    listen(fd_, 4);
  }
  ~MuteServer() {
    close(fd_);
    unlink(platform::eventSocketPath(getpid()).c_str());
  }
  // Takes one connection, reads what comes, and closes it without a reply.
  void hangUpOnNext() {
    const int connection = accept(fd_, nullptr, nullptr);
    char buffer[4096];
    while (read(connection, buffer, sizeof buffer) == static_cast<ssize_t>(sizeof buffer)) {
    }
    close(connection);
  }

 private:
  int fd_ = -1;
};

TEST(AETransport, NoReplyInTimeIsATimeOutAndAHangUpAnInvalidConnection) {
  TempHome home;
  EXPECT_EQ(sendTo(getpid(), 1, 6), errAETimeout) << "no socket while this process runs";
  MuteServer hangingUp;
  std::thread hangUp([&] { hangingUp.hangUpOnNext(); });
  EXPECT_EQ(sendTo(getpid(), 1), connectionInvalid);
  hangUp.join();
  Desc event, reply;
  makeEventTo(getpid(), event, 1);
  EXPECT_EQ(AESendMessage(&event.d, &reply.d, 1, 60), errAEUnknownSendMode);
}

TEST(AETransport, ATargetStillStartingIsWaitedForWithinTheTimeOut) {
  TempHome home;
  platform::AEEventListener listener([](const AppleEvent*, AppleEvent*) { return noErr; });
  std::thread late([&] {
    std::this_thread::sleep_for(200ms);
    std::string error;
    ASSERT_TRUE(listener.open(&error)) << error;
    listener.run();
  });
  EXPECT_EQ(sendTo(getpid(), 1), noErr);
  listener.stop();
  late.join();
}

TEST(AETransport, ATargetThatEndedOrIsStoppedNeverTookTheEvent) {
  TempHome home;
  ChildProcess target({std::string(EVENT_TEST_APP) + "/Contents/MacOS/EventTestApp"});
  ASSERT_TRUE(platform::processAnswersEvents(target.pid(), 10s));
  ASSERT_TRUE(stopProcess(target.pid()));
  EXPECT_EQ(sendTo(target.pid(), 1), procNotFound);
  EXPECT_FALSE(platform::processAnswersEvents(target.pid(), 10s));
  kill(target.pid(), SIGCONT);
  EXPECT_EQ(sendTo(target.pid(), 1), noErr);
  kill(target.pid(), SIGTERM);
  ASSERT_TRUE(target.wait());
  EXPECT_EQ(sendTo(target.pid(), 1), procNotFound);
}

}  // namespace
