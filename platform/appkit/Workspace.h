// The shared workspace: opens URLs with the user's handler and starts application bundles.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/carbon/AppleEvents.h"
#include "platform/carbon/CoreFoundation.h"
#include "platform/foundation/URL.h"

namespace platform {

// Programs started here never take the focus, so not activating them is the one option.
enum NSWorkspaceLaunchOptions : unsigned { NSWorkspaceLaunchWithoutActivation = 0x00000200 };

class NSWorkspace {
 public:
  static NSWorkspace& sharedWorkspace();
  // openURL: hands the URL to xdg-open, detached, with a clean signal mask.
  bool openURL(const NSURL& url);
  // openURLs:withAppBundleIdentifier:options:additionalEventParamDescriptor:launchIdentifiers:
  // A file URL of an application bundle starts the bundle's program (Contents/MacOS/
  // <CFBundleExecutable>) detached: in a session of its own, with a clean signal mask and
  // default dispositions, stdio on /dev/null and no other descriptor of ours; the call returns
  // once the program has replaced the new process's image, so a process walk that follows
  // finds it. Any other URL goes to openURL. Only no application identifier, no descriptor, no
  // launch identifiers and NSWorkspaceLaunchWithoutActivation are offered. False when one of
  // the URLs could not be opened or the arguments ask for what is not offered.
  bool openURLs(const std::vector<NSURL>& urls, const std::optional<std::string>& bundleIdentifier,
                NSWorkspaceLaunchOptions options, const AEDesc* descriptor,
                CFArrayRef* identifiers);
};

}  // namespace platform
