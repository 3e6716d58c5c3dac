// User notifications: short messages the desktop shows outside any window (a task finished, a
// task failed), which the user may click to act on. They go to the desktop's notification server
// through the freedesktop Desktop Notifications interface (org.freedesktop.Notifications on the
// session bus); the server decides how and how long they show.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

enum NSUserNotificationActivationType {
  NSUserNotificationActivationTypeNone = 0,
  NSUserNotificationActivationTypeContentsClicked = 1,
  NSUserNotificationActivationTypeActionButtonClicked = 2,
};

struct NSUserNotification {
  // A notification with the identifier of one this center showed replaces that one in place,
  // where it still shows; without an identifier it never replaces another.
  std::string identifier;
  std::string title;            // the summary line
  std::string informativeText;  // the body, plain text (escaped for servers that read markup)
  // Offered as a button of that title where the server shows actions. Clicking the notification
  // itself activates it too, where the server allows that.
  std::optional<std::string> actionButtonTitle;
  // The owner's own: handed back with the notification when it is activated.
  Dictionary userInfo;
  // How the user activated it, as handed to the delegate.
  NSUserNotificationActivationType activationType = NSUserNotificationActivationTypeNone;
};

class NSUserNotificationCenter;
class UserNotificationReceiver;

class NSUserNotificationCenterDelegate {
 public:
  virtual ~NSUserNotificationCenterDelegate() = default;
  // userNotificationCenter:didActivateNotification:, on the main thread: the user clicked a
  // notification this center delivered, or its action button.
  virtual void userNotificationCenterDidActivateNotification(
      NSUserNotificationCenter& center, const NSUserNotification& notification) = 0;
};

class NSUserNotificationCenter {
 public:
  // defaultUserNotificationCenter; made on first use, which must be on the main thread.
  static NSUserNotificationCenter& defaultUserNotificationCenter();
  ~NSUserNotificationCenter();

  // Not owned; nullptr for none. Activations reach the delegate set at the time of the click.
  void setDelegate(NSUserNotificationCenterDelegate* delegate) { delegate_ = delegate; }
  NSUserNotificationCenterDelegate* delegate() const { return delegate_; }

  // deliverNotification: returns at once; the server is asked from the main thread's loop, one
  // request at a time, in order. A notification still waiting to go out is dropped for a newer
  // one of the same identifier. When no server answers (none on the bus, or it fails), the
  // notification is dropped, never retried, and one log line says so; the next delivery asks
  // again, and logs again only after one went through meanwhile.
  void deliverNotification(const NSUserNotification& notification);

  // How many deliveries wait for the server or are on their way to it.
  size_t pendingDeliveries() const { return queue_.size() + (busy_ ? 1 : 0); }

 private:
  NSUserNotificationCenter();
  void sendNext();
  void askCapabilities();
  void sendNotification(NSUserNotification notification);
  void delivered(const NSUserNotification& notification, std::uint32_t id);
  void failed(const std::string& reason);
  void serverChanged();
  void actionInvoked(std::uint32_t id, const std::string& key);
  void notificationClosed(std::uint32_t id);

  std::unique_ptr<UserNotificationReceiver> receiver_;
  NSUserNotificationCenterDelegate* delegate_ = nullptr;
  std::deque<NSUserNotification> queue_;
  bool busy_ = false;
  bool failing_ = false;
  // The server's capabilities ("actions", "body-markup", ...), asked once per server.
  std::optional<std::vector<std::string>> capabilities_;
  // What the server shows now, by the id it gave.
  std::map<std::uint32_t, NSUserNotification> shown_;
  friend class UserNotificationReceiver;
};

}  // namespace platform
