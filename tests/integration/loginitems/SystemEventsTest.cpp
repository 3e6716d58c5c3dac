// System Events itself, started by the test: the answers and error numbers of its events, what
// it does with peers that stall or flood it, with a damaged or odd list, with many items, after a
// crash, and as the one instance of a session.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "loginitems/QZLoginItemRegistry.h"
#include "platform/carbon/AETransport.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
using namespace login_items_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr FourCharCode cLoginItem = fourCharCode("logi");
const std::string kServiceProgram = stagePath(
    "share/kapsho/System/Library/CoreServices/System Events.app/Contents/MacOS/System Events");

// Peak resident memory of a process since its peak was last reset, in KiB.
long peakResidentKiB(pid_t pid) {
  const auto status = readFile("/proc/" + std::to_string(pid) + "/status").value_or("");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

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
    service =
        std::make_unique<ChildProcess>(std::vector<std::string>{kServiceProgram},
                                       std::map<std::string, std::string>{}, "/dev/null", log());
    ASSERT_TRUE(platform::processAnswersEvents(service->pid(), 10s));
  }
  std::string log() const { return home.path() + "/service.err"; }
  size_t logged(const std::string& text) const {
    const std::string all = readFile(log()).value_or("");
    size_t count = 0;
    for (size_t at = 0; (at = all.find(text, at)) != std::string::npos; ++at) ++count;
    return count;
  }

  void event(AEEventID id, Desc& result) {
    Desc target;
    const ProcessSerialNumber psn{0, static_cast<UInt32>(service->pid())};
    ASSERT_EQ(AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &target), noErr);
    ASSERT_EQ(AECreateAppleEvent(kAECoreSuite, id, &target, kAutoGenerateReturnID,
                                 kAnyTransactionID, &result),
              noErr);
  }

  // The error number of the reply; 0 without one.
  SInt32 send(Desc& event, long ticks = 300, Desc* answer = nullptr) {
    Desc local;
    Desc& reply = answer ? *answer : local;
    EXPECT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, ticks), noErr);
    SInt32 number = 0;
    AEGetParamPtr(&reply.d, keyErrorNumber, typeSInt32, nullptr, &number, 4, nullptr);
    return number;
  }

  void putSpecifier(Desc& event, AEKeyword key, DescType keyType, FourCharCode keyValue,
                    Size keySize = 4) {
    Desc container, keyData, specifier;
    const FourCharCode padded[2] = {keyValue, keyValue};
    ASSERT_EQ(AECreateDesc(keyType, padded, keySize, &keyData), noErr);
    ASSERT_EQ(CreateObjSpecifier(cLoginItem, &container, formAbsolutePosition, &keyData, false,
                                 &specifier),
              noErr);
    ASSERT_EQ(AEPutParamDesc(&event, key, &specifier.d), noErr);
  }

  // A create-element event; each part can be spoiled by a test.
  void creation(Desc& result, const std::string& path, FourCharCode itemClass = cLoginItem,
                FourCharCode position = kAEEnd, DescType hiddenType = typeBoolean) {
    event(kAECreateElement, result);
    Desc properties, record, location;
    const UInt8 no = 0;
    ASSERT_EQ(AECreateList(nullptr, 0, true, &properties), noErr);
    ASSERT_EQ(AEPutKeyPtr(&properties, fourCharCode("ppth"), typeUTF8Text, path.data(),
                          static_cast<Size>(path.size())),
              noErr);
    ASSERT_EQ(AEPutKeyPtr(&properties, fourCharCode("hidn"), hiddenType, &no, 1), noErr);
    ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
    ASSERT_EQ(AEPutKeyPtr(&record, keyAEPosition, typeEnumerated, &position, 4), noErr);
    ASSERT_EQ(AEPutKeyDesc(&record, keyAEObject, &location.d), noErr);
    ASSERT_EQ(AECoerceDesc(&record.d, typeInsertionLoc, &location), noErr);
    ASSERT_EQ(AEPutParamPtr(&result, keyAEObjectClass, typeType, &itemClass, 4), noErr);
    ASSERT_EQ(AEPutParamDesc(&result, keyAEPropData, &properties.d), noErr);
    ASSERT_EQ(AEPutParamDesc(&result, keyAEInsertHere, &location.d), noErr);
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
  const std::string app = apps.path();
  Desc unknown, noProperties, wrongClass, atStart, badHidden, deleteEvery, deleteZero, oversized;
  event(fourCharCode("zzzz"), unknown);
  EXPECT_EQ(send(unknown), errAEEventNotHandled);
  event(kAECreateElement, noProperties);
  const FourCharCode itemClass = cLoginItem;
  AEPutParamPtr(&noProperties, keyAEObjectClass, typeType, &itemClass, 4);
  EXPECT_EQ(send(noProperties), errAEDescNotFound);
  creation(wrongClass, app, fourCharCode("cwin"));
  EXPECT_EQ(send(wrongClass), errAEEventNotHandled);
  creation(atStart, app, cLoginItem, fourCharCode("bgng"));
  EXPECT_EQ(send(atStart), errAEEventNotHandled);
  creation(badHidden, app, cLoginItem, kAEEnd, typeUTF8Text);
  EXPECT_EQ(send(badHidden), errAECoercionFail);
  event(kAEDelete, deleteEvery);
  putSpecifier(deleteEvery, keyDirectObject, typeAbsoluteOrdinal, kAEAll);
  EXPECT_EQ(send(deleteEvery), errAEEventNotHandled);
  event(kAEDelete, deleteZero);
  putSpecifier(deleteZero, keyDirectObject, typeSInt32, 0);
  EXPECT_EQ(send(deleteZero), errAENoSuchObject);
  event(kAEDelete, oversized);
  putSpecifier(oversized, keyDirectObject, typeAbsoluteOrdinal, kAEAll, 8);
  EXPECT_EQ(send(oversized), errAECoercionFail) << "an ordinal is read only at its size";
  EXPECT_TRUE(listedPaths().empty()) << "no failed event changed the list";
  Desc created, reply, item;
  creation(created, app);
  EXPECT_EQ(send(created, 300, std::addressof(reply)), 0);
  ASSERT_EQ(AEGetParamDesc(&reply.d, keyDirectObject, typeAERecord, &item), noErr);
  EXPECT_EQ(readAs<SInt32>(&item.d, keyAEKeyData, typeSInt32), 1) << "the new item is named";
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
  const long before = peakResidentKiB(service->pid());
  const int silent = peer();
  const int flooding = peer();
  constexpr size_t kClaimed = 32 << 20;
  size_t sent = 0;
  std::thread flood([&] {
    const std::string header = {static_cast<char>(kClaimed >> 24), 0, 0, 0};
    const std::string chunk(1 << 16, '\0');
    if (write(flooding, header.data(), 4) != 4) return;
    while (sent<kClaimed&& ::send(flooding, chunk.data(), chunk.size(), MSG_NOSIGNAL)> 0)
      sent += chunk.size();
  });
  for (int i = 0; i < 5; ++i) {
    Desc creation;
    this->creation(creation, apps.path());
    EXPECT_EQ(send(creation, 30), 0) << "half a second is enough, peers stalling or not";
  }
  flood.join();
  EXPECT_LT(sent, kClaimed) << "the service took an event far larger than any request";
  EXPECT_LT(peakResidentKiB(service->pid()) - before, 8 << 10);
  close(silent);
  close(flooding);
  EXPECT_EQ(listedPaths().size(), 5u);
}

