// The status item: its images, its states with their reset timer, the held error, and its menu.
#include "common/constants.h"
#include "daemon/KapshoController.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/Image.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;

namespace {

struct StatusImage {
  const char* file;
  const char* name;
};

const StatusImage StatusImages[] = {
    {"KapshoStatus.png", "KapshoStatus"},
    {"KapshoStatus-Inverted.png", "KapshoStatus-Inverted"},
    {"KapshoStatus-Pending.png", "KapshoStatus-Pending"},
    {"KapshoStatus-Error.png", "KapshoStatus-Error"},
    {"KapshoStatus-Finished.png", "KapshoStatus-Finished"},
};

const char* imageNameForState(StatusItemState state) {
  switch (state) {
    case StatusItemPending:
      return "KapshoStatus-Pending";
    case StatusItemFinished:
      return "KapshoStatus-Finished";
    case StatusItemError:
      break;
  }
  return "KapshoStatus-Error";
}

}  // namespace

void KapshoController::setupImages() {
  for (const StatusImage& entry : StatusImages) {
    if (auto image = NSImage::imageNamed(entry.file)) {
      image->setSize({20.0, 20.0});
      image->setName(entry.name);
    }
  }
}

void KapshoController::setupStatusItem() {
  if (statusItem_) return;
  statusItem_ = NSStatusBar::systemStatusBar().statusItemWithLength(NSSquareStatusItemLength);
  statusItem_->setImage(NSImage::imageNamed("KapshoStatus"));
  statusItem_->setAlternateImage(NSImage::imageNamed("KapshoStatus-Inverted"));
  statusItem_->setHighlightMode(true);
  updateStatusMenu();
}

void KapshoController::updateStatusItem() {
  if (NSUserDefaults::standardUserDefaults().boolForKey(HasStatusItemKey)) {
    setupStatusItem();
  } else if (statusItem_) {
    statusItem_->statusBar().removeStatusItem(*statusItem_);
    statusItem_.reset();
  }
}

void KapshoController::showStatus(StatusItemState state, double timeout) {
  if (statusItem_) statusItem_->setImage(NSImage::imageNamed(imageNameForState(state)));
  if (statusTimer_) {
    statusTimer_->invalidate();
    statusTimer_.reset();
  }
  if (timeout > 0.0)
    statusTimer_ = NSTimer::scheduledTimerWithTimeInterval(
        timeout, [this](NSTimer& timer) { resetStatus(timer); });
}

void KapshoController::resetStatus(NSTimer&) {
  if (statusItem_) statusItem_->setImage(NSImage::imageNamed("KapshoStatus"));
  statusTimer_.reset();
  if (statusError_) {
    statusError_.reset();
    updateStatusMenu();
  }
}

void KapshoController::setStatusError(const NSError& error) {
  statusError_ = error;
  updateStatusMenu();
}

void KapshoController::updateStatusMenu() {
  auto menu = std::make_shared<NSMenu>();
  if (statusError_) {
    menu->addItemWithTitle(stringWithFormat("Error: %@", statusError_->localizedDescription()), "",
                           "")
        ->setEnabled(false);
    menu->addItem(NSMenuItem::separatorItem());
  }
  auto recentImagesItem = menu->addItemWithTitle("Recent Images", "", "");
  auto submenu = std::make_shared<NSMenu>();
  const auto recent = NSUserDefaults::standardUserDefaults().arrayForKey(RecentImageUploadsKey);
  if (recent) {
    NSDateFormatter formatter;
    formatter.setFormatterBehavior(NSDateFormatterBehavior10_4);
    formatter.setDateFormat("MMM d, h:mm:ss a");
    for (const Value& record : *recent) addRecentImageItem(*submenu, record, formatter);
    submenu->addItem(NSMenuItem::separatorItem());
  }
  auto clearItem = submenu->addItemWithTitle("Clear Recent Images", "clearRecentImages:", "");
  clearItem->setTarget(this);
  clearItem->setEnabled(recent && !recent->empty());
  submenu->setAutoenablesItems(false);
  recentImagesItem->setSubmenu(submenu);
  menu->addItem(NSMenuItem::separatorItem());
  menu->addItemWithTitle("Quit Kapsho", "terminate:", "")
      ->setTarget(&NSApplication::sharedApplication());
  if (statusItem_) statusItem_->setMenu(menu);
}

// The list may hold records the agent did not write: anything but a dictionary is skipped, a
// record without a date is shown by its address, a date that does not parse is shown as its
// text, and a record without an address is disabled.
void KapshoController::addRecentImageItem(NSMenu& submenu, const Value& record,
                                          const NSDateFormatter& formatter) {
  const Dictionary* fields = record.dictionary();
  if (!fields) return;
  const Value* dateText = valueForKey(*fields, "date");
  const Value* urlText = valueForKey(*fields, "url");
  const auto url =
      urlText && urlText->string() ? NSURL::URLWithString(*urlText->string()) : std::nullopt;
  std::string title;
  if (dateText)
    title = dateText->string() ? *dateText->string() : dateText->description();
  else if (url)
    title = url->absoluteString();
  if (auto date = NSDate::dateWithString(title)) title = formatter.stringFromDate(*date);
  auto item = submenu.addItemWithTitle(title, "selectRecentImage:", "");
  item->setTarget(this);
  if (url && !url->absoluteString().empty())
    item->setRepresentedObject(*url);
  else
    item->setEnabled(false);
}

void KapshoController::clearRecentImages(NSObject*) {
  NSUserDefaults::standardUserDefaults().removeObjectForKey(RecentImageUploadsKey);
  updateStatusMenu();
}

void KapshoController::selectRecentImage(NSMenuItem* sender) {
  if (const auto* url = std::any_cast<NSURL>(&sender->representedObject())) openImage(*url);
}

// Any process of the user may post it; a missing entry or a missing user info reads as NO.
void KapshoController::showStatusNotification(const NSNotification& notification) {
  const Value* show = notification.userInfo
                          ? valueForKey(*notification.userInfo, ShowStatusItemNotificationKey)
                          : nullptr;
  NSUserDefaults::standardUserDefaults().setBool(show && show->boolValue(), HasStatusItemKey);
  updateStatusItem();
}

bool KapshoController::respondsToSelector(std::string_view selector) const {
  return selector == "selectRecentImage:" || selector == "clearRecentImages:";
}

void KapshoController::performSelector(std::string_view selector, NSObject* sender) {
  if (selector == "selectRecentImage:") {
    if (auto* item = dynamic_cast<NSMenuItem*>(sender)) selectRecentImage(item);
  } else if (selector == "clearRecentImages:")
    clearRecentImages(sender);
}
