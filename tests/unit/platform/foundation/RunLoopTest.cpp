#include <gtest/gtest.h>

#include <QTimer>

#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Timer.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;

namespace {

// Tracking that begins again before the held-back timers ran holds them back once more; an
// unbalanced leave changes nothing.
TEST(MenuTracking, TimersDueWhileTrackingFireInOrderWhenItEnds) {
  offscreenApplication();
  std::vector<int> fired;
  enterMenuTrackingMode();
  enterMenuTrackingMode();  // a submenu
  NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) { fired.push_back(1); });
  NSTimer::scheduledTimerWithTimeInterval(0.02, [&](NSTimer&) { fired.push_back(2); });
  auto dropped = NSTimer::scheduledTimerWithTimeInterval(0, [&](NSTimer&) { fired.push_back(3); });
  // Plain Qt timers are not held back: this one marks when the others have fallen due.
  bool due = false;
  QTimer::singleShot(80, QCoreApplication::instance(), [&] { due = true; });
  ASSERT_TRUE(spinUntil([&] { return due; }));
  dropped->invalidate();
  leaveMenuTrackingMode();
  leaveMenuTrackingMode();
  leaveMenuTrackingMode();
  enterMenuTrackingMode();
  QCoreApplication::processEvents();
  EXPECT_TRUE(fired.empty());
  leaveMenuTrackingMode();
  EXPECT_FALSE(isInMenuTrackingMode());
  ASSERT_TRUE(spinUntil([&] { return fired.size() == 2; }));
  EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}

}  // namespace
