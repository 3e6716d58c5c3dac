#include "platform/appkit/Application.h"

#include <QApplication>
#include <cstdlib>

#include "platform/foundation/Log.h"

namespace platform {

bool hasDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

NSApplication::NSApplication() {
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  if (!hasDisplay() && !(chosen && *chosen)) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  chosen = std::getenv("QT_QPA_PLATFORM");
  offscreen_ = chosen && std::string(chosen) == "offscreen";
  // QApplication keeps a reference to its argument count for its whole life.
  static int argc = 1;
  static char* argv[] = {program_invocation_short_name, nullptr};
  new QApplication(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
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
