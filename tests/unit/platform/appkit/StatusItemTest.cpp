#include <gtest/gtest.h>

#include <QImage>
#include <QTimer>

#include "platform/appkit/StatusItemQt.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;

namespace {

class Target : public NSObject {
 public:
  bool respondsToSelector(std::string_view s) const override { return s == "select:"; }
  void performSelector(std::string_view, NSObject* sender) override {
    senders.push_back(sender);
    if (onCall) onCall();
  }
  std::vector<NSObject*> senders;
  std::function<void()> onCall;
};

// The agent's kind of menu: a disabled line, a submenu without automatic enabling, a command;
// and commands that automatic enabling turns off: a target that does not answer, none at all.
std::shared_ptr<NSMenu> menu(Target& target, int records) {
  auto top = std::make_shared<NSMenu>();
  top->addItemWithTitle("Error: lost & found", "", "")->setEnabled(true);
  top->addItem(NSMenuItem::separatorItem());
  top->addItemWithTitle("Other", "other:", "")->setTarget(&target);
  top->addItemWithTitle("Loose", "select:", "");
  auto submenu = std::make_shared<NSMenu>();
  for (int i = 0; i < records; ++i)
    submenu->addItemWithTitle("Record " + std::to_string(i), "select:", "")->setTarget(&target);
  submenu->addItemWithTitle("Clear", "select:", "")->setEnabled(false);
  submenu->setAutoenablesItems(false);
  top->addItemWithTitle("Recent Images", "", "")->setSubmenu(submenu);
  top->addItemWithTitle("Quit", "select:", "")->setTarget(&target);
  return top;
}

std::string shown(const QMenu& menu) {
  std::string text;
  for (const QAction* action : menu.actions()) {
    if (action->isSeparator()) {
      text += "---|";
      continue;
    }
    text += action->text().toStdString() + (action->isEnabled() ? "|" : " (off)|");
    if (action->menu()) text += "[" + shown(*action->menu()) + "]";
  }
  return text;
}

// Headless it renders its model (a rebuilt menu replaces the old), each item enabled as its menu
// says; a chosen item acts after the trigger, so that it may rebuild the menu it is in.
TEST(StatusItem, HeadlessItKeepsItsModelRendersItAndActsOnAChoice) {
  offscreenApplication();
  Target target;
  auto item = NSStatusBar::systemStatusBar().statusItemWithLength(NSSquareStatusItemLength);
  auto& qtItem = dynamic_cast<QtStatusItem&>(*item);
  EXPECT_EQ(qtItem.trayIcon(), nullptr);
  item->setMenu(menu(target, 0));
  auto model = menu(target, 2);
  item->setMenu(model);
  auto& rendered = qtItem.renderedMenu();
  EXPECT_EQ(shown(rendered),
            "Error: lost && found (off)|---|Other (off)|Loose (off)|Recent Images|"
            "[Record 0|Record 1|Clear (off)|]Quit|");
  model->itemArray()[2]->performAction();
  model->itemArray()[3]->performAction();
  target.onCall = [&] { item->setMenu(menu(target, 0)); };
  rendered.actions()[4]->menu()->actions()[1]->trigger();
  EXPECT_TRUE(target.senders.empty());
  ASSERT_TRUE(spinUntil([&] { return !target.senders.empty(); }));
  EXPECT_EQ(target.senders,
            std::vector<NSObject*>{model->itemArray()[4]->submenu()->itemArray()[1].get()});
  EXPECT_EQ(rendered.actions()[4]->menu()->actions().size(), 1u);
}

TEST(StatusItem, OpenMenuShowsTheAlternateImageAndHoldsTimersBack) {
  offscreenApplication();
  Target target;
  testing_support::TempDir dir;
  QImage(20, 20, QImage::Format_ARGB32).save(QString::fromStdString(dir.file("a.png")));
  auto idle = NSImage::imageWithContentsOfFile(dir.file("a.png"));
  auto inverted = NSImage::imageWithContentsOfFile(dir.file("a.png"));
  auto item = NSStatusBar::systemStatusBar().statusItemWithLength(NSSquareStatusItemLength);
  auto& qtItem = dynamic_cast<QtStatusItem&>(*item);
  item->setImage(idle);
  item->setAlternateImage(inverted);
  item->setMenu(menu(target, 1));

  qtItem.renderedMenu().popup(QPoint(0, 0));
  EXPECT_TRUE(isInMenuTrackingMode());
  EXPECT_EQ(qtItem.shownImage(), inverted);
  bool reset = false, due = false;
  auto timer = NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) { reset = true; });
  QTimer::singleShot(60, QCoreApplication::instance(), [&] { due = true; });
  ASSERT_TRUE(spinUntil([&] { return due; }));
  EXPECT_FALSE(reset);
  qtItem.renderedMenu().hide();
  EXPECT_FALSE(isInMenuTrackingMode());
  EXPECT_EQ(qtItem.shownImage(), idle);
  EXPECT_TRUE(spinUntil([&] { return reset; }));

  // Removed while its menu is open, the item ends the tracking.
  qtItem.renderedMenu().popup(QPoint(0, 0));
  item->statusBar().removeStatusItem(*item);
  EXPECT_FALSE(isInMenuTrackingMode());
}

// Runs only in the child that VirtualDisplay.ClipboardAndTrayIcon starts on a display, where no
// tray host runs: the icon is made, shown and opened without one.
TEST(OnDisplay, StatusItemNeedsNoTrayHost) {
  ASSERT_FALSE(NSApplication::sharedApplication().isOffscreen());
  Target target;
  testing_support::TempDir dir;
  QImage red(20, 20, QImage::Format_ARGB32);
  red.fill(Qt::red);
  red.save(QString::fromStdString(dir.file("a.png")));
  auto item = NSStatusBar::systemStatusBar().statusItemWithLength(NSSquareStatusItemLength);
  auto& qtItem = dynamic_cast<QtStatusItem&>(*item);
  item->setMenu(menu(target, 1));
  item->setImage(NSImage::imageNamed("KapshoTestMissing"));
  ASSERT_NE(qtItem.trayIcon(), nullptr);
  EXPECT_TRUE(qtItem.trayIcon()->isVisible()) << "without a picture the item is still there";
  item->setImage(NSImage::imageWithContentsOfFile(dir.file("a.png")));
  EXPECT_EQ(qtItem.trayIcon()->icon().pixmap(20, 20).toImage().pixelColor(0, 0), Qt::red);
  qtItem.renderedMenu().popup(QPoint(0, 0));
  EXPECT_TRUE(spinUntil([&] { return qtItem.renderedMenu().isVisible(); }));
  item->statusBar().removeStatusItem(*item);
  EXPECT_FALSE(isInMenuTrackingMode());
  EXPECT_EQ(qtItem.trayIcon(), nullptr);
}

}  // namespace
