// The pane driven through its real view, offscreen, as a person would: with the real agent, the
// real System Events and a private bus.
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>

#include "common/constants.h"
#include "loginitems/QZLoginItemRegistry.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/unit/platform/foundation/EventLoop.h"
#include "tests/unit/pref/PaneFixture.h"

using namespace testing_support;
using platform::Dictionary;
using platform::NSUserDefaults;
using platform::Value;
using pref_tests::PaneTest;

namespace {

const std::string PaneIdentifier = "com.kapsho.tests.KapshoPref";

// The icon notifications this process hears. A marker posted after an action arrives after
// anything the action posted, so hearing it means every notification of the action is in.
class Notifications {
 public:
  Notifications() {
    auto& center = platform::NSDistributedNotificationCenter::defaultCenter();
    center.addObserver(
        this, [this](const platform::NSNotification& n) { heard_.push_back(n); },
        ShowStatusItemNotificationName, std::nullopt);
    center.addObserver(
        this, [this](const platform::NSNotification&) { marked_ = true; }, "marker", std::nullopt);
  }
  ~Notifications() {
    platform::NSDistributedNotificationCenter::defaultCenter().removeObserver(this);
  }

  // Every icon notification posted so far, with its object and user info.
  std::vector<std::pair<std::string, Dictionary>> all() {
    marked_ = false;
    platform::NSDistributedNotificationCenter::defaultCenter().postNotificationName("marker", "",
                                                                                    std::nullopt);
    EXPECT_TRUE(platform_tests::spinUntil([&] { return marked_; }));
    std::vector<std::pair<std::string, Dictionary>> result;
    for (const auto& n : heard_) result.emplace_back(n.object, n.userInfo.value_or(Dictionary{}));
    return result;
  }

 private:
  std::vector<platform::NSNotification> heard_;
  bool marked_ = false;
};

bool isLoginItem(const std::string& path) {
  return QZLoginItemRegistry::indexForLoginItemWithPath(path) >= 0;
}

TEST_F(PaneTest, TheControlsStartFromTheLoginItemsTheStoredChoiceAndTheProcessList) {
  const std::string agentPath = *controller().pathForDaemon();
  loadPane();
  EXPECT_EQ(startLabel(), "Kapsho is stopped");
  EXPECT_EQ(button("startButton")->text().toStdString(), "Start Kapsho");
  EXPECT_TRUE(button("startButton")->isEnabled());
  EXPECT_FALSE(button("loginCheckbox")->isChecked());
  EXPECT_TRUE(button("statusItemCheckbox")->isChecked()) << "no stored choice shows the icon";

  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(home_.path(), false));
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(agentPath, true));
  ASSERT_TRUE(
      NSUserDefaults::setPersistentDomain({{HasStatusItemKey, Value(false)}}, DaemonBundleID));
  const auto agent = startAgent();
  loadPane();
  EXPECT_EQ(startLabel(), "Kapsho is running");
  EXPECT_EQ(button("startButton")->text().toStdString(), "Stop Kapsho");
  EXPECT_TRUE(button("loginCheckbox")->isChecked()) << "a hidden entry counts as well";
  EXPECT_FALSE(button("statusItemCheckbox")->isChecked());
}