TEST_F(SystemEvents, ADamagedListIsRebuiltFromTheAutostartEntries) {
  std::vector<std::string> paths;
  for (int i = 0; i < 5; ++i) {
    paths.push_back(fs::canonical(apps.path()).string() + "/ App\\" + std::to_string(i) + "\n");
    fs::create_directory(paths.back());
    ASSERT_EQ(addLoginItem(paths.back(), i % 2 == 1), noErr);
  }
  const std::string file = *platform::NSUserDefaults::pathForDomain("com.kapsho.loginitems");
  writeFile(file, "<plist><dict><key>LoginItems</key><array><dict>");
  CFArrayRef items = nullptr;
  ASSERT_EQ(LIAECopyLoginItems(&items), noErr);
  const platform::CFRef<CFArrayRef> owned(items);
  EXPECT_EQ(listedPaths(), paths);
  for (CFIndex i = 0; i < CFArrayGetCount(items); ++i) {
    const auto listed = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items, i));
    EXPECT_EQ(CFDictionaryGetValue(listed, CFSTR("Hidden")),
              i % 2 ? kCFBooleanTrue : kCFBooleanFalse);
  }
  EXPECT_EQ(readFile(file + ".corrupt"), "<plist><dict><key>LoginItems</key><array><dict>");
  EXPECT_EQ(logged("rebuilt 5 items from their autostart entries"), 1u);
  ASSERT_EQ(addLoginItem(apps.path()), noErr);
  EXPECT_EQ(storedItems().size(), 6u);
  for (unsigned long n = 1; n <= 6; ++n) EXPECT_TRUE(fs::exists(entryPath(n))) << n;
}

