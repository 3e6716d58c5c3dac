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
// agent's domain (made holding only it, or keeping every other entry) and nothing is posted. The
// login checkbox adds the agent at the end and removes only its first entry. Running, the agent is
// told the icon's choice and the pane writes nothing. The agent is the first process with its
// identifier wherever its bundle lies, and the start button acts on the process list, not on its
// title: a stop the agent has not obeyed yet shows the stopped state, and a click stops it again.
TEST_F(PaneTest, StartStopIconAndLoginAsAPersonUsesThem) {
  StderrCapture log;
  EXPECT_EQ(controller_.pidForDaemon(), 0);
  EXPECT_EQ(log.text(), "") << "the end of the process list is no error";
  auto heard = std::make_shared<std::vector<platform::NSNotification>>();
  auto& center = platform::NSDistributedNotificationCenter::defaultCenter();
  for (const std::string& name : {ShowStatusItemNotificationName, std::string("marker")})
    center.addObserver(
        heard.get(), [heard](const platform::NSNotification& n) { heard->push_back(n); }, name,
        std::nullopt);
  loadPane();
  click("statusItemCheckbox");
  EXPECT_EQ(agentDomain(), (Dictionary{{HasStatusItemKey, Value(false)}}));
  Dictionary other{{"Upload Host", Value("127.0.0.1:9")}};
  ASSERT_TRUE(NSUserDefaults::setPersistentDomain(other, DaemonBundleID));
  loadPane();
  click("statusItemCheckbox");
  other[HasStatusItemKey] = Value(false);
  EXPECT_EQ(agentDomain(), other);

  const std::string agent = fs::canonical(agentPath_).string();
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(home_.path(), true));
  click("loginCheckbox");
  EXPECT_EQ(login_items_test::listing(),
            (login_items_test::Listing{{home_.path(), true}, {agent, false}}));
  EXPECT_NE(readFile(home_.configHome() + "/autostart/kapsho-login-item-2.desktop")
                .value_or("")
                .find("Exec=\"" + agent + "/Contents/MacOS/KapshoDaemon\""),
            std::string::npos);
  ASSERT_TRUE(QZLoginItemRegistry::addLoginItemWithPath(agentPath_, true));
  click("loginCheckbox");
  EXPECT_EQ(login_items_test::listing(),
            (login_items_test::Listing{{home_.path(), true}, {agent, true}}));
  loadPane();
  EXPECT_TRUE(button("loginCheckbox")->isChecked()) << "a hidden entry counts as well";

  EXPECT_EQ(shown(), "Kapsho is stopped / Start Kapsho");
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is running / Stop Kapsho");
  const pid_t started = controller_.pidForDaemon();
  ASSERT_TRUE(waitUntil([&] { return agentWatching(started); }));
  const auto before = agentDomain();
  // Held, the agent cannot store what it is told before the test has looked.
  ASSERT_TRUE(stopProcess(started));
  click("statusItemCheckbox");
  center.postNotificationName("marker", "", std::nullopt);
  ASSERT_TRUE(
      platform_tests::spinUntil([&] { return !heard->empty() && heard->back().name == "marker"; }));
  ASSERT_EQ(heard->size(), 2u) << "only the running agent is told";
  EXPECT_EQ(std::tuple(heard->front().object, heard->front().userInfo),
            std::tuple("com.kapsho.tests.KapshoPref",
                       Dictionary{{ShowStatusItemNotificationKey, Value(true)}}));
  EXPECT_EQ(agentDomain(), before) << "the pane wrote nothing";
  center.removeObserver(heard.get());
  kill(started, SIGCONT);
  EXPECT_TRUE(waitUntil([&] {
    return agentDomain().value_or(Dictionary{})[HasStatusItemKey] == Value(true);
  })) << "the agent stored the choice";
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is stopped / Start Kapsho");
  ASSERT_TRUE(waitUntil([&] { return waitpid(started, nullptr, WNOHANG) == started; }));

  TempDir elsewhere;
  fs::copy(agentPath_, elsewhere.file("Copy.app"), fs::copy_options::recursive);
  ChildProcess copy({elsewhere.file("Copy.app/Contents/MacOS/KapshoDaemon")}, {{"LANGUAGE", "en"}},
                    "/dev/null", "/dev/null");
  ASSERT_TRUE(waitUntil([&] { return agentWatching(copy.pid()); }));
  std::atomic<bool> walking = true;
  std::thread shortLived([&] {
    while (walking) ChildProcess({"true"}).wait();
  });
  std::vector<pid_t> found;
  for (int walk = 0; walk < 20; ++walk) found.push_back(controller_.pidForDaemon());
  walking = false;
  shortLived.join();
  EXPECT_EQ(found, std::vector<pid_t>(20, copy.pid()));
  ASSERT_TRUE(stopProcess(copy.pid()));
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is stopped / Start Kapsho");
  click("startButton");
  EXPECT_EQ(shown(), "Kapsho is stopped / Start Kapsho") << "no other agent was started";
  kill(copy.pid(), SIGCONT);
  const auto status = copy.wait();
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

}  // namespace
