// The status item and its pictures and menu, headless.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QImage>
#include <filesystem>

#include "platform/appkit/StatusItemQt.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/RunLoop.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;

namespace {

// Registered, an image is found by its name for good, and renaming frees the old name.
TEST(NamedImages, FoundAmongResourcesThenByTheirRegisteredName) {
  const std::string name = "KapshoTestStatus" + std::to_string(getpid()),
                    path = NSBundle::mainBundle().resourcePath() + "/" + name + ".png";
  std::filesystem::create_directories(NSBundle::mainBundle().resourcePath());
  ASSERT_TRUE(QImage(40, 30, QImage::Format_ARGB32).save(QString::fromStdString(path)));
  auto image = NSImage::imageNamed(name + ".png");
  std::filesystem::remove(path);
  ASSERT_TRUE(image && image->setName(name + "-a"));
  EXPECT_EQ(NSImage::imageNamed(name + "-a"), image);
  EXPECT_TRUE(image->setName(name + "-b"));
  EXPECT_EQ(NSImage::imageNamed(name + "-a"), nullptr);
}

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

std::string shown(const QMenu& menu) {
  std::string text;
  for (const QAction* action : menu.actions()) {
    text += action->isSeparator() ? "---" : action->text().toStdString();
    text += action->isEnabled() || action->isSeparator() ? "|" : " (off)|";
    if (action->menu()) text += "[" + shown(*action->menu()) + "]";
  }
  return text;
}

// Headless it renders its model (a rebuilt menu replaces the old), each item enabled as its menu
// says, and only items whose target answers act; a chosen item acts after the trigger, so that it
// may rebuild the menu it is in. An open
// menu shows the alternate image and is menu tracking until it closes.
TEST(StatusItem, HeadlessItRendersItsModelActsOnAChoiceAndShowsWhenItsMenuIsOpen) {
  offscreenApplication();
  Target target;
  auto item = NSStatusBar::systemStatusBar().statusItemWithLength(NSSquareStatusItemLength);
  auto& qtItem = dynamic_cast<QtStatusItem&>(*item);
  // The agent's kind of menu: a disabled line, a submenu without automatic enabling, a command;
  // and commands that automatic enabling turns off: a target that does not answer, none at all.
  auto model = std::make_shared<NSMenu>();
  model->addItemWithTitle("Error: lost & found", "", "")->setEnabled(true);
  model->addItem(NSMenuItem::separatorItem());
  model->addItemWithTitle("Other", "other:", "")->setTarget(&target);
  model->addItemWithTitle("Loose", "select:", "");
  auto submenu = std::make_shared<NSMenu>();
  for (const char* title : {"Record 0", "Record 1", "Clear"})
    submenu->addItemWithTitle(title, "select:", "")->setTarget(&target);
  submenu->itemArray()[2]->setEnabled(false);
  submenu->setAutoenablesItems(false);
  model->addItemWithTitle("Recent Images", "", "")->setSubmenu(submenu);
  model->addItemWithTitle("Quit", "select:", "")->setTarget(&target);
  item->setMenu(model);
  auto& rendered = qtItem.renderedMenu();
  EXPECT_EQ(shown(rendered),
            "Error: lost && found (off)|---|Other (off)|Loose (off)|Recent Images|"
            "[Record 0|Record 1|Clear (off)|]Quit|");
  model->itemArray()[2]->performAction();
  model->itemArray()[3]->performAction();
  target.onCall = [&] { item->setMenu(std::make_shared<NSMenu>()); };
  rendered.actions()[4]->menu()->actions()[1]->trigger();
  EXPECT_TRUE(target.senders.empty());
  ASSERT_TRUE(spinUntil([&] { return !target.senders.empty(); }));
  EXPECT_EQ(target.senders, std::vector<NSObject*>{submenu->itemArray()[1].get()});
  EXPECT_TRUE(rendered.actions().empty());

  auto idle = NSImage::imageWithPixels(QImage(20, 20, QImage::Format_ARGB32));
  auto inverted = NSImage::imageWithPixels(QImage(20, 20, QImage::Format_ARGB32));
  item->setImage(idle);
  item->setAlternateImage(inverted);
  rendered.popup(QPoint(0, 0));
  EXPECT_TRUE(isInMenuTrackingMode() && qtItem.shownImage() == inverted);
  rendered.hide();
  EXPECT_TRUE(!isInMenuTrackingMode() && qtItem.shownImage() == idle);
}

}  // namespace
