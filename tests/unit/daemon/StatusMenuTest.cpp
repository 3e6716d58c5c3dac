// The status item's looks and timers, and its menu built through the menu model.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "common/constants.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/Pasteboard.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/Desktop.h"
#include "tests/unit/daemon/AgentFixture.h"

using namespace agent_testing;
using platform::NSMenu;
using platform::NSMenuItem;
using platform::NSUserDefaults;

namespace {

class StatusMenuTest : public ::testing::Test {
 protected:
  const NSMenu& menu() { return *controller.statusItem()->menu(); }
  const NSMenu& submenu() {
    for (const auto& item : menu().itemArray())
      if (item->title() == "Recent Images") return *item->submenu();
    throw std::runtime_error("no Recent Images item");
  }
  std::vector<std::string> titles(const NSMenu& m) {
    std::vector<std::string> result;
    for (const auto& item : m.itemArray()) {
      result.push_back(item->isSeparatorItem() ? "-" : item->title());
      EXPECT_EQ(item->keyEquivalent(), "");
    }
    return result;
  }
  void storeList(const platform::Value& list) {
    NSUserDefaults::standardUserDefaults().setObject(list, RecentImageUploadsKey);
    controller.updateStatusMenu();
  }

  AgentEnvironment environment;
  KapshoController controller;
};

// The date text of local 15:09:26 on 14 March 2008.
std::string localAfternoon() {
  std::tm local{};
  local.tm_year = 108;
  local.tm_mon = 2;
  local.tm_mday = 14;
  local.tm_hour = 15;
  local.tm_min = 9;
  local.tm_sec = 26;
  local.tm_isdst = -1;
  return platform::NSDate(std::chrono::system_clock::from_time_t(std::mktime(&local)))
      .description();
}

TEST_F(StatusMenuTest, AFreshAgentShowsTheIdleItemWithTheEmptyMenu) {
  const auto& item = *controller.statusItem();
  EXPECT_EQ(item.image()->name(), "KapshoStatus");
  EXPECT_EQ(item.alternateImage()->name(), "KapshoStatus-Inverted");
  EXPECT_EQ(item.image()->size().width, 20.0);
  EXPECT_EQ(titles(menu()), (std::vector<std::string>{"Recent Images", "-", "Quit Kapsho"}));
  EXPECT_EQ(titles(submenu()), (std::vector<std::string>{"Clear Recent Images"}));
  EXPECT_FALSE(submenu().isItemEnabled(*submenu().itemArray()[0]));
  EXPECT_TRUE(menu().isItemEnabled(*menu().itemArray()[0]));
  const auto& quit = *menu().itemArray()[2];
  EXPECT_EQ(quit.action(), "terminate:");
  EXPECT_EQ(quit.target(), &platform::NSApplication::sharedApplication());
  EXPECT_TRUE(menu().isItemEnabled(quit));

  storeList(platform::Array{});
  EXPECT_EQ(titles(submenu()), (std::vector<std::string>{"-", "Clear Recent Images"}));
  EXPECT_FALSE(submenu().isItemEnabled(*submenu().itemArray()[1]));
}

TEST_F(StatusMenuTest, RecordsAreListedByDateNewestFirst) {
  platform::Array list;
  for (int i = 0; i < 10; ++i)
    list.emplace_back(uploadRecord("http://x/" + std::to_string(i), localAfternoon()));
  storeList(list);
  const auto shown = titles(submenu());
  ASSERT_EQ(shown.size(), 12u);
  EXPECT_EQ(shown[0], "Mar 14, 3:09:26 PM");
  EXPECT_EQ(shown[10], "-");
  const auto& items = submenu().itemArray();
  EXPECT_EQ(std::any_cast<platform::NSURL>(items[9]->representedObject()).absoluteString(),
            "http://x/9");
  EXPECT_TRUE(submenu().isItemEnabled(*items[11]));

  // Choosing a record opens its address; the list and the clipboard stay.
  testing_support::TempDir bin;
  testing_support::writeFile(bin.file("xdg-open"), "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.url\"\n");
  std::filesystem::permissions(bin.file("xdg-open"), std::filesystem::perms::owner_all);
  // No browser runs here: a stand-in handler writes down the address it is given.
  testing_support::ScopedEnv path("PATH", bin.path() + ":" + getenv("PATH"));
  platform::NSPasteboard::generalPasteboard().declareTypes({platform::NSStringPboardType}, nullptr);
  platform::NSPasteboard::generalPasteboard().setString("kept", platform::NSStringPboardType);
  items[3]->performAction();
  EXPECT_TRUE(testing_support::waitUntil(
      [&] { return testing_support::readFile(bin.file("xdg-open.url")) == "http://x/3"; }));
  EXPECT_EQ(platform::NSPasteboard::generalPasteboard().stringForType(platform::NSStringPboardType),
            "kept");
  EXPECT_EQ(NSUserDefaults::standardUserDefaults().arrayForKey(RecentImageUploadsKey)->size(), 10u);

  items[11]->performAction();
  EXPECT_FALSE(NSUserDefaults::standardUserDefaults().objectForKey(RecentImageUploadsKey));
  EXPECT_EQ(titles(submenu()), (std::vector<std::string>{"Clear Recent Images"}));
}

TEST_F(StatusMenuTest, RecordsTheAgentDidNotWriteNeverBreakTheMenu) {
  platform::Array list;
  list.emplace_back("a string");
  list.emplace_back(uploadRecord("http://x/1", "yesterday"));
  list.emplace_back(uploadRecord("not an address", localAfternoon()));
  list.emplace_back(uploadRecord(std::nullopt, localAfternoon()));
  list.emplace_back(uploadRecord("http://x/2", std::nullopt));
  storeList(list);
  EXPECT_EQ(titles(submenu()),
            (std::vector<std::string>{"yesterday", "Mar 14, 3:09:26 PM", "Mar 14, 3:09:26 PM",
                                      "http://x/2", "-", "Clear Recent Images"}));
  const std::vector<bool> enabled = {true, false, false, true, false, true};
  for (size_t i = 0; i < enabled.size(); ++i)
    EXPECT_EQ(submenu().isItemEnabled(*submenu().itemArray()[i]), enabled[i]) << i;
  submenu().itemArray()[2]->performAction();
}

TEST_F(StatusMenuTest, StatesAndTheirTimers) {
  controller.showStatus(StatusItemPending, 0.0);
  EXPECT_EQ(statusImageName(controller), "KapshoStatus-Pending");
  EXPECT_FALSE(controller.statusTimer());

  controller.showStatus(StatusItemError, 0.05);
  const auto first = controller.statusTimer();
  EXPECT_EQ(first->timeInterval(), 0.05);
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

  // A reset with no error held leaves the menu as it was.
  const auto before = controller.statusItem()->menu();
  controller.showStatus(StatusItemFinished, 0.01);
  ASSERT_TRUE(spinUntil([&] { return statusImageName(controller) == "KapshoStatus"; }));
  EXPECT_EQ(controller.statusItem()->menu(), before);
}

TEST_F(StatusMenuTest, HidingAndShowingTheItem) {
  controller.showStatus(StatusItemPending, 0.0);
  const auto shown = controller.statusItem();
  controller.updateStatusItem();
  EXPECT_EQ(controller.statusItem(), shown) << "no second item";
  EXPECT_EQ(statusImageName(controller), "KapshoStatus-Pending");

  NSUserDefaults::standardUserDefaults().setBool(false, HasStatusItemKey);
  controller.updateStatusItem();
  EXPECT_FALSE(controller.statusItem());
  controller.updateStatusItem();
  controller.showStatus(StatusItemError, 0.0);
  controller.setStatusError(platform::NSError("d", 1, "gone"));

  NSUserDefaults::standardUserDefaults().setBool(true, HasStatusItemKey);
  controller.updateStatusItem();
  ASSERT_TRUE(controller.statusItem());
  EXPECT_EQ(statusImageName(controller), "KapshoStatus");
  EXPECT_EQ(titles(menu())[0], "Error: gone");
}

// Through a session bus of its own (other tests' agents would hear it on a shared one), as the
// pane tells a running agent; a missing entry reads as NO; other names are not for the agent; a
// controller torn down hears nothing more.
TEST(VisibilityNotification, ShowsOrHidesTheItemAndStoresTheChoiceWhileTheControllerLives) {
  testing_support::PrivateBus bus;
  AgentEnvironment environment;
  auto controller = std::make_unique<KapshoController>();
  auto& center = platform::NSDistributedNotificationCenter::defaultCenter();
  bool barrier = false;
  center.addObserver(
      &barrier, [&](const platform::NSNotification&) { barrier = true; }, "barrier", std::nullopt);
  const auto entry = [](platform::Value show) {
    return platform::Dictionary{{ShowStatusItemNotificationKey, show}};
  };
  const std::pair<std::optional<platform::Dictionary>, bool> cases[] = {
      {entry(false), false}, {entry("YES"), true}, {std::nullopt, false}, {entry(true), true}};
  for (const auto& [userInfo, shown] : cases) {
    barrier = false;
    ASSERT_TRUE(center.postNotificationName(ShowStatusItemNotificationName, "", userInfo));
    center.postNotificationName("com.kapsho.other", "", entry(!shown));
    center.postNotificationName("barrier", "", std::nullopt);
    ASSERT_TRUE(spinUntil([&] { return barrier; }));
    EXPECT_EQ(bool(controller->statusItem()), shown);
    EXPECT_EQ(NSUserDefaults::standardUserDefaults().objectForKey(HasStatusItemKey),
              platform::Value(shown));
  }
  controller.reset();
  barrier = false;
  center.postNotificationName(ShowStatusItemNotificationName, "", entry(false));
  center.postNotificationName("barrier", "", std::nullopt);
  ASSERT_TRUE(spinUntil([&] { return barrier; }));
  EXPECT_TRUE(NSUserDefaults::standardUserDefaults().boolForKey(HasStatusItemKey));
  center.removeObserver(&barrier);
}

}  // namespace
