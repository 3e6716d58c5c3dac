#include "platform/appkit/Application.h"

#include <QApplication>
#include <cstdlib>

#include "platform/foundation/Log.h"

namespace platform {

namespace {

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// Qt's own choice, unless the user made one. On a Wayland session that offers X11 as well
// (XWayland) the X11 platform: a Wayland client without keyboard focus, as a tray agent always
// is, cannot set the clipboard, while the compositor hands X11's clipboard to Wayland programs.
// Without any display, the offscreen platform; a Wayland connection that fails falls back to it.
void choosePlatform() {
  if (isSet("QT_QPA_PLATFORM")) return;
  const bool x11 = isSet("DISPLAY"), wayland = isSet("WAYLAND_DISPLAY");
  if (x11 && wayland)
    setenv("QT_QPA_PLATFORM", "xcb", 1);
  else if (wayland)
    setenv("QT_QPA_PLATFORM", "wayland;offscreen", 1);
  else if (!x11)
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace

bool hasDisplay() {
  return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
}

NSApplication::NSApplication() {
  choosePlatform();
  // QApplication keeps a reference to its argument count for its whole life.
  static int argc = 1;
  static char* argv[] = {program_invocation_short_name, nullptr};
  new QApplication(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  offscreen_ = QGuiApplication::platformName() == QLatin1String("offscreen");
  if (offscreen_)
    NSLog("No display: running offscreen, without a tray icon and without the system clipboard");
}

NSApplication& NSApplication::sharedApplication() {
  static NSApplication* application = new NSApplication;
  return *application;
}

void NSApplication::run() {
  QApplication::exec();
}

void NSApplication::terminate(const void*) {
  QApplication::quit();
}

bool NSApplication::respondsToSelector(std::string_view selector) const {
  return selector == "terminate:";
}

void NSApplication::performSelector(std::string_view selector, NSObject* sender) {
  if (selector == "terminate:") terminate(sender);
}

void NSApplication::reportException(const NSException& exception) {
  NSLog("*** Exception '%@' raised, reason: '%@'", exception.name(), exception.reason());
}

}  // namespace platform
