#include "tests/unit/pref/PaneFixture.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <filesystem>

#include "common/constants.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/unit/platform/foundation/EventLoop.h"

using namespace testing_support;

namespace pref_tests {

PaneTest::PaneTest()
    : systemRoot_("KAPSHO_SYSTEM_ROOT", stagePath("share/kapsho")),
      controller_(platform::NSBundle::mainBundle()) {
  login_items_test::becomeSubreaper();
  std::filesystem::create_directories(home_.path() + "/Desktop");
  platform_tests::offscreenApplication();
}

PaneTest::~PaneTest() {
  for (pid_t agent; (agent = controller_.pidForDaemon()) > 0;)
    if (!stopAgent(agent)) break;
  for (pid_t pid : login_items_test::systemEventsProcesses())
    EXPECT_TRUE(login_items_test::endProcess(pid));
}

KapshoPref& PaneTest::loadPane() {
  pane_ = std::make_unique<KapshoPref>(platform::NSBundle::mainBundle());
  std::string error;
  EXPECT_TRUE(pane_->loadMainView(&error)) << error;
  pane_->mainViewDidLoad();
  return *pane_;
}

QAbstractButton* PaneTest::button(const char* name) const {
  return pane_->mainView()->findChild<QAbstractButton*>(name);
}

std::string PaneTest::startLabel() const {
  return pane_->mainView()->findChild<QLabel*>("startLabel")->text().toStdString();
}

std::unique_ptr<ChildProcess> PaneTest::startAgent(const std::string& bundle) {
  const std::string path = bundle.empty() ? *controller_.pathForDaemon() : bundle;
  auto agent = std::make_unique<ChildProcess>(
      std::vector<std::string>{path + "/Contents/MacOS/KapshoDaemon"},
      std::map<std::string, std::string>{{"LANGUAGE", "en"}}, "/dev/null", "/dev/null");
  EXPECT_TRUE(waitUntil([&] { return agentWatching(agent->pid()); }));
  return agent;
}

std::optional<platform::Dictionary> PaneTest::agentDomain() const {
  return platform::NSUserDefaults::persistentDomainForName(DaemonBundleID);
}

}  // namespace pref_tests
