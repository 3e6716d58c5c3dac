#include "platform/appkit/StatusBar.h"

#include <QCoreApplication>
#include <QCursor>
#include <QImage>
#include <QKeySequence>
#include <QPixmap>

#include "platform/appkit/Application.h"
#include "platform/appkit/StatusItemQt.h"
#include "platform/foundation/RunLoop.h"

namespace platform {

QtStatusItem::QtStatusItem(bool withTray) : rendered_(std::make_unique<QMenu>()) {
  QObject::connect(rendered_.get(), &QMenu::aboutToShow, rendered_.get(), [this] { menuOpened(); });
  QObject::connect(rendered_.get(), &QMenu::aboutToHide, rendered_.get(), [this] { menuClosed(); });
  if (!withTray) return;
  tray_ = std::make_unique<QSystemTrayIcon>();
  tray_->setContextMenu(rendered_.get());
  // A click on a status item opens its menu, not only the context click.
  QObject::connect(tray_.get(), &QSystemTrayIcon::activated, rendered_.get(),
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger) rendered_->popup(QCursor::pos());
                   });
}

QtStatusItem::~QtStatusItem() {
  rendered_->disconnect();
  if (open_) leaveMenuTrackingMode();
}

void QtStatusItem::setImage(std::shared_ptr<NSImage> image) {
  image_ = std::move(image);
  updateIcon();
}

void QtStatusItem::setAlternateImage(std::shared_ptr<NSImage> image) {
  alternate_ = std::move(image);
  updateIcon();
}

void QtStatusItem::setMenu(std::shared_ptr<NSMenu> menu) {
  menu_ = std::move(menu);
  // Later, not now: the menu may be rebuilt while one of its submenus is still on screen.
  for (QMenu* submenu : rendered_->findChildren<QMenu*>(Qt::FindDirectChildrenOnly))
    submenu->deleteLater();
  rendered_->clear();
  if (menu_) render(*rendered_, *menu_);
}

NSStatusBar& QtStatusItem::statusBar() {
  return NSStatusBar::systemStatusBar();
}

void QtStatusItem::remove() {
  if (open_) menuClosed();
  rendered_->hide();
  tray_.reset();
}

std::shared_ptr<NSImage> QtStatusItem::shownImage() const {
  return open_ && alternate_ ? alternate_ : image_;
}

void QtStatusItem::render(QMenu& target, const NSMenu& model) {
  for (const auto& item : model.itemArray()) {
    if (item->isSeparatorItem()) {
      target.addSeparator();
      continue;
    }
    // A single '&' would mark a mnemonic; titles are shown as they are.
    const QString title = QString::fromStdString(item->title()).replace("&", "&&");
    QAction* action = nullptr;
    if (const NSMenu* submodel = item->submenu()) {
      auto* submenu = new QMenu(title, &target);
      render(*submenu, *submodel);
      action = target.addMenu(submenu);
    } else {
      action = target.addAction(title);
      if (!item->keyEquivalent().empty())
        action->setShortcut(QKeySequence("Ctrl+" + QString::fromStdString(item->keyEquivalent())));
      // Queued: the action may rebuild this menu, which deletes the QAction being triggered.
      QObject::connect(action, &QAction::triggered, action, [item] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [item] { item->performAction(); }, Qt::QueuedConnection);
      });
    }
    action->setEnabled(model.isItemEnabled(*item));
  }
}

void QtStatusItem::menuOpened() {
  if (open_) return;
  open_ = true;
  enterMenuTrackingMode();
  updateIcon();
}

void QtStatusItem::menuClosed() {
  if (!open_) return;
  open_ = false;
  leaveMenuTrackingMode();
  updateIcon();
}

void QtStatusItem::updateIcon() {
  if (!tray_) return;
  // Without a picture the item is still there, empty, and its menu still opens.
  const auto shown = shownImage();
  QPixmap picture(20, 20);
  picture.fill(Qt::transparent);
  tray_->setIcon(shown ? QPixmap::fromImage(shown->pixels()) : picture);
  tray_->show();
}

NSStatusBar& NSStatusBar::systemStatusBar() {
  static NSStatusBar bar;
  return bar;
}

std::shared_ptr<NSStatusItem> NSStatusBar::statusItemWithLength(double) {
  // The tray icon and its menu need the application object, and a display to show on.
  const bool offscreen = NSApplication::sharedApplication().isOffscreen();
  return std::make_shared<QtStatusItem>(!offscreen);
}

void NSStatusBar::removeStatusItem(NSStatusItem& item) {
  if (auto* qtItem = dynamic_cast<QtStatusItem*>(&item)) qtItem->remove();
}

}  // namespace platform
