#include "tests/unit/daemon/AgentFixture.h"

#include <signal.h>

#include "platform/bsd/kqueue.h"
#include "platform/foundation/UserDefaults.h"

namespace agent_testing {

namespace {

// The watcher reads the hang-up signal from its queue only if every thread blocks it, so it is
// blocked before main starts any thread, as the agent's main does first thing.
const bool hangUpBlocked = (ignore_and_block_signal(SIGHUP), true);

}  // namespace

AgentEnvironment::AgentEnvironment()
    : language_("LANGUAGE", "en"),
      systemRoot_("KAPSHO_SYSTEM_ROOT", testing_support::stagePath("share/kapsho")) {
  (void)hangUpBlocked;
  platform_tests::offscreenApplication();
  platform::NSUserDefaults::setPersistentDomain({{"location", folder_.path()}},
                                                "com.apple.screencapture");
}

std::string statusImageName(const KapshoController& controller) {
  if (!controller.statusItem() || !controller.statusItem()->image()) return "";
  return controller.statusItem()->image()->name();
}

platform::Value uploadRecord(std::optional<std::string> url, std::optional<std::string> date) {
  platform::Dictionary record;
  if (url) record["url"] = std::move(*url);
  if (date) record["date"] = std::move(*date);
  return platform::Value(std::move(record));
}

}  // namespace agent_testing
