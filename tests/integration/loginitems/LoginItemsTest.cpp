// LoginItemsAE and QZLoginItemRegistry against the real System Events, started on first use in a
// temporary home.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "loginitems/LoginItemsAE/LoginItemsAE.h"
#include "loginitems/QZLoginItemRegistry.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"

using namespace testing_support;
using namespace login_items_test;
using platform::CFRef;
namespace fs = std::filesystem;

namespace {

class LoginItems : public ::testing::Test {
 protected:
  void SetUp() override {
    becomeSubreaper();
    makeBundle("Alpha.app", "Alpha");
    makeBundle("Beta.app", "");
  }
  void TearDown() override {
    for (pid_t pid : systemEventsProcesses()) EXPECT_TRUE(endProcess(pid));
  }

  // An application folder; with an executable name it has that executable.
  void makeBundle(const std::string& name, const std::string& executable) {
    const std::string contents = apps.file(name) + "/Contents";
    fs::create_directories(contents + "/MacOS");
    writeFile(contents + "/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
              "<string>" +
                  executable + "</string></dict></plist>");
    if (executable.empty()) return;
    writeFile(contents + "/MacOS/" + executable, "#!/bin/sh\n");
    fs::permissions(contents + "/MacOS/" + executable, fs::perms::owner_all);
  }

  std::string path(const std::string& name) { return fs::canonical(apps.file(name)).string(); }

  CFRef<CFArrayRef> list(OSStatus expected = noErr) {
    CFArrayRef items = nullptr;
    EXPECT_EQ(LIAECopyLoginItems(&items), expected);
    return CFRef<CFArrayRef>(items);
  }

  static CFDictionaryRef entry(const CFRef<CFArrayRef>& items, CFIndex i) {
    return static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items.get(), i));
  }
  static std::string urlText(const CFRef<CFArrayRef>& items, CFIndex i) {
    return platform::toNSURL(
               static_cast<CFURLRef>(CFDictionaryGetValue(entry(items, i), CFSTR("URL"))))
        .absoluteString();
  }
  static bool hidden(const CFRef<CFArrayRef>& items, CFIndex i) {
    return CFBooleanGetValue(
        static_cast<CFBooleanRef>(CFDictionaryGetValue(entry(items, i), CFSTR("Hidden"))));
  }

  std::string autostart(int n) {
    return readFile(home.configHome() + "/autostart/kapsho-login-item-" + std::to_string(n) +
                    ".desktop")
        .value_or("");
  }

  void storeItems(const platform::Array& items) {
    ASSERT_TRUE(platform::NSUserDefaults::setPersistentDomain({{"LoginItems", items}},
                                                              "com.kapsho.loginitems"));
  }

  TempHome home;
  ScopedEnv systemRoot{"KAPSHO_SYSTEM_ROOT", stagePath("share/kapsho")};
  TempDir apps;
};

TEST_F(LoginItems, TheFirstCallStartsSystemEventsAndLaterCallsFindIt) {
  ASSERT_TRUE(systemEventsProcesses().empty());
  const auto first = list();
  ASSERT_TRUE(first);
  EXPECT_EQ(CFArrayGetCount(first.get()), 0);
  const auto started = systemEventsProcesses();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_TRUE(list());
  EXPECT_EQ(systemEventsProcesses(), started);
}

TEST_F(LoginItems, AddedItemsAreListedInOrderAndRemovedByPosition) {
  const CFRef<CFURLRef> alpha(
      CFBridgingRetain(platform::NSURL::fileURLWithPath(path("Alpha.app"))));
  const CFRef<CFURLRef> beta(CFBridgingRetain(platform::NSURL::fileURLWithPath(path("Beta.app"))));
  ASSERT_EQ(LIAEAddURLAtEnd(alpha.get(), true), noErr);
  ASSERT_EQ(LIAEAddURLAtEnd(beta.get(), false), noErr);
  auto items = list();
  ASSERT_EQ(CFArrayGetCount(items.get()), 2);
  EXPECT_EQ(CFDictionaryGetCount(entry(items, 0)), 2);
  EXPECT_EQ(urlText(items, 0), "file://" + path("Alpha.app") + "/");
  EXPECT_TRUE(hidden(items, 0));
  EXPECT_EQ(urlText(items, 1), "file://" + path("Beta.app") + "/");
  EXPECT_FALSE(hidden(items, 1));

  EXPECT_NE(autostart(1).find("Exec=\"" + path("Alpha.app") + "/Contents/MacOS/Alpha\"\n"),
            std::string::npos)
      << autostart(1);
  EXPECT_NE(autostart(1).find("X-Kapsho-Hidden=true"), std::string::npos);
  EXPECT_NE(autostart(2).find("Exec=xdg-open \"" + path("Beta.app") + "\"\n"), std::string::npos)
      << autostart(2);

  ASSERT_EQ(LIAERemove(0), noErr);
  items = list();
  ASSERT_EQ(CFArrayGetCount(items.get()), 1);
  EXPECT_EQ(urlText(items, 0), "file://" + path("Beta.app") + "/");
  EXPECT_NE(autostart(1).find("xdg-open"), std::string::npos);
  EXPECT_EQ(autostart(2), "");
  EXPECT_EQ(LIAERemove(1), errAENoSuchObject);
}

