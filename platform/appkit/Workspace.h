// The shared workspace: opens URLs with the user's handler.
#pragma once

#include "platform/foundation/URL.h"

namespace platform {

class NSWorkspace {
 public:
  static NSWorkspace& sharedWorkspace();
  // openURL: hands the URL to xdg-open, detached, with a clean signal mask.
  bool openURL(const NSURL& url);
};

}  // namespace platform
