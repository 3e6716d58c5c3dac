// System Events itself, started by the test: the answers and error numbers of its events, what
// it does with peers that stall or flood it, with a damaged or odd list, with many items, after a
// crash, and as the one instance of a session.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "loginitems/QZLoginItemRegistry.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
using namespace login_items_test;
using namespace std::chrono_literals;
using platform::Dictionary;
namespace fs = std::filesystem;

namespace {

constexpr FourCharCode cLoginItem = fourCharCode("logi");
const std::string kServiceProgram = stagePath(
    "share/kapsho/System/Library/CoreServices/System Events.app/Contents/MacOS/System Events");

class SystemEvents : public LoginItemsSession {
 protected:
  void SetUp() override {
    LoginItemsSession::SetUp();
    start();
  }
  void TearDown() override {
    service.reset();
    LoginItemsSession::TearDown();
  }

  void start() {
    service = std::make_unique<ChildProcess>(std::vector<std::string>{kServiceProgram},
                                             std::map<std::string, std::string>{}, "/dev/null",
                                             home.path() + "/service.err");
    ASSERT_TRUE(platform::processAnswersEvents(service->pid(), 10s));
  }
  size_t logged(const std::string& text) const {
    const std::string all = readFile(home.path() + "/service.err").value_or("");
    size_t count = 0;
    for (size_t at = 0; (at = all.find(text, at)) != std::string::npos; ++at) ++count;
    return count;
  }

  // A new event of the id to the service.
  AppleEvent* event(AEEventID id, Desc& result) {
    EXPECT_EQ(makeEvent(service->pid(), id, &result), noErr);
    return &result;
  }
  // Sends the event; the error number of its reply, 0 without one.
  SInt32 send(Desc& event, long ticks = 300, Desc* answer = nullptr) {
    Desc local;
    Desc& reply = answer ? *answer : local;
    EXPECT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, ticks), noErr);
    return readAs<SInt32>(&reply.d, keyErrorNumber, typeSInt32);
  }
  // Sends a delete event of the login item that keyData names; the reply's error number.
  SInt32 remove(DescType keyType, FourCharCode keyData) {
    Desc deletion, container, key, specifier;
    EXPECT_EQ(AECreateDesc(keyType, &keyData, 4, &key), noErr);
    EXPECT_EQ(
        CreateObjSpecifier(cLoginItem, &container, formAbsolutePosition, &key, false, &specifier),
        noErr);
    EXPECT_EQ(AEPutParamDesc(event(kAEDelete, deletion), keyDirectObject, &specifier.d), noErr);
    return send(deletion);
  }
  // Sends a create-element event, each part of which a test can spoil; the reply's error number.
  SInt32 create(FourCharCode itemClass = cLoginItem, FourCharCode position = kAEEnd,
                DescType hiddenType = typeBoolean, long ticks = 300, Desc* reply = nullptr) {
    Desc creation, properties, record, location;
    const std::string path = apps.path();
    const UInt8 no = 0;
    EXPECT_EQ(AECreateList(nullptr, 0, true, &properties), noErr);
    EXPECT_EQ(AEPutKeyPtr(&properties, fourCharCode("ppth"), typeUTF8Text, path.data(),
                          static_cast<Size>(path.size())),
              noErr);
    EXPECT_EQ(AEPutKeyPtr(&properties, fourCharCode("hidn"), hiddenType, &no, 1), noErr);
    EXPECT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
    EXPECT_EQ(AEPutKeyPtr(&record, keyAEPosition, typeEnumerated, &position, 4), noErr);
    EXPECT_EQ(AEPutKeyDesc(&record, keyAEObject, &location.d), noErr);
    EXPECT_EQ(AECoerceDesc(&record.d, typeInsertionLoc, &location), noErr);
    event(kAECreateElement, creation);
    EXPECT_EQ(AEPutParamPtr(&creation, keyAEObjectClass, typeType, &itemClass, 4), noErr);
    EXPECT_EQ(AEPutParamDesc(&creation, keyAEPropData, &properties.d), noErr);
    EXPECT_EQ(AEPutParamDesc(&creation, keyAEInsertHere, &location.d), noErr);
    return send(creation, ticks, reply);
  }

  static void storeItems(const platform::Array& items) {
    ASSERT_TRUE(platform::NSUserDefaults::setPersistentDomain({{"LoginItems", items}},
                                                              "com.kapsho.loginitems"));
  }
  static platform::Array storedItems() {
    const auto domain = platform::NSUserDefaults::persistentDomainForName("com.kapsho.loginitems");
    return domain ? *domain->at("LoginItems").array() : platform::Array{};
  }

  std::unique_ptr<ChildProcess> service;
};

