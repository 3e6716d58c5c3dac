#include "pref/KapshoPref.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>

#include "common/constants.h"
#include "loginitems/QZLoginItemRegistry.h"
#include "platform/appkit/Workspace.h"
#include "platform/carbon/SessionLock.h"
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

// A pane's check of the login items and its change of them are one step: panes of other
// processes change the same list. The wait covers a listing and a change, each of up to 300
// ticks, and System Events' start.
constexpr auto LoginItemsLockTimeout = std::chrono::seconds(15);

// The position of the agent bundle at the path among the user's login items: -1 when it is not
// there, nullopt when the listing failed.
std::optional<std::int32_t> loginItemIndex(const std::string& daemonPath) {
  const CFRef<CFArrayRef> items = QZLoginItemRegistry::allLoginItems();
  if (!items) return std::nullopt;
  const CFRef<CFURLRef> daemonURL(CFBridgingRetain(NSURL::fileURLWithPath(daemonPath)));
  const CFIndex count = CFArrayGetCount(items.get());
  for (CFIndex i = 0; i < count; ++i) {
    const auto entry = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(items.get(), i));
    if (CFEqual(CFDictionaryGetValue(entry, CFSTR("URL")), daemonURL.get()))
      return static_cast<std::int32_t>(i);
  }
  return -1;
}

bool isLoginItem(const std::optional<std::string>& daemonPath) {
  return daemonPath && loginItemIndex(*daemonPath).value_or(-1) >= 0;
}

// Makes the agent a login item or takes it out; gives whether it is one afterwards.
bool changeLoginItem(const std::string& daemonPath, bool on) {
  const SessionLock lock("login-items", LoginItemsLockTimeout);
  if (!lock.held()) {
    NSLog("Couldn't change login items: %@",
          lock.heldByAnother() ? stringWithFormat("process %d holds them", lock.holder())
                               : lock.error());
    return !on;
  }
  const auto index = loginItemIndex(daemonPath);
  if (!index) return !on;
  if (on) return *index >= 0 || QZLoginItemRegistry::addLoginItemWithPath(daemonPath, false);
  return *index >= 0 && !QZLoginItemRegistry::removeLoginItemAtIndex(*index);
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

// Stores a choice of the agent's for it to read when it next looks; false when it could not be.
bool storeAgentDefault(const std::string& key, Value value) {
  const PreferencesDomainLock lock(DaemonBundleID);
  if (!lock.held()) return false;
  // A domain the agent never stored is made holding just this value. The lock keeps a write of
  // the agent's own, made meanwhile, from being lost.
  Dictionary domain =
      NSUserDefaults::persistentDomainForName(DaemonBundleID).value_or(Dictionary{});
  domain.insert_or_assign(key, std::move(value));
  return NSUserDefaults::setPersistentDomain(domain, DaemonBundleID);
}

}  // namespace

KapshoPref::KapshoPref(const NSBundle& bundle) : NSPreferencePane(bundle) {}

void KapshoPref::mainViewDidLoad() {
  if (const auto image = imageView.image()) image->setSize(imageView.bounds().size);
  const auto daemonPath = pathForDaemon();
  loginCheckbox.setState(isLoginItem(daemonPath) ? NSOnState : NSOffState);
  statusItemCheckbox.setState(showsStatusItem() ? NSOnState : NSOffState);
  notificationsPopUp.selectItemAtIndex(notificationsMode());
  updateUploaderUI();
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

// A running agent can be stopped whatever the pane holds; only a launch needs the bundle.
void KapshoPref::updateUI(bool running) {
  startButton.setTitle(running ? StopTitle : StartTitle);
  startLabel.setStringValue(running ? RunningText : StoppedText);
  startButton.setEnabled(running || pathForDaemon().has_value());
}

// The box shows what is true afterwards: a change that failed leaves it as it was.
void KapshoPref::toggleLoginCheckbox(NSButton& sender) {
  const bool on = sender.state() == NSOnState;
  const auto daemonPath = pathForDaemon();
  const bool loginItem = daemonPath ? changeLoginItem(*daemonPath, on) : !on;
  sender.setState(loginItem ? NSOnState : NSOffState);
}

void KapshoPref::toggleMenuBarCheckbox(NSButton& sender) {
  const bool show = sender.state() == NSOnState;
  bool done;
  if (daemonRunning()) {
    const auto bundle = paneBundle();
    done = NSDistributedNotificationCenter::defaultCenter().postNotificationName(
        ShowStatusItemNotificationName, bundle ? bundle->bundleIdentifier() : std::string(),
        Dictionary{{ShowStatusItemNotificationKey, Value(show)}});
    if (!done) NSLog("Couldn't tell Kapsho to %@ its icon: no session bus", show ? "show" : "hide");
  } else {
    done = storeAgentDefault(HasStatusItemKey, Value(show));
  }
  if (!done) sender.setState(show ? NSOffState : NSOnState);
}

void KapshoPref::pressStartButton(NSButton&) {
  if (const pid_t pid = pidForDaemon(); pid > 0) {
    if (kill(pid, SIGHUP) == 0) {
      updateUI(false);
    } else {
      NSLog("Couldn't stop Kapsho (process %d): %@", pid, std::strerror(errno));
      updateUI();
    }
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
  // What the pop-up shows is what the agent will read.
  if (!storeAgentDefault(ShowNotificationsKey, Value(ShowNotificationsModeNames[index])))
    sender.selectItemAtIndex(notificationsMode());
}

bool KapshoPref::respondsToSelector(std::string_view selector) const {
  return selector == "toggleLoginCheckbox:" || selector == "toggleMenuBarCheckbox:" ||
         selector == "pressStartButton:" || selector == "chooseNotifications:" ||
         selector == "chooseUploaderFile:" || selector == "useBuiltInUploader:";
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
  if (selector == "chooseUploaderFile:") chooseUploaderFile(*button);
  if (selector == "useBuiltInUploader:") useBuiltInUploader(*button);
}
