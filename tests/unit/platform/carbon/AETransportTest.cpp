#include "platform/carbon/AETransport.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>

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
  platform::AEEventListener listener{[this](const AppleEvent* event, AppleEvent* reply) {
    ++served;
    const SInt32 n = readAs<SInt32>(event, keyDirectObject, typeSInt32) * 2;
    std::unique_lock lock(holdMutex);
    held.wait(lock, [&] { return released || n != 2 * kHold; });
    return AEPutParamPtr(reply, keyDirectObject, typeSInt32, &n, sizeof n);
  }};
  std::thread thread;
};

TEST_F(Listening, AnEventGoesAndItsReplyComesBackAlsoAfterTheSocketWasRemoved) {
  struct stat st {};
  ASSERT_EQ(stat((home.runtimeDir() + "/kapsho").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  Desc event, reply, none;
  const SInt32 n = 21;
  ASSERT_EQ(makeEvent(getpid(), kAEGetData, &event), noErr);
  ASSERT_EQ(AEPutParamPtr(&event, keyDirectObject, typeSInt32, &n, sizeof n), noErr);
  EXPECT_EQ(AESendMessage(&event.d, &none.d, 1, 60), errAEUnknownSendMode);
  ASSERT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, 300), noErr);
  EXPECT_EQ(readAs<SInt32>(&reply.d, keyDirectObject, typeSInt32), 42);
  AEEventID id = 0;
  ASSERT_EQ(AEGetAttributePtr(&reply.d, keyEventIDAttr, typeType, nullptr, &id, 4, nullptr), noErr);
  EXPECT_EQ(id, kAEAnswer);

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
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, platform::eventSocketPath(getpid()).c_str());
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
  const rlimit exhausted{static_cast<rlim_t>(lowestFree), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
  for (int fd : clients)
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  clockid_t listenerClock;
  pthread_getcpuclockid(thread.native_handle(), &listenerClock);
  timespec before{}, after{};
  clock_gettime(listenerClock, &before);
  std::this_thread::sleep_for(500ms);
  clock_gettime(listenerClock, &after);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_LT((after.tv_sec - before.tv_sec) * 1e9 + (after.tv_nsec - before.tv_nsec), 2e7)
      << "the listener spun while it could not accept";
  for (int fd : clients) {
    char reply[4] = {1, 1, 1, 1};
    ASSERT_EQ(write(fd, "\0\0\0\0", 4), 4);
    EXPECT_EQ(recv(fd, reply, 4, MSG_WAITALL), 4) << "served once descriptors are back";
    EXPECT_EQ(std::string(reply, 4), std::string(4, '\0'));
    close(fd);
  }
}

}  // namespace
