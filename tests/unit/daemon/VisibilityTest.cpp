// The controller hears the visibility notification while it lives, and no longer once torn down.
#include <gtest/gtest.h>

#include "common/constants.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/Desktop.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using namespace platform;

namespace {

bool post(bool show) {
  return NSDistributedNotificationCenter::defaultCenter().postNotificationName(
      ShowStatusItemNotificationName, "com.kapsho.KapshoPref",
      Dictionary{{ShowStatusItemNotificationKey, show}});
}

TEST(Visibility, TheControllerStopsListeningAtItsTeardown) {
  // A bus of its own: the notification's real name would reach whoever else listens.
  testing_support::PrivateBus bus;
  AgentEnvironment environment;
  {
    KapshoController controller;
    ASSERT_TRUE(post(false));
    ASSERT_TRUE(spinUntil([&] { return !controller.statusItem(); }));
    EXPECT_FALSE(NSUserDefaults::standardUserDefaults().boolForKey(HasStatusItemKey));
  }
  // Heard by a later observer, it has passed the controller that is gone without a trace.
  bool heard = false;
  NSDistributedNotificationCenter::defaultCenter().addObserver(
      &heard, [&](const NSNotification&) { heard = true; }, ShowStatusItemNotificationName,
      std::nullopt);
  ASSERT_TRUE(post(true));
  ASSERT_TRUE(spinUntil([&] { return heard; }));
  EXPECT_FALSE(NSUserDefaults::standardUserDefaults().boolForKey(HasStatusItemKey));
  NSDistributedNotificationCenter::defaultCenter().removeObserver(&heard);
}

}  // namespace
