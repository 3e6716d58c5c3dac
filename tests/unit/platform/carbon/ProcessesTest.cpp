#include "platform/carbon/Processes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "platform/carbon/LaunchServices.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

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
// this process can end and reap them.
class Launching : public ::testing::Test {
 protected:
  void SetUp() override {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    fs::create_directories(home.path() + "/Applications");
    fs::create_directory_symlink(EVENT_TEST_APP, home.path() + "/Applications/Event Test.app");
    ASSERT_EQ(LSFindApplicationForInfo(kTestAppSignature, nullptr, nullptr, &app, nullptr), noErr);
  }

  TempHome home;
  TempDir emptySystem;
  ScopedEnv systemRoot{"KAPSHO_SYSTEM_ROOT", emptySystem.path()};
  FSRef app;
  const LSApplicationParameters params{0,       kLSLaunchDefaults, &app,   nullptr,
                                       nullptr, nullptr,           nullptr};
};

TEST_F(Launching, TheWalkFindsAnOpenedApplicationOfThisSessionWhileItTakesEvents) {
  TempDir otherRuntime;
  ChildProcess other({kTestProgram}, {{"XDG_RUNTIME_DIR", otherRuntime.path()}}, "/dev/null",
                     "/dev/null");
  ASSERT_TRUE(waitUntil(
      [&] { return fs::exists(otherRuntime.path() + "/kapsho/" + std::to_string(other.pid())); }));
  ASSERT_FALSE(findBySignature(kTestAppSignature)) << "one of another session is not walked";
  ProcessInfoRec info{};
  const ProcessSerialNumber otherPSN{0, static_cast<UInt32>(other.pid())};
  EXPECT_EQ(GetProcessInformation(&otherPSN, &info), procNotFound);
  EXPECT_EQ(sendTo(other.pid(), 1, 6), errAETimeout) << "it runs, but has no socket here";

  EXPECT_EQ(app.path, fs::canonical(EVENT_TEST_APP).string());
  ProcessSerialNumber psn{0, 0}, again{0, 0};
  ASSERT_EQ(LSOpenApplication(&params, &psn), noErr);
  const auto pid = static_cast<pid_t>(psn.lowLongOfPSN);
  EXPECT_EQ(sendTo(pid, 1), noErr) << "it answers at once";
  ASSERT_EQ(LSOpenApplication(&params, &again), noErr);
  EXPECT_EQ(again.lowLongOfPSN, psn.lowLongOfPSN) << "the one running is opened, not another";
  const auto found = findBySignature(kTestAppSignature);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->processNumber.lowLongOfPSN, psn.lowLongOfPSN);
  EXPECT_EQ(found->processType, fourCharCode("APPL"));
  const platform::CFRef<CFDictionaryRef> information(
      ProcessInformationCopyDictionary(&psn, kProcessDictionaryIncludeAllInformationMask));
  EXPECT_STREQ(CFStringGetCStringPtr(static_cast<CFStringRef>(CFDictionaryGetValue(
                                         information.get(), kCFBundleIdentifierKey)),
                                     kCFStringEncodingUTF8),
               "com.kapsho.tests.EventTestApp");

  kill(pid, SIGTERM);
  ASSERT_TRUE(waitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }));
  EXPECT_EQ(sendTo(pid, 1), procNotFound);
  EXPECT_EQ(GetProcessInformation(&psn, &info), procNotFound);
}

TEST_F(Launching, AnOpenedInstanceThatStepsAsideLeavesTheOneServingToBeUsed) {
  TempDir flags;
  ProcessSerialNumber opened{0, 0};
  OSStatus status = paramErr;
  std::optional<ProcessInfoRec> aside;
  ScopedEnv stepAside("KAPSHO_TEST_STEP_ASIDE", flags.file("leave"));
  std::thread opening([&] { status = LSOpenApplication(&params, &opened); });
  ASSERT_TRUE(waitUntil([&] { return (aside = findBySignature(kTestAppSignature)).has_value(); }));
  ChildProcess serving({kTestProgram}, {{"KAPSHO_TEST_STEP_ASIDE", ""}});
  ASSERT_TRUE(platform::processAnswersEvents(serving.pid(), 10s));
  writeFile(flags.file("leave"), "");
  opening.join();
  EXPECT_EQ(status, noErr);
  EXPECT_EQ(opened.lowLongOfPSN, static_cast<UInt32>(serving.pid()));
  waitpid(static_cast<pid_t>(aside->processNumber.lowLongOfPSN), nullptr, 0);
}

TEST_F(Launching, MissingApplicationsAndExecutablesAreReported) {
  EXPECT_EQ(LSFindApplicationForInfo(fourCharCode("none"), nullptr, nullptr, &app, nullptr),
            kLSApplicationNotFoundErr);
  const std::string broken = home.path() + "/Broken.app";
  fs::create_directories(broken + "/Contents");
  fs::create_symlink(std::string(EVENT_TEST_APP) + "/Contents/Info.plist",
                     broken + "/Contents/Info.plist");
  ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(broken.c_str()), &app, nullptr), noErr);
  ProcessSerialNumber psn{0, 0};
  EXPECT_EQ(LSOpenApplication(&params, &psn), kLSNoExecutableErr);
}

}  // namespace
