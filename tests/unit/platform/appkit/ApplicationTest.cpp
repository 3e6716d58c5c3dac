#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/appkit/Application.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Timer.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;

namespace {

using platform_tests::spinUntil;

NSApplication& application() {
  platform_tests::offscreenApplication();
  return NSApplication::sharedApplication();
}

TEST(Application, QueuedHandOffsRunOnTheMainThreadInOrder) {
  application();
  std::vector<int> order;
  std::atomic<bool> allOnMain{true};
  std::thread worker([&] {
    for (int i = 0; i < 500; ++i)
      performSelectorOnMainThread(
          [&, i] {
            allOnMain = allOnMain && isMainThread();
            order.push_back(i);
          },
          false);
  });
  ASSERT_TRUE(spinUntil([&] { return order.size() == 500; }));
  worker.join();
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(order[i], i);
}

TEST(Application, WaitingHandOffReturnsAfterTheWorkRanAndRunsDirectlyOnMain) {
  application();
  std::atomic<bool> ran{false}, sawItAfterReturn{false}, finished{false};
  NSThread::detachNewThreadSelector([&] {
    performSelectorOnMainThread([&] { ran = true; }, true);
    sawItAfterReturn = ran.load();
    finished = true;
  });
  ASSERT_TRUE(spinUntil([&] { return finished.load(); }));
  EXPECT_TRUE(sawItAfterReturn);
  bool direct = false;
  performSelectorOnMainThread([&] { direct = true; }, true);
  EXPECT_TRUE(direct);
}

TEST(Application, OneShotTimersFireOnceUnlessInvalidatedEvenUnheldOrReleasedInTheirAction) {
  application();
  int fired = 0, cancelledFired = 0;
  bool unheldFired = false;
  std::shared_ptr<NSTimer> timer = NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) {
    ++fired;
    timer.reset();  // the owner lets go of the timer inside its action
  });
  auto cancelled =
      NSTimer::scheduledTimerWithTimeInterval(0.01, [&](NSTimer&) { ++cancelledFired; });
  cancelled->invalidate();
  EXPECT_FALSE(cancelled->isValid());
  NSTimer::scheduledTimerWithTimeInterval(0.0, [&](NSTimer&) { unheldFired = true; });
  // Later timers fire after the first: give all a chance to fire again.
  bool later = false;
  NSTimer::scheduledTimerWithTimeInterval(0.05, [&](NSTimer&) { later = true; });
  ASSERT_TRUE(spinUntil([&] { return later; }));
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer);
  EXPECT_TRUE(unheldFired);
  EXPECT_EQ(cancelledFired, 0);
}

TEST(Application, TerminateEndsRun) {
  auto& app = application();
  NSTimer::scheduledTimerWithTimeInterval(0.0, [&](NSTimer&) { app.terminate(nullptr); });
  app.run();  // returns only through terminate
  EXPECT_TRUE(app.isOffscreen());
}

}  // namespace
