// Distributed notifications between processes on the session bus: heard from `gdbus emit` and
// seen by `dbus-monitor`, clients no one here wrote.
#include "platform/foundation/DistributedNotificationCenter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <limits>

#include "platform/foundation/Thread.h"
#include "tests/support/Desktop.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace testing_support;
using platform_tests::spinUntil;

namespace {

NSDistributedNotificationCenter::Selector recordInto(std::vector<NSNotification>& heard) {
  return [&heard](const NSNotification& n) {
    EXPECT_TRUE(isMainThread());
    heard.push_back(n);
  };
}

// Values of types a property list cannot hold are left out, variants are unwrapped, and a signal
// of another signature is not heard at all. A post is seen by the monitor, with each value of its
// bus type and null values left out, and heard by the poster's own observers.
TEST(DistributedNotificationCenter, NotificationsGoBetweenProcessesAndArriveOnTheMainThread) {
  platform_tests::offscreenApplication();
  // The session bus that the tests run on is shared: names of this process alone.
  const std::string name = "com.kapsho.test" + std::to_string(getpid());
  TempDir dir;
  ChildProcess monitor(
      {"dbus-monitor", "--session",
       "type='signal',interface='com.kapsho.DistributedNotificationCenter',arg0='" + name + "'"},
      {}, dir.file("monitor"));
  // The monitor's text without its layout.
  const auto seen = [&] {
    std::string text = readFile(dir.file("monitor")).value_or("");
    std::erase_if(text, [](unsigned char c) { return std::isspace(c); });
    return text;
  };
  // A monitor loses its own name once it listens.
  ASSERT_TRUE(waitUntil([&] { return seen().find("NameLost") != std::string::npos; }));
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
  EXPECT_TRUE(waitUntil([&] {
    return seen().ends_with("member=Notificationstring\"" + name + "\"string\"pref\"array[" +
                            "dictentry(string\"count\"variantint647)dictentry(string\"nested\"" +
                            "variantarray[dictentry(string\"list\"variantarray[variantint641" +
                            "variantstring\"a\"])])]");
  })) << seen();
  ASSERT_TRUE(spinUntil([&] { return any.size() == 3; }));
  EXPECT_EQ(Value(any[2].userInfo.value()), Value(sent));

  center.removeObserver(&a);
  ASSERT_TRUE(emitNotification({name, "b", "@a{sv} {}"}));
  ASSERT_TRUE(spinUntil([&] { return fromB.size() == 2; }));
  EXPECT_EQ(any.size(), 3u);
  center.removeObserver(&b);
}

}  // namespace
