// Apple events: descriptors and their wire form, the listener, the process walk and launching.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>
#include <tuple>

#include "platform/carbon/AEWire.h"
#include "platform/carbon/LaunchServices.h"
#include "platform/carbon/Processes.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string u32(UInt32 n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

// A descriptor's wire form: its type, kind (data, list, record, ...), length and bytes.
std::string wire(DescType type, char kind, const std::string& body) {
  return u32(type) + kind + u32(static_cast<UInt32>(body.size())) + body;
}

OSErr parse(const std::string& bytes, AEDesc* result) {
  const OSErr err = platform::unflattenDescriptor(bytes, result);
  EXPECT_TRUE(err != noErr || platform::flattenDescriptor(*result) == bytes) << "read exactly";
  return err;
}

// The wire form is tried on an event holding a list of a record of text.
TEST(AppleEvents, CoercionsRefuseWhatDoesNotFitListsCountFromOneAndDamagedWireFormIsRefused) {
  const SInt32 three = 3;
  const std::tuple<DescType, const void*, Size, DescType, const char*> refused[] = {
      {typeSInt16, "abc", 3, typeSInt16, "ill-sized"},
      {typeSInt32, &three, 4, typeBoolean, "no truth value"},
      {typeUTF8Text, "\xC3\x28", 2, typeUnicodeText, "not UTF-8"},
  };
  for (const auto& [from, data, size, to, what] : refused) {
    SCOPED_TRACE(what);
    Desc none;
    EXPECT_EQ(AECoercePtr(from, data, size, to, &none), errAECoercionFail);
  }

  Desc event, items, record, item;
  ASSERT_EQ(makeEvent(42, kAEGetData, &event), noErr);
  AECreateList(nullptr, 0, false, &items);
  AECreateList(nullptr, 0, true, &record);
  AEPutKeyPtr(&record, fourCharCode("ppth"), typeUTF8Text, "/a", 2);
  AEPutDesc(&items, 0, &record.d);
  for (long index : {0, 2})
    EXPECT_EQ(AEGetNthDesc(&items.d, index, typeWildCard, nullptr, &item), errAEIllegalIndex);
  AEPutParamDesc(&event, fourCharCode("lst "), &items.d);
  const std::string flat = platform::flattenDescriptor(event.d);
  EXPECT_EQ(parse(flat, &item), noErr);
  for (size_t length = 0; length < flat.size(); ++length) {
    Desc cut;
    EXPECT_EQ(parse(flat.substr(0, length), &cut), errAECorruptData) << "cut to " << length;
  }
  std::string nested = wire(typeSInt32, 0, "abcd");
  for (int depth = 0; depth < platform::kMaxFlattenedDepth; ++depth)
    nested = wire(typeAEList, 1, nested);
  const std::pair<std::string, const char*> inputs[] = {
      {nested, ""},
      {flat + '\0', "a byte left over"},
      {wire(typeAEList, 1, nested), "nested too deep"},
      {wire(typeSInt32, 7, ""), "unknown kind"},
      {wire(typeNull, 0, "x"), "null with data"},
      {wire(typeAEList, 1, wire(typeSInt32, 0, "abcd") + "zz"), "junk in a list"},
  };
  for (const auto& [bytes, damage] : inputs) {
    SCOPED_TRACE(*damage ? damage : "nested as deep as allowed");
    Desc result;
    EXPECT_EQ(parse(bytes, &result), *damage ? errAECorruptData : noErr);
  }
}

// A listener for this process on a thread of its own; the second event keeps the handler until
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
  platform::AEEventListener listener{[this](const AppleEvent*, AppleEvent*) {
    if (++served == 2) waitUntil([&] { return released.load(); });
    return OSErr{noErr};
  }};
  std::thread thread;
};

