// Menus as a model: titles, actions sent to targets, key equivalents, enabled states, automatic
// enabling, separators, submenus and represented objects. The status item renders the model.
#pragma once

#include <any>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

namespace platform {

class NSMenu;

class NSMenuItem : public NSObject {
 public:
  NSMenuItem(std::string title, std::string action, std::string keyEquivalent);
  static std::shared_ptr<NSMenuItem> separatorItem();

  const std::string& title() const { return title_; }
  // The action's selector name ("selectRecentImage:"); empty for none.
  const std::string& action() const { return action_; }
  const std::string& keyEquivalent() const { return keyEquivalent_; }
  bool isSeparatorItem() const { return separator_; }

  void setTarget(NSObject* target) { target_ = target; }
  NSObject* target() const { return target_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  bool isEnabled() const { return enabled_; }
  void setRepresentedObject(std::any object) { representedObject_ = std::move(object); }
  const std::any& representedObject() const { return representedObject_; }
  void setSubmenu(std::shared_ptr<NSMenu> submenu) { submenu_ = std::move(submenu); }
  NSMenu* submenu() const { return submenu_.get(); }

  // Sends the action to the target with this item as the sender, as a click does.
  void performAction();

 private:
  std::string title_, action_, keyEquivalent_;
  bool separator_ = false;
  bool enabled_ = true;
  NSObject* target_ = nullptr;
  std::any representedObject_;
  std::shared_ptr<NSMenu> submenu_;
};

class NSMenu {
 public:
  explicit NSMenu(std::string title = "") : title_(std::move(title)) {}

  // addItemWithTitle:action:keyEquivalent: gives the added item.
  std::shared_ptr<NSMenuItem> addItemWithTitle(const std::string& title, const std::string& action,
                                               const std::string& keyEquivalent);
  void addItem(std::shared_ptr<NSMenuItem> item);
  const std::vector<std::shared_ptr<NSMenuItem>>& itemArray() const { return items_; }

  void setAutoenablesItems(bool autoenables) { autoenables_ = autoenables; }
  bool autoenablesItems() const { return autoenables_; }

  // Whether the item can be chosen as shown: with automatic enabling, an item with a submenu is
  // enabled, one with an action is enabled when its target responds to the action, and any
  // other is disabled; without it, the item's own enabled state decides. Separators never are.
  bool isItemEnabled(const NSMenuItem& item) const;

 private:
  std::string title_;
  bool autoenables_ = true;
  std::vector<std::shared_ptr<NSMenuItem>> items_;
};

}  // namespace platform
