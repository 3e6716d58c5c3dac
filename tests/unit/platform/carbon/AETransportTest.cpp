// Events between processes: the listener, the process walk and launching.
#include "platform/carbon/AETransport.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include "platform/carbon/LaunchServices.h"
#include "platform/carbon/Processes.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr SInt32 kHold = 1000;

// A listener for this process on a thread of its own; an event of kHold keeps the handler until
// released.
class Listening : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(listener.open(&error)) << error;
    thread = std::thread([this] { listener.run(); });
  }
  void TearDown() override {
    released = true;
    listener.stop();
    thread.join();
  }

  TempHome home;
  std::atomic<int> served{0};
  std::atomic<bool> released{false};
  platform::AEEventListener listener{[this](const AppleEvent* event, AppleEvent*) {
    ++served;
    if (readAs<SInt32>(event, keyDirectObject, typeSInt32) == kHold)
      waitUntil([&] { return released.load(); });
    return OSErr{noErr};
  }};
  std::thread thread;
};

TEST_F(Listening, EventsAreServedWhileTheirSenderWaitsAndAcceptingPausesWhileDescriptorsRunOut) {
  const std::string path = platform::eventSocketPath(getpid());
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_TRUE(waitUntil([&] { return access(path.c_str(), F_OK) == 0; }));
  EXPECT_EQ(sendTo(getpid(), 3), noErr) << "a removed socket is put back";

  std::thread holding([&] { EXPECT_EQ(sendTo(getpid(), kHold), noErr); });
  ASSERT_TRUE(waitUntil([&] { return served == 2; }));
  EXPECT_FALSE(platform::processAnswersEvents(getpid(), 100ms)) << "it is stuck in a handler";
  EXPECT_EQ(sendTo(getpid(), 5, 6), errAETimeout);
  released = true;
  holding.join();
  EXPECT_EQ(sendTo(getpid(), 7), noErr);
  EXPECT_FALSE(waitUntil([&] { return served > 3; }, 300ms)) << "the event given up on ran";

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int lowestFree = dup(client);
  close(lowestFree);
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  const rlimit exhausted{static_cast<rlim_t>(lowestFree), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
  EXPECT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  clockid_t listenerClock;
  pthread_getcpuclockid(thread.native_handle(), &listenerClock);
  timespec before{}, after{};
  clock_gettime(listenerClock, &before);
  std::this_thread::sleep_for(500ms);
  clock_gettime(listenerClock, &after);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_LT((after.tv_sec - before.tv_sec) * 1e9 + (after.tv_nsec - before.tv_nsec), 2e7)
      << "the listener spun while it could not accept";
  EXPECT_EQ(sendTo(getpid(), 9), noErr) << "served once descriptors are back";
  close(client);
}

constexpr OSType kTestAppSignature = fourCharCode("KtsT");
const std::string kTestProgram = std::string(EVENT_TEST_APP) + "/Contents/MacOS/EventTestApp";

std::optional<ProcessInfoRec> findBySignature(OSType signature) {
  ProcessSerialNumber psn{0, kNoProcess};
  while (GetNextProcess(&psn) == noErr) {
    ProcessInfoRec info{};
    if (GetProcessInformation(&psn, &info) == noErr && info.processSignature == signature)
      return info;
  }
  return std::nullopt;
}

// The test program installed for the user. Launched programs are detached; as their subreaper
// this process can reap them.
TEST(Launching, TheWalkFindsAnOpenedApplicationOfThisSessionOrTheOneServingInsteadOfOneThatLeft) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  TempHome home;
  TempDir emptySystem, otherRuntime;
  ScopedEnv systemRoot{"KAPSHO_SYSTEM_ROOT", emptySystem.path()};
  fs::create_directories(home.path() + "/Applications");
  fs::create_directory_symlink(EVENT_TEST_APP, home.path() + "/Applications/Event Test.app");
  FSRef app;
  ASSERT_EQ(LSFindApplicationForInfo(kTestAppSignature, nullptr, nullptr, &app, nullptr), noErr);
  const LSApplicationParameters params{0,       kLSLaunchDefaults, &app,   nullptr,
                                       nullptr, nullptr,           nullptr};
  ChildProcess other({kTestProgram}, {{"XDG_RUNTIME_DIR", otherRuntime.path()}});
  ASSERT_TRUE(waitUntil(
      [&] { return fs::exists(otherRuntime.path() + "/kapsho/" + std::to_string(other.pid())); }));
  ASSERT_FALSE(findBySignature(kTestAppSignature)) << "one of another session is not walked";
  EXPECT_EQ(sendTo(other.pid(), 1, 6), errAETimeout) << "it runs, but has no socket here";

  ProcessSerialNumber psn{0, 0}, again{0, 0};
  ASSERT_EQ(LSOpenApplication(&params, &psn), noErr);
  const auto pid = static_cast<pid_t>(psn.lowLongOfPSN);
  EXPECT_EQ(sendTo(pid, 1), noErr) << "it answers at once";
  ASSERT_EQ(LSOpenApplication(&params, &again), noErr);
  EXPECT_EQ(again.lowLongOfPSN, psn.lowLongOfPSN) << "the one running is opened, not another";
  const auto found = findBySignature(kTestAppSignature);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->processType, fourCharCode("APPL"));
  kill(pid, SIGTERM);
  ASSERT_TRUE(waitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }));
  EXPECT_EQ(sendTo(pid, 1), procNotFound);

  std::optional<ProcessInfoRec> aside;
  OSStatus status = paramErr;
  ScopedEnv stepAside("KAPSHO_TEST_STEP_ASIDE", otherRuntime.file("leave"));
  std::thread opening([&] { status = LSOpenApplication(&params, &psn); });
  ASSERT_TRUE(waitUntil([&] { return (aside = findBySignature(kTestAppSignature)).has_value(); }));
  ChildProcess serving({kTestProgram}, {{"KAPSHO_TEST_STEP_ASIDE", ""}});
  ASSERT_TRUE(platform::processAnswersEvents(serving.pid(), 10s));
  writeFile(otherRuntime.file("leave"), "");
  opening.join();
  EXPECT_EQ(status, noErr);
  EXPECT_EQ(psn.lowLongOfPSN, static_cast<UInt32>(serving.pid()));
  waitpid(static_cast<pid_t>(aside->processNumber.lowLongOfPSN), nullptr, 0);

  const std::string broken = home.path() + "/Broken.app";
  fs::create_directories(broken + "/Contents");
  fs::create_symlink(std::string(EVENT_TEST_APP) + "/Contents/Info.plist",
                     broken + "/Contents/Info.plist");
  ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(broken.c_str()), &app, nullptr), noErr);
  EXPECT_EQ(LSOpenApplication(&params, &psn), kLSNoExecutableErr);
}

}  // namespace
