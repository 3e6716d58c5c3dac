#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/appkit/Application.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Timer.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;

namespace {

using platform_tests::spinUntil;

// Queued work runs on the main thread in the order sent; a waiting hand-off returns after its
// work ran, and on the main thread runs it at once.
TEST(Application, HandOffsRunOnTheMainThreadInOrderAndWaitingOnesReturnAfterTheWork) {
  platform_tests::offscreenApplication();
  std::vector<int> order;
  std::atomic<bool> allOnMain{true}, ran{false}, sawItAfterReturn{false}, finished{false};
  NSThread::detachNewThreadSelector([&] {
    for (int i = 0; i < 500; ++i)
      performSelectorOnMainThread(
          [&, i] {
            allOnMain = allOnMain && isMainThread();
            order.push_back(i);
          },
          false);
    performSelectorOnMainThread([&] { ran = true; }, true);
    sawItAfterReturn = ran.load();
    finished = true;
  });
  ASSERT_TRUE(spinUntil([&] { return finished.load(); }));
  EXPECT_TRUE(allOnMain && sawItAfterReturn);
  std::vector<int> expected(500);
  for (int i = 0; i < 500; ++i) expected[i] = i;
  EXPECT_EQ(order, expected);
  bool direct = false;
  performSelectorOnMainThread([&] { direct = true; }, true);
  EXPECT_TRUE(direct);
}

TEST(Application, OneShotTimersFireOnceUnlessInvalidatedEvenUnheldOrReleasedInTheirAction) {
  platform_tests::offscreenApplication();
  int fired = 0, cancelledFired = 0;
  bool unheldFired = false, later = false;
  std::shared_ptr<NSTimer> timer = NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) {
    ++fired;
    timer.reset();  // the owner lets go of the timer inside its action
  });
  NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) { ++cancelledFired; })->invalidate();
  NSTimer::scheduledTimerWithTimeInterval(0.0, [&](NSTimer&) { unheldFired = true; });
  // Later timers fire after the first: give all a chance to fire again.
  NSTimer::scheduledTimerWithTimeInterval(0.05, [&](NSTimer&) { later = true; });
  ASSERT_TRUE(spinUntil([&] { return later; }));
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(unheldFired);
  EXPECT_EQ(cancelledFired, 0);
}

TEST(Application, TerminateEndsRun) {
  platform_tests::offscreenApplication();
  auto& app = NSApplication::sharedApplication();
  NSTimer::scheduledTimerWithTimeInterval(0.0, [&](NSTimer&) { app.terminate(nullptr); });
  app.run();  // returns only through terminate
}

}  // namespace
