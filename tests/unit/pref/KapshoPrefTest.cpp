// The pane driven through its real view, offscreen, as a person would, in a bundle of this test
// program's own that holds the pane's resources and the agent: against real processes, the real
// agent, the real System Events and a private bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QAbstractButton>
#include <QLabel>
#include <atomic>
#include <filesystem>
#include <thread>

#include "common/constants.h"
#include "loginitems/QZLoginItemRegistry.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "pref/KapshoPref.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/support/Desktop.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace testing_support;
using platform::Dictionary;
using platform::NSUserDefaults;
using platform::Value;
namespace fs = std::filesystem;

namespace {

class PaneTest : public ::testing::Test {
 protected:
  PaneTest() {
    login_items_test::becomeSubreaper();
    fs::create_directories(home_.path() + "/Desktop");
    platform_tests::offscreenApplication();
  }
  // Ends every agent and System Events the test started, as their subreaper.
  ~PaneTest() override {
    for (pid_t agent; (agent = controller_.pidForDaemon()) > 0;)
      if (!stopAgent(agent)) break;
    for (pid_t pid : login_items_test::systemEventsProcesses())
      EXPECT_TRUE(login_items_test::endProcess(pid));
  }

  // The pane as a host loads it: its view made offscreen, mainViewDidLoad called.
  void loadPane() {
    pane_ = std::make_unique<KapshoPref>(platform::NSBundle::mainBundle());
    std::string error;
    ASSERT_TRUE(pane_->loadMainView(&error)) << error;
    pane_->mainViewDidLoad();
  }
  QAbstractButton* button(const char* name) const {
    return pane_->mainView()->findChild<QAbstractButton*>(name);
  }
  void click(const char* name) const { button(name)->click(); }
  // The label and the button's title, as a person reads them.
  std::string shown() const {
    return pane_->mainView()->findChild<QLabel*>("startLabel")->text().toStdString() + " / " +
           button("startButton")->text().toStdString();
  }
  // Starts the agent of a bundle (the pane's own by default) as a child of the test and waits
  // until it has started.
  std::unique_ptr<ChildProcess> startAgent(const std::string& bundle = "") {
    auto agent = std::make_unique<ChildProcess>(
        std::vector<std::string>{(bundle.empty() ? agentPath_ : bundle) +
                                 "/Contents/MacOS/KapshoDaemon"},
        std::map<std::string, std::string>{{"LANGUAGE", "en"}}, "/dev/null", "/dev/null");
    EXPECT_TRUE(waitUntil([&] { return agentWatching(agent->pid()); }));
    return agent;
  }
  static std::optional<Dictionary> agentDomain() {
    return NSUserDefaults::persistentDomainForName(DaemonBundleID);
  }

  TempHome home_;
  ScopedEnv systemRoot_{"KAPSHO_SYSTEM_ROOT", stagePath("share/kapsho")};
  PrivateBus bus_;
  KapshoPref controller_{platform::NSBundle::mainBundle()};
  const std::string agentPath_ = controller_.pathForDaemon().value_or("");
  std::unique_ptr<KapshoPref> pane_;
};

// Any copy of the agent's bundle counts, the lowest process ID first; processes without a bundle
// and processes that end during the walk are passed over; the end of the list logs nothing.
TEST_F(PaneTest, TheAgentIsTheFirstProcessWithItsIdentifierWhereverItsBundleLies) {
  EXPECT_EQ(agentPath_, platform::NSBundle::mainBundle().resourcePath() + "/KapshoDaemon.app");
  StderrCapture log;
  EXPECT_EQ(controller_.pidForDaemon(), 0);
  ChildProcess withoutBundle({"sleep", "60"});
  TempDir elsewhere;
  fs::copy(agentPath_, elsewhere.file("Copy.app"), fs::copy_options::recursive);
  const auto copy = startAgent(elsewhere.file("Copy.app"));
  const auto agent = startAgent();
  const auto& first = copy->pid() < agent->pid() ? copy : agent;
  const auto& second = copy->pid() < agent->pid() ? agent : copy;
  std::atomic<bool> walking = true;
  std::thread shortLived([&] {
    while (walking) ChildProcess({"true"}).wait();
  });
  std::vector<pid_t> found;
  for (int walk = 0; walk < 50; ++walk) found.push_back(controller_.pidForDaemon());
  walking = false;
  shortLived.join();
  EXPECT_EQ(found, std::vector<pid_t>(50, first->pid()));
  kill(first->pid(), SIGTERM);
  ASSERT_TRUE(first->wait());
  EXPECT_EQ(controller_.pidForDaemon(), second->pid());
  EXPECT_EQ(log.text(), "");
}

// The button acts on the process list, not on its title: an agent that ended by itself leaves
// the pane saying it runs, and the next click starts one; a stop that the agent has not obeyed
// yet shows the stopped state, and a click then stops it again rather than start another.
TEST_F(PaneTest, TheStartButtonLaunchesTheAgentOrStopsTheOneThatRuns) {
  loadPane();
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is running / Stop Kapsho");
  const pid_t first = controller_.pidForDaemon();
  ASSERT_GT(first, 0);
  ASSERT_TRUE(stopAgent(first));
  EXPECT_EQ(shown(), "Kapsho is running / Stop Kapsho");
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is running / Stop Kapsho");
  const pid_t second = controller_.pidForDaemon();
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);

