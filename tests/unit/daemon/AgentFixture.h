// What the controller needs around it in a test: a temporary HOME, a capture folder named in the
// capture settings, the staged capture-tool localization, and the application on the offscreen
// platform.
#pragma once

#include <optional>
#include <string>

#include "daemon/KapshoController.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/foundation/EventLoop.h"

namespace agent_testing {

using platform_tests::spinUntil;

class AgentEnvironment {
 public:
  AgentEnvironment();
  const std::string& folder() const { return folder_.path(); }

 private:
  testing_support::TempHome home_;
  testing_support::TempDir folder_;
  testing_support::ScopedEnv language_, systemRoot_;
};

// The registered name of the status item's image, or "" without item or image.
std::string statusImageName(const KapshoController& controller);

// An upload record as the agent writes it; either entry is left out when nullopt.
platform::Value uploadRecord(std::optional<std::string> url, std::optional<std::string> date);

}  // namespace agent_testing
