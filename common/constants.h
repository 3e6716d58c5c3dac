// Names shared by the agent and the preference pane.
#pragma once

#include <string>

// The agent's bundle identifier, which also names its defaults domain.
extern const std::string DaemonBundleID;
// Whether the agent shows its status item (a boolean; absent means YES).
extern const std::string HasStatusItemKey;
extern const std::string ShowStatusItemNotificationName;
extern const std::string ShowStatusItemNotificationKey;
