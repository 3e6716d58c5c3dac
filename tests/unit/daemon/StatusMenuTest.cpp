// The status item's looks and timers, and its menu built through the menu model.
#include <gtest/gtest.h>

#include <ctime>

#include "common/constants.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/Desktop.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using platform::NSUserDefaults;
using Titles = std::vector<std::string>;

namespace {

class StatusMenuTest : public ::testing::Test {
 protected:
  const platform::NSMenu& menu() { return *controller.statusItem()->menu(); }
  // "Recent Images", before the separator and "Quit Kapsho".
  const platform::NSMenu& submenu() {
    return *menu().itemArray()[menu().itemArray().size() - 3]->submenu();
  }
  void showItem(bool show) {
    NSUserDefaults::standardUserDefaults().setBool(show, HasStatusItemKey);
    controller.updateStatusItem();
  }

  AgentEnvironment environment;
  KapshoController controller;
};

// A record is titled by its date, else by its address; a date that does not parse is shown as
// its text; anything but a dictionary is skipped; a record without an address is disabled.
TEST_F(StatusMenuTest, TheMenuListsEachRecordAsItCanBeShown) {
  EXPECT_EQ(controller.statusItem()->image()->size().width, 20.0);
  platform::Array list;
  NSUserDefaults::standardUserDefaults().setObject(list, RecentImageUploadsKey);
  controller.updateStatusMenu();
  EXPECT_FALSE(submenu().isItemEnabled(*submenu().itemArray()[1])) << "Clear, with none to clear";

  // Local 15:09:26 on 14 March 2008.
  std::tm local{26, 9, 15, 14, 2, 108, 0, 0, -1, 0, nullptr};
  const std::string afternoon =
      platform::NSDate(std::chrono::system_clock::from_time_t(std::mktime(&local))).description();
  list.emplace_back("a string");
  list.emplace_back(uploadRecord("http://x/1", "yesterday"));
  list.emplace_back(uploadRecord("not an address", afternoon));
  list.emplace_back(uploadRecord(std::nullopt, afternoon));
  list.emplace_back(uploadRecord("http://x/2", std::nullopt));
  NSUserDefaults::standardUserDefaults().setObject(list, RecentImageUploadsKey);
  controller.updateStatusMenu();
  const std::vector<std::pair<std::string, bool>> expected = {{"yesterday", true},
                                                              {"Mar 14, 3:09:26 PM", false},
                                                              {"Mar 14, 3:09:26 PM", false},
                                                              {"http://x/2", true},
                                                              {"", false},
                                                              {"Clear Recent Images", true}};
  const auto& items = submenu().itemArray();
  ASSERT_EQ(items.size(), expected.size());
  for (size_t i = 0; i < items.size(); ++i)
    EXPECT_EQ(std::pair(items[i]->title(), submenu().isItemEnabled(*items[i])), expected[i]) << i;
  items[2]->performAction();
}

TEST_F(StatusMenuTest, StatesTheirTimersAndTheHeldError) {
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
