// LoginItemsAE and QZLoginItemRegistry against the real System Events, started on first use in a
// temporary home.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "loginitems/QZLoginItemRegistry.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"

using namespace testing_support;
using namespace login_items_test;
using platform::CFRef;
namespace fs = std::filesystem;

namespace {

class LoginItems : public LoginItemsSession {
 protected:
  void SetUp() override {
    LoginItemsSession::SetUp();
    makeBundle("Alpha.app", "Alpha");
    makeBundle("Beta.app", "");
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

  CFRef<CFArrayRef> list() {
    CFArrayRef items = nullptr;
    EXPECT_EQ(LIAECopyLoginItems(&items), noErr);
    return CFRef<CFArrayRef>(items);
  }

  static std::string urlText(const CFRef<CFArrayRef>& items, CFIndex i) {
    const auto entry = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items.get(), i));
    return platform::toNSURL(static_cast<CFURLRef>(CFDictionaryGetValue(entry, CFSTR("URL"))))
        .absoluteString();
  }
  static bool hidden(const CFRef<CFArrayRef>& items, CFIndex i) {
    const auto entry = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items.get(), i));
    return CFBooleanGetValue(
        static_cast<CFBooleanRef>(CFDictionaryGetValue(entry, CFSTR("Hidden"))));
  }
};

TEST_F(LoginItems, TheFirstCallStartsSystemEventsAndLaterCallsFindIt) {
  EXPECT_EQ(addLoginItem(apps.file("Missing.app")), fnfErr);
  ASSERT_TRUE(systemEventsProcesses().empty()) << "adding what does not exist sends nothing";
  const auto first = list();
  ASSERT_TRUE(first);
  EXPECT_EQ(CFArrayGetCount(first.get()), 0);
  const auto started = systemEventsProcesses();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_TRUE(list());
  EXPECT_EQ(systemEventsProcesses(), started);
}

// Each client adds its items, then removes its first. Removals take turns: between a listing and
// a delete by position the list must not shift, which the registry leaves to its callers.
std::string runClient(const std::string& apps, int client, const std::string& turns) {
  for (int i = 0; i < 4; ++i) {
    const std::string path = apps + "/c" + std::to_string(client) + "-" + std::to_string(i);
    if (const OSStatus err = addLoginItem(path))
      return "add " + std::to_string(i) + ": " + std::to_string(err);
  }
  const platform::FileLock turn(turns, std::chrono::seconds(60));
  OSStatus err = noErr;
  const auto paths = listedPaths(&err);
  const auto first =
      std::find(paths.begin(), paths.end(), apps + "/c" + std::to_string(client) + "-0");
  if (err || first == paths.end()) return "listing: " + std::to_string(err);
  if ((err = LIAERemove(first - paths.begin()))) return "remove: " + std::to_string(err);
  return "";
}

TEST_F(LoginItems, TenClientsAtOnceStartOneServiceAndLoseNoChange) {
  constexpr int kClients = 10;
  const std::string folder = fs::canonical(apps.path()).string();
  std::vector<std::string> expected;
  for (int c = 0; c < kClients; ++c)
    for (int i = 0; i < 4; ++i) {
      const std::string path = folder + "/c" + std::to_string(c) + "-" + std::to_string(i);
      fs::create_directory(path);
      if (i > 0) expected.push_back(path);
    }
  TempDir results;
  std::vector<pid_t> clients;
  for (int c = 0; c < kClients; ++c) {
    const pid_t pid = fork();
    if (pid == 0) {
      const std::string failure = runClient(folder, c, results.file("turns"));
      writeFile(results.file(std::to_string(c)), failure);
      _exit(failure.empty() ? 0 : 1);
    }
    clients.push_back(pid);
  }
  for (int c = 0; c < kClients; ++c) {
    int status = 0;
    ASSERT_EQ(waitpid(clients[c], &status, 0), clients[c]);
    EXPECT_EQ(readFile(results.file(std::to_string(c))), "") << "client " << c;
  }
  EXPECT_EQ(systemEventsProcesses().size(), 1u);
  auto listed = listedPaths();
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
}