TEST_F(PaneTest, StartLaunchesTheAgentAndStopEndsIt) {
  loadPane();
  click("startButton");
  EXPECT_EQ(startLabel(), "Kapsho is running");
  EXPECT_EQ(button("startButton")->text().toStdString(), "Stop Kapsho");
  EXPECT_TRUE(button("startButton")->isEnabled());
  const pid_t agent = controller().pidForDaemon();
  ASSERT_GT(agent, 0);
  EXPECT_EQ(
      std::filesystem::read_symlink("/proc/" + std::to_string(agent) + "/exe"),
      std::filesystem::canonical(*controller().pathForDaemon() + "/Contents/MacOS/KapshoDaemon"));

  ASSERT_TRUE(waitUntil([&] { return agentWatching(agent); }));
  click("startButton");
  EXPECT_EQ(startLabel(), "Kapsho is stopped");
  EXPECT_EQ(button("startButton")->text().toStdString(), "Start Kapsho");
  int status = -1;
  ASSERT_TRUE(waitUntil([&] { return waitpid(agent, &status, WNOHANG) == agent; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(PaneTest, TheStartButtonActsOnTheProcessListNotOnItsTitle) {
  loadPane();
  click("startButton");
  const pid_t first = controller().pidForDaemon();
  ASSERT_TRUE(waitUntil([&] { return agentWatching(first); }));
  // An agent that ends by itself leaves the pane saying it runs; the next click starts one.
  ASSERT_TRUE(stopAgent(first));
  EXPECT_EQ(startLabel(), "Kapsho is running");
  click("startButton");
  EXPECT_EQ(startLabel(), "Kapsho is running");
  const pid_t second = controller().pidForDaemon();
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);

  // A click on "Start Kapsho" while the stopped agent's process still exists stops it again.
  ASSERT_TRUE(waitUntil([&] { return agentWatching(second); }));
  kill(second, SIGSTOP);
  click("startButton");
  EXPECT_EQ(button("startButton")->text().toStdString(), "Start Kapsho");
  click("startButton");
  EXPECT_EQ(startLabel(), "Kapsho is stopped");
  EXPECT_EQ(controller().pidForDaemon(), second) << "no other agent was started";
  kill(second, SIGCONT);
  int status = -1;
  ASSERT_TRUE(waitUntil([&] { return waitpid(second, &status, WNOHANG) == second; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(PaneTest, TheLoginCheckboxAddsTheAgentAtTheEndAndRemovesOnlyItsFirstEntry) {
  const std::string agentPath = *controller().pathForDaemon();
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(home_.path(), true));
  loadPane();
  click("loginCheckbox");
  const auto items = QZLoginItemRegistry::allLoginItems();
  ASSERT_EQ(CFArrayGetCount(items.get()), 2);
  const auto added = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items.get(), 1));
  EXPECT_EQ(
      platform::toNSURL(static_cast<CFURLRef>(CFDictionaryGetValue(added, CFSTR("URL")))).path(),
      std::filesystem::canonical(agentPath).string());
  EXPECT_FALSE(
      CFBooleanGetValue(static_cast<CFBooleanRef>(CFDictionaryGetValue(added, CFSTR("Hidden")))));
  const auto entry = readFile(home_.configHome() + "/autostart/kapsho-login-item-2.desktop");
  ASSERT_TRUE(entry);
  EXPECT_NE(entry->find("Exec=\"" + std::filesystem::canonical(agentPath).string() +
                        "/Contents/MacOS/KapshoDaemon\""),
            std::string::npos)
      << *entry;

  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(agentPath, true));
  click("loginCheckbox");
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath(agentPath), 1)
      << "the second entry stays";
  ASSERT_TRUE(QZLoginItemRegistry::removeLoginItemAtIndex(1));
  EXPECT_EQ(QZLoginItemRegistry::indexForLoginItemWithPath(home_.path()), 0);
  EXPECT_FALSE(isLoginItem(agentPath));
}

TEST_F(PaneTest, TheIconCheckboxTellsARunningAgentAndWritesNothing) {
  Notifications notifications;
  const auto agent = startAgent();
  loadPane();
  const auto before = agentDomain();
  // Held, the agent cannot store what it is told before the test has looked.
  kill(agent->pid(), SIGSTOP);
  click("statusItemCheckbox");
  EXPECT_EQ(notifications.all(),
            (std::vector<std::pair<std::string, Dictionary>>{
                {PaneIdentifier, {{ShowStatusItemNotificationKey, Value(false)}}}}));
  EXPECT_EQ(agentDomain(), before) << "the pane wrote nothing";
  kill(agent->pid(), SIGCONT);
  EXPECT_TRUE(waitUntil([&] {
    const auto domain = agentDomain();
    return domain && domain->count(HasStatusItemKey) &&
           domain->at(HasStatusItemKey) == Value(false);
  })) << "the agent stored the choice";
}

TEST_F(PaneTest, TheIconCheckboxStoresTheChoiceOfAStoppedAgentInItsDomain) {
  struct Case {
    const char* what;
    std::optional<Dictionary> stored;
    Dictionary expected;
  };
  const Dictionary others{
      {"Upload Host", Value("127.0.0.1:9")},
      {"Recent Images", Value(platform::Array{Value(
                            Dictionary{{"url", Value("http://x/1")}, {"date", Value("today")}})})}};
  Dictionary othersShown = others, othersHidden = others;
  othersShown[HasStatusItemKey] = Value(true);
  othersHidden[HasStatusItemKey] = Value(false);
  const Case cases[] = {
      {"no domain yet: made holding only the choice",
       std::nullopt,
       {{HasStatusItemKey, Value(false)}}},
      {"every other entry kept", othersShown, othersHidden},
  };
  Notifications notifications;
  for (const auto& c : cases) {
    if (c.stored)
      ASSERT_TRUE(NSUserDefaults::setPersistentDomain(*c.stored, DaemonBundleID));
    else
      ASSERT_TRUE(NSUserDefaults::removePersistentDomainForName(DaemonBundleID));
    loadPane();
    click("statusItemCheckbox");
    EXPECT_EQ(agentDomain(), c.expected) << c.what;
  }
  EXPECT_TRUE(notifications.all().empty()) << "nothing is posted";
}

}  // namespace
