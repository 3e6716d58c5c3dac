// Desktop notifications of the uploads' outcomes, for desktops whose tray does not show the
// status item (stock GNOME has none), or for everyone who asks for them.
#include "common/constants.h"
#include "daemon/KapshoController.h"
#include "platform/appkit/TrayHosts.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;

namespace {

// Every notification of the agent carries it, so that a newer one replaces the one on screen.
const std::string UploadNotificationID = "upload";
const std::string FinishedTitle = "Screenshot uploaded";
const std::string FailedTitle = "Screenshot upload failed";
const std::string OpenTitle = "Open";
const std::string OnClipboardText = "The address is on the clipboard.";
const std::string AddressKey = "url";

}  // namespace

void KapshoController::setupNotifications() {
  NSUserNotificationCenter::defaultUserNotificationCenter().setDelegate(this);
  // From now on the tray hosts' coming and going is followed, and told in the log.
  TrayHosts::shared().setObserver([] {
    NSLog(TrayHosts::shared().statusNotifierHostRegistered() ? "Tray host registered"
                                                             : "Tray host gone");
  });
}

// Read at each outcome, so that a change made while the agent runs counts from the next upload.
bool KapshoController::shouldNotify() const {
  const auto mode = NSUserDefaults::standardUserDefaults().stringForKey(ShowNotificationsKey);
  if (mode == ShowNotificationsModeNames[1]) return true;
  if (mode == ShowNotificationsModeNames[2]) return false;
  return !TrayHosts::shared().present();
}

void KapshoController::notifyUploadFinished(const NSURL& url) {
  if (!shouldNotify()) return;
  NSUserNotification notification;
  notification.identifier = UploadNotificationID;
  notification.title = FinishedTitle;
  notification.informativeText = url.absoluteString() + "\n" + OnClipboardText;
  notification.actionButtonTitle = OpenTitle;
  notification.userInfo[AddressKey] = url.absoluteString();
  NSUserNotificationCenter::defaultUserNotificationCenter().deliverNotification(notification);
}

void KapshoController::notifyUploadFailed(const std::string& reason) {
  if (!shouldNotify()) return;
  NSUserNotification notification;
  notification.identifier = UploadNotificationID;
  notification.title = FailedTitle;
  notification.informativeText = reason;
  NSUserNotificationCenter::defaultUserNotificationCenter().deliverNotification(notification);
}

// A finished upload's notification opens its address as the menu's record does; a failure's
// has none.
void KapshoController::userNotificationCenterDidActivateNotification(
    NSUserNotificationCenter&, const NSUserNotification& notification) {
  const Value* address = valueForKey(notification.userInfo, AddressKey);
  if (!address || !address->string()) return;
  if (const auto url = NSURL::URLWithString(*address->string())) openImage(*url);
}