TEST_F(LoginItems, AddedItemsAreListedInOrderAndRemovedByPosition) {
  ASSERT_EQ(addLoginItem(path("Alpha.app"), true), noErr);
  ASSERT_EQ(addLoginItem(path("Beta.app")), noErr);
  auto items = list();
  ASSERT_EQ(CFArrayGetCount(items.get()), 2);
  EXPECT_EQ(
      CFDictionaryGetCount(static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items.get(), 0))),
      2);
  EXPECT_EQ(urlText(items, 0), "file://" + path("Alpha.app") + "/");
  EXPECT_TRUE(hidden(items, 0));
  EXPECT_EQ(urlText(items, 1), "file://" + path("Beta.app") + "/");
  EXPECT_FALSE(hidden(items, 1));

  EXPECT_EQ(autostart(1), "[Desktop Entry]\nType=Application\nName=Alpha\nExec=\"" +
                              path("Alpha.app") +
                              "/Contents/MacOS/Alpha\"\nX-GNOME-Autostart-enabled=true\n"
                              "X-Kapsho-Path=" +
                              path("Alpha.app") + "\nX-Kapsho-Hidden=true\n");
  EXPECT_NE(autostart(2).find("Exec=xdg-open \"" + path("Beta.app") + "\"\n"), std::string::npos)
      << autostart(2);

  ASSERT_EQ(LIAERemove(0), noErr);
  EXPECT_EQ(listedPaths(), std::vector<std::string>{path("Beta.app")});
  EXPECT_EQ(autostart(1), "");
  EXPECT_NE(autostart(2).find("xdg-open"), std::string::npos) << "Beta keeps its entry";
  EXPECT_EQ(LIAERemove(1), errAENoSuchObject);
}

TEST_F(LoginItems, TheRegistryFindsEntriesByPathAndURLAndRemovesTheFirst) {
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(path("Beta.app"), false));
  const auto workingFolder = fs::current_path();
  fs::current_path(apps.path());
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath("Alpha.app", false))
      << "a relative path names what it names from the working folder";
  fs::current_path(workingFolder);
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
  EXPECT_FALSE(QZLoginItemRegistry::addLoginItemWithPath(apps.file("Missing.app"), false));
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Couldn't remove login intem error -1728"), std::string::npos) << log;
  EXPECT_NE(log.find("Couldn't add login item error -43"), std::string::npos) << log;
}

TEST_F(LoginItems, PathsAreStoredListedAndMirroredWholeWhateverTheyHold) {
  std::string longPath = apps.path();
  while (longPath.size() < 1500) longPath += "/" + std::string(120, 'q');
  longPath += "/Deep.app";
  fs::create_directories(longPath);
  const std::string odd = apps.file(" a b $x\"q%\x01\r\n.txt");
  const std::string carriageReturn = apps.file("cr\r");
  writeFile(odd, "");
  writeFile(carriageReturn, "");
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(longPath, false));
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(odd, false));
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(carriageReturn, false));
  const std::string folder = fs::canonical(apps.path()).string();
  EXPECT_EQ(listedPaths(),
            (std::vector<std::string>{fs::canonical(longPath).string(),
                                      folder + "/ a b $x\"q%\x01\r\n.txt", folder + "/cr\r"}));

  const auto python =
      runCommand({"python3", "-c",
                  "import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
                  "print([type(i['Path']).__name__ for i in d['LoginItems']])",
                  *platform::NSUserDefaults::pathForDomain("com.kapsho.loginitems")});
  EXPECT_EQ(python.out, "['str', 'bytes', 'bytes']\n")
      << "the list is well-formed XML: " << python.err;
  EXPECT_NE(autostart(1).find("X-Kapsho-Path=" + fs::canonical(longPath).string() + "\n"),
            std::string::npos);
  EXPECT_NE(autostart(2).find("\nName=\\sa b $x\"q%\x01\\r\\n.txt\n"), std::string::npos)
      << autostart(2);
  EXPECT_NE(
      autostart(2).find("\nExec=xdg-open \"" + folder + "/ a b \\\\$x\\\\\"q%%\x01\\r\\n.txt\"\n"),
      std::string::npos)
      << autostart(2);
  EXPECT_NE(autostart(2).find("\nX-Kapsho-Path=" + folder + "/ a b $x\"q%\x01\\r\\n.txt\n"),
            std::string::npos)
      << autostart(2);
}

}  // namespace
