// System Events: keeps the user's login items and answers the Apple events that read and change
// them, until it is asked to end. One instance serves a login session; another started meanwhile
// leaves at once.
#include <signal.h>

#include <string>

#include "platform/carbon/AETransport.h"
#include "platform/foundation/Log.h"
#include "services/system-events/LoginItemsSuite.h"
#include "services/system-events/SessionInstance.h"

namespace {

platform::AEEventListener* listening = nullptr;

void stopListening(int) {
  listening->stop();
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  std::string error;
  system_events::SessionInstance instance;
  switch (instance.claim(&error)) {
    case system_events::SessionInstance::Claim::ServedByAnother:
      return 0;
    case system_events::SessionInstance::Claim::Failed:
      NSLog("System Events cannot claim this session: %@", error);
      return 1;
    case system_events::SessionInstance::Claim::Ours:
      break;
  }
  system_events::LoginItemStore store;
  store.reconcile();
  system_events::LoginItemsSuite suite(store);
  platform::AEEventListener listener(
      [&](const AppleEvent* event, AppleEvent* reply) { return suite.handle(event, reply); });
  if (!listener.open(&error)) {
    NSLog("System Events cannot answer events: %@", error);
    return 1;
  }
  listening = &listener;
  struct sigaction stop {};
  stop.sa_handler = stopListening;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &stop, nullptr);
  listener.run();
  return 0;
}
