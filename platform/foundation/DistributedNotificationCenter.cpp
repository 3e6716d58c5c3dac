#include "platform/foundation/DistributedNotificationCenter.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QVariant>
#include <algorithm>
#include <limits>

#include "platform/foundation/Log.h"

namespace platform {

namespace {

const QString CenterPath = QStringLiteral(PLATFORM_NOTIFICATION_PATH);
const QString CenterInterface = QStringLiteral(PLATFORM_NOTIFICATION_INTERFACE);
const QString NotificationMember = QStringLiteral("Notification");
// Without the signature, a signal of other types would reach the slot as a notification.
const QString NotificationSignature = QStringLiteral("ssa{sv}");
// Deeper values than a user info ever needs are left out rather than followed.
constexpr int MaxNesting = 16;

Value valueFromVariant(const QVariant& variant, int depth);

std::optional<Dictionary> dictionaryFromMap(const QVariantMap& map, int depth) {
  Dictionary dictionary;
  for (auto it = map.cbegin(); it != map.cend(); ++it) {
    Value value = valueFromVariant(it.value(), depth + 1);
    if (!value.isNull()) dictionary.emplace(it.key().toStdString(), std::move(value));
  }
  return dictionary;
}

// A nested a{sv} or av arrives undecoded; anything else of a container type is left out.
Value valueFromArgument(const QDBusArgument& argument, int depth) {
  const QString signature = argument.currentSignature();
  if (signature == QLatin1String("a{sv}")) {
    QVariantMap map;
    argument >> map;
    return *dictionaryFromMap(map, depth);
  }
  if (signature == QLatin1String("av")) {
    QVariantList list;
    argument >> list;
    Array array;
    for (const QVariant& element : list) {
      Value value = valueFromVariant(element, depth + 1);
      if (!value.isNull()) array.push_back(std::move(value));
    }
    return array;
  }
  return {};
}

Value valueFromVariant(const QVariant& variant, int depth) {
  if (depth > MaxNesting) return {};
  switch (variant.metaType().id()) {
    case QMetaType::Bool:
      return variant.toBool();
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
      return static_cast<std::int64_t>(variant.toLongLong());
    case QMetaType::ULongLong: {
      // Beyond the range of a property-list integer it becomes a real rather than wrap around.
      const qulonglong number = variant.toULongLong();
      if (number > static_cast<qulonglong>(std::numeric_limits<std::int64_t>::max()))
        return static_cast<double>(number);
      return static_cast<std::int64_t>(number);
    }
    case QMetaType::Double:
      return variant.toDouble();
    case QMetaType::QString:
      return variant.toString().toStdString();
    case QMetaType::QByteArray: {
      const QByteArray bytes = variant.toByteArray();
      return Data(bytes.begin(), bytes.end());
    }
    case QMetaType::QStringList: {
      Array array;
      for (const QString& s : variant.toStringList()) array.emplace_back(s.toStdString());
      return array;
    }
    default:
      break;
  }
  if (variant.metaType() == QMetaType::fromType<QDBusVariant>())
    return valueFromVariant(variant.value<QDBusVariant>().variant(), depth + 1);
  if (variant.metaType() == QMetaType::fromType<QDBusArgument>())
    return valueFromArgument(variant.value<QDBusArgument>(), depth);
  return {};
}

QVariant variantFromValue(const Value& value) {
  switch (value.type()) {
    case Value::Type::String:
      return QString::fromStdString(*value.string());
    case Value::Type::Integer:
      return static_cast<qlonglong>(*value.integer());
    case Value::Type::Real:
      return *value.real();
    case Value::Type::Boolean:
      return *value.boolean();
    case Value::Type::Date:
      return QString::fromStdString(value.description());
    case Value::Type::Data:
      return QByteArray(reinterpret_cast<const char*>(value.data()->bytes()),
                        static_cast<qsizetype>(value.data()->size()));
    // A null value has no bus type, and one would make the whole signal fail: it is left out.
    case Value::Type::Array: {
      QVariantList list;
      for (const Value& element : *value.array())
        if (!element.isNull()) list.push_back(variantFromValue(element));
      return list;
    }
    case Value::Type::Dictionary: {
      QVariantMap map;
      for (const auto& [key, element] : *value.dictionary())
        if (!element.isNull()) map.insert(QString::fromStdString(key), variantFromValue(element));
      return map;
    }
    case Value::Type::Null:
      break;
  }
  return {};
}

}  // namespace

// Receives the bus signal on the thread it lives on, the main thread.
class NotificationReceiver : public QObject {
  Q_OBJECT

 public:
  explicit NotificationReceiver(NSDistributedNotificationCenter& center) : center_(center) {}

 public Q_SLOTS:
  void notification(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() != 3) return;
    NSNotification notification{arguments[0].toString().toStdString(),
                                arguments[1].toString().toStdString(), std::nullopt};
    const Value userInfo = valueFromVariant(arguments[2], 0);
    if (const Dictionary* entries = userInfo.dictionary()) notification.userInfo = *entries;
    center_.deliver(notification);
  }

 private:
  NSDistributedNotificationCenter& center_;
};

NSDistributedNotificationCenter::NSDistributedNotificationCenter()
    : receiver_(std::make_unique<NotificationReceiver>(*this)) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  bus.connect(QString(), CenterPath, CenterInterface, NotificationMember, NotificationSignature,
              receiver_.get(), SLOT(notification(QDBusMessage)));
  // The match rule goes out without waiting for the bus; a round trip behind it makes sure the
  // bus has it, so that a notification posted once addObserver has returned is heard.
  bus.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus.Peer", "Ping"));
}

NSDistributedNotificationCenter::~NSDistributedNotificationCenter() = default;

NSDistributedNotificationCenter& NSDistributedNotificationCenter::defaultCenter() {
  static NSDistributedNotificationCenter* center = new NSDistributedNotificationCenter;
  return *center;
}

void NSDistributedNotificationCenter::addObserver(const void* observer, Selector selector,
                                                  const std::string& name,
                                                  const std::optional<std::string>& object) {
  if (!QDBusConnection::sessionBus().isConnected())
    NSLog("No session bus: the notification \"%@\" cannot be heard", name);
  observations_.push_back({observer, std::move(selector), name, object});
}

void NSDistributedNotificationCenter::removeObserver(const void* observer) {
  std::erase_if(observations_, [observer](const Observation& o) { return o.observer == observer; });
}

bool NSDistributedNotificationCenter::postNotificationName(
    const std::string& name, const std::string& object, const std::optional<Dictionary>& userInfo) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage signal = QDBusMessage::createSignal(CenterPath, CenterInterface, NotificationMember);
  QVariantMap entries;
  if (userInfo) entries = variantFromValue(*userInfo).toMap();
  signal << QString::fromStdString(name) << QString::fromStdString(object) << entries;
  return bus.send(signal);
}

// A selector may add or remove observations: the matching ones are taken first, and one whose
// observer was removed meanwhile is skipped.
void NSDistributedNotificationCenter::deliver(const NSNotification& notification) {
  std::vector<Observation> matching;
  for (const Observation& o : observations_)
    if (o.name == notification.name && (!o.object || *o.object == notification.object))
      matching.push_back(o);
  for (const Observation& o : matching) {
    const bool observing =
        std::any_of(observations_.begin(), observations_.end(),
                    [&](const Observation& other) { return other.observer == o.observer; });
    if (observing) o.selector(notification);
  }
}

}  // namespace platform

#include "DistributedNotificationCenter.moc"
