// LoginItemsAE against a scripted stand-in with System Events' signature, for answers the real
// service never gives (error numbers of other types, properties of the wrong type), and the
// module's invariants.
#include "loginitems/LoginItemsAE/LoginItemsAE.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

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
    ASSERT_TRUE(waitUntil(
        [&] { return access(platform::eventSocketPath(standIn->pid()).c_str(), F_OK) == 0; }));
  }

  void answerWithErrorNumber(DescType type, const void* data, Size size) {
    Desc record;
    ASSERT_EQ(AECreateList(nullptr, 0, true, &record.d), noErr);
    ASSERT_EQ(AEPutKeyPtr(&record.d, keyErrorNumber, type, data, size), noErr);
    answerWith(record.d);
  }

  // A listing answer holding one record with these properties.
  void answerWithItem(const AEDesc& item) {
    Desc list, record;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &list.d), noErr);
    ASSERT_EQ(AEPutDesc(&list.d, 0, &item), noErr);
    ASSERT_EQ(AECreateList(nullptr, 0, true, &record.d), noErr);
    ASSERT_EQ(AEPutKeyDesc(&record.d, keyDirectObject, &list.d), noErr);
    answerWith(record.d);
  }

  TempDir home;
  ScopedEnv runtime{"XDG_RUNTIME_DIR", home.path()};
  TempDir emptySystem;
  ScopedEnv systemRoot{"KAPSHO_SYSTEM_ROOT", emptySystem.path()};
  ScopedEnv userHome{"HOME", home.path()};
  std::unique_ptr<ChildProcess> standIn;
};

TEST_F(ScriptedSystemEvents, AnErrorNumberIsTheResultWhenItReadsAsA16BitInteger) {
  const SInt32 number = errAENoSuchObject;
  answerWithErrorNumber(typeSInt32, &number, sizeof number);
  EXPECT_EQ(LIAERemove(0), errAENoSuchObject);
  CFArrayRef items = nullptr;
  EXPECT_EQ(LIAECopyLoginItems(&items), errAENoSuchObject);
  EXPECT_EQ(items, nullptr);
}

TEST_F(ScriptedSystemEvents, AnErrorNumberAsTextIsACoercionFailureNotSuccess) {
  answerWithErrorNumber(typeUTF8Text, "-1728", 5);
  EXPECT_EQ(LIAERemove(0), errAECoercionFail);
}

TEST_F(ScriptedSystemEvents, AnErrorNumberBeyond16BitsIsACoercionFailure) {
  const SInt32 number = 70000;
  answerWithErrorNumber(typeSInt32, &number, sizeof number);
  EXPECT_EQ(LIAERemove(0), errAECoercionFail);
}

TEST_F(ScriptedSystemEvents, AListingWithoutADirectObjectFails) {
  Desc empty;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &empty.d), noErr);
  answerWith(empty.d);
  CFArrayRef items = nullptr;
  EXPECT_EQ(LIAECopyLoginItems(&items), errAEDescNotFound);
  EXPECT_EQ(items, nullptr);
}

TEST_F(ScriptedSystemEvents, AHiddenFlagThatIsNoBooleanReadsAsFalse) {
  Desc item;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &item.d), noErr);
  ASSERT_EQ(AEPutKeyPtr(&item.d, fourCharCode("ppth"), typeUTF8Text, "/nonexistent/A.app", 18),
            noErr);
  ASSERT_EQ(AEPutKeyPtr(&item.d, fourCharCode("hidn"), typeUTF8Text, "yes", 3), noErr);
  answerWithItem(item.d);
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
