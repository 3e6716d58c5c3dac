// Distributed notifications between processes on the session bus: heard from `gdbus emit` and
// seen by `dbus-monitor`, clients no one here wrote.
#include "platform/foundation/DistributedNotificationCenter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>
#include <thread>

#include "tests/support/Desktop.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace platform;
using namespace testing_support;

namespace {

// The session bus that the tests run on is shared: names of this process alone.
const std::string Name = "com.kapsho.test " + std::to_string(getpid());
const std::string OtherName = "com.kapsho.test other " + std::to_string(getpid());

struct Heard {
  NSNotification notification;
  std::thread::id thread;
};

NSDistributedNotificationCenter::Selector recordInto(std::vector<Heard>& heard) {
  return [&heard](const NSNotification& n) { heard.push_back({n, std::this_thread::get_id()}); };
}

TEST(DistributedNotificationCenter, ObserversHearOtherProcessesOnTheMainThread) {
  platform_tests::offscreenApplication();
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  std::vector<Heard> any, fromB;
  int a = 0, b = 0;
  center.addObserver(&a, recordInto(any), Name, std::nullopt);
  center.addObserver(&b, recordInto(fromB), Name, "b");

  // Values of types a property list cannot hold are left out; variants are unwrapped.
  ASSERT_TRUE(emitNotification(
      {Name, "someone",
       "{'bool': <true>, 'int': <int16 -3>, 'huge': <uint64 18446744073709551615>, "
       "'real': <2.5>, 'string': <'x'>, 'bytes': <[byte 0x61, 0x62]>, "
       "'strings': <['p', 'q']>, 'dict': <{'k': <{'deeper': <1>}>}>, "
       "'variants': <[<1>, <'two'>]>, 'inner': <<true>>, 'ints': <@ai [1]>, "
       "'path': <objectpath '/x'>, 'pair': <(1, 2)>}"}));
  // Each emitter is a connection of its own, and the bus keeps no order between connections.
  ASSERT_TRUE(platform_tests::spinUntil([&] { return !any.empty(); }));
  ASSERT_TRUE(emitNotification({Name, "someone"}));
  ASSERT_TRUE(emitNotification({Name, "", "'three strings'"}));
  ASSERT_TRUE(emitNotification({OtherName, "b", "@a{sv} {}"}));
  ASSERT_TRUE(emitNotification({Name, "b", "@a{sv} {}"}));
  ASSERT_TRUE(platform_tests::spinUntil([&] { return any.size() >= 2 && !fromB.empty(); }));

  ASSERT_EQ(any.size(), 2u);
  EXPECT_EQ(any[0].notification.name, Name);
  EXPECT_EQ(any[0].notification.object, "someone");
  const Dictionary expected = {
      {"bool", true},
      {"int", -3},
      {"huge", static_cast<double>(std::numeric_limits<std::uint64_t>::max())},
      {"real", 2.5},
      {"string", "x"},
      {"bytes", Data{'a', 'b'}},
      {"strings", Array{"p", "q"}},
      {"dict", Dictionary{{"k", Dictionary{{"deeper", 1}}}}},
      {"variants", Array{1, "two"}},
      {"inner", true},
  };
  EXPECT_EQ(Value(any[0].notification.userInfo.value()), Value(expected))
      << Value(*any[0].notification.userInfo).description();
  EXPECT_EQ(any[1].notification.object, "b");
  EXPECT_EQ(any[1].notification.userInfo, Dictionary{});
  ASSERT_EQ(fromB.size(), 1u);
  EXPECT_EQ(fromB[0].notification.object, "b");
  for (const Heard& heard : {any[0], any[1], fromB[0]})
    EXPECT_EQ(heard.thread, std::this_thread::get_id());

  center.removeObserver(&a);
  ASSERT_TRUE(emitNotification({Name, "b", "@a{sv} {}"}));
  ASSERT_TRUE(platform_tests::spinUntil([&] { return fromB.size() == 2; }));
  EXPECT_EQ(any.size(), 2u);
  center.removeObserver(&b);
}

TEST(DistributedNotificationCenter, APostReachesOtherProcessesAndThePostersOwnObservers) {
  platform_tests::offscreenApplication();
  TempDir dir;
  ChildProcess monitor(
      {"dbus-monitor", "--session",
       "type='signal',interface='com.kapsho.DistributedNotificationCenter',arg0='" + Name + "'"},
      {}, dir.file("monitor"));
  // A monitor loses its own name once it listens.
  ASSERT_TRUE(waitUntil([&] {
    return readFile(dir.file("monitor")).value_or("").find("NameLost") != std::string::npos;
  }));
  auto& center = NSDistributedNotificationCenter::defaultCenter();
  std::vector<Heard> heard;
  int observer = 0;
  center.addObserver(&observer, recordInto(heard), Name, std::nullopt);

  const Dictionary sent = {
      {"show", true}, {"count", 7}, {"nested", Dictionary{{"list", Array{1, "a"}}}}};
  Dictionary withNull = sent;
  withNull.emplace("nothing", Value());
  ASSERT_TRUE(center.postNotificationName(Name, "com.kapsho.KapshoPref", withNull));

  const std::string body =
      "   string \"" + Name +
      "\"\n"
      "   string \"com.kapsho.KapshoPref\"\n"
      "   array [\n"
      "      dict entry(\n"
      "         string \"count\"\n"
      "         variant             int64 7\n"
      "      )\n"
      "      dict entry(\n"
      "         string \"nested\"\n"
      "         variant             array [\n"
      "               dict entry(\n"
      "                  string \"list\"\n"
      "                  variant                      array [\n"
      "                        variant                            int64 1\n"
      "                        variant                            string \"a\"\n"
      "                     ]\n"
      "               )\n"
      "            ]\n"
      "      )\n"
      "      dict entry(\n"
      "         string \"show\"\n"
      "         variant             boolean true\n"
      "      )\n"
      "   ]\n";
  EXPECT_TRUE(waitUntil([&] {
    return readFile(dir.file("monitor")).value_or("").ends_with("member=Notification\n" + body);
  })) << readFile(dir.file("monitor")).value_or("");
  ASSERT_TRUE(platform_tests::spinUntil([&] { return !heard.empty(); }));
  EXPECT_EQ(heard[0].notification.object, "com.kapsho.KapshoPref");
  EXPECT_EQ(Value(heard[0].notification.userInfo.value()), Value(sent));
  center.removeObserver(&observer);
}

}  // namespace
