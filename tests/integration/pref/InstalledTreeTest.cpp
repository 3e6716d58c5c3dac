// `cmake --install` gives a tree that runs on its own: its kapsho-prefs starts the agent and
// System Events of that tree, not of the build's staged tree.
#include <filesystem>

#include "tests/integration/pref/PrefsTestSupport.h"

using namespace testing_support;
using prefs_test::AgentIdentifier;
using prefs_test::PrefsTest;
namespace fs = std::filesystem;

namespace {

std::string executableOf(pid_t pid) {
  std::error_code error;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

TEST_F(PrefsTest, TheInstalledTreeRunsOnItsOwn) {
  TempDir prefix;
  const auto install =
      runCommand({"cmake", "--install", KAPSHO_BUILD_DIR, "--prefix", prefix.path()},
                 std::chrono::seconds(120));
  ASSERT_EQ(install.exitCode, 0) << install.err;
  const std::string root = fs::canonical(prefix.path()).string();
  for (const char* path :
       {"lib/kapsho/KapshoPref.prefPane/Contents/Info.plist",
        "lib/kapsho/KapshoPref.prefPane/Contents/MacOS/KapshoPref",
        "lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoPref.ui",
        "lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoPref.png",
        "lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoDaemon.app/Contents/MacOS/"
        "KapshoDaemon",
        "share/kapsho/System/Library/CoreServices/SystemUIServer.app/Contents/Resources/"
        "en.lproj/ScreenCapture.strings",
        "share/kapsho/System/Library/CoreServices/System Events.app/Contents/Info.plist",
        "bin/kapsho-prefs", "bin/kapsho-defaults", "bin/kapsho-upload-server",
        "share/applications/kapsho-prefs.desktop"})
    EXPECT_TRUE(fs::exists(root + "/" + path)) << path;
  EXPECT_NE(
      readFile(root + "/share/applications/kapsho-prefs.desktop")->find("\nExec=kapsho-prefs\n"),
      std::string::npos);

  const auto start = runCommand({root + "/bin/kapsho-prefs", "login", "on"});
  ASSERT_EQ(start.exitCode, 0) << start.err;
  EXPECT_EQ(runCommand({root + "/bin/kapsho-prefs", "start"}).exitCode, 0);
  const pid_t agent = processOfBundle(AgentIdentifier);
  ASSERT_GT(agent, 0);
  EXPECT_EQ(executableOf(agent).rfind(root + "/lib/kapsho/KapshoPref.prefPane/", 0), 0u)
      << executableOf(agent);
  const auto services = login_items_test::systemEventsProcesses();
  ASSERT_EQ(services.size(), 1u);
  EXPECT_EQ(executableOf(services[0]).rfind(root + "/lib/kapsho/System/", 0), 0u)
      << executableOf(services[0]);
  EXPECT_EQ(runCommand({root + "/bin/kapsho-prefs", "stop"}).exitCode, 0);
}

}  // namespace
