#include "platform/appkit/Pasteboard.h"

#include <signal.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <cstdlib>
#include <utility>

#include "platform/appkit/Application.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {

constexpr int WlClipboardTimeoutMs = 5000;
const QString PlainTextType = QStringLiteral("text/plain;charset=utf-8");

QClipboard& clipboard() {
  NSApplication::sharedApplication();
  return *QGuiApplication::clipboard();
}

// The empty contents a declaration put on the clipboard, until the text is set into them. The
// selection then changes owner once per copy, not twice: each change costs round trips to the
// display server and wakes every client that watches the clipboard. Qt deletes the contents when
// another program takes the clipboard.
QPointer<QMimeData>& declaredContents() {
  static QPointer<QMimeData> contents;
  return contents;
}

// A Wayland session without X11. Qt sets the clipboard there only for a focused window, which
// a tray agent never has, so wl-copy (wl-clipboard) sets it.
bool onWaylandOnly() {
  NSApplication::sharedApplication();
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return wayland && *wayland && QGuiApplication::platformName() != QLatin1String("xcb");
}

// What one of wl-clipboard's programs gave: its output, or why it gave none.
struct WlClipboardResult {
  std::optional<QByteArray> output;
  QString problem;
};

// Runs the program with the input on its standard input. wl-copy stays behind to serve the
// selection, so it must not inherit the agent's blocked or ignored hang-up signal.
WlClipboardResult runWlClipboard(const QString& name, const QStringList& arguments,
                                 const QByteArray& input = {}) {
  const QString program = QStandardPaths::findExecutable(name);
  if (program.isEmpty()) return {std::nullopt, name + QStringLiteral(" (wl-clipboard) is missing")};
  QProcess process;
  process.setChildProcessModifier([] {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGHUP, SIG_DFL);
  });
  process.start(program, arguments);
  process.write(input);
  process.closeWriteChannel();
  if (!process.waitForFinished(WlClipboardTimeoutMs) ||
      process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
    return {std::nullopt, name + QStringLiteral(" failed: ") +
                              QString::fromLocal8Bit(process.readAllStandardError()).trimmed()};
  return {process.readAllStandardOutput(), {}};
}

// Setting the clipboard through wl-copy; says once in the log when that cannot be done.
bool wlCopy(const QStringList& arguments, const QByteArray& input = {}) {
  static bool said = false;
  const auto result = runWlClipboard(QStringLiteral("wl-copy"), arguments, input);
  if (!result.output && !said) {
    said = true;
    NSLog("No clipboard on this Wayland session without X11: %@", result.problem.toStdString());
  }
  return result.output.has_value();
}

}  // namespace

NSPasteboard& NSPasteboard::generalPasteboard() {
  static NSPasteboard pasteboard;
  return pasteboard;
}

long NSPasteboard::declareTypes(const std::vector<std::string>& types, NSObject*) {
  declared_ = types;
  if (onWaylandOnly()) {
    wlCopy({QStringLiteral("--clear")});
  } else {
    declaredContents() = new QMimeData;
    clipboard().setMimeData(declaredContents(), QClipboard::Clipboard);
  }
  return ++changeCount_;
}

bool NSPasteboard::setString(const std::string& text, const std::string& type) {
  if (type != NSStringPboardType) return false;
  const QString string = QString::fromStdString(text);
  if (onWaylandOnly()) return wlCopy({QStringLiteral("--type"), PlainTextType}, string.toUtf8());
  if (QMimeData* declared = std::exchange(declaredContents(), nullptr))
    declared->setText(string);
  else
    clipboard().setText(string, QClipboard::Clipboard);
  return true;
}

std::optional<std::string> NSPasteboard::stringForType(const std::string& type) const {
  if (type != NSStringPboardType) return std::nullopt;
  if (onWaylandOnly()) {
    const auto text = runWlClipboard(QStringLiteral("wl-paste"),
                                     {QStringLiteral("--no-newline"), QStringLiteral("--type"),
                                      QStringLiteral("text/plain")})
                          .output;
    return text ? std::optional(text->toStdString()) : std::nullopt;
  }
  const QMimeData* data = clipboard().mimeData(QClipboard::Clipboard);
  if (!data || !data->hasText()) return std::nullopt;
  return data->text().toStdString();
}

}  // namespace platform
