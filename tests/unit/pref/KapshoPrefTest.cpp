// The pane driven through its real view, offscreen, as a person would, in a bundle of this test
// program's own that holds the pane's resources and the agent: against real processes, the real
// agent, the real System Events and a private bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QAbstractButton>
#include <QLabel>
#include <filesystem>

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
  void click(const char* name) const {
    pane_->mainView()->findChild<QAbstractButton*>(name)->click();
  }
  // The label and the button's title, as a person reads them.
  std::string shown() const {
    return pane_->mainView()->findChild<QLabel*>("startLabel")->text().toStdString() + " / " +
           pane_->mainView()->findChild<QAbstractButton*>("startButton")->text().toStdString();
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

// One walk through the pane, as a person would use it. Stopped, the icon's choice goes into the
// agent's domain, every other entry kept, and nothing is posted. The login checkbox adds the agent
// at the end, not hidden. The agent is found by its identifier wherever its bundle lies. Running,
// it is told the icon's choice and the pane writes nothing. The start button acts on the process
// list, not on its title: a stop the agent has not obeyed yet shows the stopped state, and a click
// then stops it again.
TEST_F(PaneTest, StartStopIconAndLoginAsAPersonUsesThem) {
  StderrCapture log;
  EXPECT_EQ(controller_.pidForDaemon(), 0);
  EXPECT_EQ(log.text(), "") << "the end of the process list is no error";
  auto heard = std::make_shared<std::vector<platform::NSNotification>>();
  auto& center = platform::NSDistributedNotificationCenter::defaultCenter();
  center.addObserver(
      heard.get(), [heard](const platform::NSNotification& n) { heard->push_back(n); },
      ShowStatusItemNotificationName, std::nullopt);
  Dictionary other{{"Upload Host", Value("127.0.0.1:9")}};
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain(other, DaemonBundleID));
  ASSERT_NO_FATAL_FAILURE(loadPane());
  click("statusItemCheckbox");
  other[HasStatusItemKey] = Value(false);
  EXPECT_EQ(agentDomain(), other);

  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(home_.path(), true));
  click("loginCheckbox");
  EXPECT_EQ(login_items_test::listing(),
            (login_items_test::Listing{{home_.path(), true},
                                       {fs::canonical(agentPath_).string(), false}}));

  TempDir elsewhere;
  fs::copy(agentPath_, elsewhere.file("Copy.app"), fs::copy_options::recursive);
  ChildProcess copy({elsewhere.file("Copy.app/Contents/MacOS/KapshoDaemon")}, {{"LANGUAGE", "en"}},
                    "/dev/null", "/dev/null");
  ASSERT_TRUE(waitUntil([&] { return agentWatching(copy.pid()); }));
  EXPECT_EQ(controller_.pidForDaemon(), copy.pid());

  ASSERT_NO_FATAL_FAILURE(loadPane());
  EXPECT_EQ(shown(), "Kapsho is running / Stop Kapsho");
  // Held, the agent can neither store what it is told nor obey a stop before the test has looked.
  ASSERT_TRUE(stopProcess(copy.pid()));
  click("statusItemCheckbox");
  // The first heard: none was posted while the agent was stopped.
  ASSERT_TRUE(platform_tests::spinUntil([&] { return !heard->empty(); }));
  EXPECT_EQ(std::tuple(heard->front().object, heard->front().userInfo),
            std::tuple("com.kapsho.tests.KapshoPref",
                       Dictionary{{ShowStatusItemNotificationKey, Value(true)}}));
  EXPECT_EQ(agentDomain(), other) << "the pane wrote nothing";
  center.removeObserver(heard.get());
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is stopped / Start Kapsho");
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is stopped / Start Kapsho") << "no other agent was started";
  kill(copy.pid(), SIGCONT);
  const auto status = copy.wait();
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is running / Stop Kapsho");
}

}  // namespace
