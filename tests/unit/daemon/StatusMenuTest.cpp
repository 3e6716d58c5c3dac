// The status item's looks and timers, and its menu built through the menu model.
#include <gtest/gtest.h>

#include "common/constants.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/Desktop.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using platform::NSUserDefaults;

namespace {

class StatusMenuTest : public ::testing::Test {
 protected:
  const platform::NSMenu& menu() { return *controller.statusItem()->menu(); }
  void showItem(bool show) {
    NSUserDefaults::standardUserDefaults().setBool(show, HasStatusItemKey);
    controller.updateStatusItem();
  }

  AgentEnvironment environment;
  KapshoController controller;
};

TEST_F(StatusMenuTest, StatesTheirTimersAndTheHeldError) {
  EXPECT_EQ(controller.statusItem()->image()->size().width, 20.0);
  controller.showStatus(StatusItemPending, 0.0);
  EXPECT_EQ(statusImageName(controller), "KapshoStatus-Pending");
  EXPECT_FALSE(controller.statusTimer());
  controller.showStatus(StatusItemError, 0.05);
  const auto first = controller.statusTimer();
  controller.showStatus(StatusItemFinished, 0.1);
  EXPECT_FALSE(first->isValid()) << "only the last state's timer can fire";
  EXPECT_EQ(controller.statusTimer()->timeInterval(), 0.1);
  controller.setStatusError(platform::NSError("NSURLErrorDomain", -1004, "Could not connect"));
  EXPECT_EQ(menu().itemArray()[0]->title(), "Error: Could not connect");
  EXPECT_FALSE(menu().isItemEnabled(*menu().itemArray()[0]));
  ASSERT_TRUE(spinUntil([&] { return statusImageName(controller) == "KapshoStatus"; }));
  EXPECT_EQ(menu().itemArray()[0]->title(), "Recent Images");

  // Shown already, the item stays the one it is; hidden, it takes no state; shown again, it is
  // idle with the error held meanwhile.
  const auto shown = controller.statusItem();
  showItem(true);
  EXPECT_EQ(controller.statusItem(), shown);
  showItem(false);
  controller.showStatus(StatusItemError, 0.0);
  controller.setStatusError(platform::NSError("d", 1, "gone"));
  showItem(true);
  EXPECT_EQ(statusImageName(controller), "KapshoStatus");
  EXPECT_EQ(menu().itemArray()[0]->title(), "Error: gone");
}

// Through a session bus of its own (other tests' agents would hear it on a shared one): a
// controller torn down hears nothing more, so the item stays as registered.
TEST(VisibilityNotification, OnlyALiveControllerHearsIt) {
  testing_support::PrivateBus bus;
  AgentEnvironment environment;
  KapshoController();
  auto& center = platform::NSDistributedNotificationCenter::defaultCenter();
  bool heard = false;
  center.addObserver(
      &heard, [&](const platform::NSNotification&) { heard = true; },
      ShowStatusItemNotificationName, std::nullopt);
  center.postNotificationName(ShowStatusItemNotificationName, "", std::nullopt);
  ASSERT_TRUE(spinUntil([&] { return heard; }));
  EXPECT_TRUE(NSUserDefaults::standardUserDefaults().boolForKey(HasStatusItemKey));
  center.removeObserver(&heard);
}

}  // namespace
