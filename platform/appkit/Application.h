// The application object: one per process, on the main thread's event loop.
#pragma once

#include "platform/foundation/Exception.h"
#include "platform/foundation/Object.h"

namespace platform {

// Whether the environment names a display (DISPLAY or WAYLAND_DISPLAY) to show windows on.
bool hasDisplay();

class NSApplication : public NSObject {
 public:
  // sharedApplication: creates the application object on first use. Without a display (neither
  // DISPLAY nor WAYLAND_DISPLAY) it runs on the offscreen platform and says so in one log line;
  // with both (XWayland) on X11, whose clipboard a program without keyboard focus can set.
  static NSApplication& sharedApplication();

  // run: the main thread's event loop; returns after terminate.
  void run();
  // terminate: ends the event loop; the sender is not used.
  void terminate(const void* sender);
  // reportException: writes the exception's name and reason to the log.
  void reportException(const NSException& exception);

  // "terminate:" is the action a menu item sends to the application.
  bool respondsToSelector(std::string_view selector) const override;
  void performSelector(std::string_view selector, NSObject* sender) override;

  // Whether the application runs without a real display.
  bool isOffscreen() const { return offscreen_; }

 private:
  NSApplication();
  bool offscreen_ = false;
};

}  // namespace platform
