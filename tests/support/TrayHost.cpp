#include "tests/support/TrayHost.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
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

struct MenuEntry {
  int id = 0;
  QVariantMap properties;
  std::vector<MenuEntry> children;
};

// One (ia{sv}av) node of a GetLayout answer, its children inside variants.
MenuEntry readEntry(const QDBusArgument& argument) {
  MenuEntry entry;
  argument.beginStructure();
  argument >> entry.id >> entry.properties;
  argument.beginArray();
  while (!argument.atEnd()) {
    QDBusVariant child;
    argument >> child;
    entry.children.push_back(readEntry(child.variant().value<QDBusArgument>()));
  }
  argument.endArray();
  argument.endStructure();
  return entry;
}

std::string menuText(const std::vector<MenuEntry>& entries) {
  std::string text;
  for (const MenuEntry& entry : entries) {
    if (!text.empty()) text += "|";
    if (entry.properties.value("type").toString() == "separator") {
      text += "-";
      continue;
    }
    text += entry.properties.value("label").toString().toStdString();
    if (!entry.properties.value("enabled", true).toBool()) text += " (off)";
    if (entry.properties.value("children-display").toString() == "submenu")
      text += "[" + menuText(entry.children) + "]";
  }
  return text;
}

const MenuEntry* findEntry(const std::vector<MenuEntry>& entries, const QString& label) {
  for (const MenuEntry& entry : entries) {
    if (entry.properties.value("label").toString() == label) return &entry;
    if (const MenuEntry* found = findEntry(entry.children, label)) return found;
  }
  return nullptr;
}

}  // namespace

// The watcher object that the host exports; it lives on the host's thread.
class StatusNotifierWatcher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)

 public:
  explicit StatusNotifierWatcher(const QDBusConnection& connection)
      : connection_(connection), names_(new QDBusServiceWatcher(this)) {
    names_->setConnection(connection);
    names_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(names_, &QDBusServiceWatcher::serviceUnregistered, this,
            &StatusNotifierWatcher::itemGone);
  }

  bool isStatusNotifierHostRegistered() const { return true; }
  QStringList registeredStatusNotifierItems() const {
    std::lock_guard lock(mutex_);
    return items_;
  }

 public Q_SLOTS:
  // An item names its bus name, or only its object path on the sender's connection.
  Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString& service,
                                               const QDBusMessage& message) {
    const QString name = service.startsWith('/') ? message.service() : service;
    {
      std::lock_guard lock(mutex_);
      items_.append(name);
    }
    names_->addWatchedService(name);
    // It may have gone before the watch began.
    if (!connection_.interface()->isServiceRegistered(name)) itemGone(name);
  }

 private:
  void itemGone(const QString& name) {
    names_->removeWatchedService(name);
    std::lock_guard lock(mutex_);
    items_.removeAll(name);
  }

  QDBusConnection connection_;
  QDBusServiceWatcher* names_;
  mutable std::mutex mutex_;
  QStringList items_;
};

TrayHost::TrayHost()
    : connection_(connectToSessionBus()), watcher_(new StatusNotifierWatcher(connection_)) {
  if (!connection_.registerObject(
          WatcherPath, watcher_,
          QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportAllProperties) ||
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

std::vector<std::string> TrayHost::items() const {
  std::vector<std::string> names;
  for (const QString& name : watcher_->registeredStatusNotifierItems())
    names.push_back(name.toStdString());
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

std::vector<MenuEntry> menuEntries(const QDBusConnection& connection, const std::string& item,
                                   QString& path) {
  path = itemProperty(connection, item, "Menu").value<QDBusObjectPath>().path();
  if (path.isEmpty()) return {};
  const QDBusMessage reply =
      call(connection, item, path, MenuInterface, "GetLayout", {0, -1, QStringList()});
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) return {};
  return readEntry(reply.arguments()[1].value<QDBusArgument>()).children;
}

}  // namespace

std::string TrayHost::menu(const std::string& item) const {
  QString path;
  return menuText(menuEntries(connection_, item, path));
}

bool TrayHost::click(const std::string& item, const std::string& label) const {
  QString path;
  const std::vector<MenuEntry> entries = menuEntries(connection_, item, path);
  const MenuEntry* entry = findEntry(entries, QString::fromStdString(label));
  if (!entry) return false;
  // Sent without waiting for the answer, as a panel does: an item that quits may not give one.
  QDBusMessage event =
      QDBusMessage::createMethodCall(QString::fromStdString(item), path, MenuInterface, "Event");
  event.setArguments(
      {entry->id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
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
