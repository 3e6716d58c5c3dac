// The system status bar and its items: a tray icon with an image, an alternate image shown
// while its menu is open, and a menu.
#pragma once

#include <memory>

#include "platform/appkit/Image.h"
#include "platform/appkit/Menu.h"

namespace platform {

constexpr double NSVariableStatusItemLength = -1.0;
constexpr double NSSquareStatusItemLength = -2.0;

class NSStatusBar;

class NSStatusItem {
 public:
  virtual ~NSStatusItem() = default;
  virtual void setImage(std::shared_ptr<NSImage> image) = 0;
  virtual void setAlternateImage(std::shared_ptr<NSImage> image) = 0;
  virtual void setHighlightMode(bool highlight) = 0;
  // Replaces the item's menu; the item keeps the model and renders it.
  virtual void setMenu(std::shared_ptr<NSMenu> menu) = 0;
  virtual NSStatusBar& statusBar() = 0;

  // What the item shows now, for the owner's and tests' inspection.
  virtual std::shared_ptr<NSImage> image() const = 0;
  virtual std::shared_ptr<NSImage> alternateImage() const = 0;
  virtual std::shared_ptr<NSMenu> menu() const = 0;
};

class NSStatusBar {
 public:
  static NSStatusBar& systemStatusBar();
  std::shared_ptr<NSStatusItem> statusItemWithLength(double length);
  void removeStatusItem(NSStatusItem& item);
};

}  // namespace platform