TEST_F(LoginItems, StoredItemsAreListedAsTheyAreAndLongPathsWhole) {
  std::string longPath = apps.path();
  while (longPath.size() < 1100) longPath += "/" + std::string(100, 'p');
  longPath += "/Long.app";
  fs::create_directories(longPath);
  const std::string gone = apps.file("Gone.app");
  storeItems({platform::Dictionary{{"Path", gone}},
              platform::Dictionary{{"Path", longPath}, {"Hidden", true}},
              platform::Dictionary{{"Path", path("Alpha.app")}, {"Hidden", false}}});
  const auto items = list();
  ASSERT_EQ(CFArrayGetCount(items.get()), 3);
  EXPECT_EQ(urlText(items, 0), "file://" + gone) << "not a directory, from the path's bytes";
  EXPECT_FALSE(hidden(items, 0)) << "no 'hidn' reads as not hidden";
  EXPECT_EQ(
      platform::toNSURL(static_cast<CFURLRef>(CFDictionaryGetValue(entry(items, 1), CFSTR("URL"))))
          .path(),
      fs::canonical(longPath).string());
  EXPECT_TRUE(hidden(items, 1));
  EXPECT_FALSE(hidden(items, 2));
}

TEST_F(LoginItems, AnItemWithoutAPathFailsTheWholeListing) {
  storeItems(
      {platform::Dictionary{{"Path", path("Alpha.app")}}, platform::Dictionary{{"Hidden", true}}});
  EXPECT_FALSE(list(errAEDescNotFound));

  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(QZLoginItemRegistry::allLoginItems());
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath(path("Alpha.app")), -1);
  EXPECT_FALSE(QZLoginItemRegistry::removeLoginItemWithPath(path("Alpha.app")));
  const std::string log = ::testing::internal::GetCapturedStderr();
  size_t lines = 0;
  for (size_t at = 0;
       (at = log.find("Couldn't list login items error -1701", at)) != std::string::npos; ++at)
    ++lines;
  EXPECT_EQ(lines, 3u) << log;
  EXPECT_EQ(log.find("remove"), std::string::npos) << "no delete was sent";
}

TEST_F(LoginItems, TheRegistryFindsEntriesByPathAndURLAndRemovesTheFirst) {
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(path("Beta.app"), false));
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(path("Alpha.app"), false));
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(path("Alpha.app"), true))
      << "an existing path is added all the same";
  fs::create_directory_symlink(apps.file("Alpha.app"), apps.file("Link.app"));

  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath(path("Alpha.app")), 1);
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath(apps.file("Link.app")), 1);
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath(path("Alpha.app") + "/"), 1);
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithURL(
                platform::NSURL::fileURLWithPath(path("Beta.app"))),
            0);

  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(QZLoginItemRegistry::removeLoginItemWithPath(apps.file("Link.app")));
  EXPECT_FALSE(QZLoginItemRegistry::removeLoginItemWithPath(apps.file("Nowhere.app")));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "a path not listed logs nothing";
  const auto items = QZLoginItemRegistry::allLoginItems();
  ASSERT_EQ(CFArrayGetCount(items.get()), 2);
  EXPECT_TRUE(hidden(items, 1)) << "only the first of the two entries was removed";

  EXPECT_TRUE(QZLoginItemRegistry::removeLoginItemWithURL(
      platform::NSURL::fileURLWithPath(path("Beta.app"))));
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath(path("Beta.app")), -1);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(QZLoginItemRegistry::removeLoginItemAtIndex(7));
  EXPECT_NE(
      ::testing::internal::GetCapturedStderr().find("Couldn't remove login intem error -1728"),
      std::string::npos);
}

TEST_F(LoginItems, AutostartEntriesQuoteWhatTheExecLineReserves) {
  const std::string odd = apps.file("a b $x\"q%.txt");
  writeFile(odd, "");
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(odd, false));
  const std::string quoted = fs::canonical(apps.path()).string() + "/a b \\\\$x\\\\\"q%%.txt";
  EXPECT_NE(autostart(1).find("Exec=xdg-open \"" + quoted + "\"\n"), std::string::npos)
      << autostart(1);
}

TEST_F(LoginItems, AddingAPathThatDoesNotExistSendsNothing) {
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(QZLoginItemRegistry::addLoginItemWithPath(apps.file("Missing.app"), false));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("Couldn't add login item error -43"),
            std::string::npos);
  EXPECT_TRUE(systemEventsProcesses().empty()) << "System Events was never asked";
}

TEST_F(LoginItems, APathLongerThanAClassicBufferIsAddedWhole) {
  std::string longPath = apps.path();
  while (longPath.size() < 1500) longPath += "/" + std::string(120, 'q');
  longPath += "/Deep.app";
  fs::create_directories(longPath);
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(longPath, false));
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath(longPath), 0);
  const auto stored = platform::NSUserDefaults::persistentDomainForName("com.kapsho.loginitems");
  ASSERT_TRUE(stored);
  const auto& item = *stored->at("LoginItems").array()->at(0).dictionary();
  EXPECT_EQ(*item.at("Path").string(), fs::canonical(longPath).string());
  EXPECT_NE(autostart(1).find(fs::canonical(longPath).string()), std::string::npos);
}

}  // namespace