TEST_F(SystemEvents, ParameterAndEventErrorsComeBackAsTheirNumbers) {
  Desc unknown, noProperties, reply, item;
  event(fourCharCode("zzzz"), unknown);
  EXPECT_EQ(send(unknown), errAEEventNotHandled);
  AEPutParamPtr(event(kAECreateElement, noProperties), keyAEObjectClass, typeType, &cLoginItem, 4);
  EXPECT_EQ(send(noProperties), errAEDescNotFound);
  EXPECT_EQ(create(fourCharCode("cwin")), errAEEventNotHandled) << "another class";
  EXPECT_EQ(create(cLoginItem, fourCharCode("bgng")), errAEEventNotHandled) << "at the start";
  EXPECT_EQ(create(cLoginItem, kAEEnd, typeUTF8Text), errAECoercionFail) << "hidden as text";
  EXPECT_EQ(remove(typeAbsoluteOrdinal, kAEAll), errAEEventNotHandled) << "every item";
  EXPECT_EQ(remove(typeSInt32, 0), errAENoSuchObject);
  EXPECT_EQ(listing(), Listing{}) << "no failed event changed the list";
  EXPECT_EQ(create(cLoginItem, kAEEnd, typeBoolean, 300, std::addressof(reply)), 0);
  ASSERT_EQ(AEGetParamDesc(&reply.d, keyDirectObject, typeAERecord, &item), noErr);
  EXPECT_EQ(readAs<SInt32>(&item.d, keyAEKeyData, typeSInt32), 1) << "the new item is named";
  EXPECT_EQ(remove(typeSInt32, 2), errAENoSuchObject) << "past the end";
}

TEST_F(SystemEvents, PeersThatStallOrFloodDelayNoOneAndMemoryStaysBounded) {
  const auto peer = [&] {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, platform::eventSocketPath(service->pid()).c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
  };
  writeFile("/proc/" + std::to_string(service->pid()) + "/clear_refs", "5");
  const long before = processMemoryKiB(service->pid(), "VmHWM").value_or(-1);
  const int silent = peer(), flooding = peer();
  constexpr size_t kClaimed = 32 << 20;
  size_t sent = 0;
  std::thread flood([&] {
    const std::string header = {static_cast<char>(kClaimed >> 24), 0, 0, 0};
    const std::string chunk(1 << 16, '\0');
    if (write(flooding, header.data(), 4) != 4) return;
    while (sent<kClaimed&& ::send(flooding, chunk.data(), chunk.size(), MSG_NOSIGNAL)> 0)
      sent += chunk.size();
  });
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(create(cLoginItem, kAEEnd, typeBoolean, 30), 0)
        << "half a second is enough, peers stalling or not";
  flood.join();
  EXPECT_LT(sent, kClaimed) << "the service took an event far larger than any request";
  EXPECT_LT(processMemoryKiB(service->pid(), "VmHWM").value_or(-1) - before, 8 << 10);
  close(silent);
  close(flooding);
  EXPECT_EQ(listing().size(), 5u);
}

TEST_F(SystemEvents, ADamagedListIsRebuiltFromTheAutostartEntriesAndAnUnreadableOneIsLeftAlone) {
  Listing items;
  for (int i = 0; i < 5; ++i) {
    items.emplace_back(folder(" App\\" + std::to_string(i) + "\n"), i % 2 == 1);
    ASSERT_EQ(addLoginItem(items.back().first, items.back().second), noErr);
  }
  const std::string file = *platform::NSUserDefaults::pathForDomain("com.kapsho.loginitems");
  const std::string damaged = "<plist><dict><key>LoginItems</key><array><dict>";
  writeFile(file, damaged);
  EXPECT_EQ(listing(), items);
  EXPECT_EQ(readFile(file + ".corrupt"), damaged);
  EXPECT_EQ(logged("rebuilt 5 items from their autostart entries"), 1u);
  ASSERT_EQ(addLoginItem(apps.path()), noErr);
  EXPECT_EQ(storedItems().size(), 6u);
  for (unsigned long n = 1; n <= 6; ++n) EXPECT_TRUE(fs::exists(entryPath(n))) << n;

  fs::remove(file);
  fs::create_directory(file);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(QZLoginItemRegistry::removeLoginItemWithPath(apps.path()));
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Couldn't list login items error -36"), std::string::npos) << log;
  EXPECT_EQ(log.find("remove"), std::string::npos) << "no delete was sent";
  EXPECT_TRUE(fs::is_directory(file)) << "nothing is written over a list that cannot be read";
}

