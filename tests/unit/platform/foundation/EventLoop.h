// The offscreen application and bounded waits on its event loop, for the layer's Qt tests.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <cstdlib>
#include <functional>

#include "platform/appkit/Application.h"

namespace platform_tests {

inline void offscreenApplication() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  platform::NSApplication::sharedApplication();
}

// Runs the event loop until the condition holds; false when the deadline passed first.
inline bool spinUntil(const std::function<bool()>& condition, int deadlineMs = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > deadlineMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

}  // namespace platform_tests
