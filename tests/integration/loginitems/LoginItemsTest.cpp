// Login items against the real System Events in a temporary home: through LoginItemsAE and the
// registry, which start it on first use, and through events of the test's own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ranges>
#include <thread>

#include "loginitems/QZLoginItemRegistry.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/unit/platform/carbon/CarbonTestSupport.h"

using namespace testing_support;
using namespace login_items_test;
using platform::Dictionary;
using platform::NSURL;
using Registry = QZLoginItemRegistry;
namespace fs = std::filesystem;

namespace {

constexpr FourCharCode cLoginItem = fourCharCode("logi");
const std::string kServiceProgram = stagePath(
    "share/kapsho/System/Library/CoreServices/System Events.app/Contents/MacOS/System Events");
using LoginItems = LoginItemsSession;

// Each client adds its items, then removes its first. Removals take turns: between a listing and
// a delete by position the list must not shift, which the registry leaves to its callers.
int runClient(const std::string& prefix, const std::string& turns) {
  for (int i = 0; i < 4; ++i)
    if (addLoginItem(prefix + std::to_string(i)) != noErr) return 1;
  const platform::FileLock turn(turns, std::chrono::seconds(60));
  const auto listed = listing();
  const auto first = std::find(listed.begin(), listed.end(), std::pair(prefix + "0", false));
  return first == listed.end() || LIAERemove(first - listed.begin()) != noErr ? 2 : 0;
}

TEST_F(LoginItems, TenClientsAtOnceStartOneServiceAndLoseNoChange) {
  EXPECT_EQ(addLoginItem(apps.file("Missing.app")), fnfErr);
  ASSERT_TRUE(systemEventsProcesses().empty()) << "adding what does not exist sends nothing";
  Listing expected;
  std::vector<pid_t> clients;
  for (int c = 0; c < 10; ++c) {
    const std::string prefix = folder("c" + std::to_string(c)) + "/";
    for (int i = 0; i < 4; ++i) {
      fs::create_directory(prefix + std::to_string(i));
      if (i > 0) expected.emplace_back(prefix + std::to_string(i), false);
    }
    if (clients.emplace_back(fork()) == 0) _exit(runClient(prefix, apps.file("turns")));
  }
  for (const pid_t client : clients) {
    int status = -1;
    ASSERT_EQ(waitpid(client, &status, 0), client);
    EXPECT_EQ(status, 0) << "every change of every client is acknowledged";
  }
  EXPECT_EQ(systemEventsProcesses().size(), 1u);
  auto listed = listing();
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
}

// System Events started by the test, which then sends it events of its own.
class SystemEvents : public LoginItemsSession {
 protected:
  void SetUp() override {
    LoginItemsSession::SetUp();
    service.emplace(std::vector{kServiceProgram}, std::map<std::string, std::string>{}, "/dev/null",
                    home.path() + "/service.err");
    ASSERT_TRUE(platform::processAnswersEvents(service->pid(), std::chrono::seconds(10)));
  }
  void TearDown() override {
    service.reset();
    LoginItemsSession::TearDown();
  }

  // How often the service logged the text.
  long logged(const std::string& text) const {
    const std::string all = readFile(home.path() + "/service.err").value_or("");
    return std::ranges::distance(std::views::split(all, text)) - 1;
  }
  // A create-element event, each part of which a test can spoil; the reply's error number.
  SInt32 create(FourCharCode itemClass = cLoginItem, FourCharCode position = kAEEnd,
                long ticks = 300, bool hiddenFlag = true) {
    Desc event, properties, record, location, reply;
    const UInt8 no = 0;
    AECreateList(nullptr, 0, true, &properties);
    AEPutKeyPtr(&properties, fourCharCode("ppth"), typeUTF8Text, "/", 1);
    if (hiddenFlag) AEPutKeyPtr(&properties, fourCharCode("hidn"), typeBoolean, &no, 1);
    AECreateList(nullptr, 0, true, &record);
    AEPutKeyPtr(&record, keyAEPosition, typeEnumerated, &position, 4);
    AEPutKeyDesc(&record, keyAEObject, &location.d);
    AECoerceDesc(&record.d, typeInsertionLoc, &location);
    makeEvent(service->pid(), kAECreateElement, &event);
    AEPutParamPtr(&event, keyAEObjectClass, typeType, &itemClass, 4);
    AEPutParamDesc(&event, keyAEPropData, &properties.d);
    AEPutParamDesc(&event, keyAEInsertHere, &location.d);
    SInt32 error = 0;
    EXPECT_EQ(AESendMessage(&event.d, &reply.d, kAEWaitReply, ticks), noErr);
    AEGetParamPtr(&reply.d, keyErrorNumber, typeSInt32, nullptr, &error, sizeof error, nullptr);
    return error;
  }
  static void storeItems(const platform::Array& items) {
    ASSERT_TRUE(platform::NSUserDefaults::setPersistentDomain({{"LoginItems", items}},
                                                              "com.kapsho.loginitems"));
  }

