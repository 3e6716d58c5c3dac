// The status item on QSystemTrayIcon. Internal: the rendered menu and the image on show are
// exposed for the layer's own tests.
#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <memory>

#include "platform/appkit/StatusBar.h"

namespace platform {

class QtStatusItem final : public NSStatusItem {
 public:
  // Without a tray (offscreen) the item keeps its model and its menu, but shows nothing.
  explicit QtStatusItem(bool withTray);
  ~QtStatusItem() override;

  void setImage(std::shared_ptr<NSImage> image) override;
  void setAlternateImage(std::shared_ptr<NSImage> image) override;
  void setHighlightMode(bool highlight) override { highlight_ = highlight; }
  void setMenu(std::shared_ptr<NSMenu> menu) override;
  NSStatusBar& statusBar() override;

  std::shared_ptr<NSImage> image() const override { return image_; }
  std::shared_ptr<NSImage> alternateImage() const override { return alternate_; }
  std::shared_ptr<NSMenu> menu() const override { return menu_; }

  // Takes the item off the bar; its model stays.
  void remove();

  bool highlightMode() const { return highlight_; }
  QMenu& renderedMenu() { return *rendered_; }
  // The image on show: the alternate one while the menu is open.
  std::shared_ptr<NSImage> shownImage() const;
  QSystemTrayIcon* trayIcon() const { return tray_.get(); }

 private:
  void render(QMenu& target, const NSMenu& model);
  void menuOpened();
  void menuClosed();
  void updateIcon();

  std::shared_ptr<NSImage> image_, alternate_;
  std::shared_ptr<NSMenu> menu_;
  bool highlight_ = false;
  bool open_ = false;
  std::unique_ptr<QMenu> rendered_;
  std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace platform
