// System Events: keeps the user's login items and answers the Apple events that read and change
// them, until it is asked to end.
#include <signal.h>

#include <string>

#include "platform/carbon/AETransport.h"
#include "platform/foundation/Log.h"
#include "services/system-events/LoginItemsSuite.h"

namespace {

platform::AEEventListener* listening = nullptr;

void stopListening(int) {
  listening->stop();
}

}  // namespace

int main() {
  system_events::LoginItemStore store;
  system_events::LoginItemsSuite suite(store);
  platform::AEEventListener listener(
      [&](const AppleEvent* event, AppleEvent* reply) { return suite.handle(event, reply); });
  std::string error;
  if (!listener.open(&error)) {
    NSLog("System Events cannot answer events: %@", error);
    return 1;
  }
  listening = &listener;
  struct sigaction stop {};
  stop.sa_handler = stopListening;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  listener.run();
  return 0;
}
