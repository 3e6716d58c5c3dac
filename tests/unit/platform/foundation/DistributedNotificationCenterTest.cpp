// The main thread's event loop: notifications from other processes, timers held back while a
// menu is tracked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTimer>
#include <limits>

#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Thread.h"
#include "platform/foundation/Timer.h"
#include "tests/support/Desktop.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace platform_tests;
using namespace testing_support;

namespace {

NSDistributedNotificationCenter::Selector recordInto(std::vector<NSNotification>& heard) {
  return [&heard](const NSNotification& n) {
    EXPECT_TRUE(isMainThread());
    heard.push_back(n);
  };
}

// Emitted by `gdbus emit`, a client no one here wrote: values of types a property list cannot
// hold are left out, variants are unwrapped, and a signal of another signature is not heard at
// all. A post goes out without its null values and is heard by the poster's own observers.
TEST(DistributedNotificationCenter, NotificationsGoBetweenProcessesAndArriveOnTheMainThread) {
  offscreenApplication();
  // The session bus that the tests run on is shared: names of this process alone.
  const std::string name = "com.kapsho.test" + std::to_string(getpid());
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  std::vector<NSNotification> any, fromB;
  int a = 0, b = 0;
  center.addObserver(&a, recordInto(any), name, std::nullopt);
  center.addObserver(&b, recordInto(fromB), name, "b");
  ASSERT_TRUE(emitNotification(
      {name, "someone",
       "{'int': <int16 -3>, 'huge': <uint64 18446744073709551615>, 'bytes': <[byte 0x61]>, "
       "'dict': <{'k': <{'deeper': <1>}>}>, 'variants': <[<1>, <'two'>]>, 'inner': <<true>>, "
       "'path': <objectpath '/x'>, 'pair': <(1, 2)>}"}));
  // Each emitter is a connection of its own, and the bus keeps no order between connections.
  ASSERT_TRUE(spinUntil([&] { return !any.empty(); }));
  ASSERT_TRUE(emitNotification({name, "", "'three strings'"}));
  ASSERT_TRUE(emitNotification({name + "other", "b", "@a{sv} {}"}));
  ASSERT_TRUE(emitNotification({name, "b", "@a{sv} {}"}));
  ASSERT_TRUE(spinUntil([&] { return any.size() >= 2 && !fromB.empty(); }));
  ASSERT_EQ(any.size(), 2u);
  EXPECT_EQ(any[0].object, "someone");
  EXPECT_EQ(
      Value(any[0].userInfo.value()),
      Value(Dictionary{{"int", -3},
                       {"huge", static_cast<double>(std::numeric_limits<std::uint64_t>::max())},
                       {"bytes", Data{'a'}},
                       {"dict", Dictionary{{"k", Dictionary{{"deeper", 1}}}}},
                       {"variants", Array{1, "two"}},
                       {"inner", true}}))
      << Value(*any[0].userInfo).description();
  EXPECT_EQ(any[1].userInfo, Dictionary{});
  ASSERT_EQ(fromB.size(), 1u);
  EXPECT_EQ(fromB[0].object, "b");

  const Dictionary sent = {{"count", 7}, {"nested", Dictionary{{"list", Array{1, "a"}}}}};
  Dictionary withNull = sent;
  withNull.emplace("nothing", Value());
  ASSERT_TRUE(center.postNotificationName(name, "pref", withNull));
  ASSERT_TRUE(spinUntil([&] { return any.size() == 3; }));
  EXPECT_EQ(Value(any[2].userInfo.value()), Value(sent));

  center.removeObserver(&a);
  ASSERT_TRUE(emitNotification({name, "b", "@a{sv} {}"}));
  ASSERT_TRUE(spinUntil([&] { return fromB.size() == 2; }));
  EXPECT_EQ(any.size(), 3u);
  center.removeObserver(&b);
}

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
