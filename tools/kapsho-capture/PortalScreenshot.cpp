#include "tools/kapsho-capture/PortalScreenshot.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include "tools/kapsho-capture/CaptureError.h"

namespace kapsho_capture {

namespace {

const QString PortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString PortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString ScreenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
const QString RequestInterface = QStringLiteral("org.freedesktop.portal.Request");
// The desktop may first ask the user whether to allow the screenshot, or let them choose.
constexpr int AnswerTimeoutMs = 5 * 60 * 1000;
constexpr int CallTimeoutMs = 25 * 1000;
// What the bus answers when no portal runs, or when the portal lacks the Screenshot interface.
const QStringList NoPortalErrors = {QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
                                    QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                    QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
                                    QStringLiteral("org.freedesktop.DBus.Error.UnknownObject")};

// The request's object path is known before the call from the token, so its answer cannot
// come before the receiver listens.
QString requestPath(const QDBusConnection& bus, const QString& token) {
  QString sender = bus.baseService().mid(1);
  sender.replace(QLatin1Char('.'), QLatin1Char('_'));
  return PortalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

std::string refusal(uint code) {
  return code == 1
             ? "the screenshot was cancelled"
             : "the desktop refused the screenshot (portal answer " + std::to_string(code) + ")";
}

}  // namespace

std::string PortalScreenshot::take(bool interactive) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected())
    throw CaptureError("no session bus for the screenshot portal: " +
                       bus.lastError().message().toStdString());
  const QString token = QStringLiteral("kapsho_capture_%1").arg(getpid());
  PortalScreenshot receiver;
  const auto listen = [&](const QString& path) {
    bus.connect(PortalService, path, RequestInterface, QStringLiteral("Response"),
                QStringLiteral("ua{sv}"), &receiver, SLOT(response(uint, QVariantMap)));
  };
  listen(requestPath(bus, token));

  QDBusMessage call =
      QDBusMessage::createMethodCall(PortalService, PortalPath, ScreenshotInterface, "Screenshot");
  call << QString()
       << QVariantMap{{"handle_token", token}, {"modal", true}, {"interactive", interactive}};
  const QDBusMessage reply = bus.call(call, QDBus::Block, CallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    const std::string message =
        "no screenshot portal (xdg-desktop-portal) answered: " + reply.errorMessage().toStdString();
    if (NoPortalErrors.contains(reply.errorName())) throw NoScreenshotPortal(message);
    throw CaptureError(message);
  }
  // Portals before version 0.9 chose the request path themselves.
  const QString handle = reply.arguments().value(0).value<QDBusObjectPath>().path();
  if (!handle.isEmpty() && handle != requestPath(bus, token)) listen(handle);

  QEventLoop loop;
  QTimer::singleShot(AnswerTimeoutMs, &loop, &QEventLoop::quit);
  connect(&receiver, &PortalScreenshot::answered, &loop, &QEventLoop::quit);
  if (!receiver.code_) loop.exec();
  if (!receiver.code_) throw CaptureError("the screenshot portal did not answer");
  return fileOfAnswer(*receiver.code_, receiver.results_);
}

std::string PortalScreenshot::fileOfAnswer(uint code, const QVariantMap& results) {
  if (code != 0) throw CaptureError(refusal(code));
  const QUrl uri(results.value("uri").toString());
  // The file the portal wrote has an absolute path: a relative one ("file:shot.png") would be
  // read from wherever the tool was started.
  if (!uri.isLocalFile() || !uri.toLocalFile().startsWith('/'))
    throw CaptureError("the screenshot portal gave no file: \"" + uri.toString().toStdString() +
                       "\"");
  return uri.toLocalFile().toStdString();
}

void PortalScreenshot::response(uint code, const QVariantMap& results) {
  if (code_) return;
  code_ = code;
  results_ = results;
  emit answered();
}

}  // namespace kapsho_capture
