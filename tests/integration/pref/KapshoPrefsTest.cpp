// kapsho-prefs with the real plug-in: each command and what it prints, bad usage, bundles that
// are no pane or a broken one, and the installed tree with its window on a virtual display. The
// test is the subreaper of the agents and System Events the pane starts detached, and ends them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>

#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/support/Desktop.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string Prefs = stagePath("bin/kapsho-prefs");
const std::string StagedPane = stagePath("lib/kapsho/KapshoPref.prefPane");
const std::string AgentIdentifier = "com.kapsho.KapshoDaemon";

class PrefsTest : public ::testing::Test {
 protected:
  PrefsTest() {
    login_items_test::becomeSubreaper();
    fs::create_directories(home_.path() + "/Desktop");
  }
  ~PrefsTest() override {
    for (pid_t agent; (agent = processOfBundle(AgentIdentifier)) > 0;)
      if (!stopAgent(agent)) break;
    for (pid_t pid : login_items_test::systemEventsProcesses())
      EXPECT_TRUE(login_items_test::endProcess(pid));
  }
  TempHome home_;
  PrivateBus bus_;
  // An installed tree outlives the test body: the processes started from it are found by their
  // bundles, so it must still be there when they are ended above.
  TempDir prefix_;
};

CommandResult prefs(std::vector<std::string> arguments, const std::string& program = Prefs) {
  arguments.insert(arguments.begin(), program);
  return runCommand(arguments);
}

std::string shows(const char* label, const char* login, const char* icon,
                  const char* notify = "auto") {
  return std::string(label) + "\nStart at login: " + login + "\nShow icon: " + icon +
         "\nNotifications: " + notify + "\n";
}

// A copy of the staged pane, without the agent.
std::string copyOfPane(const std::string& pane) {
  fs::create_directories(pane + "/Contents/Resources");
  for (const char* file :
       {"Info.plist", "MacOS", "Resources/KapshoPref.ui", "Resources/KapshoPref.png"})
    fs::copy(StagedPane + "/Contents/" + file, pane + "/Contents/" + file,
             fs::copy_options::recursive);
  return pane;
}

// A command sets its control as a click would (the notifications choice is stored for the agent,
// running or not), unless the pane already shows what it asks for (a second start starts no second
// agent), and prints what the pane then shows. Bad usage gives the usage and status 1. A pane without its agent cannot start it, and says so in one log line. A
// broken pane (no principal class named, a button sending what the pane does not answer) is
// refused with its reason.
TEST_F(PrefsTest, EachCommandActsAsAClickAndABrokenPaneIsRefusedWithItsReason) {
  const std::string usage = prefs({"--help"}).out;
  ASSERT_TRUE(usage.starts_with("usage: kapsho-prefs [--pane PATH] [status | start | stop"))
      << usage;
  TempDir panes;
  const std::string pane = copyOfPane(panes.file("NoAgent.prefPane")),
                    broken = copyOfPane(panes.file("Broken.prefPane")) + "/Contents/Info.plist",
                    deaf = copyOfPane(panes.file("Deaf.prefPane")) +
                           "/Contents/Resources/KapshoPref.ui";
  writeFile(broken, std::regex_replace(*readFile(broken), std::regex("NSPrincipalClass"), "X"));
  writeFile(deaf, std::regex_replace(*readFile(deaf), std::regex("pressStartButton:"), "press:"));
  const std::string stopped = shows("Kapsho is stopped", "off", "on");
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string out, err;
  } steps[] = {
      {{"--pane", pane, "start"},
       1,
       stopped,
       "The agent bundle KapshoDaemon.app is missing from " + pane + "/Contents/Resources\n"},
      {{"icon", "off"}, 0, shows("Kapsho is stopped", "off", "off"), ""},
      {{"notify", "off"}, 0, shows("Kapsho is stopped", "off", "off", "off"), ""},
      {{"start"}, 0, shows("Kapsho is running", "off", "off", "off"), ""},
      {{"start"}, 0, shows("Kapsho is running", "off", "off", "off"), ""},
      {{"notify", "on"}, 0, shows("Kapsho is running", "off", "off", "on"), ""},
      {{"login", "on"}, 0, shows("Kapsho is running", "on", "off", "on"), ""},
      {{"stop"}, 0, shows("Kapsho is stopped", "on", "off", "on"), ""},
      {{"notify", "auto"}, 0, shows("Kapsho is stopped", "on", "off"), ""},
      {{"icon", "on", "off"}, 1, "", usage},
      {{"notify", "loud"}, 1, "", usage},
      {{"--help", "status"}, 1, "", usage},
      {{"--pane", panes.file("Broken.prefPane"), "status"},
       1,
       "",
       "kapsho-prefs: " + panes.file("Broken.prefPane") +
           ": not a preference pane: its Info.plist names no NSPrincipalClass\n"},
      {{"--pane", panes.file("Deaf.prefPane"), "status"},
       1,
       "",
       "kapsho-prefs: " + panes.file("Deaf.prefPane") + ": " + deaf +
           ": \"startButton\" sends \"press:\", which the pane does not respond to\n"},
  };
  // Log lines without the time and the process that NSLog puts first.
  const std::regex logPrefix("(^|\n)[-0-9]+ [0-9:.]+ kapsho-prefs\\[[0-9]+\\] ");
  for (const auto& c : steps) {
    const auto result = prefs(c.arguments);
    EXPECT_EQ(
        std::tuple(result.exitCode, result.out, std::regex_replace(result.err, logPrefix, "$1")),
        std::tuple(c.status, c.out, c.err))
        << ::testing::PrintToString(c.arguments);
    EXPECT_TRUE(c.arguments != std::vector<std::string>{"start"} ||
                waitUntil([] { return agentWatching(processOfBundle(AgentIdentifier)); }));
  }
}

std::string executableOf(pid_t pid) {
  std::error_code error;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

// `cmake --install` gives a tree that runs on its own: its kapsho-prefs starts System Events of
// that tree, not of the build's staged tree, and shows the pane in a window whose start button
// starts the agent of that tree.
TEST_F(PrefsTest, TheInstalledTreeRunsOnItsOwnAndItsWindowStartsTheAgent) {
  const auto install =
      runCommand({"cmake", "--install", KAPSHO_BUILD_DIR, "--prefix", prefix_.path()},
                 std::chrono::seconds(120));
  ASSERT_EQ(install.exitCode, 0) << install.err;
  const std::string root = fs::canonical(prefix_.path()).string();
  ASSERT_EQ(prefs({"login", "on"}, root + "/bin/kapsho-prefs").exitCode, 0);
  const auto services = login_items_test::systemEventsProcesses();
  EXPECT_TRUE(services.size() == 1 &&
              executableOf(services[0]).starts_with(root + "/lib/kapsho/System/"));

  VirtualDisplay display;
  ChildProcess window({root + "/bin/kapsho-prefs"}, {}, "/dev/null", "/dev/null");
  const auto found =
      runCommand({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Kapsho$"},
                 std::chrono::seconds(20));
  ASSERT_EQ(found.exitCode, 0) << found.err;
  // The start button comes first in the pane's focus order.
  ASSERT_EQ(runCommand({"xdotool", "windowfocus", "--sync",
                        found.out.substr(0, found.out.find('\n')), "key", "space"})
                .exitCode,
            0);
  EXPECT_TRUE(waitUntil([&] {
    return executableOf(processOfBundle(AgentIdentifier))
        .starts_with(root + "/lib/kapsho/KapshoPref.prefPane/");
  }));
  EXPECT_EQ(window.wait(std::chrono::milliseconds(0)), std::nullopt) << "the window stays open";
}

}  // namespace
