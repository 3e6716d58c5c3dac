// The staged agent on a desktop of the test's own: a temporary HOME, a private session bus and
// a virtual display; every child's output is kept for a failure's message.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <string>

#include "tests/support/Desktop.h"
#include "tests/support/TestSupport.h"

namespace agent_testing {

extern const std::string AgentPath;

class AgentOnDesktop : public ::testing::Test {
 protected:
  testing_support::ChildProcess startAgent(const std::map<std::string, std::string>& env = {});
  std::string agentErrors() const;
  // Everything the children said.
  std::string logs() const;

  testing_support::TempHome home_;
  testing_support::TempDir logs_;
  testing_support::PrivateBus bus_;
  testing_support::VirtualDisplay display_;
};

void defaultsWrite(const std::string& domain, const std::string& key, const std::string& value);

}  // namespace agent_testing
