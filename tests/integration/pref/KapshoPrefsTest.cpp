// kapsho-prefs with the real plug-in: each command and what it prints, bad usage, bundles that
// are no pane or a broken one, and the window on a virtual display.
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "tests/integration/pref/PrefsTestSupport.h"

using namespace testing_support;
using prefs_test::AgentIdentifier;
using prefs_test::PrefsTest;
namespace fs = std::filesystem;

namespace {

const std::string Prefs = stagePath("bin/kapsho-prefs");
const std::string StagedPane = stagePath("lib/kapsho/KapshoPref.prefPane");

std::string shows(const char* label, const char* login, const char* icon) {
  return std::string(label) + "\nStart at login: " + login + "\nShow icon: " + icon + "\n";
}

std::string stored(const std::string& key) {
  return runCommand({stagePath("bin/kapsho-defaults"), "read", AgentIdentifier, key}).out;
}

TEST_F(PrefsTest, EachCommandActsAsAClickAndPrintsWhatThePaneShows) {
  struct Step {
    std::vector<std::string> command;
    std::string output;
  };
  const Step steps[] = {
      {{"status"}, shows("Kapsho is stopped", "off", "on")},
      {{"icon", "off"}, shows("Kapsho is stopped", "off", "off")},
      {{"start"}, shows("Kapsho is running", "off", "off")},
      {{"start"}, shows("Kapsho is running", "off", "off")},
      {{"login", "on"}, shows("Kapsho is running", "on", "off")},
      {{"login", "on"}, shows("Kapsho is running", "on", "off")},
      {{"icon", "on"}, shows("Kapsho is running", "on", "on")},
  };
  pid_t agent = 0;
  for (const auto& step : steps) {
    std::vector<std::string> argv{Prefs};
    argv.insert(argv.end(), step.command.begin(), step.command.end());
    const auto result = runCommand(argv);
    EXPECT_EQ(result.exitCode, 0) << step.command[0] << result.err;
    EXPECT_EQ(result.out, step.output) << step.command[0];
    if (step.command[0] == "icon" && step.command[1] == "off") {
      EXPECT_EQ(stored("Show Status Item"), "0\n") << "a stopped agent's choice is stored";
    }
    if (step.command[0] == "start") {
      if (!agent) agent = processOfBundle(AgentIdentifier);
      EXPECT_EQ(processOfBundle(AgentIdentifier), agent) << "one agent, started once";
      ASSERT_TRUE(waitUntil([&] { return agentWatching(agent); }));
    }
  }
  EXPECT_TRUE(waitUntil([&] { return stored("Show Status Item") == "1\n"; }))
      << "the running agent heard the command and stored the choice";
  ASSERT_TRUE(readFile(home_.configHome() + "/autostart/kapsho-login-item-1.desktop"));
  EXPECT_FALSE(readFile(home_.configHome() + "/autostart/kapsho-login-item-2.desktop"))
      << "a second \"login on\" adds nothing";

  const auto off = runCommand({Prefs, "login", "off"});
  EXPECT_EQ(off.out, shows("Kapsho is running", "off", "on"));
  EXPECT_FALSE(readFile(home_.configHome() + "/autostart/kapsho-login-item-1.desktop"));
  const auto stop = runCommand({Prefs, "stop"});
  EXPECT_EQ(stop.exitCode, 0);
  EXPECT_EQ(stop.out, shows("Kapsho is stopped", "off", "on"));
  int status = -1;
  ASSERT_TRUE(waitUntil([&] { return waitpid(agent, &status, WNOHANG) == agent; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(PrefsTest, BadUsageGivesTheUsageAndStatusOne) {
  const std::vector<std::vector<std::string>> bad = {{"bogus"},
                                                     {"login"},
                                                     {"login", "maybe"},
                                                     {"icon", "on", "off"},
                                                     {"--pane"},
                                                     {"start", "now"},
                                                     {"status", "--pane", StagedPane},
                                                     {"--help", "status"}};
  const auto help = runCommand({Prefs, "--help"});
  EXPECT_EQ(help.exitCode, 0);
  ASSERT_EQ(help.out.rfind("usage: kapsho-prefs [--pane PATH] [status | start | stop | login "
                           "on|off | icon on|off]\n",
                           0),
            0u)
      << help.out;
  for (const auto& arguments : bad) {
    std::vector<std::string> argv{Prefs};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto result = runCommand(argv);
    EXPECT_EQ(result.exitCode, 1) << arguments[0];
    EXPECT_EQ(result.err, help.out) << arguments[0];
    EXPECT_EQ(result.out, "") << arguments[0];
  }
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

void replace(const std::string& path, const std::string& from, const std::string& to) {
  writeFile(path, std::regex_replace(*readFile(path), std::regex(from), to));
}

TEST_F(PrefsTest, ABrokenPaneIsRefusedWithItsReasonAndStatusOne) {
  const std::string info = "/Contents/Info.plist", ui = "/Contents/Resources/KapshoPref.ui";
  struct Case {
    std::function<void(const std::string&)> damage;
    std::function<std::string(const std::string&)> reason;
  };
  const auto says = [](const std::string& text) {
    return [text](const std::string&) { return text; };
  };
  const Case cases[] = {
      {[](const std::string& pane) { fs::remove_all(pane); }, says("no such folder")},
      {[&](const std::string& pane) { fs::remove(pane + info); },
       says("not a preference pane: it has no readable Contents/Info.plist")},
      {[&](const std::string& pane) { replace(pane + info, "NSPrincipalClass", "X"); },
       says("not a preference pane: its Info.plist names no NSPrincipalClass")},
      {[&](const std::string& pane) {
         replace(pane + info, "<string>KapshoPref</string>\n</dict>",
                 "<string>Nothing</string>\n</dict>");
       },
       says("its plug-in has no principal class \"Nothing\"")},
      {[](const std::string& pane) {
         writeFile(pane + "/Contents/MacOS/KapshoPref", "#!/bin/sh\n" + std::string(100, '#'));
       },
       [](const std::string& pane) {
         return "its plug-in cannot be loaded: " + pane +
                "/Contents/MacOS/KapshoPref: invalid ELF header";
       }},
      {[&](const std::string& pane) { fs::remove(pane + ui); },
       says("the bundle has no interface file (NSMainNibFile, a .ui file among its resources)")},
      {[&](const std::string& pane) { replace(pane + ui, "\"startLabel\"", "\"label\""); },
       [&](const std::string& pane) {
         return pane + ui + " has no widget named \"startLabel\" for the outlet of that name";
       }},
      {[&](const std::string& pane) {
         replace(pane + ui, "QPushButton\" name=\"startButton", "QLabel\" name=\"startButton");
       },
       [&](const std::string& pane) {
         return pane + ui + ": the outlet \"startButton\" cannot hold a QLabel";
       }},
      {[&](const std::string& pane) { replace(pane + ui, "pressStartButton:", "press:"); },
       [&](const std::string& pane) {
         return pane + ui +
                ": \"startButton\" sends \"press:\", which the pane does not respond to";
       }},
  };
  TempDir panes;
  int number = 0;
  for (const auto& c : cases) {
    const std::string pane = copyOfPane(panes.file(std::to_string(++number) + ".prefPane"));
    c.damage(pane);
    const auto result = runCommand({Prefs, "--pane", pane, "status"});
    EXPECT_EQ(result.exitCode, 1) << number;
    EXPECT_EQ(result.out, "") << number;
    EXPECT_EQ(result.err, "kapsho-prefs: " + pane + ": " + c.reason(pane) + "\n") << number;
  }
}

TEST_F(PrefsTest, WithoutItsAgentThePaneCannotStartItOrMakeItALoginItem) {
  TempDir folder;
  const std::string pane = copyOfPane(folder.file("NoAgent.prefPane"));
  const std::string missing =
      "The agent bundle KapshoDaemon.app is missing from " + pane + "/Contents/Resources";
  for (const auto& command : std::vector<std::vector<std::string>>{{"start"}, {"login", "on"}}) {
    std::vector<std::string> argv{Prefs, "--pane", pane};
    argv.insert(argv.end(), command.begin(), command.end());
    const auto result = runCommand(argv);
    EXPECT_EQ(result.out, shows("Kapsho is stopped", "off", "on")) << command[0];
    EXPECT_EQ(result.exitCode, 1) << command[0];
    const size_t logged = result.err.find(missing);
    EXPECT_NE(logged, std::string::npos) << result.err;
    EXPECT_EQ(result.err.find(missing, logged + 1), std::string::npos) << "logged once";
  }
  EXPECT_EQ(processOfBundle(AgentIdentifier), 0);
  EXPECT_FALSE(fs::exists(home_.configHome() + "/autostart"));
}

TEST_F(PrefsTest, TheWindowShowsThePaneAndItsStartButtonStartsTheAgent) {
  VirtualDisplay display;
  ChildProcess window({Prefs}, {}, "/dev/null", "/dev/null");
  const auto found =
      runCommand({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Kapsho$"},
                 std::chrono::seconds(20));
  ASSERT_EQ(found.exitCode, 0) << found.err;
  const std::string id = found.out.substr(0, found.out.find('\n'));
  // The start button comes first in the pane's focus order.
  ASSERT_EQ(runCommand({"xdotool", "windowfocus", "--sync", id, "key", "space"}).exitCode, 0);
  EXPECT_TRUE(waitUntil([] { return processOfBundle(AgentIdentifier) > 0; }));
  EXPECT_TRUE(window.running());
}

}  // namespace