  ASSERT_TRUE(waitUntil([&] { return agentWatching(second); }));
  kill(second, SIGSTOP);
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is stopped / Start Kapsho");
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is stopped / Start Kapsho");
  EXPECT_EQ(controller_.pidForDaemon(), second) << "no other agent was started";
  kill(second, SIGCONT);
  int status = -1;
  ASSERT_TRUE(waitUntil([&] { return waitpid(second, &status, WNOHANG) == second; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(PaneTest, TheLoginCheckboxAddsTheAgentAtTheEndAndRemovesOnlyItsFirstEntry) {
  const std::string agent = fs::canonical(agentPath_).string();
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(home_.path(), true));
  loadPane();
  click("loginCheckbox");
  EXPECT_EQ(login_items_test::listing(),
            (login_items_test::Listing{{home_.path(), true}, {agent, false}}));
  const auto entry = readFile(home_.configHome() + "/autostart/kapsho-login-item-2.desktop");
  EXPECT_NE(entry.value_or("").find("Exec=\"" + agent + "/Contents/MacOS/KapshoDaemon\""),
            std::string::npos)
      << entry.value_or("no entry");

  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(agentPath_, true));
  click("loginCheckbox");
  EXPECT_EQ(login_items_test::listing(),
            (login_items_test::Listing{{home_.path(), true}, {agent, true}}));
  loadPane();
  EXPECT_TRUE(button("loginCheckbox")->isChecked()) << "a hidden entry counts as well";
}

// Stopped, the agent's choice goes into its domain (made holding only the choice when there is
// none, every other entry kept) and nothing is posted; running, the agent is told and the pane
// writes nothing. A marker posted last arrives after anything posted before it.
TEST_F(PaneTest, TheIconCheckboxStoresAStoppedAgentsChoiceAndTellsARunningOne) {
  auto heard = std::make_shared<std::vector<platform::NSNotification>>();
  auto& center = platform::NSDistributedNotificationCenter::defaultCenter();
  for (const std::string& name : {ShowStatusItemNotificationName, std::string("marker")})
    center.addObserver(
        heard.get(), [heard](const platform::NSNotification& n) { heard->push_back(n); }, name,
        std::nullopt);
  Dictionary shows{
      {"Upload Host", Value("127.0.0.1:9")},
      {"Recent Images", Value(platform::Array{Value(Dictionary{{"url", Value("x")}})})},
      {HasStatusItemKey, Value(true)}};
  Dictionary hides = shows;
  hides[HasStatusItemKey] = Value(false);
  loadPane();
  EXPECT_EQ(shown(), "Kapsho is stopped / Start Kapsho");
  click("statusItemCheckbox");
  EXPECT_EQ(agentDomain(), (Dictionary{{HasStatusItemKey, Value(false)}}));
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain(shows, DaemonBundleID));
  loadPane();
  click("statusItemCheckbox");
  EXPECT_EQ(agentDomain(), hides);

  const auto agent = startAgent();
  loadPane();
  EXPECT_EQ(shown(), "Kapsho is running / Stop Kapsho");
  const auto before = agentDomain();
  // Held, the agent cannot store what it is told before the test has looked.
  kill(agent->pid(), SIGSTOP);
  click("statusItemCheckbox");
  center.postNotificationName("marker", "", std::nullopt);
  ASSERT_TRUE(
      platform_tests::spinUntil([&] { return !heard->empty() && heard->back().name == "marker"; }));
  ASSERT_EQ(heard->size(), 2u) << "only the running agent is told";
  EXPECT_EQ(std::tuple(heard->front().object, heard->front().userInfo),
            std::tuple("com.kapsho.tests.KapshoPref",
                       Dictionary{{ShowStatusItemNotificationKey, Value(true)}}));
  EXPECT_EQ(agentDomain(), before) << "the pane wrote nothing";
  kill(agent->pid(), SIGCONT);
  EXPECT_TRUE(waitUntil([&] {
    const auto domain = agentDomain();
    const Value* value = domain ? platform::valueForKey(*domain, HasStatusItemKey) : nullptr;
    return value && *value == Value(true);
  })) << "the agent stored the choice";
  center.removeObserver(heard.get());
}

}  // namespace
