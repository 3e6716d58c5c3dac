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
using platform::NSURL;
using Registry = QZLoginItemRegistry;
namespace fs = std::filesystem;

namespace {

using LoginItems = LoginItemsSession;

TEST_F(LoginItems, TheFirstCallStartsSystemEventsWhichAddsListsMirrorsAndRemovesItems) {
  const std::string alpha = folder("Alpha.app"), beta = folder("Beta.app");
  fs::create_directories(alpha + "/Contents/MacOS");
  writeFile(alpha + "/Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
            "<string>Alpha</string></dict></plist>");
  writeFile(alpha + "/Contents/MacOS/Alpha", "#!/bin/sh\n");
  fs::permissions(alpha + "/Contents/MacOS/Alpha", fs::perms::owner_all);
  EXPECT_EQ(addLoginItem(apps.file("Missing.app")), fnfErr);
  ASSERT_TRUE(systemEventsProcesses().empty()) << "adding what does not exist sends nothing";
  OSStatus status = paramErr;
  EXPECT_EQ(listing(&status), Listing{});
  EXPECT_EQ(status, noErr);

  ASSERT_TRUE(Registry::addLoginItemWithPath(beta, false));
  const auto workingFolder = fs::current_path();
  fs::current_path(apps.path());
  ASSERT_TRUE(Registry::addLoginItemWithPath("Alpha.app", false))
      << "relative to the working folder";
  fs::current_path(workingFolder);
  ASSERT_EQ(addLoginItem(alpha, true), noErr) << "a path listed already is added all the same";
  EXPECT_EQ(listing(), (Listing{{beta, false}, {alpha, false}, {alpha, true}}));
  EXPECT_EQ(autostart(3), "[Desktop Entry]\nType=Application\nName=Alpha\nExec=\"" + alpha +
                              "/Contents/MacOS/Alpha\"\nX-GNOME-Autostart-enabled=true\n"
                              "X-Kapsho-Path=" +
                              alpha + "\nX-Kapsho-Hidden=true\n");

  fs::create_directory_symlink(alpha, apps.file("Link.app"));
  EXPECT_EQ(Registry::indexForLoginItemWithPath(apps.file("Link.app")), 1);
  EXPECT_EQ(Registry::indexForLoginItemWithPath(alpha + "/"), 1);
  EXPECT_EQ(Registry::indexForLoginItemWithURL(NSURL::fileURLWithPath(beta)), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(Registry::removeLoginItemWithPath(apps.file("Link.app"))) << "the first of two";
  EXPECT_FALSE(Registry::removeLoginItemWithPath(apps.file("Nowhere.app")));
  EXPECT_TRUE(Registry::removeLoginItemWithURL(NSURL::fileURLWithPath(beta)));
  EXPECT_EQ(listing(), (Listing{{alpha, true}}));
  EXPECT_FALSE(Registry::removeLoginItemAtIndex(1));
  EXPECT_FALSE(Registry::addLoginItemWithPath(apps.file("Missing.app"), false));
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << "a path not listed logs nothing";
  EXPECT_NE(log.find("Couldn't remove login intem error -1728"), std::string::npos) << log;
  EXPECT_NE(log.find("Couldn't add login item error -43"), std::string::npos) << log;
}

// Each client adds its items, then removes its first. Removals take turns: between a listing and
// a delete by position the list must not shift, which the registry leaves to its callers.
std::string runClient(const std::string& apps, int client, const std::string& turns) {
  const std::string prefix = apps + "/c" + std::to_string(client) + "-";
  for (int i = 0; i < 4; ++i)
    if (const OSStatus err = addLoginItem(prefix + std::to_string(i)))
      return "add " + std::to_string(i) + ": " + std::to_string(err);
  const platform::FileLock turn(turns, std::chrono::seconds(60));
  OSStatus err = noErr;
  const auto listed = listing(&err);
  const auto first = std::find(listed.begin(), listed.end(), std::pair(prefix + "0", false));
  if (err || first == listed.end()) return "listing: " + std::to_string(err);
  if ((err = LIAERemove(first - listed.begin()))) return "remove: " + std::to_string(err);
  return "";
}

TEST_F(LoginItems, TenClientsAtOnceStartOneServiceAndLoseNoChange) {
  constexpr int kClients = 10;
  const std::string parent = fs::canonical(apps.path()).string();
  Listing expected;
  for (int c = 0; c < kClients; ++c)
    for (int i = 0; i < 4; ++i) {
      const std::string path = folder("c" + std::to_string(c) + "-" + std::to_string(i));
      if (i > 0) expected.emplace_back(path, false);
    }
  TempDir results;
  std::vector<pid_t> clients;
  for (int c = 0; c < kClients; ++c) {
    const pid_t pid = fork();
    if (pid == 0) {
      const std::string failure = runClient(parent, c, results.file("turns"));
      writeFile(results.file(std::to_string(c)), failure);
      _exit(failure.empty() ? 0 : 1);
    }
    clients.push_back(pid);
  }
  for (int c = 0; c < kClients; ++c) {
    ASSERT_EQ(waitpid(clients[c], nullptr, 0), clients[c]);
    EXPECT_EQ(readFile(results.file(std::to_string(c))), "") << "client " << c;
  }
  EXPECT_EQ(systemEventsProcesses().size(), 1u);
  auto listed = listing();
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
}

TEST_F(LoginItems, PathsAreStoredListedAndMirroredWholeWhateverTheyHold) {
  std::string deep;
  while (deep.size() < 1500) deep += std::string(120, 'q') + "/";
  const std::string longPath = folder(deep + "Deep \xE2\x98\x83\xF0\x9D\x84\x9E.app");
  const std::string parent = fs::canonical(apps.path()).string();
  const std::string odd = parent + "/ a b $x\"q%\x01\r\n.txt", carriageReturn = parent + "/cr\r";
  writeFile(odd, "");
  writeFile(carriageReturn, "");
  for (const auto& path : {longPath, odd, carriageReturn})
    ASSERT_TRUE(Registry::addLoginItemWithPath(path, false)) << path;
  EXPECT_EQ(listing(), (Listing{{longPath, false}, {odd, false}, {carriageReturn, false}}));

  const auto python =
      runCommand({"python3", "-c",
                  "import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
                  "print([type(i['Path']).__name__ for i in d['LoginItems']])",
                  *platform::NSUserDefaults::pathForDomain("com.kapsho.loginitems")});
  EXPECT_EQ(python.out, "['str', 'bytes', 'bytes']\n")
      << "the list is well-formed XML: " << python.err;
  EXPECT_NE(autostart(1).find("X-Kapsho-Path=" + longPath + "\n"), std::string::npos);
  EXPECT_NE(autostart(2).find("\nName=\\sa b $x\"q%\x01\\r\\n.txt\nExec=xdg-open \"" + parent +
                              "/ a b \\\\$x\\\\\"q%%\x01\\r\\n.txt\"\n"),
            std::string::npos)
      << autostart(2);
  EXPECT_NE(autostart(2).find("\nX-Kapsho-Path=" + parent + "/ a b $x\"q%\x01\\r\\n.txt\n"),
            std::string::npos)
      << autostart(2);
}

}  // namespace
