// What the controller needs around it in a test: a temporary HOME, a capture folder named in the
// capture settings, the staged capture-tool localization, and the application on the offscreen
// platform.
#pragma once

#include <string>

#include "daemon/KapshoController.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TestSupport.h"
#include "tests/unit/platform/foundation/EventLoop.h"

namespace agent_testing {

using platform_tests::spinUntil;

class AgentEnvironment {
 public:
  AgentEnvironment()
      : language_("LANGUAGE", "en"),
        systemRoot_("KAPSHO_SYSTEM_ROOT", testing_support::stagePath("share/kapsho")) {
    platform_tests::offscreenApplication();
    platform::NSUserDefaults::setPersistentDomain({{"location", folder_.path()}},
                                                  "com.apple.screencapture");
    // No notification server runs for these tests: the bus would start one installed here.
    platform::NSUserDefaults::setPersistentDomain({{"Show Notifications", "off"}},
                                                  "com.kapsho.KapshoDaemon");
  }
  const std::string& folder() const { return folder_.path(); }

 private:
  testing_support::TempHome home_;
  testing_support::TempDir folder_;
  testing_support::ScopedEnv language_, systemRoot_;
};

// The registered name of the status item's image, or "" without item or image.
inline std::string statusImageName(const KapshoController& controller) {
  const auto& item = controller.statusItem();
  return item && item->image() ? item->image()->name() : "";
}

}  // namespace agent_testing
