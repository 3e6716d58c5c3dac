// LoginItemsAE and the registry against a scripted stand-in with System Events' signature, for
// answers the real service never gives (error numbers of other types, failed listings,
// properties of the wrong type), and the module's invariants.
#include "loginitems/LoginItemsAE/LoginItemsAE.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "loginitems/QZLoginItemRegistry.h"
#include "platform/carbon/AETransport.h"
#include "platform/carbon/AEWire.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
using platform::CFRef;

namespace {

class ScriptedSystemEvents : public ::testing::Test {
 protected:
  // Starts the stand-in answering every event with the entries of the record.
  void answerWith(const AEDesc& record) {
    writeFile(home.file("reply"), platform::flattenDescriptor(record));
    standIn = std::make_unique<ChildProcess>(
        std::vector<std::string>{std::string(FAKE_SYSTEM_EVENTS) + "/Contents/MacOS/EventTestApp",
                                 home.file("reply")},
        std::map<std::string, std::string>{}, "/dev/null", "/dev/null");
    ASSERT_TRUE(platform::processAnswersEvents(standIn->pid(), std::chrono::seconds(10)));
  }

  void answerWithErrorNumber(DescType type, const void* data, Size size) {
    Desc record;
    ASSERT_EQ(AECreateList(nullptr, 0, true, &record.d), noErr);
    ASSERT_EQ(AEPutKeyPtr(&record.d, keyErrorNumber, type, data, size), noErr);
    answerWith(record.d);
  }

  TempDir home;
  ScopedEnv runtime{"XDG_RUNTIME_DIR", home.path()};
  TempDir emptySystem;
  ScopedEnv systemRoot{"KAPSHO_SYSTEM_ROOT", emptySystem.path()};
  ScopedEnv userHome{"HOME", home.path()};
  std::unique_ptr<ChildProcess> standIn;
};

TEST_F(ScriptedSystemEvents, AnErrorNumberCountsOnlyWhenItReadsAsA16BitInteger) {
  const SInt32 noSuchObject = errAENoSuchObject, tooLarge = 70000;
  const struct {
    DescType type;
    const void* data;
    Size size;
    OSStatus result;
  } answers[] = {{typeSInt32, &noSuchObject, 4, errAENoSuchObject},
                 {typeUTF8Text, "-1728", 5, errAECoercionFail},
                 {typeSInt32, &tooLarge, 4, errAECoercionFail}};
  for (const auto& answer : answers) {
    answerWithErrorNumber(answer.type, answer.data, answer.size);
    EXPECT_EQ(LIAERemove(0), answer.result);
    CFArrayRef items = nullptr;
    EXPECT_EQ(LIAECopyLoginItems(&items), answer.result);
    EXPECT_EQ(items, nullptr);
    standIn.reset();
  }
}

TEST_F(ScriptedSystemEvents, AFailedListingIsLoggedOnceAndTurnsLookupsAndRemovalsDown) {
  Desc empty;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &empty.d), noErr);
  answerWith(empty.d);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(QZLoginItemRegistry::allLoginItems());
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath("/Applications/A.app"), -1);
  EXPECT_FALSE(QZLoginItemRegistry::removeLoginItemWithPath("/Applications/A.app"));
  const std::string log = ::testing::internal::GetCapturedStderr();
  size_t lines = 0;
  for (size_t at = 0;
       (at = log.find("Couldn't list login items error -1701", at)) != std::string::npos; ++at)
    ++lines;
  EXPECT_EQ(lines, 3u) << log;
  EXPECT_EQ(log.find("remove"), std::string::npos) << "no delete was sent";
}

TEST_F(ScriptedSystemEvents, AHiddenFlagThatIsNoBooleanReadsAsFalse) {
  Desc item, list, record;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &item.d), noErr);
  ASSERT_EQ(AEPutKeyPtr(&item.d, fourCharCode("ppth"), typeUTF8Text, "/nonexistent/A.app", 18),
            noErr);
  ASSERT_EQ(AEPutKeyPtr(&item.d, fourCharCode("hidn"), typeUTF8Text, "yes", 3), noErr);
  ASSERT_EQ(AECreateList(nullptr, 0, false, &list.d), noErr);
  ASSERT_EQ(AEPutDesc(&list.d, 0, &item.d), noErr);
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record.d), noErr);
  ASSERT_EQ(AEPutKeyDesc(&record.d, keyDirectObject, &list.d), noErr);
  answerWith(record.d);
  CFArrayRef items = nullptr;
  ASSERT_EQ(LIAECopyLoginItems(&items), noErr);
  const CFRef<CFArrayRef> owned(items);
  ASSERT_EQ(CFArrayGetCount(items), 1);
  const auto entry = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items, 0));
  EXPECT_EQ(CFDictionaryGetValue(entry, CFSTR("Hidden")), kCFBooleanFalse);
  EXPECT_EQ(platform::toNSURL(static_cast<CFURLRef>(CFDictionaryGetValue(entry, CFSTR("URL"))))
                .absoluteString(),
            "file:///nonexistent/A.app");
}

TEST_F(ScriptedSystemEvents, WithoutSystemEventsAnywhereTheLaunchErrorIsTheResult) {
  EXPECT_EQ(LIAERemove(0), kLSApplicationNotFoundErr);
  CFArrayRef items = nullptr;
  EXPECT_EQ(LIAECopyLoginItems(&items), kLSApplicationNotFoundErr);
  EXPECT_EQ(items, nullptr);
}

using LoginItemsAEDeathTest = ::testing::Test;

TEST_F(LoginItemsAEDeathTest, BrokenPreconditionsNameTheModuleLineAndCondition) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(LIAERemove(-1), "LoginItemsAE/LoginItemsAE:[0-9]+: .*itemIndex >= 0");
  EXPECT_DEATH(LIAECopyLoginItems(nullptr), "LoginItemsAE/LoginItemsAE:[0-9]+: .*itemsPtr != NULL");
  CFArrayRef notNull = reinterpret_cast<CFArrayRef>(kCFBooleanTrue);
  EXPECT_DEATH(LIAECopyLoginItems(&notNull), "LoginItemsAE:[0-9]+: .*\\*itemsPtr == NULL");
  EXPECT_DEATH(LIAEAddRefAtEnd(nullptr, false), "LoginItemsAE:[0-9]+: .*item != NULL");
  EXPECT_DEATH(LIAEAddURLAtEnd(nullptr, false), "LoginItemsAE:[0-9]+: .*item != NULL");
}

}  // namespace
