// The pane's controller in a temporary home with a private bus and the real System Events, run
// in this test program's own bundle, which holds the pane's resources and the agent among them.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <QAbstractButton>
#include <QLabel>
#include <memory>
#include <optional>
#include <string>

#include "pref/KapshoPref.h"
#include "tests/support/Desktop.h"
#include "tests/support/TestSupport.h"

namespace pref_tests {

class PaneTest : public ::testing::Test {
 protected:
  PaneTest();
  // Ends every agent and System Events the test started, as their subreaper.
  ~PaneTest() override;

  // The pane as a host loads it: its view made offscreen, mainViewDidLoad called.
  KapshoPref& loadPane();
  // The controller alone, for its process control.
  KapshoPref& controller() { return controller_; }
  QAbstractButton* button(const char* name) const;
  std::string startLabel() const;
  // Clicks a control as a person does.
  void click(const char* name) const { button(name)->click(); }

  // Starts the agent of a bundle (the pane's own by default) as a child of the test and waits
  // until it has started.
  std::unique_ptr<testing_support::ChildProcess> startAgent(const std::string& bundle = "");
  // The agent's stored defaults domain, or nothing.
  std::optional<platform::Dictionary> agentDomain() const;

  testing_support::TempHome home_;
  testing_support::ScopedEnv systemRoot_;
  testing_support::PrivateBus bus_;
  KapshoPref controller_;
  std::unique_ptr<KapshoPref> pane_;
};

}  // namespace pref_tests
