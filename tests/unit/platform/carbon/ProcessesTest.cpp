#include "platform/carbon/Processes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "platform/carbon/AETransport.h"
#include "platform/carbon/LaunchServices.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr OSType kTestAppSignature = fourCharCode("KtsT");

std::optional<ProcessInfoRec> findBySignature(OSType signature) {
  ProcessSerialNumber psn{0, kNoProcess};
  while (GetNextProcess(&psn) == noErr) {
    ProcessInfoRec info{};
    if (GetProcessInformation(&psn, &info) == noErr && info.processSignature == signature)
      return info;
  }
  return std::nullopt;
}

// Launched programs are detached; as their subreaper this process can end and reap them.
class Launching : public ::testing::Test {
 protected:
  void SetUp() override {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    fs::create_directories(home.path() + "/Applications");
    fs::create_directory_symlink(EVENT_TEST_APP, home.path() + "/Applications/Event Test.app");
  }
  void end(pid_t pid) {
    kill(pid, SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }));
  }

  TempHome home;
  TempDir emptySystem;
  ScopedEnv systemRoot{"KAPSHO_SYSTEM_ROOT", emptySystem.path()};
};

TEST_F(Launching, AnOpenedApplicationAnswersAtOnceAndTheWalkFindsIt) {
  ASSERT_FALSE(findBySignature(kTestAppSignature));
  FSRef app;
  ASSERT_EQ(LSFindApplicationForInfo(kTestAppSignature, nullptr, nullptr, &app, nullptr), noErr);
  EXPECT_EQ(app.path, fs::canonical(EVENT_TEST_APP).string());
  const LSApplicationParameters params{0,       kLSLaunchDefaults, &app,   nullptr,
                                       nullptr, nullptr,           nullptr};
  ProcessSerialNumber psn{0, 0}, again{0, 0};
  ASSERT_EQ(LSOpenApplication(&params, &psn), noErr);
  EXPECT_TRUE(platform::processAnswersEvents(static_cast<pid_t>(psn.lowLongOfPSN), 10s));
  ASSERT_EQ(LSOpenApplication(&params, &again), noErr);
  EXPECT_EQ(again.lowLongOfPSN, psn.lowLongOfPSN) << "the one running is opened, not another";

  const auto found = findBySignature(kTestAppSignature);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->processNumber.lowLongOfPSN, psn.lowLongOfPSN);
  EXPECT_EQ(found->processType, fourCharCode("APPL"));
  const platform::CFRef<CFDictionaryRef> information(ProcessInformationCopyDictionary(
      &found->processNumber, kProcessDictionaryIncludeAllInformationMask));
  ASSERT_TRUE(information);
  EXPECT_STREQ(CFStringGetCStringPtr(static_cast<CFStringRef>(CFDictionaryGetValue(
                                         information.get(), kCFBundleIdentifierKey)),
                                     kCFStringEncodingUTF8),
               "com.kapsho.tests.EventTestApp");
  pid_t pid = 0;
  ASSERT_EQ(GetProcessPID(&psn, &pid), noErr);
  EXPECT_EQ(static_cast<UInt32>(pid), psn.lowLongOfPSN);
  end(pid);
  EXPECT_NE(access(platform::eventSocketPath(pid).c_str(), F_OK), 0);
  ProcessInfoRec after{};
  EXPECT_EQ(GetProcessInformation(&psn, &after), procNotFound);
}

TEST_F(Launching, AnOpenedInstanceThatStepsAsideLeavesTheOneServingToBeUsed) {
  FSRef app;
  ASSERT_EQ(LSFindApplicationForInfo(kTestAppSignature, nullptr, nullptr, &app, nullptr), noErr);
  const LSApplicationParameters params{0,       kLSLaunchDefaults, &app,   nullptr,
                                       nullptr, nullptr,           nullptr};
  TempDir flags;
  ProcessSerialNumber opened{0, 0};
  OSStatus status = paramErr;
  std::optional<ProcessInfoRec> aside;
  ScopedEnv stepAside("KAPSHO_TEST_STEP_ASIDE", flags.file("leave"));
  std::thread opening([&] { status = LSOpenApplication(&params, &opened); });
  ASSERT_TRUE(waitUntil([&] { return (aside = findBySignature(kTestAppSignature)).has_value(); }));
  ChildProcess serving({std::string(EVENT_TEST_APP) + "/Contents/MacOS/EventTestApp"},
                       {{"KAPSHO_TEST_STEP_ASIDE", ""}});
  ASSERT_TRUE(platform::processAnswersEvents(serving.pid(), 10s));
  writeFile(flags.file("leave"), "");
  opening.join();
  EXPECT_EQ(status, noErr);
  EXPECT_EQ(opened.lowLongOfPSN, static_cast<UInt32>(serving.pid()));
  waitpid(static_cast<pid_t>(aside->processNumber.lowLongOfPSN), nullptr, 0);
}

TEST_F(Launching, TheWalkHoldsThisProcessButNoneOfAnotherSession) {
  TempDir otherRuntime;
  ChildProcess other({std::string(EVENT_TEST_APP) + "/Contents/MacOS/EventTestApp"},
                     {{"XDG_RUNTIME_DIR", otherRuntime.path()}}, "/dev/null", "/dev/null");
  ASSERT_TRUE(waitUntil([&] {
    return access((otherRuntime.path() + "/kapsho/" + std::to_string(other.pid())).c_str(), F_OK) ==
           0;
  }));
  bool sawSelf = false;
  ProcessSerialNumber psn{0, kNoProcess};
  UInt32 previous = 0;
  while (GetNextProcess(&psn) == noErr) {
    EXPECT_GT(psn.lowLongOfPSN, previous);
    previous = psn.lowLongOfPSN;
    sawSelf |= psn.lowLongOfPSN == static_cast<UInt32>(getpid());
    EXPECT_NE(psn.lowLongOfPSN, static_cast<UInt32>(other.pid()));
  }
  EXPECT_TRUE(sawSelf);
  const ProcessSerialNumber otherPSN{0, static_cast<UInt32>(other.pid())};
  ProcessInfoRec info{};
  EXPECT_EQ(GetProcessInformation(&otherPSN, &info), procNotFound);
}

TEST_F(Launching, MissingApplicationsAndExecutablesAreReported) {
  FSRef app;
  EXPECT_EQ(LSFindApplicationForInfo(fourCharCode("none"), nullptr, nullptr, &app, nullptr),
            kLSApplicationNotFoundErr);
  const std::string broken = home.path() + "/Applications/Broken.app/Contents";
  fs::create_directories(broken);
  writeFile(broken + "/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleSignature</key>"
            "<string>brkn</string><key>CFBundleExecutable</key><string>Broken</string></dict>"
            "</plist>");
  ASSERT_EQ(LSFindApplicationForInfo(fourCharCode("brkn"), nullptr, nullptr, &app, nullptr), noErr);
  const LSApplicationParameters params{0,       kLSLaunchDefaults, &app,   nullptr,
                                       nullptr, nullptr,           nullptr};
  ProcessSerialNumber psn{0, 0};
  EXPECT_EQ(LSOpenApplication(&params, &psn), kLSNoExecutableErr);
}

}  // namespace