TEST_F(SystemEvents, ItemsWithoutAUsablePathAreSkippedButCanStillBeRemoved) {
  const std::string gone = apps.file("Gone.app");
  const std::string alpha = fs::canonical(apps.path()).string() + "/Alpha.app";
  fs::create_directory(alpha);
  storeItems({platform::Dictionary{{"Path", gone}}, platform::Dictionary{{"Path", 7}},
              platform::Dictionary{{"Path", alpha}, {"Hidden", true}},
              platform::Dictionary{{"Hidden", true}}});
  CFArrayRef items = nullptr;
  ASSERT_EQ(LIAECopyLoginItems(&items), noErr);
  const platform::CFRef<CFArrayRef> owned(items);
  ASSERT_EQ(CFArrayGetCount(items), 2);
  const auto first = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items, 0));
  EXPECT_EQ(platform::toNSURL(static_cast<CFURLRef>(CFDictionaryGetValue(first, CFSTR("URL"))))
                .absoluteString(),
            "file://" + gone)
      << "a path that names nothing is taken as it is, not as a folder";
  EXPECT_EQ(CFDictionaryGetValue(first, CFSTR("Hidden")), kCFBooleanFalse);
  EXPECT_EQ(logged("Login items 3 to 4 have no usable path and are not listed"), 1u);

  EXPECT_TRUE(QZLoginItemRegistry::removeLoginItemWithPath(alpha));
  EXPECT_EQ(storedItems(), (platform::Array{platform::Dictionary{{"Path", gone}, {"Entry", 1}},
                                            platform::Dictionary{{"Path", 7}, {"Entry", 2}},
                                            platform::Dictionary{{"Hidden", true}, {"Entry", 4}}}));
  EXPECT_EQ(LIAERemove(1), noErr) << "the first item no listing shows is at position 2";
  EXPECT_EQ(LIAERemove(1), noErr);
  EXPECT_EQ(storedItems(), (platform::Array{platform::Dictionary{{"Path", gone}, {"Entry", 1}}}));
}

TEST_F(SystemEvents, AChangeAmongAThousandItemsTouchesOnlyItsOwnEntry) {
  platform::Array items;
  std::map<unsigned long, ino_t> inodes;
  fs::create_directories(home.configHome() + "/autostart");
  for (unsigned long n = 1; n <= 1000; ++n) {
    platform::Dictionary item;
    item["Path"] = platform::Value(apps.file("App" + std::to_string(n)));
    item["Entry"] = platform::Value(static_cast<int>(n));
    items.emplace_back(std::move(item));
    writeFile(entryPath(n), "[Desktop Entry]\n");
    struct stat st {};
    ASSERT_EQ(stat(entryPath(n).c_str(), &st), 0);
    inodes[n] = st.st_ino;
  }
  storeItems(items);
  ASSERT_EQ(addLoginItem(apps.path()), noErr);
  ASSERT_EQ(LIAERemove(0), noErr);
  EXPECT_FALSE(fs::exists(entryPath(1)));
  EXPECT_NE(autostart(1001).find("X-Kapsho-Path=" + apps.path()), std::string::npos);
  for (unsigned long n = 2; n <= 1000; ++n) {
    struct stat st {};
    EXPECT_TRUE(stat(entryPath(n).c_str(), &st) == 0 && st.st_ino == inodes[n]) << n;
  }
  EXPECT_EQ(listedPaths().size(), 1000u);
}

TEST_F(SystemEvents, AfterACrashTheAutostartEntriesFollowTheListButKeepHandEdits) {
  std::vector<std::string> paths;
  for (const char* name : {"A", "B", "C", "D"}) {
    paths.push_back(fs::canonical(apps.path()).string() + "/" + name);
    fs::create_directory(paths.back());
  }
  for (int i = 0; i < 3; ++i) ASSERT_EQ(addLoginItem(paths[i]), noErr);
  const std::string disabled = autostart(2) + "Hidden=true\n";
  writeFile(entryPath(2), disabled);
  kill(service->pid(), SIGKILL);
  ASSERT_TRUE(service->wait());
  // The list as a crash leaves it between its own write and its entries': A removed, D added.
  storeItems({platform::Dictionary{{"Path", paths[1]}, {"Entry", 2}},
              platform::Dictionary{{"Path", paths[2]}, {"Entry", 3}},
              platform::Dictionary{{"Path", paths[3]}, {"Entry", 4}}});
  start();
  EXPECT_FALSE(fs::exists(entryPath(1)));
  EXPECT_EQ(autostart(2), disabled);
  EXPECT_NE(autostart(4).find("X-Kapsho-Path=" + paths[3] + "\n"), std::string::npos);
  EXPECT_EQ(listedPaths(), (std::vector<std::string>{paths[1], paths[2], paths[3]}));
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
  EXPECT_TRUE(listedPaths(&status).empty());
  EXPECT_EQ(status, noErr) << "a caller is served by an instance that replaced the stopped one";
  const auto ended = service->wait();
  EXPECT_TRUE(ended && WIFSIGNALED(*ended));
  const auto serving = systemEventsProcesses();
  ASSERT_EQ(serving.size(), 1u);
  const std::string socket = platform::eventSocketPath(serving[0]);
  EXPECT_TRUE(endProcess(serving[0]));
  EXPECT_NE(access(socket.c_str(), F_OK), 0) << "it takes its socket along";
}

}  // namespace