TEST_F(Listening, EventsAreServedWhileTheirSenderWaitsAndAcceptingPausesWhileDescriptorsRunOut) {
  // A removed socket is put back.
  const std::string path = platform::eventSocketPath(getpid());
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_TRUE(waitUntil([&] { return access(path.c_str(), F_OK) == 0; }));
  EXPECT_EQ(sendTo(getpid(), 3), noErr) << "a removed socket is put back";

  // An event whose sender gave up while the handler was busy is never started.
  std::thread holding([&] { EXPECT_EQ(sendTo(getpid(), 2), noErr); });
  ASSERT_TRUE(waitUntil([&] { return served == 2; }));
  EXPECT_FALSE(platform::processAnswersEvents(getpid(), 100ms)) << "it is stuck in a handler";
  EXPECT_EQ(sendTo(getpid(), 5, 6), errAETimeout);
  released = true;
  holding.join();
  EXPECT_EQ(sendTo(getpid(), 7), noErr);
  EXPECT_FALSE(waitUntil([&] { return served > 3; }, 300ms)) << "the event given up on ran";

  // While no descriptor is left, a connection waits and the listener does not spin.
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
  const std::clock_t before = std::clock();
  std::this_thread::sleep_for(500ms);
  const std::clock_t spent = std::clock() - before;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_LT(spent, CLOCKS_PER_SEC / 50) << "the listener spun while it could not accept";
  EXPECT_EQ(sendTo(getpid(), 9), noErr) << "served once descriptors are back";
  close(client);
}

constexpr OSType kTestAppSignature = fourCharCode("KtsT");
const std::string kTestProgram = std::string(EVENT_TEST_APP) + "/Contents/MacOS/EventTestApp";

// The type of the first process of this session with the test program's signature; 0 if none.
OSType typeOfTestProgram() {
  ProcessSerialNumber psn{0, kNoProcess};
  while (GetNextProcess(&psn) == noErr) {
    ProcessInfoRec info{};
    if (GetProcessInformation(&psn, &info) == noErr && info.processSignature == kTestAppSignature)
      return info.processType;
  }
  return 0;
}

// The test program installed for the user. Launched programs are detached; as their subreaper
// this process can reap them.
TEST(Launching, TheWalkFindsAnOpenedApplicationOfThisSessionOrTheOneServingInsteadOfOneThatLeft) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  TempHome home;
  TempDir otherRuntime;
  fs::create_directories(home.path() + "/Applications");
  fs::create_directory_symlink(EVENT_TEST_APP, home.path() + "/Applications/Event Test.app");
  FSRef app;
  ASSERT_EQ(LSFindApplicationForInfo(kTestAppSignature, nullptr, nullptr, &app, nullptr), noErr);
  const LSApplicationParameters params{0,       kLSLaunchDefaults, &app,   nullptr,
                                       nullptr, nullptr,           nullptr};
  ChildProcess other({kTestProgram}, {{"XDG_RUNTIME_DIR", otherRuntime.path()}});
  ASSERT_TRUE(waitUntil(
      [&] { return fs::exists(otherRuntime.path() + "/kapsho/" + std::to_string(other.pid())); }));
  ASSERT_EQ(typeOfTestProgram(), 0u) << "one of another session is not walked";
  EXPECT_EQ(sendTo(other.pid(), 1, 6), errAETimeout) << "it runs, but has no socket here";

  ProcessSerialNumber psn{0, 0}, again{0, 0};
  ASSERT_EQ(LSOpenApplication(&params, &psn), noErr);
  const auto pid = static_cast<pid_t>(psn.lowLongOfPSN);
  ASSERT_EQ(LSOpenApplication(&params, &again), noErr);
  EXPECT_EQ(again.lowLongOfPSN, psn.lowLongOfPSN) << "the one running is opened, not another";
  EXPECT_EQ(typeOfTestProgram(), fourCharCode("APPL"));
  kill(pid, SIGTERM);
  ASSERT_TRUE(waitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }));
  EXPECT_EQ(sendTo(pid, 1), procNotFound);

  // The instance an open starts finds the session served by another, and leaves.
  ScopedEnv stepAside("KAPSHO_TEST_STEP_ASIDE", otherRuntime.file("leave"));
  std::thread opening([&] { LSOpenApplication(&params, &psn); });
  ASSERT_TRUE(waitUntil([] { return typeOfTestProgram() != 0; }));
  ChildProcess serving({kTestProgram}, {{"KAPSHO_TEST_STEP_ASIDE", ""}});
  ASSERT_TRUE(platform::processAnswersEvents(serving.pid(), 10s));
  writeFile(otherRuntime.file("leave"), "");
  opening.join();
  EXPECT_EQ(psn.lowLongOfPSN, static_cast<UInt32>(serving.pid()));

  const std::string broken = home.path() + "/Broken.app";
  fs::create_directories(broken + "/Contents");
  fs::create_symlink(std::string(EVENT_TEST_APP) + "/Contents/Info.plist",
                     broken + "/Contents/Info.plist");
  ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(broken.c_str()), &app, nullptr), noErr);
  EXPECT_EQ(LSOpenApplication(&params, &psn), kLSNoExecutableErr);
}

}  // namespace
