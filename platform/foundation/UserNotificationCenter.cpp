#include "platform/foundation/UserNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QObject>
#include <algorithm>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {

const QString NotificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString NotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString NotificationsInterface = QStringLiteral("org.freedesktop.Notifications");
// The action key a server invokes when the notification itself is clicked.
const QString ContentsActionKey = QStringLiteral("default");
const QString ButtonActionKey = QStringLiteral("action-button");
// The server's own default for how long a notification shows.
constexpr int ServerDefaultTimeout = -1;

// The name shown as the notification's sender: the running bundle's, else the program's.
QString applicationName() {
  const Dictionary& info = NSBundle::mainBundle().infoDictionary();
  for (const char* key : {"CFBundleDisplayName", "CFBundleName"})
    if (const Value* name = valueForKey(info, key); name && name->string())
      return QString::fromStdString(*name->string());
  return QCoreApplication::applicationName();
}

// A server that reads markup in the body would take '&' and '<' of plain text for markup.
QString bodyText(const std::string& text, bool markup) {
  const QString plain = QString::fromStdString(text);
  return markup ? plain.toHtmlEscaped() : plain;
}

QStringList actionsOf(const NSUserNotification& notification) {
  QStringList actions{ContentsActionKey,
                      QString::fromStdString(notification.actionButtonTitle.value_or(""))};
  if (notification.actionButtonTitle)
    actions << ButtonActionKey << QString::fromStdString(*notification.actionButtonTitle);
  return actions;
}

}  // namespace

// Hears the server's signals and the answers to the center's calls, on the main thread.
class UserNotificationReceiver : public QObject {
  Q_OBJECT

 public:
  explicit UserNotificationReceiver(NSUserNotificationCenter& center) : center_(center) {}

  // Calls the handler with the finished call's watcher on the main thread, then lets it go.
  template <typename Handler>
  void whenAnswered(const QDBusPendingCall& call, Handler handler) {
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [handler](QDBusPendingCallWatcher* finished) {
              finished->deleteLater();
              handler(*finished);
            });
  }

 public Q_SLOTS:
  void actionInvoked(uint id, const QString& key) { center_.actionInvoked(id, key.toStdString()); }
  void notificationClosed(uint id, uint) { center_.notificationClosed(id); }
  void serverChanged() { center_.serverChanged(); }

 private:
  NSUserNotificationCenter& center_;
};

NSUserNotificationCenter::NSUserNotificationCenter()
    : receiver_(std::make_unique<UserNotificationReceiver>(*this)) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  // By the server's name: a signal of any other sender, or of other types, is not heard.
  bus.connect(NotificationsService, NotificationsPath, NotificationsInterface, "ActionInvoked",
              "us", receiver_.get(), SLOT(actionInvoked(uint, QString)));
  bus.connect(NotificationsService, NotificationsPath, NotificationsInterface, "NotificationClosed",
              "uu", receiver_.get(), SLOT(notificationClosed(uint, uint)));
  // Another server knows nothing of what the last one showed, nor has its capabilities.
  auto* watcher = new QDBusServiceWatcher(
      NotificationsService, bus, QDBusServiceWatcher::WatchForOwnerChange, receiver_.get());
  QObject::connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, receiver_.get(),
                   &UserNotificationReceiver::serverChanged);
}

NSUserNotificationCenter::~NSUserNotificationCenter() = default;

NSUserNotificationCenter& NSUserNotificationCenter::defaultUserNotificationCenter() {
  static NSUserNotificationCenter* center = new NSUserNotificationCenter;
  return *center;
}

void NSUserNotificationCenter::deliverNotification(const NSUserNotification& notification) {
  if (!notification.identifier.empty())
    std::erase_if(queue_, [&](const NSUserNotification& waiting) {
      return waiting.identifier == notification.identifier;
    });
  queue_.push_back(notification);
  sendNext();
}

void NSUserNotificationCenter::sendNext() {
  if (busy_ || queue_.empty()) return;
  if (!QDBusConnection::sessionBus().isConnected()) {
    queue_.clear();
    failed("no session bus");
    return;
  }
  busy_ = true;
  if (!capabilities_) {
    askCapabilities();
    return;
  }
  NSUserNotification next = std::move(queue_.front());
  queue_.pop_front();
  sendNotification(std::move(next));
}

void NSUserNotificationCenter::askCapabilities() {
  const QDBusMessage call = QDBusMessage::createMethodCall(
      NotificationsService, NotificationsPath, NotificationsInterface, "GetCapabilities");
  receiver_->whenAnswered(QDBusConnection::sessionBus().asyncCall(call),
                          [this](const QDBusPendingCallWatcher& answer) {
                            busy_ = false;
                            const QDBusPendingReply<QStringList> reply = answer;
                            if (reply.isError()) {
                              queue_.pop_front();
                              failed(reply.error().message().toStdString());
                            } else {
                              capabilities_.emplace();
                              for (const QString& name : reply.value())
                                capabilities_->push_back(name.toStdString());
                            }
                            sendNext();
                          });
}

void NSUserNotificationCenter::sendNotification(NSUserNotification notification) {
  const auto has = [this](const char* capability) {
    return std::find(capabilities_->begin(), capabilities_->end(), capability) !=
           capabilities_->end();
  };
  std::uint32_t replaces = 0;
  if (!notification.identifier.empty())
    for (const auto& [id, shown] : shown_)
      if (shown.identifier == notification.identifier) replaces = id;
  QDBusMessage call = QDBusMessage::createMethodCall(NotificationsService, NotificationsPath,
                                                     NotificationsInterface, "Notify");
  call << applicationName() << replaces << QString() << QString::fromStdString(notification.title)
       << bodyText(notification.informativeText, has("body-markup"))
       << (has("actions") ? actionsOf(notification) : QStringList()) << QVariantMap()
       << ServerDefaultTimeout;
  receiver_->whenAnswered(QDBusConnection::sessionBus().asyncCall(call),
                          [this, notification, replaces](const QDBusPendingCallWatcher& answer) {
                            busy_ = false;
                            const QDBusPendingReply<uint> reply = answer;
                            if (reply.isError()) {
                              failed(reply.error().message().toStdString());
                            } else {
                              shown_.erase(replaces);
                              delivered(notification, reply.value());
                            }
                            sendNext();
                          });
}

void NSUserNotificationCenter::delivered(const NSUserNotification& notification, std::uint32_t id) {
  shown_.insert_or_assign(id, notification);
  failing_ = false;
}

void NSUserNotificationCenter::failed(const std::string& reason) {
  if (failing_) return;
  failing_ = true;
  NSLog("No notification server answered (%@): notifications are not shown",
        reason.empty() ? std::string("no answer") : reason);
}

void NSUserNotificationCenter::serverChanged() {
  capabilities_.reset();
  shown_.clear();
}

void NSUserNotificationCenter::actionInvoked(std::uint32_t id, const std::string& key) {
  const auto shown = shown_.find(id);
  if (shown == shown_.end() || !delegate_) return;
  NSUserNotification activated = shown->second;
  activated.activationType = key == ContentsActionKey.toStdString()
                                 ? NSUserNotificationActivationTypeContentsClicked
                                 : NSUserNotificationActivationTypeActionButtonClicked;
  delegate_->userNotificationCenterDidActivateNotification(*this, activated);
}

void NSUserNotificationCenter::notificationClosed(std::uint32_t id) {
  shown_.erase(id);
}

}  // namespace platform

#include "UserNotificationCenter.moc"