  std::optional<ChildProcess> service;
};

TEST_F(SystemEvents, KeepsAnyPathWholeRebuildsADamagedListAndServesOnTimeWhilePeersStallOrFlood) {
  // Events LoginItemsAE never sends are refused.
  EXPECT_EQ(create(fourCharCode("cwin")), errAEEventNotHandled) << "another class";
  EXPECT_EQ(create(cLoginItem, fourCharCode("bgng")), errAEEventNotHandled) << "at the start";

  // Paths of any kind go through the registry and come back whole, in the list and its mirror.
  const std::string alpha = folder("Alpha.app"), beta = folder("Beta.app");
  ASSERT_TRUE(Registry::addLoginItemWithPath(beta, false));
  const auto workingFolder = fs::current_path();
  fs::current_path(apps.path());
  ASSERT_TRUE(Registry::addLoginItemWithPath("Alpha.app", false))
      << "relative to the working folder";
  fs::current_path(workingFolder);
  ASSERT_EQ(addLoginItem(alpha, true), noErr) << "a path listed already is added all the same";
  // Longer than the first buffer a listing reads a path into.
  const std::string deep = std::string(200, 'd') + "/";
  const std::string snowman =
      folder(deep + deep + deep + deep + deep + "Snow\xE2\x98\x83\xF0\x9D\x84\x9E.app");
  const std::string parent = fs::canonical(apps.path()).string();
  const std::string odd = folder(" a b $x\"q%\x01\r\n.txt"), carriageReturn = folder("cr\r");
  for (const auto& path : {snowman, odd, carriageReturn})
    ASSERT_TRUE(Registry::addLoginItemWithPath(path, false)) << path;
  const std::string file = *platform::NSUserDefaults::pathForDomain("com.kapsho.loginitems");
  EXPECT_EQ(readFile(file)->find_first_of("\x01\r"), std::string::npos)
      << "what XML text cannot hold is stored as data";
  EXPECT_NE(autostart(5).find("\nName=\\sa b $x\"q%\x01\\r\\n.txt\nExec=xdg-open \"" + parent +
                              "/ a b \\\\$x\\\\\"q%%\x01\\r\\n.txt\"\n"),
            std::string::npos)
      << autostart(5);

  fs::create_directory_symlink(alpha, apps.file("Link.app"));
  EXPECT_EQ(Registry::indexForLoginItemWithPath(apps.file("Link.app")), 1);
  EXPECT_EQ(Registry::indexForLoginItemWithPath(alpha + "/"), 1);
  StderrCapture log;
  EXPECT_TRUE(Registry::removeLoginItemWithPath(apps.file("Link.app"))) << "the first of two";
  EXPECT_TRUE(Registry::removeLoginItemWithURL(NSURL::fileURLWithPath(beta)));
  EXPECT_EQ(listing(),
            (Listing{{alpha, true}, {snowman, false}, {odd, false}, {carriageReturn, false}}));
  EXPECT_FALSE(Registry::removeLoginItemAtIndex(4));
  EXPECT_FALSE(Registry::addLoginItemWithPath(apps.file("Missing.app"), false));
  const std::string lines = log.text();
  EXPECT_NE(lines.find("Couldn't remove login intem error -1728"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Couldn't add login item error -43"), std::string::npos) << lines;

  // A damaged list is set aside and rebuilt from the entries; a removal deletes only its entry.
  const std::string damaged = "<plist><dict><key>LoginItems</key><array><dict>";
  writeFile(file, damaged);
  EXPECT_EQ(listing(),
            (Listing{{alpha, true}, {snowman, false}, {odd, false}, {carriageReturn, false}}));
  EXPECT_EQ(readFile(file + ".corrupt"), damaged);
  EXPECT_EQ(logged("rebuilt 4 items from their autostart entries"), 1u);
  ASSERT_EQ(LIAERemove(0), noErr);
  EXPECT_FALSE(fs::exists(entryPath(3)));
  for (unsigned long n = 4; n <= 6; ++n) EXPECT_TRUE(fs::exists(entryPath(n))) << n;

  // Items without a usable path are not listed, yet positions after the listed ones reach them.
  const std::string gone = apps.file("Gone.app");
  ASSERT_NO_FATAL_FAILURE(
      storeItems({Dictionary{{"Path", gone}}, Dictionary{{"Path", 7}},
                  Dictionary{{"Path", alpha}, {"Hidden", true}}, Dictionary{{"Hidden", true}}}));
  EXPECT_EQ(listing(), (Listing{{gone, false}, {alpha, true}}));
  EXPECT_EQ(logged("Login items 3 to 4 have no usable path and are not listed"), 1u);
  EXPECT_TRUE(Registry::removeLoginItemWithPath(alpha));
  EXPECT_EQ(LIAERemove(1), noErr) << "the first item no listing shows is at position 2";
  EXPECT_EQ(LIAERemove(1), noErr);
  EXPECT_EQ(listing(), (Listing{{gone, false}}));
  EXPECT_FALSE(fs::exists(entryPath(4))) << "the stored items were numbered 1 to 4 in order";

  // A peer that never sends and one that floods delay no one, and the service's memory stays
  // bounded.
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
    std::string chunk(1 << 16, '\0');
    chunk[0] = static_cast<char>(kClaimed >> 24);
    while (sent < kClaimed && (::send(flooding, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0))
      sent += chunk.size();
  });
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(create(cLoginItem, kAEEnd, 30, i % 2 == 0), 0)
        << "half a second is enough, peers stalling or not; the hidden flag may be left out";
  flood.join();
  EXPECT_LT(sent, kClaimed) << "the service took an event far larger than any request";
  EXPECT_LT(processMemoryKiB(service->pid(), "VmHWM").value_or(-1) - before, 8 << 10);
  for (const int fd : {silent, flooding}) close(fd);
}

TEST_F(SystemEvents, OneInstanceServesTheSessionAndAStoppedOneIsReplacedByOneThatMendsTheMirror) {
  EXPECT_EQ(ChildProcess({kServiceProgram}).wait(), 0) << "one started late leaves at once";
  EXPECT_EQ(systemEventsProcesses(), std::vector<pid_t>{service->pid()});
  EXPECT_EQ(fs::status(home.runtimeDir() + "/kapsho").permissions(), fs::perms::owner_all)
      << "the sockets' folder is the user's alone";

  // A stopped instance is replaced by the next caller's; the new one mends the mirror of a list
  // that a crash left ahead of it, keeping an entry edited by hand.
  const std::string a = folder("A"), b = folder("B"), c = folder("C"), d = folder("D");
  for (const auto& path : {a, b, c}) ASSERT_EQ(addLoginItem(path), noErr);
  const std::string disabled = autostart(2) + "Hidden=true\n";
  writeFile(entryPath(2), disabled);
  ASSERT_TRUE(stopProcess(service->pid()));
  // The list as a crash leaves it between its own write and its entries': A removed, D added.
  ASSERT_NO_FATAL_FAILURE(
      storeItems({Dictionary{{"Path", b}, {"Entry", 2}}, Dictionary{{"Path", c}, {"Entry", 3}},
                  Dictionary{{"Path", d}, {"Entry", 4}}}));
  EXPECT_EQ(listing(), (Listing{{b, false}, {c, false}, {d, false}}))
      << "a caller is served by an instance that replaced the stopped one";
  EXPECT_TRUE(WIFSIGNALED(service->wait().value_or(0)));
  EXPECT_FALSE(fs::exists(platform::eventSocketPath(service->pid()))) << "its socket is cleared";
  EXPECT_FALSE(fs::exists(entryPath(1)));
  EXPECT_EQ(autostart(2), disabled);
  EXPECT_NE(autostart(4).find("X-Kapsho-Path=" + d + "\n"), std::string::npos);
  const pid_t serving = systemEventsProcesses().at(0);
  EXPECT_TRUE(endProcess(serving));
  EXPECT_FALSE(fs::exists(platform::eventSocketPath(serving))) << "it takes its socket along";
}

}  // namespace
