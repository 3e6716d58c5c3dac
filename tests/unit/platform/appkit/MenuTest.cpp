#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/appkit/Menu.h"

using namespace platform;

namespace {

// A target that answers some selectors and records what it was sent.
class Recorder : public NSObject {
 public:
  explicit Recorder(std::vector<std::string> answers) : answers_(std::move(answers)) {}
  bool respondsToSelector(std::string_view selector) const override {
    for (const auto& a : answers_)
      if (a == selector) return true;
    return false;
  }
  void performSelector(std::string_view selector, NSObject* sender) override {
    calls.emplace_back(selector, sender);
  }
  std::vector<std::pair<std::string, NSObject*>> calls;

 private:
  std::vector<std::string> answers_;
};

TEST(MenuModel, AutomaticEnablingFollowsTargetsAndSubmenus) {
  Recorder target({"openImage:"});
  NSMenu menu;
  auto error = menu.addItemWithTitle("Error: lost", "", "");
  error->setEnabled(true);  // automatic enabling overrides the item's own state
  auto answered = menu.addItemWithTitle("Open", "openImage:", "");
  answered->setTarget(&target);
  auto unanswered = menu.addItemWithTitle("Other", "other:", "");
  unanswered->setTarget(&target);
  auto noTarget = menu.addItemWithTitle("Loose", "openImage:", "");
  auto parent = menu.addItemWithTitle("Recent Images", "", "");
  parent->setSubmenu(std::make_shared<NSMenu>());
  auto separator = NSMenuItem::separatorItem();
  menu.addItem(separator);

  ASSERT_EQ(menu.itemArray().size(), 6u);
  EXPECT_TRUE(menu.autoenablesItems());
  EXPECT_FALSE(menu.isItemEnabled(*error));
  EXPECT_TRUE(menu.isItemEnabled(*answered));
  EXPECT_FALSE(menu.isItemEnabled(*unanswered));
  EXPECT_FALSE(menu.isItemEnabled(*noTarget));
  EXPECT_TRUE(menu.isItemEnabled(*parent));
  EXPECT_FALSE(menu.isItemEnabled(*separator));
  EXPECT_TRUE(separator->isSeparatorItem());

  menu.setAutoenablesItems(false);
  answered->setEnabled(false);
  EXPECT_TRUE(menu.isItemEnabled(*error));
  EXPECT_FALSE(menu.isItemEnabled(*answered));
  EXPECT_TRUE(menu.isItemEnabled(*noTarget));
  EXPECT_FALSE(menu.isItemEnabled(*separator));
}

TEST(MenuModel, PerformActionSendsToAnsweringTargetOnly) {
  Recorder target({"selectRecentImage:"});
  NSMenu menu;
  auto item = menu.addItemWithTitle("Mar 14, 3:09:26 PM", "selectRecentImage:", "");
  item->setTarget(&target);
  item->setRepresentedObject(std::string("http://example.com/a.png"));
  item->performAction();
  ASSERT_EQ(target.calls.size(), 1u);
  EXPECT_EQ(target.calls[0].first, "selectRecentImage:");
  ASSERT_EQ(target.calls[0].second, item.get());
  EXPECT_EQ(std::any_cast<std::string>(
                static_cast<NSMenuItem*>(target.calls[0].second)->representedObject()),
            "http://example.com/a.png");

  auto unanswered = menu.addItemWithTitle("Clear", "clearRecentImages:", "");
  unanswered->setTarget(&target);
  unanswered->performAction();
  menu.addItemWithTitle("Loose", "selectRecentImage:", "")->performAction();
  EXPECT_EQ(target.calls.size(), 1u);
}

}  // namespace
