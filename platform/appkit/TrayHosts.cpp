#include "platform/appkit/TrayHosts.h"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QObject>
#include <cstdlib>
#include <string>

namespace platform {

namespace {

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString WatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
// A watcher that does not answer soon is taken as having no host.
constexpr int WatcherTimeoutMs = 2000;

QDBusMessage hostRegisteredQuery() {
  QDBusMessage get = QDBusMessage::createMethodCall(
      WatcherService, WatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), "Get");
  get << WatcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
  return get;
}

bool hostRegisteredIn(const QDBusMessage& reply) {
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
         reply.arguments()[0].value<QDBusVariant>().variant().toBool();
}

}  // namespace

// The connection to the X server and the tray selection's atom; none without DISPLAY.
struct TrayHosts::X11 {
  xcb_connection_t* connection = nullptr;
  xcb_atom_t selection = XCB_ATOM_NONE;

  X11() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return;
    int screen = 0;
    connection = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(connection)) return;
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, name.size(), name.c_str()), nullptr);
    if (atom) selection = atom->atom;
    free(atom);
  }
  ~X11() {
    if (connection) xcb_disconnect(connection);
  }
  X11(const X11&) = delete;
  X11& operator=(const X11&) = delete;

  bool selectionOwned() const {
    if (selection == XCB_ATOM_NONE || xcb_connection_has_error(connection)) return false;
    xcb_get_selection_owner_reply_t* reply = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool owned = reply && reply->owner != XCB_NONE;
    free(reply);
    return owned;
  }
};

// Hears the watcher come and go and its hosts register, on the main thread.
class TrayHostsReceiver : public QObject {
  Q_OBJECT

 public:
  explicit TrayHostsReceiver(TrayHosts& hosts) : hosts_(hosts) {}

 public Q_SLOTS:
  void watcherChanged(const QString&, const QString&, const QString& newOwner) {
    if (newOwner.isEmpty())
      hosts_.setHostRegistered(false);
    else
      hosts_.askWatcher();
  }
  void hostRegistered() { hosts_.setHostRegistered(true); }
  // Another host may still be registered: the watcher knows.
  void hostUnregistered() { hosts_.askWatcher(); }

 private:
  TrayHosts& hosts_;
};

TrayHosts::TrayHosts()
    : receiver_(std::make_unique<TrayHostsReceiver>(*this)), x11_(std::make_unique<X11>()) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  auto* watcher = new QDBusServiceWatcher(
      WatcherService, bus, QDBusServiceWatcher::WatchForOwnerChange, receiver_.get());
  QObject::connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, receiver_.get(),
                   &TrayHostsReceiver::watcherChanged);
  bus.connect(WatcherService, WatcherPath, WatcherInterface, "StatusNotifierHostRegistered", "",
              receiver_.get(), SLOT(hostRegistered()));
  bus.connect(WatcherService, WatcherPath, WatcherInterface, "StatusNotifierHostUnregistered", "",
              receiver_.get(), SLOT(hostUnregistered()));
  if (bus.interface()->isServiceRegistered(WatcherService))
    hostRegistered_ =
        hostRegisteredIn(bus.call(hostRegisteredQuery(), QDBus::Block, WatcherTimeoutMs));
}

TrayHosts::~TrayHosts() = default;

TrayHosts& TrayHosts::shared() {
  static TrayHosts* hosts = new TrayHosts;
  return *hosts;
}

bool TrayHosts::systemTrayOwned() const {
  return x11_->selectionOwned();
}

void TrayHosts::askWatcher() {
  auto* answer = new QDBusPendingCallWatcher(
      QDBusConnection::sessionBus().asyncCall(hostRegisteredQuery(), WatcherTimeoutMs),
      receiver_.get());
  QObject::connect(answer, &QDBusPendingCallWatcher::finished, receiver_.get(),
                   [this](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     setHostRegistered(hostRegisteredIn(finished->reply()));
                   });
}

void TrayHosts::setHostRegistered(bool registered) {
  if (registered == hostRegistered_) return;
  hostRegistered_ = registered;
  if (observer_) observer_();
}

}  // namespace platform

#include "TrayHosts.moc"
