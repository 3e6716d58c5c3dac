// LoginItemsAE against a scripted stand-in with System Events' signature, for error numbers the
// real service never gives, and the module's invariants.
#include "loginitems/LoginItemsAE/LoginItemsAE.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/carbon/AEWire.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;

namespace {

TEST(LoginItemsAE, AnErrorNumberCountsOnlyWhenItReadsAsA16BitInteger) {
  TempDir home;
  ScopedEnv runtime{"XDG_RUNTIME_DIR", home.path()}, userHome{"HOME", home.path()};
  ScopedEnv systemRoot{"KAPSHO_SYSTEM_ROOT", home.path()};
  EXPECT_EQ(LIAERemove(0), kLSApplicationNotFoundErr) << "System Events is nowhere";
  const SInt32 noSuchObject = errAENoSuchObject, tooLarge = 70000;
  const std::tuple<DescType, const void*, Size, OSStatus> answers[] = {
      {typeSInt32, &noSuchObject, 4, errAENoSuchObject},
      {typeUTF8Text, "-1728", 5, errAECoercionFail},
      {typeSInt32, &tooLarge, 4, errAECoercionFail}};
  for (const auto& [type, data, size, result] : answers) {
    SCOPED_TRACE(::testing::Message()
                 << "an error number of type " << type << ", " << size << " bytes");
    Desc errorNumber;
    ASSERT_EQ(AECreateDesc(type, data, size, &errorNumber), noErr);
    writeFile(home.file("reply"), platform::flattenDescriptor(errorNumber.d));
    const ChildProcess standIn(
        {std::string(FAKE_SYSTEM_EVENTS) + "/Contents/MacOS/EventTestApp", home.file("reply")});
    ASSERT_TRUE(platform::processAnswersEvents(standIn.pid(), std::chrono::seconds(10)));
    EXPECT_EQ(LIAERemove(0), result);
  }
}

TEST(LoginItemsAEDeathTest, BrokenPreconditionsNameTheModuleLineAndCondition) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(LIAERemove(-1), "LoginItemsAE/LoginItemsAE:[0-9]+: .*itemIndex >= 0");
  EXPECT_DEATH(LIAECopyLoginItems(nullptr), "LoginItemsAE/LoginItemsAE:[0-9]+: .*itemsPtr != NULL");
}

}  // namespace
