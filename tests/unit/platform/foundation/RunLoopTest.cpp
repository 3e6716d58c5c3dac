#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

#include "platform/appkit/Application.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"

using namespace platform;

namespace {

void application() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  NSApplication::sharedApplication();
}

bool spinUntil(const std::function<bool()>& condition, int deadlineMs = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > deadlineMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

// Plain Qt timers are not held back by menu tracking: one due after the timers under test marks
// the point by which those have fallen due.
void passBeyond(int millis) {
  bool passed = false;
  QTimer::singleShot(millis, QCoreApplication::instance(), [&] { passed = true; });
  ASSERT_TRUE(spinUntil([&] { return passed; }));
}

TEST(MenuTracking, TimersDueWhileTrackingFireWhenItEndsInOrder) {
  application();
  std::vector<int> fired;
  enterMenuTrackingMode();
  enterMenuTrackingMode();  // a nested menu
  EXPECT_TRUE(isInMenuTrackingMode());
  auto first = NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) { fired.push_back(1); });
  auto second =
      NSTimer::scheduledTimerWithTimeInterval(0.02, [&](NSTimer&) { fired.push_back(2); });
  auto dropped =
      NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) { fired.push_back(3); });
  passBeyond(80);
  EXPECT_TRUE(fired.empty());
  EXPECT_TRUE(first->isValid());
  dropped->invalidate();  // cancelled while held back: it never fires

  leaveMenuTrackingMode();
  passBeyond(10);
  EXPECT_TRUE(fired.empty()) << "still tracking the outer menu";
  leaveMenuTrackingMode();
  EXPECT_FALSE(isInMenuTrackingMode());
  ASSERT_TRUE(spinUntil([&] { return fired.size() == 2; }));
  EXPECT_EQ(fired, (std::vector<int>{1, 2}));
  leaveMenuTrackingMode();  // unbalanced: no effect
  EXPECT_FALSE(isInMenuTrackingMode());

  // Outside tracking, timers fire on time again.
  bool onTime = false;
  NSTimer::scheduledTimerWithTimeInterval(0.0, [&](NSTimer&) { onTime = true; });
  ASSERT_TRUE(spinUntil([&] { return onTime; }));
}

}  // namespace