TEST_F(SystemEvents, ItemsWithoutAUsablePathAreSkippedButCanStillBeRemoved) {
  const std::string gone = apps.file("Gone.app"), alpha = folder("Alpha.app");
  storeItems({Dictionary{{"Path", gone}}, Dictionary{{"Path", 7}},
              Dictionary{{"Path", alpha}, {"Hidden", true}}, Dictionary{{"Hidden", true}}});
  EXPECT_EQ(listing(), (Listing{{gone, false}, {alpha, true}}));
  EXPECT_EQ(logged("Login items 3 to 4 have no usable path and are not listed"), 1u);
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath(apps.path() + "/x/../Gone.app"), 0)
      << "a path that names nothing is compared in its normal form";

  EXPECT_TRUE(QZLoginItemRegistry::removeLoginItemWithPath(alpha));
  EXPECT_EQ(storedItems(), (platform::Array{Dictionary{{"Path", gone}, {"Entry", 1}},
                                            Dictionary{{"Path", 7}, {"Entry", 2}},
                                            Dictionary{{"Hidden", true}, {"Entry", 4}}}));
  EXPECT_EQ(LIAERemove(1), noErr) << "the first item no listing shows is at position 2";
  EXPECT_EQ(LIAERemove(1), noErr);
  EXPECT_EQ(storedItems(), (platform::Array{Dictionary{{"Path", gone}, {"Entry", 1}}}));
}

TEST_F(SystemEvents, AChangeAmongAThousandItemsTouchesOnlyItsOwnEntry) {
  platform::Array items;
  fs::create_directories(home.configHome() + "/autostart");
  for (unsigned long n = 1; n <= 1000; ++n) {
    items.emplace_back(
        Dictionary{{"Path", apps.file("App" + std::to_string(n))}, {"Entry", static_cast<int>(n)}});
    writeFile(entryPath(n), "[Desktop Entry]\n");
  }
  storeItems(items);
  ASSERT_EQ(addLoginItem(apps.path()), noErr);
  ASSERT_EQ(LIAERemove(0), noErr);
  EXPECT_FALSE(fs::exists(entryPath(1)));
  EXPECT_NE(autostart(1001).find("X-Kapsho-Path=" + apps.path()), std::string::npos);
  for (unsigned long n = 2; n <= 1000; ++n) EXPECT_EQ(autostart(n), "[Desktop Entry]\n") << n;
  EXPECT_EQ(listing().size(), 1000u);
}

TEST_F(SystemEvents, AfterACrashTheAutostartEntriesFollowTheListButKeepHandEdits) {
  const std::string a = folder("A"), b = folder("B"), c = folder("C"), d = folder("D");
  for (const auto& path : {a, b, c}) ASSERT_EQ(addLoginItem(path), noErr);
  const std::string disabled = autostart(2) + "Hidden=true\n";
  writeFile(entryPath(2), disabled);
  kill(service->pid(), SIGKILL);
  ASSERT_TRUE(service->wait());
  // The list as a crash leaves it between its own write and its entries': A removed, D added.
  storeItems({Dictionary{{"Path", b}, {"Entry", 2}}, Dictionary{{"Path", c}, {"Entry", 3}},
              Dictionary{{"Path", d}, {"Entry", 4}}});
  start();
  EXPECT_FALSE(fs::exists(entryPath(1)));
  EXPECT_EQ(autostart(2), disabled);
  EXPECT_NE(autostart(4).find("X-Kapsho-Path=" + d + "\n"), std::string::npos);
  EXPECT_EQ(listing(), (Listing{{b, false}, {c, false}, {d, false}}));
}

TEST_F(SystemEvents, OneInstanceServesTheSessionAndAStoppedOneIsReplaced) {
  std::vector<std::unique_ptr<ChildProcess>> late;
  for (int i = 0; i < 3; ++i)
    late.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{kServiceProgram}));
  for (auto& instance : late) {
    const auto status = instance->wait();
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  }
  EXPECT_EQ(systemEventsProcesses(), std::vector<pid_t>{service->pid()});

  ASSERT_TRUE(stopProcess(service->pid()));
  OSStatus status = procNotFound;
  EXPECT_EQ(listing(&status), Listing{});
  EXPECT_EQ(status, noErr) << "a caller is served by an instance that replaced the stopped one";
  const auto ended = service->wait();
  EXPECT_TRUE(ended && WIFSIGNALED(*ended));
  EXPECT_FALSE(fs::exists(platform::eventSocketPath(service->pid()))) << "its socket is cleared";
  const auto serving = systemEventsProcesses();
  ASSERT_EQ(serving.size(), 1u);
  const std::string socket = platform::eventSocketPath(serving[0]);
  EXPECT_TRUE(endProcess(serving[0]));
  EXPECT_FALSE(fs::exists(socket)) << "it takes its socket along";
}

}  // namespace
