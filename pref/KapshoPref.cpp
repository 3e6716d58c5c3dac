#include "pref/KapshoPref.h"

#include <signal.h>

#include "common/constants.h"
#include "loginitems/QZLoginItemRegistry.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/DistributedNotificationCenter.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"

using namespace platform;

namespace {

const std::string StopTitle = "Stop Kapsho";
const std::string RunningText = "Kapsho is running";
const std::string StartTitle = "Start Kapsho";
const std::string StoppedText = "Kapsho is stopped";
const std::string LaunchingText = "Launching Kapsho...";

// Whether the agent bundle at the path is among the user's login items.
bool isLoginItem(const std::optional<std::string>& daemonPath) {
  const CFRef<CFArrayRef> items = QZLoginItemRegistry::allLoginItems();
  if (!items || !daemonPath) return false;
  const CFRef<CFURLRef> daemonURL(CFBridgingRetain(NSURL::fileURLWithPath(*daemonPath)));
  const CFIndex count = CFArrayGetCount(items.get());
  for (CFIndex i = 0; i < count; ++i) {
    const auto entry = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items.get(), i));
    if (CFEqual(CFDictionaryGetValue(entry, CFSTR("URL")), daemonURL.get())) return true;
  }
  return false;
}

// The agent shows its icon unless its domain holds a false value for the key.
bool showsStatusItem() {
  const auto domain = NSUserDefaults::persistentDomainForName(DaemonBundleID);
  const Value* value = domain ? valueForKey(*domain, HasStatusItemKey) : nullptr;
  return !value || value->boolValue();
}

// The position of the agent's notifications setting among the pop-up's items; an unknown value
// shows as the default, which the agent takes it for.
int notificationsMode() {
  const auto domain = NSUserDefaults::persistentDomainForName(DaemonBundleID);
  const Value* value = domain ? valueForKey(*domain, ShowNotificationsKey) : nullptr;
  for (size_t i = 0; value && value->string() && i < ShowNotificationsModeNames.size(); ++i)
    if (*value->string() == ShowNotificationsModeNames[i]) return static_cast<int>(i);
  return 0;
}

// A domain the agent never stored is made holding just this value. The lock keeps a write of the
// agent's own, made meanwhile, from being lost.
void storeAgentDefault(const std::string& key, Value value) {
  const PreferencesDomainLock lock(DaemonBundleID);
  Dictionary domain =
      NSUserDefaults::persistentDomainForName(DaemonBundleID).value_or(Dictionary{});
  domain.insert_or_assign(key, std::move(value));
  NSUserDefaults::setPersistentDomain(domain, DaemonBundleID);
}

}  // namespace

KapshoPref::KapshoPref(const NSBundle& bundle) : NSPreferencePane(bundle) {}

void KapshoPref::mainViewDidLoad() {
  if (const auto image = imageView.image()) image->setSize(imageView.bounds().size);
  const auto daemonPath = pathForDaemon();
  loginCheckbox.setState(isLoginItem(daemonPath) ? NSOnState : NSOffState);
  statusItemCheckbox.setState(showsStatusItem() ? NSOnState : NSOffState);
  notificationsPopUp.selectItemAtIndex(notificationsMode());
  updateUI();
  // Without the agent there is nothing to start or to start at login.
  if (!daemonPath) {
    const auto bundle = paneBundle();
    NSLog("The agent bundle KapshoDaemon.app is missing from %@",
          bundle ? bundle->resourcePath() : std::string("the pane's resources"));
    loginCheckbox.setEnabled(false);
  }
}

void KapshoPref::updateUI() {
  updateUI(daemonRunning());
}

void KapshoPref::updateUI(bool running) {
  startButton.setTitle(running ? StopTitle : StartTitle);
  startLabel.setStringValue(running ? RunningText : StoppedText);
  startButton.setEnabled(pathForDaemon().has_value());
}

void KapshoPref::toggleLoginCheckbox(NSButton& sender) {
  const auto daemonPath = pathForDaemon();
  if (!daemonPath) return;
  if (sender.state() == NSOnState)
    QZLoginItemRegistry::addLoginItemWithPath(*daemonPath, false);
  else
    QZLoginItemRegistry::removeLoginItemWithPath(*daemonPath);
}

void KapshoPref::toggleMenuBarCheckbox(NSButton& sender) {
  const bool show = sender.state() == NSOnState;
  if (daemonRunning()) {
    const auto bundle = paneBundle();
    NSDistributedNotificationCenter::defaultCenter().postNotificationName(
        ShowStatusItemNotificationName, bundle ? bundle->bundleIdentifier() : std::string(),
        Dictionary{{ShowStatusItemNotificationKey, Value(show)}});
    return;
  }
  storeAgentDefault(HasStatusItemKey, Value(show));
}

void KapshoPref::pressStartButton(NSButton&) {
  if (const pid_t pid = pidForDaemon(); pid > 0) {
    kill(pid, SIGHUP);
    updateUI(false);
    return;
  }
  startButton.setEnabled(false);
  startLabel.setStringValue(LaunchingText);
  progressIndicator.startAnimation(this);
  if (const auto daemonPath = pathForDaemon())
    NSWorkspace::sharedWorkspace().openURLs({NSURL::fileURLWithPath(*daemonPath)}, std::nullopt,
                                            NSWorkspaceLaunchWithoutActivation, nullptr, nullptr);
  progressIndicator.stopAnimation(this);
  updateUI();
}

void KapshoPref::chooseNotifications(NSPopUpButton& sender) {
  const int index = sender.indexOfSelectedItem();
  if (index < 0 || index >= static_cast<int>(ShowNotificationsModeNames.size())) return;
  storeAgentDefault(ShowNotificationsKey, Value(ShowNotificationsModeNames[index]));
}

bool KapshoPref::respondsToSelector(std::string_view selector) const {
  return selector == "toggleLoginCheckbox:" || selector == "toggleMenuBarCheckbox:" ||
         selector == "pressStartButton:" || selector == "chooseNotifications:";
}

void KapshoPref::performSelector(std::string_view selector, NSObject* sender) {
  if (auto* popUp = dynamic_cast<NSPopUpButton*>(sender);
      popUp && selector == "chooseNotifications:")
    chooseNotifications(*popUp);
  auto* button = dynamic_cast<NSButton*>(sender);
  if (!button) return;
  if (selector == "toggleLoginCheckbox:") toggleLoginCheckbox(*button);
  if (selector == "toggleMenuBarCheckbox:") toggleMenuBarCheckbox(*button);
  if (selector == "pressStartButton:") pressStartButton(*button);
}
