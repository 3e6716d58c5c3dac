#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QTimer>
#include <functional>

#include "platform/appkit/Application.h"
#include "platform/appkit/StatusItemQt.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"
#include "tests/support/TestSupport.h"

using namespace platform;

namespace {

void application() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  NSApplication::sharedApplication();
}

bool spinUntil(const std::function<bool()>& condition, int deadlineMs = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > deadlineMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

class Target : public NSObject {
 public:
  bool respondsToSelector(std::string_view selector) const override {
    return selector == "clearRecentImages:" || selector == "selectRecentImage:";
  }
  void performSelector(std::string_view selector, NSObject* sender) override {
    calls.emplace_back(std::string(selector), sender);
    if (onCall) onCall();
  }
  std::vector<std::pair<std::string, NSObject*>> calls;
  std::function<void()> onCall;
};

// The agent's kind of menu: an error line, a submenu without automatic enabling, a quit item.
std::shared_ptr<NSMenu> agentMenu(Target& target, bool withRecord) {
  auto menu = std::make_shared<NSMenu>();
  menu->addItemWithTitle("Error: Could not connect to the server.", "", "")->setEnabled(false);
  menu->addItem(NSMenuItem::separatorItem());
  auto recent = menu->addItemWithTitle("Recent Images", "", "");
  auto submenu = std::make_shared<NSMenu>();
  if (withRecord) {
    auto record = submenu->addItemWithTitle("Mar 14, 3:09:26 PM", "selectRecentImage:", "");
    record->setTarget(&target);
    submenu->addItem(NSMenuItem::separatorItem());
  }
  auto clear = submenu->addItemWithTitle("Clear Recent Images", "clearRecentImages:", "");
  clear->setTarget(&target);
  clear->setEnabled(withRecord);
  submenu->setAutoenablesItems(false);
  recent->setSubmenu(submenu);
  menu->addItem(NSMenuItem::separatorItem());
  menu->addItemWithTitle("Quit Kapsho & co", "terminate:", "")
      ->setTarget(&NSApplication::sharedApplication());
  return menu;
}

struct Shown {
  std::string text;
  bool enabled;
};

std::vector<Shown> shown(const QMenu& menu) {
  std::vector<Shown> result;
  for (const QAction* action : menu.actions())
    result.push_back(
        {action->isSeparator() ? "---" : action->text().toStdString(), action->isEnabled()});
  return result;
}

std::shared_ptr<NSImage> testImage(const testing_support::TempDir& dir, const std::string& name) {
  QImage picture(20, 20, QImage::Format_ARGB32);
  picture.fill(Qt::black);
  picture.save(QString::fromStdString(dir.file(name)));
  return NSImage::imageWithContentsOfFile(dir.file(name));
}

TEST(StatusItem, KeepsItsModelHeadlessAndRendersTheMenu) {
  application();
  Target target;
  testing_support::TempDir dir;
  auto item = NSStatusBar::systemStatusBar().statusItemWithLength(NSSquareStatusItemLength);
  ASSERT_TRUE(item);
  auto& qtItem = dynamic_cast<QtStatusItem&>(*item);
  EXPECT_EQ(qtItem.trayIcon(), nullptr) << "no tray on the offscreen platform";
  auto idle = testImage(dir, "idle.png"), inverted = testImage(dir, "inverted.png");
  item->setImage(idle);
  item->setAlternateImage(inverted);
  item->setHighlightMode(true);
  auto first = agentMenu(target, false);
  item->setMenu(first);
  EXPECT_EQ(item->image(), idle);
  EXPECT_EQ(item->alternateImage(), inverted);
  EXPECT_EQ(item->menu(), first);
  EXPECT_TRUE(qtItem.highlightMode());
  EXPECT_EQ(&item->statusBar(), &NSStatusBar::systemStatusBar());

  auto top = shown(qtItem.renderedMenu());
  ASSERT_EQ(top.size(), 5u);
  EXPECT_EQ(top[0].text, "Error: Could not connect to the server.");
  EXPECT_FALSE(top[0].enabled);
  EXPECT_EQ(top[1].text, "---");
  EXPECT_EQ(top[2].text, "Recent Images");
  EXPECT_TRUE(top[2].enabled);
  EXPECT_EQ(top[3].text, "---");
  EXPECT_EQ(top[4].text, "Quit Kapsho && co");  // shown with its '&', not as a mnemonic
  EXPECT_TRUE(top[4].enabled);
  const QMenu* submenu = qtItem.renderedMenu().actions()[2]->menu();
  ASSERT_TRUE(submenu);
  auto sub = shown(*submenu);
  ASSERT_EQ(sub.size(), 1u);
  EXPECT_FALSE(sub[0].enabled);

  // A new model replaces the old one and its rendering.
  auto second = agentMenu(target, true);
  item->setMenu(second);
  EXPECT_EQ(item->menu(), second);
  ASSERT_EQ(qtItem.renderedMenu().actions().size(), 5u);
  sub = shown(*qtItem.renderedMenu().actions()[2]->menu());
  ASSERT_EQ(sub.size(), 3u);
  EXPECT_EQ(sub[0].text, "Mar 14, 3:09:26 PM");
  EXPECT_TRUE(sub[0].enabled);
  EXPECT_EQ(sub[1].text, "---");
  EXPECT_TRUE(sub[2].enabled);
}

TEST(StatusItem, ChoosingAnItemSendsItsActionAfterwardsSoItMayRebuildTheMenu) {
  application();
  Target target;
  auto item = NSStatusBar::systemStatusBar().statusItemWithLength(NSSquareStatusItemLength);
  auto& qtItem = dynamic_cast<QtStatusItem&>(*item);
  auto menu = agentMenu(target, true);
  item->setMenu(menu);
  target.onCall = [&] { item->setMenu(agentMenu(target, false)); };
  QAction* record = qtItem.renderedMenu().actions()[2]->menu()->actions()[0];
  record->trigger();
  EXPECT_TRUE(target.calls.empty()) << "sent later, not from inside the trigger";
  ASSERT_TRUE(spinUntil([&] { return !target.calls.empty(); }));
  ASSERT_EQ(target.calls.size(), 1u);
  EXPECT_EQ(target.calls[0].first, "selectRecentImage:");
  EXPECT_EQ(target.calls[0].second, menu->itemArray()[2]->submenu()->itemArray()[0].get());
  // The rebuilt menu is the one shown now.
  EXPECT_EQ(qtItem.renderedMenu().actions()[2]->menu()->actions().size(), 1u);
}

TEST(StatusItem, OpenMenuShowsTheAlternateImageAndHoldsTimersBack) {
  application();
  Target target;
  testing_support::TempDir dir;
  auto item = NSStatusBar::systemStatusBar().statusItemWithLength(NSSquareStatusItemLength);
  auto& qtItem = dynamic_cast<QtStatusItem&>(*item);
  auto idle = testImage(dir, "idle.png"), inverted = testImage(dir, "inverted.png");
  item->setImage(idle);
  item->setAlternateImage(inverted);
  item->setMenu(agentMenu(target, true));
  EXPECT_EQ(qtItem.shownImage(), idle);

  qtItem.renderedMenu().popup(QPoint(0, 0));
  EXPECT_TRUE(isInMenuTrackingMode());
  EXPECT_EQ(qtItem.shownImage(), inverted);
  bool reset = false, later = false;
  auto timer = NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) { reset = true; });
  QTimer::singleShot(60, QCoreApplication::instance(), [&] { later = true; });
  ASSERT_TRUE(spinUntil([&] { return later; }));
  EXPECT_FALSE(reset) << "due, but the menu is open";

  qtItem.renderedMenu().hide();
  EXPECT_FALSE(isInMenuTrackingMode());
  EXPECT_EQ(qtItem.shownImage(), idle);
  EXPECT_TRUE(spinUntil([&] { return reset; }));

  // Removing the item while its menu is open ends the tracking too.
  qtItem.renderedMenu().popup(QPoint(0, 0));
  EXPECT_TRUE(isInMenuTrackingMode());
  item->statusBar().removeStatusItem(*item);
  EXPECT_FALSE(isInMenuTrackingMode());
  EXPECT_EQ(item->image(), idle);
}

}  // namespace
