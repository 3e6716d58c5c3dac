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
using platform::NSMenu;
using platform::NSUserDefaults;
using Titles = std::vector<std::string>;

namespace {

class StatusMenuTest : public ::testing::Test {
 protected:
  const NSMenu& menu() { return *controller.statusItem()->menu(); }
  // "Recent Images", before the separator and "Quit Kapsho".
  const NSMenu& submenu() { return *menu().itemArray()[menu().itemArray().size() - 3]->submenu(); }
  Titles titles(const NSMenu& m) {
    Titles result;
    for (const auto& item : m.itemArray())
      result.push_back(item->isSeparatorItem() ? "-" : item->title());
    return result;
  }
  void showItem(bool show) {
    NSUserDefaults::standardUserDefaults().setBool(show, HasStatusItemKey);
    controller.updateStatusItem();
  }

  AgentEnvironment environment;
  KapshoController controller;
};

// The date text of local 15:09:26 on 14 March 2008.
std::string localAfternoon() {
  std::tm local{26, 9, 15, 14, 2, 108, 0, 0, -1, 0, nullptr};
  return platform::NSDate(std::chrono::system_clock::from_time_t(std::mktime(&local)))
      .description();
}

// A record is titled by its date, else by its address; a date that does not parse is shown as
// its text; anything but a dictionary is skipped; a record without an address is disabled.
TEST_F(StatusMenuTest, TheMenuListsEachRecordAsItCanBeShown) {
  const auto& item = *controller.statusItem();
  EXPECT_EQ(item.image()->name(), "KapshoStatus");
  EXPECT_EQ(item.alternateImage()->name(), "KapshoStatus-Inverted");
  EXPECT_EQ(item.image()->size().width, 20.0);
  EXPECT_EQ(titles(menu()), (Titles{"Recent Images", "-", "Quit Kapsho"}));
  EXPECT_EQ(titles(submenu()), (Titles{"Clear Recent Images"}));
  EXPECT_FALSE(submenu().isItemEnabled(*submenu().itemArray()[0]));

  platform::Array list;
  NSUserDefaults::standardUserDefaults().setObject(list, RecentImageUploadsKey);
  controller.updateStatusMenu();
  EXPECT_EQ(titles(submenu()), (Titles{"-", "Clear Recent Images"}));
  EXPECT_FALSE(submenu().isItemEnabled(*submenu().itemArray()[1]));

  list.emplace_back("a string");
  list.emplace_back(uploadRecord("http://x/1", "yesterday"));
  list.emplace_back(uploadRecord("not an address", localAfternoon()));
  list.emplace_back(uploadRecord(std::nullopt, localAfternoon()));
  list.emplace_back(uploadRecord("http://x/2", std::nullopt));
  NSUserDefaults::standardUserDefaults().setObject(list, RecentImageUploadsKey);
  controller.updateStatusMenu();
  EXPECT_EQ(titles(submenu()), (Titles{"yesterday", "Mar 14, 3:09:26 PM", "Mar 14, 3:09:26 PM",
                                       "http://x/2", "-", "Clear Recent Images"}));
  const auto& items = submenu().itemArray();
  const std::vector<bool> enabled = {true, false, false, true, false, true};
  for (size_t i = 0; i < enabled.size(); ++i)
    EXPECT_EQ(submenu().isItemEnabled(*items[i]), enabled[i]) << i;
  EXPECT_EQ(std::any_cast<platform::NSURL>(items[3]->representedObject()).absoluteString(),
            "http://x/2");
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
  EXPECT_EQ(titles(menu())[0], "Error: Could not connect");
  EXPECT_FALSE(menu().isItemEnabled(*menu().itemArray()[0]));
  ASSERT_TRUE(spinUntil([&] { return statusImageName(controller) == "KapshoStatus"; }));
  EXPECT_FALSE(controller.statusTimer());
  EXPECT_FALSE(controller.statusError());
  EXPECT_EQ(titles(menu())[0], "Recent Images");

  // Shown already, the item stays the one it is; hidden, it takes no state; shown again, it is
  // idle with the error held meanwhile.
  const auto shown = controller.statusItem();
  showItem(true);
  EXPECT_EQ(controller.statusItem(), shown);
  showItem(false);
  EXPECT_FALSE(controller.statusItem());
  controller.showStatus(StatusItemError, 0.0);
  controller.setStatusError(platform::NSError("d", 1, "gone"));
  showItem(true);
  EXPECT_EQ(statusImageName(controller), "KapshoStatus");
  EXPECT_EQ(titles(menu())[0], "Error: gone");
}

// Through a session bus of its own (other tests' agents would hear it on a shared one): a
// missing user info reads as NO, and a controller torn down hears nothing more.
TEST(VisibilityNotification, ShowsOrHidesTheItemWhileTheControllerLives) {
  testing_support::PrivateBus bus;
  AgentEnvironment environment;
  auto controller = std::make_unique<KapshoController>();
  auto& center = platform::NSDistributedNotificationCenter::defaultCenter();
  bool barrier = false;
  center.addObserver(
      &barrier, [&](const platform::NSNotification&) { barrier = true; }, "barrier", std::nullopt);
  const auto post = [&](std::optional<platform::Dictionary> userInfo) {
    barrier = false;
    center.postNotificationName(ShowStatusItemNotificationName, "", userInfo);
    center.postNotificationName("barrier", "", std::nullopt);
    return spinUntil([&] { return barrier; });
  };
  const platform::Dictionary yes{{ShowStatusItemNotificationKey, true}};
  ASSERT_TRUE(post(std::nullopt));
  EXPECT_FALSE(controller->statusItem());
  ASSERT_TRUE(post(yes));
  EXPECT_TRUE(controller->statusItem());
  ASSERT_TRUE(post(std::nullopt));
  controller.reset();
  ASSERT_TRUE(post(yes));
  EXPECT_EQ(NSUserDefaults::standardUserDefaults().objectForKey(HasStatusItemKey),
            platform::Value(false));
  center.removeObserver(&barrier);
}

}  // namespace
