#include <gtest/gtest.h>

#include "platform/appkit/Menu.h"

using namespace platform;

namespace {

class Target : public NSObject {
 public:
  bool respondsToSelector(std::string_view s) const override { return s == "open:"; }
  void performSelector(std::string_view selector, NSObject* sender) override {
    calls.emplace_back(selector, sender);
  }
  std::vector<std::pair<std::string, NSObject*>> calls;
};

TEST(MenuModel, AutomaticEnablingAndActions) {
  Target target;
  NSMenu menu;
  auto plain = menu.addItemWithTitle("Error: lost", "", "");
  auto answered = menu.addItemWithTitle("Open", "open:", "");
  auto unanswered = menu.addItemWithTitle("Other", "other:", "");
  auto untargeted = menu.addItemWithTitle("Loose", "open:", "");
  auto parent = menu.addItemWithTitle("Recent Images", "", "");
  auto separator = NSMenuItem::separatorItem();
  menu.addItem(separator);
  answered->setTarget(&target);
  unanswered->setTarget(&target);
  parent->setSubmenu(std::make_shared<NSMenu>());
  ASSERT_EQ(menu.itemArray().size(), 6u);

  // Automatic enabling overrides the items' own states.
  answered->setEnabled(false);
  const std::vector<bool> automatic = {false, true, false, false, true, false};
  for (std::size_t i = 0; i < automatic.size(); ++i)
    EXPECT_EQ(menu.isItemEnabled(*menu.itemArray()[i]), automatic[i]) << i;
  menu.setAutoenablesItems(false);
  const std::vector<bool> own = {true, false, true, true, true, false};
  for (std::size_t i = 0; i < own.size(); ++i)
    EXPECT_EQ(menu.isItemEnabled(*menu.itemArray()[i]), own[i]) << i;

  answered->performAction();
  unanswered->performAction();
  untargeted->performAction();
  ASSERT_EQ(target.calls.size(), 1u);
  EXPECT_EQ(target.calls[0],
            std::make_pair(std::string("open:"), static_cast<NSObject*>(answered.get())));
}

}  // namespace
