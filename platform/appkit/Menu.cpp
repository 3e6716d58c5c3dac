#include "platform/appkit/Menu.h"

namespace platform {

NSMenuItem::NSMenuItem(std::string title, std::string action, std::string keyEquivalent)
    : title_(std::move(title)),
      action_(std::move(action)),
      keyEquivalent_(std::move(keyEquivalent)) {}

std::shared_ptr<NSMenuItem> NSMenuItem::separatorItem() {
  auto item = std::make_shared<NSMenuItem>("", "", "");
  item->separator_ = true;
  item->enabled_ = false;
  return item;
}

void NSMenuItem::performAction() {
  if (target_ && !action_.empty() && target_->respondsToSelector(action_))
    target_->performSelector(action_, this);
}

std::shared_ptr<NSMenuItem> NSMenu::addItemWithTitle(const std::string& title,
                                                     const std::string& action,
                                                     const std::string& keyEquivalent) {
  auto item = std::make_shared<NSMenuItem>(title, action, keyEquivalent);
  addItem(item);
  return item;
}

void NSMenu::addItem(std::shared_ptr<NSMenuItem> item) {
  if (item) items_.push_back(std::move(item));
}

bool NSMenu::isItemEnabled(const NSMenuItem& item) const {
  if (item.isSeparatorItem()) return false;
  if (!autoenables_) return item.isEnabled();
  if (item.submenu()) return true;
  return !item.action().empty() && item.target() &&
         item.target()->respondsToSelector(item.action());
}

}  // namespace platform
