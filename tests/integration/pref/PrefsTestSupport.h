// What the kapsho-prefs tests share: a temporary home with a private bus, as the subreaper of
// the agents and System Events that the pane starts detached, which it ends at the close.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/integration/loginitems/LoginItemsTestSupport.h"
#include "tests/support/Desktop.h"
#include "tests/support/TestSupport.h"

namespace prefs_test {

inline const std::string AgentIdentifier = "com.kapsho.KapshoDaemon";

class PrefsTest : public ::testing::Test {
 protected:
  PrefsTest() {
    login_items_test::becomeSubreaper();
    std::filesystem::create_directories(home_.path() + "/Desktop");
  }
  ~PrefsTest() override {
    for (pid_t agent; (agent = testing_support::processOfBundle(AgentIdentifier)) > 0;)
      if (!testing_support::stopAgent(agent)) break;
    for (pid_t pid : login_items_test::systemEventsProcesses())
      EXPECT_TRUE(login_items_test::endProcess(pid));
  }

  testing_support::TempHome home_;
  testing_support::PrivateBus bus_;
};

}  // namespace prefs_test
