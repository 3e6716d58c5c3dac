#include "tests/support/TrayHost.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>

namespace testing_support {

namespace {

const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString MenuInterface = QStringLiteral("com.canonical.dbusmenu");

QDBusConnection connectToSessionBus() {
  static int argc = 1;
  static char name[] = "tray-host";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  static int hosts = 0;
  // By address, not by bus type: the bus library reads the environment once per process.
  return QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                       QStringLiteral("kapsho-tray-host-%1").arg(++hosts));
}

// The text of one (ia{sv}av) node of a GetLayout answer, as TrayHost::menu gives it, its
// children inside variants; notes the id of each label, the first one met wins.
std::string readEntry(const QDBusArgument& argument, std::map<QString, int>& ids,
                      bool root = false) {
  int id = 0;
  QVariantMap properties;
  argument.beginStructure();
  argument >> id >> properties;
  const QString label = properties.value("label").toString();
  if (!root) ids.try_emplace(label, id);
  std::string children;
  argument.beginArray();
  while (!argument.atEnd()) {
    QDBusVariant child;
    argument >> child;
    if (!children.empty()) children += "|";
    children += readEntry(child.variant().value<QDBusArgument>(), ids);
  }
  argument.endArray();
  argument.endStructure();
  if (root) return children;
  if (properties.value("type").toString() == "separator") return "-";
  return label.toStdString() + (properties.value("enabled", true).toBool() ? "" : " (off)") +
         (properties.value("children-display").toString() == "submenu" ? "[" + children + "]" : "");
}

}  // namespace

// The watcher object that the host exports; it lives on the host's thread.
class StatusNotifierWatcher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)

 public:
  bool isStatusNotifierHostRegistered() const { return hostRegistered_; }
  void setHostRegistered(bool registered) {
    hostRegistered_ = registered;
    if (registered)
      emit StatusNotifierHostRegistered();
    else
      emit StatusNotifierHostUnregistered();
  }
  QStringList registered() const {
    std::lock_guard lock(mutex_);
    return items_;
  }

 Q_SIGNALS:
  Q_SCRIPTABLE void StatusNotifierHostRegistered();
  Q_SCRIPTABLE void StatusNotifierHostUnregistered();

 public Q_SLOTS:
  // An item names its bus name, or only its object path on the sender's connection.
  Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString& service,
                                               const QDBusMessage& message) {
    std::lock_guard lock(mutex_);
    items_.append(service.startsWith('/') ? message.service() : service);
  }

 private:
  mutable std::mutex mutex_;
  QStringList items_;
  std::atomic<bool> hostRegistered_ = true;
};

TrayHost::TrayHost() : connection_(connectToSessionBus()), watcher_(new StatusNotifierWatcher) {
  if (!connection_.registerObject(WatcherPath, watcher_,
                                  QDBusConnection::ExportScriptableSlots |
                                      QDBusConnection::ExportScriptableSignals |
                                      QDBusConnection::ExportAllProperties) ||
      !connection_.registerService(WatcherService)) {
    delete watcher_;
    QDBusConnection::disconnectFromBus(connection_.name());
    throw std::runtime_error("the tray host cannot serve on the session bus");
  }
  watcher_->moveToThread(&thread_);
  QObject::connect(&thread_, &QThread::finished, watcher_, &QObject::deleteLater);
  thread_.start();
}

TrayHost::~TrayHost() {
  connection_.unregisterService(WatcherService);
  connection_.unregisterObject(WatcherPath);
  thread_.quit();
  thread_.wait();
  QDBusConnection::disconnectFromBus(connection_.name());
}

// On the watcher's thread, as its other answers are.
void TrayHost::setHostRegistered(bool registered) {
  QMetaObject::invokeMethod(
      watcher_, [this, registered] { watcher_->setHostRegistered(registered); },
      Qt::BlockingQueuedConnection);
}

std::vector<std::string> TrayHost::items() const {
  std::vector<std::string> names;
  for (const QString& name : watcher_->registered())
    if (connection_.interface()->isServiceRegistered(name)) names.push_back(name.toStdString());
  return names;
}

namespace {

QDBusMessage call(const QDBusConnection& connection, const std::string& item, const QString& path,
                  const QString& interface, const QString& method, const QVariantList& arguments) {
  QDBusMessage message =
      QDBusMessage::createMethodCall(QString::fromStdString(item), path, interface, method);
  message.setArguments(arguments);
  return connection.call(message, QDBus::Block, 5000);
}

QVariant itemProperty(const QDBusConnection& connection, const std::string& item,
                      const QString& name) {
  const QDBusMessage reply =
      call(connection, item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
           {QStringLiteral("org.kde.StatusNotifierItem"), name});
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  return reply.arguments()[0].value<QDBusVariant>().variant();
}

// The item's menu as text, with the path of its menu and the id of each label.
std::string readMenu(const QDBusConnection& connection, const std::string& item, QString& path,
                     std::map<QString, int>& ids) {
  path = itemProperty(connection, item, "Menu").value<QDBusObjectPath>().path();
  if (path.isEmpty()) return "";
  const QDBusMessage reply =
      call(connection, item, path, MenuInterface, "GetLayout", {0, -1, QStringList()});
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) return "";
  return readEntry(reply.arguments()[1].value<QDBusArgument>(), ids, true);
}

}  // namespace

std::string TrayHost::menu(const std::string& item) const {
  QString path;
  std::map<QString, int> ids;
  return readMenu(connection_, item, path, ids);
}

bool TrayHost::click(const std::string& item, const std::string& label) const {
  QString path;
  std::map<QString, int> ids;
  readMenu(connection_, item, path, ids);
  const auto entry = ids.find(QString::fromStdString(label));
  if (entry == ids.end()) return false;
  // Sent without waiting for the answer, as a panel does: an item that quits may not give one.
  QDBusMessage event =
      QDBusMessage::createMethodCall(QString::fromStdString(item), path, MenuInterface, "Event");
  event.setArguments(
      {entry->second, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
  return connection_.send(event);
}

std::string TrayHost::icon(const std::string& item) const {
  const QVariant pixmaps = itemProperty(connection_, item, "IconPixmap");
  if (!pixmaps.canConvert<QDBusArgument>()) return "";
  const QDBusArgument argument = pixmaps.value<QDBusArgument>();
  std::string pixels;
  argument.beginArray();
  while (!argument.atEnd()) {
    int width = 0, height = 0;
    QByteArray bytes;
    argument.beginStructure();
    argument >> width >> height >> bytes;
    argument.endStructure();
    pixels += std::to_string(width) + "x" + std::to_string(height) + ":" + bytes.toStdString();
  }
  argument.endArray();
  return pixels;
}

}  // namespace testing_support

#include "TrayHost.moc"
